// Hostile input against the real collector: pushes built to exhaust the parser or the memory, heads
// whose lengths lie, garbage between good records, and the info query's exposure. Each case ends with
// the collector still answering and with exactly the good records stored.
#include "CollectorHarness.h"

#include "platform/FileSystem.h"
#include "core/Utilities.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iconv.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
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

std::string HexUpper(const std::string& raw)
{
    std::string h = Hex(raw);
    for (char& c : h)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return h;
}

// The GBK text a device's UTF-8 text should be stored as, worked out character by character with the
// platform's converter: a field ends at its first NUL, and a character GBK cannot hold becomes '?'.
std::string ExpectedGbk(std::string utf8)
{
    utf8 = utf8.substr(0, utf8.find('\0'));
    iconv_t cd = iconv_open("GBK", "UTF-8");
    std::string out;
    for (size_t i = 0; i < utf8.size();)
    {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool whole = n > 0 && i + n <= utf8.size();
        for (size_t k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        if (!whole)
        {
            // A byte that starts no whole character (one cut off by the end of its field, or one followed
            // by something else) is one '?', and what follows it is read afresh.
            out += '?';
            if (i + n > utf8.size())
                break;
            ++i;
            continue;
        }
        char in[4], buf[8];
        std::memcpy(in, &utf8[i], n);
        char* ip = in;
        char* op = buf;
        size_t il = n, ol = sizeof(buf);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1))
            out += '?';
        else
            out.append(buf, static_cast<size_t>(op - buf));
        i += n;
    }
    iconv_close(cd);
    return out;
}

// UTF-8 of every GBK character whose trail byte is `trail` (an escape character in SQL and in the
// loader when taken alone).
std::vector<std::string> GbkCharsWithTrail(unsigned char trail, size_t want)
{
    std::vector<std::string> found;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    for (int lead = 0x81; lead <= 0xFE && found.size() < want; lead += 7)
    {
        char in[2] = {static_cast<char>(lead), static_cast<char>(trail)}, buf[8];
        char* ip = in;
        char* op = buf;
        size_t il = 2, ol = sizeof(buf);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1))
            found.emplace_back(buf, static_cast<size_t>(op - buf));
    }
    iconv_close(cd);
    return found;
}

