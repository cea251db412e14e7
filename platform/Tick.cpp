#include "platform/Tick.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace platform
{
uint64_t GetTickCount64()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t GetTickCount()
{
    return static_cast<uint32_t>(GetTickCount64());
}

void Sleep(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0)
    {
    }
}

uint32_t GetCurrentThreadId()
{
    static thread_local uint32_t tid = static_cast<uint32_t>(syscall(SYS_gettid));
    return tid;
}

uint32_t GetCurrentProcessId()
{
    return static_cast<uint32_t>(getpid());
}
} // namespace platform
