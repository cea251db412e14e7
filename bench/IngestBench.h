// The end-to-end ingest bench's shared parts: its options and the bench itself (install tree, private
// server, collector, devsim). The big-table curve's part of the bench is in BigTableCurve.cpp.
#pragma once
#include "support/CollectorHarness.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include "BigTableRows.h"

#include "core/Utilities.h"
#include "platform/FileSystem.h"
#include "support/TestHelpers.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qbbench
{
using namespace qbtest;

struct Options
{
    int m_Seconds = 120;
    std::vector<int> m_Devices = {1, 8, 32};
    bool m_MergeOn = true, m_MergeOff = true;
    int m_Divisor = 60;
    int m_Idle = 64;
    int m_SoakSeconds = 0;
    double m_SoakRate = 1000; // records/s per device in the soak
    int m_SoakDevices = 8;
    long m_LoadRows = 500000;
    long m_InsertRows = 20000;
    bool m_Service = true;
    std::string m_CommandLine;
    // The big-table curve (--sizes): usrbasiclog sizes, the device's directory, the history's span.
    std::vector<long long> m_Sizes;
    bool m_SecondsGiven = false;
    int m_Users = 2000, m_Groups = 40, m_Days = 200;
    long m_ReloadRows = 500000, m_PrefillChunk = 1000000;
    int m_KeyBufferMiB = 32; // a provisioned tree's key_buffer_size; 0 leaves the server's own
    bool m_KeyLevels = true;
    // Maintenance under load (--maintenance): after the curve, at its last size.
    bool m_Maintenance = false;
    int m_MaintDevices = 8, m_MaintWarmup = 60, m_ContentPercent = 10;
    double m_MaintRate = 10000; // records/s of all devices together
    double m_CleanShare = 0.2;  // share of usrbasiclog's history the cleaning by age removes
    // A device database a curve run kept (QB_KEEP_TREES=1): its log tables become device 1's, and
    // maintenance runs on them without a new prefill.
    std::string m_AdoptDb;
};

const char* const USER_TABLES[] = {"usrbasiclog", "usrsvrlog", "usrflowlog"};
const char* const OTHER_TABLES[] = {"syslog", "alarm_log", "adt_log", "dev_stat"};
const char* const USER_MIX = "keepalive=1,userv1=1,userv2=1,userv3=4,flux=4,svc=4";
const char* const FULL_MIX = "keepalive=1,userv1=1,userv2=1,userv3=4,flux=4,svc=4,admin=1,alarm=1,sys=2";

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline std::vector<long long> ParseSizes(const char* text)
{
    std::vector<long long> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(atoll(item.c_str()));
    return out;
}

inline std::vector<int> ParseList(const char* text)
{
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(atoi(item.c_str()));
    return out;
}

// VmRSS and VmHWM of a process, in KiB.
inline void ReadMemory(pid_t pid, long& rssKb, long& hwmKb)
{
    rssKb = std::max(0L, ProcessStatusKiB(pid, "VmRSS"));
    hwmKb = std::max(0L, ProcessStatusKiB(pid, "VmHWM"));
}

// The run's command line and how the collector's intervals are shortened, first in every output.
inline void PrintRunHeader(const Options& opt, const char* more)
{
    printf("# %s\n", opt.m_CommandLine.c_str());
    printf("# collector intervals divided by %d (QUILLBARN_TEST_TIME_DIVISOR=%d): data files switched out "
           "after %.0f s, import cycle %.1f s%s\n",
           opt.m_Divisor, opt.m_Divisor, 600.0 / opt.m_Divisor, 10.0 / opt.m_Divisor, more);
    fflush(stdout);
}

class CBench
{
public:
    explicit CBench(const Options& opt) : m_Opt(opt) {}

    bool Prepare(int devices)
    {
        m_DeviceCount = devices;
        if (!m_Harness.Prepare(devices))
            return false;
        // Enough connections for every device of the run and for the idle set.
        m_Harness.SetConfig("KelvAdv.conf", "Network", "MaxConnection", "64");
        m_Harness.SetConfig("ProgramLog.conf", "TxtLog", "LogLevel", "11");
        return true;
    }

    // Device 1 gets the big tables; the calendar windows of cleaning (by age or by size: a big history
    // exceeds both) and of the Saturday repair are closed, so that neither runs into a measurement.
    bool PrepareBigTables(int devices)
    {
        if (!Prepare(devices))
            return false;
        m_Harness.SetConfig("Kelv.conf", "ClearRule", "StartCheckTime", "0");
        m_Harness.SetConfig("Kelv.conf", "ClearRule", "EndCheckTime", "0");
        m_Harness.SetConfig("Kelv.conf", "RepairRule", "StartStrongRepairTime", "0");
        m_Harness.SetConfig("Kelv.conf", "RepairRule", "EndStrongRepairTime", "0");
        return true;
    }

    // The collector runs as a service, as in production: console mode copies every line of every
    // level to the console by design, which is a debugging set-up and not what is measured here.
    bool StartCollector()
    {
        if (!m_Opt.m_Service)
        {
            if (!m_Harness.Start())
                return false;
            m_Pid = m_Harness.Pid();
            return true;
        }
        const std::vector<std::string> env = m_Harness.Env();
        const std::string scm = BinDir() + "/scmctl";
        if (!m_ServiceReady)
        {
            // A service-mode collector first makes sure its database service runs; the private server
            // is not under the service manager, so a stand-in plays that service.
            RunProgram({scm, "create", "VelmoraSSLSQL", "/bin/sleep 100000"}, env);
            RunProgram({scm, "start", "VelmoraSSLSQL"}, env);
            // A start-pending database service counts as not running for the collector.
            qbtest::WaitUntil(
                [&]
                {
                    std::string out;
                    RunProgram({scm, "query", "VelmoraSSLSQL"}, env, 10000, &out);
                    return out.find("RUNNING") != std::string::npos;
                },
                30000);
            if (RunProgram({BinDir() + "/Quillbarn", "-Service"}, env) != 0)
                return false;
            m_ServiceReady = true;
        }
        RunProgram({scm, "start", "Quillbarn"}, env);
        m_Pid = -1;
        qbtest::WaitUntil(
            [&]
            {
                m_Pid = m_Harness.FindPid();
                return m_Pid > 0;
            },
            30000);
        return qbtest::WaitUntil(
            [&]
            {
                return RunProgram(
                           {BinDir() + "/devsim", "--port", std::to_string(m_Harness.Port()), "--probe"}, {},
                           15000) == 0;
            },
            20000);
    }

    void StopCollector()
    {
        if (!m_Opt.m_Service)
        {
            m_Harness.Stop();
            m_Pid = -1;
            return;
        }
        RunProgram({BinDir() + "/scmctl", "stop", "Quillbarn"}, m_Harness.Env(), 60000);
        qbtest::WaitUntil([&] { return m_Pid <= 0 || kill(m_Pid, 0) != 0; }, 60000);
        m_Pid = -1;
    }

    void Cleanup()
    {
        if (m_ServiceReady)
        {
            const std::vector<std::string> env = m_Harness.Env();
            RunProgram({BinDir() + "/scmctl", "stop", "VelmoraSSLSQL"}, env);
            RunProgram({BinDir() + "/Quillbarn", "-UnregServer"}, env);
        }
    }

    // devsim against the collector, with a time-out that allows for the run's length.
    std::map<std::string, std::string> RunDevsim(const std::vector<std::string>& args)
    {
        return m_Harness.RunDevsim(args, nullptr,
                                   (std::max(m_Opt.m_Seconds, m_Opt.m_SoakSeconds) + 180) * 1000);
    }

    void SetMerge(bool on)
    {
        for (const char* section : {"Global", "UserLog", "FlowLog"})
            m_Harness.SetConfig("KelvAdv.conf", section, "EnableLogMerge", on ? "1" : "0");
    }

    // Rows of the log tables, from the server's table statistics: a count(*) would wait for the
    // table lock of every running load and stall the sampling for the length of the imports.
    long long CountRows(int devices, bool userOnly)
    {
        std::string schemas, tables;
        for (int i = 1; i <= devices; ++i)
            schemas += std::string(i > 1 ? "," : "") + "'" + m_Harness.DeviceDb(i) + "'";
        for (const char* t : USER_TABLES)
            tables += std::string(tables.empty() ? "" : ",") + "'" + t + "'";
        if (!userOnly)
            for (const char* t : OTHER_TABLES)
                tables += std::string(",'") + t + "'";
        return m_Harness.Count("select coalesce(sum(table_rows), 0) from information_schema.tables where "
                               "table_schema in (" +
                               schemas + ") and table_name in (" + tables + ")");
    }

    // Data files in the tree, not yet imported.
    size_t DataFilesLeft()
    {
        size_t n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(m_Harness.Dir() + "/Kelv/DataFile", ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file(ec))
                ++n;
        return n;
    }

    void EmptyTables()
    {
        for (int i = 1; i <= m_DeviceCount; ++i)
        {
            for (const char* t : USER_TABLES)
                m_Harness.Query("truncate table `" + m_Harness.DeviceDb(i) + "`." + t);
            for (const char* t : OTHER_TABLES)
                m_Harness.Query("truncate table `" + m_Harness.DeviceDb(i) + "`." + t);
        }
    }

    struct RunResult
    {
        double m_RecordsPerS = 0; // records devsim sent, per second of its run
        double m_RowsPerS = 0;    // rows stored per second, first record sent to last row stored
        double m_UserRowsPerS = 0;
        long long m_Rows = 0, m_Records = 0, m_UserRows = 0;
        double m_Span = 0; // seconds from the first record sent to the last row stored
        // User rows per second from the end of the first load to the end of the last (--sizes runs).
        double m_SteadyUserRowsPerS = 0;
        long long m_ExpectedRows = 0; // from devsim's counts per kind
        long m_PeakRssKb = 0, m_RssKb = 0;
        double m_Drain = 0; // seconds after devsim ended until the last row arrived
        bool m_Ok = false;
        std::string m_Command;
    };

    // One run: a freshly started collector, `devices` devsim devices flat out for the set time. Rows are
    // counted from what the tables held before (emptied first unless `keepRows`).
    RunResult Run(int devices, const char* mix, bool merge, bool keepRows = false,
                  const std::vector<std::string>& devsimExtra = {})
    {
        RunResult r;
        // Nothing of an earlier run may be imported into this one.
        // (files lie in a directory per database and table)
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::directory_iterator(m_Harness.Dir() + "/Kelv/DataFile", ignored))
            std::filesystem::remove_all(entry.path(), ignored);
        if (!keepRows)
            EmptyTables();
        const long long rowsBefore = CountRows(devices, false);
        const long long userRowsBefore = CountRows(devices, true);
        SetMerge(merge);
        if (!StartCollector())
        {
            fprintf(stderr, "bench: collector did not start (pid %d); its log:\n%s\n", int(m_Pid),
                    m_Harness.Log().c_str());
            return r;
        }
        pid_t pid = m_Pid;
        std::string devsimArgs = "--devices " + std::to_string(devices) + " --seconds " +
                                 std::to_string(m_Opt.m_Seconds) + " --rate 0 --mix " + mix;
        for (const std::string& a : devsimExtra)
            devsimArgs += " " + a;
        r.m_Command = "devsim " + devsimArgs + " (merge " + (merge ? "on" : "off") + ")";

        std::map<std::string, std::string> report;
        std::thread devsim(
            [&]
            {
                std::vector<std::string> args = {"--devices",       std::to_string(devices),
                                                 "--seconds",       std::to_string(m_Opt.m_Seconds),
                                                 "--rate",          "0",
                                                 "--mix",           mix,
                                                 "--reply-timeout", "30"};
                args.insert(args.end(), devsimExtra.begin(), devsimExtra.end());
                report = RunDevsim(args);
            });
        // Memory is sampled while devsim streams. The rate is rows stored per second from the first
        // record sent to the last row stored: loads make rows appear in steps of a whole data file,
        // and a flat-out device writes files faster than the server loads them, so a window inside
        // the run would measure the steps, not the throughput.
        const double start = Now();
        const double end = start + m_Opt.m_Seconds;
        // The user rows are followed too, for the steady rate from the first load's end to the last one's:
        // it leaves out the filling of the first data file, in which nothing can be stored.
        double firstUserGrow = -1, lastUserGrow = -1;
        long long userAtFirst = 0, userLast = 0;
        auto followUserRows = [&]
        {
            const long long u = CountRows(devices, true) - userRowsBefore;
            if (u == userLast)
                return;
            if (firstUserGrow < 0)
            {
                firstUserGrow = Now();
                userAtFirst = u;
            }
            userLast = u;
            lastUserGrow = Now();
        };
        while (Now() < end - 0.5)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            long rss, hwm;
            ReadMemory(pid, rss, hwm);
            r.m_RssKb = std::max(r.m_RssKb, rss);
            if (keepRows)
                followUserRows();
        }
        devsim.join();
        long rss, hwm;
        ReadMemory(pid, rss, hwm);
        r.m_PeakRssKb = hwm;
        // Drain: wait until no data file is left and the count no longer grows for a few import cycles.
        // A load shows its rows only when it ends, so a quiet count alone can be a long load.
        const double devsimEnd = Now();
        long long last = CountRows(devices, false) - rowsBefore;
        double lastGrow = Now();
        const double quiet = std::max(5.0, 3 * 10.0 * 60 / m_Opt.m_Divisor);
        while ((Now() - lastGrow < quiet || DataFilesLeft() > 0) && Now() - devsimEnd < 900)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            long long c = CountRows(devices, false) - rowsBefore;
            if (keepRows)
                followUserRows();
            if (c != last)
            {
                last = c;
                lastGrow = Now();
            }
        }
        r.m_Drain = lastGrow - devsimEnd;
        r.m_Rows = last;
        r.m_Records = atoll(report["sent.records"].c_str());
        // One row per record, two per resource access, one dev_stat row per six keepalives of a connection.
        auto sent = [&](const char* kind) { return atoll(report[std::string("sent.") + kind].c_str()); };
        r.m_ExpectedRows = sent("userv1") + sent("userv2") + sent("userv3") + sent("flux") + 2 * sent("svc") +
                           sent("admin") + sent("audit") + sent("alarm") + sent("sys") +
                           sent("keepalive") / 6;
        r.m_RecordsPerS = atof(report["records_per_s"].c_str());
        const double span = lastGrow - start;
        r.m_RowsPerS = span > 0 ? double(last) / span : 0;
        r.m_UserRows = CountRows(devices, true) - userRowsBefore;
        r.m_UserRowsPerS = span > 0 ? double(r.m_UserRows) / span : 0;
        if (lastUserGrow > firstUserGrow && firstUserGrow > 0)
            r.m_SteadyUserRowsPerS = double(userLast - userAtFirst) / (lastUserGrow - firstUserGrow);
        r.m_Span = span;
        r.m_Ok = report["result"] == "ok";
        if (!r.m_Ok)
            fprintf(stderr, "bench: devsim: %s\n", report["_output"].c_str());
        StopCollector();
        return r;
    }

    // The collector with `devices` connected devices that send only a keepalive now and then.
    void IdleMemory(int devices, long& baseKb, long& idleKb)
    {
        baseKb = idleKb = 0;
        if (!StartCollector())
            return;
        pid_t pid = m_Pid;
        std::this_thread::sleep_for(std::chrono::seconds(2));
        long hwm;
        ReadMemory(pid, baseKb, hwm);
        std::thread devsim(
            [&]
            {
                RunDevsim({"--devices", std::to_string(devices), "--seconds", "20", "--rate", "0.5", "--mix",
                           "keepalive=1", "--reply-timeout", "30"});
            });
        std::this_thread::sleep_for(std::chrono::seconds(15));
        ReadMemory(pid, idleKb, hwm);
        devsim.join();
        StopCollector();
    }

    // A steady rate for a long time; RSS sampled every 30 s.
    void Soak(std::vector<std::pair<double, long>>& samples)
    {
        EmptyTables();
        SetMerge(true);
        if (!StartCollector())
            return;
        pid_t pid = m_Pid;
        std::thread devsim(
            [&]
            {
                RunDevsim({"--devices", std::to_string(m_Opt.m_SoakDevices), "--seconds",
                           std::to_string(m_Opt.m_SoakSeconds), "--rate", std::to_string(m_Opt.m_SoakRate),
                           "--mix", FULL_MIX, "--reply-timeout", "30"});
            });
        const double start = Now();
        while (Now() - start < m_Opt.m_SoakSeconds - 1)
        {
            std::this_thread::sleep_for(std::chrono::seconds(30));
            long rss, hwm;
            ReadMemory(pid, rss, hwm);
            samples.push_back({Now() - start, rss});
        }
        devsim.join();
        StopCollector();
    }

    // Writes the usrbasiclog rows of device 1 as a data file in the collector's own line format and
    // loads it into a copy of the table with one "load data local infile"; then inserts the first
    // rows of the same file one statement at a time into another copy.
    bool Baselines(long& fileRows, double& loadRowsPerS, double& reloadRowsPerS, long& insertRows,
                   double& insertRowsPerS, std::string& loadCommand)
    {
        MYSQL* conn = AdminConnect(m_Harness.DeviceDb(1));
        if (conn == nullptr)
            return false;
        unsigned int on = 1;
        mysql_options(conn, MYSQL_OPT_LOCAL_INFILE, &on);
        Exec(conn, "set names 'gbk'");
        Exec(conn, "drop table if exists bench_load");
        Exec(conn, "drop table if exists bench_insert");
        Exec(conn, "create table bench_load like usrbasiclog");
        Exec(conn, "create table bench_insert like usrbasiclog");

        const std::string path = m_Harness.Dir() + "/bench_usrbasiclog.txt";
        std::string file;
        std::vector<std::string> inserts;
        fileRows = 0;
        // Rows repeat until the file holds the wanted count: the server's cost per row does not
        // depend on whether it saw the text before.
        while (fileRows < m_Opt.m_LoadRows)
        {
            if (mysql_query(conn,
                            ("select record_id, user_id, user_name, grp_id, user_action, action_result, "
                             "address, message, auth_method, log_time, svr_ip, svr_port from usrbasiclog "
                             "limit " +
                             std::to_string(m_Opt.m_LoadRows - fileRows))
                                .c_str()) != 0)
                break;
            MYSQL_RES* res = mysql_store_result(conn);
            if (res == nullptr || mysql_num_rows(res) == 0)
            {
                if (res)
                    mysql_free_result(res);
                break;
            }
            while (MYSQL_ROW row = mysql_fetch_row(res))
            {
                unsigned long* len = mysql_fetch_lengths(res);
                std::string line;
                std::string values;
                for (int c = 0; c < 12; ++c)
                {
                    const bool text = c == 0 || c == 2 || c == 7 || c == 9;
                    if (c)
                    {
                        line += '\t';
                        values += ',';
                    }
                    std::string v = row[c] ? std::string(row[c], len[c]) : std::string();
                    if (text)
                    {
                        line += '"';
                        EscapeLoadDataField(v.data(), v.size(), line);
                        line += '"';
                        std::string esc(v.size() * 2 + 1, '\0');
                        esc.resize(mysql_real_escape_string(conn, esc.data(), v.data(), v.size()));
                        values += "'" + esc + "'";
                    }
                    else
                    {
                        line += v;
                        values += v.empty() ? "NULL" : v;
                    }
                }
                file += line + "\r\n";
                if (long(inserts.size()) < m_Opt.m_InsertRows)
                    inserts.push_back("insert into bench_insert values (" + values + ")");
                ++fileRows;
            }
            mysql_free_result(res);
        }
        WriteFile(path, file);
        loadCommand = "load data local infile '<file>' into table bench_load character set gbk fields "
                      "enclosed by '\"'  lines terminated by '\\r\\n'";
        const std::string load = "load data local infile '" + path +
                                 "' into table bench_load character set gbk fields enclosed by '\"'  lines "
                                 "terminated by '\\r\\n'";
        double t0 = Now();
        bool ok = Exec(conn, load);
        double t1 = Now();
        long long loaded = atoll(QueryValue(conn, "select count(*) from bench_load", "0").c_str());
        loadRowsPerS = ok ? double(loaded) / (t1 - t0) : 0;
        if (loaded != fileRows)
            fprintf(stderr, "bench: loaded %lld of %ld rows\n", loaded, fileRows);
        // The same file three more times: a load into a table that already holds rows maintains its
        // keys row by row instead of rebuilding them by sorting as into an empty table, and that is
        // what every load of the collector after its first one does.
        reloadRowsPerS = 0;
        t0 = Now();
        int reloads = 0;
        for (int i = 0; i < 3 && ok; ++i)
            reloads += Exec(conn, load) ? 1 : 0;
        t1 = Now();
        if (reloads == 3)
            reloadRowsPerS = 3.0 * double(loaded) / (t1 - t0);

        t0 = Now();
        insertRows = 0;
        for (const std::string& s : inserts)
            if (mysql_query(conn, s.c_str()) == 0)
                ++insertRows;
        t1 = Now();
        insertRowsPerS = double(insertRows) / (t1 - t0);
        Exec(conn, "drop table if exists bench_load");
        Exec(conn, "drop table if exists bench_insert");
        mysql_close(conn);
        unlink(path.c_str());
        return ok;
    }
    // ---- Cost as the tables grow (BigTableCurve.cpp) ---------------------------------------------

    // What the server did during a phase: its processor time, the bytes it made the disk read and
    // dirtied, and its key cache's requests and misses.
    struct ServerSample
    {
        double m_Wall = 0, m_Cpu = 0;
        long long m_ReadBytes = -1, m_WriteBytes = -1;
        long long m_KeyReadRequests = 0, m_KeyReads = 0, m_KeyWriteRequests = 0, m_KeyWrites = 0;
    };

    ServerSample SampleServer(MYSQL* conn);

    static std::string DescribeServer(const ServerSample& a, const ServerSample& b, long long rows);

    long long TableRows(MYSQL* conn, CBigTableRows::ETable table);

    // Loads generated history into device 1's four data-file tables until usrbasiclog holds
    // `basicRows` and the others their share of it. Each step's rows run in time order over the
    // `m_Days` days before `now`; the next chunk is generated while the server loads the current one.
    bool PrefillTo(MYSQL* conn, CBigTableRows& rows, long long basicRows, time_t now);

    struct ReloadResult
    {
        long long m_Rows = 0, m_BasicRows = 0;
        double m_Seconds = 0, m_BasicSeconds = 0;
    };

    // The server's own rate for rows of the collector's shape: one file per user table, in the
    // shares of the user mix, loaded with the collector's statement into the tables as they stand.
    bool Reload(MYSQL* conn, CBigTableRows& rows, long total, ReloadResult& out);

    // The depth of each usrbasiclog key, from myisamchk's statistics of the index file (read only,
    // after the server has written its blocks out); empty when myisamchk is not at hand.
    std::string KeyLevels(MYSQL* conn);

    struct CurvePoint
    {
        long long m_SizeBefore = 0, m_SizeAfter = 0;
        double m_CollectorRowsPerS = 0, m_ReloadRowsPerS = 0, m_ReloadBasicRowsPerS = 0;
        bool m_Ok = false;
    };

    // The end-to-end rate of one device's user logs at each usrbasiclog size, beside the server's own
    // load of rows of the same shape into the same tables, just before and just after the collector's
    // run (the collector's rows land between the two sizes they bracket).
    std::vector<CurvePoint> BigTableCurve();

    // Records midtableinfo rows as a report run at `day` would leave them, updated now: the collector's
    // report threads then stay quiet for a day instead of aggregating the whole history into a
    // measurement, and a run from `day` aggregates that day alone.
    void QuietReportTables(MYSQL* conn, const std::string& day);

    // Moves the log tables of `db` (same server) into device 1's database; the routines stay the ones
    // the device database was created with.
    bool AdoptTables(const std::string& db);

    // The shipped maintenance statements in turn on device 1's database while `m_MaintDevices` devices
    // send at a steady rate (MaintenanceUnderLoad.cpp); false when a statement, devsim or the count failed.
    bool MaintenanceUnderLoad();

private:
    const Options& m_Opt;
    CCollectorHarness m_Harness;
    int m_DeviceCount = 0;
    pid_t m_Pid = -1;
    bool m_ServiceReady = false;
    pid_t m_ServerPid = -1;
};

// The big-table curve alone: one device whose tables grow from size to size.
int BigTableCurveMain(Options& opt);
} // namespace qbbench
