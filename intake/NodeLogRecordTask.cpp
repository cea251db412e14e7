// CNodeLogRecordTask, part one: the run loop, framing records out of the receive ring, dispatch by
// record type, the record handlers and the replies. The record checks are in NodeLogRecordChecks.cpp,
// directory synchronisation (the push handler, the gate, the database name) in DirectorySync.cpp.
#include "intake/NodeLogRecordTask.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <type_traits>
#include <unistd.h>

namespace
{
constexpr const char* TAG = "[CNodeLogRecordTask]";

void YieldProcessor()
{
    sched_yield();
}

// Position of an 8-byte sign within the first `length` bytes, or -1.
long FindSign(const uint8_t* p, uint32_t length, const char* sign)
{
    if (length < WIRE_SIGN_LEN)
        return -1;
    const void* hit = memmem(p, length, sign, WIRE_SIGN_LEN);
    return hit == nullptr ? -1 : static_cast<const uint8_t*>(hit) - p;
}

std::string DottedAddress(uint32_t netOrder)
{
    uint32_t h = wire::NetToHost32(netOrder);
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", h >> 24, (h >> 16) & 0xFF, (h >> 8) & 0xFF, h & 0xFF);
    return text;
}

// One row of the dispatch table.
struct DispatchRow
{
    uint32_t m_LogType;
    int (CNodeLogRecordTask::*m_Check)(int);
    int (CNodeLogRecordTask::*m_Deal)(int);
    bool m_bAllowedWhenDiskFull;
};

const DispatchRow DISPATCH_TABLE[] = {
    {0, &CNodeLogRecordTask::Check_KeepAlive_Log, &CNodeLogRecordTask::Deal_KeepAlive_Log, true},
    {1, &CNodeLogRecordTask::Check_User_Log, &CNodeLogRecordTask::Deal_User_Log, false},
    {2, &CNodeLogRecordTask::Check_Audit_Log, &CNodeLogRecordTask::Deal_Audit_Log, false},
    {3, &CNodeLogRecordTask::Check_Admin_Log, &CNodeLogRecordTask::Deal_Admin_Log, false},
    {4, &CNodeLogRecordTask::Check_Alarm_Log, &CNodeLogRecordTask::Deal_Alarm_Log, false},
    {5, &CNodeLogRecordTask::Check_LogudtDB_Log, &CNodeLogRecordTask::Deal_LogudtDB_Log, true},
    {6, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_Always_Fail, false},
    {7, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_Always_Fail, false},
    {8, &CNodeLogRecordTask::Check_System_Log, &CNodeLogRecordTask::Deal_System_Log, false},
    {9, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_UnSupport_Log, false},
    {10, &CNodeLogRecordTask::Check_UserV2_Log, &CNodeLogRecordTask::Deal_UserV2_Log, false},
    {11, &CNodeLogRecordTask::Check_UserV3_Log, &CNodeLogRecordTask::Deal_UserV3_Log, false},
    {12, &CNodeLogRecordTask::Check_UserAuditFile_Log, &CNodeLogRecordTask::Deal_UserAuditFile_Log, false},
    {13, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_UnSupport_Log, false},
    {14, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_UnSupport_Log, false},
    {15, &CNodeLogRecordTask::Check_Record_Present, &CNodeLogRecordTask::Deal_UnSupport_Log, true},
};

} // namespace

CNodeLogRecordTask::CNodeLogRecordTask() = default;

CNodeLogRecordTask::~CNodeLogRecordTask()
{
    m_pCurrentRecord = nullptr;
}

uint32_t CNodeLogRecordTask::GetMaxRecordSize()
{
    int mib = CConfigManager::GetInstance()->KelvAdv().m_MaxPackgeSize;
    if (mib < 1 || mib > 10)
        mib = DEFAULT_MAX_PACKAGE_MIB;
    return static_cast<uint32_t>(mib) * 1048576u;
}

bool CNodeLogRecordTask::IsDiskFull() const
{
    return CConfigManager::GetInstance()->Kelv().m_IsFull != 0;
}

