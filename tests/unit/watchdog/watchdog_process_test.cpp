// QuillbarnService as a process: the monitor loop against a stand-in collector process under the
// file-backed service manager (intervals divided by 50), its switches, and service mode.
#include "dog_test_support.h"
#include "support/Process.h"

#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>

namespace
{
const char* const STOP_DETECTED =
    "QuillbarnService [CQuillbarnMonitor][Run] Detected Quillbarn Stop! Start It!\n";
const char* const ALIVE = "QuillbarnService [CQuillbarnMonitor][KeepAliveWithQuillbarn] KeepAlive Succeed!\n";

class WatchdogProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Dir = qbtest::MakeTempDir("qb_dogproc");
        m_Port = qbtest::FreeTcpPort();
        dogtest::MakeInstallTree(m_Dir, m_Port, true);
        m_Collector = m_Dir + "/bin/Quillbarn";
        m_Watchdog = m_Dir + "/bin/QuillbarnService";
        ASSERT_TRUE(platform::CopyFile(qbtest::BinDir() + "/standin/Quillbarn", m_Collector, false));
        ASSERT_TRUE(platform::CopyFile(qbtest::BinDir() + "/QuillbarnService", m_Watchdog, false));
        chmod(m_Collector.c_str(), 0755);
        chmod(m_Watchdog.c_str(), 0755);
        m_Env = {"QUILLBARN_REGISTRY=" + m_Dir + "/registry.ini", "QUILLBARN_SCM_DIR=" + m_Dir + "/scm",
                 "QUILLBARN_TEST_TIME_DIVISOR=50", "QUILLBARN_DEBUG_OUTPUT=stderr"};
        setenv("QUILLBARN_SCM_DIR", (m_Dir + "/scm").c_str(), 1);
        // The install registers the collector under the name the watchdog controls.
        ASSERT_EQ(Scm({"create", "KELV", m_Collector, "Quillbarn"}), 0);
    }
    void TearDown() override
    {
        if (m_Pid > 0)
        {
            kill(m_Pid, SIGKILL);
            qbtest::WaitExit(m_Pid, 5000);
        }
        for (const char* name : {"KELV", "KELVDog"})
        {
            pid_t pid = platform::GetServicePid(name);
            if (pid > 0)
                kill(pid, SIGKILL);
        }
        for (pid_t pid : Starts())
            if (platform::IsProcessAlive(pid))
                kill(pid, SIGKILL);
        unsetenv("QUILLBARN_SCM_DIR");
        qbtest::RemoveTree(m_Dir);
    }
    int Scm(std::vector<std::string> args, std::string* out = nullptr)
    {
        args.insert(args.begin(), qbtest::BinDir() + "/scmctl");
        return qbtest::RunProgram(args, m_Env, 10000, out);
    }
    std::string Query(const std::string& name)
    {
        std::string out;
        Scm({"query", name}, &out);
        return out;
    }
    std::vector<pid_t> Starts()
    {
        std::vector<pid_t> pids;
        std::string text = qbtest::ReadFile(m_Dir + "/standin-starts.log");
        for (size_t p = 0; p < text.size();)
        {
            size_t nl = text.find('\n', p);
            if (nl == std::string::npos)
                break;
            pids.push_back(static_cast<pid_t>(atoi(text.substr(p, nl - p).c_str())));
            p = nl + 1;
        }
        return pids;
    }
    std::string Output() { return qbtest::ReadFile(m_Dir + "/watchdog.out"); }
    void SetMode(const std::string& mode) { qbtest::WriteFile(m_Dir + "/standin.mode", mode + "\n"); }
    void RunForeground() { m_Pid = qbtest::Spawn({m_Watchdog}, m_Env, m_Dir + "/watchdog.out"); }
    bool CollectorAnswered(size_t count)
    {
        return qbtest::WaitUntil([&] { return qbtest::CountOf(Output(), ALIVE) >= count; }, 20000);
    }

    std::string m_Dir, m_Collector, m_Watchdog;
    int m_Port = 0;
    std::vector<std::string> m_Env;
    pid_t m_Pid = -1;
};
} // namespace

