#include "maintenance/MetricsTask.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Memory.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "storage/DataFileManager.h"
#include "writers/LogMergeManager.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

namespace
{
const char* const TAG = "[CMetricsTask]";
// After a refusal the rest of what the client sends is read and dropped for this long (and no more
// than one buffer), so that closing does not reset the connection before the answer is read.
constexpr uint32_t DRAIN_MS = 200;
} // namespace

CMetricsTask::~CMetricsTask()
{
    if (m_ListenSocket != platform::INVALID_SOCKET)
        CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, 1);
    m_ListenSocket = platform::INVALID_SOCKET;
}

bool CMetricsTask::ShouldStop()
{
    return m_bRunning != 1 || CGlobalSharedData::GetInstance()->WaitForExit(0) == platform::WAIT_OBJECT_0;
}

MetricsSnapshot CMetricsTask::Collect()
{
    MetricsSnapshot s;
    CInfoManager* info = CInfoManager::GetInstance();
    static_assert(MetricsSnapshot::KIND_SLOTS == CInfoManager::RECV_TYPE_SLOTS);
    for (uint32_t k = 0; k < MetricsSnapshot::KIND_SLOTS; ++k)
        s.m_ReceivedByKind[k] = info->GetReceivedType(k);
    s.m_RefusedRange = info->GetCounter(CInfoManager::INFO_REFUSED_RANGE);
    s.m_RefusedBadLength = info->GetCounter(CInfoManager::INFO_REFUSED_BAD_LENGTH);
    s.m_RefusedGate = info->GetCounter(CInfoManager::INFO_REFUSED_GATE);
    s.m_RefusedUnknownDevice = info->GetCounter(CInfoManager::INFO_REFUSED_UNKNOWN_DEVICE);
    s.m_RefusedDiskFull = info->GetCounter(CInfoManager::INFO_REFUSED_DISK_FULL);
    s.m_RowsLoadData = info->GetCounter(CInfoManager::INFO_ROWS_LOAD_DATA);
    s.m_RowsInsert = info->GetCounter(CInfoManager::INFO_ROWS_INSERT);
    s.m_ImportsFailed = info->GetCounter(CInfoManager::INFO_IMPORT_FAILED);
    s.m_FilesSetAside = info->GetCounter(CInfoManager::INFO_DATA_FILES_SET_ASIDE);
    s.m_ConnectionsOpen = info->GetOpenConnectionCount();
    s.m_ConnectionsRefused = info->GetCounter(CInfoManager::INFO_CONN_REFUSED);
    s.m_DatabaseReachable = info->GetDatabaseReachable();
    s.m_MergedUser = info->GetCounter(CInfoManager::INFO_MERGED_SVR_LOG);
    s.m_MergedFlow = info->GetCounter(CInfoManager::INFO_MERGED_FLOW_LOG);
    s.m_MergedSystem = info->GetCounter(CInfoManager::INFO_MERGED_SYS_LOG);
    s.m_StartTimeSeconds = info->GetStartEpoch();

    int64_t oldest = 0;
    CDataFileManager::GetInstance()->GetImportBacklog(s.m_BacklogFiles, s.m_BacklogBytes, oldest);
    if (oldest > 0)
        s.m_BacklogOldestAgeSeconds = std::max<int64_t>(0, static_cast<int64_t>(std::time(nullptr)) - oldest);
    const std::string& dataFileDir = CGlobalSharedData::GetInstance()->GetDataFileDir();
    if (!dataFileDir.empty())
        s.m_FailedDirFiles = CDataFileManager::CountFailedDataFiles(dataFileDir);

    uint32_t buffers = 0, capacity = 0, used = 0;
    CLogMergeManager::GetInstance()->GetLogMergeInfo(buffers, capacity, used);
    s.m_MergeBuffers = buffers;
    s.m_MergeBufferFill = capacity == 0 ? 0.0 : static_cast<double>(used) / static_cast<double>(capacity);
    s.m_ResidentBytes = platform::GetResidentBytes();
    return s;
}