void CNodeLogRecordTask::CountRecord(ERecordCounter counter)
{
    m_Counters[counter].fetch_add(1, std::memory_order_relaxed);
    CInfoManager* info = CInfoManager::GetInstance();
    switch (counter)
    {
    case COUNTER_RECEIVED:
        info->IncRecvLogCount();
        break;
    case COUNTER_UNSUPPORTED:
        info->IncUnSupportLogCount();
        break;
    case COUNTER_KEEPALIVE:
        info->IncKeepAliveLogCount();
        break;
    case COUNTER_USER:
        info->IncUserLogCount();
        break;
    case COUNTER_FLUX:
        info->IncFluxLogCount();
        break;
    case COUNTER_AUDIT:
        info->IncAuditLogCount();
        break;
    case COUNTER_LOGUDTDB:
        info->IncLogudtDBLogCount();
        break;
    case COUNTER_ADMIN:
        info->IncAdminLogCount();
        break;
    case COUNTER_ALARM:
        info->IncAlarmLogCount();
        break;
    case COUNTER_SYSTEM:
        info->IncSysLogCount();
        break;
    default:
        break;
    }
}

const std::vector<std::string> CNodeLogRecordTask::GetTempFileNames() const
{
    std::vector<std::string> names;
    for (const TempFileInfo& f : m_TempFiles)
        names.push_back(f.m_FileName);
    return names;
}

void CNodeLogRecordTask::SetCurrentRecord(uint8_t* record, uint32_t length, bool inPlace)
{
    m_pCurrentRecord = record;
    m_CurrentLen = length;
    m_bInPlace = inPlace ? 1 : 0;
    m_bBodyRestored = false;
}

void CNodeLogRecordTask::ConsumeCurrentRecord()
{
    if (m_bInPlace && m_pRecvRing != nullptr)
        m_pRecvRing->CommitRead(m_CurrentLen);
    m_bInPlace = 0;
}

// ---------------------------------------------------------------------------------------------
// Thread body
// ---------------------------------------------------------------------------------------------

uint32_t CNodeLogRecordTask::Run()
{
    if (m_NodeThreadId == 0 || m_pRecvRing == nullptr || m_pSendRing == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[Run] Invalid Param\n");
        return static_cast<uint32_t>(-1);
    }

    CSQLConnManager::SqlThreadInit();
    srand(platform::GetTickCount());
    m_LogsWriterManager.InstallLogWriterChain();

    // The stop request wakes the wait too: a closed connection's record task
    // ends at once instead of after its data wait.
    platform::CWaitable* handles[3] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                       m_pRecvRing->GetDataEvent(), &m_StopEvent};
    while (m_bRunning)
    {
        m_ActivityTime = platform::timeGetTime();
        try
        {
            ProcessRingBuffData();
        }
        catch (...)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Exception Occur While Calling Function ProcessRingBuffData().\n");
            if (platform::PostThreadMessage(m_NodeThreadId, platform::WM_QUIT, 0, 0))
            {
                QB_LOG(PL_ERROR, TAG, "[Run] Thread Will Exit Due To Catch An Exception.\n");
                break;
            }
        }
        m_LastWaitRet = platform::WaitForMultipleObjects(3, handles, false, WAIT_DATA_MS);
        if (m_LastWaitRet == platform::WAIT_OBJECT_0 + 2)
            m_LastWaitRet = platform::WAIT_TIMEOUT; // reported as the designed time-out
        if (m_LastWaitRet == platform::WAIT_OBJECT_0 || m_LastWaitRet == platform::WAIT_FAILED)
            break;
    }

    // What was read from the connection was received: an orderly stop or a closed connection must not
    // throw it away. Only a record that never arrived whole is left.
    DrainReceiveRing();
    m_LogsWriterManager.OnQuit();
    m_LogsWriterManager.UnInstallLogWriterChain();
    // Only a task that counted itself in gives a count back: a connection that
    // never passed the gate must not take away another connection's count.
    if (m_bUseCounted)
        CDeviceRegistry::GetInstance()->DecNodeUseCount(m_UseCountedMD5);
    for (const TempFileInfo& f : m_TempFiles)
        if (f.m_bDeleteOnExit)
            unlink(f.m_FileName.c_str());
    m_TempFiles.clear();
    std::vector<uint8_t>().swap(m_LinearBuff);
    CSQLConnManager::SqlThreadEnd();
    QB_LOG(PL_INFO, TAG, "[Run] Exit With Wait Ret = %u Pointer = 0x%08x\n", m_LastWaitRet,
           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
    return 0;
}

