// Reliability under load and under broken or hostile clients: the real collector, the test
// MariaDB, devsim and raw sockets. Every record devsim sends here carries "d<device>s<seq>" and
// seqcheck counts, per device database, what was stored: nothing may be missing or stored twice.
// The record mix stores one row per record (sys, alarm, admin, audit, logins, merging off),
// through both the data-file path and the SQL-batch path.
// Each test prints a FIGURES line. QB_SOAK=1 (scripts/soak.d/relload.sh) runs the long versions.
#include "CollectorHarness.h"

#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using qbtest::CollectorHarness;

namespace
{
// Kinds stored one row each, tagged: syslog and usrbasiclog (logins and logouts of the three
// versions) through data files; alarm_log and adt_log (admin and audit) through SQL batches.
// Resource accesses are left out: each is stored twice by design (usrbasiclog and usrsvrlog).
const char* const kMix = "sys=3,alarm=1,admin=1,audit=1,userv1=1,userv2=1,userv3=2";
// Only the SQL-batch kinds: they are stored when the connection ends, without the data-file delay.
const char* const kBatchMix = "alarm=1,admin=1,audit=1";
// Data files are switched out after a tenth of a minute instead of ten minutes.
const std::vector<std::string> kFast = {"QUILLBARN_TEST_TIME_DIVISOR=60"};

bool Soak()
{
    const char* v = getenv("QB_SOAK");
    return v && *v == '1';
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The collector process of this harness: the Quillbarn whose environment names its registry.
pid_t CollectorPid(const CollectorHarness& c)
{
    const std::string want = "QUILLBARN_REGISTRY=" + c.Dir() + "/registry.ini";
    DIR* d = opendir("/proc");
    pid_t found = -1;
    while (dirent* e = d ? readdir(d) : nullptr)
    {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        if (ReadText("/proc/" + std::string(e->d_name) + "/comm") != "Quillbarn\n")
            continue;
        std::string env = std::string(1, '\0') + ReadText("/proc/" + std::string(e->d_name) + "/environ");
        if (env.find(std::string(1, '\0') + want + std::string(1, '\0')) != std::string::npos)
            found = pid;
        if (found > 0)
            break;
    }
    if (d)
        closedir(d);
    return found;
}

long RssKiB(pid_t pid)
{
    std::string s = ReadText("/proc/" + std::to_string(pid) + "/status");
    size_t at = s.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(s.c_str() + at + 6);
}

// User plus system processor time of a process so far, in seconds.
double CpuSeconds(pid_t pid)
{
    std::string s = ReadText("/proc/" + std::to_string(pid) + "/stat");
    size_t at = s.rfind(')');
    if (at == std::string::npos)
        return -1;
    std::istringstream in(s.substr(at + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
        if (i == 14)
            utime = std::stoull(field);
        else if (i == 15)
            stime = std::stoull(field);
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

int OpenFds(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

int ConnectTo(int port, int rcvbuf = 0)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

// Milliseconds until the peer closes the connection (read returns 0 or fails), or -1 after timeoutMs.
int MsUntilClosed(int s, int timeoutMs)
{
    const double start = Now();
    char buf[256];
    for (;;)
    {
        int left = timeoutMs - int((Now() - start) * 1000);
        if (left <= 0)
            return -1;
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, left) > 0)
        {
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                return int((Now() - start) * 1000);
        }
    }
}

// The records of a devsim dump, split by the length in each head.
std::vector<std::string> SplitRecords(const std::string& stream)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at + 42 <= stream.size())
    {
        uint32_t len;
        std::memcpy(&len, stream.data() + at + 28, 4);
        if (len < 42 || at + len > stream.size())
            break;
        out.push_back(stream.substr(at, len));
        at += len;
    }
    return out;
}

bool SendAll(int s, const std::string& data)
{
    size_t done = 0;
    while (done < data.size())
    {
        ssize_t n = send(s, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

class ReliabilityLoad : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    }

    // Devices 1..n; 64 connections allowed; merging off so that every record is one row.
    void Prepare(int devices)
    {
        ASSERT_TRUE(m_C.Prepare(devices));
        m_C.SetConfig("KelvAdv.conf", "Network", "MaxConnection", "64");
        m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    }

    void Start(const std::vector<std::string>& env)
    {
        // 64 synchronised devices run up to a dozen SQL connections each (writer, import,
        // maintenance and one thread per report table); a test server's 300 are not enough.
        if (m_C.Count("select @@global.max_connections") < 1000)
            m_C.Query("set global max_connections = 1000");
        ASSERT_TRUE(m_C.Start(env));
        m_Pid = CollectorPid(m_C);
        ASSERT_GT(m_Pid, 0);
        // The harness's own probe of the port is a connection too: wait until it has left its slot,
        // or the 64th device may find all 64 taken.
        EXPECT_TRUE(qbtest::WaitUntil(40000, [&]
                                      { return m_C.Log().find("Release A SvpnNode") != std::string::npos; }));
    }

    // seqcheck over devices first..last; the "total" line's fields and the exit code.
    std::map<std::string, std::string> SeqCheck(int first, int last, const std::vector<std::string>& extra,
                                                int* code)
    {
        std::vector<std::string> argv = {qbtest::BinDir() + "/seqcheck"};
        for (int i = first; i <= last; ++i)
        {
            argv.push_back("--device");
            argv.push_back(std::to_string(i) + "=" + m_C.DeviceDb(i));
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string out;
        *code = qbtest::RunProgram(argv, {}, 300000, &out);
        std::map<std::string, std::string> total;
        size_t at = out.find("total ");
        std::istringstream in(at == std::string::npos ? "" : out.substr(at + 6));
        std::string kv;
        while (in >> kv)
            if (size_t eq = kv.find('='); eq != std::string::npos)
                total[kv.substr(0, eq)] = kv.substr(eq + 1);
        total["_output"] = out;
        return total;
    }

    // A device's data files are imported by its import task, which runs while the device is
    // connected: keep devices first..last connected (untagged records) until their queued files
    // have been switched out and loaded.
    // The slots of the previous connections are free only once their threads have ended and the
    // watcher has reaped them: a refused attempt is repeated.
    void ConnectForImport(int first, int last)
    {
        int code = 0;
        std::map<std::string, std::string> r;
        for (int attempt = 0; attempt < 10; ++attempt)
        {
            r = m_C.RunDevsim({"--devices", std::to_string(last - first + 1), "--first-index",
                               std::to_string(first), "--rate", "1", "--seconds", "14", "--mix", "alarm=1"},
                              &code);
            if (code == 0)
                break;
            sleep(3);
        }
        EXPECT_EQ(code, 0) << r["_output"];
    }

    // Occurrences of a text in the collector's log.
    size_t CountInLog(const std::string& text)
    {
        const std::string log = m_C.Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
            ++n;
        return n;
    }

    // Devices first..last connected and synchronised (directory pushed) for up to `seconds`,
    // sending a keepalive a second: while such a connection is open, records of the device on
    // other connections pass the synchronisation gate. Returns devsim's pid (kill it when done),
    // once every device's push has been taken; -1 on failure.
    pid_t HoldSynchronised(int first, int last, int seconds)
    {
        const std::string synced = "[OnMsg_SvpnNodeDataSyncSucc] Receive Sync Succeed Message!";
        const size_t before = CountInLog(synced);
        const int n = last - first + 1;
        pid_t pid = qbtest::Spawn({qbtest::BinDir() + "/devsim", "--port", std::to_string(m_C.Port()),
                                   "--quiet", "--devices", std::to_string(n), "--first-index",
                                   std::to_string(first), "--rate", "1", "--seconds", std::to_string(seconds),
                                   "--mix", "keepalive=1", "--reply-timeout", "60"},
                                  {}, m_C.Dir() + "/holder.out");
        if (pid > 0 && !qbtest::WaitUntil(60000, [&] { return CountInLog(synced) >= before + size_t(n); }))
        {
            kill(pid, SIGKILL);
            qbtest::WaitExit(pid, 10000);
            return -1;
        }
        return pid;
    }

    std::string InfoQuery()
    {
        std::string out;
        int code = qbtest::RunProgram({qbtest::BinDir() + "/infoqry", std::to_string(m_C.InfoPort())}, {},
                                      10000, &out);
        return code == 0 ? out : std::string();
    }

    // On a mismatch: where the rows went (per table, first devices) and what the collector logged.
    std::string Diagnose(int first, int last, const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = extra;
        args.push_back("--per-table");
        args.push_back("--no-check-table");
        int code = 0;
        std::string text = SeqCheck(first, last, args, &code)["_output"];
        std::istringstream log(m_C.Log());
        std::string line;
        std::map<std::string, int> errors;
        while (std::getline(log, line))
            if (line.find("[ERROR]") != std::string::npos || line.find("[WARN]") != std::string::npos)
            {
                size_t at = line.find("[TID=");
                at = at == std::string::npos ? 0 : line.find(']', at) + 1;
                std::string key;
                for (char ch : line.substr(at, 100))
                    if (!isdigit(static_cast<unsigned char>(ch)))
                        key += ch;
                ++errors[key];
            }
        for (const auto& kv : errors)
            text += std::to_string(kv.second) + "x " + kv.first + "\n";
        return text;
    }

    void Figures(const std::string& scenario, const std::string& text)
    {
        std::printf("FIGURES %s %s\n", scenario.c_str(), text.c_str());
        std::fflush(stdout);
        RecordProperty("figures", text);
    }

    CollectorHarness m_C;
    pid_t m_Pid = -1;
};
} // namespace

// 64 devices at 100 records/s each: every record stored once; the collector's resident memory
// does not keep growing once every device is connected (second 10 to the end of the stream).
TEST_F(ReliabilityLoad, SixtyFourDevicesLoseNothingAndMemoryStaysFlat)
{
    const int devices = 64, rate = 100, seconds = Soak() ? 60 : 20;
    Prepare(devices);
    Start(kFast);
    const long rssStart = RssKiB(m_Pid);
    std::map<std::string, std::string> report;
    int code = -1;
    const double t0 = Now();
    std::thread sender(
        [&]
        {
            report = m_C.RunDevsim({"--devices", std::to_string(devices), "--rate", std::to_string(rate),
                                    "--count", std::to_string(rate * seconds), "--seq", "--mix", kMix,
                                    "--reply-timeout", "60"},
                                   &code);
        });
    long rss10 = -1, rssEnd = -1, rssPeak = 0;
    while (Now() - t0 < seconds)
    {
        usleep(250000);
        long r = RssKiB(m_Pid);
        rssPeak = std::max(rssPeak, r);
        if (rss10 < 0 && Now() - t0 >= 10)
            rss10 = r;
        rssEnd = r;
    }
    sender.join();
    const double streamSeconds = Now() - t0;
    EXPECT_EQ(code, 0) << report["_output"];
    EXPECT_EQ(report["replies.keepalive"], report["sent.keepalive"]);

    ConnectForImport(1, devices);
    int check = -1;
    auto total = SeqCheck(1, devices, {"--expect", std::to_string(rate * seconds), "--wait", "90"}, &check);
    EXPECT_EQ(check, 0) << total["_output"] << Diagnose(1, 2, {"--expect", std::to_string(rate * seconds)});
    const double allStored = Now() - t0;
    EXPECT_EQ(total["missing"], "0");
    EXPECT_EQ(total["duplicates"], "0");
    const long growth = rssEnd - rss10;
    EXPECT_LE(growth, 32 * 1024) << "resident memory grew between second 10 and the end of the stream";
    Figures("load",
            "devices=64 rate=100/s seconds=" + std::to_string(seconds) + " sent=" + report["sent.records"] +
                " stored=" + total["D"] + " total_rows=" + total["T"] + " missing=" + total["missing"] +
                " duplicates=" + total["duplicates"] + " stream_s=" + std::to_string(streamSeconds) +
                " all_stored_s=" + std::to_string(allStored) + " rss_start_kib=" + std::to_string(rssStart) +
                " rss_10s_kib=" + std::to_string(rss10) + " rss_end_kib=" + std::to_string(rssEnd) +
                " rss_peak_kib=" + std::to_string(rssPeak) + " rss_growth_kib=" + std::to_string(growth));
    EXPECT_TRUE(m_C.IsRunning());
}

// Devices that reconnect every 500 records: nothing lost or doubled across the reconnections,
// and the collector's descriptors return to where they were.
// A connection's tasks wake on their stop request, so the old connection frees its slot at once
// (before that, a reconnecting device was refused for up to 30 s).
TEST_F(ReliabilityLoad, ReconnectingDevicesLoseNothingAndLeakNoDescriptors)
{
    const int devices = 32;
    const int perDevice = 100000 / devices + (100000 % devices ? 1 : 0); // 3125: 100,000 in all
    Prepare(devices);
    Start(kFast);
    sleep(1);
    const int fdBase = OpenFds(m_Pid);
    const double t0 = Now();
    int code = -1;
    auto report = m_C.RunDevsim({"--devices", std::to_string(devices), "--count", std::to_string(perDevice),
                                 "--reconnect-every", "500", "--seq", "--mix", kMix, "--reply-timeout", "60"},
                                &code);
    const double streamSeconds = Now() - t0;
    EXPECT_EQ(code, 0) << report["_output"];
    ConnectForImport(1, devices);
    int check = -1;
    auto total = SeqCheck(1, devices, {"--expect", std::to_string(perDevice), "--wait", "60"}, &check);
    EXPECT_EQ(check, 0) << total["_output"] << Diagnose(1, 2, {"--expect", std::to_string(perDevice)});
    int fdEnd = OpenFds(m_Pid);
    qbtest::WaitUntil(60000, [&] { return std::abs((fdEnd = OpenFds(m_Pid)) - fdBase) <= 2; });
    EXPECT_LE(std::abs(fdEnd - fdBase), 2) << "descriptors before " << fdBase << ", after " << fdEnd;
    Figures("reconnect", "devices=32 records=" + std::to_string(perDevice * devices) +
                             " connections=" + report["connections"] + " sent=" + report["sent.records"] +
                             " stored=" + total["D"] + " missing=" + total["missing"] + " duplicates=" +
                             total["duplicates"] + " stream_s=" + std::to_string(streamSeconds) +
                             " fd_base=" + std::to_string(fdBase) + " fd_end=" + std::to_string(fdEnd) +
                             " rss_kib=" + std::to_string(RssKiB(m_Pid)));
}

// 64 held connections: connections 65 to 70 are closed at once, the held devices lose nothing,
// and a slot freed by a device that leaves takes a new device within about five seconds (the
// watcher reaps ended connections every 5 s; this test runs at the real intervals).
// The newcomer is the device that left, connecting again: the device table holds at most 64
// devices, so a 65th could never be accepted. It sends only keepalives, so that the sequence
// count of device 1 stays that of its first connection.
TEST_F(ReliabilityLoad, ConnectionLimitRefusesExtrasAndFreesSlots)
{
    Prepare(64);
    Start({});
    const int heldCount = 400, shortCount = 60;
    int codeA = -1, codeB = -1;
    std::map<std::string, std::string> a, b;
    std::thread held(
        [&]
        {
            a = m_C.RunDevsim({"--devices", "63", "--first-index", "2", "--rate", "20", "--count",
                               std::to_string(heldCount), "--seq", "--mix", kBatchMix, "--reply-timeout",
                               "30"},
                              &codeA);
        });
    std::thread leaving(
        [&]
        {
            b = m_C.RunDevsim({"--devices", "1", "--rate", "10", "--count", std::to_string(shortCount),
                               "--seq", "--mix", kBatchMix},
                              &codeB);
        });
    // All 64 synchronised: each has recorded its connection in dev_info.
    std::string sum = "select 0";
    for (int i = 1; i <= 64; ++i)
        sum += " + (select count(*) > 0 from `" + m_C.DeviceDb(i) + "`.dev_info where ConnStat = 1)";
    EXPECT_TRUE(m_C.WaitCount(sum, 64, 30000)) << m_C.Query(sum);
    int worstMs = 0, refused = 0;
    for (int i = 0; i < 6; ++i)
    {
        int s = ConnectTo(m_C.Port());
        EXPECT_GE(s, 0);
        int ms = s < 0 ? 0 : MsUntilClosed(s, 3000);
        close(s);
        if (ms >= 0 && ms <= 1000)
            ++refused;
        worstMs = std::max(worstMs, ms < 0 ? 3000 : ms);
    }
    EXPECT_EQ(refused, 6) << "slowest close " << worstMs << " ms";
    leaving.join();
    EXPECT_EQ(codeB, 0) << b["_output"];
    const double left = Now();
    int codeC = -1;
    std::map<std::string, std::string> c;
    while (Now() - left < 15)
    {
        c = m_C.RunDevsim({"--devices", "1", "--first-index", "1", "--count", "50", "--mix", "keepalive=1"},
                          &codeC);
        if (codeC == 0)
            break;
        usleep(200000);
    }
    const double newcomerSeconds = Now() - left;
    EXPECT_EQ(codeC, 0) << c["_output"];
    EXPECT_LE(newcomerSeconds, 7.0) << "a freed slot took a new device only after this long";
    held.join();
    EXPECT_EQ(codeA, 0) << a["_output"];
    int c1 = -1, c2 = -1;
    auto heldTotal = SeqCheck(2, 64, {"--expect", std::to_string(heldCount), "--wait", "30"}, &c1);
    auto shortTotal = SeqCheck(1, 1, {"--expect", std::to_string(shortCount), "--wait", "30"}, &c2);
    EXPECT_EQ(c1, 0) << heldTotal["_output"];
    EXPECT_EQ(c2, 0) << shortTotal["_output"];
    Figures("limit", "held=64 extra=6 closed_within_1s=" + std::to_string(refused) +
                         " slowest_close_ms=" + std::to_string(worstMs) + " newcomer_accepted_after_s=" +
                         std::to_string(newcomerSeconds) + " held_sent=" + a["sent.records"] +
                         " held_stored=" + heldTotal["D"] + " held_missing=" + heldTotal["missing"] +
                         " held_duplicates=" + heldTotal["duplicates"] +
                         " rss_kib=" + std::to_string(RssKiB(m_Pid)));
}

// 1,000 connections that each end inside a record (cut at a random byte, half closed with a
// reset): no row from any of them, the collector keeps running, and a complete stream that
// follows is stored in full; resident memory after the connections have gone stays near where it
// was before them.
// A device's records pass the synchronisation gate only while a connection of that device that
// pushed its directory is open. A device connection that stays open (keepalives only) holds that
// for the whole test: without it the gate closed as soon as the first devsim run had left, and
// the cut records would have been dropped by the gate whatever the framing did (and so was the
// complete stream, which is what a busy CI machine showed).
TEST_F(ReliabilityLoad, ConnectionsCutInsideARecordStoreNothing)
{
    const int devices = 4, cutPerDevice = 250, whole = 50;
    Prepare(devices);
    Start(kFast);
    const pid_t holder = HoldSynchronised(1, devices, 240);
    ASSERT_GT(holder, 0);
    const std::string dump = m_C.Dir() + "/cut.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices",
                                  std::to_string(devices), "--no-push", "--seq", "--count",
                                  std::to_string(cutPerDevice + whole), "--mix", "sys=1,alarm=1"},
                                 {}, 60000, &out),
              0)
        << out;
    const long rssBefore = RssKiB(m_Pid);
    const size_t refusedBefore = CountInLog("[AllocSvpnNode] Max Connection.");
    const double t0 = Now();
    std::atomic<int> cut{0}, failed{0}, wholeRefused{0};
    std::atomic<long> rssPeak{rssBefore};
    std::atomic<bool> cutting{true};
    std::thread sampler(
        [&]
        {
            while (cutting)
            {
                rssPeak = std::max(rssPeak.load(), RssKiB(m_Pid));
                usleep(100000);
            }
        });
    std::vector<std::thread> threads;
    for (int d = 1; d <= devices; ++d)
        threads.emplace_back(
            [&, d]
            {
                std::vector<std::string> records = SplitRecords(ReadText(dump + "." + std::to_string(d)));
                if (records.size() != size_t(cutPerDevice + whole + 1))
                {
                    ++failed;
                    return;
                }
                std::mt19937 rng(static_cast<unsigned>(d));
                for (int i = 0; i < cutPerDevice; ++i)
                {
                    const std::string& r = records[size_t(i)];
                    int s = ConnectTo(m_C.Port());
                    if (s < 0)
                    {
                        ++failed;
                        continue;
                    }
                    const size_t at = 1 + rng() % (r.size() - 1);
                    (void)SendAll(s, r.substr(0, at));
                    if (i % 2)
                    {
                        linger l{1, 0};
                        setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                    }
                    close(s);
                    ++cut;
                }
                // The rest of the stream, whole, ending with the keepalive whose reply says it was taken.
                // While the cut connections are still being torn down every slot may be taken: a
                // refused connection (closed before any reply, nothing stored) is tried again, as a
                // device would; one that was taken but not answered is not.
                std::string rest;
                for (size_t i = size_t(cutPerDevice); i < records.size(); ++i)
                    rest += records[i];
                const double first = Now();
                for (;;)
                {
                    int s = ConnectTo(m_C.Port());
                    char reply[64];
                    size_t got = 0;
                    bool closed = s < 0 || !SendAll(s, rest);
                    if (!closed)
                    {
                        pollfd p{s, POLLIN, 0};
                        while (got < 46 && poll(&p, 1, 30000) > 0)
                        {
                            ssize_t n = recv(s, reply + got, sizeof reply - got, 0);
                            if (n <= 0)
                            {
                                closed = true;
                                break;
                            }
                            got += size_t(n);
                        }
                    }
                    if (s >= 0)
                        close(s);
                    if (got >= 46)
                        break;
                    if (!closed || got > 0 || Now() - first > 60)
                    {
                        ++failed;
                        break;
                    }
                    ++wholeRefused;
                    usleep(200000);
                }
            });
    for (auto& t : threads)
        t.join();
    cutting = false;
    sampler.join();
    const double seconds = Now() - t0;
    const size_t refusedCut = CountInLog("[AllocSvpnNode] Max Connection.") - refusedBefore;
    EXPECT_EQ(failed.load(), 0);
    EXPECT_TRUE(m_C.IsRunning());
    ConnectForImport(1, devices);
    int check = -1;
    auto total = SeqCheck(1, devices,
                          {"--first", std::to_string(cutPerDevice + 1), "--expect", std::to_string(whole),
                           "--absent", "1-" + std::to_string(cutPerDevice), "--wait", "60"},
                          &check);
    EXPECT_EQ(check, 0) << total["_output"]
                        << Diagnose(1, 1,
                                    {"--first", std::to_string(cutPerDevice + 1), "--expect",
                                     std::to_string(whole)});
    EXPECT_EQ(total["absent"], "0");
    EXPECT_EQ(total["missing"], "0");
    // Most cut connections must have had a slot and a record task of their own, or this would
    // test only the refusal of surplus connections.
    EXPECT_LE(refusedCut, size_t(devices * cutPerDevice / 10)) << "connections refused at the limit";
    EXPECT_TRUE(m_C.IsRunning());
    kill(holder, SIGKILL);
    qbtest::WaitExit(holder, 10000);
    // Every connection has gone: the rings and tasks of all 1,000 must be given back.
    long rssAfter = RssKiB(m_Pid);
    qbtest::WaitUntil(20000, [&] { return (rssAfter = RssKiB(m_Pid)) <= rssBefore + 64 * 1024; });
    EXPECT_LE(rssAfter, rssBefore + 64 * 1024) << "resident memory after the connections had gone";
    Figures("cut", "connections_cut=" + std::to_string(cut.load()) +
                       " refused_at_limit=" + std::to_string(refusedCut) + " whole_refused_retries=" +
                       std::to_string(wholeRefused.load()) + " rows_from_cut=" + total["absent"] +
                       " whole_sent=" + std::to_string(devices * whole) + " whole_stored=" + total["D"] +
                       " missing=" + total["missing"] + " duplicates=" + total["duplicates"] + " seconds=" +
                       std::to_string(seconds) + " rss_before_kib=" + std::to_string(rssBefore) +
                       " rss_peak_kib=" + std::to_string(rssPeak.load()) +
                       " rss_after_kib=" + std::to_string(rssAfter));
}

