// Maintenance under load: the big device database of the curve, 8 devices at a steady total rate with
// merging on, and the shipped maintenance statements run one after the other on that database while
// the records keep coming: cleaning by age, cleaning by size (with the repair the collector runs after
// it), the report tables for one full day, and the weekly strong repair. For each: how long it ran, the
// longest a record waited per storing path, the peak data-file backlog, the receive rate and memory.
#include "IngestBench.h"

#include <functional>
#include <mutex>

namespace qbbench
{
namespace
{
// Runs a statement whose results (a procedure's, a repair's table of messages) are read and dropped.
bool RunDrained(MYSQL* conn, const std::string& sql)
{
    if (mysql_query(conn, sql.c_str()) != 0)
    {
        fprintf(stderr, "bench: %s: %s\n", sql.c_str(), mysql_error(conn));
        return false;
    }
    for (;;)
    {
        if (MYSQL_RES* res = mysql_store_result(conn))
            mysql_free_result(res);
        const int next = mysql_next_result(conn);
        if (next < 0)
            return true;
        if (next > 0)
        {
            fprintf(stderr, "bench: %s: %s\n", sql.c_str(), mysql_error(conn));
            return false;
        }
    }
}

std::string LocalDay(time_t t)
{
    struct tm tmv
    {
    };
    localtime_r(&t, &tmv);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d", &tmv);
    return text;
}

// Takes a sample every `intervalMs` on a thread of its own until stopped, and keeps each with the time
// it was taken. `take` runs on that thread and returns false when it has nothing to keep.
template <typename T> class CSampler
{
public:
    CSampler(int intervalMs, std::function<bool(T&)> take) : m_IntervalMs(intervalMs), m_Take(std::move(take))
    {
    }
    ~CSampler() { Stop(); }

    void Start()
    {
        m_Thread = std::thread(
            [this]
            {
                while (!m_Stop.load())
                {
                    T sample;
                    if (m_Take(sample))
                    {
                        sample.m_At = Now();
                        std::lock_guard<std::mutex> lock(m_Lock);
                        m_Samples.push_back(sample);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_IntervalMs));
                }
            });
    }

    void Stop()
    {
        m_Stop = true;
        if (m_Thread.joinable())
            m_Thread.join();
    }

    std::vector<T> Between(double from, double to)
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        std::vector<T> out;
        for (const T& s : m_Samples)
            if (s.m_At >= from && s.m_At <= to)
                out.push_back(s);
        return out;
    }

    // The newest sample; false before the first.
    bool Last(T& sample)
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Samples.empty())
            return false;
        sample = m_Samples.back();
        return true;
    }

private:
    int m_IntervalMs;
    std::function<bool(T&)> m_Take;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::mutex m_Lock;
    std::vector<T> m_Samples;
};

struct LagSample
{
    double m_At = 0, m_Lag = 0; // answer time, seconds the newest row is behind the clock
};

// How far behind the newest stored row of a table is, every 0.5 s: probed on its own connection, so
// that a probe waiting for a table lock measures that wait and does not hold up the other probes.
class CLagProbe : public CSampler<LagSample>
{
public:
    CLagProbe(const std::string& db, const char* table)
        : CSampler(500,
                   [this](LagSample& s)
                   {
                       if (m_Conn == nullptr)
                           m_Conn = AdminConnect(m_Db);
                       const std::string v = m_Conn ? QueryValue(m_Conn, m_Query, "") : "";
                       s.m_Lag = double(time(nullptr)) - atof(v.c_str());
                       return !v.empty();
                   }),
          m_Db(db), m_Query(std::string("select unix_timestamp(max(log_time)) from ") + table)
    {
    }
    ~CLagProbe()
    {
        Stop();
        if (m_Conn)
            mysql_close(m_Conn);
    }

    // The largest lag seen by probes that answered in [from, to].
    double MaxLag(double from, double to)
    {
        double worst = 0;
        for (const LagSample& s : Between(from, to))
            worst = std::max(worst, s.m_Lag);
        return worst;
    }

    double LastLag()
    {
        LagSample s;
        return Last(s) ? s.m_Lag : 1e9;
    }

private:
    std::string m_Db;
    std::string m_Query;
    MYSQL* m_Conn = nullptr; // used on the sampler's thread only
};

struct MetricsSample
{
    double m_At = 0, m_Received = 0, m_BacklogFiles = 0, m_BacklogBytes = 0;
    long m_RssKb = 0;
};

