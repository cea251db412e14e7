// The crash report of the real collector: a worker thread faults on purpose
// (the test-only hook), and the log lines, the dump file and the exit code
// are checked. Also frame descriptions of this very process.
#include "app/CrashHandler.h"
#include "support/InstallTree.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <memory>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// In an AddressSanitizer build the sanitizer's own fault handlers would take the crash first; the
// collector's handler is what these tests check. The deliberate faults are undefined behaviour the
// other sanitizer reports on the console, not as a finding of the run (both ignored by other builds).
const char* const kSanitizerLeavesSignals =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
    "allow_user_segv_handler=1:detect_leaks=0";
const char* const kSanitizerReportsOnConsole = "UBSAN_OPTIONS=log_path=stderr";

class CrashReport : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // No registry file names the tree: the collector finds it two levels above its executable.
        m_Tree = std::make_unique<qbtest::CInstallTree>(
            qbtest::SInstallTreeOptions()
                .Stem("qb_crash")
                .Dirs({"bin", "Kelv/Config", "Kelv/Log", "Kelv/Temp", "Kelv/Dump", "mysql"}));
        m_Dir = m_Tree->Dir();
        m_Tree->WriteProgramLog(31, false, 1024, 30);
        m_Exe = m_Tree->InstallProgram(qbtest::BinDir() + "/Quillbarn", "Quillbarn");
        ASSERT_FALSE(m_Exe.empty());
        m_Dump = m_Dir + "/Kelv/Dump/Quillbarn.dmp";
    }
    void TearDown() override
    {
        if (m_Pid > 0)
        {
            kill(m_Pid, SIGKILL);
            qbtest::WaitExit(m_Pid, 5000);
        }
        m_Tree.reset();
    }
    // Runs the collector with the given deliberate crash; returns its exit code.
    int RunCrash(const std::string& mode)
    {
        std::vector<std::string> env = m_Tree->Env();
        env.insert(env.end(), {"QUILLBARN_TEST_TIME_DIVISOR=1", "QUILLBARN_TEST_CRASH=" + mode,
                               kSanitizerLeavesSignals, kSanitizerReportsOnConsole});
        m_Pid = qbtest::Spawn({m_Exe, "-Console"}, env, m_Dir + "/console.out");
        int code = qbtest::WaitExit(m_Pid, 60000);
        if (code != -1)
            m_Pid = -1; // otherwise TearDown kills it
        return code;
    }
    std::string Log() { return m_Tree->ReadLogs(); }
    // The report's lines from the log, without the line heads.
    std::vector<std::string> ReportLines()
    {
        std::vector<std::string> lines;
        std::istringstream in(Log());
        std::string line;
        while (std::getline(in, line))
        {
            size_t at = line.find("[ERROR]");
            size_t tag = line.find("[Exception]");
            if (at != std::string::npos && tag != std::string::npos)
                lines.push_back(line.substr(tag + 11));
        }
        return lines;
    }
    // Checks the shape of one report: exception line, frame count, one line
    // per frame; returns the frame lines.
    std::vector<std::string> CheckReport(const std::string& name)
    {
        std::vector<std::string> lines = ReportLines();
        EXPECT_GE(lines.size(), 3u) << Log();
        if (lines.size() < 2)
            return {};
        EXPECT_EQ(lines[0], "EXCEPTION code=" + name);
        std::smatch m;
        std::regex countLine("BACKTRACE: ([0-9]+) stack frames:");
        EXPECT_TRUE(std::regex_match(lines[1], m, countLine)) << lines[1];
        if (m.empty())
            return {};
        unsigned count = static_cast<unsigned>(std::stoul(m[1]));
        EXPECT_GE(count, 1u);
        EXPECT_LE(count, 64u);
        EXPECT_EQ(lines.size(), count + 2) << "one line per frame, nothing else\n" << Log();
        std::vector<std::string> frames(lines.begin() + 2, lines.end());
        std::regex frameLine(" #([0-9]+) 0x[0-9a-f]{8,} (.*)at (.*) in (.*)");
        for (size_t i = 0; i < frames.size(); ++i)
        {
            EXPECT_TRUE(std::regex_match(frames[i], m, frameLine)) << frames[i];
            if (!m.empty())
            {
                EXPECT_EQ(m[1].str(), std::to_string(i));
            }
        }
        return frames;
    }
    std::string Dump() { return qbtest::ReadFile(m_Dump); }

    std::unique_ptr<qbtest::CInstallTree> m_Tree;
    std::string m_Dir, m_Exe, m_Dump;
    pid_t m_Pid = -1;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}
} // namespace

