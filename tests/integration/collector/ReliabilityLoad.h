#pragma once
// The fixture and helpers of the reliability tests: the real collector, the test MariaDB, devsim and
// raw sockets. Every record devsim sends here carries "d<device>s<seq>" and seqcheck counts, per
// device database, what was stored: nothing may be missing or stored twice. The record mix stores one
// row per record (sys, alarm, admin, audit, logins, merging off), through both the data-file path
// and the SQL-batch path. Each test prints a FIGURES line. QB_SOAK=1 (scripts/soak.d/relload.sh)
// runs the long versions.
#include "support/CollectorHarness.h"

#include "support/Process.h"
#include "support/RawDevice.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
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

namespace relload
{
using qbtest::CCollectorHarness;
using qbtest::ConnectLoopback;
using qbtest::MsUntilClosed;
using qbtest::SendAll;

// Kinds stored one row each, tagged: syslog and usrbasiclog (logins and logouts of the three
// versions) through data files; alarm_log and adt_log (admin and audit) through SQL batches.
// Resource accesses are left out: each is stored twice by design (usrbasiclog and usrsvrlog).
inline const char* const kMix = "sys=3,alarm=1,admin=1,audit=1,userv1=1,userv2=1,userv3=2";
// Only the SQL-batch kinds: they are stored when the connection ends, without the data-file delay.
inline const char* const kBatchMix = "alarm=1,admin=1,audit=1";
// Data files are switched out after a tenth of a minute instead of ten minutes.
inline const std::vector<std::string> kFast = {"QUILLBARN_TEST_TIME_DIVISOR=60"};

inline bool Soak()
{
    const char* v = getenv("QB_SOAK");
    return v && *v == '1';
}

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline long RssKiB(pid_t pid)
{
    return qbtest::ProcessStatusKiB(pid, "VmRSS");
}

// User plus system processor time of a process so far, in seconds.
inline double CpuSeconds(pid_t pid)
{
    std::string s = qbtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
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

inline int OpenFds(pid_t pid)
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

// The records of a devsim dump, split by the length in each head.
inline std::vector<std::string> SplitRecords(const std::string& stream)
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
        m_Pid = m_C.FindPid();
        ASSERT_GT(m_Pid, 0);
        // The harness's own probe of the port is a connection too: wait until it has left its slot,
        // or the 64th device may find all 64 taken.
        EXPECT_TRUE(qbtest::WaitUntil(
            [&] { return m_C.Log().find("Release A SvpnNode") != std::string::npos; }, 40000));
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
    size_t CountInLog(const std::string& text) { return qbtest::CountOf(m_C.Log(), text); }

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
        if (pid > 0 && !qbtest::WaitUntil([&] { return CountInLog(synced) >= before + size_t(n); }, 60000))
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
        std::string text = m_C.RunSeqCheck(first, last, args, &code)["_output"];
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

    CCollectorHarness m_C;
    pid_t m_Pid = -1;
};
} // namespace relload
