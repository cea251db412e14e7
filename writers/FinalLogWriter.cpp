#include "writers/FinalLogWriter.h"

#include "core/Clock.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "writers/PendingSqlHolder.h"

#include <cinttypes>
#include <cstring>
#include <errmsg.h>
#include <mysqld_error.h>

namespace
{
const char* const TAG = "[CFinalLogWriter]";

const char* const CACHE_NAMES[CFinalLogWriter::SQL_CACHE_COUNT] = {
    "usrflowlog", "usrbasiclog", "usrsvrlog", "adt_log", "alarm_log", "syslog", "dev_stat",
};

// Handed by the audit slot to the admin slot as its extra argument: the record is an audit record in
// the administrator layout and is stored without a directory look-up.
const char g_AuditOrigin = 0;

void EscapedGbk(std::string& text)
{
    EscapeSqlString(text);
}
} // namespace

CFinalLogWriter::CFinalLogWriter()
{
    // The audit-file row goes over the same connection as the caches, never at the same time.
    m_AuditFileReception.SetConnectionRunner(
        [this](const std::function<void(MYSQL*)>& body)
        {
            CCSLocker connLock(m_ConnLock);
            bool haveConn = false;
            for (uint32_t attempt = 0; attempt < MAKE_MYSQL_OK_ATTEMPTS && !haveConn; ++attempt)
            {
                haveConn = MakeMySqlOK() != 0;
                if (!haveConn && !GetDbName().empty())
                    platform::Sleep(MAKE_MYSQL_OK_RETRY_SLEEP_MS);
            }
            if (!haveConn)
                return false;
            // The caches' batches leave no lock wait on the session; the audit-file row is not
            // retried later, so it waits as long as it takes.
            mysql_query(m_pConn, "set session lock_wait_timeout = default");
            body(m_pConn);
            return true;
        });
}

CFinalLogWriter::~CFinalLogWriter()
{
    if (m_pConn != nullptr)
    {
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConn);
        m_pConn = nullptr;
    }
}

const char* CFinalLogWriter::GetSqlCacheName(int cache)
{
    return cache >= 0 && cache < SQL_CACHE_COUNT ? CACHE_NAMES[cache] : "";
}

int CFinalLogWriter::Init()
{
    // The locks are members and exist with the object.
    return 1;
}

void CFinalLogWriter::UnInit()
{
    for (int i = 0; i < SQL_CACHE_COUNT; ++i)
    {
        SqlCache& cache = m_SqlCaches[i];
        CCSLocker lock(cache.m_Lock);
        if (!cache.m_Sqls.empty())
            QB_LOG(PL_WARN, TAG, "[UnInit] %zu Statements Of %s Not Submitted Are Dropped\n",
                   cache.m_Sqls.size(), CACHE_NAMES[i]);
        cache.m_Sqls.clear();
        cache.m_Bytes = 0;
    }
    CCSLocker connLock(m_ConnLock);
    DropConnection();
}

// ---- Records -------------------------------------------------------------------------------------

uint32_t CFinalLogWriter::WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff)
{
    if (record == nullptr)
        return 0;
    return m_AuditFileReception.WriteLog(signCode, record, replyBuff, GetDbName());
}

uint32_t CFinalLogWriter::WriteLog(int, const KeepAliveLog* record, void*)
{
    if (record == nullptr)
        return 0;
    std::string timeText;
    if (!RecordTimeText(record->m_Head, timeText))
    {
        SubmitAll(false);
        return 0;
    }
    const int32_t up = record->m_UpFlux;
    const int32_t down = record->m_DownFlux;
    if (up < 0 || down < 0)
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Recv Not Correct Flux.Up = %d , Dw = %d\n", up, down);
        SubmitAll(false);
        return 1;
    }
    {
        SqlCache& cache = m_SqlCaches[SQL_CACHE_DEV_STAT];
        CCSLocker lock(cache.m_Lock);
        TouchCache(cache);
        if (m_DevStatCount == 0)
        {
            m_DevStatUpSum = up;
            m_DevStatDownSum = down;
        }
        else
        {
            m_DevStatUpSum += up;
            m_DevStatDownSum += down;
        }
        if (++m_DevStatCount >= DEV_STAT_RECORDS_PER_ROW)
        {
            AppendSql(SQL_CACHE_DEV_STAT,
                      FormatText("insert into dev_stat(`dev_ip`,`time`,`upload_flux`,`download_flux`) "
                                 "values(%u,'%s',%" PRId64 ",%" PRId64 ")",
                                 wire::NetToHost32(record->m_DevIP), timeText.c_str(), m_DevStatUpSum,
                                 m_DevStatDownSum));
            m_DevStatCount = 0;
        }
    }
    SubmitAll(false);
    return 1;
}

