// A service for tests of the service manager:
//   scm_test_service NAME [STOP_DELAY_MS]
// Runs under the dispatcher as NAME, reports start pending then running, and on the stop control
// reports stop pending, waits STOP_DELAY_MS (default 0), reports stopped and exits 0.
// Exit 3 when the dispatcher refuses (not started by the manager as NAME).

#include "platform/ServiceManager.h"
#include "platform/Signals.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

using namespace platform;

namespace
{

std::string g_Name;
int g_StopDelayMs = 0;
std::mutex g_Lock;
std::condition_variable g_Cv;
bool g_Stop = false;

void Handler(uint32_t control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    SetServiceStatus(g_Name, ServiceState::StopPending);
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Stop = true;
    g_Cv.notify_all();
}

void ServiceMain(int, char**)
{
    SetServiceStatus(g_Name, ServiceState::StartPending);
    if (!RegisterServiceCtrlHandler(g_Name, Handler))
        std::exit(4);
    SetServiceStatus(g_Name, ServiceState::Running);
    std::unique_lock<std::mutex> lock(g_Lock);
    g_Cv.wait(lock, [] { return g_Stop; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_StopDelayMs));
    SetServiceStatus(g_Name, ServiceState::Stopped);
}

} // namespace

int main(int argc, char** argv)
{
    BlockTerminationSignals();
    if (argc < 2)
        return 2;
    g_Name = argv[1];
    if (argc > 2)
        g_StopDelayMs = std::atoi(argv[2]);
    if (!StartServiceCtrlDispatcher(g_Name, ServiceMain))
    {
        std::fprintf(stderr, "dispatcher refused: %u\n", ScmLastError());
        return 3;
    }
    return 0;
}
