#include "maintenance/InfoRetrieveTask.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "writers/LogMergeManager.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace
{
const char* const TAG = "[CInfoRetrieveTask]";

// Readability of one socket within the time-out: 1 ready, 0 time-out, -1 failure (errno set).
int WaitReadable(platform::SOCKET s, uint32_t timeoutMs)
{
    pollfd p{};
    p.fd = s;
    p.events = POLLIN;
    int r;
    do
        r = poll(&p, 1, static_cast<int>(timeoutMs));
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}
} // namespace

CInfoRetrieveTask::~CInfoRetrieveTask()
{
    if (m_ListenSocket != platform::INVALID_SOCKET)
        CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, 1);
    m_ListenSocket = platform::INVALID_SOCKET;
}

int CInfoRetrieveTask::WaitExit(uint32_t timeoutMs)
{
    if (CGlobalSharedData::GetInstance()->WaitForExit(timeoutMs) == platform::WAIT_OBJECT_0)
    {
        QB_LOG(PL_INFO, TAG, "[WaitExit] Wait Exit Event.\n");
        return 1;
    }
    return 0;
}

uint32_t CInfoRetrieveTask::Run()
{
    int port = m_bPortOverride ? m_PortOverride : CConfigManager::GetInstance()->KelvAdv().m_InfoListenPort;
    if (port <= 0 || port > 65535)
    {
        QB_LOG(PL_WARN, TAG, "[Run] Invalid Listen Port = %d\n", port);
        return static_cast<uint32_t>(-1);
    }
    m_ListenSocket = CSocketManager::GetInstance()->AllocLoopbackListener(TAG);
    if (m_ListenSocket == platform::INVALID_SOCKET)
        return static_cast<uint32_t>(-1);

    // The listener waits for its loopback port and tries again each pass.
    bool bound = false, listening = false;
    while (m_bRunning == 1)
    {
        if (WaitExit(0))
            break;
        m_ActivityTime = platform::GetTickCount();
        if (!listening)
        {
            CSocketManager::ELoopbackStep step =
                CSocketManager::ListenOnLoopback(m_ListenSocket, static_cast<uint16_t>(port), bound);
            listening = step == CSocketManager::ELoopbackStep::LISTENING;
            if (!listening)
            {
                QB_LOG(PL_ERROR, TAG,
                       step == CSocketManager::ELoopbackStep::BIND_FAILED ? "[Run] Bind Fail Err = %u\n"
                                                                          : "[Run] listen Fail Err = %u\n",
                       static_cast<unsigned>(platform::WSAGetLastError()));
                if (WaitExit(ScaledInterval(SELECT_TIMEOUT_MS)))
                    break;
                continue;
            }
        }
        if (WaitReadable(m_ListenSocket, ScaledInterval(SELECT_TIMEOUT_MS)) != 1)
            continue;
        if (DoAcceptService(m_ListenSocket) == 0)
            break;
    }
    CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, 1);
    m_ListenSocket = platform::INVALID_SOCKET;
    return 0;
}

int CInfoRetrieveTask::DoAcceptService(platform::SOCKET listenSocket)
{
    sockaddr_in peer{};
    platform::SOCKET s = platform::Accept(listenSocket, &peer);
    if (s == platform::INVALID_SOCKET)
    {
        int err = platform::WSAGetLastError();
        // A client that gave up between readiness and accept is not a broken listener.
        if (err == EWOULDBLOCK || err == ECONNABORTED || err == EINTR || err == EPROTO)
            return 1;
        QB_LOG(PL_ERROR, TAG, "[DoAcceptService] Accept Socket Fail Err = %u\n", static_cast<unsigned>(err));
        return 0;
    }
    int result = DoService(s);
    platform::CloseSocket(s);
    return result;
}

int CInfoRetrieveTask::DoService(platform::SOCKET s)
{
    char buffer[REQUEST_BUFF_SIZE];
    int result = 1;
    do
    {
        if (WaitExit(0))
            break;
        std::memset(buffer, 0, sizeof(buffer));
        int closed = 0;
        uint32_t timeoutMs = ScaledInterval(SELECT_TIMEOUT_MS);
        int n = RecvData(s, buffer, sizeof(buffer), static_cast<long>(timeoutMs / 1000),
                         static_cast<long>(timeoutMs % 1000) * 1000, closed);
        if (closed || n < 0)
            break;
        if (n > 0)
            DispatchRequest(s, buffer, n);
    } while (m_bRunning == 1);
    return result;
}

int CInfoRetrieveTask::RecvData(platform::SOCKET s, char* buffer, int length, long seconds, long microseconds,
                                int& closed)
{
    closed = 0;
    uint32_t timeoutMs = static_cast<uint32_t>(seconds * 1000 + microseconds / 1000);
    int ready = WaitReadable(s, timeoutMs);
    if (ready == 0)
    {
        QB_LOG(PL_INFO, TAG, "[RecvData] Select TimeOut.\n");
        return 0;
    }
    if (ready < 0)
    {
        QB_LOG(PL_INFO, TAG, "[RecvData] Cannot select Err = %u\n", static_cast<unsigned>(errno));
        return 0;
    }
    int n = platform::Recv(s, buffer, length, 0);
    if (n < 0)
    {
        int err = platform::WSAGetLastError();
        if (err == EWOULDBLOCK || err == EINTR)
            return 0;
        closed = 1;
        QB_LOG(PL_WARN, TAG, "[RecvData] Cannot recv Data Err = %u\n", static_cast<unsigned>(err));
        return -1;
    }
    if (n == 0)
    {
        closed = 1;
        QB_LOG(PL_INFO, TAG, "[RecvData] Socket Close.\n");
        return 0;
    }
    QB_LOG(PL_INFO, TAG, "[RecvData] Socket Recv Size = %d.\n", n);
    return n;
}

