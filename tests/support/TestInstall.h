#pragma once
#include <string>

namespace qbtest
{
// Creates (once per process) a temporary install tree with the shipped
// configuration, a registry file naming it, and a program log that writes
// every level; then initialises shared data, configuration and log.
// Intervals are divided by 1000 for the process (the test-only setting).
const std::string& InitTestInstall();
std::string ReadTodayLog();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Directory of the test executables (build/bin).
std::string BinDir();
} // namespace qbtest