uint32_t CFinalLogWriter::WriteLog(int, const SystemLog* record, void*)
{
    if (record == nullptr)
        return 0;
    uint32_t result = 0;
    std::string timeText, message;
    if (RecordTimeText(record->m_Head, timeText) &&
        RecordTextToGbk(record->m_Message, sizeof(record->m_Message), message))
    {
        EscapedGbk(message);
        SqlCache& cache = m_SqlCaches[SQL_CACHE_SYSLOG];
        CCSLocker lock(cache.m_Lock);
        TouchCache(cache);
        AppendSql(
            SQL_CACHE_SYSLOG,
            FormatText("insert into syslog(`lev`,`process`,`message`,`log_time`) values(%d, %d,'%s','%s')",
                       record->m_SysLogType, record->m_ProcessType, message.c_str(), timeText.c_str()));
        result = 1;
    }
    SubmitAll(false);
    return result;
}

uint32_t CFinalLogWriter::WriteLog(int, const AlarmLog* record, void*)
{
    if (record == nullptr)
        return 0;
    uint32_t result = 0;
    std::string timeText, message;
    if (RecordTimeText(record->m_Head, timeText) &&
        RecordTextToGbk(record->m_Message, sizeof(record->m_Message), message))
    {
        EscapedGbk(message);
        SqlCache& cache = m_SqlCaches[SQL_CACHE_ALARM_LOG];
        CCSLocker lock(cache.m_Lock);
        TouchCache(cache);
        AppendSql(SQL_CACHE_ALARM_LOG,
                  FormatText("insert into alarm_log (`type`,`message`,`log_time`) values(%d,'%s','%s')",
                             record->m_AlarmType, message.c_str(), timeText.c_str()));
        result = 1;
    }
    SubmitAll(false);
    return result;
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const AuditLog* record, void*)
{
    if (record == nullptr)
        return 0;
    AdminLog admin;
    ConvertToAdminLog(*record, admin);
    return WriteLog(signCode, &admin, const_cast<char*>(&g_AuditOrigin));
}

uint32_t CFinalLogWriter::WriteLog(int, const AdminLog* record, void* extra)
{
    if (record == nullptr)
        return 0;
    uint32_t result = StoreAdminLog(record, extra == &g_AuditOrigin);
    SubmitAll(false);
    return result;
}

uint32_t CFinalLogWriter::StoreAdminLog(const AdminLog* record, bool fromAudit)
{
    std::string timeText, adminName, message;
    if (!RecordTimeText(record->m_Head, timeText) ||
        !RecordTextToGbk(record->m_AdminName, sizeof(record->m_AdminName), adminName) ||
        !RecordTextToGbk(record->m_Message, sizeof(record->m_Message), message))
        return 0;

    int32_t adminId = -1;
    int32_t groupId = record->m_Reserved1;
    if (fromAudit)
    {
        // Audit records name no administrator: the row stands for the device itself.
        groupId = AUDIT_AS_ADMIN_GROUP;
    }
    else
    {
        std::string dbName = GetDbName();
        bool found = CDeviceRegistry::GetInstance()->GetAdminInfoEx(dbName.empty() ? nullptr : dbName.c_str(),
                                                                    record->m_Head.m_DevMD5,
                                                                    adminName.c_str(), adminId, groupId);
        if (!found)
            return 0;
        if (adminId == -1)
            return 1;
    }
    EscapedGbk(adminName);
    EscapedGbk(message);
    SqlCache& cache = m_SqlCaches[SQL_CACHE_ADT_LOG];
    CCSLocker lock(cache.m_Lock);
    TouchCache(cache);
    AppendSql(
        SQL_CACHE_ADT_LOG,
        FormatText("insert into adt_log "
                   "(`log_time`,`adt_action`,`action_result`,`entity`,`adt_id`,`adt_name`,`adt_grp_id`,`"
                   "address`,`message`) values('%s',%d,%d,%d,%d,'%s',%d,%u,'%s')",
                   timeText.c_str(), record->m_Action, record->m_Result, record->m_Entity, adminId,
                   adminName.c_str(), groupId, wire::NetToHost32(record->m_Address), message.c_str()));
    return 1;
}