// A device that never reads its replies (receive buffer of 1 KiB, no recv): it pushes its
// directory and then sends keepalives until the collector stops taking its bytes. Replies are
// sent without blocking; what the device does not read waits in its connection's 10 KiB send ring,
// and when that is full its record task waits, its receive ring fills and TCP holds the device
// back. Only that connection stalls: four other devices keep their rate (within 10 % of a run
// without the stalled device), lose nothing, the info query answers, and resident memory stays
// flat. When the device closes, its connection is let go.
TEST_F(ReliabilityLoad, DeviceThatNeverReadsRepliesStallsOnlyItself)
{
    const int others = 4, rate = 200, count = Soak() ? 12000 : 1000;
    const int quiet = 2 * others + 1;
    Prepare(quiet);
    Start(kFast);
    auto runOthers = [&](int first, std::map<std::string, std::string>* report, int* code)
    {
        *report = m_C.RunDevsim({"--devices", std::to_string(others), "--first-index", std::to_string(first),
                                 "--rate", std::to_string(rate), "--count", std::to_string(count), "--seq",
                                 "--mix", kBatchMix, "--reply-timeout", "60"},
                                code);
    };
    int codeBase = -1;
    std::map<std::string, std::string> base;
    runOthers(1, &base, &codeBase);
    ASSERT_EQ(codeBase, 0) << base["_output"];

    // The device that does not read: its pushes, then its keepalives again and again.
    const std::string dump = m_C.Dir() + "/noread.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices", "1",
                                  "--first-index", std::to_string(quiet), "--count", "2000", "--mix",
                                  "keepalive=1"},
                                 {}, 60000, &out),
              0)
        << out;
    std::vector<std::string> records = SplitRecords(ReadText(dump));
    ASSERT_GT(records.size(), 3u);
    std::string pushes = records[0] + records[1], keepalives;
    for (size_t i = 2; i < records.size(); ++i)
        keepalives += records[i];
    const int s = ConnectTo(m_C.Port(), 1024);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, pushes));
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    std::atomic<long long> offered{0};
    // Sends what the collector takes; false once it has taken nothing for `stallMs`.
    auto offer = [&](int stallMs)
    {
        size_t at = 0;
        double lastProgress = Now();
        while (Now() - lastProgress < stallMs / 1000.0)
        {
            ssize_t n = send(s, keepalives.data() + at, keepalives.size() - at, MSG_NOSIGNAL);
            if (n > 0)
            {
                offered += n;
                at = (at + size_t(n)) % keepalives.size();
                lastProgress = Now();
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            pollfd p{s, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        return true;
    };
    const double stallStart = Now();
    ASSERT_TRUE(offer(3000)) << "the collector closed the connection of the device that does not read";
    const double stallSeconds = Now() - stallStart;
    const long long offeredAtStall = offered.load();
    // Its record task waits for room in the send ring: the device is stalled at the collector.
    EXPECT_TRUE(qbtest::WaitUntil(30000, [&] { return CountInLog("Wait SendRingCache Timeout") > 0; }));

    // Stalled, it costs no processor time: nothing spins on the full send ring or socket.
    const double cpu0 = CpuSeconds(m_Pid), idle0 = Now();
    (void)offer(3000);
    const double stalledCpuShare = (CpuSeconds(m_Pid) - cpu0) / (Now() - idle0);
    EXPECT_LE(stalledCpuShare, 0.25)
        << "share of a processor the collector used while the device was stalled";

    const long rssStalled = RssKiB(m_Pid);
    long rssPeak = rssStalled;
    int codeWith = -1;
    std::map<std::string, std::string> with;
    std::atomic<bool> done{false};
    std::thread sender(
        [&]
        {
            runOthers(others + 1, &with, &codeWith);
            done = true;
        });
    std::string info;
    int infoAnswers = 0, infoAsked = 0;
    while (!done)
    {
        (void)offer(200); // keeps pushing on the stalled connection
        rssPeak = std::max(rssPeak, RssKiB(m_Pid));
        if (infoAsked < 3 && Now() - stallStart > stallSeconds + 1 + infoAsked)
        {
            ++infoAsked;
            info = InfoQuery();
            infoAnswers += info.empty() ? 0 : 1;
        }
    }
    sender.join();
    const long rssEnd = RssKiB(m_Pid);
    EXPECT_EQ(codeWith, 0) << with["_output"];
    EXPECT_EQ(with["replies.keepalive"], with["sent.keepalive"]);
    const double rateBase = atof(base["records_per_s"].c_str()),
                 rateWith = atof(with["records_per_s"].c_str());
    EXPECT_GE(rateWith, 0.9 * rateBase) << "records/s of the other devices: " << rateBase << " alone, "
                                        << rateWith << " beside the device that does not read";
    EXPECT_EQ(infoAnswers, infoAsked) << "info query unanswered while a device did not read";
    EXPECT_GE(infoAsked, 1);
    EXPECT_LE(rssPeak - rssStalled, 32 * 1024) << "resident memory grew while a device did not read";

    // The device goes: its connection ends (which it records in the device's database) and
    // leaves its slot.
    const std::string disconnected =
        "select count(*) from `" + m_C.DeviceDb(quiet) + "`.dev_info where ConnStat = 0";
    const double closedAt = Now();
    close(s);
    EXPECT_TRUE(m_C.WaitCount(disconnected, 1, 30000)) << "the connection of the device that did not read "
                                                          "outlived the device";
    const double letGoSeconds = Now() - closedAt;

    int check = -1;
    auto total = SeqCheck(1, 2 * others, {"--expect", std::to_string(count), "--wait", "60"}, &check);
    EXPECT_EQ(check, 0) << total["_output"];
    EXPECT_EQ(total["missing"], "0");
    EXPECT_EQ(total["duplicates"], "0");
    EXPECT_TRUE(m_C.IsRunning());
    Figures("noread",
            "others=" + std::to_string(others) + " rate=" + std::to_string(rate) +
                "/s count=" + std::to_string(count) + " records_per_s_alone=" + base["records_per_s"] +
                " records_per_s_beside=" + with["records_per_s"] + " noread_bytes_taken_until_stall=" +
                std::to_string(offeredAtStall) + " stall_after_s=" + std::to_string(stallSeconds) +
                " stalled_cpu_share=" + std::to_string(stalledCpuShare) + " noread_bytes_taken_total=" +
                std::to_string(offered.load()) + " info_answers=" + std::to_string(infoAnswers) + "/" +
                std::to_string(infoAsked) + " stored=" + total["D"] + " missing=" + total["missing"] +
                " duplicates=" + total["duplicates"] + " rss_stalled_kib=" + std::to_string(rssStalled) +
                " rss_peak_kib=" + std::to_string(rssPeak) + " rss_end_kib=" + std::to_string(rssEnd) +
                " let_go_after_close_s=" + std::to_string(letGoSeconds));
}

// 64 connections that each send one byte every 2 s (a keepalive, byte by byte) take every slot and
// hold it: the design gives a connection no deadline for its first record, so while they stay, a
// real device is refused (closed at once). The collector stays responsive all the same: the
// watchdog's probe is answered beyond the limit, the info query answers, and memory stays bounded
// (a slot that has received a few bytes costs a few pages of its ring). When the slow connections
// close, a real device gets in at once.
TEST_F(ReliabilityLoad, SlowSendersHoldEverySlotButTheCollectorStaysResponsive)
{
    const int slow = 64, holdSeconds = Soak() ? 60 : 10;
    Prepare(2);
    Start(kFast);
    const std::string dump = m_C.Dir() + "/slow.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices", "1",
                                  "--no-push", "--count", "1", "--mix", "keepalive=1"},
                                 {}, 60000, &out),
              0)
        << out;
    const std::string keepalive = ReadText(dump);
    ASSERT_GE(keepalive.size(), 42u);
    const long rssBefore = RssKiB(m_Pid);
    const size_t refusedBefore = CountInLog("[AllocSvpnNode] Max Connection.");

    std::vector<int> sockets;
    for (int i = 0; i < slow; ++i)
    {
        int s = ConnectTo(m_C.Port());
        ASSERT_GE(s, 0);
        sockets.push_back(s);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> bytesEach{0};
    std::thread trickle(
        [&]
        {
            for (size_t at = 0; !stop && at < keepalive.size(); ++at)
            {
                for (int s : sockets)
                    (void)send(s, keepalive.data() + at, 1, MSG_NOSIGNAL);
                ++bytesEach;
                for (int i = 0; i < 20 && !stop; ++i)
                    usleep(100000);
            }
        });
    // Every slot is taken once the collector's watcher has counted the connections.
    EXPECT_TRUE(
        qbtest::WaitUntil(20000, [&] { return CountInLog("[CSvpnNode][Run] TID =") >= size_t(slow) + 1; }));
    sleep(2);

    // A real device is refused while they stay.
    const double tryAt = Now();
    int codeRefused = -1;
    auto refused = m_C.RunDevsim({"--devices", "1", "--count", "10", "--reply-timeout", "10"}, &codeRefused);
    const double refusedSeconds = Now() - tryAt;
    EXPECT_NE(codeRefused, 0) << "a device got a slot although slow connections held them all";
    EXPECT_LE(refusedSeconds, 5.0);
    EXPECT_GT(CountInLog("[AllocSvpnNode] Max Connection."), refusedBefore);
    // The watchdog's probe and the info query are answered.
    int codeProbe = -1;
    std::string probeOut;
    const double probeAt = Now();
    codeProbe =
        qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--port", std::to_string(m_C.Port()), "--probe"},
                           {}, 30000, &probeOut);
    const double probeSeconds = Now() - probeAt;
    EXPECT_EQ(codeProbe, 0) << probeOut;
    const std::string info = InfoQuery();
    EXPECT_FALSE(info.empty()) << "info query unanswered while slow connections held every slot";
    long rssHeld = RssKiB(m_Pid);
    while (Now() - tryAt < holdSeconds)
    {
        rssHeld = std::max(rssHeld, RssKiB(m_Pid));
        usleep(250000);
    }
    EXPECT_LE(rssHeld - rssBefore, 64 * 1024) << "resident memory with every slot held by a slow connection";
    stop = true;
    trickle.join();
    EXPECT_TRUE(m_C.IsRunning());

    // They go: a real device gets in at once.
    for (int s : sockets)
        close(s);
    const double closedAt = Now();
    // Admission is timed with a keepalive, whose reply needs no database; a refused connection is
    // closed without one.
    int attempts = 0;
    bool admitted = false;
    while (!admitted && Now() - closedAt < 30)
    {
        ++attempts;
        int s = ConnectTo(m_C.Port());
        char reply[64];
        size_t got = 0;
        if (s >= 0 && SendAll(s, keepalive))
        {
            pollfd p{s, POLLIN, 0};
            while (got < 46 && poll(&p, 1, 10000) > 0)
            {
                ssize_t n = recv(s, reply + got, sizeof reply - got, 0);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
        }
        if (s >= 0)
            close(s);
        admitted = got >= 46;
        if (!admitted)
            usleep(50000);
    }
    const double admittedSeconds = Now() - closedAt;
    EXPECT_TRUE(admitted);
    EXPECT_LE(admittedSeconds, 5.0) << "a device got a slot only this long after the slow connections closed";
    int codeIn = -1;
    auto in = m_C.RunDevsim(
        {"--devices", "1", "--count", "10", "--seq", "--mix", kBatchMix, "--reply-timeout", "60"}, &codeIn);
    EXPECT_EQ(codeIn, 0) << in["_output"];
    int check = -1;
    auto total = SeqCheck(1, 1, {"--expect", "10", "--wait", "30"}, &check);
    EXPECT_EQ(check, 0) << total["_output"];
    Figures("slow",
            "slow_connections=" + std::to_string(slow) + " bytes_each=" + std::to_string(bytesEach.load()) +
                " device_refused_after_s=" + std::to_string(refusedSeconds) + " probe_answered=" +
                std::string(codeProbe == 0 ? "yes" : "no") + " probe_s=" + std::to_string(probeSeconds) +
                " info_answered=" + (info.empty() ? "no" : "yes") + " rss_before_kib=" +
                std::to_string(rssBefore) + " rss_held_peak_kib=" + std::to_string(rssHeld) +
                " device_admitted_after_close_s=" + std::to_string(admittedSeconds) + " attempts=" +
                std::to_string(attempts) + " stored=" + total["D"] + " missing=" + total["missing"]);
}
