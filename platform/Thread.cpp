#include "platform/Thread.h"

#include "platform/CrashSignals.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"

#include <system_error>
#include <thread>

namespace platform
{
ThreadHandle CreateThread(std::function<uint32_t()> body)
{
    auto handle = std::make_shared<CThreadHandle>();
    auto started = std::make_shared<CEvent>(true, false);
    try
    {
        std::thread t(
            [handle, started, body = std::move(body)]() mutable
            {
                CAltSignalStack altStack; // lets a stack overflow here be reported
                handle->m_ThreadId = GetCurrentThreadId();
                started->Set();
                uint32_t code = 0;
                try
                {
                    code = body();
                }
                catch (...)
                {
                    code = 0xFFFFFFFF;
                }
                DestroyThreadMessageQueue();
                if (!handle->m_bAbandoned)
                    handle->m_ExitCode = code;
                handle->m_Ended.Set();
            });
        t.detach();
    }
    catch (const std::system_error&)
    {
        return nullptr;
    }
    WaitForSingleObject(started.get(), INFINITE);
    return handle;
}

bool TerminateThread(const ThreadHandle& handle, uint32_t exitCode)
{
    if (!handle || handle->HasEnded())
        return false;
    handle->m_bAbandoned = true;
    handle->m_ExitCode = exitCode;
    return false;
}
} // namespace platform
