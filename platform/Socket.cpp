#include "platform/Socket.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace platform
{
namespace
{
thread_local int t_LastSocketError = 0;

// Socket -> its selected event. Lock order: this registry, then an event's
// own lock; an event never takes the registry lock while holding its own.
std::mutex g_SelectLock;
std::unordered_map<SOCKET, CSocketEvent*>& Selections()
{
    static auto* map = new std::unordered_map<SOCKET, CSocketEvent*>();
    return *map;
}

int Result(int r)
{
    t_LastSocketError = r < 0 ? errno : 0;
    return r;
}

bool IsHardError(int error)
{
    return error != 0 && error != EWOULDBLOCK && error != EAGAIN && error != EINTR;
}

int BitOf(long event)
{
    for (int i = 0; i < FD_MAX_EVENTS; ++i)
        if (event == (1L << i))
            return i;
    return 0;
}
} // namespace

// Gives the socket wrappers access to the re-enabling step.
struct SocketEventAccess
{
    static void Notify(SOCKET s, long bits, int ioError)
    {
        std::lock_guard<std::mutex> registry(g_SelectLock);
        auto it = Selections().find(s);
        if (it != Selections().end())
            it->second->Reenable(bits, ioError);
    }
    static void Forget(SOCKET s)
    {
        std::lock_guard<std::mutex> registry(g_SelectLock);
        auto it = Selections().find(s);
        if (it == Selections().end())
            return;
        std::lock_guard<std::mutex> lock(it->second->m_Lock);
        it->second->DetachLocked();
        Selections().erase(it);
    }
};

int WSAGetLastError()
{
    return t_LastSocketError;
}
void WSASetLastError(int error)
{
    t_LastSocketError = error;
}

SOCKET CreateSocket(int af, int type, int protocol)
{
    return Result(socket(af, type | SOCK_CLOEXEC, protocol));
}

int CloseSocket(SOCKET s)
{
    if (s < 0)
    {
        t_LastSocketError = ENOTSOCK;
        return SOCKET_ERROR;
    }
    SocketEventAccess::Forget(s);
    return Result(close(s));
}

SOCKET Accept(SOCKET s, sockaddr_in* peer)
{
    int flags = fcntl(s, F_GETFL);
    int acceptFlags = SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    int r = Result(accept4(s, reinterpret_cast<sockaddr*>(&addr), &len, acceptFlags));
    int error = t_LastSocketError;
    SocketEventAccess::Notify(s, FD_ACCEPT, 0);
    t_LastSocketError = error;
    if (r >= 0 && peer)
        *peer = addr;
    return r;
}

int Bind(SOCKET s, const sockaddr_in& addr)
{
    return Result(bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)));
}

int Listen(SOCKET s, int backlog)
{
    return Result(listen(s, backlog));
}

int Connect(SOCKET s, const sockaddr_in& addr)
{
    return Result(connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)));
}

int Recv(SOCKET s, char* buffer, int length, int flags)
{
    ssize_t r = recv(s, buffer, static_cast<size_t>(length), flags);
    int error = r < 0 ? errno : 0;
    SocketEventAccess::Notify(s, FD_READ, IsHardError(error) ? error : 0);
    t_LastSocketError = error;
    return static_cast<int>(r);
}

int Send(SOCKET s, const char* buffer, int length, int flags)
{
    ssize_t r = send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    int error = r < 0 ? errno : 0;
    // A send that could not take everything re-enables the write event, so
    // that the next write readiness is reported.
    if (r < length)
        SocketEventAccess::Notify(s, error == 0 || !IsHardError(error) ? FD_WRITE : 0,
                                  IsHardError(error) ? error : 0);
    t_LastSocketError = error;
    return static_cast<int>(r);
}

bool SetNonBlocking(SOCKET s, bool nonBlocking)
{
    int flags = fcntl(s, F_GETFL);
    if (flags < 0)
        return Result(-1), false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return Result(fcntl(s, F_SETFL, flags)) == 0;
}

bool SetRecvBufferSize(SOCKET s, int bytes)
{
    return Result(setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes))) == 0;
}

bool SetReuseAddress(SOCKET s, bool on)
{
    int value = on ? 1 : 0;
    return Result(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value))) == 0;
}

