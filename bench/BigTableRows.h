#pragma once
// Rows of a device's history for the four tables the collector fills from data files, written in
// the collector's own data-file line format so that "load data" reads them as it reads the
// collector's files. The user population, names, groups and message shapes follow what devsim
// sends (`--users`, `--groups`), so a prefilled table and the collector's rows are alike.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CBigTableRows
{
public:
    enum ETable
    {
        TABLE_USR_BASIC,
        TABLE_USR_SVR,
        TABLE_USR_FLOW,
        TABLE_SYSLOG,
        TABLE_COUNT
    };

    CBigTableRows(int users, int groups, uint64_t seed);

    static const char* TableName(ETable table);
    // Rows of `table` per usrbasiclog row in devsim's default mix (user kinds 10 : resource accesses
    // 4 : flux 4; system messages 2).
    static double Share(ETable table);
    // The statement the collector loads a data file with when it skips the temporary table.
    static std::string LoadStatement(ETable table, const std::string& path);

    // Appends `rows` lines of `table` whose log times run evenly from `from` to `to`.
    void Append(ETable table, long rows, time_t from, time_t to, std::string& out);

private:
    uint64_t Random();
    // The collector's identifier: the sender's millisecond tick since its start in the high half,
    // a running sequence in the low half. The history's collector restarted every 20 days.
    int64_t RecordId(time_t when);
    void AppendBasic(std::string& out, const std::string& time, time_t when);
    void AppendSvr(std::string& out, const std::string& time, time_t when);
    void AppendFlow(std::string& out, const std::string& time, time_t when);
    void AppendSys(std::string& out, const std::string& time);

    int m_Users, m_Groups;
    std::vector<std::string> m_GbkNames;
    std::vector<std::string> m_GbkSysMessages;
    uint64_t m_Rng;
    uint32_t m_Sequence = 0;
};
