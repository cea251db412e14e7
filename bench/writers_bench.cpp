// The data-file writer's per-record work in-process: record time text, GBK conversion of the user name
// and the message, escaping for the loader and the line of the record's table, for the user-record
// mix of devsim (logins, flux and resource accesses) and system logs. The baseline is a memcpy of the
// same line bytes, measured in the same run. No file and no database: those are in the end-to-end
// benchmark.
#include "core/Utilities.h"
#include "support/TestInstall.h"
#include "writers/DataFileLogWriter.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace
{
struct Sample
{
    UserLogV3 m_User{};
    SystemLog m_Sys{};
    bool m_IsSys = false;
};

void SetText(char* field, size_t size, const char* text)
{
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

void SetTime(DataHead& head)
{
    // 2026-03-14 09:26:53 as the two big-endian words of the head.
    uint32_t date = (2026u << 16) | (3u << 8) | 14u, time = (9u << 16) | (26u << 8) | 53u;
    date = wire::HostToNet32(date);
    time = wire::HostToNet32(time);
    std::memcpy(&head.m_Date, &date, 4);
    std::memcpy(&head.m_Time, &time, 4);
}

// Four user records of each of flux, resource access and login, then two system logs; a third of the
// texts are Chinese (UTF-8), a few carry characters the loader needs escaped.
const std::vector<Sample>& Samples()
{
    static std::vector<Sample> samples;
    if (!samples.empty())
        return samples;
    const char* names[] = {"alice", "\xe5\xbc\xa0\xe4\xb8\x89", "bob.smith", "carol\\ops"};
    const char* messages[] = {"GET /portal/index.html HTTP/1.1",
                              "\xe7\x99\xbb\xe5\xbd\x95\xe6\x88\x90\xe5\x8a\x9f user logged in",
                              "resource \"files\"\tshare /data/q3.xlsx", "logout after idle time-out"};
    for (int i = 0; i < 12; ++i)
    {
        Sample s;
        UserLogV3& u = s.m_User;
        SetTime(u.m_Head);
        SetText(u.m_UserName, sizeof(u.m_UserName), names[i % 4]);
        SetText(u.m_Message, sizeof(u.m_Message), messages[(i / 3) % 4]);
        u.m_Action = i < 4 ? 2 : (i < 8 ? 3 : 0);
        u.m_GroupID = 1 + i % 2;
        u.m_ServerIP = wire::HostToNet32(0x0A000001u + i);
        u.m_ServerPort = wire::HostToNet16(443);
        u.m_Address = wire::HostToNet32(0xC0A80001u + i);
        u.m_UpFlux = 1000 + i;
        u.m_DownFlux = 20000 + i;
        samples.push_back(s);
    }
    for (int i = 0; i < 2; ++i)
    {
        Sample s;
        s.m_IsSys = true;
        SetTime(s.m_Sys.m_Head);
        SetText(s.m_Sys.m_Message, sizeof(s.m_Sys.m_Message),
                i ? "\xe7\xb3\xbb\xe7\xbb\x9f\xe5\x90\xaf\xe5\x8a\xa8 service restarted" : "disk check ok");
        s.m_Sys.m_SysLogType = 1;
        s.m_Sys.m_ProcessType = 2;
        samples.push_back(s);
    }
    return samples;
}

// The lines of one record, as the data-file writer builds them (one or two tables), into strings
// that keep their capacity from record to record as the writer's do.
size_t BuildLines(const Sample& s, std::string* keep)
{
    static std::string timeText, name, message, line;
    line.clear();
    CBaseLogWriter::RecordTimeText(s.m_IsSys ? s.m_Sys.m_Head : s.m_User.m_Head, timeText);
    if (s.m_IsSys)
    {
        CBaseLogWriter::RecordTextToGbk(s.m_Sys.m_Message, sizeof(s.m_Sys.m_Message), message);
        CDataFileLogWriter::AppendSysLogLine(line, s.m_Sys, message, timeText);
    }
    else
    {
        const UserLogV3& u = s.m_User;
        const int64_t id = CBaseLogWriter::MakeRecordId();
        CBaseLogWriter::RecordTextToGbk(u.m_UserName, sizeof(u.m_UserName), name);
        if (u.m_Action == 2)
            CDataFileLogWriter::AppendUserFlowLogLine(line, u, 7, timeText, id);
        else
        {
            CBaseLogWriter::RecordTextToGbk(u.m_Message, sizeof(u.m_Message), message);
            CDataFileLogWriter::AppendUserBasicLogLine(line, u, 7, name, message, timeText, id);
            if (u.m_Action == 3)
                CDataFileLogWriter::AppendUserSvrLogLine(line, u, 7, message, timeText, id);
        }
    }
    if (keep)
        *keep += line;
    return line.size();
}

void BM_WriterLines(benchmark::State& state)
{
    qbtest::InitTestInstall();
    const std::vector<Sample>& samples = Samples();
    size_t bytes = 0;
    for (auto _ : state)
        for (const Sample& s : samples)
            bytes += BuildLines(s, nullptr);
    state.SetItemsProcessed(int64_t(state.iterations() * samples.size()));
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_WriterLines)->MinTime(2.0);

void BM_WriterLinesMemcpyBaseline(benchmark::State& state)
{
    qbtest::InitTestInstall();
    const std::vector<Sample>& samples = Samples();
    std::vector<std::string> lines;
    for (const Sample& s : samples)
    {
        std::string l;
        BuildLines(s, &l);
        lines.push_back(l);
    }
    std::vector<char> out(65536);
    size_t bytes = 0;
    for (auto _ : state)
        for (const std::string& l : lines)
        {
            std::memcpy(out.data(), l.data(), l.size());
            benchmark::DoNotOptimize(out.data());
            bytes += l.size();
        }
    state.SetItemsProcessed(int64_t(state.iterations() * lines.size()));
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_WriterLinesMemcpyBaseline)->MinTime(2.0);
} // namespace

BENCHMARK_MAIN();
