// Hostile input against the real collector: pushes built to exhaust the parser or the memory, heads
// whose lengths lie, garbage between good records, and the info query's exposure. Each case ends with
// the collector still answering and with exactly the good records stored.
#include "CollectorHarness.h"

#include "platform/FileSystem.h"
#include "support/Process.h"
#include "support/TestDatabase.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using qbtest::CollectorHarness;

namespace
{
using Clock = std::chrono::steady_clock;

std::string Md5(const std::string& text)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(d), n);
}

std::string Hex(const std::string& raw)
{
    static const char* h = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw)
    {
        out += h[c >> 4];
        out += h[c & 15];
    }
    return out;
}

void Put32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

// A head of the given type and stated length, for the key of device 1.
std::string Head(uint32_t type, uint32_t statedLen)
{
    std::string h = "logs1111" + Md5("secret1");
    h.resize(42, '\0');
    Put32(h, 24, type);
    Put32(h, 28, statedLen);
    h[32] = 0x07;
    h[33] = static_cast<char>(0xEA);
    h[34] = 3;
    h[35] = 14;
    return h;
}

std::string KeepAlive()
{
    std::string r = Head(0, 58);
    r.resize(58, '\0');
    Put32(r, 46, 1);
    return r;
}

std::string Push(int updateType, const std::string& doc)
{
    std::string r = Head(5, static_cast<uint32_t>(78 + doc.size()));
    r.resize(78, '\0');
    Put32(r, 42, static_cast<uint32_t>(updateType));
    std::string md5 = Hex(Md5(doc));
    std::memcpy(&r[46], md5.data(), 32);
    return r + doc;
}

const std::string USER_DOC =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<content><svpngroup><group id=\"1\" "
    "name=\"g\" pgrpid=\"0\"/></svpngroup><svpnuser><user id=\"1\" name=\"u1\" "
    "grpid=\"1\"/></svpnuser></content>\n";