uint32_t CFinalLogWriter::WriteLog(int, const UserLogV3* record, void*)
{
    if (record == nullptr)
        return 0;
    std::string timeText, userName;
    if (!RecordTimeText(record->m_Head, timeText))
    {
        SubmitAll(false);
        return 0;
    }
    const int64_t recordId = MakeRecordId();
    if (!RecordTextToGbk(record->m_UserName, sizeof(record->m_UserName), userName))
    {
        SubmitAll(false);
        return 0;
    }
    int32_t userId = 0;
    std::string dbName = GetDbName();
    if (!CDeviceRegistry::GetInstance()->GetUserInfoEx(dbName.empty() ? nullptr : dbName.c_str(),
                                                       record->m_Head.m_DevMD5, userName.c_str(), userId,
                                                       record->m_GroupID))
    {
        SubmitAll(false);
        return 0;
    }

    const uint32_t serverIp = wire::NetToHost32(record->m_ServerIP);
    const uint32_t address = wire::NetToHost32(record->m_Address);
    const int serverPort = wire::NetToHost16(record->m_ServerPort);
    uint32_t result = 0;
    if (record->m_Action == USER_ACTION_FLUX)
    {
        SqlCache& cache = m_SqlCaches[SQL_CACHE_USRFLOWLOG];
        CCSLocker lock(cache.m_Lock);
        TouchCache(cache);
        AppendSql(SQL_CACHE_USRFLOWLOG,
                  FormatText("insert into "
                             "UsrFlowLog(`record_id`,`user_id`,`svr_ip`,`grp_id`,`dw_flux`,`up_flux`,`raw_up_"
                             "flux`,`raw_dw_flux`,`log_time`,`address`,`svr_port`) values('%" PRId64
                             "',%d,%u,%d,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",'%s',%u,%d)",
                             recordId, userId, serverIp, record->m_GroupID, record->m_DownFlux,
                             record->m_UpFlux, record->m_RawUpFlux, record->m_RawDownFlux, timeText.c_str(),
                             address, serverPort));
        result = 1;
    }
    else if (record->m_Action == USER_ACTION_RESOURCE && record->m_ServerIP == 0)
    {
        result = 0;
    }
    else
    {
        std::string message;
        if (RecordTextToGbk(record->m_Message, sizeof(record->m_Message), message))
        {
            EscapedGbk(message);
            std::string escapedName = userName;
            EscapedGbk(escapedName);
            {
                SqlCache& cache = m_SqlCaches[SQL_CACHE_USRBASICLOG];
                CCSLocker lock(cache.m_Lock);
                TouchCache(cache);
                AppendSql(
                    SQL_CACHE_USRBASICLOG,
                    FormatText("insert  into "
                               "UsrBasicLog(`record_id`, "
                               "`user_id`,`user_name`,`grp_id`,`user_action`,`action_result`,`address`,`"
                               "message`,`auth_method`,`log_time`, `svr_ip`, `svr_port`)  values ('%" PRId64
                               "',%d,'%s',%d,%d,%d,%u,'%s',%d,'%s',%u,%d)",
                               recordId, userId, escapedName.c_str(), record->m_GroupID, record->m_Action,
                               record->m_Result, address, message.c_str(), record->m_AuthMethod,
                               timeText.c_str(), serverIp, serverPort));
            }
            if (record->m_Action == USER_ACTION_RESOURCE)
            {
                SqlCache& cache = m_SqlCaches[SQL_CACHE_USRSVRLOG];
                CCSLocker lock(cache.m_Lock);
                TouchCache(cache);
                AppendSql(SQL_CACHE_USRSVRLOG,
                          FormatText("insert  into UsrSvrLog (`record_id`, "
                                     "`user_id`,`svr_ip`,`grp_id`,`svr_port`,`svr_type`,`log_time`,`action_"
                                     "result`,`address`,`message`,`svr_attr`)values('%" PRId64
                                     "',%d,%u,%d,%d,%d,'%s',%d,%u,'%s',%d)",
                                     recordId, userId, serverIp, record->m_GroupID, serverPort,
                                     record->m_ServiceType, timeText.c_str(), record->m_Result, address,
                                     message.c_str(), record->m_ServerAttr));
            }
            result = 1;
        }
    }
    SubmitAll(false);
    return result;
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const UserLogV2* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const UserLog* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CFinalLogWriter::WriteLog(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    if (desc->m_LogType < 0 || desc->m_LogType >= int32_t(LOG_TYPE_USERAUDITFILE))
        return 0;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_KEEPALIVE:
    case LOG_TYPE_USER:
    case LOG_TYPE_AUDIT:
    case LOG_TYPE_ADMIN:
    case LOG_TYPE_ALARM:
    case LOG_TYPE_SYSTEM:
    case LOG_TYPE_USERV2:
    case LOG_TYPE_USERV3:
        return DispatchToTypedSlot(desc, extra);
    default:
        return 0;
    }
}

