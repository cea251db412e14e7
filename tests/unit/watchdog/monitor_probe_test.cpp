// The monitor's probe against a real listener on the loopback, and its service control against the
// file-backed service manager running a stand-in collector process.
#include "dog_test_support.h"
#include "support/Process.h"

#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "support/TestHelpers.h"
#include "watchdog/QuillbarnMonitor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace
{
// A listener that takes one connection, keeps what it receives and answers with `reply` (nothing
// when empty), then holds the connection open until the client closes it.
class CProbeListener
{
public:
    explicit CProbeListener(std::string reply, bool closeWithoutAnswer = false)
    {
        m_Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(m_Fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_Port = ntohs(addr.sin_port);
        listen(m_Fd, 4);
        m_Thread = std::thread(
            [this, reply, closeWithoutAnswer]
            {
                pollfd p{m_Fd, POLLIN, 0};
                if (poll(&p, 1, 20000) <= 0)
                    return;
                int c = accept(m_Fd, nullptr, nullptr);
                char buf[512];
                while (m_Received.size() < 58)
                {
                    pollfd q{c, POLLIN, 0};
                    if (poll(&q, 1, 5000) <= 0)
                        break;
                    ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    m_Received.append(buf, static_cast<size_t>(n));
                }
                if (closeWithoutAnswer)
                {
                    close(c);
                    return;
                }
                if (!reply.empty())
                    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                pollfd q{c, POLLIN, 0};
                poll(&q, 1, 20000); // until the client closes
                close(c);
            });
    }
    ~CProbeListener()
    {
        if (m_Thread.joinable())
            m_Thread.join();
        close(m_Fd);
    }
    int Port() const { return m_Port; }
    std::string Received()
    {
        if (m_Thread.joinable())
            m_Thread.join();
        return m_Received;
    }

private:
    int m_Fd = -1;
    int m_Port = 0;
    std::string m_Received;
    std::thread m_Thread;
};

class MonitorControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Dir = qbtest::MakeTempDir("qb_dogctl");
        dogtest::MakeInstallTree(m_Dir, 9501);
        setenv("QUILLBARN_REGISTRY", (m_Dir + "/registry.ini").c_str(), 1);
        setenv("QUILLBARN_SCM_DIR", (m_Dir + "/scm").c_str(), 1);
        setenv("QUILLBARN_TEST_TIME_DIVISOR", "20", 1);
        ASSERT_TRUE(platform::RegSetString("HKLM\\Software\\Velmora\\SSL\\DC", "InstallPath", m_Dir));
        ASSERT_EQ(m_Monitor.Init(), 1);
    }
    void TearDown() override
    {
        for (pid_t pid : m_Spawned)
        {
            kill(pid, SIGKILL);
            qbtest::WaitExit(pid, 5000);
        }
        if (platform::IsServiceInstalled("KELV"))
        {
            pid_t pid = platform::GetServicePid("KELV");
            if (pid > 0)
                kill(pid, SIGKILL);
        }
        unsetenv("QUILLBARN_REGISTRY");
        unsetenv("QUILLBARN_SCM_DIR");
        unsetenv("QUILLBARN_TEST_TIME_DIVISOR");
        qbtest::RemoveTree(m_Dir);
    }
    void SetPort(int port) { dogtest::MakeInstallTree(m_Dir, port); }
    // Copies the stand-in collector to <dir>/bin/Quillbarn.
    std::string InstallStandIn(const std::string& dir)
    {
        platform::CreateDirectories(dir + "/bin");
        std::string exe = dir + "/bin/Quillbarn";
        EXPECT_TRUE(platform::CopyFile(qbtest::BinDir() + "/standin/Quillbarn", exe, false));
        chmod(exe.c_str(), 0755);
        return exe;
    }
    int Probe(int64_t* elapsedMs = nullptr)
    {
        auto t0 = std::chrono::steady_clock::now();
        int r = m_Monitor.KeepAliveWithQuillbarn();
        if (elapsedMs != nullptr)
            *elapsedMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                    .count();
        return r;
    }

    std::string m_Dir;
    CQuillbarnMonitor m_Monitor;
    std::vector<pid_t> m_Spawned;
};

std::string ExpectedProbe()
{
    std::string p(58, '\0');
    std::memcpy(&p[0], "logs0500", 8);
    std::memcpy(&p[8], "KELVDEVPROBE01", 14);
    p[28] = 58; // m_DataLen, little-endian; m_LogType at 24 stays 0
    return p;
}
} // namespace

