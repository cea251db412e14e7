// The monitor's calendar and tick rules with injected sources, and where it finds the install.
#include "dog_test_support.h"

#include "platform/Profile.h"
#include "platform/Registry.h"
#include "support/TestHelpers.h"
#include "watchdog/QuillbarnMonitor.h"

#include <gtest/gtest.h>

#include <ctime>

namespace
{
class MonitorRules : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Dir = qbtest::MakeTempDir("qb_dogrules");
        dogtest::MakeInstallTree(m_Dir, 9601);
        setenv("QUILLBARN_REGISTRY", (m_Dir + "/registry.ini").c_str(), 1);
        setenv("QUILLBARN_TEST_TIME_DIVISOR", "1", 1);
        ASSERT_TRUE(platform::RegSetString("HKLM\\Software\\Velmora\\SSL\\DC", "InstallPath", m_Dir + "/"));
        ASSERT_EQ(m_Monitor.Init(), 1);
        m_Monitor.SetClockSource([this] { return m_Now; });
        m_Monitor.SetTickSource([this] { return m_Tick; });
    }
    void TearDown() override
    {
        unsetenv("QUILLBARN_REGISTRY");
        unsetenv("QUILLBARN_TEST_TIME_DIVISOR");
        qbtest::RemoveTree(m_Dir);
    }
    std::string AdvFile() const { return m_Dir + "/Kelv/Config/KelvAdv.conf"; }
    int LogMerge() const { return platform::GetPrivateProfileInt("Global", "EnableLogMerge", -1, AdvFile()); }
    void ResetLogMerge()
    {
        ASSERT_TRUE(platform::WritePrivateProfileString("Global", "EnableLogMerge", "1", AdvFile()));
    }
    // Detected stops at the given ticks; returns how many of them turned log merging off.
    int StopsAt(std::initializer_list<uint32_t> ticks)
    {
        int writes = 0;
        for (uint32_t t : ticks)
        {
            m_Tick = t;
            m_Monitor.OnQuillbarnStartByMonitor();
            if (LogMerge() == 0)
            {
                ++writes;
                ResetLogMerge();
            }
        }
        return writes;
    }

    std::string m_Dir;
    CQuillbarnMonitor m_Monitor;
    time_t m_Now = 0;
    uint32_t m_Tick = 0;
};
} // namespace

TEST_F(MonitorRules, InstallPathFromRegistryElseTwoLevelsAboveTheExecutable)
{
    EXPECT_EQ(m_Monitor.GetInstallPath(), m_Dir) << "trailing separator dropped";
    EXPECT_EQ(m_Monitor.GetDCListenPort(), 9601);

    ASSERT_TRUE(platform::RegDeleteValue("HKLM\\Software\\Velmora\\SSL\\DC", "InstallPath"));
    CQuillbarnMonitor fallback;
    ASSERT_EQ(fallback.Init(), 1);
    std::string bin = qbtest::BinDir();
    EXPECT_EQ(fallback.GetInstallPath(), bin.substr(0, bin.find_last_of('/')));
    // No configuration there: the designed default port.
    qbtest::WriteFile(m_Dir + "/Kelv/Config/Kelv.conf", "[DatabaseConfig]\nDBServer=127.0.0.1\n");
    EXPECT_EQ(m_Monitor.GetDCListenPort(), 9501);
}

