// The collector run by an init system (-Foreground with NOTIFY_SOCKET), against a notify socket of the
// test's own.
#include "support/CollectorHarness.h"

#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// The notify socket: every datagram with its arrival time, and whether the device port took a
// connection at the moment READY=1 arrived.
class CNotifyListener
{
public:
    CNotifyListener(const std::string& path, int devicePort) : m_Port(devicePort)
    {
        m_Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof(a.sun_path) - 1);
        m_Bound = bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        timeval wait{0, 100000};
        setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        m_Thread = std::thread([this] { Receive(); });
    }
    ~CNotifyListener()
    {
        m_bEnd = true;
        m_Thread.join();
        close(m_Fd);
    }
    bool Bound() const { return m_Bound; }
    // Messages containing the line `line`, and the arrival of the last one.
    size_t Count(const std::string& line, Clock::time_point* last = nullptr)
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        size_t n = 0;
        for (const auto& [when, text] : m_Messages)
            if (("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos)
            {
                ++n;
                if (last)
                    *last = when;
            }
        return n;
    }
    bool PortOpenAtReady() const { return m_PortOpenAtReady; }

private:
    void Receive()
    {
        char buffer[4096];
        while (!m_bEnd)
        {
            ssize_t n = recv(m_Fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                continue;
            std::string text(buffer, static_cast<size_t>(n));
            if (text.rfind("READY=1\n", 0) == 0)
                m_PortOpenAtReady = qbtest::PortOpen(m_Port);
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Messages.emplace_back(Clock::now(), text);
        }
    }

    int m_Fd = -1, m_Port;
    bool m_Bound = false;
    std::atomic<bool> m_bEnd{false}, m_PortOpenAtReady{false};
    std::mutex m_Lock;
    std::vector<std::pair<Clock::time_point, std::string>> m_Messages;
    std::thread m_Thread;
};
} // namespace

TEST(SystemdE2E, ReadyAfterListeningPingsOnlyWhileEveryTaskRespondsStoppingOnStop)
{
    if (!qbtest::HaveTestDatabase())
        GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    qbtest::CCollectorHarness c;
    ASSERT_TRUE(c.Prepare(0));
    CNotifyListener notify(c.Dir() + "/notify", c.Port());
    ASSERT_TRUE(notify.Bound());
    const std::string hold = c.Dir() + "/hold-listener";
    // Pings every 100 ms; the task check runs every 300 ms and calls a loop hung after its 10 s floor.
    ASSERT_TRUE(c.Start({"NOTIFY_SOCKET=" + c.Dir() + "/notify", "WATCHDOG_USEC=200000",
                         "QUILLBARN_TEST_TIME_DIVISOR=100", "QUILLBARN_TEST_HOLD=listen:" + hold},
                        "-Foreground"));
    ASSERT_TRUE(qbtest::WaitUntil([&] { return notify.Count("READY=1") == 1; }, 10000));
    EXPECT_TRUE(notify.PortOpenAtReady());
    ASSERT_TRUE(qbtest::WaitUntil([&] { return notify.Count("WATCHDOG=1") >= 5; }, 10000));

    // A listener held hung: once the check sees it, the pings stop while status messages go on.
    std::ofstream(hold).put('1');
    auto quietFor = [&](int ms)
    {
        Clock::time_point last{};
        notify.Count("WATCHDOG=1", &last);
        return Clock::now() - last > std::chrono::milliseconds(ms);
    };
    ASSERT_TRUE(qbtest::WaitUntil([&] { return quietFor(2000); }, 25000));
    EXPECT_NE(c.Log().find("Not Responding"), std::string::npos);
    size_t pings = notify.Count("WATCHDOG=1");
    unlink(hold.c_str());
    EXPECT_TRUE(qbtest::WaitUntil([&] { return notify.Count("WATCHDOG=1") > pings; }, 5000));

    EXPECT_EQ(c.Stop(), 0);
    EXPECT_EQ(notify.Count("STOPPING=1"), 1u);
    // Standard output carries no copy of the program log.
    EXPECT_EQ(qbtest::ReadFile(c.Dir() + "/console.out").find("[Quillbarn][PID="), std::string::npos);
    EXPECT_NE(c.Log().find("[Quillbarn][PID="), std::string::npos);
}