TEST_F(MonitorControl, ProbeSendsTheRecordAndJudgesTheAnswer)
{
    dogtest::CStderrCapture capture(m_Dir + "/debug.txt");
    {
        CProbeListener exact("KELVDEVPROBE01");
        SetPort(exact.Port());
        EXPECT_EQ(Probe(), 1);
        EXPECT_EQ(exact.Received(), ExpectedProbe());
    }
    {
        CProbeListener longer(std::string("KELVDEVPROBE01") + "\x01\x02 trailing bytes");
        SetPort(longer.Port());
        EXPECT_EQ(Probe(), 1) << "the tag followed by more bytes is an answer";
    }
    EXPECT_EQ(qbtest::CountOf(capture.Text(), "QuillbarnService [CQuillbarnMonitor][KeepAliveWithQuillbarn] "
                                              "KeepAlive Succeed!\n"),
              2u);
    {
        CProbeListener wrong("KELVDEVPROBE10");
        SetPort(wrong.Port());
        EXPECT_EQ(Probe(), 0);
    }
    {
        CProbeListener shortAnswer("KELVDEVPROBE0");
        SetPort(shortAnswer.Port());
        EXPECT_EQ(Probe(), 0) << "13 bytes of the tag are not the tag";
    }
    {
        CProbeListener hangsUp("", true);
        SetPort(hangsUp.Port());
        EXPECT_EQ(Probe(), 0);
    }
    EXPECT_EQ(qbtest::CountOf(capture.Text(), "KeepAlive Succeed!"), 2u);
}

TEST_F(MonitorControl, ProbeGivesUpAfterTheAnswerWaitAndOnARefusedPort)
{
    {
        // Accepts and reads, never answers: the answer wait (10 s, divided by 20 here) decides.
        CProbeListener silent("");
        SetPort(silent.Port());
        int64_t ms = 0;
        EXPECT_EQ(Probe(&ms), 0);
        EXPECT_GE(ms, 450);
        EXPECT_LT(ms, 3000);
    }
    SetPort(qbtest::FreeTcpPort());
    int64_t ms = 0;
    EXPECT_EQ(Probe(&ms), 0) << "nothing listens";
    EXPECT_LT(ms, 1000);
}

TEST_F(MonitorControl, ServiceControlOfTheCollectorAndItsErrors)
{
    dogtest::CStderrCapture capture(m_Dir + "/debug.txt");
    // Not registered yet: every operation fails with the manager's "does not exist".
    EXPECT_EQ(m_Monitor.IsQuillbarnStop(), 0);
    EXPECT_EQ(m_Monitor.StartQuillbarn(), 0);
    EXPECT_EQ(m_Monitor.StopQuillbarn(), 0);
    std::string text = capture.Text();
    EXPECT_NE(
        text.find("QuillbarnService [CQuillbarnMonitor][IsQuillbarnStop] Cannot Open Service Err = 1060\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("QuillbarnService [CQuillbarnMonitor][StartQuillbarn] Cannot Open Service Err = 1060\n"),
        std::string::npos);

    // Registered as the watchdog names it; the program dispatches under its own name.
    std::string exe = InstallStandIn(m_Dir);
    SetPort(qbtest::FreeTcpPort());
    ASSERT_TRUE(platform::CreateService("KELV", "Quillbarn", exe));
    EXPECT_EQ(m_Monitor.IsQuillbarnStop(), 1);
    EXPECT_EQ(m_Monitor.StartQuillbarn(), 1);
    ASSERT_TRUE(qbtest::WaitUntil(
        [] { return platform::QueryServiceState("KELV") == platform::ServiceState::Running; }, 5000));
    EXPECT_EQ(m_Monitor.IsQuillbarnStop(), 0);
    EXPECT_EQ(m_Monitor.StartQuillbarn(), 1) << "a running service is left alone";
    EXPECT_TRUE(qbtest::WaitUntil([&] { return m_Monitor.KeepAliveWithQuillbarn() == 1; }, 5000));
    EXPECT_EQ(qbtest::CountOf(qbtest::ReadFile(m_Dir + "/standin-starts.log"), "\n"), 1u);

    EXPECT_EQ(m_Monitor.StopQuillbarn(), 1);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return m_Monitor.IsQuillbarnStop() == 1; }, 5000));
    EXPECT_EQ(m_Monitor.StopQuillbarn(), 0) << "an already stopped service";
    text = capture.Text();
    EXPECT_EQ(qbtest::CountOf(
                  text, "QuillbarnService [CQuillbarnMonitor][StartQuillbarn] Start Service Succeed.\n"),
              1u);
    EXPECT_EQ(qbtest::CountOf(
                  text, "QuillbarnService [CQuillbarnMonitor][IsQuillbarnStop] Stop Quillbarn Succeed!\n"),
              1u);
    EXPECT_EQ(qbtest::CountOf(text, "Stop Quillbarn Fail"), 0u);

    // A program the manager cannot run.
    ASSERT_TRUE(platform::DeleteService("KELV"));
    ASSERT_TRUE(platform::CreateService("KELV", "Quillbarn", m_Dir + "/bin/missing"));
    EXPECT_EQ(m_Monitor.StartQuillbarn(), 0);
    EXPECT_NE(capture.Text().find("[CQuillbarnMonitor][StartQuillbarn] Cannot Start Service Err = 2\n"),
              std::string::npos);
}

