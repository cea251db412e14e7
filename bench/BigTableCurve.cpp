// The big-table curve of the end-to-end ingest bench: device 1's tables prefilled by load data to each
// usrbasiclog size in turn, then the collector's user-log rate beside the server's own reload of rows of
// the same shape at that size.
#include "IngestBench.h"

namespace qbbench
{
CBench::ServerSample CBench::SampleServer(MYSQL* conn)
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

std::string CBench::DescribeServer(const ServerSample& a, const ServerSample& b, long long rows)
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
             double(b.m_KeyReads - a.m_KeyReads) / n, double(b.m_KeyWriteRequests - a.m_KeyWriteRequests) / n,
             double(b.m_KeyWrites - a.m_KeyWrites) / n, disk.c_str());
    return text;
}

long long CBench::TableRows(MYSQL* conn, CBigTableRows::ETable table)
{
    // MyISAM keeps the exact count; nothing loads while this is asked.
    return atoll(QueryValue(conn, std::string("select count(*) from ") + CBigTableRows::TableName(table), "0")
                     .c_str());
}

// Loads generated history into device 1's four data-file tables until usrbasiclog holds
// `basicRows` and the others their share of it. Each step's rows run in time order over the
// `m_Days` days before `now`; the next chunk is generated while the server loads the current one.
bool CBench::PrefillTo(MYSQL* conn, CBigTableRows& rows, long long basicRows, time_t now)
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

// The server's own rate for rows of the collector's shape: one file per user table, in the
// shares of the user mix, loaded with the collector's statement into the tables as they stand.
bool CBench::Reload(MYSQL* conn, CBigTableRows& rows, long total, ReloadResult& out)
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
std::string CBench::KeyLevels(MYSQL* conn)
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
    for (size_t at = out.find("Max levels:"); at != std::string::npos; at = out.find("Max levels:", at + 1))
        levels += (levels.empty() ? "" : "/") + std::to_string(atoi(out.c_str() + at + 11));
    return levels;
}

bool CBench::AdoptTables(const std::string& db)
{
    MYSQL* conn = AdminConnect(m_Harness.DeviceDb(1));
    if (conn == nullptr)
        return false;
    bool ok = true;
    std::vector<const char*> tables(std::begin(USER_TABLES), std::end(USER_TABLES));
    tables.insert(tables.end(), std::begin(OTHER_TABLES), std::end(OTHER_TABLES));
    for (const char* t : tables)
        ok = Exec(conn, std::string("drop table ") + t) &&
             Exec(conn, "rename table `" + db + "`." + t + " to " + t) && ok;
    // Sequence-tagged rows of an earlier maintenance run would count as this run's records stored twice.
    for (const char* t : {"syslog", "alarm_log", "adt_log", "usrbasiclog"})
        ok = Exec(conn, std::string("delete from ") + t + " where message regexp '^d[0-9]+s[0-9]+ '") && ok;
    mysql_close(conn);
    return ok;
}

void CBench::QuietReportTables(MYSQL* conn, const std::string& day)
{
    static const char* const TABLES[] = {
        "grp_flowrange",  "grp_flowtrend",  "svr_flowrange",     "svr_flowtrend", "svruser_flowrange",
        "user_flowrange", "user_flowtrend", "usersvr_flowrange", "svr_bwoptflow", "user_bwoptflow"};
    Exec(conn, "delete from midtableinfo");
    const std::string from = day.empty() ? "curdate()" : "'" + day + "'";
    for (int i = 0; i < 10; ++i)
        Exec(conn, "insert into midtableinfo (tbIndex, tbName, beginTime, endTime, updateTime) values (" +
                       std::to_string(i + 1) + ", '" + TABLES[i] + "', " + from + ", " + from + ", now())");
}

