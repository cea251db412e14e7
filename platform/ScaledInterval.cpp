#include "platform/ScaledInterval.h"

#include <cstdlib>

namespace platform
{
uint32_t TestTimeDivisor()
{
    const char* v = std::getenv("QUILLBARN_TEST_TIME_DIVISOR");
    long d = v != nullptr ? std::strtol(v, nullptr, 10) : 1;
    return static_cast<uint32_t>(d >= 1 && d <= 1000000 ? d : 1);
}

uint32_t ScaledInterval(uint32_t ms)
{
    uint32_t d = TestTimeDivisor();
    if (d == 1 || ms == 0)
        return ms;
    uint32_t v = ms / d;
    return v == 0 ? 1 : v;
}
} // namespace platform
