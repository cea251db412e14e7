#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include <mysql.h>

// Opens, registers and closes every database connection of the collector and,
// in service mode, keeps the local database service running. Not a pool of
// idle connections: each AllocSqlConn opens a fresh one and ReleaseSqlConn
// closes it. Each connection remembers the thread that opened it, so that one
// left behind by a thread that has ended is closed by the monitor.
class CSQLConnManager
{
public:
    static CSQLConnManager* GetInstance();
    virtual ~CSQLConnManager();

    bool Init();
    bool UnInit();

    // A new connection to `database` with the given client flags
    // (CLIENT_LOCAL_FILES for the importers, CLIENT_MULTI_STATEMENTS for the
    // rest); null when not initialised or after three failed attempts.
    MYSQL* AllocSqlConn(const char* database, uint32_t clientFlags);
    void ReleaseSqlConn(MYSQL* conn);

    // 1 when the database service runs or was just asked to start, else 0.
    int MakeMySqlOK();
    // Closes connections whose owning thread has ended; always 1.
    int MysqlConnCleanUp();

    // Bracket every thread body that uses the client library.
    static void SqlThreadInit();
    static void SqlThreadEnd();
    // Threads other than the caller that are between SqlThreadInit and SqlThreadEnd.
    static int GetSqlThreadCount();

    // Number of registered connections (diagnostics and tests).
    size_t GetConnCount();

    static constexpr const char* MYSQL_SERVICE_NAME = "VelmoraSSLSQL";
    static constexpr uint32_t CONNECT_ATTEMPTS = 3;
    static constexpr uint32_t CONNECT_RETRY_SLEEP_MS = 3000;
    static constexpr uint32_t MONITOR_INTERVAL_MS = 5000;
    static constexpr uint32_t MONITOR_STOP_WAIT_MS = 10000;

    // Liveness of the thread that opened a connection: set when that thread
    // has ended. Stands in for a synchronise-only thread handle.
    struct ThreadLife
    {
        std::atomic<bool> m_bEnded{false};
    };

private:
    CSQLConnManager() = default;
    bool IsInit() const { return m_bInit.load() != 0; }
    static uint32_t MySqlMonitor(CSQLConnManager* manager);

    platform::ThreadHandle m_hMonitor;
    // Lets UnInit end the monitor at once instead of waiting for the
    // process-wide exit event.
    platform::CEvent m_MonitorStop{true, false};
    std::atomic<int32_t> m_bInit{0};
    std::map<MYSQL*, std::shared_ptr<ThreadLife>> m_Conns;
    platform::CCriticalSection m_Lock;
};
