#pragma once
#include "platform/ScaledInterval.h"

#include <cstdint>
#include <ctime>
#include <functional>

struct LocalTime
{
    int m_Year, m_Month, m_Day, m_Hour, m_Minute, m_Second;
    int m_DayOfWeek; // 0 = Sunday
};

// The wall clock that calendar rules read (daily log file, cleaning windows,
// the Saturday repair, ...). Tests replace it to move through days without
// waiting for them.
class CClock
{
public:
    static time_t NowEpoch();
    static LocalTime Now();
    static LocalTime ToLocal(time_t t);
    // Null restores the real clock.
    static void SetOverride(std::function<time_t()> now);
};

// Intervals are shortened for tests in one place, below the collector and the watchdog both.
using platform::ScaledInterval;
using platform::TestTimeDivisor;