// One device connection over loopback.
class RawDevice
{
public:
    explicit RawDevice(int port)
    {
        m_Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_Connected = connect(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~RawDevice() { close(m_Fd); }
    bool Connected() const { return m_Connected; }
    bool Send(const std::string& bytes)
    {
        size_t off = 0;
        while (off < bytes.size())
        {
            ssize_t n = send(m_Fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until `bytes` more bytes arrived or the time is up; what arrived.
    std::string Read(size_t bytes, int timeoutMs)
    {
        std::string out;
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < bytes && Clock::now() < end)
        {
            pollfd p{m_Fd, POLLIN, 0};
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (poll(&p, 1, left > 0 ? left : 0) <= 0)
                break;
            char buf[4096];
            ssize_t n = recv(m_Fd, buf, std::min(sizeof(buf), bytes - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    int m_Fd = -1;
    bool m_Connected = false;
};

long VmHwmKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

class HostileInputE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set";
        ASSERT_TRUE(m_C.Prepare(1));
    }
    std::string Table(const std::string& t) { return "`" + m_C.DeviceDb(1) + "`." + t; }
    CollectorHarness m_C;
};
} // namespace

// Pushes made to exhaust the parser: deep nesting (10,000 and 200,000 levels), nested entity
// definitions, an 8 MiB attribute (a 10 MiB one can hang the receive ring today). Each is refused or
// handled within a second, the collector's peak memory grows by less than 64 MiB per push, and no
// pushed text longer than the column limit reaches the tables.
TEST_F(HostileInputE2E, HostilePushesAreRefusedOrHandledQuicklyAndBounded)
{
    m_C.SetConfig("KelvAdv.conf", "SvpnNode", "MaxPackgeSize", "10");
    ASSERT_TRUE(m_C.Start());
    RawDevice dev(m_C.Port());
    ASSERT_TRUE(dev.Connected());
    ASSERT_TRUE(dev.Send(Push(1, USER_DOC)));
    ASSERT_EQ(dev.Read(74, 10000).size(), 74u) << "the good push is answered";
    ASSERT_EQ(m_C.Count("select count(*) from " + Table("svpnuser")), 1);

    auto deep = [](size_t levels)
    {
        std::string d = "<content>";
        for (size_t i = 0; i < levels; ++i)
            d += "<svpnuser>";
        for (size_t i = 0; i < levels; ++i)
            d += "</svpnuser>";
        return d + "</content>";
    };
    std::string entities = "<?xml version=\"1.0\"?><!DOCTYPE content [<!ENTITY a \"aaaaaaaaaaaaaaaa\">";
    for (char c = 'b'; c <= 'k'; ++c)
        entities += std::string("<!ENTITY ") + c + " \"" + std::string(10, '&') + "\">";
    entities += "]><content><svpnuser><user id=\"2\" name=\"&k;&k;&k;\" grpid=\"1\"/></svpnuser></content>";
    std::string bigAttr = "<content><svpnuser><user id=\"3\" grpid=\"1\" name=\"" +
                          std::string(8 * 1024 * 1024, 'x') + "\"/></svpnuser></content>";
    ASSERT_LE(bigAttr.size() + 78, 10u * 1024 * 1024);

    const std::pair<const char*, std::string> cases[] = {
        {"10,000 levels", deep(10000)},
        {"200,000 levels", deep(200000)},
        {"entity definitions", entities},
        {"8 MiB attribute", bigAttr},
    };
    for (const auto& [what, doc] : cases)
    {
        long before = VmHwmKiB(m_C.Pid());
        auto start = Clock::now();
        ASSERT_TRUE(dev.Send(Push(1, doc) + KeepAlive())) << what;
        // Refused (no push reply) or stored (74 bytes): either way the keepalive behind it is answered.
        std::string replies = dev.Read(74 + 46, 5000);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        ASSERT_TRUE(replies.size() == 46 || replies.size() == 120) << what << ": " << replies.size();
        EXPECT_LT(seconds, 1.0) << what;
        long after = VmHwmKiB(m_C.Pid());
        EXPECT_LT(after - before, 64 * 1024) << what << ": peak grew by " << (after - before) << " KiB";
        ASSERT_TRUE(m_C.IsRunning()) << what;
        printf("push %-20s %6.3f s  peak +%ld KiB  %s\n", what, seconds, after - before,
               replies.size() == 120 ? "answered" : "refused");
    }
    // The deep documents never reached the tables; the others replaced them with what parsed.
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("svpnuser") + " where length(name) > 1023"), 0);
    EXPECT_EQ(m_C.Stop(), 0);
}

// Heads whose lengths lie (0, 41, the maximum + 1, 2^31, 2^32-1) and lengths that are right but sit
// on the wrong type, between good records: only the good records are answered and stored.
TEST_F(HostileInputE2E, LyingLengthsBetweenGoodRecordsLoseNothingGood)
{
    ASSERT_TRUE(m_C.Start());
    auto devPtr = std::make_unique<RawDevice>(m_C.Port());
    RawDevice& dev = *devPtr;
    ASSERT_TRUE(dev.Connected());
    ASSERT_TRUE(dev.Send(Push(1, USER_DOC)));
    ASSERT_EQ(dev.Read(74, 10000).size(), 74u);

    const uint32_t maxLen = 5u * 1048576; // MaxPackgeSize of a fresh install
    std::string stream;
    int keepalives = 0, alarms = 0;
    auto alarm = [&](int32_t type)
    {
        std::string r = Head(4, 5166);
        r.resize(5166, '\0');
        Put32(r, 42, static_cast<uint32_t>(type));
        std::string text = "alarm " + std::to_string(alarms + 1);
        std::memcpy(&r[46], text.data(), text.size());
        return r;
    };
    for (uint32_t lie : {0u, 41u, maxLen + 1, 0x80000000u, 0xFFFFFFFFu})
    {
        stream += Head(4, lie) + KeepAlive();
        ++keepalives;
        stream += alarm(3);
        ++alarms;
    }
    // The right length on a record of another type, and ranges at their edges (-1, 13 refused).
    stream += Head(4, 270) + std::string(270 - 42, '\0');
    for (int32_t type : {-1, 0, 12, 13})
    {
        std::string r = alarm(type);
        stream += r;
        if (type >= 0 && type <= 12)
            ++alarms;
    }
    stream += KeepAlive();
    ++keepalives;
    ASSERT_TRUE(dev.Send(stream));
    std::string replies = dev.Read(46u * keepalives, 10000);
    EXPECT_EQ(replies.size(), 46u * keepalives);
    // The last partial insert batch goes in when the connection's record task ends.
    devPtr.reset();
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("alarm_log"), alarms, 20000));
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("alarm_log")), alarms);
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

// 10,000 good records with about 1,000 garbage blobs between them: every good record stored once.
// This once hung: the connection thread went back to waiting for the ring's space event after a
// receive that had found room, while the record task, having read everything, waited for the rest of
// a wrapped 5166-byte record.
TEST_F(HostileInputE2E, GarbageBlobsBetweenTenThousandRecords)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start());
    int code = 0;
    auto r = m_C.RunDevsim({"--devices", "1", "--count", "10000", "--garbage", "0.1", "--seed", "11", "--seq",
                            "--mix", "admin=1,alarm=1"},
                           &code);
    ASSERT_EQ(code, 0) << r["_output"];
    long long admin = atoll(r["sent.admin"].c_str()), alarm = atoll(r["sent.alarm"].c_str());
    EXPECT_GE(atoll(r["sent.garbage_runs"].c_str()), 900);
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("alarm_log"), alarm, 30000));
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("adt_log"), admin, 30000));
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("alarm_log")), alarm);
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("adt_log")), admin);
    EXPECT_EQ(m_C.Count("select count(distinct message) from " + Table("adt_log")), admin);
    EXPECT_EQ(m_C.Stop(), 0);
}

