#include "app/CrashHandler.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/DebugOutput.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <syslog.h>
#include <unistd.h>

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

// The program log's line buffer; a longer line is cut to one byte less, as
// the log cuts it.
constexpr size_t LINE_SIZE = 2048;
constexpr uint32_t REPORT_LINES = CCrashHandler::MAX_FRAMES + 2;

// Prepared before any crash, read by the report.
std::atomic<int> g_DumpDirFd{-1};
std::atomic<int> g_LogDirFd{-1};
// Seconds east of UTC: local time without localtime_r, which locks.
std::atomic<long> g_UtcOffset{0};
// The crash lock: the thread writing the report, 0 when none is.
std::atomic<uint32_t> g_ReportingThread{0};

// Shared with the child processes of the report: their progress and the
// frame texts the symbol lookup child hands back.
struct SymbolPage
{
    std::atomic<uint32_t> m_Progress;
    std::atomic<uint32_t> m_Described; // frames 0 .. m_Described-1 have their text
    char m_Text[CCrashHandler::MAX_FRAMES][LINE_SIZE];
};
std::atomic<SymbolPage*> g_pSymbols{nullptr};

// The report's lines again, for a debug output to syslog, which is written
// from a child process (syslog allocates).
char g_SyslogLines[REPORT_LINES][LINE_SIZE];
uint32_t g_SyslogLineCount = 0;

