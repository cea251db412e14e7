#include "BigTableRows.h"

#include "core/Utilities.h"
#include "protocol/WireProtocol.h"
#include "writers/DataFileLogWriter.h"

#include <cstdio>
#include <cstring>

namespace
{
const char* const TABLE_NAMES[CBigTableRows::TABLE_COUNT] = {"usrbasiclog", "usrsvrlog", "usrflowlog",
                                                             "syslog"};
const double TABLE_SHARES[CBigTableRows::TABLE_COUNT] = {1.0, 0.4, 0.4, 0.2};
const time_t RESTART_EVERY_S = 20 * 86400;

std::string Gbk(const std::string& utf8)
{
    std::string gbk;
    Utf8ToGbkString(utf8.data(), utf8.size(), gbk);
    return gbk;
}

std::string TimeText(time_t when)
{
    std::tm tm{};
    localtime_r(&when, &tm);
    char buffer[32];
    strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &tm);
    return buffer;
}

uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}
} // namespace

CBigTableRows::CBigTableRows(int users, int groups, uint64_t seed)
    : m_Users(users < 1 ? 1 : users), m_Groups(groups < 1 ? 1 : groups), m_Rng(seed | 1)
{
    // devsim's directory: "user<n>", the third one named in Chinese to exercise the conversion.
    for (int u = 1; u <= m_Users; ++u)
        m_GbkNames.push_back(
            Gbk(u == 3 ? "\xE7\x94\xA8\xE6\x88\xB7" + std::to_string(u) : "user" + std::to_string(u)));
    for (int level = 0; level <= 4; ++level)
        m_GbkSysMessages.push_back(
            Gbk("\xE7\xB3\xBB\xE7\xBB\x9F system message level " + std::to_string(level)));
}

const char* CBigTableRows::TableName(ETable table)
{
    return TABLE_NAMES[table];
}

double CBigTableRows::Share(ETable table)
{
    return TABLE_SHARES[table];
}

std::string CBigTableRows::LoadStatement(ETable table, const std::string& path)
{
    std::string load =
        "load data local infile '" + path + "' into table " + TABLE_NAMES[table] + " character set gbk ";
    if (table == TABLE_SYSLOG)
        return load +
               "fields enclosed by '\"' lines terminated by '\\r\\n' ( `lev` , `process` , `message` , "
               "`log_time` )";
    return load + "fields enclosed by '\"'  lines terminated by '\\r\\n' ";
}

uint64_t CBigTableRows::Random()
{
    m_Rng ^= m_Rng << 13;
    m_Rng ^= m_Rng >> 7;
    m_Rng ^= m_Rng << 17;
    return m_Rng;
}

int64_t CBigTableRows::RecordId(time_t when)
{
    const uint64_t tick = (uint64_t(when % RESTART_EVERY_S) * 1000 + Random() % 1000) & 0xFFFFFFFFu;
    const int64_t low = int64_t(++m_Sequence % 2147483647u);
    return int64_t(tick << 32) | low;
}

void CBigTableRows::Append(ETable table, long rows, time_t from, time_t to, std::string& out)
{
    // Lines of one second share their time text; a second's worth of rows is common on a busy device.
    time_t lastWhen = -1;
    std::string time;
    for (long i = 0; i < rows; ++i)
    {
        const time_t when = from + time_t(double(to - from) * double(i) / double(rows));
        if (when != lastWhen)
        {
            time = TimeText(when);
            lastWhen = when;
        }
        switch (table)
        {
        case TABLE_USR_BASIC:
            AppendBasic(out, time, when);
            break;
        case TABLE_USR_SVR:
            AppendSvr(out, time, when);
            break;
        case TABLE_USR_FLOW:
            AppendFlow(out, time, when);
            break;
        default:
            AppendSys(out, time);
            break;
        }
    }
}

