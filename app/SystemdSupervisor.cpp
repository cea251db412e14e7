#include "app/SystemdSupervisor.h"

#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/TaskManager.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

CSystemdSupervisor::~CSystemdSupervisor()
{
    End();
}

void CSystemdSupervisor::Start()
{
    if (!m_Notifier.IsEnabled() || m_hThread)
        return;
    CGlobalSharedData::GetInstance()->SetListeningHook([this] { OnListening(); });
    m_End.Reset();
    m_hThread = platform::CreateThread([this] { return SendLoop(); });
}

void CSystemdSupervisor::OnListening()
{
    // The listener may come round again; the manager needs to hear it once.
    if (m_bStopping || m_bReady.exchange(true))
        return;
    if (!m_Notifier.Send("READY=1\nSTATUS=" + StatusText()))
        QB_LOG(PL_WARN, "[CSystemdSupervisor]", "[OnListening] Cannot Send READY To The Notify Socket\n");
}

void CSystemdSupervisor::NotifyStopping()
{
    if (!m_Notifier.IsEnabled() || m_bStopping.exchange(true))
        return;
    CGlobalSharedData::GetInstance()->SetListeningHook(nullptr);
    m_End.Set();
    m_Notifier.Send("STOPPING=1\nSTATUS=Stopping in order");
}

void CSystemdSupervisor::End()
{
    m_End.Set();
    if (m_hThread)
    {
        platform::WaitForSingleObject(m_hThread.get(), platform::INFINITE);
        m_hThread.reset();
    }
}

std::string CSystemdSupervisor::StatusText()
{
    CInfoManager* info = CInfoManager::GetInstance();
    char text[160];
    snprintf(text, sizeof(text), "%u devices connected, %" PRIu64 " records received, %" PRIu64 " merged",
             info->GetConnectedNodeCount(), info->GetCounter(CInfoManager::INFO_RECV_LOG),
             info->GetCounter(CInfoManager::INFO_MERGED_TOTAL));
    return text;
}

uint32_t CSystemdSupervisor::SendLoop()
{
    // The manager's advice: ping at half its period, so that one late ping is not yet a miss.
    uint64_t watchdogUsec = m_Notifier.WatchdogUsec();
    uint32_t period = watchdogUsec != 0 ? static_cast<uint32_t>(std::max<uint64_t>(watchdogUsec / 2000, 1))
                                        : STATUS_INTERVAL_MS;
    bool pinging = true;
    while (platform::WaitForSingleObject(&m_End, period) == platform::WAIT_TIMEOUT && !m_bStopping)
    {
        std::string message = "STATUS=" + StatusText();
        if (watchdogUsec != 0)
        {
            bool alive = CTaskManager::GetInstance()->AreAllTasksAlive();
            if (alive)
                message = "WATCHDOG=1\n" + message;
            else
                message += " (a task is not responding)";
            if (alive != pinging)
                QB_LOG(alive ? PL_INFO : PL_WARN, "[CSystemdSupervisor]", "[SendLoop] Watchdog Pings %s\n",
                       alive ? "Resumed" : "Held Back: A Task Is Not Responding");
            pinging = alive;
        }
        m_Notifier.Send(message);
    }
    return 0;
}
