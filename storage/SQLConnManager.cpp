#include "storage/SQLConnManager.h"

#include <atomic>

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/ServiceManager.h"
#include "platform/Tick.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define SQLCM_TAG "[CSQLConnManager]"

namespace
{
// Marks the calling thread's life token ended when the thread exits (thread
// storage is destroyed on every thread end, whoever created the thread).
struct ThreadLifeHolder
{
    std::shared_ptr<CSQLConnManager::ThreadLife> m_Life = std::make_shared<CSQLConnManager::ThreadLife>();
    ~ThreadLifeHolder() { m_Life->m_bEnded.store(true); }
};

std::shared_ptr<CSQLConnManager::ThreadLife> CurrentThreadLife()
{
    thread_local ThreadLifeHolder holder;
    return holder.m_Life;
}
} // namespace

CSQLConnManager* CSQLConnManager::GetInstance()
{
    static CSQLConnManager* instance = new CSQLConnManager();
    return instance;
}

CSQLConnManager::~CSQLConnManager()
{
    m_hMonitor.reset();
}

bool CSQLConnManager::Init()
{
    bool ok = true;
    m_MonitorStop.Reset();
    if (CGlobalSharedData::GetInstance()->IsServiceMode())
    {
        if (MakeMySqlOK() == 0)
            ok = false;
        m_hMonitor = platform::CreateThread([this]() { return MySqlMonitor(this); });
        if (!m_hMonitor)
            QB_LOG(PL_WARN, SQLCM_TAG, "[Init] Cannot Start MySqlMonitor Thread.\n");
    }
    if (mysql_server_init(0, nullptr, nullptr) != 0)
    {
        QB_LOG(PL_ERROR, SQLCM_TAG, "[Init] Cannot Init MySQL Library.\n");
        return false;
    }
    if (ok)
        m_bInit.store(1);
    return ok;
}

bool CSQLConnManager::UnInit()
{
    m_bInit.exchange(0);
    if (m_hMonitor)
    {
        m_MonitorStop.Set();
        if (platform::WaitForSingleObject(m_hMonitor.get(), MONITOR_STOP_WAIT_MS) != platform::WAIT_OBJECT_0)
            platform::TerminateThread(m_hMonitor, static_cast<uint32_t>(-1));
        m_hMonitor.reset();
    }
    // The process exits next; ending the library under a thread still inside it would crash it first.
    int others = GetSqlThreadCount();
    if (others > 0)
        QB_LOG(PL_WARN, SQLCM_TAG, "[UnInit] %d Thread(s) Still Use MySQL Library , Library Not Ended.\n",
               others);
    else
        mysql_server_end();
    return true;
}

MYSQL* CSQLConnManager::AllocSqlConn(const char* database, uint32_t clientFlags)
{
    if (!IsInit())
        return nullptr;
    // Connection attempts are serialised process-wide, but not the pauses between them: while the
    // server was away, a lock held across the pauses made every caller wait for all callers before it
    // (an ending device connection kept its slot for minutes behind the others' retries).
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr)
        return nullptr;
    // Every statement text of the collector is GBK.
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "gbk");
    for (uint32_t attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt)
    {
        {
            CCSLocker locker(m_Lock);
            KelvConfig kelv = CConfigManager::GetInstance()->GetKelvCopy();
            uint32_t port = static_cast<uint32_t>(CConfigManager::GetInstance()->MySqld().m_Port);
            if (mysql_real_connect(conn, kelv.m_DBServer.c_str(), kelv.m_DBUser.c_str(), kelv.m_DBPwd.c_str(),
                                   database, port, nullptr, clientFlags) != nullptr)
            {
                my_bool reconnect = 1;
                mysql_options(conn, MYSQL_OPT_RECONNECT, &reconnect);
                m_Conns[conn] = CurrentThreadLife();
                CInfoManager::GetInstance()->SetDatabaseReachable(true);
                return conn;
            }
            // The password never reaches the log.
            QB_LOG(
                PL_WARN, SQLCM_TAG,
                "[AllocSqlConn] Cannot Connect MySQL %s:%u DbName = %s , User = %s , PW = %s , Errno = %u , "
                "ErrStr = %s\n",
                kelv.m_DBServer.c_str(), port, database != nullptr ? database : "", kelv.m_DBUser.c_str(),
                "***", mysql_errno(conn), mysql_error(conn));
        }
        platform::Sleep(ScaledInterval(CONNECT_RETRY_SLEEP_MS));
    }
    CInfoManager::GetInstance()->SetDatabaseReachable(false);
    mysql_close(conn);
    return nullptr;
}

