// seqcheck: counts the sequence-tagged records that devsim --seq sent and the collector
// stored, per device database, and says whether anything was lost or stored twice.
//
// devsim --seq starts every message text with "d<device>s<seq> ". For each device this
// tool reads the message column of the log tables that store one row per record, keeps
// the tags of that device, and prints
//   E  expected sequence numbers (the --expect range, less --refused),
//   D  distinct stored sequence numbers in that range,
//   T  stored rows carrying this device's tag with a sequence number in that range,
//   missing = E - D, duplicates = T - D, foreign = rows tagged with another device,
//   stray = rows of this device whose sequence number lies outside the range.
//   absent = rows whose sequence number lies in the --absent range (records that must not
//   be stored, such as records cut off by a dropped connection).
// Foreign, stray and absent rows are records that should not be there: each fails the run.
// MyISAM tables are checked with "check table" first; a table that is not OK fails the run.
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace
{
// A resource access (svc) is stored twice by design, as a usrbasiclog row and a usrsvrlog row
// with the same record id: usrsvrlog is left out by default; count svc alone with
// --tables usrsvrlog.
const char* const kDefaultTables = "syslog,alarm_log,adt_log,usrbasiclog";

struct SDevice
{
    int m_Index = 0;
    std::string m_Db;
};

struct SOptions
{
    std::string m_Host = "127.0.0.1", m_User = "root", m_Password, m_Socket;
    unsigned m_Port = 3306;
    std::vector<SDevice> m_Devices;
    std::vector<std::string> m_Tables;
    unsigned long long m_First = 1, m_Expect = 0;
    unsigned long long m_AbsentFirst = 1, m_AbsentLast = 0; // empty unless --absent
    long long m_Refused = 0;
    long long m_MaxMissing = 0, m_MaxDuplicates = 0;
    double m_Wait = 0;
    bool m_CheckTables = true;
    bool m_PerTable = false;
};

struct SCount
{
    long long m_E = 0, m_D = 0, m_T = 0, m_Foreign = 0, m_Stray = 0, m_Absent = 0;
    long long Missing(long long refused) const { return m_E - refused - m_D; }
    long long Duplicates() const { return m_T - m_D; }
};

void Usage(const char* prog)
{
    std::printf(
        "NAME\n"
        "    seqcheck - count devsim's tagged records in the device databases\n"
        "SYNOPSIS\n"
        "    %s [options] (--device INDEX=DB ... | --db-pattern PATTERN --devices A-B)\n"
        "DESCRIPTION\n"
        "Counts the records that devsim --seq tagged \"d<device>s<seq>\" in each device database\n"
        "and prints, per device and in total:\n"
        "  device=I db=NAME E=expected D=distinct T=total refused=R missing=E-R-D duplicates=T-D\n"
        "  foreign=rows tagged with another device stray=rows outside the expected range\n"
        "T counts only sequence numbers inside the expected range.\n"
        "Exit status: 0 when every device has missing <= --max-missing, duplicates <=\n"
        "--max-duplicates, foreign = stray = absent = 0 and every checked table is OK; 1 on a mismatch;\n"
        "2 for a usage or database error.\n"
        "OPTIONS\n"
        "Database (defaults from QB_TEST_DB_HOST/PORT/USER/PASSWORD/SOCKET):\n"
        "  --host H --port P --user U --password W --socket PATH\n"
        "Devices:\n"
        "  --device I=DB          device index I (the d<I> of the tags) is stored in database DB;\n"
        "                         repeatable\n"
        "  --db-pattern P         database name with %%d for the index (e.g. \"e2e_1_dev%%d\")\n"
        "  --devices A-B          indices A..B for --db-pattern (or a single index A)\n"
        "Expectation:\n"
        "  --expect N             sequence numbers FIRST..FIRST+N-1 are expected per device\n"
        "                         (use only record kinds that are stored one row each and tagged:\n"
        "                         sys, alarm, admin, audit and userv1-3 logins; svc, stored in two\n"
        "                         tables, only with --tables usrsvrlog; merging off)\n"
        "  --first S              first expected sequence number (default 1)\n"
        "  --refused R            records per device refused on purpose (subtracted from missing)\n"
        "  --absent A-B           sequence numbers that must not be stored (e.g. records cut off\n"
        "                         by a dropped connection); rows with them count as absent=\n"
        "  --max-missing M        tolerated missing records per device (default 0)\n"
        "  --max-duplicates M     tolerated duplicates per device (default 0)\n"
        "  --tables a,b,...       tables to read (default %s)\n"
        "  --wait S               re-count for up to S seconds until nothing is missing (records\n"
        "                         reach the tables through data files some seconds late)\n"
        "  --no-check-table       skip \"check table\"\n"
        "  --per-table            also print, per device and table, its tagged rows and the\n"
        "                         sequence numbers it holds more than once (\"table ...\" lines)\n"
        "Example:\n"
        "  devsim --devices 4 --seq --mix sys=1,alarm=1 --count 1000 && \\\n"
        "  seqcheck --db-pattern qb_dev%%d --devices 1-4 --expect 1000 --wait 30\n",
        prog, kDefaultTables);
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size())
    {
        size_t end = s.find(sep, start);
        if (end == std::string::npos)
            end = s.size();
        if (end > start)
            out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool ParseArgs(int argc, char** argv, SOptions& o)
{
    if (const char* v = getenv("QB_TEST_DB_HOST"))
        o.m_Host = v;
    if (const char* v = getenv("QB_TEST_DB_PORT"))
        o.m_Port = unsigned(atoi(v));
    if (const char* v = getenv("QB_TEST_DB_USER"))
        o.m_User = v;
    if (const char* v = getenv("QB_TEST_DB_PASSWORD"))
        o.m_Password = v;
    if (const char* v = getenv("QB_TEST_DB_SOCKET"))
        o.m_Socket = v;
    std::string pattern, range, tables = kDefaultTables;
    for (int i = 1; i < argc; ++i)
    {
        std::string a = argv[i];
        auto value = [&](std::string& out) -> bool
        {
            if (i + 1 >= argc)
            {
                std::fprintf(stderr, "seqcheck: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h")
        {
            Usage(argv[0]);
            exit(0);
        }
        else if (a == "--no-check-table")
            o.m_CheckTables = false;
        else if (a == "--per-table")
            o.m_PerTable = true;
        else if (!value(v))
            return false;
        else if (a == "--host")
            o.m_Host = v;
        else if (a == "--port")
            o.m_Port = unsigned(atoi(v.c_str()));
        else if (a == "--user")
            o.m_User = v;
        else if (a == "--password")
            o.m_Password = v;
        else if (a == "--socket")
            o.m_Socket = v;
        else if (a == "--device")
        {
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
            {
                std::fprintf(stderr, "seqcheck: --device wants INDEX=DB\n");
                return false;
            }
            o.m_Devices.push_back({atoi(v.substr(0, eq).c_str()), v.substr(eq + 1)});
        }
        else if (a == "--db-pattern")
            pattern = v;
        else if (a == "--devices")
            range = v;
        else if (a == "--expect")
            o.m_Expect = strtoull(v.c_str(), nullptr, 10);
        else if (a == "--first")
            o.m_First = strtoull(v.c_str(), nullptr, 10);
        else if (a == "--absent")
        {
            o.m_AbsentFirst = strtoull(v.c_str(), nullptr, 10);
            size_t dash = v.find('-');
            o.m_AbsentLast =
                dash == std::string::npos ? o.m_AbsentFirst : strtoull(v.c_str() + dash + 1, nullptr, 10);
        }
        else if (a == "--refused")
            o.m_Refused = atoll(v.c_str());
        else if (a == "--max-missing")
            o.m_MaxMissing = atoll(v.c_str());
        else if (a == "--max-duplicates")
            o.m_MaxDuplicates = atoll(v.c_str());
        else if (a == "--tables")
            tables = v;
        else if (a == "--wait")
            o.m_Wait = atof(v.c_str());
        else
        {
            std::fprintf(stderr, "seqcheck: unknown option %s (see --help)\n", a.c_str());
            return false;
        }
    }
    if (!pattern.empty())
    {
        if (pattern.find("%d") == std::string::npos || range.empty())
        {
            std::fprintf(stderr, "seqcheck: --db-pattern needs %%d and --devices A-B\n");
            return false;
        }
        int from = atoi(range.c_str()), to = from;
        if (size_t dash = range.find('-'); dash != std::string::npos)
            to = atoi(range.c_str() + dash + 1);
        for (int d = from; d <= to; ++d)
        {
            char name[256];
            std::snprintf(name, sizeof(name), pattern.c_str(), d);
            o.m_Devices.push_back({d, name});
        }
    }
    o.m_Tables = Split(tables, ',');
    if (o.m_Devices.empty() || o.m_Expect == 0 || o.m_Tables.empty())
    {
        std::fprintf(stderr, "seqcheck: name the devices and --expect N (see --help)\n");
        return false;
    }
    return true;
}

// Reads "d<dev>s<seq>" at the start of text; false when the text carries no tag.
bool ParseTag(const char* text, unsigned long len, long long& dev, unsigned long long& seq)
{
    unsigned long i = 0;
    if (len < 4 || text[0] != 'd')
        return false;
    ++i;
    dev = 0;
    unsigned long digits = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9' && digits < 9)
        dev = dev * 10 + (text[i++] - '0'), ++digits;
    if (digits == 0 || i >= len || text[i] != 's')
        return false;
    ++i;
    seq = 0;
    digits = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9' && digits < 19)
        seq = seq * 10 + unsigned(text[i++] - '0'), ++digits;
    return digits > 0 && (i == len || text[i] == ' ');
}

class CChecker
{
public:
    explicit CChecker(const SOptions& o) : m_Opt(o) {}
    ~CChecker()
    {
        if (m_Conn)
            mysql_close(m_Conn);
    }

    // Retries for up to waitSeconds: a busy server may be at its connection limit for a while.
    bool Connect(double waitSeconds)
    {
        for (int attempt = 0;; ++attempt)
        {
            if (m_Conn)
                mysql_close(m_Conn);
            m_Conn = mysql_init(nullptr);
            if (mysql_real_connect(m_Conn, m_Opt.m_Host.c_str(), m_Opt.m_User.c_str(),
                                   m_Opt.m_Password.c_str(), nullptr, m_Opt.m_Port,
                                   m_Opt.m_Socket.empty() ? nullptr : m_Opt.m_Socket.c_str(), 0))
                break;
            if (attempt >= waitSeconds * 2)
            {
                std::fprintf(stderr, "seqcheck: cannot connect: %s\n", mysql_error(m_Conn));
                return false;
            }
            usleep(500000);
        }
        // Tags are ASCII; read the text as it is stored.
        mysql_query(m_Conn, "set names utf8");
        return true;
    }

    // "check table" on every table of the device; prints the bad ones. False on a damaged table.
    bool CheckTables(const SDevice& dev, bool& dbError)
    {
        bool ok = true;
        for (const std::string& t : m_Opt.m_Tables)
        {
            std::string sql = "check table `" + dev.m_Db + "`.`" + t + "`";
            if (mysql_query(m_Conn, sql.c_str()) != 0)
            {
                std::fprintf(stderr, "seqcheck: %s: %s\n", sql.c_str(), mysql_error(m_Conn));
                dbError = true;
                return false;
            }
            MYSQL_RES* res = mysql_store_result(m_Conn);
            if (!res)
                continue;
            std::string lastStatus;
            while (MYSQL_ROW row = mysql_fetch_row(res))
            {
                // Table, Op, Msg_type, Msg_text
                std::string type = row[2] ? row[2] : "", text = row[3] ? row[3] : "";
                if (type == "error")
                {
                    ok = false;
                    std::printf("check_table db=%s table=%s error=%s\n", dev.m_Db.c_str(), t.c_str(),
                                text.c_str());
                }
                if (type == "status")
                    lastStatus = text;
            }
            mysql_free_result(res);
            if (lastStatus != "OK" && lastStatus != "Table is already up to date")
            {
                ok = false;
                std::printf("check_table db=%s table=%s status=%s\n", dev.m_Db.c_str(), t.c_str(),
                            lastStatus.c_str());
            }
        }
        return ok;
    }

    bool Count(const SDevice& dev, SCount& c, bool print = false)
    {
        c = SCount{};
        const unsigned long long first = m_Opt.m_First, last = m_Opt.m_First + m_Opt.m_Expect - 1;
        c.m_E = static_cast<long long>(m_Opt.m_Expect);
        std::vector<uint32_t> seen(m_Opt.m_Expect, 0);
        for (const std::string& t : m_Opt.m_Tables)
        {
            std::string sql = "select message from `" + dev.m_Db + "`.`" + t + "` where message like 'd%s%'";
            if (mysql_query(m_Conn, sql.c_str()) != 0)
            {
                std::fprintf(stderr, "seqcheck: %s: %s\n", sql.c_str(), mysql_error(m_Conn));
                return false;
            }
            MYSQL_RES* res = mysql_use_result(m_Conn);
            if (!res)
            {
                std::fprintf(stderr, "seqcheck: %s: %s\n", sql.c_str(), mysql_error(m_Conn));
                return false;
            }
            const long long rowsBefore = c.m_T;
            std::unordered_map<unsigned long long, int> inTable;
            while (MYSQL_ROW row = mysql_fetch_row(res))
            {
                unsigned long* lengths = mysql_fetch_lengths(res);
                long long d = 0;
                unsigned long long seq = 0;
                if (!row[0] || !ParseTag(row[0], lengths[0], d, seq))
                    continue;
                if (d != dev.m_Index)
                {
                    ++c.m_Foreign;
                    continue;
                }
                if (seq >= m_Opt.m_AbsentFirst && seq <= m_Opt.m_AbsentLast)
                {
                    ++c.m_Absent;
                    continue;
                }
                if (seq < first || seq > last)
                {
                    ++c.m_Stray;
                    continue;
                }
                ++c.m_T;
                if (seen[seq - first]++ == 0)
                    ++c.m_D;
                if (print)
                    ++inTable[seq];
            }
            mysql_free_result(res);
            if (print)
            {
                long long twice = 0;
                for (const auto& kv : inTable)
                    twice += kv.second > 1 ? kv.second - 1 : 0;
                std::printf("table device=%d db=%s table=%s rows=%lld distinct=%zu duplicates_within=%lld\n",
                            dev.m_Index, dev.m_Db.c_str(), t.c_str(), c.m_T - rowsBefore, inTable.size(),
                            twice);
            }
        }
        return true;
    }

private:
    const SOptions& m_Opt;
    MYSQL* m_Conn = nullptr;
};
} // namespace

int main(int argc, char** argv)
{
    SOptions o;
    if (!ParseArgs(argc, argv, o))
        return 2;
    CChecker checker(o);
    if (!checker.Connect(o.m_Wait))
        return 2;

    std::vector<SCount> counts(o.m_Devices.size());
    // Records travel through data files and batches; wait until they are all in or the time is up.
    const int rounds = o.m_Wait > 0 ? int(o.m_Wait * 2) + 1 : 1;
    for (int r = 0; r < rounds; ++r)
    {
        bool complete = true;
        for (size_t i = 0; i < o.m_Devices.size(); ++i)
        {
            if (!checker.Count(o.m_Devices[i], counts[i]))
                return 2;
            if (counts[i].Missing(o.m_Refused) > 0)
                complete = false;
        }
        if (complete || r + 1 == rounds)
            break;
        usleep(500000);
    }

    bool bad = false, dbError = false;
    if (o.m_CheckTables)
        for (const SDevice& d : o.m_Devices)
            if (!checker.CheckTables(d, dbError))
                bad = true;
    if (dbError)
        return 2;
    // Counted again after the check, so that what is printed is what the checked tables hold.
    SCount total;
    for (size_t i = 0; i < o.m_Devices.size(); ++i)
    {
        SCount& c = counts[i];
        if ((o.m_CheckTables || o.m_PerTable) && !checker.Count(o.m_Devices[i], c, o.m_PerTable))
            return 2;
        const long long missing = c.Missing(o.m_Refused), dups = c.Duplicates();
        std::printf(
            "device=%d db=%s E=%lld D=%lld T=%lld refused=%lld missing=%lld duplicates=%lld foreign=%lld "
            "stray=%lld absent=%lld\n",
            o.m_Devices[i].m_Index, o.m_Devices[i].m_Db.c_str(), c.m_E, c.m_D, c.m_T, o.m_Refused, missing,
            dups, c.m_Foreign, c.m_Stray, c.m_Absent);
        if (missing > o.m_MaxMissing || missing < 0 || dups > o.m_MaxDuplicates || c.m_Foreign != 0 ||
            c.m_Absent != 0 || c.m_Stray != 0)
            bad = true;
        total.m_E += c.m_E;
        total.m_D += c.m_D;
        total.m_T += c.m_T;
        total.m_Foreign += c.m_Foreign;
        total.m_Stray += c.m_Stray;
        total.m_Absent += c.m_Absent;
    }
    const long long refusedTotal = o.m_Refused * static_cast<long long>(o.m_Devices.size());
    std::printf(
        "total devices=%zu E=%lld D=%lld T=%lld refused=%lld missing=%lld duplicates=%lld foreign=%lld "
        "stray=%lld absent=%lld result=%s\n",
        o.m_Devices.size(), total.m_E, total.m_D, total.m_T, refusedTotal, total.Missing(refusedTotal),
        total.Duplicates(), total.m_Foreign, total.m_Stray, total.m_Absent, bad ? "MISMATCH" : "OK");
    return bad ? 1 : 0;
}
