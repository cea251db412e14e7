#include "maintenance/DataBaseCleanTask.h"
#include "maintenance/MaintenanceCalendar.h"
#include "maintenance/ReportTableGenTask.h"
#include "maintenance/TableRepairTask.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "platform/Profile.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

namespace
{
LocalTime At(int y, int mo, int d, int h, int mi = 0, int s = 0)
{
    return CClock::ToLocal(qbtest::LocalEpoch(y, mo, d, h, mi, s));
}

void SetKelv(const char* section, const char* key, int value)
{
    CConfigManager* config = CConfigManager::GetInstance();
    platform::WritePrivateProfileString(section, key, std::to_string(value),
                                        config->GetConfigFilePath("Kelv.conf"));
    config->LoadConfig("Kelv.conf");
}

class MaintenanceClockTest : public ::testing::Test
{
protected:
    void SetUp() override { qbtest::InitTestInstall(); }
    void TearDown() override
    {
        CClock::SetOverride(nullptr);
        SetKelv("ClearRule", "StartCheckTime", 1);
        SetKelv("ClearRule", "EndCheckTime", 4);
        SetKelv("RepairRule", "StartStrongRepairTime", 1);
        SetKelv("RepairRule", "EndStrongRepairTime", 2);
    }
    void SetNow(time_t t)
    {
        m_Now = t;
        CClock::SetOverride([this] { return m_Now; });
    }
    time_t m_Now = 0;
};

std::vector<int> HoursIn(int start, int end)
{
    std::vector<int> hours;
    for (int h = 0; h < 24; ++h)
        if (CMaintenanceCalendar::IsHourInWindow(h, start, end))
            hours.push_back(h);
    return hours;
}

TEST(MaintenanceCalendar, HourWindowsWithAndAcrossMidnight)
{
    // Across midnight the end hour counts; otherwise it does not.
    EXPECT_EQ(HoursIn(22, 2), (std::vector<int>{0, 1, 2, 22, 23}));
    EXPECT_EQ(HoursIn(1, 4), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(HoursIn(1, 2), (std::vector<int>{1}));
    EXPECT_TRUE(HoursIn(3, 3).empty());
    EXPECT_EQ(HoursIn(23, 0), (std::vector<int>{0, 23}));
}

TEST(MaintenanceCalendar, StepBackDaysAgreesWithTheCalendar)
{
    int y = 0, m = 0, d = 0;
    // 180 days back from 15 March of a leap year crosses a 29-day February.
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2024, 3, 15, 180, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2023, 9, 17}));
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2023, 3, 15, 180, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2022, 9, 16}));
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2024, 1, 10, 15, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2023, 12, 26}));
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2024, 3, 1, 1, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2024, 2, 29}));
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2100, 3, 1, 1, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2100, 2, 28}));
    ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(2024, 5, 31, 0, y, m, d));
    EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2024, 5, 31}));
    EXPECT_FALSE(CMaintenanceCalendar::StepBackDays(2024, 5, 31, -1, y, m, d));

    // Every day of three years (one of them leap, one a century) against the
    // C library's own day arithmetic, for counts up to beyond a year.
    for (int startYear : {1999, 2000, 2024})
        for (int dayOfYear = 0; dayOfYear < 366; dayOfYear += 7)
            for (int back : {0, 1, 28, 29, 31, 59, 180, 365, 366, 800})
            {
                struct tm s
                {
                };
                s.tm_year = startYear - 1900;
                s.tm_mday = 1 + dayOfYear;
                s.tm_hour = 12;
                timegm(&s);
                struct tm e = s;
                e.tm_mday -= back;
                timegm(&e);
                ASSERT_TRUE(CMaintenanceCalendar::StepBackDays(s.tm_year + 1900, s.tm_mon + 1, s.tm_mday,
                                                               back, y, m, d));
                ASSERT_EQ((std::vector<int>{y, m, d}),
                          (std::vector<int>{e.tm_year + 1900, e.tm_mon + 1, e.tm_mday}))
                    << s.tm_year + 1900 << "-" << s.tm_mon + 1 << "-" << s.tm_mday << " minus " << back;
            }
}

TEST(MaintenanceCalendar, ContentPercentageAndCutOffArgument)
{
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(6000, 5000), 17);
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(5000, 5000), 0);
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(5001, 5000), 1);
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(10000, 5000), 50);
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(100000, 1), 100);
    EXPECT_EQ(CMaintenanceCalendar::ContentCleanPercent(0, 0), 0);
    EXPECT_EQ(CDataBaseCleanTask::FormatCutOffArgument(2023, 9, 7), "\"2023-09-07 23:59:59\"");
}