TEST_F(CrashReport, NullPointerOnAWorkerThread)
{
    qbtest::WriteFile(m_Dump, "stale dump of an earlier crash\n");
    ASSERT_EQ(RunCrash("null"), 255);
    std::vector<std::string> frames = CheckReport("ACCESS_VIOLATION");
    ASSERT_GE(frames.size(), 2u);
    // The first frame is the faulting function, resolved to its source line.
    EXPECT_TRUE(std::regex_search(frames[0], std::regex(R"(/app/CrashHandler\.cpp\([0-9]+\) : at )")))
        << frames[0];
    EXPECT_TRUE(Contains(frames[0], "CrashByNullPointer()")) << frames[0];
    EXPECT_TRUE(Contains(frames[0], " in Quillbarn")) << frames[0];
    // The thread's entry lies further out.
    bool sawThreadBody = false;
    for (const std::string& f : frames)
        sawThreadBody = sawThreadBody || Contains(f, "platform::CreateThread(");
    EXPECT_TRUE(sawThreadBody);

    std::string dump = Dump();
    EXPECT_EQ(dump.rfind("QUILLBARN CRASH DUMP 1\n", 0), 0u) << "replaced, not appended to";
    EXPECT_TRUE(Contains(dump, "exception=ACCESS_VIOLATION code=0xc0000005 signal=11 "));
    EXPECT_TRUE(Contains(dump, " address=0x0\n")) << "the faulting address";
    EXPECT_TRUE(Contains(dump, "== memory map ==\n"));
    EXPECT_TRUE(Contains(dump, m_Exe + "\n")) << "the executable's mapping";
    EXPECT_TRUE(Contains(dump, "\n== end ==\n"));
    // The instruction pointer is frame 0 of the log and lies in the dumped map.
    std::smatch rip, frame0;
    ASSERT_TRUE(std::regex_search(dump, rip, std::regex("\nrip=0x([0-9a-f]{16})\n")));
    ASSERT_TRUE(std::regex_search(frames[0], frame0, std::regex(" #0 0x([0-9a-f]+) ")));
    EXPECT_EQ(std::stoull(rip[1], nullptr, 16), std::stoull(frame0[1], nullptr, 16));
    // The stack bytes start at the stack pointer's neighbourhood.
    std::smatch rsp, stack;
    ASSERT_TRUE(std::regex_search(dump, rsp, std::regex("\nrsp=0x([0-9a-f]{16})\n")));
    ASSERT_TRUE(
        std::regex_search(dump, stack, std::regex("\n== stack 0x([0-9a-f]{16}) 0x([0-9a-f]{16}) ==\n")));
    unsigned long long sp = std::stoull(rsp[1], nullptr, 16), from = std::stoull(stack[1], nullptr, 16),
                       to = std::stoull(stack[2], nullptr, 16);
    EXPECT_LE(from, sp);
    EXPECT_GT(to, sp);
    EXPECT_LE(to - from, 64u * 1024 + 16);
    EXPECT_TRUE(Contains(dump, "\n0x" + stack[1].str() + ": "));
}

