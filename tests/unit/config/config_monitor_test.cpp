// The configuration monitor on a real directory: backup at start, restore on
// delete, reload after a modification has settled, and the log lines of
// files it does not watch.
#include "config/ConfigMonitorTask.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "support/InstallTree.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "tests/unit/config/ConfigTestTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace
{
const char* const KELV_AT_START = "[DB]\nDBServer=127.0.0.1\nPort=3306\n";
const char* const LOG_ON = "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=0\n"
                           "[TxtLog]\nEnable=1\nMaxLogSize=0\nLogLevel=31\nMaxLogFiles=0\n";
const char* const LOG_OFF = "[GlobalProgramLog]\nEnable=0\n[DebugViewLog]\nEnable=0\n"
                            "[TxtLog]\nEnable=1\nMaxLogSize=0\nLogLevel=31\nMaxLogFiles=0\n";

class ConfigMonitorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Tree = &CConfigTestTree::Prepare();
        CBuffManager::GetInstance()->Init();
        m_TempDir = CGlobalSharedData::GetInstance()->GetTempDir();
        platform::CreateDirectories(m_TempDir);
        for (const char* name :
             {"Kelv.conf", "KelvAdv.conf", "Logudt.conf", "statistics.conf", "updatesql.conf"})
            platform::DeleteFile(m_TempDir + "/" + name);
        m_Tree->WriteConfig("ProgramLog.conf", LOG_ON);
        CConfigManager::GetInstance()->LoadConfig("ProgramLog.conf");
        m_Tree->WriteConfig("Kelv.conf", KELV_AT_START);
        m_Tree->WriteConfig("KelvAdv.conf", "[Global]\nEnableLogMerge=1\n");
        m_Tree->RemoveConfig("updatesql.conf"); // one watched file missing at start
        m_BuffsBefore = CBuffManager::GetInstance()->GetBuffCount();
    }
    void TearDown() override
    {
        if (m_Task)
        {
            // The exit event ends the task's wait at once; it is cleared
            // again for the tests that follow in this process.
            platform::CEvent* exitEvent = CGlobalSharedData::GetInstance()->GetExitEvent();
            exitEvent->Set();
            EXPECT_TRUE(m_Task->StopAndWait(5000));
            exitEvent->Reset();
            EXPECT_EQ(m_Task->m_hThread->GetExitCode(), 0u);
            m_Task.reset();
            EXPECT_EQ(CBuffManager::GetInstance()->GetBuffCount(), m_BuffsBefore)
                << "change buffer given back";
        }
    }
    void StartMonitor()
    {
        m_LogStart = m_Tree->ReadLogs().size();
        m_Task = std::make_unique<CConfigMonitorTask>();
        ASSERT_TRUE(m_Task->Start());
        // The backup is taken before the directory is watched.
        ASSERT_TRUE(
            qbtest::WaitUntil([&] { return platform::FileExists(m_TempDir + "/ProgramLog.conf"); }, 5000));
        ASSERT_TRUE(qbtest::WaitUntil([&] { return m_Task->m_ActivityTime.load() != 0; }, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // What this test's monitor logged (the log files are shared by the tests of this process).
    std::string NewLog()
    {
        std::string all = m_Tree->ReadLogs();
        return all.size() > m_LogStart ? all.substr(m_LogStart) : std::string();
    }
    bool LogHas(const std::string& text, int timeoutMs = 5000)
    {
        return qbtest::WaitUntil([&] { return NewLog().find(text) != std::string::npos; }, timeoutMs);
    }
    std::string ConfigPath(const std::string& name) { return m_Tree->ConfigDir() + "/" + name; }

    CConfigTestTree* m_Tree = nullptr;
    std::string m_TempDir;
    std::unique_ptr<CConfigMonitorTask> m_Task;
    size_t m_BuffsBefore = 0;
    size_t m_LogStart = 0;
};
} // namespace

TEST_F(ConfigMonitorTest, DeletedFileComesBackAsItWasAtStart)
{
    StartMonitor();
    EXPECT_EQ(qbtest::ReadFile(m_TempDir + "/Kelv.conf"), KELV_AT_START) << "backed up under its own name";
    EXPECT_TRUE(LogHas("[CConfigMonitorTask][DoBackupConfigFile] Cannot Backup Config File = " +
                       ConfigPath("updatesql.conf") + " To " + m_TempDir + "/updatesql.conf, Error = 2\n"));

    // A later edit is not what comes back: the backup is the start-up copy.
    m_Tree->WriteConfig("Kelv.conf", "[DB]\nDBServer=10.0.0.9\n");
    m_Tree->RemoveConfig("Kelv.conf");
    ASSERT_TRUE(LogHas("[CConfigMonitorTask][DoBackupConfigFile] Restore File = Kelv.conf Succeed!\n"));
    EXPECT_EQ(qbtest::ReadFile(ConfigPath("Kelv.conf")), KELV_AT_START);
    std::string log = NewLog();
    EXPECT_NE(log.find("[INFO]"), std::string::npos);
    EXPECT_LT(log.find("[OnDirContentChange] Detected FileName = Kelv.conf Delete Action.\n"),
              log.find("Restore File = Kelv.conf Succeed!"));

    // Moving a file out of the directory is a delete as well.
    ASSERT_EQ(rename(ConfigPath("KelvAdv.conf").c_str(), (m_Tree->InstallDir() + "/KelvAdv.moved").c_str()),
              0);
    EXPECT_TRUE(LogHas("Restore File = KelvAdv.conf Succeed!\n"));
    EXPECT_TRUE(platform::FileExists(ConfigPath("KelvAdv.conf")));

    // A file that had no backup is not brought back, and nothing claims it was.
    m_Tree->WriteConfig("updatesql.conf", "[Sql]\n");
    m_Tree->RemoveConfig("updatesql.conf");
    EXPECT_TRUE(LogHas("Detected FileName = updatesql.conf Delete Action.\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(platform::FileExists(ConfigPath("updatesql.conf")));
    EXPECT_EQ(NewLog().find("Restore File = updatesql.conf"), std::string::npos);
}

TEST_F(ConfigMonitorTest, SavingProgramLogWithLoggingOffSilencesTheLogAfterTheSettleTime)
{
    StartMonitor();
    ASSERT_EQ(CConfigManager::GetInstance()->ProgramLog().m_GlobalEnable, 1);
    auto saved = std::chrono::steady_clock::now();
    m_Tree->WriteConfig("ProgramLog.conf", LOG_OFF);
    ASSERT_TRUE(LogHas("[OnDirContentChange] Detected FileName = ProgramLog.conf Modify Action.\n"));
    if (TestTimeDivisor() == 1)
    {
        // The writer is given a second before the file is read again.
        std::this_thread::sleep_until(saved + std::chrono::milliseconds(500));
        EXPECT_EQ(CConfigManager::GetInstance()->ProgramLog().m_GlobalEnable, 1)
            << "reloaded before the settle";
    }
    ASSERT_TRUE(qbtest::WaitUntil(
        [] { return CConfigManager::GetInstance()->ProgramLog().m_GlobalEnable == 0; }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - saved,
              std::chrono::milliseconds(TestTimeDivisor() == 1 ? 900 : 0));
    QB_LOG(PL_ERROR, "[ConfigMonitorTest]", "[Silenced] must not appear\n");
    EXPECT_EQ(NewLog().find("[Silenced] must not appear"), std::string::npos);

    // Saving it again, through the profile writer this time, brings the log back.
    ASSERT_TRUE(platform::WritePrivateProfileString("GlobalProgramLog", "Enable", "1",
                                                    ConfigPath("ProgramLog.conf")));
    ASSERT_TRUE(qbtest::WaitUntil(
        [] { return CConfigManager::GetInstance()->ProgramLog().m_GlobalEnable == 1; }, 5000));
    QB_LOG(PL_ERROR, "[ConfigMonitorTest]", "[Heard] again\n");
    EXPECT_TRUE(LogHas("[Heard] again"));
}

TEST_F(ConfigMonitorTest, OtherFilesOnlyGetTheirInfoLine)
{
    StartMonitor();
    std::string before = qbtest::ReadFile(m_TempDir + "/Kelv.conf");
    m_Tree->WriteConfig("notes.txt", "hello");
    EXPECT_TRUE(
        LogHas("[CConfigMonitorTask][OnDirContentChange] Detected FileName = notes.txt Modify Action.\n"));
    m_Tree->RemoveConfig("notes.txt");
    EXPECT_TRUE(LogHas("[OnDirContentChange] Detected FileName = notes.txt Delete Action.\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(platform::FileExists(ConfigPath("notes.txt"))) << "not watched, not restored";
    EXPECT_EQ(NewLog().find("Restore File = notes.txt"), std::string::npos);

    // A rename within the directory is neither a delete nor a modification.
    ASSERT_EQ(rename(ConfigPath("Kelv.conf").c_str(), ConfigPath("Kelv.conf.old").c_str()), 0);
    m_Tree->WriteConfig("marker.txt", "m"); // a later change, to know the rename was handled
    EXPECT_TRUE(LogHas("Detected FileName = marker.txt Modify Action.\n"));
    std::string log = NewLog();
    EXPECT_EQ(log.find("Detected FileName = Kelv.conf Delete"), std::string::npos);
    EXPECT_EQ(log.find("Detected FileName = Kelv.conf.old"), std::string::npos);
    EXPECT_FALSE(platform::FileExists(ConfigPath("Kelv.conf")));
    ASSERT_EQ(rename(ConfigPath("Kelv.conf.old").c_str(), ConfigPath("Kelv.conf").c_str()), 0);
    m_Tree->RemoveConfig("marker.txt");
    EXPECT_EQ(qbtest::ReadFile(m_TempDir + "/Kelv.conf"), before);
}

// The collector starts the monitor as one of its top-level tasks.
TEST(CollectorConfigMonitor, RunningCollectorRestoresADeletedFile)
{
    // A tree without a registry file: the collector finds it two levels above its executable.
    qbtest::CInstallTree tree(qbtest::SInstallTreeOptions().Stem("qb_cmon").Dirs(
        {"bin", "Kelv/Config", "Kelv/Log", "Kelv/Temp", "Kelv/Dump", "mysql"}));
    const std::string& dir = tree.Dir();
    std::string exe = tree.InstallProgram(qbtest::BinDir() + "/Quillbarn", "Quillbarn");
    ASSERT_FALSE(exe.empty());
    std::string kelv = qbtest::ReadFile(dir + "/Kelv/Config/Kelv.conf");
    std::vector<std::string> env = tree.Env();
    env.push_back("QUILLBARN_TEST_TIME_DIVISOR=1");
    pid_t pid = qbtest::Spawn({exe, "-Console"}, env, dir + "/console.out");
    EXPECT_TRUE(qbtest::WaitUntil([&] { return platform::FileExists(dir + "/Kelv/Temp/Kelv.conf"); }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platform::DeleteFile(dir + "/Kelv/Config/Kelv.conf");
    EXPECT_TRUE(
        qbtest::WaitUntil([&] { return platform::FileExists(dir + "/Kelv/Config/Kelv.conf"); }, 5000));
    EXPECT_EQ(qbtest::ReadFile(dir + "/Kelv/Config/Kelv.conf"), kelv);
    kill(pid, SIGTERM);
    EXPECT_EQ(qbtest::WaitExit(pid, 20000), 0) << "the monitor ends with the collector";
    kill(pid, SIGKILL);
    qbtest::WaitExit(pid, 1000);
}
