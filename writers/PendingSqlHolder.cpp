#include "writers/PendingSqlHolder.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"
#include "writers/FinalLogWriter.h"

#include <cinttypes>
#include <iterator>
#include <vector>

namespace
{
const char* const TAG = "[CPendingSqlHolder]";
} // namespace

CPendingSqlHolder* CPendingSqlHolder::GetInstance()
{
    static CPendingSqlHolder* instance = new CPendingSqlHolder();
    return instance;
}

CPendingSqlHolder::~CPendingSqlHolder() = default;

bool CPendingSqlHolder::Init()
{
    CCSLocker lock(m_Lock);
    if (m_bInit.load() != 0)
        return true;
    m_Stop.Reset();
    m_bInit = 1;
    m_hThread = platform::CreateThread([this] { return StoreProcess(); });
    if (!m_hThread)
    {
        m_bInit = 0;
        return false;
    }
    return true;
}

int CPendingSqlHolder::UnInit()
{
    platform::ThreadHandle thread;
    {
        CCSLocker lock(m_Lock);
        if (m_bInit.load() == 0)
            return 1;
        // From here on a connection that ends keeps its statements (its writer reports them).
        m_bInit = 0;
        thread = std::move(m_hThread);
    }
    m_Stop.Set();
    bool ended = true;
    if (thread && platform::WaitForSingleObject(thread.get(), STOP_WAIT_MS) != platform::WAIT_OBJECT_0)
    {
        ended = false;
        platform::TerminateThread(thread, 0);
    }
    // The connections have ended, their last statements are here: one more pass while the server may
    // be back. A thread that did not end may still be in a pass of its own; none is started beside it.
    if (ended && GetPendingCount() > 0)
        StoreAll(true);
    size_t dropped = 0;
    {
        CCSLocker lock(m_Lock);
        dropped = m_HeldStatements;
        m_Held.clear();
        if (ended)
        {
            m_HeldStatements = 0;
            m_HeldBytes = 0;
        }
    }
    if (dropped > 0)
        QB_LOG(PL_WARN, TAG, "[UnInit] Held Statements Dropped = %zu\n", dropped);
    QB_LOG(PL_INFO, TAG,
           "[UnInit] Statements Held = %" PRIu64 " , Stored = %" PRIu64 " , Dropped For The Bound = %" PRIu64
           " , Refused = %" PRIu64 "\n",
           m_HeldTotal.load(), m_StoredTotal.load(), m_DroppedTotal.load(), m_RefusedTotal.load());
    return 1;
}

bool CPendingSqlHolder::HandOver(const std::string& dbName, std::deque<std::string>& sqls)
{
    if (dbName.empty())
        return false;
    size_t taken = 0, dropped = 0;
    {
        CCSLocker lock(m_Lock);
        if (m_bInit.load() == 0)
            return false;
        HeldDb& held = m_Held[dbName];
        for (std::string& sql : sqls)
        {
            if (sql.empty())
                continue;
            // The part kept is the front of what the connection sent, without gaps inside it.
            if (dropped > 0 || m_HeldStatements >= MAX_HELD_STATEMENTS ||
                m_HeldBytes + sql.size() > MAX_HELD_BYTES)
            {
                ++dropped;
                continue;
            }
            m_HeldBytes += sql.size();
            ++m_HeldStatements;
            held.m_Sqls.push_back(std::move(sql));
            ++taken;
        }
        if (held.m_Sqls.empty())
            m_Held.erase(dbName);
        sqls.clear();
    }
    m_HeldTotal += taken;
    if (dropped > 0)
    {
        m_DroppedTotal += dropped;
        QB_LOG(PL_WARN, TAG, "[HandOver] Holder Full. Statements Dropped = %zu , DbName = %s\n", dropped,
               dbName.c_str());
    }
    if (taken > 0)
        m_Wake.Set();
    return true;
}

size_t CPendingSqlHolder::GetPendingCount()
{
    CCSLocker lock(m_Lock);
    return m_HeldStatements;
}

uint32_t CPendingSqlHolder::StoreProcess()
{
    CSQLConnManager::SqlThreadInit();
    platform::CWaitable* objects[3] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_Stop, &m_Wake};
    const uint32_t retryMs = ScaledInterval(CFinalLogWriter::SUBMIT_RETRY_PAUSE_MS);
    bool serverAway = false;
    uint32_t failTick = 0;
    uint32_t timeoutMs = platform::INFINITE;
    for (;;)
    {
        uint32_t ret = platform::WaitForMultipleObjects(3, objects, false, timeoutMs);
        if (ret != platform::WAIT_OBJECT_0 + 2 && ret != platform::WAIT_TIMEOUT)
            break;
        // A hand-over while the server is away waits for the pause like everything held: each try costs
        // the connection attempts of the SQL connection manager.
        const uint32_t since = platform::GetTickCount() - failTick;
        if (serverAway && since < retryMs)
        {
            timeoutMs = retryMs - since;
            continue;
        }
        serverAway = !StoreAll(false);
        if (serverAway)
            failTick = platform::GetTickCount();
        timeoutMs = serverAway || GetPendingCount() > 0 ? retryMs : platform::INFINITE;
    }
    CSQLConnManager::SqlThreadEnd();
    return 0;
}

