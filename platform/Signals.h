#pragma once

#include <functional>

namespace platform
{

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and ignores SIGPIPE (a write to a closed
// socket then fails with EPIPE instead of ending the process). Call it first thing in main(), before
// any thread exists: threads inherit the mask, and the termination signals must be blocked in every
// thread for the signal thread below to receive them.
void BlockTerminationSignals();

// Starts (once per process) a thread that waits for SIGTERM, SIGINT and SIGHUP and calls `onSignal`
// with the signal number on that thread. A later call replaces the callback. Also blocks the signals
// in the calling thread. False if the thread could not be started.
bool StartTerminationSignalThread(std::function<void(int sig)> onSignal);

} // namespace platform
