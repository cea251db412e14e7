#pragma once
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <string>

// Base of every long-running activity: an object that owns one thread.
class CTask
{
public:
    enum Status : uint32_t
    {
        STATUS_CONSTRUCTED = 0,
        STATUS_INIT = 1,
        STATUS_RUNNING = 2,
        STATUS_FINISHED = 3,
    };

    CTask() = default;
    virtual ~CTask();
    CTask(const CTask&) = delete;
    CTask& operator=(const CTask&) = delete;

    virtual bool Init();
    virtual bool UnInit();
    virtual bool Start();
    virtual bool Stop();
    virtual bool StopAndWait(uint32_t timeoutMs);
    virtual bool IsAlive();
    virtual uint32_t Run();

    // NOLINTNEXTLINE(bugprone-reserved-identifier): the design's name for the thread entry of every task
    static uint32_t _Run(CTask* task);

    // Whether the task's loop still comes round: its thread runs and stamped m_ActivityTime within
    // limitMs of `now` (ticks), or it is inside a stretch of long work (see CLongWork). A task not yet
    // or no longer in Run counts as responsive.
    bool IsResponsive(uint32_t now, uint32_t limitMs) const;

    // Marks work whose length the database server decides (a load, a repair, a clean-up), which may
    // keep a loop from stamping for longer than the hang limit without anything being wrong.
    class CLongWork
    {
    public:
        explicit CLongWork(CTask* task) : m_pTask(task) { ++m_pTask->m_LongWork; }
        ~CLongWork()
        {
            m_pTask->m_ActivityTime = CurrentTick();
            --m_pTask->m_LongWork;
        }
        CLongWork(const CLongWork&) = delete;
        CLongWork& operator=(const CLongWork&) = delete;

    private:
        CTask* m_pTask;
    };

    // The task's run-time class name, looked up under the type-name lock.
    std::string GetClassName() const;
    // Waits up to timeoutMs for the global exit event (WAIT_OBJECT_0) or for
    // this task's own stop request, which ends the wait early with
    // WAIT_TIMEOUT: the caller then sees its running flag cleared, exactly as
    // after a full interval, only without sleeping through it.
    uint32_t WaitForStopOrExit(uint32_t timeoutMs);

    // Flags read by the task's own thread and written by others (stop requests, the task manager's
    // watcher): sequentially consistent atomics, so a stop is seen by the next check of the loop.
    std::atomic<uint32_t> m_bAutoDelete{0};
    std::atomic<uint32_t> m_bRunning{0};
    platform::ThreadHandle m_hThread;
    uint32_t m_ThreadId = 0;
    std::atomic<uint32_t> m_Status{STATUS_CONSTRUCTED};
    std::atomic<uint32_t> m_ActivityTime{0};
    platform::CEvent m_StopEvent{true, false};
    std::atomic<uint32_t> m_LongWork{0};

private:
    static uint32_t CurrentTick();
};
