#include "intake/NodeLogRecordTask.h"

#include "config/ConfigManager.h"
#include "intake/LogudtSqlBuilder.h"
#include "core/InfoManager.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <tinyxml.h>
#include <unistd.h>

namespace
{
constexpr const char* TAG = "[CNodeLogRecordTask]";
constexpr uint32_t CLIENT_MULTI_STATEMENTS_FLAG = 0x10000;
constexpr const char* SET_NAMES_GBK = "set   names   'gbk'";
constexpr const char* BUFF_SOURCE_FILE = "modules/BuffManager";
constexpr int BUFF_SOURCE_LINE = 27;

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

std::string KeyToUpperHex(const uint8_t key[16])
{
    char text[33] = {};
    BinToHex(key, 16, text, sizeof(text));
    return text;
}

std::string KeyToLowerHex(const uint8_t key[16])
{
    std::string text = KeyToUpperHex(key);
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
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

// Texts of the user-record checks, in test order after the size message.
const char* const USER_V1_MESSAGES[] = {
    "[Check_User_Log] Wrong UserLog Action Type = %u\n",
    "[Check_User_Log] Wrong UserLog Result Type = %d\n",
    "[Check_User_Log] Wrong UserLog ServiceType Type = %d\n",
    "[Check_User_Log] Wrong UserLog ServerAttribute Type = %d\n",
    "[Check_User_Log] Wrong UserLog AuthMethod Type = %d\n",
};
const char* const USER_V2_MESSAGES[] = {
    "[Check_UserV2_Log] Wrong UserLogV2 Action Type = %d\n",
    "[Check_UserV2_Log] Wrong UserLogV2 Result Type = %d\n",
    "[Check_UserV2_Log] Wrong UserLogV2 ServiceType Type = %d\n",
    "[Check_UserV2_Log] Wrong UserLogV2 ServerAttribute Type = %d\n",
    "[Check_UserV2_Log] Wrong UserLogV2 AuthMethod Type = %d\n",
};
const char* const USER_V3_MESSAGES[] = {
    "[Check_UserV3_Log] Wrong UserLogV3 Action Type = %d\n",
    "[Check_UserV3_Log] Wrong UserLogV3 Result Type = %d\n",
    "[Check_UserV3_Log] Wrong UserLogV3 ServiceType Type = %d\n",
    "[Check_UserV3_Log] Wrong UserLogV3 ServerAttribute Type = %d\n",
    "[Check_UserV3_Log] Wrong UserLogV3 AuthMethod Type = %d\n",
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

void CNodeLogRecordTask::RestoreMaskedBody()
{
    if (m_pCurrentRecord == nullptr || m_bBodyRestored)
        return;
    m_bBodyRestored = true;
    const DataHead* head = reinterpret_cast<const DataHead*>(m_pCurrentRecord);
    if (head->m_Masked != 0)
        wire::InvertBody(m_pCurrentRecord, m_CurrentLen);
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
    CountRecord(COUNTER_RECEIVED);
    const bool diskFull = IsDiskFull();
    if (diskFull)
        QB_LOG(PL_WARN, TAG, "[DispatchLog] Disk Full!.\n");

    const uint32_t logType = wire::GetLogType(*reinterpret_cast<const DataHead*>(m_pCurrentRecord));
    int dealt = 0;
    for (const DispatchRow& row : DISPATCH_TABLE)
    {
        if (row.m_LogType != logType)
            continue;
        if (diskFull && !row.m_bAllowedWhenDiskFull)
            break;
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
// Checks
// ---------------------------------------------------------------------------------------------

int CNodeLogRecordTask::Check_Record_Present(int)
{
    return m_pCurrentRecord != nullptr ? 1 : 0;
}

int CNodeLogRecordTask::Check_KeepAlive_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    const KeepAliveLog* r = reinterpret_cast<const KeepAliveLog*>(m_pCurrentRecord);
    if (std::memcmp(r->m_Head.m_DevMD5, PROBE_TAG, PROBE_TAG_LEN) == 0)
        return 1;
    if (m_CurrentLen != KEEPALIVE_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_KeepAlive_Log] Wrong KeepAlive Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    if (!RANGE_KEEPALIVE_DEVTYPE.Contains(r->m_DevType))
    {
        QB_LOG(PL_WARN, TAG, "[Check_KeepAlive_Log] Wrong KeepAlive Packge DevType\n");
        return 0;
    }
    return 1;
}

template <typename Record> int CNodeLogRecordTask::CheckUserRecord(const char*, const char* const* messages)
{
    const Record* r = reinterpret_cast<const Record*>(m_pCurrentRecord);
    if (!RANGE_USER_ACTION.Contains(r->m_Action))
    {
        QB_LOG(PL_WARN, TAG, messages[0], r->m_Action);
        return 0;
    }
    if (!RANGE_USER_RESULT.Contains(r->m_Result))
    {
        QB_LOG(PL_WARN, TAG, messages[1], r->m_Result);
        return 0;
    }
    if (!RANGE_USER_SERVICETYPE.Contains(r->m_ServiceType))
    {
        QB_LOG(PL_WARN, TAG, messages[2], r->m_ServiceType);
        return 0;
    }
    if (!RANGE_USER_SERVERATTR.Contains(r->m_ServerAttr))
    {
        QB_LOG(PL_WARN, TAG, messages[3], r->m_ServerAttr);
        return 0;
    }
    if (!RANGE_USER_AUTHMETHOD.Contains(r->m_AuthMethod))
    {
        QB_LOG(PL_WARN, TAG, messages[4], r->m_AuthMethod);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_User_Log(int signCode)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen == USER_LOG_V2_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_User_Log] Warn: Maybe Old Ver M4.3 Ssllogs!!!\n");
        return Check_UserV2_Log(signCode);
    }
    if (m_CurrentLen != USER_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_User_Log] Wrong User Packge Size = %u Correct Size = %u\n", m_CurrentLen,
               USER_LOG_LEN);
        return 0;
    }
    return CheckUserRecord<UserLog>("Check_User_Log", USER_V1_MESSAGES);
}

int CNodeLogRecordTask::Check_UserV2_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != USER_LOG_V2_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_UserV2_Log] Wrong UserLogV2 Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    return CheckUserRecord<UserLogV2>("Check_UserV2_Log", USER_V2_MESSAGES);
}