TEST_F(WatchdogProcess, RestartsAStoppedCollectorAndKillsOneThatHangs)
{
    RunForeground();
    ASSERT_TRUE(CollectorAnswered(1)) << Output();
    ASSERT_EQ(Starts().size(), 1u);
    EXPECT_EQ(Output().find(STOP_DETECTED), std::string::npos);

    // Stopped by an administrator: started again within about a second.
    ASSERT_EQ(Scm({"stop", "KELV"}), 0);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Starts().size() == 2; }, 10000));
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 2000) << "restart took " << ms << " ms";
    EXPECT_EQ(qbtest::CountOf(Output(), STOP_DETECTED), 1u) << Output();

    // Accepts connections but never answers: killed after a failed probe, then started again.
    size_t answered = qbtest::CountOf(Output(), ALIVE);
    ASSERT_TRUE(CollectorAnswered(answered + 1));
    pid_t hung = Starts().back();
    ASSERT_EQ(kill(hung, SIGSTOP), 0);
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Starts().size() == 3; }, 20000)) << Output();
    EXPECT_TRUE(qbtest::WaitUntil([&] { return !platform::IsProcessAlive(hung); }, 5000));
    std::string out = Output();
    EXPECT_NE(out.find("[CQuillbarnMonitor][GetQuillbarnPID] Succeed To Get Quillbarn PID = " +
                       std::to_string(hung) + ".\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[CQuillbarnMonitor][KillProcessByPID] Succeed To Kill Quillbarn.\n"),
              std::string::npos);
    EXPECT_TRUE(CollectorAnswered(answered + 2)) << "the new collector answers";

    // Stopping the watchdog stops the collector.
    kill(m_Pid, SIGTERM);
    EXPECT_EQ(qbtest::WaitExit(m_Pid, 10000), 0);
    m_Pid = -1;
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELV") == "STOPPED\n"; }, 5000)) << Query("KELV");
    EXPECT_EQ(Starts().size(), 3u);
}

TEST_F(WatchdogProcess, AnAnswerWithMoreBytesIsAliveAWrongOneIsNot)
{
    SetMode("long");
    RunForeground();
    ASSERT_TRUE(CollectorAnswered(3)) << Output();
    EXPECT_EQ(Starts().size(), 1u) << "answers with extra bytes keep the collector";
    EXPECT_EQ(Output().find("Succeed To Kill Quillbarn"), std::string::npos);

    SetMode("wrong");
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Starts().size() == 2; }, 20000)) << Output();
    EXPECT_NE(Output().find("[CQuillbarnMonitor][KillProcessByPID] Succeed To Kill Quillbarn.\n"),
              std::string::npos);
}

TEST_F(WatchdogProcess, ACollectorThatKeepsDyingGetsLogMergeTurnedOff)
{
    SetMode("exit");
    std::string adv = m_Dir + "/Kelv/Config/KelvAdv.conf";
    RunForeground();
    ASSERT_TRUE(qbtest::WaitUntil(
        [&] { return platform::GetPrivateProfileInt("Global", "EnableLogMerge", -1, adv) == 0; }, 20000))
        << Output();
    std::string out = Output();
    // Ten detected stops (the first start is not one of them) within the window.
    EXPECT_GE(qbtest::CountOf(out, STOP_DETECTED), 10u);
    EXPECT_GE(Starts().size(), 10u);
    EXPECT_NE(out.find("QuillbarnService [CQuillbarnMonitor][OnQuillbarnStartByMonitor] Quillbarn Start Too "
                       "Frequently! Shutdown LogMerge.\n"),
              std::string::npos);
    // It does not give up: once the collector stays up, it runs.
    SetMode("answer");
    EXPECT_TRUE(CollectorAnswered(1)) << Output();
}

