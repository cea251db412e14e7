#include "app/ServiceModule.h"
#include "platform/Memory.h"
#include "platform/Signals.h"

#include <string>

int main(int argc, char** argv)
{
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