int CNodeLogRecordTask::Check_UserV3_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != USER_LOG_V3_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_UserV3_Log] Wrong UserLogV3 Packge Size = %u Correct = %u\n",
               m_CurrentLen, USER_LOG_V3_LEN);
        return 0;
    }
    return CheckUserRecord<UserLogV3>("Check_UserV3_Log", USER_V3_MESSAGES);
}

int CNodeLogRecordTask::Check_Audit_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != AUDIT_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_Audit_Log] Wrong Audit Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_Admin_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != ADMIN_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_Admin_Log] Wrong Admin Log Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    const AdminLog* r = reinterpret_cast<const AdminLog*>(m_pCurrentRecord);
    if (!RANGE_ADMIN_ACTION.Contains(r->m_Action))
    {
        QB_LOG(PL_WARN, TAG, "[Check_Admin_Log] Wrong Admin Action Type = %d\n", r->m_Action);
        return 0;
    }
    if (!RANGE_ADMIN_ENTITY.Contains(r->m_Entity))
    {
        QB_LOG(PL_WARN, TAG, "[Check_Admin_Log] Wrong Admin Entity Type = %d\n", r->m_Entity);
        return 0;
    }
    if (!RANGE_ADMIN_RESULT.Contains(r->m_Result))
    {
        QB_LOG(PL_WARN, TAG, "[Check_Admin_Log] Wrong Admin Result Type = %d\n", r->m_Result);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_Alarm_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != ALARM_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_Alarm_Log] Wrong Alarm Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    const AlarmLog* r = reinterpret_cast<const AlarmLog*>(m_pCurrentRecord);
    if (!RANGE_ALARM_TYPE.Contains(r->m_AlarmType))
    {
        QB_LOG(PL_WARN, TAG, "[Check_Alarm_Log] Wrong Alarm Type = %d\n", r->m_AlarmType);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_LogudtDB_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen < LOGUDTDB_LOG_MIN_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_LogudtDB_Log] Wrong LogudtDB Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    const LogudtDBLog* r = reinterpret_cast<const LogudtDBLog*>(m_pCurrentRecord);
    if (r->m_UpdateType >= UPDATE_TYPE_LIMIT)
    {
        QB_LOG(PL_WARN, TAG, "[Check_LogudtDB_Log] Wrong LogudtDB UpdateType Type = %u\n",
               static_cast<uint32_t>(r->m_UpdateType));
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_System_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen != SYSTEM_LOG_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_System_Log] Wrong System Packge Size = %u\n", m_CurrentLen);
        return 0;
    }
    const SystemLog* r = reinterpret_cast<const SystemLog*>(m_pCurrentRecord);
    if (!RANGE_SYSTEM_LOGTYPE.Contains(r->m_SysLogType))
    {
        QB_LOG(PL_WARN, TAG, "[Check_System_Log] Wrong System Log Type = %d\n", r->m_SysLogType);
        return 0;
    }
    if (!RANGE_SYSTEM_PROCESSTYPE.Contains(r->m_ProcessType))
    {
        QB_LOG(PL_WARN, TAG, "[Check_System_Log] Wrong System Process Type = %d\n", r->m_ProcessType);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::Check_UserAuditFile_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen < USERAUDITFILE_LOG_MIN_LEN)
    {
        QB_LOG(PL_WARN, TAG,
               "[Check_UserAuditFile_Log] Wrong UserAuditFile Packge , Size = %u Correct At Least %u\n",
               m_CurrentLen, USERAUDITFILE_LOG_MIN_LEN);
        return 0;
    }
    const UserAuditFileLog* r = reinterpret_cast<const UserAuditFileLog*>(m_pCurrentRecord);
    if (!RANGE_AUDITFILE_OPTYPE.Contains(r->m_OpType))
    {
        QB_LOG(PL_WARN, TAG, "[Check_UserAuditFile_Log] Wrong UserAuditFile TransactionOpType Type = %d\n",
               r->m_OpType);
        return 0;
    }
    uint32_t extra = wire::NetToHost32(r->m_ExtraDataSize);
    if (extra >= USERAUDITFILE_EXTRA_LIMIT)
    {
        QB_LOG(PL_WARN, TAG, "[Check_UserAuditFile_Log] Wrong UserAuditFile ExtraDataSize = %u\n", extra);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Synchronisation gate and database name
// ---------------------------------------------------------------------------------------------

void CNodeLogRecordTask::MarkUseCounted(const uint8_t* devMD5)
{
    memcpy(m_UseCountedMD5, devMD5, sizeof(m_UseCountedMD5));
    m_bUseCounted = true;
}

int CNodeLogRecordTask::CheckSyncReady(const uint8_t* devMD5)
{
    if (m_bSyncReady)
        return 1;
    if (devMD5 == nullptr)
        return 0;
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    if (devReg->GetNodeUseCount(devMD5) == 0)
        return 0;
    devReg->IncNodeUseCount(devMD5);
    MarkUseCounted(devMD5);
    m_bSyncReady = 1;
    return SetDbName(devMD5);
}

int CNodeLogRecordTask::SetDbName(const uint8_t* devMD5)
{
    if (devMD5 == nullptr)
        return 0;
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    const std::string keyText = KeyToLowerHex(devMD5);
    {
        CCSLocker lock(devReg->GetDevTableLock());
        m_DbName.clear();
        for (const DevNodeInfo& node : devReg->GetDevNodeList())
        {
            QB_LOG(PL_DEBUG, TAG, "[SetDbName] Compare MD5 %s With %s\n", node.m_MD5Text.c_str(),
                   keyText.c_str());
            if (node.m_MD5Text == keyText)
            {
                m_DbName = node.m_DbName;
                break;
            }
        }
    }
    if (m_DbName.empty())
    {
        QB_LOG(PL_ERROR, TAG, "[SetDbName] Current MD5 = %s Does Not In The DevNode List\n", keyText.c_str());
        return 0;
    }
    m_LogsWriterManager.SetDbName(m_DbName.c_str());
    return 1;
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

int CNodeLogRecordTask::ExecSql(const char* sql, MYSQL* conn)
{
    if (sql == nullptr || conn == nullptr)
        return 0;
    if (mysql_query(conn, sql) != 0)
    {
        QB_LOG(PL_ERROR, TAG, "[ExecSql] Fail To Exec Sql = %s ErrNo = %u\n", sql, mysql_errno(conn));
        return 0;
    }
    // A statement text may hold several statements on a multi-statement connection: drain them all.
    do
    {
        MYSQL_RES* res = mysql_store_result(conn);
        if (res != nullptr)
            mysql_free_result(res);
    } while (mysql_next_result(conn) == 0);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Directory synchronisation
// ---------------------------------------------------------------------------------------------

int CNodeLogRecordTask::Deal_LogudtDB_Log(int)
{
    CountRecord(COUNTER_LOGUDTDB);
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    const LogudtDBLog* r = reinterpret_cast<const LogudtDBLog*>(m_pCurrentRecord);

    static const char* const PREFIXES[] = {"/AdminInfo", "/UserInfo", "/DeviceInfo", ""};
    const int32_t kind = r->m_UpdateType;
    const int row = (kind >= 0 && kind < UPDATE_TYPE_LIMIT) ? kind : UPDATE_TYPE_LIMIT;

    char suffix[32];
    snprintf(suffix, sizeof(suffix), "_%u.xml", platform::GetCurrentThreadId());
    std::string fileName = CGlobalSharedData::GetInstance()->GetTempDir() + PREFIXES[row] +
                           KeyToUpperHex(r->m_Head.m_DevMD5) + suffix;
    // The same name comes back for every push of this kind and device on this thread: listed once.
    bool listed = false;
    for (const TempFileInfo& f : m_TempFiles)
        listed = listed || f.m_FileName == fileName;
    if (!listed)
        m_TempFiles.push_back(TempFileInfo{fileName, true});
    // A push refused before processing leaves no document behind: keys are device text, and one
    // connection naming ever new keys would otherwise fill the disk until it closes.
    auto dropFile = [&]
    {
        unlink(fileName.c_str());
        if (!listed)
            m_TempFiles.pop_back();
    };

    int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Create File = %s Err = %u\n", fileName.c_str(),
               static_cast<unsigned>(errno));
        return 0;
    }
    const uint32_t total = m_CurrentLen - LOGUDTDB_LOG_MIN_LEN;
    const uint8_t* doc = m_pCurrentRecord + LOGUDTDB_LOG_MIN_LEN;
    uint32_t written = 0;
    while (written < total)
    {
        ssize_t n = write(fd, doc + written, total - written);
        if (n <= 0)
        {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        written += static_cast<uint32_t>(n);
    }
    close(fd);
    if (written != total)
        QB_LOG(PL_WARN, TAG,
               "[Deal_LogudtDB_Log] Cannot Write All Logudt Data To File. Total = %u , Real Write = %u\n",
               total, written);

    unsigned char digest[16];
    if (!MD5File(fileName.c_str(), digest))
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Compute Logudt Data MD5\n");
        return 0;
    }
    char padded[33], unpadded[33], sent[32];
    wire::DigestToHexLower(digest, padded);
    wire::DigestToHexShort(digest, unpadded);
    for (size_t i = 0; i < sizeof(sent); ++i)
        sent[i] = static_cast<char>(tolower(static_cast<unsigned char>(r->m_DataMD5[i])));
    const char* matched = nullptr;
    if (std::memcmp(padded, sent, sizeof(sent)) == 0)
        matched = padded;
    else if (std::memcmp(unpadded, sent, sizeof(sent)) == 0)
        matched = unpadded;
    if (matched == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Local Logudt Data MD5 Not The Same As Server Send\n");
        dropFile();
        return 0;
    }

    if (!SetDbName(r->m_Head.m_DevMD5))
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Error Occur While Call Function SetDbName\n");
        dropFile();
        return 0;
    }

    int synced;
    if (row == UPDATE_TYPE_ADMIN)
        synced = ProcessLogudtAdminInfo(fileName.c_str());
    else if (row == UPDATE_TYPE_USER || row == UPDATE_TYPE_DEVICE)
        synced = ProcessLogudtUserInfo(fileName.c_str());
    else
        synced = ProcessLogudtUnknownInfo(fileName.c_str());
    if (synced == 0)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Error Occur While Sync Logudt Data To DB\n");
        return 0;
    }

    // The first push since start marks the device synchronised (count 1);
    // a push while another connection of the device is counted adds this one.
    if (!m_bUseCounted)
    {
        CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
        if (devReg->GetNodeUseCount(r->m_Head.m_DevMD5) == 0)
            devReg->InitNodeUseCount(r->m_Head.m_DevMD5);
        else
            devReg->IncNodeUseCount(r->m_Head.m_DevMD5);
        MarkUseCounted(r->m_Head.m_DevMD5);
    }

    uint8_t reply[LOGUDTDB_REPLY_LEN];
    size_t n = wire::BuildLogudtDBReply(r->m_Head, matched, reply, sizeof(reply));
    WriteDataToSendCache(reply, static_cast<uint32_t>(n));

    CBuffManager* buffs = CBuffManager::GetInstance();
    char* dbName = buffs->AllocByteBuff(m_DbName.size() + 1, BUFF_SOURCE_FILE, BUFF_SOURCE_LINE);
    char* key = buffs->AllocByteBuff(17, BUFF_SOURCE_FILE, BUFF_SOURCE_LINE);
    if (dbName == nullptr || key == nullptr)
    {
        buffs->ReleaseByteBuff(dbName);
        buffs->ReleaseByteBuff(key);
    }
    else
    {
        std::memcpy(dbName, m_DbName.c_str(), m_DbName.size() + 1);
        std::memcpy(key, r->m_Head.m_DevMD5, 16);
        if (!platform::PostThreadMessage(m_NodeThreadId, WM_SVPNNODE_DATASYNC_SUCC,
                                         reinterpret_cast<uintptr_t>(dbName),
                                         reinterpret_cast<intptr_t>(key)))
        {
            QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Post Message To Svpn Node Thread Err = %u",
                   static_cast<unsigned>(errno));
            // Nobody will receive them.
            buffs->ReleaseByteBuff(dbName);
            buffs->ReleaseByteBuff(key);
        }
    }

    ConsumeCurrentRecord();
    return 1;
}

