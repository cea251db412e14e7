// Statements a device connection still held when it ended: the final SQL writer hands them here at its
// OnQuit and the connection ends at once, its slot free for the next device, also while the database is
// away. One thread stores them, per device database and in the order they came, once the server answers
// (a pass, and after a pass that found no server the same retry pause as the writer's). Bounded in
// statements and bytes; what does not fit is dropped and counted, and what an orderly stop still finds
// here after one last pass is dropped with a WARN that gives its number.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

class CPendingSqlHolder
{
public:
    static CPendingSqlHolder* GetInstance();
    virtual ~CPendingSqlHolder();
    CPendingSqlHolder(const CPendingSqlHolder&) = delete;
    CPendingSqlHolder& operator=(const CPendingSqlHolder&) = delete;

    // Starts the storing thread.
    bool Init();
    // Ends the thread (every connection has ended by now), stores what it can in one last pass and
    // drops the rest.
    int UnInit();
    bool IsInit() const { return m_bInit.load() != 0; }

    // Takes the statements of one device database, in their order, and empties `sqls`; past the bounds
    // the newest are dropped and counted. False, with `sqls` untouched, when the holder is not running.
    bool HandOver(const std::string& dbName, std::deque<std::string>& sqls);

    // Statements waiting now.
    size_t GetPendingCount();
    // Since start: statements taken, stored, dropped for the bounds, and refused (by the server, or for
    // a database the server no longer has).
    uint64_t GetHeldCount() const { return m_HeldTotal.load(); }
    uint64_t GetStoredCount() const { return m_StoredTotal.load(); }
    uint64_t GetDroppedCount() const { return m_DroppedTotal.load(); }
    uint64_t GetRefusedCount() const { return m_RefusedTotal.load(); }

    // Bounds over every database together: far above what the connections of an outage of some minutes
    // leave (each of their caches is bounded itself), and a fixed ceiling on memory when it lasts.
    static constexpr size_t MAX_HELD_STATEMENTS = 200000;
    static constexpr size_t MAX_HELD_BYTES = size_t{64} * 1024 * 1024;
    static constexpr uint32_t STOP_WAIT_MS = 10000;
    // Passes in a row that find no connection to one database before the holder asks whether the server
    // answers at all: a database that is gone while the server is there (a device deleted) is given up
    // instead of being tried for ever, each try holding the connection manager's lock for its attempts.
    static constexpr uint32_t UNREACHABLE_PASSES = 3;

private:
    struct HeldDb
    {
        std::deque<std::string> m_Sqls;
        // Connection losses in a row while the front statement was in the batch.
        uint32_t m_FrontLosses = 0;
    };

    enum EStoreResult
    {
        STORE_DONE,          // every statement ran or was refused
        STORE_NO_CONNECTION, // no connection to the database could be made
        STORE_CONN_LOST,     // the connection broke; the rest is kept
    };

    CPendingSqlHolder() = default;
    uint32_t StoreProcess();
    // One pass over every database; false when the server could not be reached (the pass stops there,
    // and the next one starts after that database). The thread's passes end early at a stop.
    bool StoreAll(bool lastPass);
    // Runs one database's statements on a connection of its own. What ran leaves `held` (and the counts)
    // at once, so nothing is run twice.
    EStoreResult StoreHeldSql(const std::string& dbName, HeldDb& held);
    // True when a connection to the global database can be made.
    static bool ServerAnswers();
    // Puts back what a pass could not store, ahead of what came meanwhile.
    void PutBack(const std::string& dbName, HeldDb& held);
    // Under m_Lock: one statement less held (stored, refused or dropped).
    void Forget(const std::string& sql);

    std::atomic<int32_t> m_bInit{0};
    platform::ThreadHandle m_hThread;
    // A hand-over wakes the thread; UnInit ends it without the process-wide exit event.
    platform::CEvent m_Wake{false, false};
    platform::CEvent m_Stop{true, false};

    platform::CCriticalSection m_Lock;
    std::map<std::string, HeldDb> m_Held;
    // Everything held, also what a pass has taken out for the moment.
    size_t m_HeldStatements = 0;
    size_t m_HeldBytes = 0;
    // Where the next pass begins: after the database at which the last one found no server, so that one
    // database that cannot be reached does not hold up the others for good. Used by one thread at a time.
    std::string m_ResumeAfter;
    // Passes in a row that found no connection, per database. Used by one thread at a time.
    std::map<std::string, uint32_t> m_NoConnectionPasses;

    std::atomic<uint64_t> m_HeldTotal{0};
    std::atomic<uint64_t> m_StoredTotal{0};
    std::atomic<uint64_t> m_DroppedTotal{0};
    std::atomic<uint64_t> m_RefusedTotal{0};
};
