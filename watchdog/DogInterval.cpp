#include "watchdog/DogInterval.h"

#include <cstdlib>

uint32_t DogTestTimeDivisor()
{
    const char* v = std::getenv("QUILLBARN_TEST_TIME_DIVISOR");
    long d = v != nullptr ? std::strtol(v, nullptr, 10) : 1;
    return static_cast<uint32_t>(d >= 1 && d <= 1000000 ? d : 1);
}

uint32_t DogScaledInterval(uint32_t ms)
{
    uint32_t d = DogTestTimeDivisor();
    if (d == 1 || ms == 0)
        return ms;
    uint32_t v = ms / d;
    return v == 0 ? 1 : v;
}
