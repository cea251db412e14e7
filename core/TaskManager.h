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

    size_t GetTaskCount();
    bool IsTaskListed(CTask* task);

    // The watcher's period; tests shorten it through the test-only setting.
    static constexpr uint32_t TASK_CHECK_INTERVAL_MS = 30000;
    static constexpr uint32_t UNINIT_WAIT_MS = 5000;
    static constexpr uint32_t MAX_WAIT_HANDLES = 4096;
    static constexpr uint32_t WAIT_GROUP_SIZE = 64;

private:
    CTaskManager() = default;
    uint32_t TaskCheckProcess();
    uint32_t LargeWait(platform::CWaitable** handles, uint32_t count, bool waitAll, uint32_t timeoutMs);

    platform::ThreadHandle m_hCheckThread;
    // Wakes the watcher at UnInit when the exit event was never set (tests).
    platform::CEvent m_WatcherStop{true, false};
    std::list<CTask*> m_Tasks;
    platform::CCriticalSection m_ListLock;
    std::atomic<uint32_t> m_bInit{0};
};
