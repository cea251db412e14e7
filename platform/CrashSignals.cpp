// Fatal-signal handling: alternate signal stacks, the signal handler, stack
// capture, symbol lookup, the crash dump file and the child process that does
// what a crashed process cannot do safely itself.
//
// Crash dump file format (text, one file per crash, replaced by the next):
//
//   QUILLBARN CRASH DUMP 1
//   process=<pid> thread=<tid> time=<seconds since 1970, UTC>
//   exception=<name> code=0x<8 hex> signal=<number> si_code=<number> address=0x<hex>
//   == registers ==
//   <name>=0x<16 hex>            one per line: r8..r15, rdi, rsi, rbp, rbx,
//                                rdx, rax, rcx, rsp, rip, eflags, csgsfs, err,
//                                trapno, oldmask, cr2 (x86-64)
//   == frames ==
//   #<i> 0x<16 hex>              faulting instruction first, then return
//                                addresses; resolve them with the memory map
//                                below (module = the mapping that holds the
//                                address; offset = address - start + offset)
//   == memory map ==
//   <the process's /proc/self/maps, verbatim>
//   == stack 0x<from> 0x<to> ==
//   0x<16 hex address>: <16 bytes as hex pairs separated by blanks>
//                                the faulting thread's stack from just below
//                                its stack pointer (the 128-byte red zone) up,
//                                at most 64 KiB, never past its mapping
//   == end ==
//
// A dump that lacks "== end ==" was cut short (disk full, second fault).
#include "platform/CrashSignals.h"

#include "platform/Tick.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace platform
{
namespace
{
std::atomic<CrashCallback> g_Callback{nullptr};
std::atomic<bool> g_AltStacks{false};
// Given up by OpenCrashFile when a crash finds every descriptor taken.
std::atomic<int> g_SpareFd{-1};

// Read inside the signal handler: initial-exec TLS needs no allocation.
__attribute__((tls_model("initial-exec"))) thread_local bool t_InCrash = false;
__attribute__((tls_model("initial-exec"))) thread_local bool t_HasAltStack = false;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_StackLow = 0;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_StackHigh = 0;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_StackGuard = 0;

const int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

// The main thread's stack grows on demand; the kernel keeps a gap of this
// size below it, so a fault there is an overflow too.
constexpr uintptr_t OVERFLOW_SLACK = uintptr_t{1024} * 1024;
constexpr size_t DUMP_STACK_BYTES = size_t{64} * 1024;
constexpr uintptr_t RED_ZONE = 128;

void WriteRaw(int fd, const char* text)
{
    (void)!write(fd, text, strlen(text));
}

void RecordStackBounds()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* addr = nullptr;
    size_t size = 0, guard = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0)
    {
        t_StackLow = reinterpret_cast<uintptr_t>(addr);
        t_StackHigh = t_StackLow + size;
    }
    if (pthread_attr_getguardsize(&attr, &guard) == 0)
        t_StackGuard = guard;
    pthread_attr_destroy(&attr);
}

bool IsStackOverflow(uintptr_t faultAddress)
{
    if (t_StackLow == 0)
        return false;
    uintptr_t low = t_StackLow > OVERFLOW_SLACK ? t_StackLow - OVERFLOW_SLACK : 0;
    uintptr_t high = t_StackLow + t_StackGuard + static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return faultAddress >= low && faultAddress < high;
}

void CrashSignalHandler(int sig, siginfo_t* info, void* context)
{
    if (t_InCrash)
    {
        // A fault while reporting one: nothing more can be trusted.
        WriteRaw(STDERR_FILENO, "Quillbarn: fault while writing the crash report\n");
        _exit(255);
    }
    t_InCrash = true;
    CrashCallback callback = g_Callback.load();
    if (callback)
    {
        CrashRecord record;
        record.m_Signal = sig;
        record.m_SignalCode = info ? info->si_code : 0;
        record.m_FaultAddress = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
        record.m_pContext = static_cast<const ucontext_t*>(context);
        record.m_ThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
        record.m_StackLow = t_StackLow;
        record.m_StackHigh = t_StackHigh;
        record.m_ExceptionCode = CrashExceptionCode(sig, record.m_SignalCode,
                                                    sig == SIGSEGV && IsStackOverflow(record.m_FaultAddress));
        callback(record);
    }
    // Returning re-runs the fault (or abort re-raises) with the default action.
    signal(sig, SIG_DFL);
    t_InCrash = false;
}

