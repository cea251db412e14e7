#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{
// Rewrites ProgramLog.conf and reloads it, as the configuration monitor would.
void SetProgramLog(int globalEnable, int debugView, int txt, int maxSizeKiB, int level, int maxFiles)
{
    std::string path = CGlobalSharedData::GetInstance()->GetConfigDir() + "/ProgramLog.conf";
    qbtest::WriteFile(
        path, "[GlobalProgramLog]\nEnable=" + std::to_string(globalEnable) +
                  "\n[DebugViewLog]\nEnable=" + std::to_string(debugView) +
                  "\n[TxtLog]\nEnable=" + std::to_string(txt) + "\nMaxLogSize=" + std::to_string(maxSizeKiB) +
                  "\nLogLevel=" + std::to_string(level) + "\nMaxLogFiles=" + std::to_string(maxFiles) + "\n");
    ASSERT_TRUE(CConfigManager::GetInstance()->LoadSpicifyConfig("ProgramLog.conf"));
}

std::string LogPathFor(time_t t)
{
    LocalTime lt = CClock::ToLocal(t);
    char name[64];
    snprintf(name, sizeof(name), "/LogFile_%04d_%02d_%02d.log", lt.m_Year, lt.m_Month, lt.m_Day);
    return CGlobalSharedData::GetInstance()->GetLogDir() + name;
}

class ProgramLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        // A day of its own per test, far from today: the date rule then opens
        // a fresh file for each test.
        static time_t s_Day = 1893456000; // 2030-01-01 00:00:00 UTC
        s_Day += 40 * 86400;
        m_Now = s_Day;
        CClock::SetOverride([this] { return m_Now; });
        for (const std::string& f :
             platform::ListDirectory(CGlobalSharedData::GetInstance()->GetLogDir(), "LogFile_*.log", true))
            platform::DeleteFile(CGlobalSharedData::GetInstance()->GetLogDir() + "/" + f);
    }
    void TearDown() override
    {
        CClock::SetOverride(nullptr);
        SetProgramLog(1, 1, 1, 0, 31, 0);
    }
    time_t m_Now;
};
} // namespace

TEST_F(ProgramLogTest, LineFormatAndLevelFilter)
{
    SetProgramLog(1, 1, 1, 1024, 1, 30);
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    log->Log(PL_ERROR, "[CTaskManager]", "[WaitForAllTask] Wait Ret = %u\n", 0u);
    log->Log(PL_WARN, "[CTaskManager]", "warn line\n");
    log->Log(PL_INFO, "[CTaskManager]", "info line\n");
    log->Log(PL_NORMAL, "[CTaskManager]", "normal line\n");
    std::string text = qbtest::ReadFile(LogPathFor(m_Now));
    std::regex line(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[Quillbarn\]\[PID=\d{4,}\]\[ERROR\]\[TID=\d{4,}\])"
        R"(\[CTaskManager\]\[WaitForAllTask\] Wait Ret = 0\n$)");
    EXPECT_TRUE(std::regex_match(text, line)) << "only ERROR passes mask 1: " << text;

    SetProgramLog(1, 1, 1, 1024, 31, 30);
    log->Log(PL_WARN, nullptr, "a");
    log->Log(PL_DUMP, "[T]", "b\n");
    log->Log(64, "[T]", "c\n"); // not a level, and the mask does not admit it
    log->Log(65, "[T]", "d\n"); // not a level, but ERROR's bit passes the mask: written as NORMAL
    text = qbtest::ReadFile(LogPathFor(m_Now));
    EXPECT_NE(text.find("[WARN][TID="), std::string::npos);
    EXPECT_NE(text.find("]a["), std::string::npos) << "a message without line feed continues the line";
    EXPECT_NE(text.find("[DUMP][TID="), std::string::npos);
    EXPECT_EQ(text.find("c\n"), std::string::npos);
    EXPECT_NE(text.find("[NORMAL][TID="), std::string::npos);
    EXPECT_STREQ(CProgramLogRecorder::LevelText(77), "[NORMAL]");
}

