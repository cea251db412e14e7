#pragma once
#include "core/Task.h"
#include "platform/CriticalSection.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <list>

// Registry of tasks: starts them, waits for them, reaps those whose thread has
// ended and destroys the ones that asked for it.
class CTaskManager
{
public:
    static CTaskManager* GetInstance();
    virtual ~CTaskManager() = default;

    bool Init();
    bool UnInit();
    bool AddTask(CTask* task);
    bool RemoveTask(CTask* task);
    // Hands a listed task over to the manager, which destroys it once it has ended. False when the
    // task is no longer listed (it ended and was unlisted already): the caller still owns it.
    bool HandOverTask(CTask* task);
    bool DelTask(CTask* task);
    void StopAllTask();
    uint32_t WaitForSingleTask(CTask* task, uint32_t timeoutMs);
    uint32_t WaitForMultiTask(CTask** tasks, uint32_t count, bool waitAll, uint32_t timeoutMs);
    uint32_t WaitForAllTask(uint32_t timeoutMs);

    // What the latest heartbeat check found: every listed task responsive (CTask::IsResponsive). Also
    // false once that check is older than two periods, so a checker that hangs itself counts too.
    bool AreAllTasksAlive() const;

    size_t GetTaskCount();
    bool IsTaskListed(CTask* task);

    // The watcher's period; tests shorten it through the test-only setting.
    static constexpr uint32_t TASK_CHECK_INTERVAL_MS = 30000;
    static constexpr uint32_t UNINIT_WAIT_MS = 5000;
    // A loop that has not come round for this long is hung. Tests shorten it, but never below the
    // longest wait of a task loop that is not shortened (a connection's 5 s data wait).
    static constexpr uint32_t TASK_HANG_LIMIT_MS = 600000;
    static constexpr uint32_t TASK_HANG_LIMIT_FLOOR_MS = 10000;
    static constexpr uint32_t STALE_CHECK_SLACK_MS = 1000;
    static constexpr uint32_t MAX_WAIT_HANDLES = 4096;
    static constexpr uint32_t WAIT_GROUP_SIZE = 64;

private:
    CTaskManager() = default;
    uint32_t TaskCheckProcess();
    // Under the list lock: whether every listed task is responsive; logs the ones that are not.
    bool CheckResponsive();
    uint32_t LargeWait(platform::CWaitable** handles, uint32_t count, bool waitAll, uint32_t timeoutMs);

    platform::ThreadHandle m_hCheckThread;
    // Wakes the watcher at UnInit when the exit event was never set (tests).
    platform::CEvent m_WatcherStop{true, false};
    std::list<CTask*> m_Tasks;
    platform::CCriticalSection m_ListLock;
    std::atomic<uint32_t> m_bInit{0};
    std::atomic<bool> m_bAllAlive{true};
    std::atomic<uint64_t> m_LastCheckTick{0};
};
