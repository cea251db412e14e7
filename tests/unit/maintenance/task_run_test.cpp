#include "maintenance/DataBaseCleanTask.h"
#include "maintenance/ReportTableGenTask.h"
#include "maintenance/TableRepairTask.h"

#include "config/ConfigManager.h"
#include "platform/Tick.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace
{
void WriteStatistics(const std::string& text)
{
    CConfigManager* config = CConfigManager::GetInstance();
    qbtest::WriteFile(config->GetConfigFilePath("statistics.conf"), text);
    config->LoadConfig("statistics.conf");
}

class TaskRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        m_Mark = qbtest::ReadTodayLog().size();
    }
    void TearDown() override
    {
        WriteStatistics(qbtest::ReadFile(std::string(QB_SOURCE_DIR) + "/conf/statistics.conf"));
    }
    std::string NewLog() { return qbtest::ReadTodayLog().substr(m_Mark); }
    size_t m_Mark = 0;
};

TEST_F(TaskRunTest, ReportTaskStartsOneThreadPerTableUpToSixtyFour)
{
    std::string conf = "[Count]\nTableCount=70\n";
    for (int i = 1; i <= 70; ++i)
        conf +=
            "[TableInfo" + std::to_string(i) + "]\nSleepTime=100000\nTableName=T" + std::to_string(i) + "\n";
    WriteStatistics(conf);
    auto task = std::make_unique<CReportTableGenTask>("rtdb70");
    ASSERT_TRUE(task->Start());
    // A table thread logs its start before the task has counted it: wait for both.
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::CountOf(NewLog(), "[TableStatistics] Report Gen For rtdb70.T") == 64 &&
                   task->GetTableThreadCount() == 64u;
        },
        10000));
    EXPECT_EQ(task->GetTableThreadCount(), 64u);
    EXPECT_EQ(task->GetTableDescriptions().size(), 70u);
    EXPECT_TRUE(task->StopAndWait(20000));
    std::string log = NewLog();
    EXPECT_EQ(qbtest::CountOf(log, "] Report Gen For rtdb70.T"), 128u) << "64 starts and 64 ends";
    EXPECT_EQ(qbtest::CountOf(log, "Report Gen For rtdb70.T65 "), 0u);
    EXPECT_EQ(qbtest::CountOf(log, "Exit Normally.\n"), qbtest::CountOf(log, "Report Gen For rtdb70.T") / 2);
    EXPECT_NE(log.find("[Run] Table Gen Thread For Db = rtdb70 Start...\n"), std::string::npos);
    EXPECT_NE(log.find("[Run] Table Gen Thread For Db = rtdb70 Exit.\n"), std::string::npos);
}

TEST_F(TaskRunTest, TasksWithoutWorkHeartBeatAndEndCleanly)
{
    WriteStatistics("[Count]\nTableCount=0\n");
    CReportTableGenTask report("rtdb0");
    CDataBaseCleanTask clean("cldb");
    CTableRepairTask repair("rpdb");
    ASSERT_TRUE(report.Start());
    ASSERT_TRUE(clean.Start());
    ASSERT_TRUE(repair.Start());
    // Beyond the first cleaning check (600 s, shortened): the default type 2 never cleans.
    platform::Sleep(800);
    uint32_t before = report.m_ActivityTime.load();
    platform::Sleep(100);
    EXPECT_NE(report.m_ActivityTime.load(), before) << "the heart-beat refreshes the activity time";
    EXPECT_TRUE(report.StopAndWait(5000));
    EXPECT_TRUE(clean.StopAndWait(5000));
    EXPECT_TRUE(repair.StopAndWait(5000));
    EXPECT_EQ(report.GetTableThreadCount(), 0u);
    std::string log = NewLog();
    EXPECT_NE(log.find("[Run] Table Gen Thread For Db = rtdb0 Exit.\n"), std::string::npos);
    EXPECT_NE(log.find("[Run] Clean DataBase Thread For DB = cldb Start...\n"), std::string::npos);
    EXPECT_NE(log.find("[Run] Clean DataBase Thread For DB = cldb Exit With WaitRet = 258\n"),
              std::string::npos);
    EXPECT_EQ(log.find("[CleanDataBaseBy"), std::string::npos);
    EXPECT_NE(log.find("[Run] Table Repair Thread For Db = rpdb Start...\n"), std::string::npos);
    EXPECT_NE(log.find("[Run] Table Repair Thread For Db = rpdb Exit.\n"), std::string::npos);

    // No database name: the report task does nothing at all.
    CReportTableGenTask unnamed;
    EXPECT_EQ(unnamed.Run(), static_cast<uint32_t>(-1));
    CReportTableGenTask::TableThreadArg arg;
    EXPECT_EQ(CReportTableGenTask::TableStatistics(nullptr), -1);
    EXPECT_EQ(CReportTableGenTask::TableStatistics(&arg), -2);
    arg.m_Task = std::make_shared<CReportTableGenTask::TableSet>();
    EXPECT_EQ(CReportTableGenTask::TableStatistics(&arg), -3);
}
} // namespace