TEST(MaintenanceCalendar, StrongRepairOnlyOnSaturdayInWindowOncePerDay)
{
    LocalTime never{};
    // 2024-03-16 is a Saturday.
    EXPECT_TRUE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 1, 0), never, 1, 2));
    EXPECT_TRUE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 1, 59), never, 1, 2));
    EXPECT_FALSE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 2, 0), never, 1, 2));
    EXPECT_FALSE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 0, 59), never, 1, 2));
    EXPECT_FALSE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 15, 1, 30), never, 1, 2));
    EXPECT_FALSE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 17, 1, 30), never, 1, 2));
    // Done this Saturday: not again; done last Saturday: due again.
    EXPECT_FALSE(
        CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 1, 30), At(2024, 3, 16, 1, 5), 1, 2));
    EXPECT_TRUE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 1, 30), At(2024, 3, 9, 1, 5), 1, 2));
    // A window across midnight includes its end hour.
    EXPECT_TRUE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 23, 0), never, 22, 2));
    EXPECT_TRUE(CMaintenanceCalendar::IsStrongRepairDue(At(2024, 3, 16, 2, 30), never, 22, 2));
}

TEST_F(MaintenanceClockTest, CleanTimeFollowsTheConfiguredWindowAndTheLastCleanDay)
{
    SetKelv("ClearRule", "StartCheckTime", 22);
    SetKelv("ClearRule", "EndCheckTime", 2);
    CDataBaseCleanTask task("db");
    std::vector<int> hours;
    for (int h = 0; h < 24; ++h)
    {
        SetNow(qbtest::LocalEpoch(2024, 3, 15, h, 30, 0));
        if (task.IsCleanTime() == 1)
            hours.push_back(h);
    }
    EXPECT_EQ(hours, (std::vector<int>{0, 1, 2, 22, 23}));

    // Cleaned on the 15th: not again that day, but on the 16th, and on the
    // 15th of the next month (the day of the month is what counts).
    task.SetLastCleanDate(At(2024, 3, 15, 0, 10));
    SetNow(qbtest::LocalEpoch(2024, 3, 15, 23, 0, 0));
    EXPECT_EQ(task.IsCleanTime(), 0);
    SetNow(qbtest::LocalEpoch(2024, 3, 16, 0, 30, 0));
    EXPECT_EQ(task.IsCleanTime(), 1);
    SetNow(qbtest::LocalEpoch(2024, 4, 15, 1, 0, 0));
    EXPECT_EQ(task.IsCleanTime(), 0);

    SetKelv("ClearRule", "StartCheckTime", 1);
    SetKelv("ClearRule", "EndCheckTime", 4);
    task.SetLastCleanDate(LocalTime{});
    hours.clear();
    for (int h = 0; h < 24; ++h)
    {
        SetNow(qbtest::LocalEpoch(2024, 3, 15, h, 0, 0));
        if (task.IsCleanTime() == 1)
            hours.push_back(h);
    }
    EXPECT_EQ(hours, (std::vector<int>{1, 2, 3}));
}

TEST_F(MaintenanceClockTest, StrongRepairTimeReadsTheClockAndTheConfiguredWindow)
{
    CTableRepairTask task("db");
    SetNow(qbtest::LocalEpoch(2024, 3, 16, 1, 15, 0));
    EXPECT_EQ(task.IsStrongRepairTime(), 1);
    task.SetLastStrongRepair(At(2024, 3, 16, 1, 5));
    EXPECT_EQ(task.IsStrongRepairTime(), 0);
    task.SetLastStrongRepair(LocalTime{});
    SetKelv("RepairRule", "StartStrongRepairTime", 3);
    SetKelv("RepairRule", "EndStrongRepairTime", 5);
    EXPECT_EQ(task.IsStrongRepairTime(), 0);
    SetNow(qbtest::LocalEpoch(2024, 3, 16, 4, 0, 0));
    EXPECT_EQ(task.IsStrongRepairTime(), 1);
    SetNow(qbtest::LocalEpoch(2024, 3, 17, 4, 0, 0));
    EXPECT_EQ(task.IsStrongRepairTime(), 0);
}

