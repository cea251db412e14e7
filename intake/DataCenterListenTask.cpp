#include "intake/DataCenterListenTask.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/TestKillPoint.h"
#include "intake/OverflowProbeAnswer.h"
#include "intake/SvpnNode.h"
#include "intake/SvpnNodeManager.h"
#include "platform/FileSystem.h"
#include "platform/ServiceManager.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <arpa/inet.h>
#include <cerrno>
#include <new>
#include <sys/socket.h>

namespace
{
const char* const TAG = "[CDataCenterListenTask]";

// Accept failures that concern one connection or a passing shortage; the
// listening socket itself is fine and the listener goes on.
bool IsTransientAcceptError(int error, bool& pause)
{
    pause = false;
    switch (error)
    {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        pause = true;
        return true;
    case EWOULDBLOCK:
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}
} // namespace

CDataCenterListenTask::~CDataCenterListenTask()
{
    if (m_ListenSocket != platform::INVALID_SOCKET)
        CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, 1);
    m_ListenSocket = platform::INVALID_SOCKET;
    m_pNetEvent.reset();
}

uint32_t CDataCenterListenTask::Run()
{
    CSQLConnManager::SqlThreadInit();
    QB_LOG(PL_INFO, TAG, "[Run] Start Running...\n");
    CleanUpTempXml();

    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (!CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo())
    {
        QB_LOG(PL_ERROR, TAG, "[Run] Get DB Node Info Fail\n");
        CSQLConnManager::SqlThreadEnd();
        return static_cast<uint32_t>(-1);
    }

    if (CGlobalSharedData::GetInstance()->IsServiceMode() && !MakeQuillbarnServiceOK())
        QB_LOG(PL_ERROR, TAG, "[Run] Cannot MakeQuillbarnServiceOK\n");

    platform::CEvent* exitEvent = shared->GetExitEvent();
    int port = CConfigManager::GetInstance()->Kelv().m_Port;
    do
    {
        if (exitEvent == nullptr || !exitEvent->IsValid())
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Global Exit Event Invalid\n");
            break;
        }
        if (port == 0)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] DataCenter Listen Port Invalid\n");
            break;
        }
        m_ListenSocket = CSocketManager::GetInstance()->AllocSocket(SOCK_STREAM);
        if (m_ListenSocket == platform::INVALID_SOCKET)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Cannot Alloc Socket Err= %u \n",
                   static_cast<unsigned>(platform::WSAGetLastError()));
            break;
        }
        m_pNetEvent.reset(new (std::nothrow) platform::CSocketEvent());
        if (!m_pNetEvent || !m_pNetEvent->IsValid())
        {
            m_pNetEvent.reset();
            QB_LOG(PL_ERROR, TAG, "[Run] Cannot Create Network Event Err = %u\n",
                   static_cast<unsigned>(errno));
            break;
        }
        // A restarted collector must get its port back while connections of
        // the previous run are still in TIME_WAIT.
        platform::SetReuseAddress(m_ListenSocket, true);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (platform::Bind(m_ListenSocket, addr) != 0)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Bind Fail Err = %u\n",
                   static_cast<unsigned>(platform::WSAGetLastError()));
            break;
        }
        if (!platform::WSAEventSelect(m_ListenSocket, m_pNetEvent.get(),
                                      platform::FD_ACCEPT | platform::FD_CLOSE))
        {
            QB_LOG(PL_ERROR, TAG, "[Run] WSAEventSelect Fail Err = %u\n",
                   static_cast<unsigned>(platform::WSAGetLastError()));
            break;
        }
        if (platform::Listen(m_ListenSocket, SOMAXCONN) != 0)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] listen Fail Err = %u\n",
                   static_cast<unsigned>(platform::WSAGetLastError()));
            break;
        }
        // Devices can connect from here on: the init system may call the collector ready.
        CGlobalSharedData::GetInstance()->ReportListening();

        while (m_bRunning)
        {
            CTestKillPoint::HoldWhileFlagged("listen");
            m_ActivityTime = platform::timeGetTime();
            uint32_t ret = platform::WaitForSingleObject(exitEvent, 0);
            if (ret != platform::WAIT_TIMEOUT)
            {
                QB_LOG(PL_INFO, TAG, "[Run] Wait Exit Event = %u\n", ret);
                break;
            }
            QB_LOG(PL_DEBUG, TAG, "[Run] DataCenter Is Listening......\n");
            ret = platform::WaitForSingleObject(m_pNetEvent.get(), LISTEN_WAIT_MS);
            if (ret == platform::WAIT_FAILED)
            {
                QB_LOG(PL_ERROR, TAG, "[Run] WSAWaitForMultipleEvents Fail Err = %u\n",
                       static_cast<unsigned>(errno));
                break;
            }
            // A stop request that came during the wait is not overwritten.
            if (DealNetWorkEvent(ret) == 0)
            {
                m_bRunning = 0;
                break;
            }
        }
        platform::WSAEventSelect(m_ListenSocket, m_pNetEvent.get(), 0);
    } while (false);

    CSQLConnManager::SqlThreadEnd();
    CGlobalSharedData::GetInstance()->PostServiceQuit();
    QB_LOG(PL_INFO, TAG, "[Run] Exit Normally\n");
    return 0;
}

