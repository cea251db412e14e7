#pragma once
#include "platform/CrashSignals.h"

#include <cstdint>
#include <string>

// The crash report: a dump file for later analysis and a few program-log
// lines naming the exception and the resolved call stack. Runs from the
// crash filter, under the crash lock.
class CCrashHandler
{
public:
    // Installs the crash filter (nothing when a debugger is attached) and, in
    // test runs only, the deliberate crash the test hook asks for.
    static void Install();

    // The filter: crash lock, report, exit code 0xFFFFFFFF (255) unless a
    // debugger is attached.
    static void CrashFilter(const platform::CrashRecord& record);

    static uint32_t WriteCrashReport(const platform::CrashRecord* exceptionPointers);
    static void WriteMiniDump(const platform::CrashRecord* exceptionPointers);
    static const char* GetExceptionName(uint32_t code);
    static uint32_t WalkStack(const platform::CrashRecord* context, uintptr_t* addresses, uint32_t max);
    // "0x<address> <file>(<line>) : at <function> in <module>", the parts not
    // known left out. A return address is looked up at its call instruction.
    static std::string DescribeFrame(uintptr_t address, bool isReturnAddress = false);

    static constexpr uint32_t MAX_FRAMES = 64;
    static constexpr const char* DUMP_FILE_NAME = "Quillbarn.dmp";
    // Test runs only (QUILLBARN_TEST_TIME_DIVISOR also set): a worker thread
    // crashes shortly after start. Values: null, divzero, illegal, stack,
    // double (two threads at once).
    static constexpr const char* TEST_CRASH_ENV = "QUILLBARN_TEST_CRASH";
    // Longest time a report may take before the process is ended anyway (a
    // report stuck on a lock the crashed code held).
    static constexpr unsigned REPORT_TIME_LIMIT_S = 30;

private:
    static void StartTestCrash(const std::string& mode);
};