void CNodeLogRecordTask::DrainReceiveRing()
{
    if (m_pRecvRing == nullptr)
        return;
    const uint64_t before = GetCounter(COUNTER_RECEIVED);
    m_bDraining = true;
    m_LastCanReadSize = 0;
    // The connection thread may still be reading (an orderly stop reaches this task first): bytes it
    // adds until it has stopped are handled too, with one full pass after it said so.
    const uint32_t start = platform::GetTickCount();
    for (;;)
    {
        const bool ended = !m_bReceiving.load();
        try
        {
            ProcessRingBuffData();
        }
        catch (...)
        {
            QB_LOG(PL_ERROR, TAG,
                   "[DrainReceiveRing] Exception Occur While Calling Function ProcessRingBuffData().\n");
            break;
        }
        if (ended)
            break;
        if (platform::GetTickCount() - start >= RECEIVE_END_WAIT_MS)
        {
            QB_LOG(PL_WARN, TAG, "[DrainReceiveRing] Connection Still Reading After %u ms\n",
                   RECEIVE_END_WAIT_MS);
            break;
        }
        platform::Sleep(5);
    }
    m_bDraining = false;
    // What is left are the bytes of a record cut short by the end of the connection.
    QB_LOG(PL_INFO, TAG,
           "[DrainReceiveRing] Unhandled Bytes = %u , Records Handled At The End = %" PRIu64
           " , DbName = %s\n",
           m_pRecvRing->GetTotalReadSize(), GetCounter(COUNTER_RECEIVED) - before, m_DbName.c_str());
}

// ---------------------------------------------------------------------------------------------
// Framing
// ---------------------------------------------------------------------------------------------

void CNodeLogRecordTask::ProcessRingBuffData()
{
    if (m_pRecvRing == nullptr)
        return;
    // The processor is offered to other devices' tasks every few records rather than after each one:
    // a yield is a system call, and per record it cost more than the record itself.
    uint32_t passes = 0;
    while (IsHandling())
    {
        uint32_t readable = 0;
        m_pRecvRing->GetCanReadSize(readable);
        if (readable < DATA_HEAD_LEN)
            break;
        int signCode = FindDataHead(readable);
        if (signCode != SIGN_CODE_NONE && ProcessLogData(signCode) == 0)
            break;
        if (++passes % YIELD_EVERY_PASSES == 0)
            YieldProcessor();
    }
    YieldProcessor();
}

int CNodeLogRecordTask::FindDataHead(uint32_t readable)
{
    if (m_pRecvRing == nullptr)
        return SIGN_CODE_NONE;
    uint32_t remaining = readable;
    while (remaining >= WIRE_SIGN_LEN && IsHandling())
    {
        uint8_t* p = reinterpret_cast<uint8_t*>(m_pRecvRing->GetReadPtr());
        uint32_t chunk = std::min(remaining, SCAN_CHUNK_SIZE);
        // The earlier of the two signs wins: taking a later one would discard a whole record of the
        // other sign in front of it as garbage.
        int code = SIGN_CODE_1111;
        long pos = FindSign(p, chunk, WIRE_SIGN_1111);
        long pos0500 = FindSign(p, pos < 0 ? chunk : static_cast<uint32_t>(pos), WIRE_SIGN_0500);
        if (pos0500 >= 0)
        {
            code = SIGN_CODE_0500;
            pos = pos0500;
        }
        if (pos >= 0)
        {
            DumpInvalidData(p, p + pos);
            m_pRecvRing->CommitRead(static_cast<uint32_t>(pos));
            return code;
        }
        // The last 7 bytes may be the beginning of a sign that continues in the next chunk or has not
        // fully arrived yet: they stay for the next scan instead of being thrown away.
        uint32_t drop = chunk - (WIRE_SIGN_LEN - 1);
        DumpInvalidData(p, p + drop);
        m_pRecvRing->CommitRead(drop);
        remaining -= drop;
        YieldProcessor();
    }
    return SIGN_CODE_NONE;
}