bool CPendingSqlHolder::StoreAll(bool lastPass)
{
    std::vector<std::string> order;
    {
        CCSLocker lock(m_Lock);
        auto resume = m_Held.upper_bound(m_ResumeAfter);
        for (auto it = resume; it != m_Held.end(); ++it)
            order.push_back(it->first);
        for (auto it = m_Held.begin(); it != resume; ++it)
            order.push_back(it->first);
    }
    m_ResumeAfter.clear();
    platform::CWaitable* stop[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_Stop};
    for (const std::string& dbName : order)
    {
        // The thread leaves its pass at a stop: UnInit makes the last one.
        if (!lastPass && platform::WaitForMultipleObjects(2, stop, false, 0) != platform::WAIT_TIMEOUT)
            return true;
        HeldDb held;
        {
            CCSLocker lock(m_Lock);
            auto it = m_Held.find(dbName);
            if (it == m_Held.end())
                continue;
            held = std::move(it->second);
            m_Held.erase(it);
        }
        const EStoreResult result = StoreHeldSql(dbName, held);
        if (result == STORE_NO_CONNECTION && !lastPass &&
            ++m_NoConnectionPasses[dbName] >= UNREACHABLE_PASSES)
        {
            m_NoConnectionPasses[dbName] = 0;
            if (ServerAnswers())
            {
                QB_LOG(
                    PL_WARN, TAG,
                    "[StoreAll] Server Answers But DbName = %s Cannot Be Reached. Statements Dropped = %zu\n",
                    dbName.c_str(), held.m_Sqls.size());
                m_RefusedTotal += held.m_Sqls.size();
                CCSLocker lock(m_Lock);
                for (const std::string& sql : held.m_Sqls)
                    Forget(sql);
                held.m_Sqls.clear();
                m_NoConnectionPasses.erase(dbName);
                continue;
            }
        }
        else if (result == STORE_DONE)
        {
            m_NoConnectionPasses.erase(dbName);
        }
        PutBack(dbName, held);
        if (result != STORE_DONE)
        {
            m_ResumeAfter = dbName;
            return false;
        }
    }
    return true;
}

bool CPendingSqlHolder::ServerAnswers()
{
    const std::string globalDb = CConfigManager::GetInstance()->GetKelvCopy().m_DataBase;
    if (globalDb.empty())
        return false;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(globalDb.c_str(), CFinalLogWriter::SQL_CLIENT_FLAGS);
    if (conn == nullptr)
        return false;
    sql->ReleaseSqlConn(conn);
    return true;
}

CPendingSqlHolder::EStoreResult CPendingSqlHolder::StoreHeldSql(const std::string& dbName, HeldDb& held)
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(dbName.c_str(), CFinalLogWriter::SQL_CLIENT_FLAGS);
    if (conn == nullptr)
        return STORE_NO_CONNECTION;
    size_t stored = 0;
    EStoreResult outcome = STORE_DONE;
    while (!held.m_Sqls.empty())
    {
        const size_t count = CFinalLogWriter::CountBatch(held.m_Sqls);
        size_t done = 0;
        uint32_t errNo = 0;
        CFinalLogWriter::EBatchResult result =
            CFinalLogWriter::RunBatch(conn, held.m_Sqls, count, done, errNo);
        if (done > 0)
        {
            CCSLocker lock(m_Lock);
            for (size_t i = 0; i < done; ++i)
                Forget(held.m_Sqls[i]);
            held.m_Sqls.erase(held.m_Sqls.begin(), held.m_Sqls.begin() + static_cast<ptrdiff_t>(done));
            held.m_FrontLosses = 0;
            stored += done;
            m_StoredTotal += done;
        }
        if (result == CFinalLogWriter::BATCH_DONE)
            continue;
        // A locked table refuses nothing: what is left is tried again later.
        if (result == CFinalLogWriter::BATCH_BUSY)
        {
            outcome = STORE_CONN_LOST;
            break;
        }
        if (result == CFinalLogWriter::BATCH_REJECTED ||
            ++held.m_FrontLosses >= CFinalLogWriter::MAX_CONNECTION_LOSSES_PER_STATEMENT)
        {
            // Refused on its own merits (or it keeps breaking the connection): logged and dropped, as the
            // writer does; the server is there, so the rest goes on.
            QB_LOG(PL_WARN, TAG, "[StoreHeldSql] Query Fail.Sql = %s Err = %u\n", held.m_Sqls.front().c_str(),
                   errNo);
            {
                CCSLocker lock(m_Lock);
                Forget(held.m_Sqls.front());
            }
            ++m_RefusedTotal;
            held.m_Sqls.pop_front();
            held.m_FrontLosses = 0;
            if (result == CFinalLogWriter::BATCH_REJECTED)
                continue;
        }
        else
        {
            QB_LOG(PL_WARN, TAG,
                   "[StoreHeldSql] Connection Lost. Err = %u , %zu Statements Kept. DbName = %s\n", errNo,
                   held.m_Sqls.size(), dbName.c_str());
        }
        outcome = STORE_CONN_LOST;
        break;
    }
    sql->ReleaseSqlConn(conn);
    if (stored > 0)
        QB_LOG(PL_INFO, TAG, "[StoreHeldSql] Statements Stored = %zu , DbName = %s\n", stored,
               dbName.c_str());
    return outcome;
}

void CPendingSqlHolder::PutBack(const std::string& dbName, HeldDb& held)
{
    if (held.m_Sqls.empty())
        return;
    CCSLocker lock(m_Lock);
    HeldDb& slot = m_Held[dbName];
    slot.m_Sqls.insert(slot.m_Sqls.begin(), std::make_move_iterator(held.m_Sqls.begin()),
                       std::make_move_iterator(held.m_Sqls.end()));
    slot.m_FrontLosses = held.m_FrontLosses;
    held.m_Sqls.clear();
}

void CPendingSqlHolder::Forget(const std::string& sql)
{
    m_HeldBytes -= sql.size();
    --m_HeldStatements;
}