// Small formatter over a file descriptor that needs no heap.
class CDumpWriter
{
public:
    explicit CDumpWriter(int fd) : m_Fd(fd) {}
    ~CDumpWriter() { Flush(); }
    void Flush()
    {
        size_t off = 0;
        while (off < m_Len)
        {
            ssize_t n = write(m_Fd, m_Buf + off, m_Len - off);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                m_bFailed = true;
                break;
            }
            off += static_cast<size_t>(n);
        }
        m_Len = 0;
    }
    bool Failed() const { return m_bFailed; }
    CDumpWriter& Str(const char* s)
    {
        while (*s)
            Char(*s++);
        return *this;
    }
    CDumpWriter& Char(char c)
    {
        if (m_Len == sizeof(m_Buf))
            Flush();
        m_Buf[m_Len++] = c;
        return *this;
    }
    CDumpWriter& Hex(uintptr_t v, int digits)
    {
        char tmp[2 * sizeof(uintptr_t)];
        int n = 0;
        do
        {
            tmp[n++] = "0123456789abcdef"[v & 0xF];
            v >>= 4;
        } while (v != 0 && n < static_cast<int>(sizeof(tmp)));
        for (int i = n; i < digits; ++i)
            Char('0');
        while (n > 0)
            Char(tmp[--n]);
        return *this;
    }
    CDumpWriter& Dec(long long v)
    {
        char tmp[24];
        int n = 0;
        unsigned long long u =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do
        {
            tmp[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0)
            Char('-');
        while (n > 0)
            Char(tmp[--n]);
        return *this;
    }

private:
    int m_Fd;
    char m_Buf[4096];
    size_t m_Len = 0;
    bool m_bFailed = false;
};

struct MapRegion
{
    uintptr_t m_Start, m_End;
    bool m_bReadable;
};
// Static: the dump is written on a small alternate stack.
MapRegion g_Regions[8192];
size_t g_RegionCount = 0;

uintptr_t ParseHex(const char*& p)
{
    uintptr_t v = 0;
    for (;; ++p)
    {
        char c = *p;
        if (c >= '0' && c <= '9')
            v = v * 16 + static_cast<uintptr_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v * 16 + static_cast<uintptr_t>(c - 'a' + 10);
        else
            return v;
    }
}

void ParseMapLine(const char* line)
{
    if (g_RegionCount >= sizeof(g_Regions) / sizeof(g_Regions[0]))
        return;
    const char* p = line;
    uintptr_t start = ParseHex(p);
    if (*p != '-')
        return;
    ++p;
    uintptr_t end = ParseHex(p);
    if (*p != ' ')
        return;
    g_Regions[g_RegionCount++] = MapRegion{start, end, p[1] == 'r'};
}

// Copies /proc/self/maps into the dump and remembers its regions.
void CopyMemoryMap(CDumpWriter& out)
{
    g_RegionCount = 0;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char chunk[2048];
    char line[512];
    size_t lineLen = 0;
    for (;;)
    {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
        {
            out.Char(chunk[i]);
            if (chunk[i] == '\n')
            {
                line[lineLen] = '\0';
                ParseMapLine(line);
                lineLen = 0;
            }
            else if (lineLen < sizeof(line) - 1)
                line[lineLen++] = chunk[i];
        }
    }
    close(fd);
}

const MapRegion* FindReadableRegion(uintptr_t address)
{
    for (size_t i = 0; i < g_RegionCount; ++i)
    {
        if (g_Regions[i].m_bReadable && address >= g_Regions[i].m_Start && address < g_Regions[i].m_End)
            return &g_Regions[i];
    }
    return nullptr;
}

// Reads the faulting thread's stack as raw bytes, padding between its variables included: an
// AddressSanitizer build would take that for an out-of-bounds read.
__attribute__((no_sanitize("address"))) void DumpStack(CDumpWriter& out, uintptr_t sp)
{
    uintptr_t from = sp > RED_ZONE ? sp - RED_ZONE : sp;
    const MapRegion* region = FindReadableRegion(from);
    if (region == nullptr)
    {
        // The stack pointer may sit in the guard below an overflowed stack:
        // take the readable stack right above it.
        region = FindReadableRegion(sp);
        for (size_t i = 0; region == nullptr && i < g_RegionCount; ++i)
        {
            if (g_Regions[i].m_bReadable && g_Regions[i].m_Start > sp &&
                g_Regions[i].m_Start - sp <= OVERFLOW_SLACK)
                region = &g_Regions[i];
        }
        if (region == nullptr)
            return;
        from = region->m_Start > from ? region->m_Start : from;
    }
    from &= ~static_cast<uintptr_t>(15);
    if (from < region->m_Start)
        from = region->m_Start;
    uintptr_t to = region->m_End - from > DUMP_STACK_BYTES ? from + DUMP_STACK_BYTES : region->m_End;
    out.Str("== stack 0x").Hex(from, 16).Str(" 0x").Hex(to, 16).Str(" ==\n");
    for (uintptr_t a = from; a < to; a += 16)
    {
        out.Str("0x").Hex(a, 16).Str(":");
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(a);
        for (uintptr_t i = 0; i < 16 && a + i < to; ++i)
            out.Char(' ').Hex(bytes[i], 2);
        out.Char('\n');
    }
}

