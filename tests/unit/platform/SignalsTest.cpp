#include "platform/Signals.h"
#include "platform/DebugOutput.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace
{

// Runs `body` in a forked child (signal masks and dispositions are process state) and returns its
// exit code, or 100 + signal number if a signal ended it.
template <typename F> int InChild(F body)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

int g_Pipe[2];

} // namespace

TEST(SignalsTest, TerminationSignalsReachTheCallbackThreadAndSigpipeIsHarmless)
{
    int rc = InChild(
        []
        {
            BlockTerminationSignals();
            if (pipe(g_Pipe) != 0)
                return 10;
            if (!StartTerminationSignalThread(
                    [](int sig)
                    {
                        char c = static_cast<char>(sig);
                        ssize_t n = write(g_Pipe[1], &c, 1);
                        (void)n;
                    }))
                return 11;
            // Process-directed signals: any thread without the mask would die instead.
            kill(getpid(), SIGINT);
            kill(getpid(), SIGTERM);
            char a = 0, b = 0;
            if (read(g_Pipe[0], &a, 1) != 1 || read(g_Pipe[0], &b, 1) != 1)
                return 12;
            if (!((a == SIGINT && b == SIGTERM) || (a == SIGTERM && b == SIGINT)))
                return 13;
            int p[2];
            if (pipe(p) != 0)
                return 14;
            close(p[0]);
            if (write(p[1], "x", 1) != -1 || errno != EPIPE)
                return 15;
            return 0;
        });
    EXPECT_EQ(rc, 0);
}

TEST(DebugOutputTest, OffByDefaultAndStderrWhenConfigured)
{
    int rc = InChild(
        []
        {
            unsetenv("QUILLBARN_DEBUG_OUTPUT");
            ReloadDebugOutputSetting();
            if (IsDebugOutputEnabled())
                return 1;
            int p[2];
            if (pipe(p) != 0)
                return 2;
            dup2(p[1], STDERR_FILENO);
            OutputDebugString("hidden\n");
            setenv("QUILLBARN_DEBUG_OUTPUT", "STDERR", 1);
            ReloadDebugOutputSetting();
            if (!IsDebugOutputEnabled() || GetDebugOutputSink() != DebugOutputSink::Stderr)
                return 3;
            OutputDebugString("[Run] shown\n");
            close(STDERR_FILENO);
            close(p[1]);
            char buf[64] = {};
            ssize_t n = read(p[0], buf, sizeof buf - 1);
            if (n < 0 || std::string(buf, static_cast<size_t>(n)) != "[Run] shown\n")
                return 4;
            setenv("QUILLBARN_DEBUG_OUTPUT", "syslog", 1);
            ReloadDebugOutputSetting();
            return GetDebugOutputSink() == DebugOutputSink::Syslog ? 0 : 5;
        });
    EXPECT_EQ(rc, 0);
}
