#pragma once
#include <cstdint>

// The one test-only setting that shortens the watchdog's intervals: the environment variable
// QUILLBARN_TEST_TIME_DIVISOR (a positive integer, default 1) divides every interval that goes
// through DogScaledInterval. Production never sets it. It is read on every call, so a test process
// may change it between cases.
uint32_t DogTestTimeDivisor();
// ms divided by the divisor, at least 1 when ms is not 0.
uint32_t DogScaledInterval(uint32_t ms);
