#include "platform/Signals.h"
#include "watchdog/DogServiceModule.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
const char HELP[] =
    "NAME\n"
    "    QuillbarnService - watchdog service that keeps the collector alive\n"
    "SYNOPSIS\n"
    "    QuillbarnService -Service | -RegServer | -UnregServer\n"
    "DESCRIPTION\n"
    "    Run by the service manager as KELVDog: checks the collector's service KELV every second,\n"
    "    probes its device port from 127.0.0.1 about every 101 s, kills and restarts a collector that\n"
    "    does not answer, restarts it once in the Sunday 04:00-04:04 window, and turns log merging off\n"
    "    after ten starts within ten minutes. quillbarn-provision install-services sets both up.\n"
    "OPTIONS\n"
    "    -Service      register as the watchdog service with the service manager\n"
    "    -RegServer    write the registry entries only\n"
    "    -UnregServer  stop and remove the watchdog service\n"
    "ENVIRONMENT\n"
    "    QUILLBARN_REGISTRY   the file-backed registry (default /etc/quillbarn/registry.ini)\n"
    "    QUILLBARN_SCM_DIR    the file-backed service manager (default /var/lib/quillbarn/scm)\n"
    "    QUILLBARN_DEBUG_OUTPUT   stderr or syslog: where its messages go\n";
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    {
        std::fputs(HELP, stdout);
        return 0;
    }
    // Before any thread exists, so that termination signals reach only the thread that waits for them.
    platform::BlockTerminationSignals();
    std::string commandLine = argv[0];
    for (int i = 1; i < argc; ++i)
    {
        commandLine += ' ';
        commandLine += argv[i];
    }
    return CDogServiceModule::GetInstance()->ProcessCommandLine(commandLine);
}