TEST_F(MonitorRules, SundayWindowRestartsOncePerDay)
{
    // 10 March 2024 was a Sunday.
    struct
    {
        time_t when;
        int due;
    } cases[] = {
        {qbtest::LocalEpoch(2024, 3, 9, 4, 0), 0},       // Saturday
        {qbtest::LocalEpoch(2024, 3, 10, 3, 59, 59), 0}, // before the window
        {qbtest::LocalEpoch(2024, 3, 10, 4, 0), 1},      // first test in the window
        {qbtest::LocalEpoch(2024, 3, 10, 4, 1, 41), 0},  // same day again
        {qbtest::LocalEpoch(2024, 3, 10, 4, 4, 59), 0},
        {qbtest::LocalEpoch(2024, 3, 17, 4, 5, 0), 0},  // next Sunday, after the window
        {qbtest::LocalEpoch(2024, 3, 17, 4, 4, 10), 1}, // next Sunday, last minute of the window
        {qbtest::LocalEpoch(2024, 3, 18, 4, 0), 0},     // Monday
        {qbtest::LocalEpoch(2024, 3, 24, 5, 0), 0},     // Sunday, wrong hour
    };
    for (const auto& c : cases)
    {
        m_Now = c.when;
        EXPECT_EQ(m_Monitor.IsTimeToRestartQuillbarn(), c.due) << ctime(&c.when);
    }

    // Tested every 101 s as the monitor does, a Sunday morning hits the window exactly once.
    CQuillbarnMonitor fresh;
    fresh.SetClockSource([this] { return m_Now; });
    for (int week = 0; week < 2; ++week)
    {
        int due = 0;
        time_t start =
            qbtest::LocalEpoch(2024, 3, 31 + 7 * week, 3, 50); // 31 March and 7 April 2024, Sundays
        for (m_Now = start; m_Now < start + 1800; m_Now += 101)
            due += fresh.IsTimeToRestartQuillbarn();
        EXPECT_EQ(due, 1) << "week " << week;
    }
}

TEST_F(MonitorRules, TenDetectedStopsWithinTenMinutesTurnLogMergeOff)
{
    dogtest::CStderrCapture capture(m_Dir + "/debug.txt");
    // Nine stops a minute apart: nothing yet.
    EXPECT_EQ(StopsAt({0, 60000, 120000, 180000, 240000, 300000, 360000, 420000, 480000}), 0);
    EXPECT_EQ(LogMerge(), 1);
    // The tenth within ten minutes of the first.
    EXPECT_EQ(StopsAt({540000}), 1);
    // The other lines of the file stay as they were.
    std::string adv = qbtest::ReadFile(AdvFile());
    EXPECT_NE(adv.find("; advanced settings\n[Global]\n"), std::string::npos) << adv;
    EXPECT_NE(adv.find("MergeParticleTime=30\n[Other]\nX=1\n"), std::string::npos) << adv;
    // Every further stop while the last ten fit the window writes again; once they spread out, no more.
    EXPECT_EQ(StopsAt({600000, 660000}), 2);
    EXPECT_EQ(StopsAt({2000000}), 0);
    EXPECT_EQ(qbtest::CountOf(capture.Text(),
                              "QuillbarnService [CQuillbarnMonitor][OnQuillbarnStartByMonitor] "
                              "Quillbarn Start Too Frequently! Shutdown LogMerge.\n"),
              3u);
}

TEST_F(MonitorRules, StartStormWindowBoundaryAndTickWrap)
{
    // Ten stops spanning exactly ten minutes count; a millisecond more does not.
    EXPECT_EQ(StopsAt({0, 1, 2, 3, 4, 5, 6, 7, 8, 600000}), 1);
    CQuillbarnMonitor other;
    other.Init();
    other.SetTickSource([this] { return m_Tick; });
    for (uint32_t i = 0; i < 10; ++i)
    {
        m_Tick = 1000000 + (i == 9 ? 600001 : i);
        other.OnQuillbarnStartByMonitor();
    }
    EXPECT_EQ(LogMerge(), 1);

    // The tick counter wraps after 49.7 days; ten stops across the wrap are still ten in a minute.
    CQuillbarnMonitor wrapped;
    wrapped.Init();
    wrapped.SetTickSource([this] { return m_Tick; });
    for (uint32_t i = 0; i < 10; ++i)
    {
        m_Tick = 0xFFFFFFFFu - 30000u + i * 6000u;
        wrapped.OnQuillbarnStartByMonitor();
    }
    EXPECT_EQ(LogMerge(), 0);
}

TEST_F(MonitorRules, StartStormWindowFollowsTheTestDivisor)
{
    // With intervals divided by 100 the window is six seconds.
    setenv("QUILLBARN_TEST_TIME_DIVISOR", "100", 1);
    EXPECT_EQ(StopsAt({0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000}), 0);
    // The last ten then fit six seconds from the stop at 9800 on.
    EXPECT_EQ(StopsAt({9500, 9600, 9700, 9800, 9900}), 2);
}