TEST_F(MonitorControl, KillFindsOnlyThisInstallsCollector)
{
    dogtest::CStderrCapture capture(m_Dir + "/debug.txt");
    SetPort(qbtest::FreeTcpPort());
    std::string exe = InstallStandIn(m_Dir);
    ASSERT_TRUE(platform::CreateService("KELV", "Quillbarn", exe));

    // Another install's collector runs under the same name, in the foreground.
    std::string otherDir = m_Dir + "/other";
    dogtest::MakeInstallTree(otherDir, qbtest::FreeTcpPort());
    std::string otherExe = InstallStandIn(otherDir);
    pid_t other = qbtest::Spawn({otherExe}, {"QUILLBARN_SCM_SERVICE="});
    m_Spawned.push_back(other);
    ASSERT_TRUE(
        qbtest::WaitUntil([&] { return platform::FileExists(otherDir + "/standin-starts.log"); }, 5000));

    pid_t pid = 0;
    EXPECT_EQ(m_Monitor.GetQuillbarnPID(pid), 0) << "this install's collector is not running";
    EXPECT_EQ(m_Monitor.KillQuillbarn(), 0);
    EXPECT_TRUE(platform::IsProcessAlive(other));

    ASSERT_EQ(m_Monitor.StartQuillbarn(), 1);
    ASSERT_TRUE(qbtest::WaitUntil([] { return platform::GetServicePid("KELV") > 0; }, 5000));
    pid_t collector = platform::GetServicePid("KELV");
    ASSERT_EQ(m_Monitor.GetQuillbarnPID(pid), 1);
    EXPECT_EQ(pid, collector);
    ASSERT_EQ(m_Monitor.KillQuillbarn(), 1);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return !platform::IsProcessAlive(collector); }, 5000));
    EXPECT_TRUE(platform::IsProcessAlive(other)) << "another install's collector is left alone";
    EXPECT_TRUE(qbtest::WaitUntil([&] { return m_Monitor.IsQuillbarnStop() == 1; }, 5000));

    EXPECT_EQ(m_Monitor.KillProcessByPID(collector), 0) << "a process that is gone";
    std::string text = capture.Text();
    EXPECT_NE(text.find("[CQuillbarnMonitor][GetQuillbarnPID] Succeed To Get Quillbarn PID = " +
                        std::to_string(collector) + ".\n"),
              std::string::npos);
    EXPECT_NE(text.find("[CQuillbarnMonitor][GetQuillbarnPID] Enum Process ID = 1\t Name = "),
              std::string::npos);
    EXPECT_EQ(qbtest::CountOf(text, "[CQuillbarnMonitor][KillProcessByPID] Succeed To Kill Quillbarn.\n"),
              1u);
    EXPECT_NE(text.find("[CQuillbarnMonitor][KillProcessByPID] Cannot Open Process PID = " +
                        std::to_string(collector) + " , Err = 3.\n"),
              std::string::npos);

    // With no collector service registered, no process named Quillbarn is taken for this install's.
    ASSERT_TRUE(platform::DeleteService("KELV"));
    EXPECT_EQ(m_Monitor.KillQuillbarn(), 0);
    EXPECT_TRUE(platform::IsProcessAlive(other)) << "killed a collector that is not this install's";
    EXPECT_NE(
        capture.Text().find("[CQuillbarnMonitor][GetQuillbarnPID] No Executable Registered For Service KELV"),
        std::string::npos);
}
