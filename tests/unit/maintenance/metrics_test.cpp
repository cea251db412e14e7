// The metrics endpoint: its text, and its answers over a real loopback socket.
#include "core/InfoManager.h"
#include "maintenance/MetricsTask.h"
#include "maintenance/MetricsText.h"
#include "platform/SocketManager.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

TEST(MetricsText, EveryFamilyIsDeclaredAndEverySampleCarriesItsValue)
{
    MetricsSnapshot s;
    s.m_ReceivedByKind[1] = 7;  // user
    s.m_ReceivedByKind[16] = 2; // beyond the wire's types
    s.m_RefusedGate = 3;
    s.m_RowsLoadData = 11;
    s.m_RowsInsert = 13;
    s.m_BacklogOldestAgeSeconds = 42;
    s.m_DatabaseReachable = 1;
    s.m_MergeBufferFill = 0.25;
    s.m_StartTimeSeconds = 1700000000;
    const std::string text = RenderMetrics(s);

    for (const char* line :
         {"quillbarn_records_received_total{kind=\"user\"} 7\n",
          "quillbarn_records_received_total{kind=\"other\"} 2\n",
          "quillbarn_records_received_total{kind=\"keepalive\"} 0\n",
          "quillbarn_records_refused_total{reason=\"gate\"} 3\n",
          "quillbarn_rows_stored_total{path=\"load_data\"} 11\n",
          "quillbarn_rows_stored_total{path=\"insert\"} 13\n",
          "quillbarn_data_file_backlog_oldest_age_seconds 42\n", "quillbarn_database_reachable 1\n",
          "quillbarn_merge_buffer_fill_ratio 0.25\n", "process_start_time_seconds 1700000000\n",
          "# TYPE quillbarn_records_received_total counter\n", "# TYPE quillbarn_connections_open gauge\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    // Each sample follows the HELP and TYPE lines of its family, and no family is declared twice.
    std::istringstream lines(text);
    std::string line, help, type;
    std::set<std::string> declared;
    while (std::getline(lines, line))
    {
        ASSERT_FALSE(line.empty());
        if (line.rfind("# HELP ", 0) == 0)
        {
            help = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(declared.insert(help).second) << help;
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0)
        {
            type = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(type, help);
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_EQ(name, type) << line;
    }
    EXPECT_EQ(declared.size(), 17u);
}

namespace
{
class MetricsEndpointTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
        m_Port = qbtest::FreeTcpPort();
        m_Task.SetListenPortOverride(m_Port);
        ASSERT_TRUE(m_Task.Start());
    }
    void TearDown() override { EXPECT_TRUE(m_Task.StopAndWait(5000)); }

    // Sends `request` on a new connection and returns all that comes back before the server closes.
    std::string Ask(const std::string& request)
    {
        int fd = -1;
        EXPECT_TRUE(qbtest::WaitUntil(
            [&]
            {
                fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(m_Port));
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
                    return true;
                close(fd);
                fd = -1;
                return false;
            },
            5000));
        if (fd < 0)
            return {};
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string out;
        char buf[4096];
        for (;;)
        {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        return out;
    }
    static std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

    CMetricsTask m_Task;
    int m_Port = 0;
};
} // namespace

TEST_F(MetricsEndpointTest, OnlyABoundedGetOfMetricsIsServed)
{
    CInfoManager::GetInstance()->Count(CInfoManager::INFO_CONN_REFUSED, 5);
    const uint64_t refused = CInfoManager::GetInstance()->GetCounter(CInfoManager::INFO_CONN_REFUSED);

    EXPECT_EQ(StatusLine(Ask("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab")),
              "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(StatusLine(Ask("GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(StatusLine(Ask("hello\r\n\r\n")), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(StatusLine(Ask("GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n")),
              "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_EQ(StatusLine(Ask("GET /metrics HTTP/1.1\r\nContent-Length: 9000\r\n\r\n")),
              "HTTP/1.1 413 Content Too Large");

    // After the refusals the endpoint answers as before, with the live counters.
    const std::string reply = Ask("GET /metrics?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 200 OK");
    const size_t bodyAt = reply.find("\r\n\r\n") + 4;
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(reply.size() - bodyAt) + "\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("quillbarn_connections_refused_total " + std::to_string(refused) + "\n"),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("process_resident_memory_bytes "), std::string::npos);
    EXPECT_EQ(reply.find("process_resident_memory_bytes 0\n"), std::string::npos);
}