// The collector's metrics once a second, and its resident memory.
class CMetricsFollower : public CSampler<MetricsSample>
{
public:
    CMetricsFollower(int port, pid_t pid)
        : CSampler(1000,
                   [port, pid](MetricsSample& s)
                   {
                       const std::string text = HttpGet(port, "/metrics");
                       if (text.empty())
                           return false;
                       s.m_Received = MetricSum(text, "quillbarn_records_received_total");
                       s.m_BacklogFiles = MetricSum(text, "quillbarn_data_file_backlog_files");
                       s.m_BacklogBytes = MetricSum(text, "quillbarn_data_file_backlog_bytes");
                       long hwm = 0;
                       ReadMemory(pid, s.m_RssKb, hwm);
                       return true;
                   })
    {
    }

    MetricsSample Last()
    {
        MetricsSample s;
        CSampler::Last(s);
        return s;
    }
};

// The lowest receive rate over any 5 s window of the samples.
double LowestRate(const std::vector<MetricsSample>& s)
{
    double low = -1;
    for (size_t i = 0, j = 0; i < s.size(); ++i)
    {
        while (j < s.size() && s[j].m_At - s[i].m_At < 5)
            ++j;
        if (j >= s.size())
            break;
        const double rate = (s[j].m_Received - s[i].m_Received) / (s[j].m_At - s[i].m_At);
        low = low < 0 ? rate : std::min(low, rate);
    }
    return std::max(0.0, low);
}
} // namespace