void CNodeLogRecordTask::ExecUpdateSql(MYSQL* conn)
{
    if (conn == nullptr)
        return;
    for (const std::string& sql : CConfigManager::GetInstance()->GetUpdateSqlCopy())
        ExecSql(sql.c_str(), conn);
}

int CNodeLogRecordTask::ProcessLogudtUserInfo(const char* fileName)
{
    if (fileName == nullptr || m_DbName.empty())
        return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS_FLAG);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Cannot Alloc SqlConn\n");
    }
    else
    {
        ExecSql(SET_NAMES_GBK, conn);
        TiXmlDocument doc;
        const TiXmlElement* root = nullptr;
        if (!CLogudtSqlBuilder::LoadDocument(doc, fileName))
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Fail To Load %s TiXmlDocument\n", fileName);
        else if ((root = doc.FirstChildElement()) == nullptr)
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Fail To Get Root Elem\n");
        else if (!CLogudtSqlBuilder::NameBeginsWith(root->Value(), "content"))
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Root Value Not Corrent! Current Value = %s\n",
                   root->Value());
        else
        {
            CLogudtSqlBuilder builder(CConfigManager::GetInstance()->GetLogudtCopy());
            std::vector<std::string> statements;
            builder.BuildUserInfoStatements(root, statements);
            for (const std::string& s : statements)
                ExecSql(s.c_str(), conn);
        }

        ExecUpdateSql(conn);
        CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
        DevNodeInfo* node = nullptr;
        if (devReg->FindNodeInfoIter(m_DbName.c_str(), nullptr, node) &&
            devReg->GetSpecifyDevNodeUserInfo(conn, node) && devReg->GetSpecifyDevNodeGroupInfo(conn, node))
            QB_LOG(PL_DEBUG, TAG, "[ProcessLogudtUserInfo] Update User Info Succeed.\n");
        sql->ReleaseSqlConn(conn);
    }
    m_bSyncReady = 1;
    return 1;
}

