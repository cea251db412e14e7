#include "core/TestKillPoint.h"

#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Tick.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
struct KillPlan
{
    std::string m_Point;
    uint64_t m_At = 0;
    std::atomic<uint64_t> m_Passed{0};
};

KillPlan& Plan()
{
    static KillPlan* plan = []
    {
        KillPlan* p = new KillPlan();
        const char* setting = std::getenv(CTestKillPoint::ENV);
        if (setting == nullptr || *setting == '\0' || std::getenv("QUILLBARN_TEST_TIME_DIVISOR") == nullptr)
            return p;
        const char* colon = std::strchr(setting, ':');
        p->m_Point.assign(setting, colon ? static_cast<size_t>(colon - setting) : std::strlen(setting));
        p->m_At = colon ? std::strtoull(colon + 1, nullptr, 10) : 1;
        if (p->m_At == 0)
            p->m_At = 1;
        return p;
    }();
    return *plan;
}

struct HoldPlan
{
    std::string m_Point;
    std::string m_File;
};

const HoldPlan& Hold()
{
    static const HoldPlan* plan = []
    {
        HoldPlan* p = new HoldPlan();
        const char* setting = std::getenv(CTestKillPoint::HOLD_ENV);
        if (setting == nullptr || std::getenv("QUILLBARN_TEST_TIME_DIVISOR") == nullptr)
            return p;
        const char* colon = std::strchr(setting, ':');
        if (colon == nullptr || colon[1] == '\0')
            return p;
        p->m_Point.assign(setting, static_cast<size_t>(colon - setting));
        p->m_File = colon + 1;
        return p;
    }();
    return *plan;
}
} // namespace

bool CTestKillPoint::Due(const char* point)
{
    KillPlan& plan = Plan();
    if (plan.m_Point.empty() || plan.m_Point != point)
        return false;
    return plan.m_Passed.fetch_add(1) + 1 == plan.m_At;
}

void CTestKillPoint::KillNow()
{
    platform::TerminateProcess(static_cast<pid_t>(platform::GetCurrentProcessId()));
    for (;;)
        platform::Sleep(1000); // the signal is on its way
}

void CTestKillPoint::HoldWhileFlagged(const char* point)
{
    const HoldPlan& plan = Hold();
    if (plan.m_Point.empty() || plan.m_Point != point)
        return;
    while (platform::FileExists(plan.m_File))
        platform::Sleep(HOLD_POLL_MS);
}