int CNodeLogRecordTask::ProcessLogData(int signCode)
{
    uint32_t readable = 0;
    m_pRecvRing->GetCanReadSize(readable);
    if (readable < DATA_HEAD_LEN)
        return 0;

    uint8_t* p = reinterpret_cast<uint8_t*>(m_pRecvRing->GetReadPtr());
    const uint32_t dataLen = wire::GetDataLen(*reinterpret_cast<const DataHead*>(p));
    if (dataLen < DATA_HEAD_LEN || dataLen > GetMaxRecordSize())
    {
        QB_LOG(PL_WARN, TAG, "[ProcessLogData] Recv Error DataHead m_DataLen = %u\n", dataLen);
        CInfoManager::GetInstance()->Count(CInfoManager::INFO_REFUSED_BAD_LENGTH);
        m_pRecvRing->CommitRead(DATA_HEAD_LEN);
        return 1;
    }

    if (readable >= dataLen)
    {
        SetCurrentRecord(p, dataLen, true);
        m_LastCanReadSize = 0;
    }
    else if (!m_bDraining && m_LastCanReadSize < readable &&
             m_pRecvRing->GetTotalReadSize() + RING_FULL_MARGIN < m_pRecvRing->GetCapacity())
    {
        // Still growing: the rest of the record has not arrived yet. A record that has (nearly) filled
        // the ring is copied out as the rest arrives instead: the connection has no room to add to
        // it, so no data would come to show that it stopped growing (only the data wait's time-out).
        m_LastCanReadSize = readable;
        return 0;
    }
    else if (m_bDraining && m_pRecvRing->GetTotalReadSize() < dataLen)
    {
        // Nothing more arrives: a record whose rest is not there never will be whole.
        return 0;
    }
    else
    {
        // The contiguous part did not grow since the last attempt: the record wraps around the ring end.
        if (m_LinearBuff.size() < dataLen)
            m_LinearBuff.resize(dataLen);
        QB_LOG(
            PL_INFO, TAG,
            "[ProcessLogData] Need To Call RingCache2LinearityBuff To Make Buff Linearity. LastCanReadSize = "
            "%u , CurrentCanReadSize = %u ,  NeedSize = %u\n",
            m_LastCanReadSize, readable, dataLen);
        m_LastCanReadSize = 0;
        if (RingCache2LinearityBuff(m_pRecvRing, m_LinearBuff.data(), dataLen) == 0)
            return 1;
        SetCurrentRecord(m_LinearBuff.data(), dataLen, false);
    }

    if (IsHandling())
        DispatchLog(signCode);
    else
        ConsumeCurrentRecord();
    return 1;
}

int CNodeLogRecordTask::RingCache2LinearityBuff(CRingCache* ring, uint8_t* dest, uint32_t length)
{
    if (ring == nullptr || dest == nullptr)
        return 0;
    platform::CWaitable* handles[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                       ring->GetDataEvent()};
    uint32_t copied = 0;
    while (IsHandling())
    {
        uint32_t readable = 0;
        ring->GetCanReadSize(readable);
        if (readable > 0)
        {
            uint32_t n = std::min(readable, length - copied);
            std::memcpy(dest + copied, ring->GetReadPtr(), n);
            ring->CommitRead(n);
            copied += n;
            if (copied == length)
                return 1;
            continue;
        }
        uint32_t ret = platform::WaitForMultipleObjects(2, handles, false, WAIT_DATA_MS);
        if (ret == platform::WAIT_OBJECT_0 || ret == platform::WAIT_FAILED)
            return 0;
    }
    return 0;
}