void CBigTableRows::AppendBasic(std::string& out, const std::string& time, time_t when)
{
    const int u = int(Random() % uint64_t(m_Users)) + 1;
    UserLogV3 r{};
    r.m_GroupID = 1 + (u - 1) % m_Groups;
    r.m_Address = wire::HostToNet32(Ip(192, 168, 1 + uint32_t(u / 250) % 254, 1 + uint32_t(u % 250)));
    r.m_AuthMethod = u % 512;
    char message[128];
    // devsim's user kinds: six logins or logouts to four resource accesses.
    const uint64_t kind = Random() % 10;
    if (kind < 6)
    {
        r.m_Action = int32_t(kind & 1);
        snprintf(message, sizeof(message), "user %s from %u.%u.%u.%u", r.m_Action ? "logout" : "login", 192u,
                 168u, 1 + uint32_t(u / 250) % 254, 1 + uint32_t(u % 250));
    }
    else
    {
        const uint32_t host = uint32_t(Random() % 1000);
        r.m_Action = USER_ACTION_RESOURCE;
        r.m_Result = 1;
        r.m_ServerIP = wire::HostToNet32(Ip(10, 1, host / 250, 1 + host % 250));
        r.m_ServerPort = wire::HostToNet16(host % 3 == 0 ? 443 : 8080);
        snprintf(message, sizeof(message), "resource access http://10.1.%u.%u:%u/intranet/p%u", host / 250,
                 1 + host % 250, host % 3 == 0 ? 443u : 8080u, uint32_t(Random() % 100));
    }
    CDataFileLogWriter::AppendUserBasicLogLine(out, r, u, m_GbkNames[size_t(u - 1)], message, time,
                                               RecordId(when));
}

void CBigTableRows::AppendSvr(std::string& out, const std::string& time, time_t when)
{
    const int u = int(Random() % uint64_t(m_Users)) + 1;
    const uint32_t host = uint32_t(Random() % 1000);
    UserLogV3 r{};
    r.m_GroupID = 1 + (u - 1) % m_Groups;
    r.m_Address = wire::HostToNet32(Ip(192, 168, 1 + uint32_t(u / 250) % 254, 1 + uint32_t(u % 250)));
    r.m_Action = USER_ACTION_RESOURCE;
    r.m_Result = 1;
    r.m_ServiceType = 1 + int32_t(host % 4);
    r.m_ServerAttr = 1;
    r.m_ServerIP = wire::HostToNet32(Ip(10, 1, host / 250, 1 + host % 250));
    r.m_ServerPort = wire::HostToNet16(host % 3 == 0 ? 443 : 8080);
    char message[128];
    snprintf(message, sizeof(message), "resource access http://10.1.%u.%u:%u/intranet/p%u", host / 250,
             1 + host % 250, host % 3 == 0 ? 443u : 8080u, uint32_t(Random() % 100));
    CDataFileLogWriter::AppendUserSvrLogLine(out, r, u, message, time, RecordId(when));
}

void CBigTableRows::AppendFlow(std::string& out, const std::string& time, time_t when)
{
    const int u = int(Random() % uint64_t(m_Users)) + 1;
    const uint32_t host = uint32_t(Random() % 1000);
    UserLogV3 r{};
    r.m_GroupID = 1 + (u - 1) % m_Groups;
    r.m_Address = wire::HostToNet32(Ip(192, 168, 1 + uint32_t(u / 250) % 254, 1 + uint32_t(u % 250)));
    r.m_Action = USER_ACTION_FLUX;
    r.m_ServerIP = wire::HostToNet32(Ip(10, 1, host / 250, 1 + host % 250));
    r.m_ServerPort = wire::HostToNet16(host % 3 == 0 ? 443 : 8080);
    r.m_UpFlux = int64_t(Random() % 200000);
    r.m_DownFlux = int64_t(Random() % 2000000);
    r.m_RawUpFlux = r.m_UpFlux + 40;
    r.m_RawDownFlux = r.m_DownFlux + 80;
    CDataFileLogWriter::AppendUserFlowLogLine(out, r, u, time, RecordId(when));
}

void CBigTableRows::AppendSys(std::string& out, const std::string& time)
{
    const int level = int(Random() % 5);
    SystemLog r{};
    r.m_SysLogType = level;
    r.m_ProcessType = 100 * level + 3;
    CDataFileLogWriter::AppendSysLogLine(out, r, m_GbkSysMessages[size_t(level)], time);
}
