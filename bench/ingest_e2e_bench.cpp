// End-to-end ingest on one machine: devsim devices flat out -> collector -> rows counted in MariaDB,
// beside the two ways a client could load the same rows itself (one "load data local infile" of a
// prepared file, and one-row inserts), all in the same run against the same server.
//
// Needs the private server of scripts/test-mariadb.sh (QB_TEST_DB_*); bench/run.sh starts one.
// Intervals of the collector are shortened through QUILLBARN_TEST_TIME_DIVISOR so that data files
// are switched out and imported every few seconds instead of every ten minutes.
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

using namespace qbtest;

namespace
{
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
};

const char* const USER_TABLES[] = {"usrbasiclog", "usrsvrlog", "usrflowlog"};
const char* const OTHER_TABLES[] = {"syslog", "alarm_log", "adt_log", "dev_stat"};
const char* const USER_MIX = "keepalive=1,userv1=1,userv2=1,userv3=4,flux=4,svc=4";
const char* const FULL_MIX = "keepalive=1,userv1=1,userv2=1,userv3=4,flux=4,svc=4,admin=1,alarm=1,sys=2";

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<long long> ParseSizes(const char* text)
{
    std::vector<long long> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(atoll(item.c_str()));
    return out;
}

std::vector<int> ParseList(const char* text)
{
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(atoi(item.c_str()));
    return out;
}

