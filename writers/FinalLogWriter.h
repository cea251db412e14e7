// Last writer of the chain: turns records into insert statements against the device's own database and
// runs them in batches, one cache per table. A cache is submitted when it holds 50 statements and when its
// oldest statement has waited 60 s (looked at whenever a record reaches this writer); at OnQuit what is
// left goes to the collector's pending-SQL holder (CPendingSqlHolder).
//
// A submission is one round trip per batch: "set   names   'gbk'" and the pending statements sent as
// one multi-statement query. Statements that did not run because the server could not be reached or
// went away stay queued for the next submission; a statement the server rejects is logged and dropped.
//
// Uploaded audit files are received by CAuditFileReception, which inserts its rows over this writer's
// connection.
#pragma once

#include "platform/CriticalSection.h"
#include "writers/AuditFileReception.h"
#include "writers/BaseLogWriter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <mysql.h>

class CFinalLogWriter : public CBaseLogWriter
{
public:
    // The seven caches in submission order; each is named after the table of its statements.
    enum ESqlCache : int
    {
        SQL_CACHE_USRFLOWLOG = 0,
        SQL_CACHE_USRBASICLOG,
        SQL_CACHE_USRSVRLOG,
        SQL_CACHE_ADT_LOG,
        SQL_CACHE_ALARM_LOG,
        SQL_CACHE_SYSLOG,
        SQL_CACHE_DEV_STAT,
        SQL_CACHE_COUNT
    };

    CFinalLogWriter();
    ~CFinalLogWriter() override;

    int Init() override;
    void UnInit() override;

    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff) override;
    uint32_t WriteLog(int signCode, const KeepAliveLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AlarmLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AuditLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AdminLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra) override;
    // Types 0, 1, 2, 3, 4, 8, 10 and 11.
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra) override;

    // A null name keeps the current one.
    void SetDbName(const char* dbName) override;
    // Hands what the caches still hold to the collector's pending-SQL holder, which stores it once the
    // server answers: the end of a connection never waits for the database. Without a running holder
    // (the writer used on its own) every cache is submitted once, as at any other time.
    void OnQuit() override;

    std::string GetDbName();
    // Statements waiting in one cache (diagnostics and tests).
    size_t GetPendingCount(int cache);
    size_t GetPendingTotal();
    std::deque<std::string> GetPendingSql(int cache);
    static const char* GetSqlCacheName(int cache);

    static constexpr uint32_t SUBMIT_STATEMENT_COUNT = 50;
    static constexpr uint32_t SUBMIT_AGE_MS = 60000;
    static constexpr uint32_t CONN_PROBE_INTERVAL_MS = 300000;
    static constexpr uint32_t MAKE_MYSQL_OK_ATTEMPTS = 2;
    static constexpr uint32_t MAKE_MYSQL_OK_RETRY_SLEEP_MS = 100;
    // After a submission that found no connection, only a forced submission tries again before this
    // pause is over: without it every record would wait for the connection attempts.
    static constexpr uint32_t SUBMIT_RETRY_PAUSE_MS = 10000;
    // Statements (and their bytes) one cache keeps while they cannot be run (no database name yet,
    // server away); past either bound the oldest is dropped.
    static constexpr size_t MAX_PENDING_STATEMENTS = 20000;
    static constexpr size_t MAX_PENDING_BYTES = size_t{16} * 1024 * 1024;
    // Upper bound of one batch's text; a full cache of the longest statements (alarms) stays below it
    // and so does any server's max_allowed_packet.
    static constexpr size_t MAX_BATCH_BYTES = size_t{1024} * 1024;
    // A statement whose batch lost the connection this many times in a row is dropped: it may be what
    // breaks the connection, and it must not hold its cache up for ever.
    static constexpr uint32_t MAX_CONNECTION_LOSSES_PER_STATEMENT = 3;
    // Keepalive records summed into one dev_stat row.
    static constexpr int32_t DEV_STAT_RECORDS_PER_ROW = 6;
    static constexpr uint32_t SQL_CLIENT_FLAGS = CLIENT_MULTI_STATEMENTS; // 0x10000
    static constexpr const char* SET_NAMES_SQL = "set   names   'gbk'";
    // The writer runs on the connection's record thread: a batch waiting for a table that maintenance
    // holds (a repair, a cleaning chunk) would stop the device's stream for as long. Its batches do not
    // wait for a table lock at all: cleaning runs chunk after chunk, so even a 1 s wait per cache kept
    // the device's stream stopped for seconds at a time. What did not run stays cached for a later try.
    static constexpr const char* SET_NAMES_NO_LOCK_WAIT_SQL = "set   names   'gbk', lock_wait_timeout = 0";
    // The server's own wait, for a batch that must run now (half-full cache, the last submission).
    static constexpr const char* SET_NAMES_FULL_LOCK_WAIT_SQL =
        "set   names   'gbk', lock_wait_timeout = default";
    // After a batch found its table locked, the cache is tried again after this pause (real time: the
    // lock wait is not shortened for tests either), unless it holds half of its bound: then the batch
    // waits for the lock as long as it takes, so that a long lock slows the device instead of dropping
    // its oldest records.
    static constexpr uint32_t BUSY_RETRY_PAUSE_MS = 5000;

    // Result of one batch.
    enum EBatchResult
    {
        BATCH_DONE,      // every statement ran
        BATCH_REJECTED,  // statement at the failed index was refused by the server
        BATCH_CONN_LOST, // the connection broke at the failed index; nothing from it on ran
        BATCH_BUSY,      // the table was locked (past the batch's lock wait, if any); nothing from it on ran
    };
    // How many statements from the front of `sqls` make one batch (at least one, MAX_BATCH_BYTES).
    static size_t CountBatch(const std::deque<std::string>& sqls);
    // Runs `prefix` (the character set, and maybe the lock wait) and statements [0, count) of `sqls` as
    // one query on `conn`. done receives the number of statements that ran; on a failure errNo is the
    // server's or client's error number. Shared with the pending-SQL holder, so that both judge a failed
    // batch alike.
    static EBatchResult RunBatch(MYSQL* conn, const std::deque<std::string>& sqls, size_t count, size_t& done,
                                 uint32_t& errNo, const char* prefix = SET_NAMES_SQL);