bool CBench::MaintenanceUnderLoad()
{
    MYSQL* conn = AdminConnect(m_Harness.DeviceDb(1));
    if (conn == nullptr)
        return false;
    if (m_Opt.m_KeyBufferMiB > 0)
        Exec(conn, "set global key_buffer_size = " + std::to_string(long(m_Opt.m_KeyBufferMiB) << 20));
    const int devices = m_Opt.m_MaintDevices;
    const double perDevice = m_Opt.m_MaintRate / devices;
    const long long basic = TableRows(conn, CBigTableRows::TABLE_USR_BASIC);

    // The tables of the batched inserts hold history too (a twentieth of usrbasiclog's rows each, at the
    // same times): cleaning by size takes its share of the oldest rows of every log table, and on
    // tables holding only the run's rows that share would be the records counted at the end.
    if (atoll(QueryValue(conn, "select count(*) from alarm_log", "0").c_str()) < basic / 40)
    {
        const double t0 = Now();
        Exec(conn, "insert into alarm_log (type, message, log_time) select 1, 'disk usage above threshold', "
                   "log_time from usrbasiclog where user_id % 20 = 0");
        Exec(conn, "insert into adt_log (log_time, adt_action, action_result, entity, adt_id, adt_name, "
                   "adt_grp_id, address, message) select log_time, 1, 0, 1, 1, 'admin', 1, address, 'login' "
                   "from usrbasiclog where user_id % 20 = 1");
        printf("# history of alarm_log and adt_log: %s and %s rows (%.0f s)\n",
               QueryValue(conn, "select count(*) from alarm_log").c_str(),
               QueryValue(conn, "select count(*) from adt_log").c_str(), Now() - t0);
    }

    // Cleaning by age: the day that leaves about the wanted share of usrbasiclog's history (the rows
    // before today) at or before it. Counting today's rows of the curve's run too would, on a small
    // database, put the cut-off at yesterday; cleaning by size would then find only the run's rows in
    // syslog and take the first seconds of the records counted at the end.
    const long long history =
        atoll(QueryValue(conn, "select count(*) from usrbasiclog where log_time < curdate()", "0").c_str());
    const std::string cutDay = QueryValue(
        conn, "select date(log_time) - interval 1 day from usrbasiclog where log_time < curdate() order by "
              "log_time limit " +
                  std::to_string(llround(double(history) * m_Opt.m_CleanShare)) + ", 1");
    const std::string yesterday = LocalDay(time(nullptr) - 86400);
    QuietReportTables(conn, yesterday);

    printf("\n== maintenance under load: %d devices x %.0f records/s (devsim full mix, merge on), device 1 "
           "holds usrbasiclog %lld rows (data %s MiB, index %s MiB); key cache %s bytes\n",
           devices, perDevice, basic,
           QueryValue(conn, "select data_length >> 20 from information_schema.tables where table_schema = "
                            "database() and table_name = 'usrbasiclog'")
               .c_str(),
           QueryValue(conn, "select index_length >> 20 from information_schema.tables where table_schema = "
                            "database() and table_name = 'usrbasiclog'")
               .c_str(),
           QueryValue(conn, "select @@global.key_buffer_size").c_str());
    fflush(stdout);

    SetMerge(true);
    if (!StartCollector())
    {
        fprintf(stderr, "bench: collector did not start; its log:\n%s\n", m_Harness.Log().c_str());
        mysql_close(conn);
        return false;
    }
    const pid_t pid = m_Pid;
    const std::string stopFile = m_Harness.Dir() + "/bench_stop";
    unlink(stopFile.c_str());
    std::map<std::string, std::string> report;
    std::thread devsim(
        [&]
        {
            report =
                m_Harness.RunDevsim({"--devices", std::to_string(devices), "--rate",
                                     std::to_string(perDevice), "--seconds", "36000", "--stop-file", stopFile,
                                     "--mix", FULL_MIX, "--seq", "--users", std::to_string(m_Opt.m_Users),
                                     "--groups", std::to_string(m_Opt.m_Groups), "--reply-timeout", "120"},
                                    nullptr, 37000 * 1000);
        });
    CLagProbe dataPath(m_Harness.DeviceDb(1), "usrbasiclog"), insertPath(m_Harness.DeviceDb(1), "alarm_log");
    CMetricsFollower metrics(m_Harness.MetricsPort(), pid);
    dataPath.Start();
    insertPath.Start();
    metrics.Start();

    // Warm-up: the steady state every job is compared with.
    const double warm0 = Now();
    std::this_thread::sleep_for(std::chrono::seconds(m_Opt.m_MaintWarmup));
    const double warm1 = Now();
    // The first data files land a use time after the start: the steady lag is taken from the second half.
    const double steadyData = dataPath.MaxLag((warm0 + warm1) / 2, warm1);
    const double steadyInsert = insertPath.MaxLag((warm0 + warm1) / 2, warm1);
    double steadyFiles = 0;
    for (const MetricsSample& s : metrics.Between((warm0 + warm1) / 2, warm1))
        steadyFiles = std::max(steadyFiles, s.m_BacklogFiles);
    const double steadyRate = LowestRate(metrics.Between(warm0 + 10, warm1));
    printf("steady state (%d s): longest wait data files %.0f s, batched inserts %.0f s; backlog up to %.0f "
           "files; receive rate at least %.0f records/s\n",
           m_Opt.m_MaintWarmup, steadyData, steadyInsert, steadyFiles, steadyRate);

    struct Job
    {
        std::string m_Name;
        std::vector<std::string> m_Statements;
    };
    std::vector<Job> jobs = {
        {"clean by age", {"call CleanByTime(\"" + cutDay + " 23:59:59\")"}},
        {"clean by size", {"call CleanByContent(" + std::to_string(m_Opt.m_ContentPercent) + ")"}},
        {"  repair after clean by size", {"call repairTables()"}},
        {"report tables, one day", {}},
        {"strong repair", {"call repairTables()"}},
    };
    static const char* const GEN[] = {
        "GenMid_GrpFlowRange",     "GenMid_GrpFlowTrend",  "GenMid_SvrFlowRange",  "GenMid_SvrFlowTRend",
        "GenMid_SvrUserFlowRange", "GenMid_UserFlowRange", "GenMid_UserFlowTRend", "GenMid_UserSvrFlowRange",
        "GenMid_SvrBWOptFlow",     "GenMid_UserBwOptFlow"};
    for (int i = 0; i < 10; ++i)
    {
        jobs[3].m_Statements.push_back("call " + std::string(GEN[i]) + "(\"" + yesterday + "\", \"" +
                                       yesterday + "\")");
        jobs[3].m_Statements.push_back("call RebuildView(" + std::to_string(i + 1) + ")");
    }
    printf("# statements: clean by age: %s; clean by size: %s then %s; report tables: call GenMid_X(\"%s\", "
           "\"%s\") and call RebuildView(n) for the ten tables; strong repair: %s\n",
           jobs[0].m_Statements[0].c_str(), jobs[1].m_Statements[0].c_str(), jobs[2].m_Statements[0].c_str(),
           yesterday.c_str(), yesterday.c_str(), jobs[4].m_Statements[0].c_str());
    fflush(stdout);

    printf("%-34s %8s %10s %10s %12s %14s %10s %10s\n", "job", "run s", "wait file", "wait ins",
           "backlog peak", "receive min/s", "drain s", "RSS MiB");
    fflush(stdout);

    bool ok = true;
    MYSQL* job = AdminConnect(m_Harness.DeviceDb(1));
    if (job != nullptr)
        mysql_set_server_option(job, MYSQL_OPTION_MULTI_STATEMENTS_ON);
    for (const Job& j : jobs)
    {
        if (job == nullptr)
        {
            ok = false;
            break;
        }
        const long long before = TableRows(job, CBigTableRows::TABLE_USR_BASIC);
        const double t0 = Now();
        for (const std::string& s : j.m_Statements)
            ok = RunDrained(job, s) && ok;
        const double t1 = Now();
        const long long after = TableRows(job, CBigTableRows::TABLE_USR_BASIC);
        // Drained: backlog and lag back to the steady state, or twice the job's time (plus a minute) gone.
        const double limit = t1 + std::max(60.0, 2 * (t1 - t0)) + 60;
        double drained = -1;
        while (Now() < limit)
        {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (metrics.Last().m_BacklogFiles <= steadyFiles && dataPath.LastLag() <= steadyData + 5 &&
                insertPath.LastLag() <= steadyInsert + 5)
            {
                drained = Now() - t1;
                break;
            }
        }
        const double t2 = Now();
        double peakFiles = 0, peakBytes = 0;
        long rss = 0;
        const std::vector<MetricsSample> window = metrics.Between(t0, t2);
        for (const MetricsSample& s : window)
        {
            peakFiles = std::max(peakFiles, s.m_BacklogFiles);
            peakBytes = std::max(peakBytes, s.m_BacklogBytes);
            rss = std::max(rss, s.m_RssKb);
        }
        char backlog[64];
        snprintf(backlog, sizeof(backlog), "%.0f/%.0fM", peakFiles, peakBytes / 1048576);
        char drain[32];
        snprintf(drain, sizeof(drain), drained < 0 ? "> %.0f" : "%.0f", drained < 0 ? t2 - t1 : drained);
        printf("%-34s %8.1f %10.0f %10.0f %12s %14.0f %10s %10.1f   usrbasiclog %lld -> %lld\n",
               j.m_Name.c_str(), t1 - t0, dataPath.MaxLag(t0, t2), insertPath.MaxLag(t0, t2), backlog,
               LowestRate(metrics.Between(t0 - 5, t1 + 5)), drain, double(rss) / 1024, before, after);
        fflush(stdout);
    }
    if (job != nullptr)
        mysql_close(job);

    // End the stream, let everything land, then count.
    WriteFile(stopFile, "stop\n");
    devsim.join();
    const double end = Now();
    // Every data file gone, the one being written included (the backlog counts only switched-out files).
    qbtest::WaitUntil([&] { return DataFilesLeft() == 0 && Now() - end > 30; }, 900000);
    dataPath.Stop();
    insertPath.Stop();
    metrics.Stop();
    long rss = 0, hwm = 0;
    ReadMemory(pid, rss, hwm);
    StopCollector();

    // Exactly once: the kinds that are never merged (system messages through data files, alarms and
    // administrator logs through batched inserts) by their sequence tags; no tag may be stored twice
    // in any table.
    auto acked = [&](const char* kind) { return atoll(report[std::string("acked.") + kind].c_str()); };
    const long long expected = acked("sys") + acked("alarm") + acked("admin");
    std::map<std::string, std::string> total = m_Harness.RunSeqCheck(
        1, devices,
        {"--no-check-table", "--expect", std::to_string(atoll(report["sent.records"].c_str())),
         "--max-missing", "1000000000000", "--tables", "syslog,alarm_log,adt_log"},
        nullptr, 3600 * 1000);
    const long long distinct = atoll(total["D"].c_str()), dups = atoll(total["duplicates"].c_str());
    printf("records: %s sent (%s acknowledged), %lld system/alarm/admin records acknowledged -> %lld stored "
           "once, %lld stored twice, %s foreign/stray; collector peak resident memory %.1f MiB; devsim %s\n",
           report["sent.records"].c_str(), report["acked.records"].c_str(), expected, distinct, dups,
           (total["foreign"] + "/" + total["stray"]).c_str(), double(hwm) / 1024, report["result"].c_str());
    ok = ok && report["result"] == "ok" && distinct == expected && dups == 0;
    mysql_close(conn);
    return ok;
}
} // namespace qbbench
