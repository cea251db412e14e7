#include "platform/Signals.h"

#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace platform
{

namespace
{

sigset_t TerminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

std::mutex g_SignalLock;
std::function<void(int)> g_OnSignal;
bool g_ThreadStarted = false;

void SignalThreadMain()
{
    sigset_t set = TerminationSet();
    for (;;)
    {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        std::function<void(int)> cb;
        {
            std::lock_guard<std::mutex> lock(g_SignalLock);
            cb = g_OnSignal;
        }
        if (cb)
        {
            try
            {
                cb(sig);
            }
            catch (...)
            {
                // A failing handler must not end the only thread that receives these signals.
            }
        }
    }
}

} // namespace

void BlockTerminationSignals()
{
    sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
}

bool StartTerminationSignalThread(std::function<void(int sig)> onSignal)
{
    BlockTerminationSignals();
    std::lock_guard<std::mutex> lock(g_SignalLock);
    g_OnSignal = std::move(onSignal);
    if (g_ThreadStarted)
        return true;
    try
    {
        std::thread(SignalThreadMain).detach();
    }
    catch (...)
    {
        return false;
    }
    g_ThreadStarted = true;
    return true;
}

} // namespace platform
