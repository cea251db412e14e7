// A stand-in for the collector in the watchdog's process tests, built as an executable named
// "Quillbarn". It runs under the service dispatcher when the service manager started it (or in the
// foreground), listens on 127.0.0.1 at the Port of <install>/Kelv/Config/Kelv.conf, where <install>
// is two levels above the executable, and answers the watchdog's probe. Each start appends its pid
// to <install>/standin-starts.log. The answer follows <install>/standin.mode, read per connection:
//   answer  the 14-byte tag (also when the file is missing)
//   long    the tag followed by more bytes
//   wrong   14 other bytes
//   silent  reads the probe and never answers
//   exit    (read at start) exits at once, as a collector that keeps dying
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/ServiceManager.h"
#include "platform/Signals.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
std::atomic<bool> g_Stop{false};
std::string g_Install;

std::string Mode()
{
    std::string mode;
    if (!platform::ReadWholeFile(g_Install + "/standin.mode", mode))
        return "answer";
    while (!mode.empty() && (mode.back() == '\n' || mode.back() == ' '))
        mode.pop_back();
    return mode;
}

void Answer(int fd)
{
    // The probe is 58 bytes; read what comes within a short time.
    char buf[256];
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got < 58 && std::chrono::steady_clock::now() < deadline)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = ::recv(fd, buf + got, sizeof buf - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < 22 || std::memcmp(buf + 8, "KELVDEVPROBE01", 14) != 0)
        return;
    std::string mode = Mode();
    std::string reply;
    if (mode == "long")
        reply = std::string("KELVDEVPROBE01") + "and more bytes behind the tag";
    else if (mode == "wrong")
        reply = "KELVDEVPROBE99";
    else if (mode == "silent")
    {
        while (!g_Stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    else
        reply = "KELVDEVPROBE01";
    ssize_t ignored = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    (void)ignored;
}

int Serve()
{
    if (Mode() == "exit")
        return 0;
    int port =
        platform::GetPrivateProfileInt("DatabaseConfig", "Port", 9501, g_Install + "/Kelv/Config/Kelv.conf");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A killed predecessor's socket may linger for a moment.
    int tries = 0;
    while (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    {
        if (++tries > 100 || g_Stop.load())
            return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::listen(fd, 16) != 0)
        return 1;
    while (!g_Stop.load())
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        Answer(c);
        ::close(c);
    }
    ::close(fd);
    return 0;
}

void Handler(uint32_t control)
{
    if (control == platform::SERVICE_CONTROL_STOP)
    {
        platform::SetServiceStatus("Quillbarn", platform::ServiceState::StopPending);
        g_Stop = true;
    }
}

void ServiceMain(int, char**)
{
    if (!platform::RegisterServiceCtrlHandler("Quillbarn", Handler))
        return;
    platform::SetServiceStatus("Quillbarn", platform::ServiceState::Running);
    Serve();
    platform::SetServiceStatus("Quillbarn", platform::ServiceState::Stopped);
}
} // namespace

int main()
{
    platform::BlockTerminationSignals();
    std::string exe = platform::ExecutablePath();
    g_Install = exe.substr(0, exe.find_last_of('/'));
    g_Install = g_Install.substr(0, g_Install.find_last_of('/'));
    int fd = ::open((g_Install + "/standin-starts.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string line = std::to_string(::getpid()) + "\n";
    if (fd >= 0)
    {
        ssize_t ignored = ::write(fd, line.data(), line.size());
        (void)ignored;
        ::close(fd);
    }
    // Registered as the watchdog's "KELV", the program still asks for its own name.
    if (platform::StartServiceCtrlDispatcher("Quillbarn", ServiceMain))
        return 0;
    platform::StartTerminationSignalThread([](int) { g_Stop = true; });
    return Serve();
}