std::mutex g_SymbolLock;
Dwfl* g_Dwfl = nullptr;

// The symbol session: made on first use; the module list is read again when
// an address falls in no known module (a library loaded later).
Dwfl* SymbolSession(bool refresh)
{
    static char* debuginfoPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                             &debuginfoPath};
    if (g_Dwfl == nullptr)
    {
        g_Dwfl = dwfl_begin(&callbacks);
        refresh = true;
    }
    if (g_Dwfl && refresh)
    {
        dwfl_report_begin(g_Dwfl);
        dwfl_linux_proc_report(g_Dwfl, getpid());
        dwfl_report_end(g_Dwfl, nullptr, nullptr);
    }
    return g_Dwfl;
}
} // namespace

uintptr_t CrashRecord::InstructionPointer() const
{
    if (m_pContext == nullptr)
        return 0;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(m_pContext->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(m_pContext->uc_mcontext.pc);
#else
    return 0;
#endif
}

uintptr_t CrashRecord::StackPointer() const
{
    if (m_pContext == nullptr)
        return 0;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(m_pContext->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(m_pContext->uc_mcontext.sp);
#else
    return 0;
#endif
}

uint32_t CrashExceptionCode(int signal, int signalCode, bool stackOverflow)
{
    switch (signal)
    {
    case SIGSEGV:
        return stackOverflow ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
        return signalCode == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT : EXCEPTION_IN_PAGE_ERROR;
    case SIGFPE:
        switch (signalCode)
        {
        case FPE_INTDIV:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTSUB:
            return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:
            return EXCEPTION_FLT_INVALID_OPERATION;
        }
    case SIGILL:
        return (signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG) ? EXCEPTION_PRIV_INSTRUCTION
                                                                      : EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGTRAP:
        return signalCode == TRAP_TRACE ? EXCEPTION_SINGLE_STEP : EXCEPTION_BREAKPOINT;
    default:
        return EXCEPTION_FATAL_APP_EXIT;
    }
}

bool InstallCrashSignalHandlers(CrashCallback callback)
{
    // backtrace() loads its unwinder on first use; do that now, not in a
    // signal handler.
    void* warm[4];
    backtrace(warm, 4);

    if (g_SpareFd.load() < 0)
        g_SpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    g_Callback = callback;
    g_AltStacks = true;
    // The calling thread's, kept until the process ends: built in storage of the thread's own and never
    // destroyed (not on the heap, where a leak check at exit would count it).
    alignas(CAltSignalStack) static thread_local unsigned char t_InstallerStack[sizeof(CAltSignalStack)];
    if (!t_HasAltStack)
        new (t_InstallerStack) CAltSignalStack();

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = CrashSignalHandler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    bool ok = true;
    for (int sig : CRASH_SIGNALS)
        ok = sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}

bool IsDebuggerAttached()
{
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char* p = strstr(buf, "TracerPid:");
    if (p == nullptr)
        return false;
    for (p += 10; *p == ' ' || *p == '\t'; ++p)
    {
    }
    // A tracer's pid has a digit other than 0.
    for (; *p >= '0' && *p <= '9'; ++p)
    {
        if (*p != '0')
            return true;
    }
    return false;
}

CAltSignalStack::CAltSignalStack()
{
    if (!g_AltStacks || t_HasAltStack)
        return;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t total = STACK_SIZE + page;
    void* mem =
        mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED)
        return;
    // A guard page below, so a handler that runs out of room faults cleanly.
    mprotect(mem, page, PROT_NONE);
    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_sp = static_cast<char*>(mem) + page;
    ss.ss_size = STACK_SIZE;
    if (sigaltstack(&ss, nullptr) != 0)
    {
        munmap(mem, total);
        return;
    }
    m_pMemory = mem;
    m_Size = total;
    t_HasAltStack = true;
    RecordStackBounds();
}

CAltSignalStack::~CAltSignalStack()
{
    if (m_pMemory == nullptr)
        return;
    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_flags = SS_DISABLE;
    sigaltstack(&ss, nullptr);
    munmap(m_pMemory, m_Size);
    t_HasAltStack = false;
    t_StackLow = t_StackHigh = t_StackGuard = 0;
}

uint32_t CaptureCrashStack(const CrashRecord& record, uintptr_t* addresses, uint32_t max)
{
    if (addresses == nullptr || max == 0)
        return 0;
    // Safe in the handler: the unwinder was loaded at install, and it finds
    // frame tables through _dl_find_object, which neither locks nor allocates.
    // The unwinder walks from here through the signal frame into the
    // faulting thread's frames; the handler's own frames come first.
    constexpr int HANDLER_FRAMES = 32;
    void* raw[HANDLER_FRAMES + 256];
    int want = static_cast<int>(max) + HANDLER_FRAMES;
    if (want > static_cast<int>(sizeof(raw) / sizeof(raw[0])))
        want = sizeof(raw) / sizeof(raw[0]);
    int n = backtrace(raw, want);
    uintptr_t ip = record.InstructionPointer();
    for (int i = 0; i < n; ++i)
    {
        if (reinterpret_cast<uintptr_t>(raw[i]) == ip)
        {
            uint32_t count = 0;
            for (int j = i; j < n && count < max; ++j)
                addresses[count++] = reinterpret_cast<uintptr_t>(raw[j]);
            return count;
        }
    }
    // The walk did not reach the fault (a jump to a bad address): the
    // faulting instruction is all that is known.
    addresses[0] = ip;
    return 1;
}

bool ResolveAddress(uintptr_t address, bool isReturnAddress, FrameInfo& info)
{
    info = FrameInfo();
    std::lock_guard<std::mutex> lock(g_SymbolLock);
    Dwfl* dwfl = SymbolSession(false);
    if (dwfl == nullptr)
        return false;
    Dwarf_Addr lookup = isReturnAddress && address > 0 ? address - 1 : address;
    Dwfl_Module* module = dwfl_addrmodule(dwfl, lookup);
    if (module == nullptr)
    {
        dwfl = SymbolSession(true);
        module = dwfl ? dwfl_addrmodule(dwfl, lookup) : nullptr;
    }
    if (module == nullptr)
        return false;

    const char* moduleName =
        dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName)
    {
        const char* slash = strrchr(moduleName, '/');
        info.m_Module = slash ? slash + 1 : moduleName;
    }
    if (const char* symbol = dwfl_module_addrname(module, lookup))
    {
        int status = 0;
        char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
        info.m_Function = status == 0 && demangled ? demangled : symbol;
        free(demangled);
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module, lookup))
    {
        int lineNo = 0;
        const char* file = dwfl_lineinfo(line, nullptr, &lineNo, nullptr, nullptr, nullptr);
        if (file)
        {
            info.m_File = file;
            info.m_Line = lineNo;
        }
    }
    return true;
}