int CNodeLogRecordTask::ProcessLogudtAdminInfo(const char* fileName)
{
    if (fileName == nullptr || m_DbName.empty())
        return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS_FLAG);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Cannot Alloc SqlConn\n");
        QB_LOG(PL_WARN, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Fail.\n");
        return 1;
    }
    ExecSql(SET_NAMES_GBK, conn);
    TiXmlDocument doc;
    const TiXmlElement* root = nullptr;
    if (!CLogudtSqlBuilder::LoadDocument(doc, fileName))
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Fail To Load %s TiXmlDocument\n", fileName);
    else if ((root = doc.FirstChildElement()) == nullptr)
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Fail To Get Root Elem\n");
    else if (!CLogudtSqlBuilder::NameBeginsWith(root->Value(), "velmofile"))
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Root Value Not Corrent! Current Value = %s\n",
               root->Value());
    else
    {
        CLogudtSqlBuilder builder(CConfigManager::GetInstance()->GetLogudtCopy());
        for (const TiXmlElement* content = root->FirstChildElement(); content != nullptr;
             content = content->NextSiblingElement())
        {
            if (!CLogudtSqlBuilder::NameBeginsWith(content->Value(), "filecontent"))
                continue;
            for (const TiXmlElement* e = content->FirstChildElement(); e != nullptr;
                 e = e->NextSiblingElement())
            {
                const char* table = nullptr;
                if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlManager"))
                    table = "Admin";
                else if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlGroup"))
                    table = "admingroup";
                if (table == nullptr || builder.FindTable(table) == nullptr)
                    continue;
                std::vector<std::string> statements;
                builder.BuildTableStatements(table, e, statements);
                for (const std::string& s : statements)
                    ExecSql(s.c_str(), conn);
            }
        }
    }

    ExecUpdateSql(conn);
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    DevNodeInfo* node = nullptr;
    if (devReg->FindNodeInfoIter(m_DbName.c_str(), nullptr, node) && devReg->GetSpecifyDevNodeAdminInfo(conn, node))
        QB_LOG(PL_DEBUG, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Succeed.\n");
    else
        QB_LOG(PL_WARN, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Fail.\n");
    sql->ReleaseSqlConn(conn);
    return 1;
}

int CNodeLogRecordTask::ProcessLogudtUnknownInfo(const char* fileName)
{
    if (fileName == nullptr)
        return 0;
    QB_LOG(PL_WARN, TAG, "[ProcessLogudtUnknownInfo] Unknown Update Type. FileName = %s\n", fileName);
    return 1;
}
