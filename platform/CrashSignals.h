#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <ucontext.h>

namespace platform
{
// Exception codes a fatal signal is reported under: the codes of the
// exceptions the crash report was designed around.
enum : uint32_t
{
    EXCEPTION_ACCESS_VIOLATION = 0xC0000005,
    EXCEPTION_IN_PAGE_ERROR = 0xC0000006,
    EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002,
    EXCEPTION_BREAKPOINT = 0x80000003,
    EXCEPTION_SINGLE_STEP = 0x80000004,
    EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008C,
    EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008E,
    EXCEPTION_FLT_INEXACT_RESULT = 0xC000008F,
    EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090,
    EXCEPTION_FLT_OVERFLOW = 0xC0000091,
    EXCEPTION_FLT_UNDERFLOW = 0xC0000093,
    EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094,
    EXCEPTION_INT_OVERFLOW = 0xC0000095,
    EXCEPTION_PRIV_INSTRUCTION = 0xC0000096,
    EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001D,
    EXCEPTION_STACK_OVERFLOW = 0xC00000FD,
    // abort(): the fatal application exit status, which no table names.
    EXCEPTION_FATAL_APP_EXIT = 0x40000015,
};

// The "exception pointers" of a fatal signal: what happened, where, and the
// faulting thread's registers.
struct CrashRecord
{
    uint32_t m_ExceptionCode = 0;
    int m_Signal = 0;
    int m_SignalCode = 0;         // si_code
    uintptr_t m_FaultAddress = 0; // si_addr
    const ucontext_t* m_pContext = nullptr;
    uint32_t m_ThreadId = 0;
    // Bounds of the faulting thread's stack, when known (0 otherwise).
    uintptr_t m_StackLow = 0;
    uintptr_t m_StackHigh = 0;

    uintptr_t InstructionPointer() const;
    uintptr_t StackPointer() const;
};

// Called on the faulting thread, on its alternate signal stack when it has
// one. If it returns, the signal takes its default action (a debugger then
// sees the fault).
typedef void (*CrashCallback)(const CrashRecord& record);

// Catches SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and SIGABRT on every
// thread, and from now on gives every thread started by CreateThread (and the
// calling thread) an alternate signal stack, so that a stack overflow can be
// reported too. A second fault on a thread that is already reporting ends the
// process at once with exit code 255. Also keeps a spare descriptor for
// OpenCrashFile.
bool InstallCrashSignalHandlers(CrashCallback callback);
// Async-signal-safe.
bool IsDebuggerAttached();
// The exception code a signal is reported under.
uint32_t CrashExceptionCode(int signal, int signalCode, bool stackOverflow);

// A thread's alternate signal stack, alive as long as the object (the thread
// body holds one); nothing unless crash handling is installed.
class CAltSignalStack
{
public:
    CAltSignalStack();
    ~CAltSignalStack();
    CAltSignalStack(const CAltSignalStack&) = delete;
    CAltSignalStack& operator=(const CAltSignalStack&) = delete;

    static constexpr size_t STACK_SIZE = size_t{256} * 1024;

private:
    void* m_pMemory = nullptr;
    size_t m_Size = 0;
};

// Frames of the faulting thread: the faulting instruction first, then the
// return addresses outward. At most `max`.
uint32_t CaptureCrashStack(const CrashRecord& record, uintptr_t* addresses, uint32_t max);

// An address resolved through the symbols and line tables of the loaded
// modules; empty / 0 where unknown. For a return address the call
// instruction before it is looked up.
struct FrameInfo
{
    std::string m_File;
    int m_Line = 0;
    std::string m_Function; // demangled
    std::string m_Module;   // file name of the module, without directory
};
bool ResolveAddress(uintptr_t address, bool isReturnAddress, FrameInfo& info);

// Memory shared with the children of RunCrashChild (and every other fork).
// Made at start; null on failure.
void* AllocCrashSharedMemory(size_t size);

// Everything below runs inside the signal handler of a crash: system calls
// only, no heap, no locks, so it works whatever another thread (or the
// crashed code) holds.

// openat(2) that, when the process is out of descriptors, gives up the spare
// one kept since InstallCrashSignalHandlers and tries again. -1 on failure.
int OpenCrashFile(int dirFd, const char* name, int flags);

// Writes the crash dump (format described in CrashSignals.cpp) to an open
// file. False if it could not be written whole.
bool WriteCrashDump(int fd, const CrashRecord& record, const char* exceptionName, const uintptr_t* frames,
                    uint32_t frameCount);

// The file name (without directory) of the mapping that holds the address,
// from /proc/self/maps; "" when no file mapping does. False if the map
// cannot be read.
bool FindModuleName(uintptr_t address, char* name, size_t size);

// Runs body(arg) in a child process: the work a crashed process can no
// longer do itself (anything that allocates or locks). The child is made
// without fork handlers, so no lock another thread holds is waited for; it
// starts with the crash signals at their default action, no core file and
// only the standard descriptors, and it dies with its parent. The parent
// waits while the child keeps raising *progress (in memory from
// AllocCrashSharedMemory): it gives up after stallLimitMs without a change or
// totalLimitMs in all, and kills a child that is still running then. True if
// the child ended by itself.
bool RunCrashChild(void (*body)(void*), void* arg, const std::atomic<uint32_t>* progress,
                   uint32_t stallLimitMs, uint32_t totalLimitMs);
} // namespace platform
