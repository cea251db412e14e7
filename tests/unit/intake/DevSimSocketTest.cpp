// devsim against a real socket: a small listener in the test answers with reply bytes built by the
// collector's reply builders, and devsim's report must agree with what the listener saw.
#include "support/DevSimRunner.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <thread>

using namespace devsimtest;

namespace
{
class CTestListener
{
public:
    enum EMode
    {
        ANSWER_ALL,
        CORRUPT_THIRD_KEEPALIVE,
        IGNORE_PUSH,
        WRONG_PROBE_ANSWER
    };

    explicit CTestListener(EMode mode) : m_Mode(mode)
    {
        m_Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m_Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(m_Fd, 64);
        socklen_t len = sizeof(a);
        getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_Port = ntohs(a.sin_port);
        m_Accept = std::thread([this] { AcceptLoop(); });
    }
    ~CTestListener()
    {
        shutdown(m_Fd, SHUT_RDWR);
        close(m_Fd);
        m_Accept.join();
        for (auto& t : m_Conns)
            t.join();
    }
    uint16_t Port() const { return m_Port; }

    std::mutex m_Lock;
    std::map<std::string, uint64_t> m_Seen; // kind -> count
    uint64_t m_BytesIn = 0, m_BytesOut = 0;
    std::vector<std::string> m_Errors;

private:
    void AcceptLoop()
    {
        for (;;)
        {
            int c = accept(m_Fd, nullptr, nullptr);
            if (c < 0)
                return;
            m_Conns.emplace_back([this, c] { Serve(c); });
        }
    }

