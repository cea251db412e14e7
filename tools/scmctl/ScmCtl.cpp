// scmctl: manage services of the file-backed service manager from the command line.
//   scmctl create NAME COMMANDLINE [DISPLAYNAME]
//   scmctl delete NAME
//   scmctl start NAME
//   scmctl stop NAME
//   scmctl query NAME              prints the state; exit 1 when not installed
//   scmctl wait NAME STATE SECONDS exit 0 once the state is reached, 1 on time-out
// Exit codes: 0 success, 1 failure, 2 usage.

#include "platform/ServiceManager.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace platform;

namespace
{

int Usage()
{
    std::fprintf(stderr, "usage: scmctl create NAME COMMANDLINE [DISPLAYNAME]\n"
                         "       scmctl delete|start|stop|query NAME\n"
                         "       scmctl wait NAME STOPPED|START_PENDING|STOP_PENDING|RUNNING SECONDS\n");
    return 2;
}

int Failed(const char* what, const std::string& name)
{
    uint32_t err = ScmLastError();
    const char* text = nullptr;
    switch (err)
    {
    case kScmErrorServiceAlreadyRunning:
        text = "service already running";
        break;
    case kScmErrorServiceDoesNotExist:
        text = "service does not exist";
        break;
    case kScmErrorServiceNotActive:
        text = "service not running";
        break;
    case kScmErrorServiceExists:
        text = "service exists";
        break;
    default:
        text = std::strerror(static_cast<int>(err));
        break;
    }
    std::fprintf(stderr, "scmctl: %s %s: %s (%u)\n", what, name.c_str(), text, err);
    return 1;
}

const char HELP[] =
    "NAME\n"
    "    scmctl - drive the file-backed service manager\n"
    "SYNOPSIS\n"
    "    scmctl create NAME COMMANDLINE [DISPLAYNAME]\n"
    "    scmctl delete|start|stop|query NAME\n"
    "    scmctl wait NAME STOPPED|START_PENDING|STOP_PENDING|RUNNING SECONDS\n"
    "DESCRIPTION\n"
    "    Registers, removes, starts and stops the services the collector, its watchdog and the\n"
    "    install tree's database run as; query prints a service's state, wait waits for one.\n"
    "    Stop delivers the stop control (SIGTERM to the service's control handler).\n"
    "ENVIRONMENT\n"
    "    QUILLBARN_SCM_DIR   the service manager's directory (default /var/lib/quillbarn/scm)\n"
    "EXIT STATUS\n"
    "    0 on success, 1 on failure, 2 for a usage error.\n";
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h"))
    {
        std::fputs(HELP, stdout);
        return 0;
    }
    if (argc < 3)
        return Usage();
    std::string cmd = argv[1];
    std::string name = argv[2];
    if (cmd == "create")
    {
        if (argc < 4 || argc > 5)
            return Usage();
        return CreateService(name, argc == 5 ? argv[4] : name, argv[3]) ? 0 : Failed("create", name);
    }
    if (argc != 3 && cmd != "wait")
        return Usage();
    if (cmd == "delete")
        return DeleteService(name) ? 0 : Failed("delete", name);
    if (cmd == "start")
        return StartService(name) ? 0 : Failed("start", name);
    if (cmd == "stop")
        return ControlServiceStop(name) ? 0 : Failed("stop", name);
    if (cmd == "query")
    {
        ServiceState state = QueryServiceState(name);
        if (ScmLastError() != 0)
            return Failed("query", name);
        std::printf("%s\n", ServiceStateName(state));
        return 0;
    }
    if (cmd == "wait")
    {
        ServiceState want;
        char* end = nullptr;
        double seconds = argc == 5 ? std::strtod(argv[4], &end) : -1;
        if (argc != 5 || !ParseServiceStateName(argv[3], want) || end == argv[4] || *end != 0 || seconds < 0)
            return Usage();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;)
        {
            ServiceState state = QueryServiceState(name);
            if (ScmLastError() != 0)
                return Failed("wait", name);
            if (state == want)
                return 0;
            if (std::chrono::steady_clock::now() >= deadline)
            {
                std::fprintf(stderr, "scmctl: wait %s: still %s after %s s\n", name.c_str(),
                             ServiceStateName(state), argv[4]);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return Usage();
}
