// The collector as a process: console mode, the stop paths, and service mode
// through the file-backed service manager.
#include "support/InstallTree.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace
{
class CollectorProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // No registry file names the tree: the collector finds it two levels above its executable.
        m_Tree = std::make_unique<qbtest::CInstallTree>(qbtest::SInstallTreeOptions().Stem("qb_life").Dirs(
            {"bin", "Kelv/Config", "Kelv/Log", "Kelv/Temp", "Kelv/Dump", "mysql"}));
        m_Dir = m_Tree->Dir();
        m_Tree->WriteProgramLog(8, true, 1024, 30);
        m_Exe = m_Tree->InstallProgram(qbtest::BinDir() + "/Quillbarn", "Quillbarn");
        ASSERT_FALSE(m_Exe.empty());
        m_Env = m_Tree->Env();
    }
    void TearDown() override
    {
        if (m_Pid > 0)
        {
            kill(m_Pid, SIGKILL);
            qbtest::WaitExit(m_Pid, 5000);
        }
        m_Tree.reset();
    }
    std::string Log() { return m_Tree->ReadLogs(); }
    bool Started()
    {
        return qbtest::WaitUntil([&] { return platform::FileExists(m_Dir + "/Kelv/VelmoraDCExitEvent"); },
                                 10000);
    }
    std::string Scm(const std::string& verb, const std::string& name)
    {
        std::string out;
        qbtest::RunProgram({qbtest::BinDir() + "/scmctl", verb, name}, m_Env, 10000, &out);
        return out;
    }

    std::unique_ptr<qbtest::CInstallTree> m_Tree;
    std::string m_Dir, m_Exe;
    std::vector<std::string> m_Env;
    pid_t m_Pid = -1;
};

const char* const EXIT_LINE = "[INFO][TID=";
const char* const EXIT_TEXT = "[CQuillbarn][QuillbarnMain] Exit Normally.\n";
} // namespace

TEST_F(CollectorProcess, ConsoleStopsInOrderOnSigtermAndOnStopAll)
{
    m_Pid = qbtest::Spawn({m_Exe, "-Console"}, m_Env, m_Dir + "/console.out");
    ASSERT_TRUE(Started());
    kill(m_Pid, SIGTERM);
    EXPECT_EQ(qbtest::WaitExit(m_Pid, 20000), 0);
    m_Pid = -1;
    std::string log = Log();
    EXPECT_NE(log.find(EXIT_TEXT), std::string::npos) << log;
    // Every line has the designed shape.
    EXPECT_NE(log.find("][Quillbarn][PID="), std::string::npos);
    EXPECT_NE(log.find(EXIT_LINE), std::string::npos);
    EXPECT_NE(qbtest::ReadFile(m_Dir + "/console.out").find(EXIT_TEXT), std::string::npos)
        << "console mode copies lines to the console";

    m_Pid = qbtest::Spawn({m_Exe, "/CONSOLE"}, m_Env);
    ASSERT_TRUE(Started());
    EXPECT_EQ(qbtest::RunProgram({m_Exe, "-StopAll"}, m_Env, 20000), 0);
    EXPECT_EQ(qbtest::WaitExit(m_Pid, 20000), 0);
    m_Pid = -1;
    size_t first = Log().find(EXIT_TEXT);
    EXPECT_NE(Log().find(EXIT_TEXT, first + 1), std::string::npos) << "second run stopped by -StopAll";
    EXPECT_FALSE(platform::FileExists(m_Dir + "/Kelv/VelmoraDCExitEvent"))
        << "the named event goes with its owner";
}