protected:
    // Serialises every use of m_pConn (record thread, merger thread, audit-file inserts). Taken inside a
    // cache lock, never the other way round.
    platform::CCriticalSection m_ConnLock;
    // Makes sure m_pConn is usable; 1 when it is. Call under m_ConnLock.
    int MakeMySqlOK();
    MYSQL* m_pConn = nullptr;
    // The database m_pConn was opened for.
    std::string m_ConnDbName;

private:
    struct SqlCache
    {
        uint32_t m_FirstTick = 0;
        platform::CCriticalSection m_Lock;
        std::deque<std::string> m_Sqls;
        size_t m_Bytes = 0; // text held in m_Sqls
        // Connection losses in a row while the front statement was in the batch.
        uint32_t m_FrontLosses = 0;
        uint64_t m_Dropped = 0;
        // Tick of the batch that last found the table locked, and whether its pause is on.
        uint32_t m_BusyTick = 0;
        bool m_bBusy = false;
    };

    uint32_t StoreAdminLog(const AdminLog* record, bool fromAudit);
    // Under the cache lock: starts the age of an empty cache.
    void TouchCache(SqlCache& cache);
    // Under the cache lock: queues a statement, dropping the oldest past the bound.
    void AppendSql(int cacheIndex, std::string&& sql);
    void SubmitAll(bool force);
    bool NeedSubmit(int cacheIndex, bool force);
    // `force`: the batch waits for a locked table as long as the server lets it.
    int SubmitSqlCache(int cacheIndex, bool force);
    void DropConnection();
    // Under the cache lock: the cache holds half of what it may keep.
    static bool AboveHalfBound(const SqlCache& cache);
    static bool IsConnectionError(uint32_t errNo);

    std::string m_DbName;
    platform::CCriticalSection m_DbNameLock;

    // Keepalive sums; used under the dev_stat cache lock.
    int32_t m_DevStatCount = 0;
    int64_t m_DevStatUpSum = 0;
    int64_t m_DevStatDownSum = 0;

    uint32_t m_LastProbeTick = 0;
    // Tick of the last submission that found no connection, and whether the pause is on.
    std::atomic<uint32_t> m_NoConnTick{0};
    std::atomic<bool> m_bNoConn{false};

    SqlCache m_SqlCaches[SQL_CACHE_COUNT];
    CAuditFileReception m_AuditFileReception;
};