    void Count(const std::string& kind, uint64_t n = 1)
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Seen[kind] += n;
    }
    void Error(const std::string& e)
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Errors.push_back(e);
    }

    void Send(int c, const void* p, size_t n)
    {
        if (send(c, p, n, MSG_NOSIGNAL) != ssize_t(n))
            Error("short send");
        std::lock_guard<std::mutex> g(m_Lock);
        m_BytesOut += n;
    }

    // Answers one record, framed and unmasked.
    void Handle(int c, std::vector<uint8_t>& rec, uint64_t& keepalives)
    {
        const DataHead& h = *reinterpret_cast<const DataHead*>(rec.data());
        const DataHead sentHead = h; // replies copy the head as it arrived, masked flag included
        if (h.m_Masked)
            wire::InvertBody(rec.data(), rec.size());
        uint8_t out[128];
        const uint32_t type = wire::GetLogType(h);
        if (wire::IsProbe(h))
        {
            Count("probe");
            if (m_Mode == WRONG_PROBE_ANSWER)
                Send(c, "KELVDEVPROBE02", 14);
            else
                Send(c, out, wire::BuildProbeAnswer(out, sizeof(out)));
            return;
        }
        if (wire::FixedRecordLen(type) && rec.size() != wire::FixedRecordLen(type))
            Error("wrong size for type " + std::to_string(type));
        switch (type)
        {
        case LOG_TYPE_KEEPALIVE:
        {
            Count("keepalive");
            if (!RANGE_KEEPALIVE_DEVTYPE.Contains(reinterpret_cast<KeepAliveLog*>(rec.data())->m_DevType))
                Error("keepalive device type out of range");
            size_t n = wire::BuildKeepAliveReply(sentHead, out, sizeof(out));
            if (m_Mode == CORRUPT_THIRD_KEEPALIVE && ++keepalives == 3)
                out[44] = 1;
            Send(c, out, n);
            break;
        }
        case LOG_TYPE_LOGUDTDB:
        {
            Count("push");
            const auto& p = *reinterpret_cast<const LogudtDBLog*>(rec.data());
            uint8_t d[16];
            unsigned dn = 0;
            EVP_Digest(rec.data() + LOGUDTDB_LOG_MIN_LEN, rec.size() - LOGUDTDB_LOG_MIN_LEN, d, &dn,
                       EVP_md5(), nullptr);
            char padded[33], shortForm[33];
            wire::DigestToHexLower(d, padded);
            wire::DigestToHexShort(d, shortForm);
            const char* match = std::memcmp(padded, p.m_DataMD5, 32) == 0      ? padded
                                : std::memcmp(shortForm, p.m_DataMD5, 32) == 0 ? shortForm
                                                                               : nullptr;
            if (!match)
            {
                Error("push digest does not match its document");
                break;
            }
            if (m_Mode != IGNORE_PUSH)
                Send(c, out, wire::BuildLogudtDBReply(sentHead, match, out, sizeof(out)));
            break;
        }
        case LOG_TYPE_USER:
        case LOG_TYPE_USERV2:
        case LOG_TYPE_USERV3:
        {
            const auto& u = *reinterpret_cast<const UserLogCommon*>(rec.data());
            Count(u.m_Action == USER_ACTION_FLUX       ? "flux"
                  : u.m_Action == USER_ACTION_RESOURCE ? "svc"
                  : type == LOG_TYPE_USER              ? "userv1"
                  : type == LOG_TYPE_USERV2            ? "userv2"
                                                       : "userv3");
            break;
        }
        case LOG_TYPE_ADMIN:
            Count("admin");
            break;
        case LOG_TYPE_AUDIT:
            Count("audit");
            break;
        case LOG_TYPE_ALARM:
            Count("alarm");
            break;
        case LOG_TYPE_SYSTEM:
            Count("sys");
            break;
        default:
            Error("unexpected type " + std::to_string(type));
        }
    }

    void Serve(int c)
    {
        std::vector<uint8_t> buf;
        uint8_t chunk[65536];
        uint64_t keepalives = 0;
        for (;;)
        {
            ssize_t n = recv(c, chunk, sizeof(chunk), 0);
            if (n <= 0)
                break;
            {
                std::lock_guard<std::mutex> g(m_Lock);
                m_BytesIn += uint64_t(n);
            }
            buf.insert(buf.end(), chunk, chunk + n);
            size_t pos = 0;
            for (;;)
            {
                size_t s = pos;
                while (s + 8 <= buf.size() && wire::GetSignCode(buf.data() + s) == SIGN_CODE_NONE)
                    ++s;
                if (s > pos)
                    Count("garbage_bytes", s - pos);
                pos = s;
                if (buf.size() - pos < DATA_HEAD_LEN)
                    break;
                const uint32_t len = wire::GetDataLen(*reinterpret_cast<const DataHead*>(buf.data() + pos));
                if (len < DATA_HEAD_LEN)
                {
                    Error("bad length");
                    pos += DATA_HEAD_LEN;
                    continue;
                }
                if (buf.size() - pos < len)
                    break;
                std::vector<uint8_t> rec(buf.begin() + long(pos), buf.begin() + long(pos + len));
                pos += len;
                Handle(c, rec, keepalives);
            }
            buf.erase(buf.begin(), buf.begin() + long(pos));
        }
        close(c);
    }

    EMode m_Mode;
    int m_Fd;
    uint16_t m_Port;
    std::thread m_Accept;
    std::vector<std::thread> m_Conns;
};
} // namespace

TEST(DevSimSocket, ReportAgreesWithTheReceiver)
{
    CTempDir dir;
    uint64_t garbage = 0;
    {
        CTestListener l(CTestListener::ANSWER_ALL);
        SRunResult r = RunDevSim({"--port", std::to_string(l.Port()), "--devices", "3", "--count", "2000",
                                  "--mask", "--seq", "--garbage", "0.05", "--sign", "alt", "--quiet"},
                                 dir.Path());
        ASSERT_EQ(r.m_Exit, 0) << r.m_Stdout << r.m_Stderr;
        EXPECT_EQ(r.m_Report["result"], "ok");
        EXPECT_EQ(r.Num("connected"), 3u);
        EXPECT_EQ(r.Num("failed"), 0u);
        std::lock_guard<std::mutex> g(l.m_Lock);
        EXPECT_TRUE(l.m_Errors.empty()) << l.m_Errors.front();
        for (const char* kind : {"push", "keepalive", "userv1", "userv2", "userv3", "flux", "svc", "admin",
                                 "audit", "alarm", "sys"})
            EXPECT_EQ(r.Num(std::string("sent.") + kind), l.m_Seen[kind]) << kind;
        EXPECT_EQ(r.Num("sent.push"), 6u);
        EXPECT_EQ(r.Num("sent.records"), 3u * 2001u);
        EXPECT_EQ(r.Num("replies.keepalive"), l.m_Seen["keepalive"]);
        EXPECT_EQ(r.Num("replies.push"), 6u);
        EXPECT_EQ(r.Num("replies.bad"), 0u);
        EXPECT_EQ(r.Num("replies.missing"), 0u);
        EXPECT_EQ(r.Num("bytes.sent"), l.m_BytesIn);
        EXPECT_EQ(r.Num("bytes.received"), l.m_BytesOut);
        EXPECT_EQ(l.m_BytesOut, 46 * l.m_Seen["keepalive"] + 74 * 6);
        garbage = r.Num("sent.garbage_bytes");
        EXPECT_EQ(garbage, l.m_Seen["garbage_bytes"]);
    }
    EXPECT_GT(garbage, 0u);
}