// Text in a fixed buffer, without the heap; what does not fit is cut off.
class CSafeText
{
public:
    CSafeText(char* buf, size_t size) : m_pBuf(buf), m_Size(size) { m_pBuf[0] = '\0'; }
    CSafeText& Str(const char* text)
    {
        while (text && *text)
            Char(*text++);
        return *this;
    }
    CSafeText& Char(char c)
    {
        if (m_Len + 1 < m_Size)
        {
            m_pBuf[m_Len++] = c;
            m_pBuf[m_Len] = '\0';
        }
        return *this;
    }
    CSafeText& Dec(uint64_t value, int minDigits = 1) { return Digits(value, 10, minDigits); }
    CSafeText& Hex(uint64_t value, int minDigits) { return Digits(value, 16, minDigits); }
    const char* Text() const { return m_pBuf; }
    size_t Length() const { return m_Len; }

private:
    CSafeText& Digits(uint64_t value, unsigned base, int minDigits)
    {
        char tmp[24];
        int n = 0;
        do
        {
            tmp[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        for (int i = n; i < minDigits; ++i)
            Char('0');
        while (n > 0)
            Char(tmp[--n]);
        return *this;
    }

    char* m_pBuf;
    size_t m_Size;
    size_t m_Len = 0;
};

struct SafeLocalTime
{
    int m_Year, m_Month, m_Day, m_Hour, m_Minute, m_Second;
};

// The wall clock in local time, from the offset read at start.
SafeLocalTime SafeLocalNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long long t = static_cast<long long>(now.tv_sec) + g_UtcOffset.load();
    long long days = t / 86400, seconds = t % 86400;
    if (seconds < 0)
    {
        seconds += 86400;
        --days;
    }
    // Civil date of a day count from 1970-01-01 (Gregorian calendar, eras of
    // 400 years counted from 0000-03-01).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long dayOfEra = z - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    SafeLocalTime local;
    local.m_Day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    local.m_Month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    local.m_Year = static_cast<int>(yearOfEra + era * 400 + (local.m_Month <= 2 ? 1 : 0));
    local.m_Hour = static_cast<int>(seconds / 3600);
    local.m_Minute = static_cast<int>(seconds / 60 % 60);
    local.m_Second = static_cast<int>(seconds % 60);
    return local;
}

void RefreshUtcOffset()
{
    time_t now = time(nullptr);
    struct tm local = {};
    if (localtime_r(&now, &local) != nullptr)
        g_UtcOffset = local.tm_gmtoff;
}

bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0)
    {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int OpenDirectory(const std::string& dir)
{
    return dir.empty() ? -1 : open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Keeps the first descriptor made for a directory.
void PublishDirFd(std::atomic<int>& slot, int fd)
{
    int expected = -1;
    if (fd >= 0 && !slot.compare_exchange_strong(expected, fd))
        close(fd);
}

// A file of the report in the dump or the log directory: through the
// directory prepared at start, else (the crash came first, or the directory
// was replaced since) through its path.
int OpenReportFile(const std::atomic<int>& dirSlot, bool logDir, const char* name, int flags)
{
    int dir = dirSlot.load();
    int fd = dir >= 0 ? platform::OpenCrashFile(dir, name, flags) : -1;
    if (fd >= 0)
        return fd;
    // The directories are set once, before the shared data says it is ready.
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (!shared->IsInit())
        return -1;
    dir = OpenDirectory(logDir ? shared->GetLogDir() : shared->GetDumpDir());
    if (dir < 0)
        return -1;
    fd = platform::OpenCrashFile(dir, name, flags);
    close(dir);
    return fd;
}

// The report's lines, shaped and sent where the program log sends an ERROR
// line, without its locks or its formatting: to the day's file, the console
// and the debug output.
class CReportLog
{
public:
    explicit CReportLog(uint32_t threadId) : m_ThreadId(threadId)
    {
        CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
        if (!log->WouldLog(PL_ERROR))
            return;
        const ProgramLogConfig& cfg = log->Settings();
        m_bFile = log->IsInit() && cfg.m_TxtLogEnable != 0 &&
                  (static_cast<uint32_t>(cfg.m_LogLevel) & PL_ERROR) != 0;
        m_bConsole = log->IsConsoleMode() && log->IsInit();
        m_DebugSink = platform::GetDebugOutputSink();
        g_SyslogLineCount = 0;
    }
    CReportLog(const CReportLog&) = delete;
    CReportLog& operator=(const CReportLog&) = delete;
    ~CReportLog()
    {
        if (m_Fd >= 0)
            close(m_Fd);
    }

    // A new line with its head; the caller adds the message, then Emit.
    CSafeText& Begin()
    {
        m_Line = CSafeText(m_Buf, LINE_SIZE);
        m_Now = SafeLocalNow();
        m_Line.Char('[').Dec(static_cast<uint64_t>(m_Now.m_Year)).Char('-').Dec(m_Now.m_Month, 2).Char('-');
        m_Line.Dec(m_Now.m_Day, 2).Char(' ').Dec(m_Now.m_Hour, 2).Char(':').Dec(m_Now.m_Minute, 2).Char(':');
        m_Line.Dec(m_Now.m_Second, 2)
            .Str("][Quillbarn][PID=")
            .Dec(static_cast<uint64_t>(getpid()), 4)
            .Char(']');
        m_Line.Str(CProgramLogRecorder::LevelText(PL_ERROR))
            .Str("[TID=")
            .Dec(m_ThreadId, 4)
            .Char(']')
            .Str(TAG);
        return m_Line;
    }

    void Emit()
    {
        if (m_bFile && m_Fd < 0 && !m_bFileFailed)
            OpenTodayFile();
        if (m_Fd >= 0)
            WriteAll(m_Fd, m_Line.Text(), m_Line.Length());
        if (m_DebugSink == platform::DebugOutputSink::Stderr)
            WriteAll(STDERR_FILENO, m_Line.Text(), m_Line.Length());
        else if (m_DebugSink == platform::DebugOutputSink::Syslog && g_SyslogLineCount < REPORT_LINES)
            memcpy(g_SyslogLines[g_SyslogLineCount++], m_Line.Text(), m_Line.Length() + 1);
        if (m_bConsole)
            WriteAll(STDOUT_FILENO, m_Line.Text(), m_Line.Length());
    }

private:
    void OpenTodayFile()
    {
        char name[64];
        CSafeText text(name, sizeof(name));
        text.Str("LogFile_").Dec(static_cast<uint64_t>(m_Now.m_Year), 4).Char('_').Dec(m_Now.m_Month, 2);
        text.Char('_').Dec(m_Now.m_Day, 2).Str(".log");
        m_Fd = OpenReportFile(g_LogDirFd, true, name, O_WRONLY | O_CREAT | O_APPEND);
        m_bFileFailed = m_Fd < 0;
    }

    uint32_t m_ThreadId;
    bool m_bFile = false, m_bFileFailed = false, m_bConsole = false;
    platform::DebugOutputSink m_DebugSink = platform::DebugOutputSink::Off;
    int m_Fd = -1;
    char m_Buf[LINE_SIZE];
    CSafeText m_Line{m_Buf, LINE_SIZE};
    SafeLocalTime m_Now{};
};

struct SymbolJob
{
    const uintptr_t* m_pFrames;
    uint32_t m_Count;
    SymbolPage* m_pPage;
};

// In the child: the symbol lookup allocates and locks, which the crashed
// process cannot risk.
void DescribeFramesInChild(void* arg)
{
    const SymbolJob* job = static_cast<const SymbolJob*>(arg);
    try
    {
        for (uint32_t i = 0; i < job->m_Count; ++i)
        {
            std::string text = CCrashHandler::DescribeFrame(job->m_pFrames[i], i > 0);
            size_t length = std::min(text.size(), LINE_SIZE - 1);
            memcpy(job->m_pPage->m_Text[i], text.data(), length);
            job->m_pPage->m_Text[i][length] = '\0';
            job->m_pPage->m_Described.store(i + 1);
            job->m_pPage->m_Progress.fetch_add(1);
        }
    }
    catch (...)
    {
    }
}

// The frames the child described, in order from frame 0.
uint32_t DescribeFrames(const uintptr_t* frames, uint32_t count)
{
    SymbolPage* page = g_pSymbols.load();
    if (page == nullptr || count == 0)
        return 0;
    page->m_Progress = 0;
    page->m_Described = 0;
    SymbolJob job{frames, count, page};
    platform::RunCrashChild(&DescribeFramesInChild, &job, &page->m_Progress,
                            CCrashHandler::SYMBOLS_STALL_LIMIT_MS, CCrashHandler::SYMBOLS_TIME_LIMIT_MS);
    return std::min(page->m_Described.load(), count);
}

// A frame the child did not describe: its address and module, found with
// system calls alone.
void AppendRawFrame(CSafeText& text, uintptr_t address, bool isReturnAddress)
{
    char module[256];
    if (!platform::FindModuleName(isReturnAddress && address > 0 ? address - 1 : address, module,
                                  sizeof(module)))
        module[0] = '\0';
    text.Str("0x").Hex(address, 8).Str(" at  in ").Str(module);
}

void ReplayToSyslog(void*)
{
    SymbolPage* page = g_pSymbols.load();
    for (uint32_t i = 0; i < g_SyslogLineCount; ++i)
    {
        syslog(LOG_USER | LOG_DEBUG, "%s", g_SyslogLines[i]);
        if (page)
            page->m_Progress.fetch_add(1);
    }
}

void WriteDump(const platform::CrashRecord& record, const uintptr_t* frames, uint32_t count)
{
    int fd = OpenReportFile(g_DumpDirFd, false, CCrashHandler::DUMP_FILE_NAME, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return;
    platform::WriteCrashDump(fd, record, CCrashHandler::GetExceptionName(record.m_ExceptionCode), frames,
                             count);
    close(fd);
}

// What the report needs that a signal handler cannot make: the memory the
// children hand their results back in, the UTC offset and, once the main
// thread has set up the shared data, its dump and log directories.
void PrepareReport()
{
    RefreshUtcOffset();
    if (g_pSymbols.load() == nullptr)
    {
        if (void* memory = platform::AllocCrashSharedMemory(sizeof(SymbolPage)))
            g_pSymbols = new (memory) SymbolPage();
    }
    platform::CreateThread(
        []
        {
            CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
            platform::CEvent* exitEvent = shared->GetExitEvent();
            while (!shared->IsInit())
            {
                if (platform::WaitForSingleObject(exitEvent, 10) == platform::WAIT_OBJECT_0)
                    return 0u;
            }
            PublishDirFd(g_DumpDirFd, OpenDirectory(shared->GetDumpDir()));
            PublishDirFd(g_LogDirFd, OpenDirectory(shared->GetLogDir()));
            // Local time moves against UTC where daylight saving is kept.
            while (platform::WaitForSingleObject(exitEvent, CCrashHandler::UTC_OFFSET_REFRESH_MS) ==
                   platform::WAIT_TIMEOUT)
                RefreshUtcOffset();
            return 0u;
        });
}

void OnReportTimeLimit(int)
{
    _exit(255);
}

// The deliberate faults of the test hook. Not inlined, so each has its own
// frame and line in the report.
// Two threads fault here at once in the "double" mode: the store is the fault itself, not shared data,
// so the thread sanitizer leaves it out.
__attribute__((noinline, no_sanitize("thread"))) void CrashByNullPointer()
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

// malloc_stats() writes to stderr while it holds an arena's lock; made a
// stream whose writing faults, stderr takes the fault inside the lock.
__attribute__((noinline)) ssize_t CrashingStreamWrite(void*, const char*, size_t)
{
    CrashByNullPointer();
    return 0;
}

__attribute__((noinline)) void CrashInsideAllocatorLock()
{
    cookie_io_functions_t io{};
    io.write = CrashingStreamWrite;
    FILE* stream = fopencookie(nullptr, "w", io);
    if (stream == nullptr)
        return;
    setvbuf(stream, nullptr, _IONBF, 0);
    stderr = stream;
    malloc_stats();
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
    uintptr_t frames[MAX_FRAMES];
    uint32_t count = platform::CaptureCrashStack(*exceptionPointers, frames, MAX_FRAMES);
    WriteDump(*exceptionPointers, frames, count);
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
    uintptr_t frames[MAX_FRAMES];
    uint32_t count = WalkStack(exceptionPointers, frames, MAX_FRAMES);
    // The raw frames reach the disk first, in the dump, whatever the rest
    // comes to.
    WriteDump(*exceptionPointers, frames, count);

    CReportLog log(exceptionPointers->m_ThreadId);
    log.Begin().Str("EXCEPTION code=").Str(GetExceptionName(exceptionPointers->m_ExceptionCode)).Char('\n');
    log.Emit();
    log.Begin().Str("BACKTRACE: ").Dec(count).Str(" stack frames:\n");
    log.Emit();
    uint32_t described = DescribeFrames(frames, count);
    SymbolPage* page = g_pSymbols.load();
    for (uint32_t i = 0; i < count; ++i)
    {
        CSafeText& line = log.Begin().Str(" #").Dec(i).Char(' ');
        if (i < described)
            line.Str(page->m_Text[i]);
        else
            AppendRawFrame(line, frames[i], i > 0);
        line.Char('\n');
        log.Emit();
    }
    if (g_SyslogLineCount > 0 && page != nullptr)
    {
        page->m_Progress = 0;
        platform::RunCrashChild(&ReplayToSyslog, nullptr, &page->m_Progress, SYMBOLS_STALL_LIMIT_MS,
                                SYMBOLS_TIME_LIMIT_MS);
    }
    return 1;
}

void CCrashHandler::CrashFilter(const platform::CrashRecord& record)
{
    // The crash lock. Crashes on several threads queue here; the first
    // report ends the process, so the others are never written over it. An
    // atomic: a signal handler cannot wait on a mutex.
    uint32_t self = record.m_ThreadId != 0 ? record.m_ThreadId : 1;
    uint32_t idle = 0;
    while (!g_ReportingThread.compare_exchange_weak(idle, self))
    {
        idle = 0;
        struct timespec pause = {0, 10L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnReportTimeLimit;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(REPORT_TIME_LIMIT_S);
    WriteCrashReport(&record);
    if (!platform::IsDebuggerAttached())
        _exit(-1);
    alarm(0);
    g_ReportingThread = 0;
}

void CCrashHandler::Install()
{
    if (!platform::IsDebuggerAttached())
    {
        PrepareReport();
        platform::InstallCrashSignalHandlers(&CCrashHandler::CrashFilter);
    }
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
    if (mode == "locks")
    {
        static std::atomic<int> ready{0};
        // The program log's locks, held for good.
        platform::CreateThread(
            [waitForStart]
            {
                waitForStart();
                CProgramLogRecorder::GetInstance()->LockAll();
                ready.fetch_add(1);
                for (;;)
                    platform::Sleep(1000);
                return 0u;
            });
        // An allocator kept busy (sizes past the per-thread cache take its lock).
        platform::CreateThread(
            [waitForStart]
            {
                waitForStart();
                ready.fetch_add(1);
                static std::atomic<uintptr_t> s_Last{0};
                for (size_t n = 0;; ++n)
                {
                    void* block = malloc(2048 + n % 64 * 1024);
                    s_Last.store(reinterpret_cast<uintptr_t>(block), std::memory_order_relaxed);
                    free(block);
                }
                return 0u;
            });
        platform::CreateThread(
            [waitForStart]
            {
                waitForStart();
                while (ready.load() < 2)
                    platform::Sleep(1);
                platform::Sleep(50);
                static const char MARK[] = "faulting inside the allocator's lock\n";
                (void)!write(STDERR_FILENO, MARK, sizeof(MARK) - 1);
                CrashInsideAllocatorLock();
                return 0u;
            });
        return;
    }
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
