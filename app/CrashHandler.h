#pragma once
#include "platform/CrashSignals.h"

#include <cstdint>
#include <string>

// The crash report: a dump file for later analysis and a few program-log
// lines naming the exception and the resolved call stack. Runs from the
// crash filter, under the crash lock, in the signal handler of the faulting
// thread: whatever that thread or another one held (the allocator, the log's
// lock) stays held, so the report makes do with what Install prepared and
// with system calls. Symbols are looked up in a child process.
class CCrashHandler
{
public:
    // Installs the crash filter (nothing when a debugger is attached), prepares
    // what the report needs and, in test runs only, starts the deliberate
    // crash the test hook asks for.
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
    // double (two threads at once), locks (a fault inside the allocator's lock
    // while another thread holds the program log's locks and a third
    // allocates; it says "faulting inside the allocator's lock" on stderr
    // first).
    static constexpr const char* TEST_CRASH_ENV = "QUILLBARN_TEST_CRASH";
    // Longest time a report may take before the process is ended anyway.
    static constexpr unsigned REPORT_TIME_LIMIT_S = 30;
    // The symbol lookup child is given up when it makes no progress for this
    // long (stuck on a lock it inherited: a crash inside the allocator), or
    // after the total; the frames it did not describe are written with their
    // module only.
    static constexpr uint32_t SYMBOLS_STALL_LIMIT_MS = 5000;
    static constexpr uint32_t SYMBOLS_TIME_LIMIT_MS = 20000;
    // How often the UTC offset of local time is read again (daylight saving).
    static constexpr uint32_t UTC_OFFSET_REFRESH_MS = 60000;

private:
    static void StartTestCrash(const std::string& mode);
};