int CInfoRetrieveTask::DispatchRequest(platform::SOCKET s, const char* buffer, int length)
{
    if (buffer == nullptr || length < static_cast<int>(sizeof(InfoQueryHeader)))
        return 0;
    InfoQueryHeader head;
    std::memcpy(&head, buffer, sizeof(head));
    if (head.m_HeaderSize != sizeof(InfoQueryHeader))
    {
        QB_LOG(PL_WARN, TAG, "[DispatchRequest] Query Header Size = %u Not %u\n", head.m_HeaderSize,
               static_cast<unsigned>(sizeof(InfoQueryHeader)));
        return 0;
    }
    if (std::memcmp(head.m_Sign, INFO_QUERY_SIGN, sizeof(head.m_Sign)) != 0)
    {
        QB_LOG(PL_WARN, TAG, "[DispatchRequest] Query Header Sign Not INFOQRY\n");
        return 0;
    }
    if (head.m_QueryType < 0)
        return 0;
    if (head.m_QueryType != INFO_QUERY_TYPE_LOGMERGE)
    {
        QB_LOG(PL_WARN, TAG, "[DispatchRequest] Query Type = %u Not Support.\n",
               static_cast<unsigned>(head.m_QueryType));
        return 0;
    }
    return DoLogMergeInfoRequest(s, buffer, length);
}

int CInfoRetrieveTask::DoLogMergeInfoRequest(platform::SOCKET s, const char*, int)
{
    InfoReplyHeader head{};
    head.m_HeaderSize = sizeof(InfoReplyHeader);
    std::memcpy(head.m_Sign, INFO_REPLY_SIGN, sizeof(head.m_Sign));
    head.m_Reserved1 = REPLY_HEADER_RESERVED1;
    head.m_ReplyType = REPLY_TYPE_LOGMERGE;
    head.m_Reserved2 = 0;
    head.m_DataSize = sizeof(InfoLogMergeReplyData);

    uint32_t buffCount = 0, capacity = 0, used = 0;
    CLogMergeManager::GetInstance()->GetLogMergeInfo(buffCount, capacity, used);
    const KelvAdvConfig& adv = CConfigManager::GetInstance()->KelvAdv();
    CInfoManager* info = CInfoManager::GetInstance();
    int global = adv.m_GlobalEnableLogMerge;

    InfoLogMergeReplyData& data = m_ReplyData;
    std::memset(&data, 0, sizeof(data));
    data.m_Version = REPLY_DATA_VERSION;
    data.m_GlobalEnableLogMerge = static_cast<uint32_t>(global);
    data.m_RecvLogCount.Set(info->GetCounter(CInfoManager::INFO_RECV_LOG));
    data.m_MergedTotal.Set(info->GetCounter(CInfoManager::INFO_MERGED_TOTAL));
    data.m_BuffCapacity = capacity;
    data.m_BuffCount = buffCount;
    data.m_FillPercent = (used == 0 || capacity == 0)
                             ? 0
                             : static_cast<uint32_t>(static_cast<uint64_t>(used) * 100 / capacity);
    data.m_UserLogEnableLogMerge = global != 0 ? static_cast<uint32_t>(adv.m_UserLogEnableLogMerge) : 0;
    data.m_MergedSvrLogCount.Set(info->GetCounter(CInfoManager::INFO_MERGED_SVR_LOG));
    data.m_FlowLogEnableLogMerge = global != 0 ? static_cast<uint32_t>(adv.m_FlowLogEnableLogMerge) : 0;
    data.m_MergedFlowLogCount.Set(info->GetCounter(CInfoManager::INFO_MERGED_FLOW_LOG));
    data.m_SysLogEnableLogMerge = global != 0 ? static_cast<uint32_t>(adv.m_SysLogEnableLogMerge) : 0;
    data.m_MergedSysLogCount.Set(info->GetCounter(CInfoManager::INFO_MERGED_SYS_LOG));

    int r = platform::Send(s, reinterpret_cast<const char*>(&head), sizeof(head), 0);
    if (r != static_cast<int>(sizeof(head)))
        QB_LOG(PL_WARN, TAG, "[DoLogMergeInfoRequest] Send struct InfoReplyHeader Ret = %d , Err = %u\n", r,
               static_cast<unsigned>(platform::WSAGetLastError()));
    r = platform::Send(s, reinterpret_cast<const char*>(&data), sizeof(data), 0);
    if (r != static_cast<int>(sizeof(data)))
        QB_LOG(PL_WARN, TAG,
               "[DoLogMergeInfoRequest] Send struct InfoLogMergeReplyData Ret = %d , Err = %u\n", r,
               static_cast<unsigned>(platform::WSAGetLastError()));
    return 1;
}