// VmRSS and VmHWM of a process, in KiB.
void ReadMemory(pid_t pid, long& rssKb, long& hwmKb)
{
    rssKb = std::max(0L, ProcessStatusKiB(pid, "VmRSS"));
    hwmKb = std::max(0L, ProcessStatusKiB(pid, "VmHWM"));
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

    // One device; the calendar windows of cleaning (by age or by size: a big history exceeds both)
    // and of the Saturday repair are closed, so that neither runs into a measurement.
    bool PrepareBigTables()
    {
        if (!Prepare(1))
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

    // ---- Cost as the tables grow ----------------------------------------------------------------

    // What the server did during a phase: its processor time, the bytes it made the disk read and
    // dirtied, and its key cache's requests and misses.
    struct ServerSample
    {
        double m_Wall = 0, m_Cpu = 0;
        long long m_ReadBytes = -1, m_WriteBytes = -1;
        long long m_KeyReadRequests = 0, m_KeyReads = 0, m_KeyWriteRequests = 0, m_KeyWrites = 0;
    };

    ServerSample SampleServer(MYSQL* conn)
    {
        ServerSample s;
        s.m_Wall = Now();
        if (m_ServerPid <= 0)
        {
            std::ifstream pidFile(QueryValue(conn, "select @@pid_file"));
            pidFile >> m_ServerPid;
        }
        if (m_ServerPid > 0)
        {
            std::ifstream stat("/proc/" + std::to_string(m_ServerPid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            // Fields after the command's closing parenthesis: state is the 3rd field, utime the 14th.
            std::istringstream in(text.substr(text.rfind(')') + 1));
            std::string field;
            double ticks = 0;
            for (int i = 3; i <= 15 && in >> field; ++i)
                if (i >= 14)
                    ticks += atof(field.c_str());
            s.m_Cpu = ticks / double(sysconf(_SC_CLK_TCK));
            std::ifstream io("/proc/" + std::to_string(m_ServerPid) + "/io");
            std::string name;
            long long value = 0;
            while (io >> name >> value)
            {
                if (name == "read_bytes:")
                    s.m_ReadBytes = value;
                else if (name == "write_bytes:")
                    s.m_WriteBytes = value;
            }
        }
        if (mysql_query(conn, "show global status like 'Key\\_%'") == 0)
        {
            if (MYSQL_RES* res = mysql_store_result(conn))
            {
                while (MYSQL_ROW row = mysql_fetch_row(res))
                {
                    const std::string name = row[0] ? row[0] : "";
                    const long long v = row[1] ? atoll(row[1]) : 0;
                    if (name == "Key_read_requests")
                        s.m_KeyReadRequests = v;
                    else if (name == "Key_reads")
                        s.m_KeyReads = v;
                    else if (name == "Key_write_requests")
                        s.m_KeyWriteRequests = v;
                    else if (name == "Key_writes")
                        s.m_KeyWrites = v;
                }
                mysql_free_result(res);
            }
        }
        return s;
    }

    static std::string DescribeServer(const ServerSample& a, const ServerSample& b, long long rows)
    {
        if (rows <= 0)
            return "no rows";
        const double n = double(rows);
        char text[512];
        std::string disk = "disk n/a";
        if (a.m_ReadBytes >= 0 && b.m_ReadBytes >= 0)
        {
            char d[128];
            snprintf(d, sizeof(d), "disk read %.1f B/row, written %.0f B/row",
                     double(b.m_ReadBytes - a.m_ReadBytes) / n, double(b.m_WriteBytes - a.m_WriteBytes) / n);
            disk = d;
        }
        snprintf(text, sizeof(text),
                 "server CPU %.1f us/row; key cache: %.2f block reads/row (%.4f missed), %.2f block "
                 "writes/row (%.3f written out); %s",
                 1e6 * (b.m_Cpu - a.m_Cpu) / n, double(b.m_KeyReadRequests - a.m_KeyReadRequests) / n,
                 double(b.m_KeyReads - a.m_KeyReads) / n,
                 double(b.m_KeyWriteRequests - a.m_KeyWriteRequests) / n,
                 double(b.m_KeyWrites - a.m_KeyWrites) / n, disk.c_str());
        return text;
    }

    long long TableRows(MYSQL* conn, CBigTableRows::ETable table)
    {
        // MyISAM keeps the exact count; nothing loads while this is asked.
        return atoll(
            QueryValue(conn, std::string("select count(*) from ") + CBigTableRows::TableName(table), "0")
                .c_str());
    }

    // Loads generated history into device 1's four data-file tables until usrbasiclog holds
    // `basicRows` and the others their share of it. Each step's rows run in time order over the
    // `m_Days` days before `now`; the next chunk is generated while the server loads the current one.
    bool PrefillTo(MYSQL* conn, CBigTableRows& rows, long long basicRows, time_t now)
    {
        struct Job
        {
            CBigTableRows::ETable m_Table;
            long long m_Offset, m_Count, m_StepRows, m_At;
        };
        std::vector<Job> jobs;
        for (int t = 0; t < CBigTableRows::TABLE_COUNT; ++t)
        {
            const auto table = CBigTableRows::ETable(t);
            const long long have = TableRows(conn, table);
            const long long want = llround(double(basicRows) * CBigTableRows::Share(table));
            for (long long off = 0; off < want - have; off += m_Opt.m_PrefillChunk)
                jobs.push_back({table, off, std::min<long long>(m_Opt.m_PrefillChunk, want - have - off),
                                want - have, have + off});
        }
        const time_t from = now - time_t(m_Opt.m_Days) * 86400, to = now - 60;
        auto generate = [&](const Job& job, const std::string& path)
        {
            std::string text;
            const double span = double(to - from) / double(job.m_StepRows);
            rows.Append(job.m_Table, long(job.m_Count), from + time_t(span * double(job.m_Offset)),
                        from + time_t(span * double(job.m_Offset + job.m_Count)), text);
            WriteFile(path, text);
        };
        const std::string paths[2] = {m_Harness.Dir() + "/bench_prefill_0.txt",
                                      m_Harness.Dir() + "/bench_prefill_1.txt"};
        bool ok = true;
        std::thread next;
        if (!jobs.empty())
            generate(jobs[0], paths[0]);
        for (size_t i = 0; i < jobs.size() && ok; ++i)
        {
            if (i + 1 < jobs.size())
                next = std::thread([&, i] { generate(jobs[i + 1], paths[(i + 1) % 2]); });
            const double t0 = Now();
            ok = Exec(conn, CBigTableRows::LoadStatement(jobs[i].m_Table, paths[i % 2]));
            const double t1 = Now();
            if (!ok)
                fprintf(stderr, "bench: prefill load failed: %s\n", mysql_error(conn));
            if (jobs[i].m_Table == CBigTableRows::TABLE_USR_BASIC)
                printf("  prefill usrbasiclog %lld -> %lld rows: %.0f rows/s\n", jobs[i].m_At,
                       jobs[i].m_At + jobs[i].m_Count, double(jobs[i].m_Count) / (t1 - t0));
            fflush(stdout);
            if (next.joinable())
                next.join();
        }
        if (next.joinable())
            next.join();
        for (const std::string& p : paths)
            unlink(p.c_str());
        return ok;
    }

    struct ReloadResult
    {
        long long m_Rows = 0, m_BasicRows = 0;
        double m_Seconds = 0, m_BasicSeconds = 0;
    };

    // The server's own rate for rows of the collector's shape: one file per user table, in the
    // shares of the user mix, loaded with the collector's statement into the tables as they stand.
    bool Reload(MYSQL* conn, CBigTableRows& rows, long total, ReloadResult& out)
    {
        const CBigTableRows::ETable tables[3] = {CBigTableRows::TABLE_USR_BASIC, CBigTableRows::TABLE_USR_SVR,
                                                 CBigTableRows::TABLE_USR_FLOW};
        const double shares = 1.0 + CBigTableRows::Share(tables[1]) + CBigTableRows::Share(tables[2]);
        const time_t now = time(nullptr);
        bool ok = true;
        for (const CBigTableRows::ETable table : tables)
        {
            const long n = long(double(total) * CBigTableRows::Share(table) / shares);
            const std::string path = m_Harness.Dir() + "/bench_reload.txt";
            std::string text;
            rows.Append(table, n, now - 10, now, text);
            WriteFile(path, text);
            const double t0 = Now();
            ok = Exec(conn, CBigTableRows::LoadStatement(table, path)) && ok;
            const double t1 = Now();
            unlink(path.c_str());
            out.m_Rows += n;
            out.m_Seconds += t1 - t0;
            if (table == CBigTableRows::TABLE_USR_BASIC)
            {
                out.m_BasicRows += n;
                out.m_BasicSeconds += t1 - t0;
            }
        }
        return ok;
    }

    // The depth of each usrbasiclog key, from myisamchk's statistics of the index file (read only,
    // after the server has written its blocks out); empty when myisamchk is not at hand.
    std::string KeyLevels(MYSQL* conn)
    {
        std::string chk;
        for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/mysql/bin"})
            if (access((std::string(dir) + "/myisamchk").c_str(), X_OK) == 0)
            {
                chk = std::string(dir) + "/myisamchk";
                break;
            }
        if (chk.empty())
            return std::string();
        Exec(conn, "flush tables usrbasiclog");
        const std::string index =
            QueryValue(conn, "select @@datadir") + "/" + m_Harness.DeviceDb(1) + "/usrbasiclog.MYI";
        std::string out;
        RunProgram({chk, "--information", "--read-only", "--silent", index}, {}, 3600 * 1000, &out);
        std::string levels;
        for (size_t at = out.find("Max levels:"); at != std::string::npos;
             at = out.find("Max levels:", at + 1))
            levels += (levels.empty() ? "" : "/") + std::to_string(atoi(out.c_str() + at + 11));
        return levels;
    }

    struct CurvePoint
    {
        long long m_SizeBefore = 0, m_SizeAfter = 0;
        double m_CollectorRowsPerS = 0, m_ReloadRowsPerS = 0, m_ReloadBasicRowsPerS = 0;
        bool m_Ok = false;
    };

    // The end-to-end rate of one device's user logs at each usrbasiclog size, beside the server's own
    // load of rows of the same shape into the same tables, just before and just after the collector's
    // run (the collector's rows land between the two sizes they bracket).
    std::vector<CurvePoint> BigTableCurve()
    {
        std::vector<CurvePoint> points;
        MYSQL* conn = AdminConnect(m_Harness.DeviceDb(1));
        if (conn == nullptr)
            return points;
        unsigned int on = 1;
        mysql_options(conn, MYSQL_OPT_LOCAL_INFILE, &on);

        const std::string keyBuffer = QueryValue(conn, "select @@global.key_buffer_size", "");
        if (m_Opt.m_KeyBufferMiB > 0)
            Exec(conn, "set global key_buffer_size = " + std::to_string(long(m_Opt.m_KeyBufferMiB) << 20));
        printf("# key cache %s bytes (provisioned trees: 32M), bulk insert buffer %s bytes; %d users in %d "
               "groups; history over %d days\n",
               QueryValue(conn, "select @@global.key_buffer_size").c_str(),
               QueryValue(conn, "select @@global.bulk_insert_buffer_size").c_str(), m_Opt.m_Users,
               m_Opt.m_Groups, m_Opt.m_Days);
        printf(
            "# prefill: usrsvrlog and usrflowlog %.1fx, syslog %.1fx the usrbasiclog rows, loaded in chunks "
            "of %ld rows\n",
            CBigTableRows::Share(CBigTableRows::TABLE_USR_SVR),
            CBigTableRows::Share(CBigTableRows::TABLE_SYSLOG), m_Opt.m_PrefillChunk);
        printf(
            "# each size: reload of %ld rows (the user tables' shares), the collector for %d s (devsim user "
            "mix, merge off), reload again\n",
            m_Opt.m_ReloadRows, m_Opt.m_Seconds);
        fflush(stdout);

        CBigTableRows rows(m_Opt.m_Users, m_Opt.m_Groups, 20240601);
        const time_t now = time(nullptr);
        const std::vector<std::string> devsimExtra = {"--users", std::to_string(m_Opt.m_Users), "--groups",
                                                      std::to_string(m_Opt.m_Groups)};
        for (long long size : m_Opt.m_Sizes)
        {
            CurvePoint p;
            const double t0 = Now();
            if (!PrefillTo(conn, rows, size, now))
                break;
            p.m_SizeBefore = TableRows(conn, CBigTableRows::TABLE_USR_BASIC);
            printf("\n== usrbasiclog at %lld rows (prefill %.0f s); data %s MiB, index %s MiB\n",
                   p.m_SizeBefore, Now() - t0,
                   QueryValue(conn,
                              "select data_length >> 20 from information_schema.tables where table_schema = "
                              "database() and table_name = 'usrbasiclog'")
                       .c_str(),
                   QueryValue(conn,
                              "select index_length >> 20 from information_schema.tables where table_schema "
                              "= database() and table_name = 'usrbasiclog'")
                       .c_str());
            if (m_Opt.m_KeyLevels)
            {
                const double k0 = Now();
                const std::string levels = KeyLevels(conn);
                printf("   key levels (record_id/user_id/grp_id/log_time): %s (myisamchk, %.0f s)\n",
                       levels.empty() ? "n/a" : levels.c_str(), Now() - k0);
            }
            fflush(stdout);

            ReloadResult reload;
            ServerSample s0 = SampleServer(conn);
            bool ok = Reload(conn, rows, m_Opt.m_ReloadRows / 2, reload);
            ServerSample s1 = SampleServer(conn);
            RunResult run = Run(1, USER_MIX, false, true, devsimExtra);
            ServerSample s2 = SampleServer(conn);
            ok = Reload(conn, rows, m_Opt.m_ReloadRows - m_Opt.m_ReloadRows / 2, reload) && ok;
            ServerSample s3 = SampleServer(conn);
            p.m_SizeAfter = TableRows(conn, CBigTableRows::TABLE_USR_BASIC);
            p.m_CollectorRowsPerS = run.m_SteadyUserRowsPerS;
            p.m_ReloadRowsPerS = reload.m_Seconds > 0 ? double(reload.m_Rows) / reload.m_Seconds : 0;
            p.m_ReloadBasicRowsPerS =
                reload.m_BasicSeconds > 0 ? double(reload.m_BasicRows) / reload.m_BasicSeconds : 0;
            p.m_Ok = ok && run.m_Ok;

            // The reloads' server work, both halves together.
            ServerSample reloadA = s0, reloadB = s1;
            reloadB.m_Cpu += s3.m_Cpu - s2.m_Cpu;
            reloadB.m_ReadBytes += s3.m_ReadBytes - s2.m_ReadBytes;
            reloadB.m_WriteBytes += s3.m_WriteBytes - s2.m_WriteBytes;
            reloadB.m_KeyReadRequests += s3.m_KeyReadRequests - s2.m_KeyReadRequests;
            reloadB.m_KeyReads += s3.m_KeyReads - s2.m_KeyReads;
            reloadB.m_KeyWriteRequests += s3.m_KeyWriteRequests - s2.m_KeyWriteRequests;
            reloadB.m_KeyWrites += s3.m_KeyWrites - s2.m_KeyWrites;
            printf("%-44s %14s %14s %8s\n", "usrbasiclog rows (before -> after)", "collector/s", "reload/s",
                   "ratio");
            printf("%-44s %14.0f %14.0f %8.2f%s\n",
                   (std::to_string(p.m_SizeBefore) + " -> " + std::to_string(p.m_SizeAfter)).c_str(),
                   p.m_CollectorRowsPerS, p.m_ReloadRowsPerS,
                   p.m_ReloadRowsPerS > 0 ? p.m_CollectorRowsPerS / p.m_ReloadRowsPerS : 0,
                   p.m_Ok ? "" : " (a load or devsim failed)");
            printf("   collector: %lld user-table rows, %.0f/s from the first load's end to the last's, "
                   "%.0f/s from "
                   "the first record sent (%.1f s); %lld records sent -> %lld rows (expected %lld), drained "
                   "%.1f s "
                   "after devsim ended\n      %s\n",
                   run.m_UserRows, run.m_SteadyUserRowsPerS, run.m_UserRowsPerS, run.m_Span, run.m_Records,
                   run.m_Rows, run.m_ExpectedRows, run.m_Drain,
                   DescribeServer(s1, s2, run.m_UserRows).c_str());
            printf("   reload: %lld rows in %.1f s (usrbasiclog alone %.0f rows/s)\n      %s\n",
                   reload.m_Rows, reload.m_Seconds, p.m_ReloadBasicRowsPerS,
                   DescribeServer(reloadA, reloadB, reload.m_Rows).c_str());
            printf("   reproduce: %s\n", run.m_Command.c_str());
            fflush(stdout);
            points.push_back(p);
            if (!p.m_Ok)
                break;
        }
        if (!keyBuffer.empty())
            Exec(conn, "set global key_buffer_size = " + keyBuffer);
        mysql_close(conn);
        return points;
    }

private:
    const Options& m_Opt;
    CCollectorHarness m_Harness;
    int m_DeviceCount = 0;
    pid_t m_Pid = -1;
    bool m_ServiceReady = false;
    pid_t m_ServerPid = -1;
};

void Usage()
{
    printf("usage: ingest_e2e_bench [--seconds S] [--devices 1,8,32] [--merge on|off|both] [--divisor N]\n"
           "                        [--idle N] [--load-rows N] [--insert-rows N]\n"
           "                        [--soak-seconds S] [--soak-rate R] [--soak-devices N]\n"
           "                        [--mode service|console]\n"
           "       ingest_e2e_bench --sizes N,N,... [--seconds S] [--users N] [--groups N] [--days D]\n"
           "                        [--reload-rows N] [--prefill-chunk N] [--key-buffer-mib M] [--key-levels "
           "0|1]\n"
           "--devices 0 leaves out the throughput runs (idle memory and soak only).\n"
           "--sizes runs only the big-table curve: device 1's tables prefilled by load data to each\n"
           "usrbasiclog size in turn (history over D days), then the collector's user-log rate (S s,\n"
           "default 30) beside a reload of rows of the same shape at that size.\n"
           "Needs QB_TEST_DB_* (scripts/test-mariadb.sh start DIR).\n");
}
} // namespace

// The big-table curve alone: one device whose tables grow from size to size.
static int BigTableCurveMain(Options& opt)
{
    if (!opt.m_SecondsGiven)
        opt.m_Seconds = 30;
    CBench bench(opt);
    if (!bench.PrepareBigTables())
    {
        fprintf(stderr, "ingest_e2e_bench: cannot prepare the install tree and databases\n");
        return 1;
    }
    printf("# %s\n", opt.m_CommandLine.c_str());
    printf("# collector intervals divided by %d (QUILLBARN_TEST_TIME_DIVISOR=%d): data files switched out "
           "after %.0f s, import cycle %.1f s; cleaning and the Saturday repair windows closed\n",
           opt.m_Divisor, opt.m_Divisor, 600.0 / opt.m_Divisor, 10.0 / opt.m_Divisor);
    fflush(stdout);
    const std::vector<CBench::CurvePoint> points = bench.BigTableCurve();
    printf("\nuser logs end to end, 1 device, merge off, against the usrbasiclog size: collector = "
           "user-table rows "
           "per s from the first load's end to the last's; reload = load data of rows of the same shape into "
           "the "
           "same tables, same run\n");
    printf("%-16s %-16s %14s %14s %8s %18s\n", "usrbasiclog", "after the run", "collector/s", "reload/s",
           "ratio", "usrbasiclog alone/s");
    for (const CBench::CurvePoint& p : points)
        printf("%-16lld %-16lld %14.0f %14.0f %8.2f %18.0f%s\n", p.m_SizeBefore, p.m_SizeAfter,
               p.m_CollectorRowsPerS, p.m_ReloadRowsPerS,
               p.m_ReloadRowsPerS > 0 ? p.m_CollectorRowsPerS / p.m_ReloadRowsPerS : 0,
               p.m_ReloadBasicRowsPerS, p.m_Ok ? "" : " (failed)");
    bench.Cleanup();
    return points.size() == opt.m_Sizes.size() ? 0 : 1;
}

int main(int argc, char** argv)
{
    Options opt;
    opt.m_CommandLine = "build/bin/ingest_e2e_bench";
    for (int i = 1; i < argc; ++i)
    {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--help")
        {
            Usage();
            return 0;
        }
        if (i + 1 >= argc)
        {
            Usage();
            return 2;
        }
        opt.m_CommandLine += " " + a + " " + v;
        ++i;
        if (a == "--seconds")
        {
            opt.m_Seconds = atoi(v);
            opt.m_SecondsGiven = true;
        }
        else if (a == "--sizes")
            opt.m_Sizes = ParseSizes(v);
        else if (a == "--users")
            opt.m_Users = std::max(1, atoi(v));
        else if (a == "--groups")
            opt.m_Groups = std::max(1, atoi(v));
        else if (a == "--days")
            opt.m_Days = std::max(1, atoi(v));
        else if (a == "--reload-rows")
            opt.m_ReloadRows = std::max(2L, atol(v));
        else if (a == "--prefill-chunk")
            opt.m_PrefillChunk = std::max(1000L, atol(v));
        else if (a == "--key-buffer-mib")
            opt.m_KeyBufferMiB = atoi(v);
        else if (a == "--key-levels")
            opt.m_KeyLevels = atoi(v) != 0;
        else if (a == "--devices")
            opt.m_Devices = ParseList(v);
        else if (a == "--merge")
        {
            opt.m_MergeOn = strcmp(v, "off") != 0;
            opt.m_MergeOff = strcmp(v, "on") != 0;
        }
        else if (a == "--divisor")
            opt.m_Divisor = std::max(1, atoi(v));
        else if (a == "--idle")
            opt.m_Idle = atoi(v);
        else if (a == "--load-rows")
            opt.m_LoadRows = atol(v);
        else if (a == "--insert-rows")
            opt.m_InsertRows = atol(v);
        else if (a == "--soak-seconds")
            opt.m_SoakSeconds = atoi(v);
        else if (a == "--soak-rate")
            opt.m_SoakRate = atof(v);
        else if (a == "--mode")
            opt.m_Service = strcmp(v, "console") != 0;
        else if (a == "--soak-devices")
            opt.m_SoakDevices = atoi(v);
        else
        {
            Usage();
            return 2;
        }
    }
    if (!HaveTestDatabase())
    {
        fprintf(stderr, "ingest_e2e_bench: QB_TEST_DB_* not set (scripts/test-mariadb.sh start DIR)\n");
        return 2;
    }
    setenv("QUILLBARN_TEST_TIME_DIVISOR", std::to_string(opt.m_Divisor).c_str(), 1);

    if (!opt.m_Sizes.empty())
        return BigTableCurveMain(opt);

    int maxDevices = std::max(opt.m_Idle, opt.m_SoakDevices);
    for (int d : opt.m_Devices)
        maxDevices = std::max(maxDevices, d);
    CBench bench(opt);
    if (!bench.Prepare(maxDevices))
    {
        fprintf(stderr, "ingest_e2e_bench: cannot prepare the install tree and databases\n");
        return 1;
    }
    printf("# %s\n", opt.m_CommandLine.c_str());
    printf("# collector intervals divided by %d (QUILLBARN_TEST_TIME_DIVISOR=%d): data files switched out "
           "after %.0f s, import cycle %.1f s\n",
           opt.m_Divisor, opt.m_Divisor, 600.0 / opt.m_Divisor, 10.0 / opt.m_Divisor);
    fflush(stdout);

    long baseKb = 0, idleKb = 0;
    // "--devices 0" leaves out the throughput runs (for a memory-only run).
    if (!(opt.m_Devices.size() == 1 && opt.m_Devices[0] == 0))
    {
        // The headline: user logs through the data-file path, one device.
        CBench::RunResult user = bench.Run(1, USER_MIX, false);
        long fileRows = 0, insertRows = 0;
        double loadRate = 0, reloadRate = 0, insertRate = 0;
        std::string loadCommand;
        bench.Baselines(fileRows, loadRate, reloadRate, insertRows, insertRate, loadCommand);

        printf("\n%-58s %14s %10s %10s\n", "end to end (rows stored per s, first record to last row)",
               "rows/s", "x load", "x insert");
        printf("%-58s %14.0f %10s %10s\n",
               ("baseline: one load data of " + std::to_string(fileRows) + " rows").c_str(), loadRate, "1.00",
               "");
        printf("%-58s %14.0f %10s %10s\n",
               ("baseline: " + std::to_string(insertRows) + " one-row inserts").c_str(), insertRate, "",
               "1.00");
        printf("%-58s %14.0f %10.2f %10s\n", "baseline: the same load into the table holding its rows",
               reloadRate, loadRate > 0 ? reloadRate / loadRate : 0, "");
        auto line = [&](const std::string& what, double rate)
        {
            printf("%-58s %14.0f %10.2f %10.2f\n", what.c_str(), rate, loadRate > 0 ? rate / loadRate : 0,
                   insertRate > 0 ? rate / insertRate : 0);
        };
        line("user logs, 1 device, merge off (user-table rows)", user.m_UserRowsPerS);
        printf("    %.2fx the load into a table that already holds rows\n",
               reloadRate > 0 ? user.m_UserRowsPerS / reloadRate : 0);
        printf("    records sent %.0f/s, %lld records -> %lld rows (expected %lld), drained %.1f s after the "
               "end, peak "
               "RSS %ld KiB\n"
               "    reproduce: %s\n",
               user.m_RecordsPerS, user.m_Records, user.m_Rows, user.m_ExpectedRows, user.m_Drain,
               user.m_PeakRssKb, user.m_Command.c_str());

        printf("\n%-58s %14s %14s %10s %10s %12s\n", "mixed kinds, flat out", "records/s", "rows/s", "x load",
               "x insert", "RSS/dev KiB");
        for (int merge = 1; merge >= 0; --merge)
        {
            if ((merge && !opt.m_MergeOn) || (!merge && !opt.m_MergeOff))
                continue;
            for (int d : opt.m_Devices)
            {
                CBench::RunResult r = bench.Run(d, FULL_MIX, merge != 0);
                std::string what = std::to_string(d) + (d == 1 ? " device" : " devices") + ", merge " +
                                   (merge ? "on" : "off") + (r.m_Ok ? "" : " (devsim failed)");
                printf("%-58s %14.0f %14.0f %10.2f %10.2f %12ld\n", what.c_str(), r.m_RecordsPerS,
                       r.m_RowsPerS, loadRate > 0 ? r.m_RowsPerS / loadRate : 0,
                       insertRate > 0 ? r.m_RowsPerS / insertRate : 0, r.m_PeakRssKb / d);
                // Merging sums flow records and drops repeated accesses, so only unmerged runs have an
                // exact expectation.
                const std::string expected =
                    merge ? "merged" : "expected " + std::to_string(r.m_ExpectedRows);
                printf("    %lld records -> %lld rows (%s), drained %.1f s after the end, peak RSS %ld KiB; "
                       "reproduce: %s\n",
                       r.m_Records, r.m_Rows, expected.c_str(), r.m_Drain, r.m_PeakRssKb,
                       r.m_Command.c_str());
                fflush(stdout);
            }
        }
    }

    if (opt.m_Idle > 0)
    {
        bench.IdleMemory(opt.m_Idle, baseKb, idleKb);
        printf(
            "\nmemory: %d idle connected devices: RSS %ld KiB (%ld KiB before they connected, %.0f KiB per "
            "device); limit 1 GiB\n",
            opt.m_Idle, idleKb, baseKb, double(idleKb - baseKb) / opt.m_Idle);
        printf("    reproduce: %s --devices 1 --merge on --idle %d (devsim --devices %d --rate 0.5 --mix "
               "keepalive=1)\n",
               opt.m_CommandLine.substr(0, opt.m_CommandLine.find(' ')).c_str(), opt.m_Idle, opt.m_Idle);
    }
    if (opt.m_SoakSeconds > 0)
    {
        std::vector<std::pair<double, long>> samples;
        bench.Soak(samples);
        printf("\nsoak: %d devices at %.0f records/s each for %d s, merge on; RSS KiB every 30 s:\n   ",
               opt.m_SoakDevices, opt.m_SoakRate, opt.m_SoakSeconds);
        for (auto& s : samples)
            printf(" %ld", s.second);
        if (samples.size() >= 4)
        {
            long early = samples[1].second, late = samples.back().second;
            printf("\n    after the first minute %ld KiB, at the end %ld KiB (growth %+.1f%%)", early, late,
                   100.0 * double(late - early) / double(early));
        }
        printf("\n");
    }
    bench.Cleanup();
    return 0;
}
