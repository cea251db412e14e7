#include "platform/Signals.h"
#include "watchdog/DogServiceModule.h"

#include <string>

int main(int argc, char** argv)
{
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