void CNodeLogRecordTask::DispatchLog(int signCode)
{
    if (m_pCurrentRecord == nullptr)
        return;
    const uint32_t logType = wire::GetLogType(*reinterpret_cast<const DataHead*>(m_pCurrentRecord));
    CountRecord(COUNTER_RECEIVED);
    CInfoManager::GetInstance()->CountReceivedType(logType);
    const bool diskFull = IsDiskFull();
    if (diskFull)
        QB_LOG(PL_WARN, TAG, "[DispatchLog] Disk Full!.\n");

    int dealt = 0;
    for (const DispatchRow& row : DISPATCH_TABLE)
    {
        if (row.m_LogType != logType)
            continue;
        if (diskFull && !row.m_bAllowedWhenDiskFull)
        {
            CInfoManager::GetInstance()->Count(CInfoManager::INFO_REFUSED_DISK_FULL);
            break;
        }
        if ((this->*row.m_Check)(signCode) == 0)
        {
            QB_LOG(PL_DEBUG, TAG, "[DispatchLog] Check Log Type = %u Fail!!!\n", logType);
            break;
        }
        QB_LOG(PL_DEBUG, TAG, "[DispatchLog] Check Log Type = %u Succeed\n", logType);
        dealt = (this->*row.m_Deal)(signCode);
        if (dealt == 1)
            QB_LOG(PL_DEBUG, TAG, "[DispatchLog] Dispatch Process Log Type = %u Succeed\n", logType);
        else
            QB_LOG(PL_DEBUG, TAG, "[DispatchLog] Dispatch Process Log Type = %u Fail!!!\n", logType);
        break;
    }
    if (dealt != 1)
        Deal_UnSupport_Log(signCode);
}

// ---------------------------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------------------------

int CNodeLogRecordTask::Deal_Always_Fail(int)
{
    return 0;
}

int CNodeLogRecordTask::Deal_UnSupport_Log(int)
{
    CountRecord(COUNTER_UNSUPPORTED);
    uint32_t type = 0;
    if (m_pCurrentRecord != nullptr)
        type = wire::GetLogType(*reinterpret_cast<const DataHead*>(m_pCurrentRecord));
    QB_LOG(PL_DEBUG, TAG, "[Deal_UnSupport_Log] UnSupport Type = %u DataSize = %u\n", type, m_CurrentLen);
    ConsumeCurrentRecord();
    return 1;
}

int CNodeLogRecordTask::Deal_KeepAlive_Log(int signCode)
{
    CountRecord(COUNTER_KEEPALIVE);
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    const KeepAliveLog* r = reinterpret_cast<const KeepAliveLog*>(m_pCurrentRecord);
    if (std::memcmp(r->m_Head.m_DevMD5, PROBE_TAG, PROBE_TAG_LEN) == 0)
    {
        WriteDataToSendCache(PROBE_TAG, PROBE_ANSWER_LEN);
        ConsumeCurrentRecord();
        return 1;
    }
    m_DevType = r->m_DevType;
    std::memcpy(m_DevMD5, r->m_Head.m_DevMD5, sizeof(m_DevMD5));

    uint8_t reply[KEEPALIVE_REPLY_LEN];
    size_t n = wire::BuildKeepAliveReply(r->m_Head, reply, sizeof(reply));
    WriteDataToSendCache(reply, static_cast<uint32_t>(n));

    if (IsDiskFull())
        return 0;
    m_LogsWriterManager.WriteLog(signCode, r, nullptr);
    ConsumeCurrentRecord();
    return 1;
}

template <typename Record>
int CNodeLogRecordTask::DealUserRecord(int signCode, const char* name, const char* flowFormat)
{
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    const Record* r = reinterpret_cast<const Record*>(m_pCurrentRecord);
    const bool flux = r->m_Action == USER_ACTION_FLUX;
    CountRecord(flux ? COUNTER_FLUX : COUNTER_USER);

    if (r->m_Action == USER_ACTION_RESOURCE)
    {
        if (CProgramLogRecorder::GetInstance()->WouldLog(PL_DEBUG))
        {
            std::string address = DottedAddress(r->m_ServerIP);
            QB_LOG(PL_DEBUG, TAG, "[%s] ServerType = %d Resouce = %s:%u\n", name, r->m_ServiceType,
                   address.c_str(), static_cast<unsigned>(wire::NetToHost16(r->m_ServerPort)));
        }
    }
    if (flux)
    {
        bool empty;
        if constexpr (std::is_same_v<Record, UserLog>)
        {
            QB_LOG(PL_DEBUG, TAG, flowFormat, r->m_UpFlux, r->m_DownFlux);
            empty = r->m_UpFlux < 1 && r->m_DownFlux < 1;
        }
        else if constexpr (std::is_same_v<Record, UserLogV2>)
        {
            QB_LOG(PL_DEBUG, TAG, flowFormat, r->m_UpFlux, r->m_DownFlux, r->m_RawUpFlux, r->m_RawDownFlux);
            empty = r->m_UpFlux < 1 && r->m_DownFlux < 1 && r->m_RawUpFlux < 1 && r->m_RawDownFlux < 1;
        }
        else
        {
            QB_LOG(PL_DEBUG, TAG, flowFormat, static_cast<long long>(r->m_UpFlux),
                   static_cast<long long>(r->m_DownFlux), static_cast<long long>(r->m_RawUpFlux),
                   static_cast<long long>(r->m_RawDownFlux));
            empty = r->m_UpFlux < 1 && r->m_DownFlux < 1 && r->m_RawUpFlux < 1 && r->m_RawDownFlux < 1;
        }
        if (empty)
        {
            ConsumeCurrentRecord();
            return 1;
        }
    }
    if (!CheckSyncReady(r->m_Head.m_DevMD5))
    {
        QB_LOG(PL_INFO, TAG, "[%s] Sync Not Ready , Drop Packge!\n", name);
        ConsumeCurrentRecord();
        return 1;
    }
    if (m_LogsWriterManager.WriteLog(signCode, r, nullptr) == 0)
        return 0;
    ConsumeCurrentRecord();
    return 1;
}