uint32_t CDataCenterListenTask::DealNetWorkEvent(uint32_t waitRet)
{
    if (waitRet == platform::WAIT_FAILED || waitRet == platform::WAIT_TIMEOUT ||
        waitRet == WAIT_IO_COMPLETION)
        return 1;
    platform::WSANETWORKEVENTS events{};
    if (!platform::WSAEnumNetworkEvents(m_ListenSocket, m_pNetEvent.get(), &events))
    {
        QB_LOG(PL_ERROR, TAG, "[DealNetWorkEvent] WSAEnumNetworkEvents Fail Err = %u\n",
               static_cast<unsigned>(platform::WSAGetLastError()));
        return 0;
    }
    if (!(events.lNetworkEvents & platform::FD_ACCEPT))
        return 1;
    if (events.iErrorCode[platform::FD_ACCEPT_BIT] != 0)
    {
        QB_LOG(PL_ERROR, TAG, "[DealNetWorkEvent] FD_ACCEPT Fail Err = %u\n",
               static_cast<unsigned>(events.iErrorCode[platform::FD_ACCEPT_BIT]));
        return 0;
    }
    return OnFDAccept();
}

uint32_t CDataCenterListenTask::OnFDAccept()
{
    sockaddr_in peer{};
    platform::SOCKET s = platform::Accept(m_ListenSocket, &peer);
    if (s == platform::INVALID_SOCKET)
    {
        int error = platform::WSAGetLastError();
        bool pause = false;
        if (IsTransientAcceptError(error, pause))
        {
            // A client that gave up before it was accepted, or a passing
            // shortage of descriptors: the listening socket is fine.
            if (error != EWOULDBLOCK)
                QB_LOG(PL_WARN, TAG, "[OnFDAccept] accept Fail Err = %u\n", static_cast<unsigned>(error));
            if (pause)
                platform::Sleep(ACCEPT_RESOURCE_PAUSE_MS);
            return 1;
        }
        QB_LOG(PL_ERROR, TAG, "[OnFDAccept] accept Fail Err = %u\n", static_cast<unsigned>(error));
        return 0;
    }
    char addrText[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, addrText, sizeof(addrText));
    QB_LOG(PL_INFO, TAG, "[OnFDAccept] accept New Connection Socket = %d Addr = %s:%d\n", s, addrText,
           static_cast<int>(ntohs(peer.sin_port)));

    CSvpnNodeManager* nodes = CSvpnNodeManager::GetInstance();
    CSvpnNode* node = nodes->AllocSvpnNode();
    if (node == nullptr)
    {
        // Every slot taken: the watchdog's probe must still be answered, or a
        // fully loaded collector would be killed for being busy.
        COverflowProbeAnswer::Offer(s);
        return 1;
    }
    CSocketManager* sockets = CSocketManager::GetInstance();
    sockets->AddSocket(s);
    CSocketManager::SetRecvBufferSize(s, NODE_RECV_BUFFER_SIZE);
    CSocketManager::SetKeepAlive(s, KEEPALIVE_IDLE_MS, KEEPALIVE_INTERVAL_MS);
    node->SetSocket(s);
    if (!node->Start())
        nodes->ReleaseSvpnNode(node);
    return 1;
}

int CDataCenterListenTask::CleanUpTempXml()
{
    const std::string& dir = CGlobalSharedData::GetInstance()->GetTempDir();
    std::string searchPath = dir + "/*.xml";
    errno = 0;
    std::vector<std::string> names = platform::ListDirectory(dir, "*.xml", true);
    int searchError = errno;
    if (names.empty())
    {
        // A missing directory is the same as no file found.
        if (searchError != 0 && searchError != ENOENT)
            QB_LOG(PL_WARN, TAG, "[CleanUpTempXml] Cannot Search Path = %s , Err = %u\n", searchPath.c_str(),
                   static_cast<unsigned>(searchError));
        return 1;
    }
    for (const std::string& name : names)
    {
        std::string path = dir + "/" + name;
        if (platform::DeleteFile(path))
            QB_LOG(PL_DEBUG, TAG, "[CleanUpTempXml] Delete FileName = %s Succeed.\n", path.c_str());
        else
            QB_LOG(PL_WARN, TAG, "[CleanUpTempXml] Delete FileName = %s Fail , Err = %u.\n", path.c_str(),
                   static_cast<unsigned>(errno));
    }
    return 1;
}

int CDataCenterListenTask::MakeQuillbarnServiceOK()
{
    // The service manager is a directory; there are no handles to open or close.
    if (!platform::IsServiceInstalled(WATCHDOG_SERVICE_NAME))
    {
        uint32_t error = platform::ScmLastError();
        if (error == platform::kScmErrorServiceDoesNotExist)
            QB_LOG(PL_ERROR, TAG, "[MakeQuillbarnServiceOK] Cannot Open Service Err = %u\n", error);
        else
            QB_LOG(PL_ERROR, TAG, "[MakeQuillbarnServiceOK] Cannot Open SCManager Err = %u\n", error);
        return 0;
    }
    platform::ServiceState state = platform::QueryServiceState(WATCHDOG_SERVICE_NAME);
    if (platform::ScmLastError() != 0)
    {
        QB_LOG(PL_ERROR, TAG, "[MakeQuillbarnServiceOK] Cannot QueryServiceStatus  Err = %u\n",
               platform::ScmLastError());
        return 0;
    }
    if (state != platform::ServiceState::Running)
    {
        if (platform::StartService(WATCHDOG_SERVICE_NAME))
            QB_LOG(PL_INFO, TAG, "[MakeQuillbarnServiceOK] Start KelvDog Service Succeed.\n");
        else if (platform::ScmLastError() != platform::kScmErrorServiceAlreadyRunning)
        {
            QB_LOG(PL_ERROR, TAG, "[MakeQuillbarnServiceOK] Cannot StartService  Err = %u\n",
                   platform::ScmLastError());
            return 0;
        }
    }
    return 1;
}