TEST(DevSimSocket, WrongOrMissingRepliesFailTheRun)
{
    CTempDir dir;
    {
        CTestListener l(CTestListener::CORRUPT_THIRD_KEEPALIVE);
        SRunResult r = RunDevSim(
            {"--port", std::to_string(l.Port()), "--count", "100", "--mix", "keepalive=1,sys=1"}, dir.Path());
        EXPECT_EQ(r.m_Exit, 1);
        EXPECT_EQ(r.m_Report["result"], "fail");
        EXPECT_EQ(r.Num("replies.bad"), 1u);
        EXPECT_EQ(r.Num("replies.keepalive"), 50u); // 51 keepalives, one of them wrong
        EXPECT_NE(r.m_Stderr.find("wrong keepalive reply"), std::string::npos) << r.m_Stderr;
    }
    {
        CTestListener l(CTestListener::IGNORE_PUSH);
        SRunResult r = RunDevSim(
            {"--port", std::to_string(l.Port()), "--count", "10", "--reply-timeout", "0.3"}, dir.Path());
        EXPECT_EQ(r.m_Exit, 1);
        EXPECT_EQ(r.Num("replies.missing"), 1u);
        EXPECT_EQ(r.Num("sent.records"), 0u); // nothing is streamed before the directory is accepted
        EXPECT_NE(r.m_Stderr.find("push reply"), std::string::npos) << r.m_Stderr;
    }
    {
        // A port nobody listens on.
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        SRunResult r = RunDevSim({"--port", std::to_string(ntohs(a.sin_port)), "--devices", "2"}, dir.Path());
        close(s);
        EXPECT_EQ(r.m_Exit, 1);
        EXPECT_EQ(r.Num("connected"), 0u);
        EXPECT_EQ(r.Num("failed"), 2u);
    }
}

TEST(DevSimSocket, ProbeAndRate)
{
    CTempDir dir;
    {
        CTestListener l(CTestListener::ANSWER_ALL);
        SRunResult r = RunDevSim({"--probe", "--port", std::to_string(l.Port())}, dir.Path());
        EXPECT_EQ(r.m_Exit, 0) << r.m_Stdout;
        EXPECT_EQ(r.m_Report["answer"], "KELVDEVPROBE01");
        EXPECT_EQ(r.m_Report["probe"], "ok");
    }
    {
        CTestListener l(CTestListener::WRONG_PROBE_ANSWER);
        SRunResult r = RunDevSim({"--probe", "--port", std::to_string(l.Port())}, dir.Path());
        EXPECT_EQ(r.m_Exit, 1);
        EXPECT_EQ(r.m_Report["probe"], "bad");
    }
    {
        CTestListener l(CTestListener::ANSWER_ALL);
        SRunResult r =
            RunDevSim({"--port", std::to_string(l.Port()), "--rate", "400", "--seconds", "0.5"}, dir.Path());
        EXPECT_EQ(r.m_Exit, 0) << r.m_Stderr;
        const uint64_t records = r.Num("sent.records");
        EXPECT_GE(records, 150u);
        EXPECT_LE(records, 260u);
        EXPECT_GE(std::strtod(r.m_Report["elapsed_s"].c_str(), nullptr), 0.45);
    }
}
