#include "app/ServiceModule.h"
#include "platform/Memory.h"
#include "platform/Signals.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
const char HELP[] =
    "NAME\n"
    "    Quillbarn - log collector of a fleet of SSL VPN gateways\n"
    "SYNOPSIS\n"
    "    Quillbarn -Console | -Foreground | -Service | -RegServer | -UnregServer | -StopAll\n"
    "DESCRIPTION\n"
    "    Accepts the gateways' connections on the device port, validates every record and stores it\n"
    "    in the gateway's own MariaDB database; keeps those databases clean, repaired and summarised.\n"
    "    The install tree is InstallPath of HKLM\\Software\\Velmora\\SSL\\DC in the registry file,\n"
    "    else the directory two levels above the program. Its program log is Kelv/Log/LogFile_*.log.\n"
    "OPTIONS\n"
    "    -Console      run in the foreground and copy every log line to standard output;\n"
    "                  SIGINT and SIGTERM stop it in order\n"
    "    -Foreground   run in the foreground for systemd: no copy of the log lines; with NOTIFY_SOCKET\n"
    "                  it sends READY=1 once the device port listens, STATUS= lines, WATCHDOG=1 while\n"
    "                  every task responds (WATCHDOG_USEC) and STOPPING=1 when the orderly stop begins\n"
    "    -Service      register as service Quillbarn with the service manager (scmctl starts it)\n"
    "    -RegServer    write the registry entries only (and remove an installed service)\n"
    "    -UnregServer  remove the registry entries and the service\n"
    "    -StopAll      stop every collector running on this install tree in order\n"
    "    Without a switch, a program not started by the service manager exits at once with 0.\n"
    "ENVIRONMENT\n"
    "    QUILLBARN_REGISTRY   the file-backed registry (default /etc/quillbarn/registry.ini)\n"
    "    QUILLBARN_SCM_DIR    the file-backed service manager (default /var/lib/quillbarn/scm)\n"
    "    NOTIFY_SOCKET, WATCHDOG_USEC   set by systemd for -Foreground\n"
    "EXIT STATUS\n"
    "    0 after an orderly stop; 3 from -StopAll when no collector runs on the tree; 255 after a crash.\n";
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    {
        std::fputs(HELP, stdout);
        return 0;
    }
    // Before any thread exists, so that every thread inherits the mask and
    // termination signals reach only the thread that waits for them.
    platform::BlockTerminationSignals();
    // Receive rings (10 MiB each) come and go with connections: they are mapped and unmapped
    // directly, so that memory stays bounded by the connections that are open.
    platform::MapLargeBlocksDirectly();
    std::string commandLine = argv[0];
    for (int i = 1; i < argc; ++i)
    {
        commandLine += ' ';
        commandLine += argv[i];
    }
    return CServiceModule::GetInstance()->ProcessCommandLine(commandLine);
}
