#include "watchdog/ProbeClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

CProbeClient::~CProbeClient()
{
    Close();
}

bool CProbeClient::Create()
{
    Close();
    m_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    m_LastError = m_Fd < 0 ? errno : 0;
    return m_Fd >= 0;
}

bool CProbeClient::SetNonBlocking()
{
    int flags = ::fcntl(m_Fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(m_Fd, F_SETFL, flags | O_NONBLOCK) != 0)
    {
        m_LastError = errno;
        return false;
    }
    return true;
}

int CProbeClient::Connect(const std::string& ipv4, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ipv4.c_str(), &addr.sin_addr) != 1)
        return m_LastError = EINVAL;
    if (::connect(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS)
        return 0;
    return m_LastError = errno;
}

bool CProbeClient::Wait(short events, uint32_t timeoutMs)
{
    if (m_Fd < 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{m_Fd, events, 0};
        int n = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        return true;
    }
}

bool CProbeClient::WaitWritable(uint32_t timeoutMs)
{
    if (!Wait(POLLOUT, timeoutMs))
        return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(m_Fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    m_LastError = err;
    return err == 0;
}

bool CProbeClient::WaitReadable(uint32_t timeoutMs)
{
    return Wait(POLLIN, timeoutMs);
}

long CProbeClient::Send(const void* data, size_t len, uint32_t timeoutMs)
{
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < len)
    {
        ssize_t n = ::send(m_Fd, p + sent, len - sent, MSG_NOSIGNAL);
        if (n > 0)
        {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Wait(POLLOUT, timeoutMs))
            continue;
        m_LastError = n < 0 ? errno : EIO;
        return -1;
    }
    return static_cast<long>(sent);
}

long CProbeClient::Recv(void* buf, size_t len)
{
    for (;;)
    {
        ssize_t n = ::recv(m_Fd, buf, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            m_LastError = errno;
        return static_cast<long>(n);
    }
}

void CProbeClient::Close()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
}