// Collectors started on the same tree each own an exit event: one that ends leaves the others' alone,
// and -StopAll reaches every one and says how many.
TEST_F(CollectorProcess, StopAllReachesEveryCollectorOfTheTree)
{
    m_Pid = qbtest::Spawn({m_Exe, "-Console"}, m_Env, m_Dir + "/first.out");
    ASSERT_TRUE(Started());
    auto startAnother = [&](const char* out)
    {
        pid_t pid = qbtest::Spawn({m_Exe, "-Console"}, m_Env, m_Dir + out);
        std::string event = m_Dir + "/Kelv/VelmoraDCExitEvent." + std::to_string(pid);
        EXPECT_TRUE(qbtest::WaitUntil([&] { return platform::FileExists(event); }, 10000)) << event;
        return pid;
    };
    pid_t second = startAnother("/second.out");
    kill(second, SIGTERM);
    EXPECT_EQ(qbtest::WaitExit(second, 20000), 0);
    EXPECT_TRUE(platform::FileExists(m_Dir + "/Kelv/VelmoraDCExitEvent"))
        << "the second removed the first one's event";

    pid_t third = startAnother("/third.out");
    std::string out;
    EXPECT_EQ(qbtest::RunProgram({m_Exe, "-StopAll"}, m_Env, 20000, &out), 0) << out;
    EXPECT_NE(out.find("stop sent to 2 collector(s) on " + m_Dir), std::string::npos) << out;
    EXPECT_EQ(qbtest::WaitExit(third, 20000), 0);
    EXPECT_EQ(qbtest::WaitExit(m_Pid, 20000), 0);
    m_Pid = -1;
}

TEST_F(CollectorProcess, SwitchMustBeLastAndNoSwitchOutsideTheManagerDoesNothing)
{
    EXPECT_EQ(qbtest::RunProgram({m_Exe, "-Console", "extra"}, m_Env, 10000), 0);
    EXPECT_EQ(qbtest::RunProgram({m_Exe}, m_Env, 10000), 0);
    EXPECT_EQ(Log().find(EXIT_TEXT), std::string::npos) << "neither started the collector";
    std::string out;
    EXPECT_EQ(qbtest::RunProgram({m_Exe, "-StopAll"}, m_Env, 10000, &out), 3) << "nothing to stop is said";
    EXPECT_NE(out.find("no collector is running on " + m_Dir), std::string::npos) << out;
}

TEST_F(CollectorProcess, FailedRegistrationExitsWithItsOwnErrorCode)
{
    // A registry file that cannot be written (its directory is a file): the exit code is the error.
    qbtest::WriteFile(m_Dir + "/not-a-dir", "");
    std::vector<std::string> env = m_Env;
    env[0] = "QUILLBARN_REGISTRY=" + m_Dir + "/not-a-dir/registry.ini";
    for (const char* sw : {"-RegServer", "-Service"})
    {
        int code = qbtest::RunProgram({m_Exe, sw}, env, 10000);
        EXPECT_TRUE(code == EEXIST || code == ENOTDIR) << sw << " exited with " << code;
    }
}

TEST_F(CollectorProcess, ServiceModeThroughTheServiceManager)
{
    // A service-mode collector first makes sure its database service runs;
    // a stand-in process plays that service here.
    qbtest::RunProgram({qbtest::BinDir() + "/scmctl", "create", "VelmoraSSLSQL", "/bin/sleep 1000"}, m_Env);
    ASSERT_EQ(qbtest::RunProgram({m_Exe, "-Service"}, m_Env), 0);
    EXPECT_NE(Scm("query", "QUILLBARN").find("STOPPED"), std::string::npos);
    ASSERT_EQ(qbtest::RunProgram({m_Exe, "-service"}, m_Env), 0) << "re-install over an installed service";
    Scm("start", "Quillbarn");
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return Scm("query", "Quillbarn").find("RUNNING") != std::string::npos; }, 10000));
    ASSERT_TRUE(Started());
    Scm("stop", "Quillbarn");
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return Scm("query", "Quillbarn").find("STOPPED") != std::string::npos; }, 20000));
    EXPECT_NE(Log().find(EXIT_TEXT), std::string::npos) << Log();

    // A stop that arrives while the collector is still starting is held until it can be delivered.
    for (int i = 0; i < 5; ++i)
    {
        Scm("start", "Quillbarn");
        Scm("stop", "Quillbarn");
        EXPECT_TRUE(qbtest::WaitUntil(
            [&] { return Scm("query", "Quillbarn").find("STOPPED") != std::string::npos; }, 20000))
            << "stop " << i << " lost: " << Scm("query", "Quillbarn");
    }

    Scm("stop", "VelmoraSSLSQL");
    EXPECT_EQ(qbtest::RunProgram({m_Exe, "-UnregServer"}, m_Env), 0);
    std::string out;
    EXPECT_NE(qbtest::RunProgram({qbtest::BinDir() + "/scmctl", "query", "Quillbarn"}, m_Env, 10000, &out), 0)
        << "removed: " << out;
}