TEST(ReportDueTest, DueTestAroundOneCycle)
{
    const std::string update = "2024-03-15 10:00:00";
    time_t updated = qbtest::LocalEpoch(2024, 3, 15, 10, 0, 0);
    // No run recorded yet: due.
    EXPECT_TRUE(CReportTableGenTask::IsStatisticsDue("", "", "", 1440, 10, updated));
    // 23 h 59 min 55 s after the last run: 5 s left, within the 10 s slack.
    EXPECT_TRUE(CReportTableGenTask::IsStatisticsDue("2024-03-14", "NULL", update, 1440, 10,
                                                     updated + 23 * 3600 + 59 * 60 + 55));
    EXPECT_TRUE(CReportTableGenTask::IsStatisticsDue("2024-03-14", "NULL", update, 1440, 10,
                                                     updated + 23 * 3600 + 59 * 60 + 50));
    EXPECT_FALSE(CReportTableGenTask::IsStatisticsDue("2024-03-14", "NULL", update, 1440, 10,
                                                      updated + 23 * 3600 + 59 * 60 + 49));
    EXPECT_TRUE(
        CReportTableGenTask::IsStatisticsDue("2024-03-14", "NULL", update, 1440, 10, updated + 86401));
    EXPECT_FALSE(CReportTableGenTask::IsStatisticsDue("2024-03-14", "NULL", update, 1440, 10, updated + 60));
    // The slack is SleepTime read as seconds, whatever SleepTime is.
    EXPECT_TRUE(CReportTableGenTask::IsStatisticsDue("x", "y", update, 60, 30, updated + 3570));
    EXPECT_FALSE(CReportTableGenTask::IsStatisticsDue("x", "y", update, 60, 30, updated + 3569));
    EXPECT_EQ(CReportTableGenTask::ParseUpdateTime(update), updated);
}

TEST(ReportDueTest, AggregationStatementRewrite)
{
    LocalTime now = At(2024, 3, 16, 8, 5, 9);
    std::string sql = "call GenMid_GrpFlowRange(";
    CReportTableGenTask::RewriteStatistSql(sql, "2024-03-15 23:10:00", now);
    EXPECT_EQ(sql, "call GenMid_GrpFlowRange(\"2024-03-15 23:10:00\" ,\"2024-03-16 08:05:09\")");
    // A second run replaces the arguments of the first whole.
    CReportTableGenTask::RewriteStatistSql(sql, "2024-03-16 08:00:00", At(2024, 3, 17, 9, 0, 0));
    EXPECT_EQ(sql, "call GenMid_GrpFlowRange(\"2024-03-16 08:00:00\" ,\"2024-03-17 09:00:00\")");

    for (const char* end : {"NULL", "null", ""})
    {
        std::string s = "call GenMid_UserBwOptFlow(";
        CReportTableGenTask::RewriteStatistSql(s, end, now);
        EXPECT_EQ(s, "call GenMid_UserBwOptFlow(NULL ,\"2024-03-16 08:05:09\")") << end;
    }
    // The rule is fixed: a short name leaves part of the old arguments behind.
    std::string shortCall = "call p(";
    CReportTableGenTask::RewriteStatistSql(shortCall, "2024-03-15 23:10:00", now);
    EXPECT_EQ(shortCall, "call p(\"2024-03-15 23:10:00\" ,\"2024-03-16 08:05:09\")");
    CReportTableGenTask::RewriteStatistSql(shortCall, "2024-03-16 00:00:00", now);
    EXPECT_EQ(shortCall, "call p(\"2024-03-16 00:00:00\"4-03-16 08:05:09\") ,\"2024-03-16 08:05:09\")");
    std::string noParen = "select 1";
    CReportTableGenTask::RewriteStatistSql(noParen, "x", now);
    EXPECT_EQ(noParen, "select 1 ,\"2024-03-16 08:05:09\")");
}

TEST(ReportDueTest, ShippedStatementsFitTheirLinesAndStayWellFormedAcrossRuns)
{
    const std::string path = std::string(QB_SOURCE_DIR) + "/conf/statistics.conf";
    // A section line is read up to 519 characters; a longer statement would be cut.
    std::string text = qbtest::ReadFile(path);
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        EXPECT_LE(end - start, 519u) << text.substr(start, 60);
        start = end + 1;
    }
    int count = platform::GetPrivateProfileInt("Count", "TableCount", 0, path);
    ASSERT_EQ(count, 10);
    const std::regex call(
        R"re(call GenMid_\w+\("2024-03-1\d \d\d:\d\d:\d\d" ,"2024-03-1\d \d\d:\d\d:\d\d"\))re");
    for (int i = 1; i <= count; ++i)
    {
        std::vector<std::string> lines =
            platform::GetPrivateProfileSection("StatistSql" + std::to_string(i), path);
        ASSERT_FALSE(lines.empty());
        std::string sql = lines.front();
        EXPECT_EQ(sql.back(), '(') << sql;
        EXPECT_GE(sql.find('('), 24u) << sql;
        CReportTableGenTask::RewriteStatistSql(sql, "NULL", At(2024, 3, 14, 1, 0, 0));
        for (int run = 0; run < 3; ++run)
        {
            CReportTableGenTask::RewriteStatistSql(sql, "2024-03-1" + std::to_string(run + 4) + " 23:59:59",
                                                   At(2024, 3, 15 + run, 1, 2, 3));
            EXPECT_TRUE(std::regex_match(sql, call)) << sql;
        }
    }
}
} // namespace