void CFinalLogWriter::SetDbName(const char* dbName)
{
    if (dbName == nullptr)
        return;
    CCSLocker lock(m_DbNameLock);
    m_DbName = dbName;
}

std::string CFinalLogWriter::GetDbName()
{
    CCSLocker lock(m_DbNameLock);
    return m_DbName;
}

void CFinalLogWriter::OnQuit()
{
    // A connection whose end waited here for a server that was away kept its slot for as long, and with
    // every slot so held each device that came back was refused. The records were acknowledged, so what
    // is left is not dropped either: the holder takes it and stores it once the server answers.
    const std::string db = GetDbName();
    CPendingSqlHolder* holder = CPendingSqlHolder::GetInstance();
    size_t handed = 0;
    bool kept = db.empty() || !holder->IsInit();
    for (int i = 0; i < SQL_CACHE_COUNT && !kept; ++i)
    {
        SqlCache& cache = m_SqlCaches[i];
        CCSLocker lock(cache.m_Lock);
        const size_t count = cache.m_Sqls.size();
        if (count == 0)
            continue;
        // Refused only by a holder that has stopped meanwhile: the collector is stopping.
        kept = !holder->HandOver(db, cache.m_Sqls);
        if (kept)
            break;
        handed += count;
        cache.m_Sqls.clear();
        cache.m_Bytes = 0;
        cache.m_FrontLosses = 0;
    }
    if (handed > 0)
        QB_LOG(PL_INFO, TAG, "[OnQuit] Statements Handed Over = %zu , DbName = %s\n", handed, db.c_str());
    // No holder (the writer used on its own) or no database to name: one last submission; what it
    // cannot store is reported at UnInit.
    if (kept)
        SubmitAll(true);
}

size_t CFinalLogWriter::GetPendingTotal()
{
    size_t total = 0;
    for (int i = 0; i < SQL_CACHE_COUNT; ++i)
        total += GetPendingCount(i);
    return total;
}

size_t CFinalLogWriter::GetPendingCount(int cache)
{
    if (cache < 0 || cache >= SQL_CACHE_COUNT)
        return 0;
    CCSLocker lock(m_SqlCaches[cache].m_Lock);
    return m_SqlCaches[cache].m_Sqls.size();
}

std::deque<std::string> CFinalLogWriter::GetPendingSql(int cache)
{
    if (cache < 0 || cache >= SQL_CACHE_COUNT)
        return {};
    CCSLocker lock(m_SqlCaches[cache].m_Lock);
    return m_SqlCaches[cache].m_Sqls;
}

// ---- Caches --------------------------------------------------------------------------------------

void CFinalLogWriter::TouchCache(SqlCache& cache)
{
    if (cache.m_Sqls.empty())
        cache.m_FirstTick = platform::GetTickCount();
}

void CFinalLogWriter::AppendSql(int cacheIndex, std::string&& sql)
{
    SqlCache& cache = m_SqlCaches[cacheIndex];
    if (sql.empty())
        return;
    while (!cache.m_Sqls.empty() &&
           (cache.m_Sqls.size() >= MAX_PENDING_STATEMENTS || cache.m_Bytes + sql.size() > MAX_PENDING_BYTES))
    {
        cache.m_Bytes -= cache.m_Sqls.front().size();
        cache.m_Sqls.pop_front();
        cache.m_FrontLosses = 0;
        // One line per thousand keeps a long outage from flooding the log.
        if (cache.m_Dropped++ % 1000 == 0)
            QB_LOG(PL_WARN, TAG,
                   "[AppendSql] Cache Of %s Holds %zu Statements. Oldest Dropped , %" PRIu64
                   " Dropped So Far. DbName = %s\n",
                   CACHE_NAMES[cacheIndex], cache.m_Sqls.size() + 1, cache.m_Dropped, GetDbName().c_str());
    }
    cache.m_Bytes += sql.size();
    cache.m_Sqls.push_back(std::move(sql));
}

void CFinalLogWriter::SubmitAll(bool force)
{
    for (int i = 0; i < SQL_CACHE_COUNT; ++i)
        if (NeedSubmit(i, force))
            SubmitSqlCache(i, force);
}