void CSQLConnManager::ReleaseSqlConn(MYSQL* conn)
{
    if (conn == nullptr || !IsInit())
        return;
    CCSLocker locker(m_Lock);
    auto it = m_Conns.find(conn);
    if (it != m_Conns.end())
        m_Conns.erase(it);
    else
        QB_LOG(PL_WARN, SQLCM_TAG, "[ReleaseSqlConn] Specify SqlConn Cannot Be Found In SqlManager\n");
    mysql_close(conn);
}

int CSQLConnManager::MysqlConnCleanUp()
{
    if (!IsInit())
        return 1;
    CCSLocker locker(m_Lock);
    for (auto it = m_Conns.begin(); it != m_Conns.end();)
    {
        if (it->second && it->second->m_bEnded.load())
        {
            mysql_close(it->first);
            it = m_Conns.erase(it);
            QB_LOG(PL_WARN, SQLCM_TAG, "[MysqlConnCleanUp] Release A MySql Connection!\n");
        }
        else
            ++it;
    }
    return 1;
}

size_t CSQLConnManager::GetConnCount()
{
    CCSLocker locker(m_Lock);
    return m_Conns.size();
}

int CSQLConnManager::MakeMySqlOK()
{
    // The service manager's store: a directory that exists but cannot be
    // used is what "cannot open the manager" means here. A missing one just
    // holds no services.
    std::string dir = platform::ScmDirectory();
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
    {
        if (!S_ISDIR(st.st_mode))
        {
            QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot Open SCManager Err = %u\n", (uint32_t)ENOTDIR);
            return 0;
        }
        if (::access(dir.c_str(), R_OK | X_OK) != 0)
        {
            QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot Open SCManager Err = %u\n", (uint32_t)errno);
            return 0;
        }
    }
    else if (errno != ENOENT)
    {
        QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot Open SCManager Err = %u\n", (uint32_t)errno);
        return 0;
    }

    if (!platform::IsServiceInstalled(MYSQL_SERVICE_NAME))
    {
        QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot Open Service Err = %u\n", platform::ScmLastError());
        return 0;
    }
    platform::ServiceState state = platform::QueryServiceState(MYSQL_SERVICE_NAME);
    if (platform::ScmLastError() != 0)
    {
        QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot QueryServiceStatus  Err = %u\n",
               platform::ScmLastError());
        return 0;
    }
    if (state == platform::ServiceState::Running)
        return 1;
    // A start-pending service is asked again; the manager then answers that it runs already.
    if (!platform::StartService(MYSQL_SERVICE_NAME))
    {
        QB_LOG(PL_ERROR, SQLCM_TAG, "[MakeMySqlOK] Cannot StartService  Err = %u\n",
               platform::ScmLastError());
        return 0;
    }
    QB_LOG(PL_INFO, SQLCM_TAG, "[MakeMySqlOK] Start MySql Service Succeed.\n");
    return 1;
}

uint32_t CSQLConnManager::MySqlMonitor(CSQLConnManager* manager)
{
    if (manager == nullptr)
        return static_cast<uint32_t>(-1);
    QB_LOG(PL_INFO, SQLCM_TAG, "[MySqlMonitor] Thread Start...\n");
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                     &manager->m_MonitorStop};
    uint32_t ret;
    while ((ret = platform::WaitForMultipleObjects(2, waits, false, ScaledInterval(MONITOR_INTERVAL_MS))) ==
           platform::WAIT_TIMEOUT)
    {
        if (manager->MakeMySqlOK() == 1)
            QB_LOG(PL_INFO, SQLCM_TAG, "[MySqlMonitor] MySQL Is OK.\n");
        else
            QB_LOG(PL_ERROR, SQLCM_TAG, "[MySqlMonitor] Cannot MakeMysqlOK!!\n");
        manager->MysqlConnCleanUp();
    }
    QB_LOG(PL_INFO, SQLCM_TAG, "[MySqlMonitor] Thread Exit WaitRet = %u\n", ret);
    return 0;
}

namespace
{
// Threads between SqlThreadInit and SqlThreadEnd: while one of them may still be inside the client
// library (an import or report abandoned at stop), the library must not be ended under it.
std::atomic<int> g_SqlThreads{0};
thread_local bool t_bSqlThread = false;
} // namespace

void CSQLConnManager::SqlThreadInit()
{
    mysql_thread_init();
    if (!t_bSqlThread)
    {
        t_bSqlThread = true;
        g_SqlThreads.fetch_add(1);
    }
}

void CSQLConnManager::SqlThreadEnd()
{
    mysql_thread_end();
    if (t_bSqlThread)
    {
        t_bSqlThread = false;
        g_SqlThreads.fetch_sub(1);
    }
}

int CSQLConnManager::GetSqlThreadCount()
{
    return g_SqlThreads.load() - (t_bSqlThread ? 1 : 0);
}
