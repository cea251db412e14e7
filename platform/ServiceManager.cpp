#include "platform/ServiceManager.h"

#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Signals.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace platform
{

namespace
{

const char kDefaultScmDir[] = "/var/lib/quillbarn/scm";
const char kServiceSection[] = "Service";
const char kStatusSection[] = "Status";
const size_t kMaxNameLength = 256;
const size_t kMaxTextLength = 65536;
// A started process that has not reported yet shows start pending this long; a plain program that
// never reports is then taken as running. Services under the dispatcher report at once.
const uint64_t kUnreportedStartGraceMs = 1000;

thread_local uint32_t t_LastError = 0;

bool Fail(uint32_t error)
{
    t_LastError = error;
    return false;
}

bool Succeed()
{
    t_LastError = 0;
    return true;
}

uint32_t ErrnoOr(uint32_t fallback)
{
    return errno != 0 ? static_cast<uint32_t>(errno) : fallback;
}

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.')
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '/')
            return false;
    return true;
}

std::string LowerName(const std::string& name)
{
    std::string s = name;
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string ServiceFile(const std::string& name)
{
    return ScmDirectory() + "/" + LowerName(name) + ".service";
}

std::string StatusFile(const std::string& name)
{
    return ScmDirectory() + "/" + LowerName(name) + ".status";
}

// Values go in quotes so that the profile reader gives them back unchanged.
std::string Quote(const std::string& s)
{
    return "\"" + s + "\"";
}

struct ProcessStatus
{
    pid_t pid = 0;
    unsigned long long startTime = 0;
    uint32_t state = 0;
    bool reported = false;
    uint64_t startedMs = 0; // boot-time clock, comparable across processes
};

uint64_t BootClockMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Start time (clock ticks after boot) of a live, non-zombie process; false when there is none.
bool ReadProcessStart(pid_t pid, unsigned long long& startTime)
{
    if (pid <= 0)
        return false;
    std::string stat;
    if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat))
        return false;
    size_t paren = stat.rfind(')'); // the command name may itself hold blanks and parentheses
    if (paren == std::string::npos)
        return false;
    const char* p = stat.c_str() + paren + 1;
    // Fields after the name: state is field 3, starttime field 22.
    char state = 0;
    for (int field = 3; field <= 22; ++field)
    {
        while (*p == ' ')
            ++p;
        if (*p == 0)
            return false;
        if (field == 3)
            state = *p;
        if (field == 22)
        {
            startTime = std::strtoull(p, nullptr, 10);
            break;
        }
        while (*p != ' ' && *p != 0)
            ++p;
    }
    return state != 'Z' && state != 'X' && state != 'x';
}

bool ReadStatus(const std::string& name, ProcessStatus& st)
{
    std::string file = StatusFile(name);
    std::string pid = GetPrivateProfileString(kStatusSection, "Pid", "", file);
    if (pid.empty())
        return false;
    st.pid = static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
    st.startTime =
        std::strtoull(GetPrivateProfileString(kStatusSection, "StartTime", "", file).c_str(), nullptr, 10);
    st.state = static_cast<uint32_t>(GetPrivateProfileInt(kStatusSection, "State", 0, file));
    st.reported = GetPrivateProfileInt(kStatusSection, "Reported", 0, file) != 0;
    st.startedMs =
        std::strtoull(GetPrivateProfileString(kStatusSection, "StartedMs", "", file).c_str(), nullptr, 10);
    return st.pid > 0;
}

bool WriteStatus(const std::string& name, const ProcessStatus& st)
{
    std::string text = std::string("[") + kStatusSection + "]\n" + "Pid=" + std::to_string(st.pid) + "\n" +
                       "StartTime=" + std::to_string(st.startTime) + "\n" +
                       "State=" + std::to_string(st.state) + "\n" + "Reported=" + (st.reported ? "1" : "0") +
                       "\n" + "StartedMs=" + std::to_string(st.startedMs) + "\n";
    return WriteFileAtomic(StatusFile(name), text);
}

// The live process recorded for the service, or false.
bool LiveProcess(const std::string& name, ProcessStatus& st)
{
    if (!ReadStatus(name, st))
        return false;
    unsigned long long start = 0;
    return ReadProcessStart(st.pid, start) && start == st.startTime;
}

