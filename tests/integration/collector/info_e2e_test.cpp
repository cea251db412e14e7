// The info query of a running collector, through the infoqry tool.
#include "support/CollectorHarness.h"

#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

TEST(InfoE2E, InfoQueryReportsTheLiveCounters)
{
    if (!qbtest::HaveTestDatabase())
        GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    qbtest::CCollectorHarness c;
    ASSERT_TRUE(c.Prepare(1));
    ASSERT_TRUE(c.Start());
    int code = 0;
    auto r = c.RunDevsim({"--devices", "1", "--count", "3000", "--mix", "sys=1,flux=1,svc=1"}, &code);
    ASSERT_EQ(code, 0) << r["_output"];
    std::string out;
    ASSERT_EQ(
        qbtest::RunProgram({qbtest::BinDir() + "/infoqry", std::to_string(c.InfoPort())}, {}, 10000, &out), 0)
        << out;
    // Every record counts: the two directory pushes, the stream and its closing keepalive.
    long long received = atoll(r["sent.records"].c_str()) + atoll(r["sent.push"].c_str());
    EXPECT_NE(out.find("Records received:       " + std::to_string(received) + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Log merging:            on"), std::string::npos) << out;
    EXPECT_EQ(c.Stop(), 0);
}

namespace
{
// Listening TCP sockets of a process: (address as /proc/net/tcp writes it, port).
std::vector<std::pair<std::string, int>> ListeningSockets(pid_t pid)
{
    std::set<std::string> inodes;
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fdDir))
    {
        std::error_code ec;
        std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    std::vector<std::pair<std::string, int>> listening;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"})
    {
        std::istringstream lines(qbtest::ReadFile(table));
        std::string line;
        std::getline(lines, line); // header
        while (std::getline(lines, line))
        {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
            f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
            if (state != "0A" || inodes.count(inode) == 0)
                continue;
            size_t colon = local.find(':');
            listening.emplace_back(local.substr(0, colon), std::stoi(local.substr(colon + 1), nullptr, 16));
        }
    }
    return listening;
}
} // namespace

// The info query is for this host only. When its port is taken at start, the collector waits for the
// port and tries again; it never listens on a socket that did not get its address (the kernel would
// put that on every interface, on a random port).
TEST(InfoE2E, TakenInfoPortIsWaitedForAndNeverOpenedElsewhere)
{
    if (!qbtest::HaveTestDatabase())
        GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    qbtest::CCollectorHarness c;
    ASSERT_TRUE(c.Prepare(1));

    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); // not inherited by the collector
    ASSERT_GE(blocker, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(c.InfoPort()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);

    ASSERT_TRUE(c.Start({"QUILLBARN_TEST_TIME_DIVISOR=60"}));
    ASSERT_TRUE(
        qbtest::WaitUntil([&] { return c.Log().find("[Run] Bind Fail Err = ") != std::string::npos; }, 10000))
        << c.Log();
    // The device port is open to the network by design; anything else only on loopback.
    auto listening = ListeningSockets(c.Pid());
    EXPECT_FALSE(listening.empty());
    for (const auto& [address, port] : listening)
        EXPECT_TRUE(port == c.Port() || address == "0100007F") << address << ":" << port;

    close(blocker);
    std::string out;
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::RunProgram({qbtest::BinDir() + "/infoqry", std::to_string(c.InfoPort())}, {}, 5000,
                                      &out) == 0;
        },
        10000))
        << out;
    EXPECT_NE(out.find("Records received:"), std::string::npos) << out;
    EXPECT_EQ(c.Stop(), 0);
}
