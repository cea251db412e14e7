#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <list>

class CSvpnNode;

// Creates and owns the device connections, enforces the connection limit,
// reaps connections whose thread has ended and reports the service state
// from them.
class CSvpnNodeManager
{
public:
    static CSvpnNodeManager* GetInstance();
    virtual ~CSvpnNodeManager() = default;

    bool Init();
    bool UnInit();

    // Null at the connection limit (MaxConnection) or when out of memory.
    CSvpnNode* AllocSvpnNode();
    // Removes the node from the list and destroys it.
    bool ReleaseSvpnNode(CSvpnNode* node);
    // Waits for the threads of all listed nodes at once.
    uint32_t WaitForAllSvpnNode(uint32_t timeoutMs);

    size_t GetSvpnNodeCount();
    // Connected devices (nodes whose thread runs) at the watcher's last
    // pass; the real-time info registry holds the figure.
    uint32_t GetConnectedNodeCount() const;

    static constexpr uint32_t CHECK_INTERVAL_MS = 5000;
    static constexpr uint32_t UNINIT_WAIT_MS = 5000;
    static constexpr uint32_t DEFAULT_MAX_CONNECTION = 16;
    static constexpr uint32_t SERVICE_RUNNING = 4;
    static constexpr uint32_t SERVICE_PAUSED = 7;

private:
    CSvpnNodeManager() = default;
    bool IsInit() const { return m_bInit.load() != 0; }
    uint32_t SvpnNodeCheckProcess();
    // Takes the nodes whose thread has ended out of the list and destroys them; the number of
    // nodes still running.
    uint32_t ReleaseEndedNodes();
    static uint32_t GetMaxConnection();

    std::list<CSvpnNode*> m_Nodes;
    size_t m_NodeCount = 0;
    platform::CCriticalSection m_Lock;
    platform::ThreadHandle m_hCheckThread;
    // Wakes the watcher at UnInit when the exit event was never set.
    platform::CEvent m_WatcherStop{true, false};
    std::atomic<int32_t> m_bInit{0};
};
