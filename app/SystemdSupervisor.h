#pragma once
#include "platform/Event.h"
#include "platform/SystemdNotify.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <string>

// Keeps the init system informed about a collector it runs in the foreground (NOTIFY_SOCKET set):
// READY=1 once the device port listens, STATUS= with connections and records, WATCHDOG=1 only while
// the task manager's heartbeat check finds every task responsive (so a hung collector is restarted),
// and STOPPING=1 when the orderly stop begins.
class CSystemdSupervisor
{
public:
    CSystemdSupervisor() = default;
    ~CSystemdSupervisor();
    CSystemdSupervisor(const CSystemdSupervisor&) = delete;
    CSystemdSupervisor& operator=(const CSystemdSupervisor&) = delete;

    // Nothing happens when no notify socket was named. Call before the tasks start.
    void Start();
    // Sends STOPPING=1 and ends the status and watchdog messages.
    void NotifyStopping();
    // Ends the sending thread (after NotifyStopping, or on its own).
    void End();

    // The status line sent with each ping.
    static std::string StatusText();

    // Without a watchdog period the status is still refreshed this often.
    static constexpr uint32_t STATUS_INTERVAL_MS = 5000;

private:
    void OnListening();
    uint32_t SendLoop();

    platform::CSystemdNotifier m_Notifier;
    platform::CEvent m_End{true, false};
    platform::ThreadHandle m_hThread;
    std::atomic<bool> m_bReady{false};
    std::atomic<bool> m_bStopping{false};
};
