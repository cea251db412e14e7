#include "platform/SocketManager.h"

#include "platform/LogSink.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace
{
const char* const TAG = "[CSocketManager]";
// Levels of the program log.
constexpr uint32_t PL_ERROR = 1;
constexpr uint32_t PL_WARN = 2;
} // namespace

CSocketManager* CSocketManager::GetInstance()
{
    static CSocketManager* instance = new CSocketManager();
    return instance;
}

bool CSocketManager::Init()
{
    m_bInit = 1;
    return true;
}

bool CSocketManager::UnInit()
{
    m_bInit = 0;
    return true;
}

platform::SOCKET CSocketManager::AllocSocket(int type)
{
    if (!IsInit())
        return platform::INVALID_SOCKET;
    int protocol = type == SOCK_STREAM ? IPPROTO_TCP : (type == SOCK_DGRAM ? IPPROTO_UDP : 0);
    platform::SOCKET s = platform::CreateSocket(AF_INET, type, protocol);
    if (s == platform::INVALID_SOCKET)
    {
        platform::LogLine(PL_ERROR, TAG, "[AllocSocket] Fail Err = %u\n",
                          static_cast<unsigned>(platform::WSAGetLastError()));
        return platform::INVALID_SOCKET;
    }
    CCSLocker lock(m_Lock);
    m_Sockets.insert(s);
    return s;
}

bool CSocketManager::AddSocket(platform::SOCKET s)
{
    if (s == 0 || s == platform::INVALID_SOCKET || !IsInit())
        return false;
    CCSLocker lock(m_Lock);
    m_Sockets.insert(s);
    return true;
}

bool CSocketManager::ReleaseSocket(platform::SOCKET s, int close)
{
    if (s == 0 || s == platform::INVALID_SOCKET || !IsInit())
        return false;
    bool known;
    {
        CCSLocker lock(m_Lock);
        known = m_Sockets.erase(s) != 0;
    }
    if (!known)
        platform::LogLine(PL_WARN, TAG, "[ReleaseSocket] The Specify Socket Not In Manager\n");
    if (close != 0)
        platform::CloseSocket(s);
    return true;
}

size_t CSocketManager::GetSocketCount()
{
    CCSLocker lock(m_Lock);
    return m_Sockets.size();
}

bool CSocketManager::IsSocketRecorded(platform::SOCKET s)
{
    CCSLocker lock(m_Lock);
    return m_Sockets.count(s) != 0;
}

bool CSocketManager::SetRecvBufferSize(platform::SOCKET s, int bytes)
{
    return platform::SetRecvBufferSize(s, bytes);
}

bool CSocketManager::SetKeepAlive(platform::SOCKET s, uint32_t idleMs, uint32_t intervalMs)
{
    return platform::SetKeepAlive(s, idleMs, intervalMs);
}

int CSocketManager::Recv(platform::SOCKET s, char* buffer, int length, int flags)
{
    if (s == 0 || s == platform::INVALID_SOCKET || buffer == nullptr || length == 0)
        return 0;
    return platform::Recv(s, buffer, length, flags);
}

int CSocketManager::Send(platform::SOCKET s, const char* buffer, int length, int flags)
{
    if (s == 0 || s == platform::INVALID_SOCKET || buffer == nullptr || length == 0)
        return 0;
    return platform::Send(s, buffer, length, flags);
}

platform::SOCKET CSocketManager::AllocLoopbackListener(const char* moduleTag)
{
    platform::SOCKET s = AllocSocket(SOCK_STREAM);
    if (s == platform::INVALID_SOCKET)
    {
        platform::LogLine(PL_WARN, moduleTag, "[Run] Cannot Alloc Socket.\n");
        return s;
    }
    if (!platform::SetNonBlocking(s, true))
        platform::LogLine(PL_WARN, moduleTag, "[Run] Cannot Use Non-Block Mode Err = %u.\n",
                          static_cast<unsigned>(platform::WSAGetLastError()));
    platform::SetReuseAddress(s, true);
    return s;
}

CSocketManager::ELoopbackStep CSocketManager::ListenOnLoopback(platform::SOCKET s, uint16_t port, bool& bound)
{
    if (!bound)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = platform::Bind(s, addr) == 0;
        if (!bound)
            return ELoopbackStep::BIND_FAILED;
    }
    return platform::Listen(s, SOMAXCONN) == 0 ? ELoopbackStep::LISTENING : ELoopbackStep::LISTEN_FAILED;
}