uint32_t CMetricsTask::Run()
{
    const int port = m_bPortOverride
                         ? m_PortOverride
                         : static_cast<int>(CConfigManager::GetInstance()->KelvAdv().m_MetricsListenPort);
    if (port == 0)
    {
        QB_LOG(PL_INFO, TAG, "[Run] Metrics Endpoint Off (ListenPort = 0).\n");
        return 0;
    }
    if (port < 0 || port > 65535)
    {
        QB_LOG(PL_WARN, TAG, "[Run] Invalid Listen Port = %d\n", port);
        return static_cast<uint32_t>(-1);
    }
    m_ListenSocket = CSocketManager::GetInstance()->AllocLoopbackListener(TAG);
    if (m_ListenSocket == platform::INVALID_SOCKET)
        return static_cast<uint32_t>(-1);

    // As the info query: the port is tried again each pass until it is free.
    bool bound = false, listening = false;
    while (!ShouldStop())
    {
        m_ActivityTime = platform::GetTickCount();
        if (!listening)
        {
            CSocketManager::ELoopbackStep step =
                CSocketManager::ListenOnLoopback(m_ListenSocket, static_cast<uint16_t>(port), bound);
            listening = step == CSocketManager::ELoopbackStep::LISTENING;
            if (listening)
                QB_LOG(PL_INFO, TAG, "[Run] Metrics On 127.0.0.1:%d\n", port);
            else if (step == CSocketManager::ELoopbackStep::BIND_FAILED)
                QB_LOG(PL_ERROR, TAG, "[Run] Bind 127.0.0.1:%d Fail Err = %u\n", port,
                       static_cast<unsigned>(platform::WSAGetLastError()));
            else
                QB_LOG(PL_ERROR, TAG, "[Run] listen Fail Err = %u\n",
                       static_cast<unsigned>(platform::WSAGetLastError()));
            if (!listening)
            {
                if (WaitForStopOrExit(ScaledInterval(BIND_RETRY_MS)) != platform::WAIT_TIMEOUT)
                    break;
                continue;
            }
        }
        if (WaitSocket(m_ListenSocket, POLLIN, POLL_SLICE_MS) != 1)
            continue;
        platform::SOCKET s = platform::Accept(m_ListenSocket, nullptr);
        if (s == platform::INVALID_SOCKET)
        {
            const int err = platform::WSAGetLastError();
            if (err == EWOULDBLOCK || err == ECONNABORTED || err == EINTR || err == EPROTO)
                continue;
            // Out of descriptors and the like: the next pass tries again rather than ending the endpoint.
            QB_LOG(PL_ERROR, TAG, "[Run] Accept Fail Err = %u\n", static_cast<unsigned>(err));
            WaitForStopOrExit(POLL_SLICE_MS);
            continue;
        }
        Serve(s);
        platform::CloseSocket(s);
    }
    CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, 1);
    m_ListenSocket = platform::INVALID_SOCKET;
    return 0;
}

int CMetricsTask::WaitSocket(platform::SOCKET s, short events, uint32_t timeoutMs)
{
    const uint32_t start = platform::GetTickCount();
    for (;;)
    {
        if (ShouldStop())
            return 0;
        const uint32_t elapsed = platform::GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return 0;
        pollfd p{};
        p.fd = s;
        p.events = events;
        const int r = poll(&p, 1, static_cast<int>(std::min(POLL_SLICE_MS, timeoutMs - elapsed)));
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return 0;
    }
}

bool CMetricsTask::SendAll(platform::SOCKET s, const char* data, size_t length)
{
    const uint32_t start = platform::GetTickCount();
    size_t sent = 0;
    while (sent < length)
    {
        const uint32_t elapsed = platform::GetTickCount() - start;
        if (elapsed >= REQUEST_TIMEOUT_MS || WaitSocket(s, POLLOUT, REQUEST_TIMEOUT_MS - elapsed) != 1)
            return false;
        const int n = platform::Send(s, data + sent, static_cast<int>(std::min<size_t>(length - sent, 65536)),
                                     MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && platform::WSAGetLastError() != EWOULDBLOCK && platform::WSAGetLastError() != EINTR)
            return false;
    }
    return true;
}

void CMetricsTask::Serve(platform::SOCKET s)
{
    platform::SetNonBlocking(s, true);
    const uint32_t start = platform::GetTickCount();
    size_t length = 0;
    MetricsRequestVerdict verdict;
    while (verdict.m_State == MetricsRequestVerdict::INCOMPLETE)
    {
        const uint32_t elapsed = platform::GetTickCount() - start;
        if (elapsed >= REQUEST_TIMEOUT_MS || WaitSocket(s, POLLIN, REQUEST_TIMEOUT_MS - elapsed) != 1)
        {
            if (ShouldStop())
                return;
            verdict = MetricsRequestVerdict{MetricsRequestVerdict::REFUSE, 408};
            break;
        }
        const int n = platform::Recv(s, m_Request + length, static_cast<int>(sizeof(m_Request) - length), 0);
        if (n == 0)
            return; // the client left before its request was whole
        if (n < 0)
        {
            const int err = platform::WSAGetLastError();
            if (err == EWOULDBLOCK || err == EINTR)
                continue;
            return;
        }
        length += static_cast<size_t>(n);
        verdict = JudgeMetricsRequest(m_Request, length);
    }

    if (verdict.m_State == MetricsRequestVerdict::SERVE)
    {
        const std::string body = RenderMetrics(Collect());
        const std::string head = MetricsResponseHead(body.size());
        if (SendAll(s, head.data(), head.size()))
            SendAll(s, body.data(), body.size());
        return;
    }
    QB_LOG(PL_DEBUG, TAG, "[Serve] Request Refused With %d\n", verdict.m_Status);
    const std::string answer = MetricsRefusalResponse(verdict.m_Status);
    if (!SendAll(s, answer.data(), answer.size()))
        return;
    shutdown(s, SHUT_WR);
    const uint32_t drainStart = platform::GetTickCount();
    size_t drained = 0;
    while (drained < sizeof(m_Request))
    {
        const uint32_t elapsed = platform::GetTickCount() - drainStart;
        if (elapsed >= DRAIN_MS || WaitSocket(s, POLLIN, DRAIN_MS - elapsed) != 1)
            break;
        const int n = platform::Recv(s, m_Request, static_cast<int>(sizeof(m_Request) - drained), 0);
        if (n <= 0)
            break;
        drained += static_cast<size_t>(n);
    }
}
