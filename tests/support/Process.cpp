#include "support/Process.h"

#include "support/TestInstall.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qbtest
{
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& outputPath)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (const std::string& e : env)
        putenv(strdup(e.c_str()));
    if (!outputPath.empty())
    {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0)
        {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
    }
    // The test runner may block signals; the child must start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int WaitExit(pid_t pid, int timeoutMs)
{
    for (int waited = 0;; waited += 5)
    {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR)
            return -1;
        if (waited >= timeoutMs)
            return -1;
        usleep(5000);
    }
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs,
               std::string* output)
{
    char tmpl[] = "/tmp/qb_out_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0)
        close(fd);
    pid_t pid = Spawn(argv, env, tmpl);
    int code = WaitExit(pid, timeoutMs);
    if (code == -1)
    {
        kill(pid, SIGKILL);
        WaitExit(pid, 5000);
    }
    if (output)
        *output = ReadFile(tmpl);
    unlink(tmpl);
    return code;
}

long ProcessStatusKiB(pid_t pid, const char* field)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    std::string head = "\n" + std::string(field) + ":";
    size_t at = ("\n" + status).find(head);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + head.size() - 1);
}

int FreeTcpPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}
} // namespace qbtest
