#pragma once
#include <cstdint>

// Test runs only: kills this process with SIGKILL at a named point of its
// work, so that crash recovery can be tried at exactly the moments that
// matter. QUILLBARN_TEST_KILL_AT="<point>:<n>" names the point and the
// passage (from 1) at which to die; it is honoured only when
// QUILLBARN_TEST_TIME_DIVISOR is set too, so a production process never
// kills itself. Points:
//   line   after the n-th data-file line was written whole
//   torn   in the middle of the n-th data-file line (half of it written)
//   import after the n-th data file was loaded, before it is deleted
// QUILLBARN_TEST_HOLD="<point>:<file>" holds the thread that passes `point` for as long as `file`
// exists, so that a test can make a task hang and let it go again (same condition). Points:
//   listen the device listener's loop
class CTestKillPoint
{
public:
    // True when this passage of `point` is the one to die at.
    static bool Due(const char* point);
    static void KillNow();
    // Blocks while the hold file of `point` exists; returns at once when no hold names it.
    static void HoldWhileFlagged(const char* point);

    static constexpr const char* ENV = "QUILLBARN_TEST_KILL_AT";
    static constexpr const char* HOLD_ENV = "QUILLBARN_TEST_HOLD";
    static constexpr uint32_t HOLD_POLL_MS = 50;
};
