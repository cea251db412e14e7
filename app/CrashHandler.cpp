#include "app/CrashHandler.h"

#include "platform/Thread.h"
#include "platform/Tick.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace
{
const char* const TAG = "[Exception]";

struct ExceptionName
{
    uint32_t m_Code;
    const char* m_Name;
};

const ExceptionName EXCEPTION_NAMES[] = {
    {0xC0000005, "ACCESS_VIOLATION"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0x80000001, "GUARD_PAGE"},
    {0xC0000008, "INVALID_HANDLE"},
};

void OnReportTimeLimit(int)
{
    _exit(255);
}

// The deliberate faults of the test hook. Not inlined, so each has its own
// frame and line in the report.
__attribute__((noinline)) void CrashByNullPointer()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) int CrashByDivision()
{
    volatile int divisor = 0;
    return 100 / divisor;
}

__attribute__((noinline)) void CrashByIllegalInstruction()
{
    __builtin_trap();
}

__attribute__((noinline)) int CrashByRecursion(int depth)
{
    static volatile int s_Never = -1;
    if (depth == s_Never)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    // The addition after the call keeps it from becoming a loop.
    return CrashByRecursion(depth + 1) + frame[0];
}
} // namespace

const char* CCrashHandler::GetExceptionName(uint32_t code)
{
    for (const ExceptionName& entry : EXCEPTION_NAMES)
    {
        if (entry.m_Code == code)
            return entry.m_Name;
    }
    return "UNKNOWN_ERROR";
}

void CCrashHandler::WriteMiniDump(const platform::CrashRecord* exceptionPointers)
{
    if (exceptionPointers == nullptr)
        return;
    // Built without the heap, which the crash may have damaged.
    char path[4096];
    const std::string& dir = CGlobalSharedData::GetInstance()->GetDumpDir();
    if (dir.empty() || dir.size() + strlen(DUMP_FILE_NAME) + 2 > sizeof(path))
        return;
    memcpy(path, dir.data(), dir.size());
    path[dir.size()] = '/';
    strcpy(path + dir.size() + 1, DUMP_FILE_NAME);
    uintptr_t frames[MAX_FRAMES];
    uint32_t count = platform::CaptureCrashStack(*exceptionPointers, frames, MAX_FRAMES);
    platform::WriteCrashDumpFile(path, *exceptionPointers,
                                 GetExceptionName(exceptionPointers->m_ExceptionCode), frames, count);
}

uint32_t CCrashHandler::WalkStack(const platform::CrashRecord* context, uintptr_t* addresses, uint32_t max)
{
    if (context == nullptr)
        return 0;
    return platform::CaptureCrashStack(*context, addresses, max);
}

std::string CCrashHandler::DescribeFrame(uintptr_t address, bool isReturnAddress)
{
    platform::FrameInfo info;
    platform::ResolveAddress(address, isReturnAddress, info);
    char head[32];
    snprintf(head, sizeof(head), "0x%08lx ", static_cast<unsigned long>(address));
    std::string text = head;
    text += info.m_File;
    if (info.m_Line > 0)
        text += "(" + std::to_string(info.m_Line) + ") : ";
    text += "at ";
    text += info.m_Function;
    text += " in ";
    text += info.m_Module;
    return text;
}

uint32_t CCrashHandler::WriteCrashReport(const platform::CrashRecord* exceptionPointers)
{
    if (exceptionPointers == nullptr)
        return 1;
    WriteMiniDump(exceptionPointers);
    char line[64];
    snprintf(line, sizeof(line), "EXCEPTION code=%s", GetExceptionName(exceptionPointers->m_ExceptionCode));
    QB_LOG(PL_ERROR, TAG, "%s\n", line);

    uintptr_t frames[MAX_FRAMES];
    uint32_t count = WalkStack(exceptionPointers, frames, MAX_FRAMES);
    std::string block;
    std::vector<size_t> starts;
    try
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            starts.push_back(block.size());
            block += DescribeFrame(frames[i], i > 0);
            block += '\0';
        }
    }
    catch (...)
    {
        count = 0;
        starts.clear();
    }
    snprintf(line, sizeof(line), "BACKTRACE: %u stack frames:", count);
    QB_LOG(PL_ERROR, TAG, "%s\n", line);
    if (starts.size() != count)
        return 1;
    for (uint32_t i = 0; i < count; ++i)
        QB_LOG(PL_ERROR, TAG, " #%d %s\n", static_cast<int>(i), block.c_str() + starts[i]);
    return 1;
}

void CCrashHandler::CrashFilter(const platform::CrashRecord& record)
{
    // Crashes on several threads queue here; the first report ends the
    // process, so the others are never written over it.
    CCSLocker lock(CGlobalSharedData::GetInstance()->GetCrashLock());
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnReportTimeLimit;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(REPORT_TIME_LIMIT_S);
    WriteCrashReport(&record);
    if (!platform::IsDebuggerAttached())
        _exit(-1);
    alarm(0);
}

void CCrashHandler::Install()
{
    if (!platform::IsDebuggerAttached())
        platform::InstallCrashSignalHandlers(&CCrashHandler::CrashFilter);
    // Read once, at start; honoured only in test runs, so that a production
    // process never crashes on purpose.
    const char* mode = getenv(TEST_CRASH_ENV);
    if (mode && *mode && getenv("QUILLBARN_TEST_TIME_DIVISOR"))
        StartTestCrash(mode);
}

void CCrashHandler::StartTestCrash(const std::string& mode)
{
    auto waitForStart = []
    {
        // After the program log is up, so the report has somewhere to go.
        CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
        for (int i = 0; i < 1000 && !shared->IsInit(); ++i)
            platform::Sleep(10);
        platform::Sleep(300);
    };
    if (mode == "double")
    {
        static std::atomic<int> ready{0};
        for (int i = 0; i < 2; ++i)
            platform::CreateThread(
                [waitForStart]
                {
                    waitForStart();
                    ready.fetch_add(1);
                    while (ready.load() < 2)
                    {
                    }
                    CrashByNullPointer();
                    return 0u;
                });
        return;
    }
    platform::CreateThread(
        [waitForStart, mode]
        {
            waitForStart();
            if (mode == "null")
                CrashByNullPointer();
            else if (mode == "divzero")
                return static_cast<uint32_t>(CrashByDivision());
            else if (mode == "illegal")
                CrashByIllegalInstruction();
            else if (mode == "stack")
                return static_cast<uint32_t>(CrashByRecursion(0));
            return 0u;
        });
}
