#pragma once
#include <cstdint>
#include <string>

namespace platform
{
// The service manager's readiness protocol: one datagram of "KEY=value" lines to the unix socket named
// by NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'). Written here so that the
// collector needs no library of the init system.
class CSystemdNotifier
{
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (WATCHDOG_PID, when set, must name this process).
    CSystemdNotifier();
    ~CSystemdNotifier();
    CSystemdNotifier(const CSystemdNotifier&) = delete;
    CSystemdNotifier& operator=(const CSystemdNotifier&) = delete;

    // True when a notify socket was named.
    bool IsEnabled() const { return !m_Address.empty(); }
    // The watchdog period the manager asked for in microseconds; 0 when it wants no pings.
    uint64_t WatchdogUsec() const { return m_WatchdogUsec; }
    // Sends the lines as one datagram; false when disabled or the send failed. Any thread may send.
    bool Send(const std::string& lines);

private:
    std::string m_Address;
    uint64_t m_WatchdogUsec = 0;
    int m_Socket = -1;
};
} // namespace platform