TEST_F(WatchdogProcess, ServiceModeInstallsRunsAndStopsTheCollectorWithIt)
{
    const std::string appId = "HKCR\\AppID\\{CC1C41E5-93CE-4E88-BCA1-BD56FF788452}";
    setenv("QUILLBARN_REGISTRY", (m_Dir + "/registry.ini").c_str(), 1);
    ASSERT_EQ(qbtest::RunProgram({m_Watchdog, "-Service"}, m_Env), 0);
    std::string value;
    EXPECT_TRUE(platform::RegGetString(appId, "LocalService", value));
    EXPECT_EQ(value, "QuillbarnService");
    EXPECT_TRUE(platform::RegGetString(appId, "ServiceParameters", value));
    EXPECT_EQ(value, "-Service");
    EXPECT_EQ(Query("KELVDog"), "STOPPED\n");
    ASSERT_EQ(qbtest::RunProgram({m_Watchdog, "/service"}, m_Env), 0)
        << "re-install over an installed service";

    // The collector starts the watchdog under its own spelling of the name.
    ASSERT_EQ(Scm({"start", "KelvDog"}), 0);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELVDog") == "RUNNING\n"; }, 5000));
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELV") == "RUNNING\n"; }, 5000));
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Starts().size() == 1; }, 5000));

    ASSERT_EQ(Scm({"stop", "KELVDOG"}), 0);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELVDog") == "STOPPED\n"; }, 10000))
        << Query("KELVDog");
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELV") == "STOPPED\n"; }, 5000)) << Query("KELV");
    EXPECT_EQ(Starts().size(), 1u);

    // RegServer: a local server only; UnregServer removes everything.
    ASSERT_EQ(qbtest::RunProgram({m_Watchdog, "-RegServer"}, m_Env), 0);
    EXPECT_NE(Scm({"query", "KELVDog"}), 0) << "no service any more";
    EXPECT_FALSE(platform::RegGetString(appId, "LocalService", value));
    EXPECT_TRUE(platform::RegGetString(appId, "", value));
    ASSERT_EQ(qbtest::RunProgram({m_Watchdog, "-UnregServer"}, m_Env), 0);
    EXPECT_FALSE(platform::RegGetString(appId, "", value));
    unsetenv("QUILLBARN_REGISTRY");
}

TEST_F(WatchdogProcess, TheCollectorRunsAsAServiceUnderTheWatchdogsName)
{
    // The real collector, registered as "KELV", accepts that registration in its dispatcher: run by
    // hand without a switch it does nothing at all, started by the manager it runs its service path
    // (here without a database, so it logs and ends by itself).
    std::string real = qbtest::BinDir() + "/Quillbarn";
    ASSERT_TRUE(platform::FileExists(real));
    ASSERT_TRUE(platform::CopyFile(real, m_Collector, false));
    // The rest of a collector's install over the watchdog's tree, whose Kelv.conf stays.
    qbtest::CInstallTree tree(qbtest::SInstallTreeOptions()
                                  .At(m_Dir)
                                  .Dirs({"Kelv/Log", "Kelv/Temp", "Kelv/Dump", "mysql"})
                                  .WithoutShippedConfig()
                                  .Kept());
    tree.CopyShippedConfig({"Kelv.conf"});
    auto logged = [&] { return tree.ReadLogs().find("][Quillbarn][PID=") != std::string::npos; };
    EXPECT_EQ(qbtest::RunProgram({m_Collector}, m_Env, 10000), 0);
    EXPECT_FALSE(logged());

    ASSERT_EQ(Scm({"start", "KELV"}), 0);
    EXPECT_TRUE(qbtest::WaitUntil(logged, 10000));
    Scm({"stop", "KELV"});
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Query("KELV") == "STOPPED\n"; }, 60000)) << Query("KELV");
}