int OpenCrashFile(int dirFd, const char* name, int flags)
{
    for (;;)
    {
        int fd = openat(dirFd, name, flags | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EINTR)
        {
            if (fd < 0 && (errno == EMFILE || errno == ENFILE))
            {
                int spare = g_SpareFd.exchange(-1);
                if (spare >= 0)
                {
                    close(spare);
                    continue;
                }
            }
            return fd;
        }
    }
}

bool FindModuleName(uintptr_t address, char* name, size_t size)
{
    if (name == nullptr || size == 0)
        return false;
    name[0] = '\0';
    int fd = OpenCrashFile(AT_FDCWD, "/proc/self/maps", O_RDONLY);
    if (fd < 0)
        return false;
    char chunk[2048];
    char line[4352]; // a path can be PATH_MAX long
    size_t lineLen = 0;
    bool found = false;
    while (!found)
    {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !found; ++i)
        {
            if (chunk[i] != '\n')
            {
                if (lineLen < sizeof(line) - 1)
                    line[lineLen++] = chunk[i];
                continue;
            }
            line[lineLen] = '\0';
            lineLen = 0;
            // start-end perms offset dev inode [path]
            const char* p = line;
            uintptr_t start = ParseHex(p);
            if (*p++ != '-')
                continue;
            uintptr_t end = ParseHex(p);
            if (address < start || address >= end)
                continue;
            found = true;
            for (int field = 0; field < 4 && *p; ++field)
            {
                while (*p == ' ')
                    ++p;
                while (*p && *p != ' ')
                    ++p;
            }
            while (*p == ' ')
                ++p;
            const char* slash = strrchr(p, '/');
            const char* base = slash ? slash + 1 : p;
            size_t len = strlen(base);
            if (len >= size)
                len = size - 1;
            memcpy(name, base, len);
            name[len] = '\0';
        }
    }
    close(fd);
    return true;
}

