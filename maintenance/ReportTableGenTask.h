#pragma once
#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/Task.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <mysql.h>

// Keeps the statistics (report) tables of one device database up to date:
// one thread per table of statistics.conf decides from midtableinfo whether an
// aggregation run is due and runs the table's configured statements.
class CReportTableGenTask : public CTask
{
public:
    // What the task shares with its table threads. Held by shared pointer so
    // that a table thread still busy in MySQL when the task gives up waiting
    // for it never touches a destroyed task.
    struct TableSet
    {
        std::string m_DbName;
        // The task's own copy of the configured descriptions; each table
        // thread rewrites only its own aggregation statement.
        std::vector<StatisticsTable> m_Tables;
        std::atomic<uint32_t> m_bRunning{0};
        // Set when the task ends, so that table threads leave their waits at once.
        platform::CEvent m_StopEvent{true, false};
    };

    // The argument of one table thread: its table and the task's shared part.
    struct TableThreadArg
    {
        int m_Index = 0;
        std::shared_ptr<TableSet> m_Task;
    };

    CReportTableGenTask();
    explicit CReportTableGenTask(const char* dbName);
    ~CReportTableGenTask() override;

    // 0, or -1 when the database name is empty.
    uint32_t Run() override;

    // Thread body of one table: 0, or -1/-2/-3 for a missing argument, a
    // missing task or an index beyond the list.
    static int TableStatistics(TableThreadArg* arg);
    // 1 when an aggregation run of the table is due; rewrites its aggregation
    // statement for that run.
    int CanStatistics(int index);
    // 1 when every configured statement of the table succeeded.
    int DoStatistics(int index);
    static int ExecSql(MYSQL* conn, const char* sql, int freeResult);

    void SetDbName(const char* dbName) { m_Set->m_DbName = dbName != nullptr ? dbName : ""; }
    const std::string& GetDbName() const { return m_Set->m_DbName; }

    // Run takes its copy from the configuration; tests that call the checks
    // directly give one here.
    void SetTableDescriptions(const std::vector<StatisticsTable>& tables) { m_Set->m_Tables = tables; }
    const std::vector<StatisticsTable>& GetTableDescriptions() const { return m_Set->m_Tables; }
    size_t GetTableThreadCount() const { return m_ThreadCount.load(); }

    // The due test on the texts read from midtableinfo (empty when there was
    // no row). True when due.
    static bool IsStatisticsDue(const std::string& begin, const std::string& end, const std::string& update,
                                int statistCys, int sleepTime, time_t now);
    // The rewrite of an aggregation statement for a run whose last recorded
    // window ended at `end`, started at `now`.
    static void RewriteStatistSql(std::string& statement, const std::string& end, const LocalTime& now);
    // "yyyy-mm-dd hh:mm:ss" read by fixed positions as a local time.
    static time_t ParseUpdateTime(const std::string& text);

    static constexpr uint32_t MAX_TABLE_THREADS = 64;
    static constexpr uint32_t HEARTBEAT_MS = 5000;
    static constexpr uint32_t TABLE_WAIT_MS = 5000;
    static constexpr uint32_t THREAD_STOP_WAIT_MS = 10000;
    static constexpr size_t TIME_TEXT_MAX = 63;

private:
    static int CanStatisticsOf(TableSet& set, int index);
    static int DoStatisticsOf(TableSet& set, int index);

    std::shared_ptr<TableSet> m_Set;
    std::vector<platform::ThreadHandle> m_Threads;
    std::atomic<size_t> m_ThreadCount{0};
};