// An XML attribute value: markup characters as entities, control characters as character references
// (a literal tab or line end in an attribute is normalised to a space by any XML parser).
std::string XmlAttr(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
    {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (c < 0x20)
            out += "&#" + std::to_string(c) + ";";
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string Columns(CollectorHarness& c, const std::string& db)
{
    return c.Query(
        "select group_concat(concat_ws(':', table_name, ordinal_position, column_name, column_type, "
        "ifnull(character_set_name, '-'), is_nullable) order by table_name, ordinal_position "
        "separator ' ') from information_schema.columns where table_schema = '" +
        db + "'");
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
    void GarbageBetweenRecordsStoresEveryGoodOne(int count, long long minGarbageRuns);
    // Writes `text` to a file of the install tree; its path.
    std::string WriteFile(const std::string& name, const std::string& text)
    {
        std::string path = m_C.Dir() + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // devsim sends the scripted records (after pushing the given documents, or its own).
    std::map<std::string, std::string> RunScript(const std::vector<std::string>& lines, int* code,
                                                 const std::string& adminDoc = "",
                                                 const std::string& userDoc = "")
    {
        std::string script;
        for (const std::string& l : lines)
            script += l + "\n";
        std::vector<std::string> args = {"--records", WriteFile("script.txt", script), "--reply-timeout",
                                         "30"};
        if (!adminDoc.empty())
            args.insert(args.end(), {"--admin-doc", WriteFile("admin.xml", adminDoc)});
        if (!userDoc.empty())
            args.insert(args.end(), {"--user-doc", WriteFile("user.xml", userDoc)});
        return m_C.RunDevsim(args, code);
    }
    CollectorHarness m_C;
};
} // namespace

// Pushes made to exhaust the parser: deep nesting (10,000 and 200,000 levels, and 200,000 hidden
// behind a quote), 100,000 attributes on one element, nested entity definitions, a 10 MiB attribute
// (a record as large as the receive ring). Each is refused or
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
    // The largest record the configuration allows, as large as the receive ring: it fills the ring.
    const std::string head = "<content><svpnuser><user id=\"3\" grpid=\"1\" name=\"",
                      tail = "\"/></svpnuser></content>";
    std::string bigAttr = head + std::string(10u * 1024 * 1024 - 78 - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(Push(1, bigAttr).size(), 10u * 1024 * 1024);

    // Levels hidden from a reading that honours quotes where the parser does not ("<<" runs to the
    // first '>'), and one element with more attributes than any directory row.
    std::string hidden = "<content><<x\">";
    for (int i = 0; i < 200000; ++i)
        hidden += "<svpnuser>";
    std::string attributes = "<content><svpnuser><user";
    for (int i = 0; i < 100000; ++i)
        attributes += " a" + std::to_string(i) + "=''";
    attributes += "/></svpnuser></content>";

    const std::pair<const char*, std::string> cases[] = {
        {"10,000 levels", deep(10000)},    {"200,000 levels", deep(200000)},
        {"200,000 hidden levels", hidden}, {"100,000 attributes", attributes},
        {"entity definitions", entities},  {"10 MiB attribute", bigAttr},
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
    // Not bounded by design: a parsed document of empty elements holds about 55 times its text.
    {
        std::string empty = "<content>";
        while (empty.size() < 8u * 1024 * 1024)
            empty += "<a/>";
        empty += "</content>";
        long before = VmHwmKiB(m_C.Pid());
        auto start = Clock::now();
        ASSERT_TRUE(dev.Send(Push(1, empty) + KeepAlive()));
        std::string replies = dev.Read(74 + 46, 30000);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        long after = VmHwmKiB(m_C.Pid());
        EXPECT_EQ(replies.size(), 120u) << "a push of 2 million empty elements is answered";
        EXPECT_LT(after - before, 1024 * 1024) << "peak grew by " << (after - before) << " KiB";
        printf("push %-20s %6.3f s  peak +%ld KiB (%.0f times the text)\n", "8 MiB empty elements", seconds,
               after - before, (after - before) * 1024.0 / static_cast<double>(empty.size()));
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

// `count` good records with about one garbage blob in ten between them: every good record stored once.
void HostileInputE2E::GarbageBetweenRecordsStoresEveryGoodOne(int count, long long minGarbageRuns)
{
    CollectorHarness& c = m_C;
    auto table = [&](const char* t) { return Table(t); };
    c.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(c.Start());
    int code = 0;
    auto r = c.RunDevsim({"--devices", "1", "--count", std::to_string(count), "--garbage", "0.1", "--seed",
                          "11", "--seq", "--mix", "admin=1,alarm=1"},
                         &code);
    ASSERT_EQ(code, 0) << r["_output"];
    long long admin = atoll(r["sent.admin"].c_str()), alarm = atoll(r["sent.alarm"].c_str());
    EXPECT_GE(atoll(r["sent.garbage_runs"].c_str()), minGarbageRuns);
    EXPECT_TRUE(c.WaitCount("select count(*) from " + table("alarm_log"), alarm, 30000));
    EXPECT_TRUE(c.WaitCount("select count(*) from " + table("adt_log"), admin, 30000));
    EXPECT_EQ(c.Count("select count(*) from " + table("alarm_log")), alarm);
    EXPECT_EQ(c.Count("select count(*) from " + table("adt_log")), admin);
    EXPECT_EQ(c.Count("select count(distinct message) from " + table("adt_log")), admin);
    EXPECT_EQ(c.Stop(), 0);
}

// This once hung: the connection thread went back to waiting for the ring's space event after a
// receive that had found room, while the record task, having read everything, waited for the rest of
// a wrapped 5166-byte record.
TEST_F(HostileInputE2E, GarbageBlobsBetweenTenThousandRecords)
{
    GarbageBetweenRecordsStoresEveryGoodOne(10000, 900);
}

TEST_F(HostileInputE2E, GarbageBlobsBetweenRecords)
{
    GarbageBetweenRecordsStoresEveryGoodOne(2000, 150);
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

// Every enforced range at min-1, min, max and max+1, sent by devsim's own encoder: a value inside is
// stored exactly (one row holding that value), a value outside is refused (no row; for a keepalive, no
// reply). User records go through data files and `load data`, the others through batched inserts.
TEST_F(HostileInputE2E, EveryEnforcedRangeAtItsEdgesEndToEnd)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start({"QUILLBARN_TEST_TIME_DIVISOR=60"}));
    const std::string db = m_C.DeviceDb(1);
    struct SRange
    {
        const char* m_Kind;   // script line up to the field
        const char* m_Field;  // field of the script line
        int64_t m_Min, m_Max; // the collector's enforced range
        const char* m_Table;  // where an accepted record lands
        const char* m_Column; // holding the field's value
    };
    // devsim's default directory has user "user1" in group 1 and administrator "admin".
    const std::string user = "user group=1 name=" + Hex("user1");
    const SRange ranges[] = {
        {"alarm", "type", 0, 12, "alarm_log", "type"},
        {"admin entity=0 result=0 name=61646d696e", "action", 0, 6, "adt_log", "adt_action"},
        {"admin action=1 result=0 name=61646d696e", "entity", 0, 15, "adt_log", "entity"},
        {"admin action=1 entity=0 name=61646d696e", "result", 0, 2, "adt_log", "action_result"},
        {"sys process=3", "type", 0, 4, "syslog", "lev"},
        {"sys type=1", "process", 0, 603, "syslog", "process"},
        {"v=1 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=2 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=3 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=1 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=2 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=3 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=1 action=1", "auth", 0, 511, "usrbasiclog", "auth_method"},
        {"v=3 action=1", "auth", 0, 511, "usrbasiclog", "auth_method"},
        {"v=1 action=3 sip=167838211 sport=80", "svc", 0, 3, "usrsvrlog", "svr_type"},
        {"v=3 action=3 sip=167838211 sport=80", "svc", 0, 3, "usrsvrlog", "svr_type"},
        {"v=2 action=3 sip=167838211 sport=80", "attr", 0, 1, "usrsvrlog", "svr_attr"},
        {"v=3 action=3 sip=167838211 sport=80", "attr", 0, 1, "usrsvrlog", "svr_attr"},
    };
    struct SCase
    {
        const SRange* m_Range;
        int64_t m_Value;
        std::string m_Tag;
        bool m_In;
    };
    std::vector<SCase> cases;
    std::vector<std::string> lines;
    for (const SRange& r : ranges)
        for (int64_t v : {r.m_Min - 1, r.m_Min, r.m_Max, r.m_Max + 1})
        {
            std::string tag = "range" + std::to_string(cases.size());
            std::string kind = r.m_Kind;
            if (kind.rfind("v=", 0) == 0)
                kind = user + " " + kind;
            lines.push_back(kind + " " + r.m_Field + "=" + std::to_string(v) + " msg=" + Hex(tag));
            cases.push_back({&r, v, tag, v >= r.m_Min && v <= r.m_Max});
        }
    // Keepalives: the device type decides whether the record is answered; the tag tells the replies apart.
    int tag = 1, keepalives = 0;
    for (int64_t v : {-1, 0, 2, 3})
    {
        bool in = v >= 0 && v <= 2;
        lines.push_back("keepalive devtype=" + std::to_string(v) + " tag=" + std::to_string(tag++) +
                        " reply=" + (in ? "1" : "0"));
        keepalives += in ? 1 : 0;
    }
    int code = 0;
    auto report = RunScript(lines, &code);
    // devsim fails on a missing, surplus or wrong reply: the refused keepalives got none.
    ASSERT_EQ(code, 0) << report["_output"];
    EXPECT_EQ(atoi(report["replies.keepalive"].c_str()), keepalives + 1);

    int accepted = 0;
    for (const SCase& c : cases)
        accepted += c.m_In ? 1 : 0;
    // Accepted records arrive by insert batches (at the connection's end) and by data files (switched out
    // after 10 s here): wait for all of them, then judge each record.
    auto stored = [&]
    {
        long long n = 0;
        for (const char* t : {"alarm_log", "adt_log", "syslog", "usrbasiclog"})
            n += m_C.Count("select count(*) from " + Table(t) + " where message like 'range%'");
        return n;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (stored() < accepted && Clock::now() < deadline)
        usleep(200 * 1000);
    usleep(2500 * 1000); // a late surplus row would show up here
    int refusedOk = 0, storedOk = 0;
    for (const SCase& c : cases)
    {
        const std::string where = " from " + Table(c.m_Range->m_Table) + " where message = '" + c.m_Tag + "'";
        long long rows = m_C.Count("select count(*)" + where);
        std::string what =
            std::string(c.m_Range->m_Kind) + " " + c.m_Range->m_Field + "=" + std::to_string(c.m_Value);
        if (!c.m_In)
        {
            EXPECT_EQ(rows, 0) << what << " was stored";
            refusedOk += rows == 0;
            continue;
        }
        EXPECT_EQ(rows, 1) << what;
        std::string value = m_C.Query("select `" + std::string(c.m_Range->m_Column) + "`" + where);
        EXPECT_EQ(value, std::to_string(c.m_Value)) << what;
        storedOk += rows == 1 && value == std::to_string(c.m_Value);
    }
    // A refused resource access stores nothing in usrbasiclog either.
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrbasiclog") + " b join " + Table("usrsvrlog") +
                        " s on s.record_id = b.record_id where b.message like 'range%'"),
              m_C.Count("select count(*) from " + Table("usrsvrlog") + " where message like 'range%'"));
    printf("[figures] ranges=%zu records=%zu stored_exactly=%d/%d refused=%d/%zu keepalives_answered=%d/4\n",
           std::size(ranges), cases.size(), storedOk, accepted, refusedOk, cases.size() - accepted,
           keepalives);
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

// Hostile texts (quotes, backslash, backtick, tab, line ends, the text \N, NUL, GBK characters whose
// trail byte is 0x5C, 4-byte UTF-8, texts filling their whole field) in alarm and administrator
// messages and administrator names (batched inserts), system and user messages and user names (data
// files and `load data`), and in the attributes of directory pushes. Every stored text is exactly the
// device's text in GBK, every row is there once, and the schema is unchanged.
TEST_F(HostileInputE2E, HostileTextsAreStoredExactlyOnEveryPath)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    const std::string db = m_C.DeviceDb(1);
    const std::string schemaBefore = Columns(m_C, db);
    ASSERT_FALSE(schemaBefore.empty());
    ASSERT_TRUE(m_C.Start({"QUILLBARN_TEST_TIME_DIVISOR=60"}));

    std::vector<std::string> tokens = {"'",  "\"",   "\\",   "`",    "\t",   "\n", "\r",    "\\N",
                                       "''", "\\'",  "'\\",  "\\\\", "\r\n", "%_", "\";--", "\\0",
                                       ",",  "\\\"", "\"\"", "'\"`", "<&>",  "\\t"};
    const std::vector<std::string> trail5c = GbkCharsWithTrail(0x5C, 8);
    ASSERT_GE(trail5c.size(), 4u);
    for (const std::string& g : trail5c)
        tokens.insert(tokens.end(), {g, g + "'", g + "\\"});
    tokens.push_back("\xF0\x9F\x98\x80");             // U+1F600, outside GBK
    tokens.push_back("\xF0\xA0\x80\x80\xE4\xB8\xAD"); // U+20000 then a GBK character
    std::vector<std::string> texts;
    for (const std::string& t : tokens)
        texts.insert(texts.end(), {t, "x" + t + "y", t + t, t + "z"});
    const size_t plainTexts = texts.size();

    // Names (no NUL: directory attributes cannot hold one) and the directory documents that define them.
    const size_t users = texts.size(), admins = texts.size();
    auto nameOf = [&](size_t i) { return texts[i] + "~" + std::to_string(i); };
    std::string userDoc = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<content><svpngroup>"
                          "<group id=\"1\" name=\"" +
                          XmlAttr("g'\\\"1\t") + "\" pgrpid=\"0\"/></svpngroup><svpnuser>";
    for (size_t i = 0; i < users; ++i)
        userDoc +=
            "<user id=\"" + std::to_string(i + 1) + "\" name=\"" + XmlAttr(nameOf(i)) + "\" grpid=\"1\"/>";
    // A user name that fills the record's 200-byte field.
    const std::string longName = std::string(99, '\'') + std::string(101, '\\');
    userDoc += "<user id=\"" + std::to_string(users + 1) + "\" name=\"" + XmlAttr(longName) +
               "\" grpid=\"1\"/></svpnuser></content>\n";
    std::string adminDoc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<velmofile><filecontent><CtrlManager>";
    for (size_t i = 0; i < admins; ++i)
        adminDoc += "<manager id=\"" + std::to_string(i + 1) + "\" name=\"" + XmlAttr(nameOf(i)) +
                    "\" pgrpid=\"1\"/>";
    adminDoc += "</CtrlManager><CtrlGroup><group id=\"1\" name=\"" + XmlAttr("a\\'\"`\n") +
                "\" pgrpid=\"0\"/></CtrlGroup></filecontent></velmofile>\n";

    // Messages: a tag, then the hostile text. Then texts with a NUL inside and texts filling the field.
    std::vector<std::string> messages;
    for (size_t i = 0; i < plainTexts; ++i)
        messages.push_back("m" + std::to_string(i) + "|" + texts[i]);
    auto fill = [](std::string head, const std::string& unit, size_t width)
    {
        while (head.size() + unit.size() <= width)
            head += unit;
        return head + std::string(width - head.size(), '\\');
    };
    size_t n = messages.size();
    auto tag = [&] { return "m" + std::to_string(n++) + "|"; };
    messages.push_back(tag() + "ab" + std::string(1, '\0') + "cd");
    messages.push_back(tag() + std::string(1, '\0') + "'");
    messages.push_back(fill(tag(), "'", 512));
    messages.push_back(fill(tag(), "\\", 512));
    messages.push_back(fill(tag(), trail5c[0], 512));
    messages.push_back(fill(tag(), "\xF0\x9F\x98\x80", 512));
    messages.push_back(fill(tag(), "\\N", 512));
    std::string cut = fill(tag(), "a", 511);
    messages.push_back(cut.substr(0, 511) + "\xE4"); // a 3-byte character cut by the field's end
    const size_t msgCount = messages.size();

    std::vector<std::string> lines;
    for (const std::string& m : messages)
    {
        lines.push_back("alarm type=1 msg=" + Hex(m + (m.size() == 512 ? fill("", "`", 5120 - 512) : "")));
        lines.push_back("sys type=1 process=2 msg=" + Hex(m));
    }
    for (size_t i = 0; i < admins; ++i)
        lines.push_back("admin action=1 entity=2 result=0 name=" + Hex(nameOf(i)) +
                        " msg=" + Hex(messages[i]));
    for (size_t i = 0; i < users; ++i)
        lines.push_back("user v=" + std::to_string(1 + i % 3) + " group=1 action=1 name=" + Hex(nameOf(i)) +
                        " msg=" + Hex(messages[i]));
    lines.push_back("user v=3 group=1 action=0 name=" + Hex(longName) +
                    " msg=" + Hex(messages[msgCount - 3]));
    int code = 0;
    auto report = RunScript(lines, &code, adminDoc, userDoc);
    ASSERT_EQ(code, 0) << report["_output"];
    ASSERT_EQ(report["replies.push"], "2");

    const std::pair<const char*, size_t> want[] = {
        {"alarm_log", msgCount}, {"syslog", msgCount}, {"adt_log", admins}, {"usrbasiclog", users + 1}};
    for (const auto& [table, rows] : want)
        EXPECT_TRUE(
            m_C.WaitCount("select count(*) from " + Table(table), static_cast<long long>(rows), 60000))
            << table;
    usleep(2500 * 1000); // a late surplus row would show up here
    for (const auto& [table, rows] : want)
        EXPECT_EQ(m_C.Count("select count(*) from " + Table(table)), static_cast<long long>(rows)) << table;

    auto gbkHex = [&](const std::string& column, const std::string& table, const std::string& where)
    {
        return m_C.Query("select hex(convert(" + column + " using gbk)) from " + Table(table) + " where " +
                         where);
    };
    int checked = 0, wrong = 0;
    auto check = [&](const std::string& got, const std::string& text, const std::string& what)
    {
        ++checked;
        std::string expect = HexUpper(ExpectedGbk(text));
        if (got != expect)
        {
            ++wrong;
            {
                size_t at = 0;
                while (at < got.size() && at < expect.size() && got[at] == expect[at])
                    ++at;
                ADD_FAILURE() << what << ": sent " << Hex(text).substr(0, 200) << "\n stored   "
                              << got.substr(at / 2 * 2, 80) << "\n expected " << expect.substr(at / 2 * 2, 80)
                              << " (from byte " << at / 2 << ")";
            }
        }
    };
    for (size_t i = 0; i < msgCount; ++i)
    {
        const std::string m = messages[i];
        const std::string like = "message like '" + m.substr(0, m.find('|') + 1) + "%'";
        std::string alarmText = m + (m.size() == 512 ? fill("", "`", 5120 - 512) : "");
        check(gbkHex("message", "alarm_log", like), alarmText, "alarm message " + std::to_string(i));
        check(gbkHex("message", "syslog", like), m, "system message " + std::to_string(i));
    }
    for (size_t i = 0; i < admins; ++i)
    {
        const std::string id = std::to_string(i + 1);
        check(gbkHex("Name", "admin", "id = " + id), nameOf(i), "directory admin name " + id);
        check(gbkHex("adt_name", "adt_log", "adt_id = " + id), nameOf(i), "admin log name " + id);
        check(gbkHex("message", "adt_log", "adt_id = " + id), messages[i], "admin log message " + id);
    }
    for (size_t i = 0; i < users; ++i)
    {
        const std::string id = std::to_string(i + 1);
        check(gbkHex("name", "svpnuser", "id = " + id), nameOf(i), "directory user name " + id);
        check(gbkHex("user_name", "usrbasiclog", "user_id = " + id), nameOf(i), "user log name " + id);
        check(gbkHex("message", "usrbasiclog", "user_id = " + id), messages[i], "user log message " + id);
    }
    // The directory keeps the 200-byte name whole; the collector's user cache holds names of up to 100
    // characters, so the record's user is taken as a new one (negative id) but its name is kept whole.
    check(gbkHex("name", "svpnuser", "id = " + std::to_string(users + 1)), longName,
          "directory long user name");
    const std::string longTag =
        "message like '" + messages[msgCount - 3].substr(0, messages[msgCount - 3].find('|') + 1) + "%'";
    check(gbkHex("user_name", "usrbasiclog", longTag), longName, "user log long name");
    check(gbkHex("message", "usrbasiclog", longTag), messages[msgCount - 3],
          "user log message of the long name");
    check(gbkHex("name", "svpngroup", "id = 1"), "g'\\\"1\t", "directory group name");
    check(gbkHex("name", "admingroup", "id = 1"), "a\\'\"`\n", "directory admin group name");

    EXPECT_EQ(Columns(m_C, db), schemaBefore) << "the device database's schema changed";
    printf("[figures] hostile_texts=%zu distinct (%zu tokens incl. %zu GBK trail-0x5C characters) "
           "fields_checked=%d wrong=%d rows alarm=%zu syslog=%zu adt_log=%zu usrbasiclog=%zu\n",
           texts.size() + (msgCount - plainTexts) + 1, tokens.size(), trail5c.size(), checked, wrong,
           msgCount, msgCount, admins, users + 1);
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

// Upload user names that try to leave the upload tree ("../", "..", "/", empty, "$2E$2E", 300 bytes, a
// NUL) and a symbolic link planted where a user's directory would be: every file the collector writes
// for an upload lies in a plain directory below the upload root, nothing lands behind the link, and the
// collector still answers the probe. The name mapping itself is checked on 100,000 random names.
TEST_F(HostileInputE2E, UploadNamesNeverLeaveTheUploadRoot)
{
    // In-process: the mapping of user names to directory names is one to one and gives plain names.
    std::mt19937 rng(7);
    const std::string alphabet = std::string("./\\$2Ee0aZ~ %\x7f\xff\xe4\xb8\xad") + std::string(1, '\0');
    std::map<std::string, std::string> seen;
    int collisions = 0, unsafe = 0;
    for (int i = 0; i < 100000; ++i)
    {
        std::string name;
        size_t len = 1 + rng() % 300;
        for (size_t k = 0; k < len; ++k)
            name += alphabet[rng() % alphabet.size()];
        name = name.substr(0, name.find('\0')); // the record's field ends at a NUL
        std::string mapped = EscapeFileName(name.c_str());
        for (char c : mapped)
            unsafe += !(isalnum(static_cast<unsigned char>(c)) || c == '$');
        unsafe += !name.empty() && (mapped.empty() || mapped == "." || mapped == "..");
        auto [it, fresh] = seen.emplace(mapped, name);
        collisions += !fresh && it->second != name;
    }
    EXPECT_EQ(collisions, 0);
    EXPECT_EQ(unsafe, 0);

    ASSERT_TRUE(m_C.Start());
    const std::string root = m_C.Dir() + "/htdocs/UploadFiles";
    const std::string db = m_C.DeviceDb(1);
    char outsideTemplate[] = "/tmp/qb-outside-XXXXXX";
    ASSERT_NE(mkdtemp(outsideTemplate), nullptr);
    const std::string outside = outsideTemplate;
    std::filesystem::create_directories(root + "/" + db + "/2024-05");
    std::filesystem::create_directory_symlink(outside, root + "/" + db + "/2024-05/user1");

    std::string file(100000, '\0');
    for (char& c : file)
        c = static_cast<char>(rng());
    const std::string upload = WriteFile("upload.bin", file);
    const std::vector<std::string> names = {
        "hex:2e2e2f",      "..",   "/", "hex:", "$2E$2E", std::string(300, 'n'), "hex:61006262", "user1",
        "../../../../tmp", "user2"};
    int accepted = 0;
    for (const std::string& n : names)
    {
        int code = 0;
        auto r = m_C.RunDevsim({"--upload", upload, "--upload-user", n, "--time", "2024-05-06 07:08:09",
                                "--reply-timeout", "20"},
                               &code);
        accepted += r["result"] == "ok";
        printf("upload user %-14.14s: %s %s\n", n.c_str(), r["result"].c_str(), r["error"].c_str());
        ASSERT_TRUE(m_C.IsRunning()) << n;
    }
    int probe = 0;
    m_C.RunDevsim({"--probe"}, &probe);
    EXPECT_EQ(probe, 0) << "the collector answers the probe";

    // Behind the link: nothing. In the whole install tree: every upload file (its stamp name) lies in a
    // real directory <root>/<db>/2024-05/<plain name>/.
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "a file was written behind the planted link";
    int uploads = 0, misplaced = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(
             m_C.Dir(), std::filesystem::directory_options::skip_permission_denied);
         it != std::filesystem::recursive_directory_iterator(); ++it)
    {
        std::error_code ec;
        if (it->is_symlink(ec) || !it->is_regular_file(ec))
            continue;
        const std::string path = it->path().string();
        const std::string name = it->path().filename().string();
        if (name.rfind("20240506070809", 0) != 0)
            continue;
        ++uploads;
        const std::string dir = it->path().parent_path().string();
        const std::string expectDir = root + "/" + db + "/2024-05/";
        bool ok = dir.rfind(expectDir, 0) == 0 && dir.find('/', expectDir.size()) == std::string::npos &&
                  !std::filesystem::is_symlink(dir) &&
                  std::filesystem::canonical(path).string().rfind(std::filesystem::canonical(root).string(),
                                                                  0) == 0;
        misplaced += !ok;
        EXPECT_TRUE(ok) << path;
    }
    std::filesystem::remove_all(outside);
    // devsim also fails an upload the collector stored when the stored-file record names the user as the
    // record's field holds it (cut at 100 bytes or at the NUL): those files are counted, not refused.
    EXPECT_GE(uploads, accepted);
    EXPECT_LE(uploads, static_cast<int>(names.size()) - 2)
        << "the empty name and the linked user are refused";
    printf(
        "[figures] random_names=100000 collisions=%d unsafe=%d uploads=%zu accepted=%d files=%d misplaced=%d "
        "behind_link=0\n",
        collisions, unsafe, names.size(), accepted, uploads, misplaced);
    EXPECT_EQ(m_C.Stop(), 0);
}

namespace
{
// Text-like bytes (words of a small vocabulary with a stray byte now and then), so that LZO shrinks
// every block and devsim sends them compressed.
std::string WordyBytes(size_t n, std::mt19937& rng)
{
    std::vector<std::string> words;
    for (int i = 0; i < 64; ++i)
    {
        std::string w;
        for (size_t k = 0, len = 3 + rng() % 6; k < len; ++k)
            w += static_cast<char>('a' + rng() % 26);
        words.push_back(w);
    }
    std::string out;
    while (out.size() < n)
    {
        out += words[rng() % words.size()];
        out += rng() % 9 == 0 ? static_cast<char>(rng()) : ' ';
    }
    out.resize(n);
    return out;
}

struct SUploadItem
{
    uint64_t m_No = 0, m_Offset = 0, m_Stated = 0, m_Wire = 0;
    bool m_Fits = false;
};

// devsim's upload.item.I lines: "no,offset,stated size,wire bytes,fits".
std::vector<SUploadItem> UploadItems(std::map<std::string, std::string>& report)
{
    std::vector<SUploadItem> items;
    for (size_t i = 0; report.count("upload.item." + std::to_string(i)); ++i)
    {
        SUploadItem it;
        int fits = 0;
        unsigned long long no, off, stated, wire;
        if (sscanf(report["upload.item." + std::to_string(i)].c_str(), "%llu,%llu,%llu,%llu,%d", &no, &off,
                   &stated, &wire, &fits) == 5)
            it = {no, off, stated, wire, fits == 1};
        items.push_back(it);
    }
    return items;
}
} // namespace

// Hostile blocks of audit-file uploads: block numbers 0 and 2^32-1, duplicates, blocks out of order,
// blocks past the declared size (one across its end, one right behind it), truncated, bit-flipped and
// over-expanding LZO1B data (1 MiB behind a 4 KiB statement), stated sizes above the block size or
// past the record. The collector refuses exactly the blocks that do not fit (as devsim judges them
// independently), never lets an upload file grow past the size its begin declared (checked on every
// file of the upload tree while the transfers are still open), counts no refused block as received,
// stores a good upload after the hostile ones byte-identical, answers the probe and stores ordinary
// records afterwards.
TEST_F(HostileInputE2E, HostileUploadBlocksAreBounded)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start());
    const auto started = Clock::now();
    const std::string root = m_C.Dir() + "/htdocs/UploadFiles";
    const uint64_t bs = 4096;
    std::mt19937 rng(12);
    // F1: nine whole blocks and one of 3136 bytes; F2: three whole blocks.
    const std::string f1 = WordyBytes(40000, rng), f2 = WordyBytes(3 * bs, rng);
    const std::string f1Path = WriteFile("f1.bin", f1), f2Path = WriteFile("f2.bin", f2);

    std::map<std::string, uint64_t> declared; // every upload file -> the size its begin declared
    auto walk = [&]
    {
        std::vector<std::string> files;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (!it->is_symlink() && it->is_regular_file())
                files.push_back(it->path().string());
        return files;
    };
    auto adopt = [&](uint64_t size)
    {
        std::string fresh;
        for (const std::string& f : walk())
            if (declared.emplace(f, size).second)
                fresh = f;
        return fresh;
    };
    uint64_t worstOver = 0;
    int oversized = 0, checkedFiles = 0;
    auto checkBounded = [&]
    {
        for (const std::string& f : walk())
        {
            ASSERT_TRUE(declared.count(f)) << "an upload file nobody began: " << f;
            struct stat st
            {
            };
            ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
            const uint64_t limit = declared[f];
            const uint64_t size = static_cast<uint64_t>(st.st_size);
            const uint64_t used = static_cast<uint64_t>(st.st_blocks) * 512;
            const uint64_t over = std::max(size > limit ? size - limit : 0,
                                           used > (limit + 4095) / 4096 * 4096 ? used - limit : 0);
            worstOver = std::max(worstOver, over);
            oversized += over > 0;
            ++checkedFiles;
            EXPECT_EQ(over, 0u) << f << ": " << size << " bytes (" << used << " on disk), declared " << limit;
        }
    };
    auto upload = [&](const std::string& path, const std::string& blocks, bool finish,
                      std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--upload",         path,     "--block-size",
                                         std::to_string(bs), "--time", "2024-05-06 07:08:09",
                                         "--reply-timeout",  "30"};
        if (!blocks.empty())
            args.insert(args.end(), {"--upload-blocks", blocks});
        if (finish)
            args.push_back("--upload-finish");
        args.insert(args.end(), extra.begin(), extra.end());
        int code = -1;
        auto r = m_C.RunDevsim(args, &code);
        EXPECT_EQ(code, 0) << r["_output"];
        EXPECT_EQ(r["result"], "ok") << r["_output"];
        return r;
    };
    auto region = [](const std::string& file, uint64_t at, uint64_t n)
    { return at < file.size() ? file.substr(at, n) : std::string(); };

    // A1, left open. Regions of F1: 0 truncated; 1 and 7 bit-flipped; 2 expands past its statement; 3 a
    // 1 MiB expansion stated as 4 KiB; 4 twice; 6 before 5; 8 stated above the block size, with a
    // compressed size past the record, raw and short; 9 carries 4096 bytes where 3136 are left; 10, 11
    // and 2^32-1 lie past the end.
    const std::string a1Script =
        "4294967295,4294967295:src=4:lzo,0:lzo:trunc,1:lzo:flip=1,2:lzo:declare=1024,"
        "3:len=1048576:lzo:declare=4096,4,4,6,5,7:lzo:flip=6,8:lzo:declare=8192,"
        "8:lzo:csize=1000000,8:raw:len=100:declare=4096,9:src=0,10:src=0,11:src=2:lzo";
    auto a1 = upload(f1Path, a1Script, false);
    auto a1Items = UploadItems(a1);
    ASSERT_EQ(a1Items.size(), 17u) << a1["_output"];
    const std::string a1File = adopt(f1.size());
    ASSERT_FALSE(a1File.empty());
    checkBounded();
    {
        const std::string got = qbtest::ReadFile(a1File);
        EXPECT_EQ(got.size(), f1.size());
        bool region1Written = false;
        for (uint64_t b = 0; b < 10; ++b)
        {
            bool fitting = false;
            for (const SUploadItem& it : a1Items)
                fitting |= it.m_No == b && it.m_Fits;
            const std::string here = region(got, b * bs, bs);
            const bool zero = here == std::string(here.size(), '\0');
            if (b == 4 || b == 5 || b == 6)
                EXPECT_TRUE(here == region(f1, b * bs, bs)) << "block " << b << " is not the file's";
            else if (b == 9)
                EXPECT_TRUE(here == f1.substr(0, here.size())) << "block 9 holds the first bytes it carried";
            else if (!fitting)
                EXPECT_TRUE(zero) << "a refused block wrote region " << b;
            else
                EXPECT_FALSE(zero) << "a fitting block left region " << b;
            region1Written |= b == 1 && fitting;
        }
        // The refused block 0 is the first one missing; up to block 4 when block 1 was refused too.
        EXPECT_EQ(a1["upload.script_end"], region1Written ? "1,5,0,1" : "1,5,0,4");
    }

    // A2, left open: F2 has three whole blocks; block 3 lies right behind its end, block 1 never comes.
    auto a2 = upload(f2Path, "3:src=0,3:src=0:lzo,2,0,0,4294967295:src=1", false);
    auto a2Items = UploadItems(a2);
    ASSERT_EQ(a2Items.size(), 6u) << a2["_output"];
    EXPECT_EQ(a2["upload.script_end"], "1,5,1,1");
    const std::string a2File = adopt(f2.size());
    ASSERT_FALSE(a2File.empty());
    checkBounded();
    {
        const std::string got = qbtest::ReadFile(a2File);
        EXPECT_TRUE(got == f2.substr(0, bs) + std::string(bs, '\0') + f2.substr(2 * bs))
            << "A2's file holds other bytes than its blocks 0 and 2 (" << got.size() << " bytes)";
    }

    // B: the same hostile blocks, then the file as usual on the same transfer; C: an ordinary upload
    // with blocks left out and repeated. Both land byte-identical.
    auto b = upload(f1Path, a1Script, true);
    const std::string bFile = adopt(f1.size());
    auto c = upload(f1Path, "", false, {"--skip-blocks", "2,5", "--repeat-blocks"});
    const std::string cFile = adopt(f1.size());
    checkBounded();
    int identical = 0;
    for (const std::string& f : {bFile, cFile})
    {
        ASSERT_FALSE(f.empty());
        const std::string got = qbtest::ReadFile(f);
        identical += got == f1;
        EXPECT_TRUE(got == f1) << f << " differs from the upload (" << got.size() << " bytes)";
    }
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrfileauditlog")), 2);
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrfileauditlog") +
                        " where filesize = 40000 and sha1code = '" + b["upload.sha1"] + "'"),
              2);

    // Still answering, still storing.
    int probe = -1;
    m_C.RunDevsim({"--probe"}, &probe);
    EXPECT_EQ(probe, 0) << "the collector answers the probe";
    int code = -1;
    auto rec = m_C.RunDevsim({"--devices", "1", "--count", "20", "--mix", "admin=1"}, &code);
    EXPECT_EQ(code, 0) << rec["_output"];
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("adt_log"), 20, 30000)) << rec["_output"];
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(m_C.Stop(), 0);

    // Every block devsim judged unfit was refused, each with its own warning, and no other; B repeats
    // A1's blocks.
    auto unfitOf = [](const std::vector<SUploadItem>& items)
    {
        return static_cast<int>(
            std::count_if(items.begin(), items.end(), [](const SUploadItem& it) { return !it.m_Fits; }));
    };
    const int hostile = static_cast<int>(2 * a1Items.size() + a2Items.size());
    const int unfit = 2 * unfitOf(a1Items) + unfitOf(a2Items);
    const std::string log = m_C.Log();
    auto occurrences = [&](const std::string& what)
    {
        int n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    };
    const int refused = occurrences("[DoWriteAuditFileData] Data Decompress Fail") +
                        occurrences("[DoWriteAuditFileData] File Offset") +
                        occurrences("[DoWriteAuditFileData] Block Data Size") +
                        occurrences("[DoWriteAuditFileData] Data Size");
    EXPECT_EQ(refused, unfit);
    const int clipped = occurrences("[DoWriteAuditFileData] Block Ends Past The File");
    EXPECT_EQ(clipped, 2) << "A1's and B's block 9";
    int flipsWritten = 0;
    for (const SUploadItem& it : a1Items)
        flipsWritten += (it.m_No == 1 || it.m_No == 7) && it.m_Fits;
    printf(
        "[figures] hostile_blocks=%d unfit=%d refused=%d clipped=%d flipped_blocks_that_still_decode=%d/2 "
        "upload_files=%zu size_checks=%d oversized=%d worst_bytes_over_declared=%llu stored_identical=%d/2 "
        "probe=%d seconds=%.1f\n",
        hostile, unfit, refused, clipped, flipsWritten, declared.size(), checkedFiles, oversized,
        static_cast<unsigned long long>(worstOver), identical, probe, seconds);
}
