#pragma once
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform
{
// A waitable thread handle: it becomes signalled when the thread's function
// has returned. Threads cannot be killed safely on Linux; one that will not
// stop is abandoned (it keeps running until the process exits).
class CThreadHandle : public CWaitable
{
public:
    CThreadHandle() : m_Ended(true, false) {}
    int GetWaitFd() const override { return m_Ended.GetWaitFd(); }
    bool TryAcquire() override { return m_Ended.TryAcquire(); }

    uint32_t GetThreadId() const { return m_ThreadId.load(); }
    bool HasEnded() const { return m_Ended.IsSet(); }
    uint32_t GetExitCode() const { return m_ExitCode.load(); }
    bool IsAbandoned() const { return m_bAbandoned.load(); }

private:
    friend std::shared_ptr<CThreadHandle> CreateThread(std::function<uint32_t()> body);
    friend bool TerminateThread(const std::shared_ptr<CThreadHandle>& handle, uint32_t exitCode);
    CEvent m_Ended;
    std::atomic<uint32_t> m_ThreadId{0};
    std::atomic<uint32_t> m_ExitCode{0};
    std::atomic<bool> m_bAbandoned{false};
};

using ThreadHandle = std::shared_ptr<CThreadHandle>;

// Starts body on a new thread; returns null when the thread cannot be
// created. The handle knows the thread id when this returns.
ThreadHandle CreateThread(std::function<uint32_t()> body);

// Stands in for forced termination: the thread is abandoned and its handle
// reports the given exit code. Returns false: nothing was actually stopped.
bool TerminateThread(const ThreadHandle& handle, uint32_t exitCode);
} // namespace platform
