#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform
{

// A service control manager kept in files. The directory comes from QUILLBARN_SCM_DIR (default
// /var/lib/quillbarn/scm) and is created on demand. Per service, under its lower-cased name:
// "<name>.service" (registration: name, display name, command line) and "<name>.status" (pid and
// start time of the running process, last reported state). Service names compare without regard
// to case. Every operation sets ScmLastError(): 0 on success, one of the codes below for a service
// condition, an errno value for a system failure.

enum class ServiceState : uint32_t
{
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4
};

constexpr uint32_t SERVICE_CONTROL_STOP = 1;

// Service conditions, numbered as the service manager this system was designed for numbers them.
constexpr uint32_t kScmErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kScmErrorServiceDoesNotExist = 1060;
constexpr uint32_t kScmErrorServiceNotActive = 1062;
constexpr uint32_t kScmErrorNotStartedByManager = 1063;
constexpr uint32_t kScmErrorServiceExists = 1073;

// Environment of a started service: its registered name and the manager's directory.
constexpr char kScmServiceEnv[] = "QUILLBARN_SCM_SERVICE";
constexpr char kScmDirEnv[] = "QUILLBARN_SCM_DIR";

uint32_t ScmLastError();
std::string ScmDirectory();

// --- manager side ---

// Registers the service. Fails with kScmErrorServiceExists when a service of this name (any case)
// is registered. Names are 1..256 characters without '/', control characters or a leading '.'.
bool CreateService(const std::string& name, const std::string& displayName, const std::string& commandLine);
// Removes the registration (a running process is left alone).
bool DeleteService(const std::string& name);
bool IsServiceInstalled(const std::string& name);
// The registered command line / display name; empty when not installed.
std::string GetServiceCommand(const std::string& name);
std::string GetServiceDisplayName(const std::string& name);

// Starts the registered command line (split by SplitCommandLine, no shell; a program without '/' is
// looked up in PATH) as a daemon: own session, cwd "/", standard streams on /dev/null, default signal
// handling, no inherited descriptors, QUILLBARN_SCM_SERVICE and QUILLBARN_SCM_DIR in its environment.
// Fails with kScmErrorServiceAlreadyRunning when its process still lives, with the errno of the
// failed exec (ENOENT, EACCES, ...) when the program cannot be run. Does not wait for the service
// to report anything.
bool StartService(const std::string& name);

// Sends SIGTERM to the service's process; kScmErrorServiceNotActive when it is not running.
bool ControlServiceStop(const std::string& name);

// The state the service last reported while its process lives. A live process that never reported
// is start pending during its first second and running after it (a plain program such as a database
// server never reports). Stopped when the process is gone, is a zombie, or its pid now
// belongs to another process. Not installed: Stopped with kScmErrorServiceDoesNotExist.
ServiceState QueryServiceState(const std::string& name);

// Pid of the live service process, 0 when it is not running.
pid_t GetServicePid(const std::string& name);

// "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING".
const char* ServiceStateName(ServiceState state);
// Accepts the names above in any case, or the numbers 1..4.
bool ParseServiceStateName(const std::string& text, ServiceState& state);

// Splits a command line at blanks; double quotes group (and are removed); \" is a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// --- service side (in the process the manager started) ---

// Succeeds only in a process the manager started: for `name` (QUILLBARN_SCM_SERVICE equal ignoring
// case), or under another registration whose recorded process is this very one (a program owns its
// process, so the name it passes need not be the one it was registered under, and the service-side
// calls below then act on that registration). Reports start pending, runs serviceMain(1, {registered
// name}) on a new thread and returns true when it has returned. Otherwise returns false at once with
// kScmErrorNotStartedByManager. Blocks the termination signals first.
bool StartServiceCtrlDispatcher(const std::string& name, void (*serviceMain)(int argc, char** argv));

// In a service process: SIGTERM and SIGINT call handler(SERVICE_CONTROL_STOP) on the signal thread.
bool RegisterServiceCtrlHandler(const std::string& name, void (*handler)(uint32_t control));

// In a service process: records `state` as reported by this process (atomic file replace).
bool SetServiceStatus(const std::string& name, ServiceState state);

} // namespace platform
