#include "maintenance/ReportTableGenTask.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "maintenance/MaintenanceSql.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#define RTG_TAG "[CReportTableGenTask]"

namespace
{
std::string CopyTimeText(const char* value)
{
    std::string text = value != nullptr ? value : "";
    if (text.size() > CReportTableGenTask::TIME_TEXT_MAX)
        text.resize(CReportTableGenTask::TIME_TEXT_MAX);
    return text;
}

// A decimal field at a fixed position; what is missing or not a digit ends it.
int FieldAt(const std::string& text, size_t pos, size_t len)
{
    int value = 0;
    for (size_t i = pos; i < pos + len && i < text.size(); ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            break;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}
} // namespace

CReportTableGenTask::CReportTableGenTask() : m_Set(std::make_shared<TableSet>()) {}

CReportTableGenTask::CReportTableGenTask(const char* dbName) : CReportTableGenTask()
{
    SetDbName(dbName);
}

CReportTableGenTask::~CReportTableGenTask()
{
    // Normally Run has ended every table thread; a task destroyed while they
    // still run only tells them to stop (they hold the shared part).
    m_Set->m_bRunning = 0;
    m_Set->m_StopEvent.Set();
}

uint32_t CReportTableGenTask::Run()
{
    TableSet& set = *m_Set;
    if (set.m_DbName.empty())
        return static_cast<uint32_t>(-1);
    QB_LOG(PL_INFO, RTG_TAG, "[Run] Table Gen Thread For Db = %s Start...\n", set.m_DbName.c_str());

    set.m_Tables = CConfigManager::GetInstance()->GetStatisticsCopy().m_Tables;
    set.m_bRunning = 1;
    set.m_StopEvent.Reset();
    for (size_t i = 0; i < set.m_Tables.size() && m_Threads.size() < MAX_TABLE_THREADS; ++i)
    {
        auto arg = std::make_shared<TableThreadArg>();
        arg->m_Index = static_cast<int>(i);
        arg->m_Task = m_Set;
        platform::ThreadHandle h =
            platform::CreateThread([arg] { return static_cast<uint32_t>(TableStatistics(arg.get())); });
        if (!h)
        {
            QB_LOG(PL_ERROR, RTG_TAG, "[Run] Cannot Start Gen Table = %s.%s Work!\n", set.m_DbName.c_str(),
                   set.m_Tables[i].m_TableName.c_str());
            continue;
        }
        m_Threads.push_back(h);
        m_ThreadCount = m_Threads.size();
    }

    uint32_t ret = platform::WAIT_TIMEOUT;
    do
    {
        m_ActivityTime = platform::timeGetTime();
        ret = WaitForStopOrExit(ScaledInterval(HEARTBEAT_MS));
    } while (ret == platform::WAIT_TIMEOUT && m_bRunning == 1);

    set.m_bRunning = 0;
    set.m_StopEvent.Set();
    if (!m_Threads.empty())
    {
        std::vector<platform::CWaitable*> waits;
        for (const platform::ThreadHandle& h : m_Threads)
            waits.push_back(h.get());
        if (platform::WaitForMultipleObjects(static_cast<uint32_t>(waits.size()), waits.data(), true,
                                             THREAD_STOP_WAIT_MS) != platform::WAIT_OBJECT_0)
        {
            for (const platform::ThreadHandle& h : m_Threads)
                if (!h->HasEnded())
                    platform::TerminateThread(h, 0xFFFFFFFF);
        }
        m_Threads.clear();
    }
    QB_LOG(PL_INFO, RTG_TAG, "[Run] Table Gen Thread For Db = %s Exit.\n", set.m_DbName.c_str());
    return 0;
}

int CReportTableGenTask::TableStatistics(TableThreadArg* arg)
{
    if (arg == nullptr)
        return -1;
    if (!arg->m_Task)
        return -2;
    TableSet& set = *arg->m_Task;
    if (arg->m_Index < 0 || static_cast<size_t>(arg->m_Index) >= set.m_Tables.size())
        return -3;
    const int index = arg->m_Index;
    // The name is copied: the statement of this description changes, its name does not.
    const std::string tableName = set.m_Tables[index].m_TableName;
    const int sleepTime = set.m_Tables[index].m_SleepTime;

    CSQLConnManager::SqlThreadInit();
    QB_LOG(PL_INFO, RTG_TAG, "[TableStatistics] Report Gen For %s.%s Start...\n", set.m_DbName.c_str(),
           tableName.c_str());
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &set.m_StopEvent};
    const uint64_t due = static_cast<uint64_t>(sleepTime > 0 ? sleepTime : 0) * 60000u;
    uint64_t counter = 0;
    while (set.m_bRunning == 1)
    {
        uint32_t ret = platform::WaitForMultipleObjects(2, waits, false, ScaledInterval(TABLE_WAIT_MS));
        if (ret != platform::WAIT_TIMEOUT)
            break;
        counter += TABLE_WAIT_MS;
        if (counter >= due)
        {
            if (CanStatisticsOf(set, index) == 1 && DoStatisticsOf(set, index) == 0)
                QB_LOG(PL_ERROR, RTG_TAG, "[TableStatistics] Statistics Table %s.%s Fail.\n",
                       set.m_DbName.c_str(), tableName.c_str());
            counter = 0;
        }
    }
    CSQLConnManager::SqlThreadEnd();
    QB_LOG(PL_INFO, RTG_TAG, "[TableStatistics] Report Gen For %s.%s Exit Normally.\n", set.m_DbName.c_str(),
           tableName.c_str());
    return 0;
}

