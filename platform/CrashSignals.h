#pragma once
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
// process at once with exit code 255.
bool InstallCrashSignalHandlers(CrashCallback callback);
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

    static constexpr size_t STACK_SIZE = 256 * 1024;

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

// Writes the crash dump file (format described in CrashSignals.cpp); uses
// only system calls, so it works whatever state the heap is in. False if the
// file cannot be created.
bool WriteCrashDumpFile(const char* path, const CrashRecord& record, const char* exceptionName,
                        const uintptr_t* frames, uint32_t frameCount);
} // namespace platform
