#include "maintenance/DataBaseCleanTask.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "maintenance/MaintenanceCalendar.h"
#include "maintenance/MaintenanceSql.h"
#include "platform/Event.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

#define DBC_TAG "[CDataBaseCleanTask]"

CDataBaseCleanTask::~CDataBaseCleanTask() = default;

std::string CDataBaseCleanTask::FormatCutOffArgument(int year, int month, int day)
{
    char text[64];
    snprintf(text, sizeof(text), "\"%4d-%02d-%02d 23:59:59\"", year, month, day);
    return text;
}

uint32_t CDataBaseCleanTask::Run()
{
    CSQLConnManager::SqlThreadInit();
    if (!m_DbName.empty())
        QB_LOG(PL_INFO, DBC_TAG, "[Run] Clean DataBase Thread For DB = %s Start...\n", m_DbName.c_str());

    CConfigManager* config = CConfigManager::GetInstance();
    uint32_t elapsed = 0;
    uint32_t ret = platform::WAIT_TIMEOUT;
    do
    {
        m_ActivityTime = platform::timeGetTime();
        if (elapsed >= CHECK_INTERVAL_MS)
        {
            int type = config->Kelv().m_AutoClearType;
            if ((type == CLEAN_BY_CONTENT || type == CLEAN_BY_TIME) && IsCleanTime() == 1)
            {
                CLongWork busy(this);
                int done = type == CLEAN_BY_CONTENT ? CleanDataBaseByContent() : CleanDataBaseByTime();
                if (done == 1)
                    m_LastCleanDate = CClock::Now();
            }
            elapsed = 0;
        }
        else
            elapsed += WAIT_MS;
        ret = WaitForStopOrExit(ScaledInterval(WAIT_MS));
    } while (ret == platform::WAIT_TIMEOUT && m_bRunning == 1);

    CSQLConnManager::SqlThreadEnd();
    if (!m_DbName.empty())
        QB_LOG(PL_INFO, DBC_TAG, "[Run] Clean DataBase Thread For DB = %s Exit With WaitRet = %u\n",
               m_DbName.c_str(), ret);
    return 0;
}

int CDataBaseCleanTask::IsCleanTime()
{
    const KelvConfig& kelv = CConfigManager::GetInstance()->Kelv();
    LocalTime now = CClock::Now();
    if (!CMaintenanceCalendar::IsHourInWindow(now.m_Hour, kelv.m_StartCheckTime, kelv.m_EndCheckTime))
        return 0;
    return now.m_Day != m_LastCleanDate.m_Day ? 1 : 0;
}

int CDataBaseCleanTask::CleanDataBaseByTime()
{
    if (m_DbName.empty())
        return 0;
    LocalTime today = CClock::Now();
    int year = 0, month = 0, day = 0;
    if (!CMaintenanceCalendar::StepBackDays(today.m_Year, today.m_Month, today.m_Day,
                                            CConfigManager::GetInstance()->Kelv().m_DbCyc, year, month, day))
        return 0;

    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, DBC_TAG, "[CleanDataBaseByTime] Cannot Alloc SQL Connection.\n");
        return 0;
    }

    StatisticsConfig statistics = CConfigManager::GetInstance()->GetStatisticsCopy();
    if (!statistics.m_CleanBaseProcByTime.empty() &&
        !CMaintenanceSql::Run(conn, statistics.m_CleanBaseProcByTime.c_str()))
        QB_LOG(PL_ERROR, DBC_TAG, "[CleanDataBaseByTime] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n",
               statistics.m_CleanBaseProcByTime.c_str(), mysql_errno(conn), mysql_error(conn));

    int result = 0;
    if (!statistics.m_CleanBaseByTime.empty())
    {
        std::string statement = statistics.m_CleanBaseByTime;
        ReplaceAtParameter(statement, FormatCutOffArgument(year, month, day).c_str());
        if (CMaintenanceSql::Run(conn, statement.c_str()))
        {
            QB_LOG(PL_INFO, DBC_TAG, "[CleanDataBaseByTime] Succeed To Clean DataBase = %s.\n",
                   m_DbName.c_str());
            result = 1;
        }
        else
            QB_LOG(PL_ERROR, DBC_TAG, "[CleanDataBaseByTime] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n",
                   statement.c_str(), mysql_errno(conn), mysql_error(conn));
    }
    sql->ReleaseSqlConn(conn);
    return result;
}