int CReportTableGenTask::CanStatistics(int index)
{
    return CanStatisticsOf(*m_Set, index);
}

int CReportTableGenTask::DoStatistics(int index)
{
    return DoStatisticsOf(*m_Set, index);
}

int CReportTableGenTask::CanStatisticsOf(TableSet& set, int index)
{
    if (index < 0 || static_cast<size_t>(index) >= set.m_Tables.size())
        return 0;
    if (CConfigManager::GetInstance()->Kelv().m_IsFull != 0)
    {
        QB_LOG(PL_DEBUG, RTG_TAG, "[CanStatistics] Disk Full So No Statistics Will Do.\n");
        return 0;
    }
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(set.m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, RTG_TAG, "[CanStatistics] Cannot Alloc SQL Connection.\n");
        return 0;
    }

    StatisticsTable& table = set.m_Tables[index];
    std::string name = table.m_TableName;
    EscapeSqlString(name);
    std::string query = "select beginTime, endTime,  updateTime from midtableinfo where tbName='" + name +
                        "' order by  updateTime desc limit 1";
    int result = 0;
    if (ExecSql(conn, query.c_str(), 0) == 1)
    {
        std::string begin, end, update;
        if (MYSQL_RES* res = mysql_store_result(conn))
        {
            if (MYSQL_ROW row = mysql_fetch_row(res))
            {
                begin = CopyTimeText(row[0]);
                end = row[1] != nullptr ? CopyTimeText(row[1]) : std::string("NULL");
                update = CopyTimeText(row[2]);
            }
            mysql_free_result(res);
        }
        CMaintenanceSql::DrainResults(conn);
        if (begin.empty() && end.empty() && update.empty())
            result = 1;
        else if (IsStatisticsDue(begin, end, update, table.m_StatistCys, table.m_SleepTime,
                                 CClock::NowEpoch()))
        {
            RewriteStatistSql(table.m_StatistSql, end, CClock::Now());
            result = 1;
        }
    }
    sql->ReleaseSqlConn(conn);
    return result;
}

int CReportTableGenTask::DoStatisticsOf(TableSet& set, int index)
{
    if (index < 0 || static_cast<size_t>(index) >= set.m_Tables.size())
        return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(set.m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, RTG_TAG, "[DoStatistics] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    const StatisticsTable& table = set.m_Tables[index];
    int result = 1;
    for (const std::string* statement : {&table.m_CreateSql, &table.m_CreateProcSql, &table.m_StatistSql,
                                         &table.m_CleanStatistByTime, &table.m_CleanStatistSql})
    {
        if (!statement->empty() && ExecSql(conn, statement->c_str(), 1) != 1)
            result = 0;
    }
    sql->ReleaseSqlConn(conn);
    return result;
}

int CReportTableGenTask::ExecSql(MYSQL* conn, const char* sql, int freeResult)
{
    if (conn == nullptr || sql == nullptr)
        return 0;
    bool ok = mysql_query(conn, sql) == 0;
    if (ok && freeResult == 1)
        ok = CMaintenanceSql::DrainResults(conn);
    if (!ok)
    {
        QB_LOG(PL_ERROR, RTG_TAG, "[ExecSql] Fail To Exec Sql = %s , Errno = %u , ErrStr = %s\n", sql,
               mysql_errno(conn), mysql_error(conn));
        return 0;
    }
    QB_LOG(PL_INFO, RTG_TAG, "[ExecSql] Succeed To Exec Sql = %s\n", sql);
    return 1;
}

time_t CReportTableGenTask::ParseUpdateTime(const std::string& text)
{
    struct tm tmv
    {
    };
    tmv.tm_year = FieldAt(text, 0, 4) - 1900;
    tmv.tm_mon = FieldAt(text, 5, 2) - 1;
    tmv.tm_mday = FieldAt(text, 8, 2);
    tmv.tm_hour = FieldAt(text, 11, 2);
    tmv.tm_min = FieldAt(text, 14, 2);
    tmv.tm_sec = FieldAt(text, 17, 2);
    tmv.tm_isdst = -1;
    return mktime(&tmv);
}

bool CReportTableGenTask::IsStatisticsDue(const std::string& begin, const std::string& end,
                                          const std::string& update, int statistCys, int sleepTime,
                                          time_t now)
{
    if (begin.empty() && end.empty() && update.empty())
        return true;
    int64_t elapsed = static_cast<int64_t>(now) - static_cast<int64_t>(ParseUpdateTime(update));
    int64_t cycle = static_cast<int64_t>(statistCys) * 60;
    if (elapsed > cycle)
        return true;
    // The slack is the number SleepTime read as seconds.
    return cycle - elapsed <= sleepTime;
}

void CReportTableGenTask::RewriteStatistSql(std::string& statement, const std::string& end,
                                            const LocalTime& now)
{
    std::string start =
        (end.empty() || strcasecmp(end.c_str(), "NULL") == 0) ? std::string("NULL") : "\"" + end + "\"";
    size_t open = statement.find('(');
    if (open != std::string::npos)
    {
        size_t from = open + 1;
        size_t count = std::min(open + 21, statement.size() - from);
        statement.replace(from, count, start);
    }
    char nowText[64];
    snprintf(nowText, sizeof(nowText), "%4d-%02d-%02d %02d:%02d:%02d", now.m_Year, now.m_Month, now.m_Day,
             now.m_Hour, now.m_Minute, now.m_Second);
    statement += " ,\"";
    statement += nowText;
    statement += "\")";
}