// 2,000 good records with about 200 garbage blobs between them: every good record stored once.
TEST_F(HostileInputE2E, GarbageBlobsBetweenRecords)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start());
    int code = 0;
    auto r = m_C.RunDevsim({"--devices", "1", "--count", "2000", "--garbage", "0.1", "--seed", "11", "--seq",
                            "--mix", "admin=1,alarm=1"},
                           &code);
    ASSERT_EQ(code, 0) << r["_output"];
    long long admin = atoll(r["sent.admin"].c_str()), alarm = atoll(r["sent.alarm"].c_str());
    EXPECT_GE(atoll(r["sent.garbage_runs"].c_str()), 150);
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("alarm_log"), alarm, 30000));
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("adt_log"), admin, 30000));
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("alarm_log")), alarm);
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("adt_log")), admin);
    EXPECT_EQ(m_C.Count("select count(distinct message) from " + Table("adt_log")), admin);
    EXPECT_EQ(m_C.Stop(), 0);
}

// The info query listens on 127.0.0.1 only; 100 clients that connect and never ask do not hold up
// the device port.
TEST_F(HostileInputE2E, InfoQueryOnlyOnLoopbackAndSlowClientsDoNotStallIntake)
{
    ASSERT_TRUE(m_C.Start());
    auto connectTo = [&](const char* address)
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(m_C.InfoPort()));
        inet_pton(AF_INET, address, &a.sin_addr);
        bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        if (!ok)
        {
            close(s);
            return -1;
        }
        return s;
    };
    int s = connectTo("127.0.0.1");
    EXPECT_GE(s, 0);
    if (s >= 0)
        close(s);
    // Another loopback address of this machine: nothing listens there.
    EXPECT_EQ(connectTo("127.0.0.2"), -1);

    int code = 0;
    auto runIngest = [&]
    {
        auto start = Clock::now();
        auto r = m_C.RunDevsim({"--devices", "1", "--count", "5000", "--mix", "keepalive=1,sys=1"}, &code);
        EXPECT_EQ(code, 0) << r["_output"];
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double alone = runIngest();
    std::vector<int> slow;
    for (int i = 0; i < 100; ++i)
    {
        int c = connectTo("127.0.0.1");
        if (c >= 0)
        {
            send(c, "INFO", 4, MSG_NOSIGNAL); // a request that never completes
            slow.push_back(c);
        }
    }
    EXPECT_EQ(slow.size(), 100u);
    double withSlow = runIngest();
    for (int c : slow)
        close(c);
    printf("ingest of 5000 records: %.3f s alone, %.3f s beside 100 slow info clients\n", alone, withSlow);
    // Timing on a shared machine is noisy: CI only catches a stall; the soak run measures the 5 %.
    EXPECT_LT(withSlow, alone * 1.5 + 0.5);
    EXPECT_EQ(m_C.Stop(), 0);
}

// Pushes under keys that name no device (or with a wrong digest) leave no document in the temporary
// directory while the connection lives: one connection cannot fill the disk with them.
TEST_F(HostileInputE2E, RefusedPushesLeaveNoDocuments)
{
    ASSERT_TRUE(m_C.Start());
    RawDevice dev(m_C.Port());
    ASSERT_TRUE(dev.Connected());
    const std::string doc = "<content>" + std::string(64 * 1024, ' ') + "</content>";
    std::string stream;
    for (int i = 0; i < 40; ++i)
    {
        std::string push = Push(1, doc);
        std::string key = Md5("no such device " + std::to_string(i));
        std::memcpy(&push[8], key.data(), 16);
        stream += push;
    }
    std::string wrongDigest = Push(0, doc);
    wrongDigest[46] = wrongDigest[46] == '0' ? '1' : '0';
    stream += wrongDigest + KeepAlive();
    ASSERT_TRUE(dev.Send(stream));
    ASSERT_EQ(dev.Read(46, 10000).size(), 46u) << "only the keepalive is answered";
    const std::string temp = m_C.Dir() + "/Kelv/Temp";
    int xml = 0;
    for (const std::string& f : platform::ListDirectory(temp, "*.xml", true))
    {
        (void)f;
        ++xml;
    }
    EXPECT_EQ(xml, 0);
    EXPECT_EQ(m_C.Stop(), 0);
}
