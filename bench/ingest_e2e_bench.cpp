// End-to-end ingest on one machine: devsim devices flat out -> collector -> rows counted in MariaDB,
// beside the two ways a client could load the same rows itself (one "load data local infile" of a
// prepared file, and one-row inserts), all in the same run against the same server.
//
// Needs the private server of scripts/test-mariadb.sh (QB_TEST_DB_*); bench/run.sh starts one.
// Intervals of the collector are shortened through QUILLBARN_TEST_TIME_DIVISOR so that data files
// are switched out and imported every few seconds instead of every ten minutes.
#include "IngestBench.h"

using namespace qbbench;

namespace
{
void Usage()
{
    printf("usage: ingest_e2e_bench [--seconds S] [--devices 1,8,32] [--merge on|off|both] [--divisor N]\n"
           "                        [--idle N] [--load-rows N] [--insert-rows N]\n"
           "                        [--soak-seconds S] [--soak-rate R] [--soak-devices N]\n"
           "                        [--mode service|console]\n"
           "       ingest_e2e_bench --sizes N,N,... [--seconds S] [--users N] [--groups N] [--days D]\n"
           "                        [--reload-rows N] [--prefill-chunk N] [--key-buffer-mib M] [--key-levels "
           "0|1]\n"
           "                        [--maintenance 1 [--maint-rate R] [--maint-warmup S]]\n"
           "       ingest_e2e_bench --adopt-db DB [--maint-rate R] [--maint-warmup S]\n"
           "--devices 0 leaves out the throughput runs (idle memory and soak only).\n"
           "--sizes runs only the big-table curve: device 1's tables prefilled by load data to each\n"
           "usrbasiclog size in turn (history over D days), then the collector's user-log rate (S s,\n"
           "default 30) beside a reload of rows of the same shape at that size.\n"
           "--maintenance 1 then runs, at the last size, the shipped cleaning, report and repair\n"
           "statements in turn while 8 devices send R records/s in all (default 10000), merge on.\n"
           "--adopt-db runs that part alone on the log tables of DB, a device database an earlier\n"
           "run kept with QB_KEEP_TREES=1 (its name is in that run's output).\n"
           "Needs QB_TEST_DB_* (scripts/test-mariadb.sh start DIR).\n");
}
} // namespace

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
        else if (a == "--maintenance")
            opt.m_Maintenance = atoi(v) != 0;
        else if (a == "--adopt-db")
            opt.m_AdoptDb = v;
        else if (a == "--maint-rate")
            opt.m_MaintRate = std::max(1.0, atof(v));
        else if (a == "--maint-warmup")
            opt.m_MaintWarmup = std::max(10, atoi(v));
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

    if (!opt.m_Sizes.empty() || !opt.m_AdoptDb.empty())
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
    PrintRunHeader(opt, "");

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