bool SetKeepAlive(SOCKET s, uint32_t idleMs, uint32_t intervalMs)
{
    int on = 1;
    int idle = static_cast<int>((static_cast<uint64_t>(idleMs) + 999) / 1000);
    int interval = static_cast<int>((static_cast<uint64_t>(intervalMs) + 999) / 1000);
    int count = 10;
    idle = idle < 1 ? 1 : idle;
    interval = interval < 1 ? 1 : interval;
    return Result(setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on))) == 0 &&
           Result(setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle))) == 0 &&
           Result(setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval))) == 0 &&
           Result(setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count))) == 0;
}

bool GetPeerName(SOCKET s, sockaddr_in* peer)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (Result(getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len)) != 0)
        return false;
    if (peer)
        *peer = addr;
    return true;
}

bool GetSockName(SOCKET s, sockaddr_in* local)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (Result(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len)) != 0)
        return false;
    if (local)
        *local = addr;
    return true;
}

// ---------------------------------------------------------------------------

CSocketEvent::CSocketEvent() : m_SignalFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CSocketEvent::~CSocketEvent()
{
    {
        std::lock_guard<std::mutex> registry(g_SelectLock);
        auto it = Selections().find(m_Socket);
        if (it != Selections().end() && it->second == this)
            Selections().erase(it);
    }
    if (m_SignalFd >= 0)
        close(m_SignalFd);
}

SOCKET CSocketEvent::GetSocket() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Socket;
}

long CSocketEvent::GetSelectedEvents() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Selected;
}

void CSocketEvent::SetSignalLocked(bool set)
{
    if (m_SignalFd < 0 || set == m_bSignalled)
        return;
    uint64_t value = 1;
    if (set)
    {
        if (write(m_SignalFd, &value, sizeof(value)) != sizeof(value))
            return;
    }
    else
    {
        while (read(m_SignalFd, &value, sizeof(value)) == sizeof(value))
        {
        }
    }
    m_bSignalled = set;
}

void CSocketEvent::DetachLocked()
{
    m_Socket = INVALID_SOCKET;
    m_Selected = m_Enabled = m_Recorded = 0;
    m_bListening = m_bCloseReported = m_bPeerClosed = m_bHangUp = false;
    m_IoError = 0;
    SetSignalLocked(false);
}

void CSocketEvent::Reenable(long bits, int ioError)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Enabled |= bits & m_Selected;
    if (ioError != 0)
        m_IoError = ioError;
}