ServiceState StateOf(const std::string& name)
{
    ProcessStatus st;
    if (!LiveProcess(name, st))
        return ServiceState::Stopped;
    if (!st.reported)
        return BootClockMs() - st.startedMs < kUnreportedStartGraceMs ? ServiceState::StartPending
                                                                      : ServiceState::Running;
    if (st.state >= 1 && st.state <= 4)
        return static_cast<ServiceState>(st.state);
    return ServiceState::Running;
}

// Serialises starts of one service across processes.
class CServiceLock
{
public:
    explicit CServiceLock(const std::string& name)
    {
        std::string path = ScmDirectory() + "/" + LowerName(name) + ".lock";
        m_Fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_Fd >= 0)
            while (::flock(m_Fd, LOCK_EX) != 0 && errno == EINTR)
            {
            }
    }
    ~CServiceLock()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    CServiceLock(const CServiceLock&) = delete;
    CServiceLock& operator=(const CServiceLock&) = delete;

private:
    int m_Fd = -1;
};

bool EnsureDirectory()
{
    return CreateDirectories(ScmDirectory());
}

std::string ResolveProgram(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;)
    {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0 && !IsDirectory(candidate))
            return candidate;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return std::string();
}

bool ReadFull(int fd, void* buf, size_t len)
{
    char* p = static_cast<char*>(buf);
    while (len > 0)
    {
        ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void WriteErrnoAndExit(int fd, int err)
{
    ssize_t ignored = ::write(fd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

// Runs in the daemon between fork and exec: async-signal-safe calls only.
[[noreturn]] void RunDaemon(int goFd, int errFd, const char* program, char* const* argv, char* const* envp)
{
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD})
        sigaction(sig, &dfl, nullptr);
    if (::chdir("/") != 0)
        WriteErrnoAndExit(errFd, errno);
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        WriteErrnoAndExit(errFd, errno);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2)
        ::close(null);
    // Whatever the starting process had open (listening sockets, files) must not leak into the daemon.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    {
        for (int fd = 3; fd < 65536; ++fd)
            if (fd != goFd && fd != errFd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    char go = 0;
    ssize_t n;
    while ((n = ::read(goFd, &go, 1)) < 0 && errno == EINTR)
    {
    }
    if (n != 1 || go != 'g')
        ::_exit(127);
    ::execve(program, argv, envp);
    WriteErrnoAndExit(errFd, errno);
    ::_exit(127);
}

} // namespace

uint32_t ScmLastError()
{
    return t_LastError;
}

std::string ScmDirectory()
{
    const char* env = std::getenv(kScmDirEnv);
    std::string dir = (env != nullptr && *env != 0) ? std::string(env) : std::string(kDefaultScmDir);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

bool CreateService(const std::string& name, const std::string& displayName, const std::string& commandLine)
{
    if (!ValidName(name) || displayName.find_first_of("\r\n") != std::string::npos ||
        commandLine.find_first_of("\r\n") != std::string::npos || SplitCommandLine(commandLine).empty())
        return Fail(EINVAL);
    if (!EnsureDirectory())
        return Fail(ErrnoOr(EIO));
    std::string text = std::string("[") + kServiceSection + "]\n" + "Name=" + Quote(name) + "\n" +
                       "DisplayName=" + Quote(displayName.empty() ? name : displayName) + "\n" +
                       "CommandLine=" + Quote(commandLine) + "\n";
    if (!WriteFileAtomic(ServiceFile(name), text, true))
        return Fail(errno == EEXIST ? kScmErrorServiceExists : ErrnoOr(EIO));
    return Succeed();
}

bool DeleteService(const std::string& name)
{
    if (!ValidName(name))
        return Fail(EINVAL);
    if (!DeleteFile(ServiceFile(name)))
        return Fail(errno == ENOENT ? kScmErrorServiceDoesNotExist : ErrnoOr(EIO));
    DeleteFile(StatusFile(name));
    DeleteFile(ScmDirectory() + "/" + LowerName(name) + ".lock");
    return Succeed();
}

bool IsServiceInstalled(const std::string& name)
{
    if (!ValidName(name))
        return Fail(EINVAL);
    if (!FileExists(ServiceFile(name)))
        return Fail(kScmErrorServiceDoesNotExist);
    return Succeed();
}

std::string GetServiceCommand(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return std::string();
    return GetPrivateProfileString(kServiceSection, "CommandLine", "", ServiceFile(name), kMaxTextLength);
}

std::string GetServiceDisplayName(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return std::string();
    return GetPrivateProfileString(kServiceSection, "DisplayName", "", ServiceFile(name), kMaxTextLength);
}

bool StartService(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return false;
    std::string registered =
        GetPrivateProfileString(kServiceSection, "Name", name, ServiceFile(name), kMaxNameLength);
    std::vector<std::string> args = SplitCommandLine(GetServiceCommand(name));
    if (args.empty())
        return Fail(EINVAL);

    CServiceLock lock(name);
    if (StateOf(name) != ServiceState::Stopped)
        return Fail(kScmErrorServiceAlreadyRunning);

    std::string program = ResolveProgram(args[0]);
    if (program.empty())
        return Fail(ENOENT);

    // Everything the daemon needs is built before fork: after it only async-signal-safe calls run.
    char dirBuf[PATH_MAX];
    std::string dir = ::realpath(ScmDirectory().c_str(), dirBuf) != nullptr ? dirBuf : ScmDirectory();
    std::vector<std::string> envStore;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    {
        if (std::strncmp(*e, "QUILLBARN_SCM_SERVICE=", 22) == 0 ||
            std::strncmp(*e, "QUILLBARN_SCM_DIR=", 18) == 0)
            continue;
        envStore.emplace_back(*e);
    }
    envStore.push_back(std::string(kScmServiceEnv) + "=" + registered);
    envStore.push_back(std::string(kScmDirEnv) + "=" + dir);
    std::vector<char*> envp;
    for (std::string& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int pidPipe[2], goPipe[2], errPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0)
        return Fail(ErrnoOr(EIO));
    if (::pipe2(goPipe, O_CLOEXEC) != 0)
    {
        uint32_t err = ErrnoOr(EIO);
        ::close(pidPipe[0]);
        ::close(pidPipe[1]);
        return Fail(err);
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
    {
        uint32_t err = ErrnoOr(EIO);
        for (int fd : {pidPipe[0], pidPipe[1], goPipe[0], goPipe[1]})
            ::close(fd);
        return Fail(err);
    }

    pid_t child = ::fork();
    if (child == 0)
    {
        // Own session, then fork again so the daemon is no session leader and is adopted by init.
        ::setsid();
        pid_t daemon = ::fork();
        if (daemon < 0)
            ::_exit(1);
        if (daemon == 0)
            RunDaemon(goPipe[0], errPipe[1], program.c_str(), argv.data(), envp.data());
        ssize_t ignored = ::write(pidPipe[1], &daemon, sizeof daemon);
        (void)ignored;
        ::_exit(0);
    }
    int forkErr = errno;
    ::close(pidPipe[1]);
    ::close(goPipe[0]);
    ::close(errPipe[1]);
    if (child < 0)
    {
        for (int fd : {pidPipe[0], goPipe[1], errPipe[0]})
            ::close(fd);
        return Fail(static_cast<uint32_t>(forkErr));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    pid_t daemon = 0;
    bool havePid = ReadFull(pidPipe[0], &daemon, sizeof daemon) && daemon > 0;
    ::close(pidPipe[0]);

    // Record the process before it runs, so its own first report cannot be overwritten by this one.
    ProcessStatus st;
    st.pid = daemon;
    st.state = static_cast<uint32_t>(ServiceState::StartPending);
    st.startedMs = BootClockMs();
    bool recorded = havePid && ReadProcessStart(daemon, st.startTime) && WriteStatus(name, st);
    uint32_t err = recorded ? 0 : ErrnoOr(EAGAIN);
    char go = recorded ? 'g' : 'x';
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, &old); // the daemon may already be gone
    ssize_t ignored = ::write(goPipe[1], &go, 1);
    (void)ignored;
    sigaction(SIGPIPE, &old, nullptr);
    ::close(goPipe[1]);

    int execErr = 0;
    bool execFailed = ReadFull(errPipe[0], &execErr, sizeof execErr);
    ::close(errPipe[0]);
    if (!recorded)
        return Fail(err);
    if (execFailed)
    {
        DeleteFile(StatusFile(name));
        return Fail(static_cast<uint32_t>(execErr != 0 ? execErr : EIO));
    }
    return Succeed();
}

bool ControlServiceStop(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return false;
    ProcessStatus st;
    if (StateOf(name) == ServiceState::Stopped || !ReadStatus(name, st))
        return Fail(kScmErrorServiceNotActive);
    if (::kill(st.pid, SIGTERM) != 0)
        return Fail(errno == ESRCH ? kScmErrorServiceNotActive : ErrnoOr(EIO));
    return Succeed();
}

ServiceState QueryServiceState(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return ServiceState::Stopped;
    return StateOf(name);
}

pid_t GetServicePid(const std::string& name)
{
    if (!IsServiceInstalled(name))
        return 0;
    ProcessStatus st;
    if (!LiveProcess(name, st))
        return 0;
    return st.pid;
}

const char* ServiceStateName(ServiceState state)
{
    switch (state)
    {
    case ServiceState::Stopped:
        return "STOPPED";
    case ServiceState::StartPending:
        return "START_PENDING";
    case ServiceState::StopPending:
        return "STOP_PENDING";
    case ServiceState::Running:
        return "RUNNING";
    }
    return "UNKNOWN";
}

bool ParseServiceStateName(const std::string& text, ServiceState& state)
{
    for (uint32_t v = 1; v <= 4; ++v)
    {
        ServiceState s = static_cast<ServiceState>(v);
        if (strcasecmp(text.c_str(), ServiceStateName(s)) == 0 || text == std::to_string(v))
        {
            state = s;
            return true;
        }
    }
    return false;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine)
{
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false, quoted = false;
    for (size_t i = 0; i < commandLine.size(); ++i)
    {
        char c = commandLine[i];
        if (c == '\\' && i + 1 < commandLine.size() && commandLine[i + 1] == '"')
        {
            cur += '"';
            inArg = true;
            ++i;
        }
        else if (c == '"')
        {
            quoted = !quoted;
            inArg = true; // "" is an empty argument
        }
        else if ((c == ' ' || c == '\t') && !quoted)
        {
            if (inArg)
                args.push_back(cur);
            cur.clear();
            inArg = false;
        }
        else
        {
            cur += c;
            inArg = true;
        }
    }
    if (inArg)
        args.push_back(cur);
    return args;
}

namespace
{

// The registration the service-side calls act on. As for a service that owns its process, the
// name the program passes need not be the name it was registered under: a process the manager
// recorded for registration R (same pid and start time) runs as R whatever name it gives. Empty
// when this process was not started by the manager, as `name` or at all.
std::string RegistrationOfThisProcess(const std::string& name)
{
    const char* env = std::getenv(kScmServiceEnv);
    if (env == nullptr || !ValidName(name) || !ValidName(env))
        return std::string();
    if (strcasecmp(env, name.c_str()) == 0)
        return name;
    ProcessStatus st;
    if (LiveProcess(env, st) && st.pid == ::getpid())
        return env;
    return std::string();
}

bool StartedByManagerAs(const std::string& name)
{
    return !RegistrationOfThisProcess(name).empty();
}

} // namespace

bool StartServiceCtrlDispatcher(const std::string& name, void (*serviceMain)(int argc, char** argv))
{
    if (serviceMain == nullptr)
        return Fail(EINVAL);
    if (!StartedByManagerAs(name))
        return Fail(kScmErrorNotStartedByManager);
    BlockTerminationSignals();
    // Reporting at once tells the manager this is a service that reports, not a plain program.
    SetServiceStatus(name, ServiceState::StartPending);
    std::string arg0 = RegistrationOfThisProcess(name);
    try
    {
        std::thread t(
            [&]
            {
                char* argv[] = {arg0.data(), nullptr};
                serviceMain(1, argv);
            });
        t.join();
    }
    catch (...)
    {
        return Fail(EAGAIN);
    }
    return Succeed();
}

bool RegisterServiceCtrlHandler(const std::string& name, void (*handler)(uint32_t control))
{
    if (handler == nullptr)
        return Fail(EINVAL);
    if (!StartedByManagerAs(name))
        return Fail(kScmErrorNotStartedByManager);
    if (!StartTerminationSignalThread(
            [handler](int sig)
            {
                if (sig == SIGTERM || sig == SIGINT)
                    handler(SERVICE_CONTROL_STOP);
            }))
        return Fail(EAGAIN);
    return Succeed();
}

bool SetServiceStatus(const std::string& requested, ServiceState state)
{
    std::string name = RegistrationOfThisProcess(requested);
    if (name.empty())
        return Fail(kScmErrorNotStartedByManager);
    ProcessStatus st;
    st.pid = ::getpid();
    if (!ReadProcessStart(st.pid, st.startTime))
        return Fail(ErrnoOr(EIO));
    st.state = static_cast<uint32_t>(state);
    st.reported = true;
    ProcessStatus recorded;
    st.startedMs = ReadStatus(name, recorded) && recorded.pid == st.pid ? recorded.startedMs : BootClockMs();
    if (!WriteStatus(name, st))
        return Fail(ErrnoOr(EIO));
    return Succeed();
}

} // namespace platform