TEST_F(CrashReport, DivisionByZeroIllegalInstructionAndStackOverflow)
{
    ASSERT_EQ(RunCrash("divzero"), 255);
    std::vector<std::string> frames = CheckReport("INT_DIVIDE_BY_ZERO");
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(Contains(frames[0], "CrashByDivision()")) << frames[0];
    EXPECT_TRUE(Contains(Dump(), "exception=INT_DIVIDE_BY_ZERO code=0xc0000094 signal=8 "));

    platform::DeleteFile(m_Dir + "/Kelv/Log/" +
                         platform::ListDirectory(m_Dir + "/Kelv/Log", "*.log", true).at(0));
    ASSERT_EQ(RunCrash("illegal"), 255);
    frames = CheckReport("ILLEGAL_INSTRUCTION");
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(Contains(frames[0], "CrashByIllegalInstruction()")) << frames[0];

    platform::DeleteFile(m_Dir + "/Kelv/Log/" +
                         platform::ListDirectory(m_Dir + "/Kelv/Log", "*.log", true).at(0));
    ASSERT_EQ(RunCrash("stack"), 255) << "reported from the alternate stack";
    frames = CheckReport("STACK_OVERFLOW");
    ASSERT_EQ(frames.size(), 64u) << "deep recursion: the walk stops at 64 frames";
    for (const std::string& f : frames)
        EXPECT_TRUE(Contains(f, "CrashByRecursion(int)")) << f;
    std::string dump = Dump();
    EXPECT_TRUE(Contains(dump, "exception=STACK_OVERFLOW code=0xc00000fd signal=11 "));
    EXPECT_TRUE(Contains(dump, "\n== end ==\n")) << "the stack dump avoided the guard page";
}

TEST_F(CrashReport, TwoThreadsCrashingTogetherGiveOneWholeReport)
{
    // The crash lock queues the second thread behind the first report, and
    // the first report ends the process: one complete report, never two
    // mixed together.
    for (int run = 0; run < 3; ++run)
    {
        for (const std::string& f : platform::ListDirectory(m_Dir + "/Kelv/Log", "*.log", true))
            platform::DeleteFile(m_Dir + "/Kelv/Log/" + f);
        ASSERT_EQ(RunCrash("double"), 255);
        std::vector<std::string> frames = CheckReport("ACCESS_VIOLATION");
        ASSERT_FALSE(frames.empty());
        EXPECT_TRUE(Contains(frames[0], "CrashByNullPointer()"));
        size_t first = Log().find("EXCEPTION code=");
        EXPECT_EQ(Log().find("EXCEPTION code=", first + 1), std::string::npos) << Log();
    }
}

TEST_F(CrashReport, FaultInsideTheAllocatorWhileTheLogIsLockedIsReportedAtOnce)
{
    // One thread holds the program log's locks, one allocates without pause,
    // and the third faults inside the allocator's lock. With one arena, any
    // allocation of the report would wait for the dead thread for good; a
    // lock of the log would too. Local time five and a half hours east of UTC.
    std::vector<std::string> env = m_Tree->Env();
    env.insert(env.end(),
               {"QUILLBARN_TEST_TIME_DIVISOR=1", "QUILLBARN_TEST_CRASH=locks", "MALLOC_ARENA_MAX=1",
                "TZ=<+0530>-5:30", kSanitizerLeavesSignals, kSanitizerReportsOnConsole});
    std::string output = m_Dir + "/console.out";
    pid_t pid = m_Pid = qbtest::Spawn({m_Exe, "-Console"}, env, output);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(qbtest::WaitUntil(
        [&] { return Contains(qbtest::ReadFile(output), "faulting inside the allocator's lock\n"); }, 30000))
        << qbtest::ReadFile(output);
    auto fault = std::chrono::steady_clock::now();
    time_t faultTime = time(nullptr);

    bool reported = qbtest::WaitUntil(
        [&]
        {
            std::string log = Log();
            return Contains(log, "[Exception]EXCEPTION code=ACCESS_VIOLATION\n") &&
                   Contains(log, "[Exception]BACKTRACE: ") && Contains(Dump(), "\n== end ==\n");
        },
        2000);
    EXPECT_TRUE(reported) << "2 s after the fault:\n" << Log();
    EXPECT_TRUE(Contains(Dump(), "exception=ACCESS_VIOLATION code=0xc0000005 signal=11 "));

    int code = qbtest::WaitExit(pid, 60000);
    auto end = std::chrono::steady_clock::now();
    if (code != -1)
        m_Pid = -1;
    EXPECT_EQ(code, 255);
    EXPECT_LT(end - fault, std::chrono::seconds(15)) << "ended by the report, not by its time limit";
    // Whole: one line per frame, each with its address and module at least.
    std::vector<std::string> frames = CheckReport("ACCESS_VIOLATION");
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(Contains(frames[0], " in Quillbarn")) << frames[0];

    // The line head the program log writes, in local time, in the day's file.
    std::string log = Log();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m,
        std::regex(R"(\[([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})\])"
                   R"(\[Quillbarn\]\[PID=([0-9]{4,})\]\[ERROR\]\[TID=[0-9]{4,}\])"
                   R"(\[Exception\]EXCEPTION code=ACCESS_VIOLATION\n)")))
        << log;
    EXPECT_EQ(std::stol(m[7]), static_cast<long>(pid));
    struct tm written
    {
    };
    written.tm_year = std::stoi(m[1]) - 1900;
    written.tm_mon = std::stoi(m[2]) - 1;
    written.tm_mday = std::stoi(m[3]);
    written.tm_hour = std::stoi(m[4]);
    written.tm_min = std::stoi(m[5]);
    written.tm_sec = std::stoi(m[6]);
    double skew = difftime(timegm(&written) - (5 * 3600 + 30 * 60), faultTime);
    EXPECT_LE(std::abs(skew), 2.0) << m[0];
    EXPECT_TRUE(Contains(qbtest::ReadFile(m_Dir + "/Kelv/Log/LogFile_" + m[1].str() + "_" + m[2].str() + "_" +
                                          m[3].str() + ".log"),
                         "EXCEPTION code=ACCESS_VIOLATION\n"));
}

