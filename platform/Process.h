#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform
{

// Stands in for the process snapshot and process termination of the original platform: /proc is
// read once per snapshot, and a process is named after the base name of its executable.

struct ProcessEntry
{
    pid_t m_Pid = 0;
    // Base name of the executable ("Quillbarn"); for a process whose executable link cannot be read
    // (another user's, a kernel thread), the base name of its first argument, else the kernel's name.
    std::string m_Name;
    // Full path of the executable; empty when it cannot be read. A deleted executable keeps its path
    // without the " (deleted)" mark.
    std::string m_ExePath;
};

// Every live process (zombies left out), in ascending pid order. False with errno when /proc cannot
// be read.
bool SnapshotProcesses(std::vector<ProcessEntry>& processes);

// Forced termination: SIGKILL. The exit code of the original call cannot be given on Linux; the
// process ends by the signal. False with errno (ESRCH, EPERM) when the signal cannot be sent.
bool TerminateProcess(pid_t pid);

// True while the process exists and is not a zombie.
bool IsProcessAlive(pid_t pid);

} // namespace platform