// The end-to-end rate of one device's user logs at each usrbasiclog size, beside the server's own
// load of rows of the same shape into the same tables, just before and just after the collector's
// run (the collector's rows land between the two sizes they bracket).
std::vector<CBench::CurvePoint> CBench::BigTableCurve()
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
    printf("# device 1's database: %s (QB_KEEP_TREES=1 keeps it for --adopt-db)\n",
           m_Harness.DeviceDb(1).c_str());
    printf("# key cache %s bytes (provisioned trees: 32M), bulk insert buffer %s bytes; %d users in %d "
           "groups; history over %d days\n",
           QueryValue(conn, "select @@global.key_buffer_size").c_str(),
           QueryValue(conn, "select @@global.bulk_insert_buffer_size").c_str(), m_Opt.m_Users, m_Opt.m_Groups,
           m_Opt.m_Days);
    printf("# prefill: usrsvrlog and usrflowlog %.1fx, syslog %.1fx the usrbasiclog rows, loaded in chunks "
           "of %ld rows\n",
           CBigTableRows::Share(CBigTableRows::TABLE_USR_SVR),
           CBigTableRows::Share(CBigTableRows::TABLE_SYSLOG), m_Opt.m_PrefillChunk);
    printf("# each size: reload of %ld rows (the user tables' shares), the collector for %d s (devsim user "
           "mix, merge off), reload again\n",
           m_Opt.m_ReloadRows, m_Opt.m_Seconds);
    fflush(stdout);

    CBigTableRows rows(m_Opt.m_Users, m_Opt.m_Groups, 20240601);
    const time_t now = time(nullptr);
    QuietReportTables(conn, "");
    const std::vector<std::string> devsimExtra = {"--users", std::to_string(m_Opt.m_Users), "--groups",
                                                  std::to_string(m_Opt.m_Groups)};
    for (long long size : m_Opt.m_Sizes)
    {
        CurvePoint p;
        const double t0 = Now();
        if (!PrefillTo(conn, rows, size, now))
            break;
        p.m_SizeBefore = TableRows(conn, CBigTableRows::TABLE_USR_BASIC);
        printf("\n== usrbasiclog at %lld rows (prefill %.0f s); data %s MiB, index %s MiB\n", p.m_SizeBefore,
               Now() - t0,
               QueryValue(conn,
                          "select data_length >> 20 from information_schema.tables where table_schema = "
                          "database() and table_name = 'usrbasiclog'")
                   .c_str(),
               QueryValue(conn, "select index_length >> 20 from information_schema.tables where table_schema "
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
               run.m_Rows, run.m_ExpectedRows, run.m_Drain, DescribeServer(s1, s2, run.m_UserRows).c_str());
        printf("   reload: %lld rows in %.1f s (usrbasiclog alone %.0f rows/s)\n      %s\n", reload.m_Rows,
               reload.m_Seconds, p.m_ReloadBasicRowsPerS,
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

// The big-table curve alone: one device whose tables grow from size to size.
int BigTableCurveMain(Options& opt)
{
    if (!opt.m_SecondsGiven)
        opt.m_Seconds = 30;
    CBench bench(opt);
    const bool adopt = !opt.m_AdoptDb.empty();
    if (!bench.PrepareBigTables(opt.m_Maintenance || adopt ? opt.m_MaintDevices : 1) ||
        (adopt && !bench.AdoptTables(opt.m_AdoptDb)))
    {
        fprintf(stderr, "ingest_e2e_bench: cannot prepare the install tree and databases\n");
        return 1;
    }
    if (adopt)
    {
        PrintRunHeader(opt, "; cleaning and the Saturday repair windows closed");
        const bool ok = bench.MaintenanceUnderLoad();
        bench.Cleanup();
        return ok ? 0 : 1;
    }
    PrintRunHeader(opt, "; cleaning and the Saturday repair windows closed");
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
    bool ok = points.size() == opt.m_Sizes.size();
    if (ok && opt.m_Maintenance)
        ok = bench.MaintenanceUnderLoad();
    bench.Cleanup();
    return ok ? 0 : 1;
}
} // namespace qbbench