bool CFinalLogWriter::NeedSubmit(int cacheIndex, bool force)
{
    SqlCache& cache = m_SqlCaches[cacheIndex];
    CCSLocker lock(cache.m_Lock);
    if (cache.m_Sqls.empty())
        return false;
    if (force)
        return true;
    const uint32_t now = platform::GetTickCount();
    if (m_bNoConn.load() && now - m_NoConnTick.load() < ScaledInterval(SUBMIT_RETRY_PAUSE_MS))
        return false;
    if (cache.m_bBusy && now - cache.m_BusyTick < BUSY_RETRY_PAUSE_MS && !AboveHalfBound(cache))
        return false;
    if (cache.m_Sqls.size() >= SUBMIT_STATEMENT_COUNT)
        return true;
    return now - cache.m_FirstTick > ScaledInterval(SUBMIT_AGE_MS);
}

int CFinalLogWriter::SubmitSqlCache(int cacheIndex, bool force)
{
    SqlCache& cache = m_SqlCaches[cacheIndex];
    CCSLocker lock(cache.m_Lock);
    if (cache.m_Sqls.empty())
        return 1;
    CCSLocker connLock(m_ConnLock);
    auto noConnection = [this]
    {
        m_NoConnTick = platform::GetTickCount();
        m_bNoConn = true;
        return 0;
    };
    // Without a database name no attempt can succeed: no pauses for it.
    if (GetDbName().empty())
        return noConnection();
    bool haveConn = false;
    for (uint32_t attempt = 0; attempt < MAKE_MYSQL_OK_ATTEMPTS && !haveConn; ++attempt)
    {
        haveConn = MakeMySqlOK() != 0;
        if (!haveConn)
            platform::Sleep(MAKE_MYSQL_OK_RETRY_SLEEP_MS);
    }
    if (!haveConn)
        return noConnection();
    m_bNoConn = false;

    while (!cache.m_Sqls.empty())
    {
        if (m_pConn == nullptr)
            return noConnection();
        const size_t count = CountBatch(cache.m_Sqls);
        size_t done = 0;
        uint32_t errNo = 0;
        EBatchResult result = RunBatch(m_pConn, cache.m_Sqls, count, done, errNo,
                                       force || AboveHalfBound(cache) ? SET_NAMES_FULL_LOCK_WAIT_SQL
                                                                      : SET_NAMES_NO_LOCK_WAIT_SQL);
        if (done > 0)
        {
            for (size_t i = 0; i < done; ++i)
                cache.m_Bytes -= cache.m_Sqls[i].size();
            cache.m_Sqls.erase(cache.m_Sqls.begin(), cache.m_Sqls.begin() + static_cast<ptrdiff_t>(done));
            cache.m_FrontLosses = 0;
        }
        if (result == BATCH_DONE)
        {
            cache.m_bBusy = false;
            continue;
        }
        if (result == BATCH_BUSY)
        {
            if (!cache.m_bBusy)
                QB_LOG(PL_INFO, TAG,
                       "[SubmitSqlCache] Table Locked. %zu Statements Of %s Kept For The Next Submission. "
                       "DbName = %s\n",
                       cache.m_Sqls.size(), CACHE_NAMES[cacheIndex], GetDbName().c_str());
            cache.m_bBusy = true;
            cache.m_BusyTick = platform::GetTickCount();
            return 1;
        }

        const std::string db = GetDbName();
        if (result == BATCH_REJECTED || ++cache.m_FrontLosses >= MAX_CONNECTION_LOSSES_PER_STATEMENT)
        {
            // Refused on its own merits (or it keeps breaking the connection): logged and dropped.
            QB_LOG(PL_WARN, TAG, "[SubmitSqlCache] Query Fail.Sql = %s Err = %u\n",
                   cache.m_Sqls.front().c_str(), errNo);
            cache.m_Bytes -= cache.m_Sqls.front().size();
            cache.m_Sqls.pop_front();
            cache.m_FrontLosses = 0;
        }
        else
        {
            QB_LOG(PL_WARN, TAG,
                   "[SubmitSqlCache] Connection Lost. Err = %u , %zu Statements Of %s Kept For The Next "
                   "Submission\n",
                   errNo, cache.m_Sqls.size(), CACHE_NAMES[cacheIndex]);
        }
        DropConnection();
        m_pConn = CSQLConnManager::GetInstance()->AllocSqlConn(db.c_str(), SQL_CLIENT_FLAGS);
        m_LastProbeTick = platform::GetTickCount();
        if (m_pConn == nullptr)
            return noConnection();
        m_ConnDbName = db;
    }
    return 1;
}

