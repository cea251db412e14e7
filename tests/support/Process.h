#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace qbtest
{
// Starts a program with extra environment entries ("NAME=value"); stdout and
// stderr go to outputPath when given. Returns the pid, or -1.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            const std::string& outputPath = std::string());
// Waits up to timeoutMs for the child; returns its exit code, 128+signal when
// killed, or -1 on time-out.
int WaitExit(pid_t pid, int timeoutMs);
// Runs to completion and returns the exit code (or -1 on time-out, after SIGKILL).
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               int timeoutMs = 30000, std::string* output = nullptr);
// A "<field>: N kB" line of /proc/<pid>/status (VmRSS, VmHWM, ...), in KiB; -1 when there is none.
long ProcessStatusKiB(pid_t pid, const char* field);
// A loopback TCP port that was free a moment ago.
int FreeTcpPort();
} // namespace qbtest