int CNodeLogRecordTask::Deal_User_Log(int signCode)
{
    // An 804-byte type-1 record comes from older devices and is a version-2 record.
    if (m_pCurrentRecord != nullptr && m_CurrentLen == USER_LOG_V2_LEN)
        return Deal_UserV2_Log(signCode);
    return DealUserRecord<UserLog>(signCode, "Deal_User_Log",
                                   "[Deal_User_Log] Receive Flow Log Up = %d , Dw = %d\n");
}

int CNodeLogRecordTask::Deal_UserV2_Log(int signCode)
{
    return DealUserRecord<UserLogV2>(
        signCode, "Deal_UserV2_Log",
        "[Deal_UserV2_Log] Receive Flow LogV2 Up = %d , Dw = %d , RawUp = %d , RawDw = %d\n");
}

int CNodeLogRecordTask::Deal_UserV3_Log(int signCode)
{
    return DealUserRecord<UserLogV3>(
        signCode, "Deal_UserV3_Log",
        "[Deal_User_Log] Receive Flow LogV3 Up = %lld , Dw = %lld , RawUp = %lld , RawDw = %lld\n");
}

template <typename Record>
int CNodeLogRecordTask::DealGatedRecord(int signCode, const char* name, ERecordCounter counter)
{
    CountRecord(counter);
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    const Record* r = reinterpret_cast<const Record*>(m_pCurrentRecord);
    if (!CheckSyncReady(r->m_Head.m_DevMD5))
    {
        QB_LOG(PL_INFO, TAG, "[%s] Sync Not Ready , Drop Packge!\n", name);
        ConsumeCurrentRecord();
        return 1;
    }
    if (m_LogsWriterManager.WriteLog(signCode, r, nullptr) == 0)
        return 0;
    ConsumeCurrentRecord();
    return 1;
}

int CNodeLogRecordTask::Deal_Audit_Log(int signCode)
{
    return DealGatedRecord<AuditLog>(signCode, "Deal_Audit_Log", COUNTER_AUDIT);
}

int CNodeLogRecordTask::Deal_Admin_Log(int signCode)
{
    return DealGatedRecord<AdminLog>(signCode, "Deal_Admin_Log", COUNTER_ADMIN);
}

int CNodeLogRecordTask::Deal_Alarm_Log(int signCode)
{
    return DealGatedRecord<AlarmLog>(signCode, "Deal_Alarm_Log", COUNTER_ALARM);
}

int CNodeLogRecordTask::Deal_System_Log(int signCode)
{
    return DealGatedRecord<SystemLog>(signCode, "Deal_System_Log", COUNTER_SYSTEM);
}