std::string CDataBaseCleanTask::ServerDirectoryName(const std::string& dbName, bool lowerCase)
{
    std::string out;
    for (size_t i = 0; i < dbName.size();)
    {
        // Decode one UTF-8 character; a byte that starts none counts as itself.
        unsigned char c = static_cast<unsigned char>(dbName[i]);
        uint32_t code = c;
        size_t len = 1;
        if (c >= 0xC0 && c < 0xE0)
            len = 2, code = c & 0x1F;
        else if (c >= 0xE0 && c < 0xF0)
            len = 3, code = c & 0x0F;
        if (len > 1 && i + len <= dbName.size())
        {
            for (size_t k = 1; k < len; ++k)
                code = (code << 6) | (static_cast<unsigned char>(dbName[i + k]) & 0x3F);
        }
        else
        {
            len = 1;
            code = c;
        }
        i += len;
        if (lowerCase && code < 0x80)
            code = static_cast<uint32_t>(tolower(static_cast<int>(code)));
        if (code < 0x80 && (isalnum(static_cast<int>(code)) || code == '_'))
            out += static_cast<char>(code);
        else
        {
            char hex[8];
            snprintf(hex, sizeof(hex), "@%04x", static_cast<unsigned>(code & 0xFFFF));
            out += hex;
        }
    }
    return out;
}

bool CDataBaseCleanTask::GetDataBaseSize(uint64_t& bytes)
{
    bytes = 0;
    if (m_DbName.empty())
        return false;
    // The server names the directory after the encoded (and, on our servers, lower-cased) name; a
    // plain name is found as written.
    std::string dataDir = CConfigManager::GetInstance()->GetMySqldCopy().m_DataDir + "/";
    std::string dir = dataDir + m_DbName;
    DIR* d = opendir(dir.c_str());
    for (bool lowerCase : {true, false})
    {
        if (d != nullptr)
            break;
        dir = dataDir + ServerDirectoryName(m_DbName, lowerCase);
        d = opendir(dir.c_str());
    }
    if (d == nullptr)
    {
        QB_LOG(PL_WARN, DBC_TAG, "[GetDataBaseSize] Cannot Search File To Count Size For Db = %s\n",
               m_DbName.c_str());
        return false;
    }
    for (;;)
    {
        errno = 0;
        struct dirent* entry = readdir(d);
        if (entry == nullptr)
        {
            if (errno != 0)
                QB_LOG(PL_WARN, DBC_TAG, "[GetDataBaseSize] Call FindNextFile Fail. Err = %u\n",
                       static_cast<unsigned>(errno));
            break;
        }
        std::string path = dir + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        bytes += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    QB_LOG(PL_INFO, DBC_TAG, "[GetDataBaseSize] The Size Of Db = %s Is %" PRIu64 " Byte(s)", m_DbName.c_str(),
           bytes);
    return true;
}

int CDataBaseCleanTask::CleanDataBaseByContent()
{
    if (m_DbName.empty())
        return 0;
    uint64_t bytes = 0;
    if (!GetDataBaseSize(bytes))
    {
        QB_LOG(PL_ERROR, DBC_TAG, "[CleanDataBaseByContent] Cannot Get Size Of DB = %s\n", m_DbName.c_str());
        return 0;
    }
    uint64_t size = bytes / 1024 / 1024;
    int limitSetting = CConfigManager::GetInstance()->Kelv().m_DbContent;
    uint64_t limit = limitSetting > 0 ? static_cast<uint64_t>(limitSetting) : 0;
    if (size < limit)
    {
        QB_LOG(PL_INFO, DBC_TAG, "[CleanDataBaseByContent] Db = %s Do Not Need To Clean.\n",
               m_DbName.c_str());
        return 1;
    }

    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, DBC_TAG, "[CleanDataBaseByContent] Cannot Alloc SQL Connection.\n");
        return 0;
    }

    char percent[32];
    snprintf(percent, sizeof(percent), "%d", CMaintenanceCalendar::ContentCleanPercent(size, limit));
    StatisticsConfig statistics = CConfigManager::GetInstance()->GetStatisticsCopy();
    int result = 0;
    if (!statistics.m_CleanBaseByContent.empty())
    {
        std::string statement = statistics.m_CleanBaseByContent;
        ReplaceAtParameter(statement, percent);
        if (CMaintenanceSql::Run(conn, statement.c_str()))
        {
            QB_LOG(PL_INFO, DBC_TAG, "[CleanDataBaseByContent] Succeed To Clean DataBase = %s.\n",
                   m_DbName.c_str());
            result = 1;
        }
        else
            QB_LOG(PL_ERROR, DBC_TAG,
                   "[CleanDataBaseByContent] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n",
                   statement.c_str(), mysql_errno(conn), mysql_error(conn));
    }
    if (!statistics.m_RepairTable.empty())
    {
        QB_LOG(
            PL_WARN, DBC_TAG,
            "[CleanDataBaseByContent] Need To Call RepairTables To Make Database Small.Datacenter Maybe No "
            "Response.\n");
        if (CMaintenanceSql::Run(conn, statistics.m_RepairTable.c_str()))
        {
            QB_LOG(PL_WARN, DBC_TAG,
                   "[CleanDataBaseByContent] Succeed To Repair After Clean DataBase = %s.\n",
                   m_DbName.c_str());
            result = 1;
        }
        else
            QB_LOG(PL_ERROR, DBC_TAG,
                   "[CleanDataBaseByContent] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n",
                   statistics.m_RepairTable.c_str(), mysql_errno(conn), mysql_error(conn));
    }
    sql->ReleaseSqlConn(conn);
    return result;
}
