#pragma once
#include <cstdint>

namespace platform
{
// Milliseconds of a monotonic clock truncated to 32 bits: they wrap after
// about 49.7 days, like the tick counts the design was written against.
uint32_t GetTickCount();
inline uint32_t timeGetTime()
{
    return GetTickCount();
}
uint64_t GetTickCount64();
void Sleep(uint32_t ms);
uint32_t GetCurrentThreadId();
uint32_t GetCurrentProcessId();
} // namespace platform