void* AllocCrashSharedMemory(size_t size)
{
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return mem == MAP_FAILED ? nullptr : mem;
}

namespace
{
uint64_t MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// True once the child has ended (or was reaped by someone else).
bool ChildEnded(pid_t pid, int options)
{
    for (;;)
    {
        int status = 0;
        pid_t r = waitpid(pid, &status, options);
        if (r < 0 && errno == EINTR)
            continue;
        return r == pid || (r < 0 && errno == ECHILD);
    }
}
} // namespace

bool RunCrashChild(void (*body)(void*), void* arg, const std::atomic<uint32_t>* progress,
                   uint32_t stallLimitMs, uint32_t totalLimitMs)
{
    if (body == nullptr)
        return false;
    pid_t parent = getpid();
    // fork() would first take the allocator's and every atfork lock; _Fork
    // takes none.
    pid_t pid = _Fork();
    if (pid < 0)
        return false;
    if (pid == 0)
    {
        struct sigaction dfl;
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        for (int sig : CRASH_SIGNALS)
            sigaction(sig, &dfl, nullptr);
        sigaction(SIGALRM, &dfl, nullptr);
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        // Not the listening sockets nor any other file of the parent: they
        // would stay open as long as the child.
        close_range(3, ~0U, 0);
        // A child stuck on a lock it copied must not outlive the report.
        alarm(totalLimitMs / 1000 + 1);
        body(arg);
        _exit(0);
    }
    uint64_t start = MonotonicMs();
    uint64_t lastChange = start;
    uint32_t seen = progress ? progress->load() : 0;
    for (;;)
    {
        if (ChildEnded(pid, WNOHANG))
            return true;
        uint64_t now = MonotonicMs();
        uint32_t current = progress ? progress->load() : 0;
        if (current != seen)
        {
            seen = current;
            lastChange = now;
        }
        if (now - lastChange >= stallLimitMs || now - start >= totalLimitMs)
            break;
        struct timespec pause = {0, 5L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    ChildEnded(pid, 0);
    return false;
}

bool WriteCrashDump(int fd, const CrashRecord& record, const char* exceptionName, const uintptr_t* frames,
                    uint32_t frameCount)
{
    if (fd < 0)
        return false;
    CDumpWriter out(fd);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    out.Str("QUILLBARN CRASH DUMP 1\n");
    out.Str("process=").Dec(getpid()).Str(" thread=").Dec(record.m_ThreadId).Str(" time=").Dec(now.tv_sec);
    out.Str("\nexception=").Str(exceptionName ? exceptionName : "").Str(" code=0x");
    out.Hex(record.m_ExceptionCode, 8).Str(" signal=").Dec(record.m_Signal).Str(" si_code=");
    out.Dec(record.m_SignalCode).Str(" address=0x").Hex(record.m_FaultAddress, 1).Str("\n");

    out.Str("== registers ==\n");
#if defined(__x86_64__)
    static const char* const names[] = {"r8",  "r9",     "r10",    "r11", "r12",    "r13",     "r14", "r15",
                                        "rdi", "rsi",    "rbp",    "rbx", "rdx",    "rax",     "rcx", "rsp",
                                        "rip", "eflags", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    if (record.m_pContext)
    {
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
            out.Str(names[i])
                .Str("=0x")
                .Hex(static_cast<uintptr_t>(record.m_pContext->uc_mcontext.gregs[i]), 16)
                .Char('\n');
    }
#else
    out.Str("pc=0x")
        .Hex(record.InstructionPointer(), 16)
        .Str("\nsp=0x")
        .Hex(record.StackPointer(), 16)
        .Char('\n');
#endif
    out.Str("== frames ==\n");
    for (uint32_t i = 0; frames && i < frameCount; ++i)
        out.Char('#').Dec(i).Str(" 0x").Hex(frames[i], 16).Char('\n');
    out.Str("== memory map ==\n");
    CopyMemoryMap(out);
    DumpStack(out, record.StackPointer());
    out.Str("== end ==\n");
    out.Flush();
    return !out.Failed();
}
} // namespace platform
