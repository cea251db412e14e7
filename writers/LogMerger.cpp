#include "writers/LogMerger.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Tick.h"
#include "writers/BaseLogWriter.h"

#include <cctype>
#include <cstring>
#include <new>

namespace
{
const char* const TAG = "[CLogMerger]";
constexpr uint32_t MIB = 1048576;

// ASCII case-insensitive search of `pattern` in the first `len` bytes of `text`.
bool ContainsNoCase(const char* text, size_t len, const std::string& pattern)
{
    size_t n = pattern.size();
    if (n == 0 || len < n)
        return false;
    for (size_t i = 0; i + n <= len; ++i)
    {
        size_t j = 0;
        while (j < n && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                            std::tolower(static_cast<unsigned char>(pattern[j])))
            ++j;
        if (j == n)
            return true;
    }
    return false;
}

// Wrapping add of two signed 64-bit counters (a device can send anything).
int64_t AddCounter(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
} // namespace

CLogMerger::~CLogMerger()
{
    UnInit();
}

// ---------------------------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------------------------

int CLogMerger::Init()
{
    if (m_bInit.load() != 0)
        return 1;
    if (!m_SwitchEvent.IsValid() || !m_StopEvent.IsValid())
        return 0;
    m_SwitchEvent.Reset();
    m_StopEvent.Reset();
    m_bRunning.store(1);
    m_bAccepting.store(1);
    m_hWriteDataProcess = platform::CreateThread([this] { return WriteDataProcess(this); });
    if (!m_hWriteDataProcess)
        return 0;
    m_hDataBuffSwitcher = platform::CreateThread([this] { return DataBuffSwitcher(this); });
    if (!m_hDataBuffSwitcher)
        return 0;
    {
        CCSLocker lock(m_Lock);
        AdjustMergeBuffers();
        PickFreeLogMergeBuff(PICK_WAIT_MS);
    }
    m_bInit.store(1);
    return 1;
}

void CLogMerger::StopThreads(uint32_t timeoutMs)
{
    m_bRunning.store(0);
    m_StopEvent.Set();
    m_SwitchEvent.Set();
    platform::CWaitable* threads[2];
    uint32_t n = 0;
    if (m_hWriteDataProcess)
        threads[n++] = m_hWriteDataProcess.get();
    if (m_hDataBuffSwitcher)
        threads[n++] = m_hDataBuffSwitcher.get();
    uint32_t ret =
        n == 0 ? platform::WAIT_OBJECT_0 : platform::WaitForMultipleObjects(n, threads, true, timeoutMs);
    if (timeoutMs != platform::INFINITE)
        QB_LOG(PL_INFO, TAG, "[OnQuit] Wait Ret = %u\n", ret);
    if (ret == platform::WAIT_TIMEOUT)
        QB_LOG(PL_WARN, TAG, "[OnQuit] Merge Threads Still Busy After %u ms\n", timeoutMs);
}

void CLogMerger::OnQuit()
{
    StopThreads(QUIT_WAIT_MS);
}

void CLogMerger::UnInit()
{
    // The write thread hands records to the owner's chain: it must have ended before the buffers and
    // the chain go away, however long its last release takes.
    if (m_hWriteDataProcess || m_hDataBuffSwitcher)
    {
        StopThreads(platform::INFINITE);
        m_hWriteDataProcess.reset();
        m_hDataBuffSwitcher.reset();
    }
    m_bRunning.store(0);
    if (m_bInit.exchange(0) == 0)
        return;
    CCSLocker lock(m_Lock);
    for (BuffPtr& buff : m_Buffs)
        buff->m_FreeEvent.Set();
    m_Buffs.clear();
    m_pCurrent.reset();
    m_BuffCount.store(0);
}

// ---------------------------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------------------------

int CLogMerger::AdjustMergeBuffers()
{
    CCSLocker lock(m_Lock);
    const KelvAdvConfig& adv = CConfigManager::GetInstance()->KelvAdv();
    size_t wanted = adv.m_GlobalEnableLogMerge == 0 ? 0 : static_cast<size_t>(adv.m_MergeBuffers);
    while (m_Buffs.size() < wanted)
    {
        BuffPtr buff;
        try
        {
            buff = std::make_shared<LogMergeBuff>();
        }
        catch (const std::bad_alloc&)
        {
            break;
        }
        if (!buff->m_FreeEvent.IsValid())
            break;
        buff->m_ResetTick = platform::GetTickCount();
        buff->m_InUse.store(0);
        buff->m_SwitchOut.store(0);
        LoadMergeConfig(buff.get());
        buff->m_bInit = true;
        m_Buffs.push_back(std::move(buff));
    }
    for (size_t i = 0; i < m_Buffs.size() && m_Buffs.size() > wanted;)
    {
        LogMergeBuff* b = m_Buffs[i].get();
        if (b->m_InUse.load() == 0 && b->m_SwitchOut.load() == 0)
        {
            if (m_pCurrent.get() == b)
                m_pCurrent.reset();
            b->m_FreeEvent.Set();
            m_Buffs.erase(m_Buffs.begin() + static_cast<ptrdiff_t>(i));
        }
        else
            ++i;
    }
    m_BuffCount.store(static_cast<uint32_t>(m_Buffs.size()));
    return 1;
}

int CLogMerger::NeedSwitchOut(LogMergeBuff* buff)
{
    CCSLocker lock(buff->m_Lock);
    uint32_t now = platform::GetTickCount();
    // A reset tick in the future means the tick counter wrapped.
    if (buff->m_BytesUsed.load() >= buff->m_Config.m_Capacity || buff->m_ResetTick > now ||
        now - buff->m_ResetTick > buff->m_Config.m_ParticleTimeMs)
    {
        buff->m_SwitchOut.store(1);
        return 1;
    }
    return 0;
}

void CLogMerger::LoadMergeConfig(LogMergeBuff* buff)
{
    KelvAdvConfig adv = CConfigManager::GetInstance()->GetKelvAdvCopy();
    LogMergeConfig& c = buff->m_Config;
    c.m_GlobalEnableLogMerge = adv.m_GlobalEnableLogMerge;
    c.m_ParticleTimeMs = static_cast<uint32_t>(adv.m_ParticleTime) * 1000;
    c.m_MergeBuffers = adv.m_MergeBuffers;
    c.m_Capacity = static_cast<uint32_t>(adv.m_MergeBufferSize) * MIB;
    c.m_UserLogEnableLogMerge = adv.m_UserLogEnableLogMerge;
    c.m_EnableHttpFilter = adv.m_EnableHttpFilter;
    c.m_HttpFilterList = adv.m_HttpFilterList;
    c.m_KeepFilterLog = adv.m_KeepFilterLog;
    c.m_FlowLogEnableLogMerge = adv.m_FlowLogEnableLogMerge;
    c.m_SysLogEnableLogMerge = adv.m_SysLogEnableLogMerge;
    if (c.m_GlobalEnableLogMerge == 0)
        return;
    if (c.m_UserLogEnableLogMerge == 1 && c.m_EnableHttpFilter == 1)
    {
        buff->m_Patterns.clear();
        const std::string& list = c.m_HttpFilterList;
        size_t start = 0;
        while (start <= list.size())
        {
            size_t end = list.find(';', start);
            if (end == std::string::npos)
                end = list.size();
            if (end > start)
                buff->m_Patterns.push_back(list.substr(start, end - start) + " ,");
            start = end + 1;
        }
    }
}

void CLogMerger::ResetLogMergeBuff(LogMergeBuff* buff)
{
    CCSLocker lock(buff->m_Lock);
    LoadMergeConfig(buff);
    buff->Clear();
    buff->m_SwitchOut.store(0);
    buff->m_ResetTick = platform::GetTickCount();
}

int CLogMerger::PickFreeLogMergeBuff(uint32_t waitMs)
{
    m_pCurrent.reset();
    if (m_Buffs.empty())
        return 0;
    uint32_t total = static_cast<uint32_t>(m_Buffs.size());
    QB_LOG(PL_DEBUG, TAG, "[PickFreeLogMergeBuff] Ready To Wait LogMerge Buff Total = %u\n", total);

    // The snapshot keeps the buffers alive while the lock is left for the wait.
    BuffPtr snapshot[MAX_WAIT_BUFFERS];
    platform::CWaitable* events[MAX_WAIT_BUFFERS];
    uint32_t n = 0;
    for (; n < total && n < MAX_WAIT_BUFFERS; ++n)
    {
        snapshot[n] = m_Buffs[n];
        events[n] = &snapshot[n]->m_FreeEvent;
    }
    uint32_t ret;
    if (waitMs == 0)
        ret = platform::WaitForMultipleObjects(n, events, false, 0);
    else
    {
        m_Lock.Leave();
        ret = platform::WaitForMultipleObjects(n, events, false, waitMs);
        m_Lock.Enter();
        // The write thread may have picked a buffer meanwhile, or made its last release.
        if (m_pCurrent)
            return 1;
        if (m_bAccepting.load() == 0)
            return 0;
    }
    if (ret < n)
    {
        BuffPtr& buff = snapshot[ret];
        uint32_t index = 0;
        while (index < m_Buffs.size() && m_Buffs[index] != buff)
            ++index;
        if (index < m_Buffs.size() && buff->m_InUse.load() == 0 && buff->m_SwitchOut.load() == 0)
        {
            ResetLogMergeBuff(buff.get());
            buff->m_InUse.store(1);
            buff->m_FreeEvent.Reset();
            m_pCurrent = buff;
            QB_LOG(PL_DEBUG, TAG, "[PickFreeLogMergeBuff] Pick LogMerge Index = %u , Total = %u\n", index,
                   static_cast<uint32_t>(m_Buffs.size()));
            return 1;
        }
    }
    QB_LOG(PL_WARN, TAG, "[PickFreeLogMergeBuff] Cannot Pick LogMerge Free Buff! Total = %u , WaitRet = %u\n",
           static_cast<uint32_t>(m_Buffs.size()), ret);
    return 0;
}

bool CLogMerger::RecoverCurrentBuff()
{
    const KelvAdvConfig& adv = CConfigManager::GetInstance()->KelvAdv();
    size_t wanted = adv.m_GlobalEnableLogMerge == 0 ? 0 : static_cast<size_t>(adv.m_MergeBuffers);
    if (m_Buffs.size() != wanted)
        AdjustMergeBuffers();
    for (const BuffPtr& buff : m_Buffs)
        if (buff->m_InUse.load() == 0 && buff->m_SwitchOut.load() == 0)
            return PickFreeLogMergeBuff(0) != 0;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Adding records
// ---------------------------------------------------------------------------------------------

uint32_t CLogMerger::MergeUserLog(int signCode, const UserLogV3* record)
{
    return MergeLog(MERGE_USER, signCode, record);
}

uint32_t CLogMerger::MergeSysLog(int signCode, const SystemLog* record)
{
    return MergeLog(MERGE_SYS, signCode, record);
}

uint32_t CLogMerger::MergeLog(EMergeKind kind, int signCode, const void* record)
{
    if (record == nullptr || m_bInit.load() == 0)
        return 0;
    // Without buffers only a configuration that switched merging on since then needs the lock.
    if (m_BuffCount.load() == 0 && CConfigManager::GetInstance()->KelvAdv().m_GlobalEnableLogMerge == 0)
        return 0;
    CCSLocker lock(m_Lock);
    if (m_bAccepting.load() == 0)
        return 0;
    if (!m_pCurrent && !RecoverCurrentBuff())
        return 0;
    if (NeedSwitchOut(m_pCurrent.get()))
    {
        m_SwitchEvent.Set();
        AdjustMergeBuffers();
        if (!PickFreeLogMergeBuff(PICK_WAIT_MS))
            return 0;
    }
    LogMergeBuff* buff = m_pCurrent.get();
    if (kind == MERGE_USER)
        return static_cast<uint32_t>(AddUserLog(buff, signCode, static_cast<const UserLogV3*>(record)));
    return static_cast<uint32_t>(AddSysLog(buff, signCode, static_cast<const SystemLog*>(record)));
}

int CLogMerger::AddSysLog(LogMergeBuff* buff, int, const SystemLog*)
{
    if (buff->m_Config.m_SysLogEnableLogMerge != 1)
        return 0;
    CInfoManager::GetInstance()->IncMergedSysLogCount();
    return 1;
}

int CLogMerger::AddUserLog(LogMergeBuff* buff, int signCode, const UserLogV3* record)
{
    if (buff->m_Config.m_GlobalEnableLogMerge == 0)
        return 0;
    switch (record->m_Action)
    {
    case USER_ACTION_FLUX:
        return buff->m_Config.m_FlowLogEnableLogMerge == 1 ? MergeFlowLog(buff, signCode, record) : 0;
    case USER_ACTION_RESOURCE:
        return buff->m_Config.m_UserLogEnableLogMerge == 1 ? MergeSvrLog(buff, signCode, record) : 0;
    default:
        return StoreLog(buff, signCode, record);
    }
}

int CLogMerger::StoreLog(LogMergeBuff* buff, int signCode, const UserLogV3* record)
{
    CCSLocker lock(buff->m_Lock);
    buff->Append(signCode, *record);
    return 1;
}

int CLogMerger::MergeFlowLog(LogMergeBuff* buff, int signCode, const UserLogV3* record)
{
    CCSLocker lock(buff->m_Lock);
    int32_t entry = buff->FindFlow(LogMergeKey::FromRecord(*record));
    if (entry < 0)
        return StoreLog(buff, signCode, record);
    UserLogV3& stored = buff->m_Records[static_cast<size_t>(entry)].m_Log;
    stored.m_UpFlux = AddCounter(stored.m_UpFlux, record->m_UpFlux);
    stored.m_DownFlux = AddCounter(stored.m_DownFlux, record->m_DownFlux);
    stored.m_RawUpFlux = AddCounter(stored.m_RawUpFlux, record->m_RawUpFlux);
    stored.m_RawDownFlux = AddCounter(stored.m_RawDownFlux, record->m_RawDownFlux);
    CInfoManager::GetInstance()->IncMergedFlowLogCount();
    return 1;
}

int CLogMerger::MatchHttpFilter(LogMergeBuff* buff, const UserLogV3* record)
{
    size_t len = strnlen(record->m_Message, sizeof(record->m_Message));
    for (const std::string& pattern : buff->m_Patterns)
        if (ContainsNoCase(record->m_Message, len, pattern))
            return 1;
    return 0;
}

int CLogMerger::MergeSvrLog(LogMergeBuff* buff, int signCode, const UserLogV3* record)
{
    // Failed accesses are all kept.
    if (record->m_Result == 2)
        return StoreLog(buff, signCode, record);
    const LogMergeConfig& c = buff->m_Config;
    if (c.m_EnableHttpFilter == 1 && record->m_ServiceType == 1)
    {
        int match = MatchHttpFilter(buff, record);
        if ((c.m_KeepFilterLog == 0 && match) || (c.m_KeepFilterLog == 1 && !match))
        {
            CInfoManager::GetInstance()->IncMergedSvrLogCount();
            return 1;
        }
    }
    CCSLocker lock(buff->m_Lock);
    if (buff->HasSvrDuplicate(LogMergeKey::FromRecord(*record), *record))
    {
        CInfoManager::GetInstance()->IncMergedSvrLogCount();
        return 1;
    }
    return StoreLog(buff, signCode, record);
}

// ---------------------------------------------------------------------------------------------
// Releasing buffers
// ---------------------------------------------------------------------------------------------

int CLogMerger::WriteOutLogMergeBuff(LogMergeBuff* buff, bool force)
{
    if (!force && buff->m_SwitchOut.load() == 0)
        return 1;
    int complete = 1;
    {
        CCSLocker lock(buff->m_Lock);
        for (LogMergeBuff::StoredLog& stored : buff->m_Records)
        {
            LogRecordDesc desc;
            desc.m_LogType = static_cast<int32_t>(wire::GetLogType(stored.m_Log.m_Head));
            desc.m_SignCode = stored.m_SignCode;
            desc.m_pRecord = &stored.m_Log;
            uint32_t taken = m_pOwner != nullptr ? m_pOwner->PassLogToNextWriter(&desc, nullptr) : 0;
            if (taken == 0)
                complete = 0;
        }
        // Emptied and reset before the buffer is marked free: once free, the record task may pick it.
        ResetLogMergeBuff(buff);
    }
    buff->m_InUse.store(0);
    buff->m_FreeEvent.Set();
    return complete;
}

CLogMerger::BuffPtr CLogMerger::PickSwitchOutLogBuff(bool force)
{
    CCSLocker lock(m_Lock);
    for (const BuffPtr& buff : m_Buffs)
        if (buff->m_InUse.load() == 1 && (force || buff->m_SwitchOut.load() == 1))
            return buff;
    QB_LOG(PL_INFO, TAG, "[PickSwitchOutLogBuff] No Log Buff Switch Out.\n");
    return nullptr;
}

int CLogMerger::SwitchOutLogBuff(bool force)
{
    int complete = 1;
    if (!force)
    {
        CCSLocker lock(m_Lock);
        if (m_pCurrent && NeedSwitchOut(m_pCurrent.get()))
        {
            // With one buffer there is nothing else to collect into: release it here and take it again.
            if (m_Buffs.size() == 1 && !WriteOutLogMergeBuff(m_pCurrent.get(), false))
                complete = 0;
            m_pCurrent.reset();
            AdjustMergeBuffers();
            PickFreeLogMergeBuff(0);
        }
    }
    while (BuffPtr buff = PickSwitchOutLogBuff(force))
    {
        if (!WriteOutLogMergeBuff(buff.get(), true))
        {
            complete = 0;
            QB_LOG(PL_WARN, TAG, "[SwitchOutLogBuff] At Least One Log Fail While Switch Log Buff\n");
        }
    }
    return complete;
}

void CLogMerger::GetMergeInfo(uint32_t& buffCount, uint64_t& capacity, uint64_t& used)
{
    buffCount = 0;
    capacity = 0;
    used = 0;
    CCSLocker lock(m_Lock);
    for (const BuffPtr& buff : m_Buffs)
    {
        ++buffCount;
        capacity += buff->m_Config.m_Capacity;
        used += buff->m_BytesUsed.load();
    }
}

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

uint32_t CLogMerger::DataBuffSwitcher(CLogMerger* merger)
{
    if (merger == nullptr)
        return static_cast<uint32_t>(-1);
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &merger->m_StopEvent};
    int leftMs = 0;
    uint32_t ret = platform::WAIT_TIMEOUT;
    while (merger->m_bRunning.load() == 1)
    {
        if (leftMs < 1)
        {
            leftMs = CConfigManager::GetInstance()->KelvAdv().m_ParticleTime * 1000;
            if (leftMs < 1)
                leftMs = 1000;
            QB_LOG(PL_DEBUG, TAG, "[DataBuffSwitcher] iLeftTime To Switch = %d ms\n", leftMs);
        }
        ret = platform::WaitForMultipleObjects(2, waits, false, SWITCHER_TICK_MS);
        if (ret != platform::WAIT_TIMEOUT)
            break;
        leftMs -= static_cast<int>(SWITCHER_TICK_MS);
        if (leftMs < 1)
        {
            QB_LOG(PL_DEBUG, TAG, "[DataBuffSwitcher] Need To Call NotifyWriteDataThread\n");
            merger->m_SwitchEvent.Set();
        }
    }
    QB_LOG(PL_DEBUG, TAG, "[DataBuffSwitcher] Thread Exit With Wait Ret = %u\n", ret);
    return 0;
}

uint32_t CLogMerger::WriteDataProcess(CLogMerger* merger)
{
    if (merger == nullptr)
        return static_cast<uint32_t>(-1);
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                     &merger->m_SwitchEvent};
    uint32_t ret;
    do
    {
        ret = platform::WaitForMultipleObjects(2, waits, false, platform::INFINITE);
        if (ret != platform::WAIT_OBJECT_0 + 1)
            break;
        QB_LOG(PL_INFO, TAG, "[WriteDataProcess] Receive Single To Call SwitchOutLogBuff.\n");
        if (merger->SwitchOutLogBuff(false) == 1)
            QB_LOG(PL_INFO, TAG, "[WriteDataProcess] Succeed To Call SwitchOutLogBuff.\n");
        else
            QB_LOG(PL_WARN, TAG, "[WriteDataProcess] Something Wrong In Call SwitchOutLogBuff\n");
    } while (merger->m_bRunning.load() == 1);

    // From here on records pass unmerged; everything held so far is released below.
    {
        CCSLocker lock(merger->m_Lock);
        merger->m_bAccepting.store(0);
        merger->m_pCurrent.reset();
    }
    if (merger->SwitchOutLogBuff(true) == 1)
        QB_LOG(PL_INFO, TAG, "[WriteDataProcess] Succeed In Last Call SwitchOutLogBuff.\n");
    else
        QB_LOG(PL_WARN, TAG, "[WriteDataProcess] Something Wrong In Last Call SwitchOutLogBuff !\n");
    QB_LOG(PL_INFO, TAG, "[WriteDataProcess] Thread Exit Wait WaitRet = %u\n", ret);
    return 0;
}
