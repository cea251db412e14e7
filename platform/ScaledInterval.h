#pragma once
#include <cstdint>

namespace platform
{
// The one test-only setting that shortens intervals, for the collector and the watchdog alike: the
// environment variable QUILLBARN_TEST_TIME_DIVISOR (an integer from 1 to 1,000,000; anything else
// counts as 1) divides every interval that goes through ScaledInterval. Production never sets it. It
// is read on every call, so a test process may change it between cases.
uint32_t TestTimeDivisor();
// ms divided by the divisor; 0 stays 0 (no wait), any other interval is at least 1 ms.
uint32_t ScaledInterval(uint32_t ms);
} // namespace platform