int CNodeLogRecordTask::Deal_UserAuditFile_Log(int signCode)
{
    CountRecord(COUNTER_USER);
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    if (m_ReplyBuff.size() < REPLY_BUFF_MIN)
        m_ReplyBuff.resize(REPLY_BUFF_MIN);
    if (m_ReplyBuff.size() < REPLY_BUFF_MIN)
    {
        QB_LOG(PL_INFO, TAG, "[Deal_UserAuditFile_Log] Invalid Reply Buff , Drop Packge!\n");
        return 0;
    }
    LogReplyBuffHead* reply = reinterpret_cast<LogReplyBuffHead*>(m_ReplyBuff.data());
    reply->m_Capacity = static_cast<uint32_t>(m_ReplyBuff.size() - sizeof(LogReplyBuffHead));
    reply->m_Length = 0;

    const UserAuditFileLog* r = reinterpret_cast<const UserAuditFileLog*>(m_pCurrentRecord);
    uint32_t result;
    if (!CheckSyncReady(r->m_Head.m_DevMD5))
    {
        QB_LOG(PL_INFO, TAG, "[Deal_UserAuditFile_Log] Sync Not Ready , Drop Packge!\n");
        result = 1;
    }
    else
    {
        result = m_LogsWriterManager.WriteLog(signCode, r, m_ReplyBuff.data());
    }
    if (reply->m_Length != 0)
        WriteDataToSendCache(m_ReplyBuff.data() + sizeof(LogReplyBuffHead),
                             std::min(reply->m_Length, reply->m_Capacity));
    if (result == 0)
        return 0;
    ConsumeCurrentRecord();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------------------------

void CNodeLogRecordTask::WriteDataToSendCache(const void* data, uint32_t length)
{
    if (m_pSendRing == nullptr || data == nullptr || length == 0)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t remaining = length;
    platform::CWaitable* handles[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                       m_pSendRing->GetSpaceEvent()};
    while (remaining > 0 && m_bRunning)
    {
        uint32_t space = 0;
        if (m_pSendRing->GetCanWriteSize(space))
        {
            uint32_t n = std::min(space, remaining);
            std::memcpy(m_pSendRing->GetWritePtr(), p, n);
            m_pSendRing->CommitWrite(n);
            p += n;
            remaining -= n;
            NotifySvpnNodeDataCanSend();
            continue;
        }
        uint32_t ret = platform::WaitForMultipleObjects(2, handles, false, WAIT_SEND_SPACE_MS);
        if (ret == platform::WAIT_OBJECT_0 + 1)
            continue;
        if (ret == platform::WAIT_OBJECT_0)
            return;
        if (ret == platform::WAIT_FAILED)
        {
            QB_LOG(PL_ERROR, TAG, "[WriteDataToSendCache] Wait Fail Err = %u\n",
                   static_cast<unsigned>(errno));
            return;
        }
        QB_LOG(PL_WARN, TAG,
               "[WriteDataToSendCache] Wait SendRingCache Timeout! Something Wrong With The Network?\n");
    }
}

void CNodeLogRecordTask::NotifySvpnNodeDataCanSend()
{
    if (!platform::PostThreadMessage(m_NodeThreadId, WM_SVPNNODE_DATA_CANSEND, 0, 0))
        QB_LOG(PL_ERROR, TAG, "[NotifySvpnNodeDataCanSend] Fail Err = %u\n", static_cast<unsigned>(errno));
}

void CNodeLogRecordTask::DumpInvalidData(const uint8_t* from, const uint8_t* to)
{
    if (from == nullptr || to == nullptr || to <= from)
        return;
    if (CConfigManager::GetInstance()->KelvAdv().m_DumpInvalidLog == 0)
        return;
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    if (!log->WouldLog(PL_DUMP))
        return;
    size_t total = std::min<size_t>(static_cast<size_t>(to - from), DUMP_MAX_BYTES);
    log->LockAll();
    try
    {
        for (size_t off = 0; off < total; off += 16)
        {
            const uint8_t* line = from + off;
            size_t n = std::min<size_t>(16, total - off);
            char text[128];
            int len = snprintf(text, sizeof(text), "  0x%08x  ",
                               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(line)));
            for (size_t i = 0; i < 16; ++i)
            {
                if (i < n)
                    len += snprintf(text + len, sizeof(text) - len, "%02x ", line[i]);
                else
                    len += snprintf(text + len, sizeof(text) - len, "   ");
            }
            for (size_t i = 0; i < n; ++i)
            {
                char c = static_cast<char>(line[i]);
                text[len++] = (c == '\r' || c == '\n' || c == '\t' || c == '\0') ? ' ' : c;
            }
            text[len] = '\0';
            log->Log(PL_DUMP, TAG, "%s\r\n", text);
        }
    }
    catch (...)
    {
    }
    log->UnlockAll();
}