size_t CFinalLogWriter::CountBatch(const std::deque<std::string>& sqls)
{
    size_t count = 0;
    size_t bytes = strlen(SET_NAMES_FULL_LOCK_WAIT_SQL);
    while (count < sqls.size() && (count == 0 || bytes + 1 + sqls[count].size() <= MAX_BATCH_BYTES))
        bytes += 1 + sqls[count++].size();
    return count;
}

CFinalLogWriter::EBatchResult CFinalLogWriter::RunBatch(MYSQL* conn, const std::deque<std::string>& sqls,
                                                        size_t count, size_t& done, uint32_t& errNo,
                                                        const char* prefix)
{
    done = 0;
    errNo = 0;
    std::string text = prefix;
    for (size_t i = 0; i < count && i < sqls.size(); ++i)
    {
        text += ';';
        text += sqls[i];
    }
    if (mysql_real_query(conn, text.data(), text.size()) != 0)
    {
        // The batch did not start: nothing of it ran.
        errNo = mysql_errno(conn);
        return BATCH_CONN_LOST;
    }
    // Statement 0 of the batch is the character-set statement; statement k > 0 is statement k-1 of sqls.
    for (size_t statement = 0;;)
    {
        if (MYSQL_RES* res = mysql_store_result(conn))
            mysql_free_result(res);
        if (statement > 0)
        {
            done = statement;
            const my_ulonglong rows = mysql_affected_rows(conn);
            if (rows != static_cast<my_ulonglong>(-1))
                CInfoManager::GetInstance()->Count(CInfoManager::INFO_ROWS_INSERT, rows);
        }
        int status = mysql_next_result(conn);
        if (status == -1)
            break;
        ++statement;
        if (status > 0)
        {
            errNo = mysql_errno(conn);
            if (IsConnectionError(errNo))
                return BATCH_CONN_LOST;
            return errNo == ER_LOCK_WAIT_TIMEOUT ? BATCH_BUSY : BATCH_REJECTED;
        }
    }
    return BATCH_DONE;
}

bool CFinalLogWriter::AboveHalfBound(const SqlCache& cache)
{
    return cache.m_Sqls.size() >= MAX_PENDING_STATEMENTS / 2 || cache.m_Bytes >= MAX_PENDING_BYTES / 2;
}

bool CFinalLogWriter::IsConnectionError(uint32_t errNo)
{
    // Client-side errors (CR_SERVER_GONE_ERROR, CR_SERVER_LOST, connection failures, ...) and the
    // server's own ways of ending a session: the statement was not judged.
    return (errNo >= CR_MIN_ERROR && errNo <= CR_MAX_ERROR) || errNo == ER_SERVER_SHUTDOWN ||
           errNo == ER_CONNECTION_KILLED || errNo == ER_QUERY_INTERRUPTED;
}

void CFinalLogWriter::DropConnection()
{
    if (m_pConn != nullptr)
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConn);
    m_pConn = nullptr;
}

int CFinalLogWriter::MakeMySqlOK()
{
    const std::string db = GetDbName();
    if (db.empty())
        return 0;
    // A connection opened for an earlier name serves the wrong database.
    if (m_pConn != nullptr && m_ConnDbName != db)
        DropConnection();
    const uint32_t now = platform::GetTickCount();
    if (m_pConn == nullptr)
    {
        m_pConn = CSQLConnManager::GetInstance()->AllocSqlConn(db.c_str(), SQL_CLIENT_FLAGS);
        if (m_pConn == nullptr)
        {
            QB_LOG(PL_ERROR, TAG, "[MakeMySqlOK] Cannot Alloc Sql Connection\n");
            return 0;
        }
        m_ConnDbName = db;
    }
    else if (!(static_cast<int32_t>(m_LastProbeTick - now) > 0) &&
             now - m_LastProbeTick <= ScaledInterval(CONN_PROBE_INTERVAL_MS))
    {
        return 1;
    }
    m_LastProbeTick = now;
    if (mysql_query(m_pConn, "show tables") == 0)
    {
        do
        {
            if (MYSQL_RES* res = mysql_store_result(m_pConn))
                mysql_free_result(res);
        } while (mysql_next_result(m_pConn) == 0);
        return 1;
    }
    QB_LOG(PL_WARN, TAG, "[MakeMySqlOK] MYSQL Connection Invalid. ErrNo = %u\n", mysql_errno(m_pConn));
    DropConnection();
    return 0;
}
