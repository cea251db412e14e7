#include "core/Clock.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace
{
std::mutex g_OverrideLock;
std::function<time_t()> g_Override;
std::atomic<bool> g_HasOverride{false};
} // namespace

time_t CClock::NowEpoch()
{
    if (g_HasOverride.load(std::memory_order_relaxed))
    {
        std::lock_guard<std::mutex> lock(g_OverrideLock);
        if (g_Override)
            return g_Override();
    }
    return time(nullptr);
}

LocalTime CClock::ToLocal(time_t t)
{
    struct tm tmv
    {
    };
    localtime_r(&t, &tmv);
    return {tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
            tmv.tm_min,         tmv.tm_sec,     tmv.tm_wday};
}

LocalTime CClock::Now()
{
    return ToLocal(NowEpoch());
}

void CClock::SetOverride(std::function<time_t()> now)
{
    std::lock_guard<std::mutex> lock(g_OverrideLock);
    g_Override = std::move(now);
    g_HasOverride = static_cast<bool>(g_Override);
}
