#include "platform/ServiceManager.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace
{

std::string BinDir()
{
    std::string exe = ExecutablePath();
    return exe.substr(0, exe.find_last_of('/'));
}

class ServiceManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qb_scm_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = std::string(tmpl) + "/scm"; // created on demand
        setenv(kScmDirEnv, m_Dir.c_str(), 1);
        unsetenv(kScmServiceEnv);
    }
    void TearDown() override
    {
        for (const std::string& name : m_Started)
            if (pid_t pid = GetServicePid(name))
                kill(pid, SIGKILL);
        unsetenv(kScmDirEnv);
        std::filesystem::remove_all(m_Dir.substr(0, m_Dir.find_last_of('/')));
    }
    bool Start(const std::string& name)
    {
        m_Started.push_back(name);
        return StartService(name);
    }
    // Polls until the state is reached; false after `ms`.
    static bool WaitFor(const std::string& name, ServiceState want, int ms = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline)
        {
            if (QueryServiceState(name) == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static std::string ProcFile(pid_t pid, const char* what)
    {
        std::string s;
        ReadWholeFile("/proc/" + std::to_string(pid) + "/" + what, s);
        return s;
    }

    std::string m_Dir;
    std::vector<std::string> m_Started;
};

} // namespace

TEST_F(ServiceManagerTest, RegistrationIsCaseInsensitiveAndExclusive)
{
    EXPECT_FALSE(IsServiceInstalled("VelmoraSSLSQL"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceDoesNotExist);
    ASSERT_TRUE(
        CreateService("VelmoraSSLSQL", "Velmora SQL", "\"/usr/sbin/my d\" --defaults-file=/x/my.ini"));
    EXPECT_TRUE(IsDirectory(m_Dir));
    EXPECT_FALSE(CreateService("velmorasslsql", "other", "/bin/true"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceExists);
    EXPECT_TRUE(IsServiceInstalled("VELMORASSLSQL"));
    EXPECT_EQ(GetServiceCommand("velmoraSSLsql"), "\"/usr/sbin/my d\" --defaults-file=/x/my.ini");
    EXPECT_EQ(GetServiceDisplayName("VelmoraSSLSQL"), "Velmora SQL");
    EXPECT_EQ(QueryServiceState("VelmoraSSLSQL"), ServiceState::Stopped);
    EXPECT_EQ(ScmLastError(), 0u);

    EXPECT_FALSE(CreateService("../escape", "x", "/bin/true"));
    EXPECT_FALSE(CreateService("", "x", "/bin/true"));
    EXPECT_FALSE(CreateService("Empty", "x", "  "));

    ASSERT_TRUE(DeleteService("VELMORAsslSQL"));
    EXPECT_FALSE(IsServiceInstalled("VelmoraSSLSQL"));
    EXPECT_FALSE(DeleteService("VelmoraSSLSQL"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceDoesNotExist);
    EXPECT_FALSE(StartService("VelmoraSSLSQL"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceDoesNotExist);

    EXPECT_EQ(SplitCommandLine("  \"/a b/c\"  -x \"\" d\\\"e f\"g h\"i "),
              (std::vector<std::string>{"/a b/c", "-x", "", "d\"e", "fg hi"}));
}

TEST_F(ServiceManagerTest, PlainProgramRunsAsCleanDaemonAndStopsOnTerm)
{
    ASSERT_TRUE(CreateService("VelmoraSSLSQL", "db", "sleep 1000")); // found through PATH
    // The caller has the termination signals blocked and a descriptor without close-on-exec, as the
    // collector does; neither may reach the daemon.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    int leaked = open("/dev/null", O_RDONLY);
    bool started = Start("velmorasslsql");
    close(leaked);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(started) << ScmLastError();

    // Never reports: start pending at first, then a live process counts as running.
    EXPECT_EQ(QueryServiceState("VelmoraSSLSQL"), ServiceState::StartPending);
    EXPECT_TRUE(WaitFor("VelmoraSSLSQL", ServiceState::Running, 3000));
    pid_t pid = GetServicePid("VELMORASSLSQL");
    ASSERT_GT(pid, 0);

    std::string environ = ProcFile(pid, "environ");
    EXPECT_NE(environ.find(std::string("QUILLBARN_SCM_SERVICE=VelmoraSSLSQL") + '\0'), std::string::npos);
    EXPECT_NE(environ.find(std::string("QUILLBARN_SCM_DIR=") + m_Dir + '\0'), std::string::npos);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), "/");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/1"), "/dev/null");
    std::vector<std::string> fds;
    for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        fds.push_back(e.path().filename());
    EXPECT_EQ(fds.size(), 3u) << "descriptors leaked into the daemon";
    EXPECT_NE(getsid(pid), getsid(0));

    EXPECT_FALSE(StartService("VelmoraSSLSQL"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceAlreadyRunning);
    EXPECT_EQ(GetServicePid("VelmoraSSLSQL"), pid);

    ASSERT_TRUE(ControlServiceStop("VelmoraSSLSQL"));
    EXPECT_TRUE(WaitFor("VelmoraSSLSQL", ServiceState::Stopped));
    EXPECT_EQ(GetServicePid("VelmoraSSLSQL"), 0);
    EXPECT_FALSE(ControlServiceStop("VelmoraSSLSQL"));
    EXPECT_EQ(ScmLastError(), kScmErrorServiceNotActive);

    // Restart after a stop works.
    ASSERT_TRUE(Start("VelmoraSSLSQL"));
    EXPECT_NE(GetServicePid("VelmoraSSLSQL"), 0);
}

TEST_F(ServiceManagerTest, KilledProcessAndReusedPidReadAsStopped)
{
    ASSERT_TRUE(CreateService("Sleeper", "s", "/bin/sleep 1000"));
    ASSERT_TRUE(Start("Sleeper"));
    pid_t pid = GetServicePid("Sleeper");
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitFor("Sleeper", ServiceState::Stopped));

    // A status record whose pid now belongs to another process (this one) with another start time.
    std::string status = m_Dir + "/sleeper.status";
    ASSERT_TRUE(WriteFileAtomic(status, "[Status]\nPid=" + std::to_string(getpid()) +
                                            "\nStartTime=1\nState=4\nReported=1\n"));
    EXPECT_EQ(QueryServiceState("Sleeper"), ServiceState::Stopped);
    EXPECT_EQ(GetServicePid("Sleeper"), 0);
    EXPECT_FALSE(ControlServiceStop("Sleeper")); // must not signal an unrelated process
}

TEST_F(ServiceManagerTest, UnrunnableCommandFailsTheStartWithItsError)
{
    ASSERT_TRUE(CreateService("Missing", "m", "/nonexistent/program -x"));
    EXPECT_FALSE(StartService("Missing"));
    EXPECT_EQ(ScmLastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(QueryServiceState("Missing"), ServiceState::Stopped);

    std::string script = m_Dir + "/not_executable";
    ASSERT_TRUE(WriteFileAtomic(script, "#!/bin/sh\n", false, 0644));
    ASSERT_TRUE(CreateService("NoExec", "n", script));
    EXPECT_FALSE(StartService("NoExec"));
    EXPECT_EQ(ScmLastError(), static_cast<uint32_t>(EACCES));
}

TEST_F(ServiceManagerTest, DispatcherServiceReportsItsStatesAndHandlesStop)
{
    std::string exe = BinDir() + "/scm_test_service";
    ASSERT_TRUE(FileExists(exe)) << "scm_test_service is built with the tools";
    // Registered under one spelling, the program asks the dispatcher under another.
    ASSERT_TRUE(CreateService("KELVDog", "watchdog", "\"" + exe + "\" kelvdog 600"));
    ASSERT_TRUE(Start("KelvDog"));
    ASSERT_TRUE(WaitFor("KelvDog", ServiceState::Running));
    pid_t pid = GetServicePid("kelvdog");
    ASSERT_GT(pid, 0);

    ASSERT_TRUE(ControlServiceStop("KelvDog"));
    EXPECT_TRUE(WaitFor("KelvDog", ServiceState::StopPending, 3000));
    EXPECT_TRUE(WaitFor("KelvDog", ServiceState::Stopped, 5000));
    // It exits by itself after reporting stopped.
    for (int i = 0; i < 300 && kill(pid, 0) == 0 && ProcFile(pid, "stat").find(") Z") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(kill(pid, 0) != 0 || ProcFile(pid, "stat").find(") Z") != std::string::npos);
}

TEST_F(ServiceManagerTest, DispatcherRefusesOutsideTheManager)
{
    static bool called = false;
    auto serviceMain = [](int, char**) { called = true; };
    EXPECT_FALSE(StartServiceCtrlDispatcher("Quillbarn", serviceMain));
    EXPECT_EQ(ScmLastError(), kScmErrorNotStartedByManager);
    setenv(kScmServiceEnv, "KelvDog", 1);
    EXPECT_FALSE(StartServiceCtrlDispatcher("Quillbarn", serviceMain));
    EXPECT_FALSE(SetServiceStatus("Quillbarn", ServiceState::Running));
    unsetenv(kScmServiceEnv);
    EXPECT_FALSE(called);

    // The same program that runs as a service when the manager starts it refuses on its own.
    std::string exe = BinDir() + "/scm_test_service";
    pid_t child = fork();
    if (child == 0)
    {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(exe.c_str(), exe.c_str(), "KelvDog", nullptr);
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(ServiceManagerTest, ScmctlDrivesTheSameServices)
{
    std::string ctl = BinDir() + "/scmctl";
    ASSERT_TRUE(FileExists(ctl));
    auto run = [&](const std::string& args, std::string* out = nullptr)
    {
        FILE* p = popen((ctl + " " + args + " 2>/dev/null").c_str(), "r");
        std::string text;
        char buf[256];
        while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr)
            text += buf;
        int status = p != nullptr ? pclose(p) : -1;
        if (out != nullptr)
            *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(run("query VelmoraSSLSQL"), 1);
    EXPECT_EQ(run("create VelmoraSSLSQL '/bin/sleep 1000' 'Velmora SQL'"), 0);
    EXPECT_EQ(GetServiceDisplayName("velmorasslsql"), "Velmora SQL");
    EXPECT_EQ(run("create velmorasslsql '/bin/sleep 5'"), 1);
    EXPECT_EQ(run("query velmorasslsql", &out), 0);
    EXPECT_EQ(out, "STOPPED\n");
    m_Started.push_back("VelmoraSSLSQL");
    EXPECT_EQ(run("start VELMORASSLSQL"), 0);
    EXPECT_EQ(run("wait VelmoraSSLSQL RUNNING 5"), 0);
    EXPECT_EQ(run("query VelmoraSSLSQL", &out), 0);
    EXPECT_EQ(out, "RUNNING\n");
    EXPECT_EQ(run("start VelmoraSSLSQL"), 1);
    EXPECT_EQ(run("wait VelmoraSSLSQL STOPPED 0.2"), 1);
    EXPECT_EQ(run("stop VelmoraSSLSQL"), 0);
    EXPECT_EQ(run("wait VelmoraSSLSQL stopped 5"), 0);
    EXPECT_EQ(run("wait VelmoraSSLSQL SLEEPY 5"), 2);
    EXPECT_EQ(run("delete VelmoraSSLSQL"), 0);
    EXPECT_EQ(run("delete VelmoraSSLSQL"), 1);
}