TEST(CrashNames, TableAndUnknownCodes)
{
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0xC0000005), "ACCESS_VIOLATION");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0xC00000FD), "STACK_OVERFLOW");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0x80000001), "GUARD_PAGE");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0xC0000008), "INVALID_HANDLE");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0xE06D7363), "UNKNOWN_ERROR");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(0), "UNKNOWN_ERROR");
    // abort() has no name of its own.
    EXPECT_STREQ(CCrashHandler::GetExceptionName(platform::CrashExceptionCode(SIGABRT, 0, false)),
                 "UNKNOWN_ERROR");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(platform::CrashExceptionCode(SIGBUS, BUS_ADRALN, false)),
                 "DATATYPE_MISALIGNMENT");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(platform::CrashExceptionCode(SIGFPE, FPE_FLTDIV, false)),
                 "FLT_DIVIDE_BY_ZERO");
    EXPECT_STREQ(CCrashHandler::GetExceptionName(platform::CrashExceptionCode(SIGILL, ILL_PRVOPC, false)),
                 "PRIV_INSTRUCTION");
}

__attribute__((noinline)) uintptr_t HereAddress()
{
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

TEST(CrashFrames, DescribedWithWhatTheModuleKnows)
{
    // A return address in this file: source line, function and module.
    uintptr_t here = HereAddress();
    int line = __LINE__ - 1;
    std::string text = CCrashHandler::DescribeFrame(here, true);
    EXPECT_EQ(text.rfind("0x", 0), 0u) << text;
    EXPECT_TRUE(Contains(text, "crash_test.cpp(" + std::to_string(line) + ") : at ")) << text;
    EXPECT_TRUE(Contains(text, "CrashFrames_DescribedWithWhatTheModuleKnows_Test::TestBody()")) << text;
    EXPECT_TRUE(Contains(text, " in unit_app")) << text;

    // A C library function: listed with its module even without line data.
    text = CCrashHandler::DescribeFrame(reinterpret_cast<uintptr_t>(&getpid));
    EXPECT_TRUE(std::regex_match(text, std::regex("0x[0-9a-f]{8,} (.*: )?at .*getpid in libc\\.so\\.6")))
        << text;

    // An address in no module still gives the address and both joins.
    EXPECT_EQ(CCrashHandler::DescribeFrame(0x10), "0x00000010 at  in ");
}