// Looks at the socket's readiness now and records what is enabled and
// ready; a recorded event stays disabled until re-enabled.
void CSocketEvent::UpdateLocked()
{
    if (m_Socket == INVALID_SOCKET || m_Selected == 0)
        return;
    long want = m_Enabled & m_Selected;
    if (want == 0)
        return;
    pollfd p{m_Socket, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLNVAL))
        return;
    long recorded = 0;

    if (!m_bListening && (p.revents & POLLIN))
    {
        int listening = 0;
        socklen_t len = sizeof(listening);
        if (getsockopt(m_Socket, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
            m_bListening = true;
    }
    if (m_bListening)
    {
        if ((want & FD_ACCEPT) && (p.revents & POLLIN))
            recorded |= FD_ACCEPT;
    }
    else
    {
        bool hasData = false;
        if (p.revents & POLLIN)
        {
            int pending = 0;
            hasData = ioctl(m_Socket, FIONREAD, &pending) == 0 && pending > 0;
            if (!hasData)
                m_bPeerClosed = true; // readable without data: end of stream
        }
        if (p.revents & (POLLRDHUP | POLLHUP | POLLERR))
            m_bPeerClosed = true;
        if (p.revents & (POLLHUP | POLLERR))
            m_bHangUp = true;

        if ((want & FD_READ) && hasData)
            recorded |= FD_READ;
        if ((want & FD_WRITE) && (p.revents & POLLOUT) && !m_bHangUp)
            recorded |= FD_WRITE;
        if ((want & FD_CLOSE) && m_bPeerClosed && !m_bCloseReported)
        {
            int error = 0;
            socklen_t len = sizeof(error);
            if (getsockopt(m_Socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error == 0)
                error = m_IoError;
            m_ErrorCode[FD_CLOSE_BIT] = error;
            m_bCloseReported = true;
            recorded |= FD_CLOSE;
        }
    }

    if (recorded == 0)
        return;
    for (long bit = FD_READ; bit <= FD_CLOSE; bit <<= 1)
        if ((recorded & bit) && bit != FD_CLOSE)
            m_ErrorCode[BitOf(bit)] = 0;
    m_Enabled &= ~recorded;
    m_Recorded |= recorded;
    SetSignalLocked(true);
}

int CSocketEvent::GetWaitFd() const
{
    CSocketEvent* self = const_cast<CSocketEvent*>(this);
    std::lock_guard<std::mutex> lock(m_Lock);
    self->UpdateLocked();
    self->m_WaitEvents = POLLIN;
    if (m_Recorded != 0 || m_Socket == INVALID_SOCKET || m_SignalFd < 0)
        return m_SignalFd;

    long want = m_Enabled & m_Selected;
    short events = 0;
    if (m_bListening)
    {
        if (want & FD_ACCEPT)
            events |= POLLIN;
    }
    else if (!m_bPeerClosed)
    {
        // Read readiness only while a read event can be recorded, so that
        // unread data does not keep the wait busy; a close is seen as
        // peer hang-up.
        if (want & (FD_READ | FD_ACCEPT))
            events |= POLLIN;
        if ((want & FD_CLOSE) && !m_bCloseReported)
            events |= POLLRDHUP;
        if (want & FD_WRITE)
            events |= POLLOUT;
    }
    else if (!m_bHangUp && (want & FD_WRITE))
        events |= POLLOUT; // the peer stopped sending but may still read
    if (events == 0)
        return m_SignalFd; // nothing can be recorded now: never ready
    self->m_WaitEvents = events;
    return m_Socket;
}

short CSocketEvent::GetWaitPollEvents() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_WaitEvents;
}

bool CSocketEvent::TryAcquire()
{
    std::lock_guard<std::mutex> lock(m_Lock);
    UpdateLocked();
    return m_Recorded != 0;
}

bool WSAEventSelect(SOCKET s, CSocketEvent* event, long networkEvents)
{
    if (event == nullptr || !event->IsValid())
    {
        t_LastSocketError = EINVAL;
        return false;
    }
    if (s < 0 || fcntl(s, F_GETFL) < 0)
    {
        t_LastSocketError = ENOTSOCK;
        return false;
    }
    std::lock_guard<std::mutex> registry(g_SelectLock);
    auto& map = Selections();
    // One event per socket, one socket per event.
    auto old = map.find(s);
    if (old != map.end() && old->second != event)
    {
        std::lock_guard<std::mutex> lock(old->second->m_Lock);
        old->second->DetachLocked();
        map.erase(old);
    }
    std::lock_guard<std::mutex> lock(event->m_Lock);
    if (event->m_Socket != INVALID_SOCKET && event->m_Socket != s)
    {
        auto mine = map.find(event->m_Socket);
        if (mine != map.end() && mine->second == event)
            map.erase(mine);
        event->DetachLocked();
    }
    if (networkEvents == 0)
    {
        map.erase(s);
        event->DetachLocked();
    }
    else
    {
        // Re-selecting the same socket keeps what is known about its close.
        if (event->m_Socket != s)
            event->DetachLocked();
        map[s] = event;
        event->m_Socket = s;
        event->m_Selected = networkEvents;
        event->m_Enabled = networkEvents;
        event->m_Recorded = 0;
        event->SetSignalLocked(false);
    }
    t_LastSocketError = 0;
    return SetNonBlocking(s, true);
}

bool WSAEnumNetworkEvents(SOCKET s, CSocketEvent* event, WSANETWORKEVENTS* events)
{
    if (event == nullptr || events == nullptr)
    {
        t_LastSocketError = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> lock(event->m_Lock);
    if (s < 0 || event->m_Socket != s)
    {
        t_LastSocketError = ENOTSOCK;
        return false;
    }
    event->UpdateLocked();
    events->lNetworkEvents = event->m_Recorded & event->m_Selected;
    for (int i = 0; i < FD_MAX_EVENTS; ++i)
        events->iErrorCode[i] = (events->lNetworkEvents & (1L << i)) ? event->m_ErrorCode[i] : 0;
    event->m_Recorded = 0;
    event->SetSignalLocked(false);
    t_LastSocketError = 0;
    return true;
}
} // namespace platform