TEST_F(ProgramLogTest, SwitchesAndLongLines)
{
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    SetProgramLog(0, 1, 1, 1024, 31, 30);
    EXPECT_FALSE(log->WouldLog(PL_ERROR));
    log->Log(PL_ERROR, "[T]", "silent\n");
    SetProgramLog(1, 0, 0, 1024, 31, 30);
    EXPECT_FALSE(log->WouldLog(PL_ERROR));
    log->Log(PL_ERROR, "[T]", "silent too\n");
    EXPECT_FALSE(platform::FileExists(LogPathFor(m_Now)));
    SetProgramLog(1, 1, 1, 1024, 1, 30);
    EXPECT_FALSE(log->WouldLog(PL_INFO)) << "no sink takes it: nothing is formatted";
    EXPECT_TRUE(log->WouldLog(PL_ERROR));

    std::string big(5000, 'x');
    log->Log(PL_ERROR, "[T]", "%s\n", big.c_str());
    std::string text = qbtest::ReadFile(LogPathFor(m_Now));
    EXPECT_EQ(text.size(), 2047u) << "cut at 2047 characters, line feed included in the cut";
}

TEST_F(ProgramLogTest, SizeRuleEmptiesTheSameFile)
{
    SetProgramLog(1, 1, 1, 1, 31, 30);
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    std::string chunk(300, 'y');
    for (int i = 0; i < 4; ++i)
        log->Log(PL_ERROR, "[T]", "%d%s\n", i, chunk.c_str());
    // 4 lines of ~360 bytes: the 4th line found the file at >= 1024 bytes.
    std::string text = qbtest::ReadFile(LogPathFor(m_Now));
    EXPECT_EQ(text.find("]0y"), std::string::npos);
    EXPECT_EQ(text.rfind("[T]3y", 0) == std::string::npos, true);
    EXPECT_NE(text.find("[T]3y"), std::string::npos);
    EXPECT_LT(text.size(), 400u) << "the file was emptied and the 4th line is its first";
    EXPECT_EQ(
        platform::ListDirectory(CGlobalSharedData::GetInstance()->GetLogDir(), "LogFile_*.log", true).size(),
        1u);
}

TEST_F(ProgramLogTest, DateRuleOpensNewDayAndRetentionDeletesOldest)
{
    SetProgramLog(1, 1, 1, 1024, 31, 30);
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    const std::string dir = CGlobalSharedData::GetInstance()->GetLogDir();
    // Thirty days of files already there.
    for (int d = 1; d <= 30; ++d)
        qbtest::WriteFile(LogPathFor(m_Now - d * 86400), "old\n");
    log->Log(PL_ERROR, "[T]", "day one\n");
    EXPECT_EQ(platform::ListDirectory(dir, "LogFile_*.log", true).size(), 30u);
    EXPECT_FALSE(platform::FileExists(LogPathFor(m_Now - 30 * 86400))) << "the oldest day went";

    m_Now += 86400; // midnight passes
    log->Log(PL_ERROR, "[T]", "day two\n");
    EXPECT_NE(qbtest::ReadFile(LogPathFor(m_Now)).find("day two"), std::string::npos);
    EXPECT_EQ(qbtest::ReadFile(LogPathFor(m_Now - 86400)).find("day two"), std::string::npos);
    EXPECT_EQ(platform::ListDirectory(dir, "LogFile_*.log", true).size(), 30u);
    EXPECT_FALSE(platform::FileExists(LogPathFor(m_Now - 30 * 86400)));
}

TEST_F(ProgramLogTest, NothingReachesTheFileBeforeInit)
{
    SetProgramLog(1, 1, 1, 1024, 31, 30);
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    log->UnInit();
    log->Log(PL_ERROR, "[T]", "before init\n");
    log->Init();
    log->Log(PL_ERROR, "[T]", "after init\n");
    std::string text = qbtest::ReadFile(LogPathFor(m_Now));
    EXPECT_EQ(text.find("before init"), std::string::npos);
    EXPECT_NE(text.find("after init"), std::string::npos);
}
