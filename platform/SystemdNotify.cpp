#include "platform/SystemdNotify.h"

#include <cstdlib>
#include <cstring>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform
{
CSystemdNotifier::CSystemdNotifier()
{
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    // Only a path or an abstract name fits the protocol; anything else (a vsock address) is not ours.
    if (socketName != nullptr && (socketName[0] == '/' || socketName[0] == '@') &&
        std::strlen(socketName) < sizeof(sockaddr_un::sun_path))
        m_Address = socketName;
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    bool forUs = pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
    if (usec != nullptr && forUs)
        m_WatchdogUsec = std::strtoull(usec, nullptr, 10);
    // Opened here, once, so that several threads may send at the same time.
    if (!m_Address.empty())
        m_Socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

CSystemdNotifier::~CSystemdNotifier()
{
    if (m_Socket >= 0)
        close(m_Socket);
}

bool CSystemdNotifier::Send(const std::string& lines)
{
    if (m_Address.empty() || m_Socket < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, m_Address.data(), m_Address.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_Address.size());
    if (m_Address[0] == '@')
        addr.sun_path[0] = '\0'; // abstract: the name is the bytes after the zero, without a terminator
    else
        ++length;
    ssize_t sent = sendto(m_Socket, lines.data(), lines.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&addr), length);
    return sent == static_cast<ssize_t>(lines.size());
}
} // namespace platform
