#include "config/ConfigManager.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Profile.h"

#include <cerrno>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>

namespace
{
const char* const TAG = "[CConfigManager]";

// Longest text a profile read or a first-line-of-section read keeps.
constexpr size_t MAX_TEXT = 519;

const char* const KELV_CONF = "Kelv.conf";
const char* const UPDATESQL_CONF = "updatesql.conf";
const char* const LOGUDT_CONF = "Logudt.conf";
const char* const STATISTICS_CONF = "statistics.conf";
const char* const KELVADV_CONF = "KelvAdv.conf";
const char* const PROGRAMLOG_CONF = "ProgramLog.conf";
const char* const MYSQLD_CONF = "mysql/my.ini";

// Registered names come from configuration code written for Windows paths:
// case does not matter and either separator names the same file.
bool SameConfigName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        char x = a[i] == '\\' ? '/' : a[i];
        char y = b[i] == '\\' ? '/' : b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

int ReadInt(const char* section, const char* key, int def, const std::string& path)
{
    return platform::GetPrivateProfileInt(section, key, def, path.c_str());
}

std::string ReadText(const char* section, const char* key, const std::string& path)
{
    return platform::GetPrivateProfileString(section, key, "", path.c_str(), MAX_TEXT);
}

// Only the first line of a section counts; a statement longer than one line
// must be written on one line.
std::string ReadFirstLine(const char* section, const std::string& path)
{
    std::vector<std::string> lines = platform::GetPrivateProfileSection(section, path.c_str());
    if (lines.empty())
        return std::string();
    std::string first = lines.front();
    if (first.size() > MAX_TEXT)
        first.resize(MAX_TEXT);
    return first;
}

int InRange(int value, int low, int high, int fallback)
{
    return (value < low || value > high) ? fallback : value;
}

// Asks for the file's attributes; on failure leaves errno's value in err.
bool FileExists(const std::string& path, unsigned& err)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
    {
        err = static_cast<unsigned>(errno);
        return false;
    }
    return true;
}

std::string Numbered(const char* prefix, int n)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "%s%d", prefix, n);
    return buf;
}
} // namespace

CConfigManager* CConfigManager::GetInstance()
{
    static CConfigManager* instance = new CConfigManager();
    return instance;
}

bool CConfigManager::Init()
{
    {
        // A second Init must not register the loaders twice.
        CCSLocker lock(m_RegistryLock);
        m_Loaders.clear();
    }
    bool ok = RegisterConfigLoader(KELV_CONF, &CConfigManager::LoadKelvConfig);
    ok = RegisterConfigLoader(UPDATESQL_CONF, &CConfigManager::LoadUpdateSqlConfig) && ok;
    ok = RegisterConfigLoader(LOGUDT_CONF, &CConfigManager::LoadLogudtConfig) && ok;
    ok = RegisterConfigLoader(STATISTICS_CONF, &CConfigManager::LoadStatisticsConfig) && ok;
    ok = RegisterConfigLoader(KELVADV_CONF, &CConfigManager::LoadKelvAdvConfig) && ok;
    ok = RegisterConfigLoader(PROGRAMLOG_CONF, &CConfigManager::LoadProgramLogConfig) && ok;
    ok = RegisterConfigLoader(MYSQLD_CONF, &CConfigManager::LoadMySqldConfig) && ok;
    m_bInit = true;
    // A missing file is logged by its loader and never stops start-up.
    LoadConfig();
    return ok;
}

bool CConfigManager::UnInit()
{
    CCSLocker lock(m_RegistryLock);
    m_bInit = false;
    m_Loaders.clear();
    return true;
}

bool CConfigManager::RegisterConfigLoader(const char* name, ConfigLoader loader)
{
    if (name == nullptr || loader == nullptr)
        return false;
    CCSLocker lock(m_RegistryLock);
    m_Loaders.push_back(LoaderRecord{name, loader, this});
    return true;
}

bool CConfigManager::LoadConfig(const char* name)
{
    if (!m_bInit)
        return false;
    if (name != nullptr)
        return LoadSpicifyConfig(name);

    CCSLocker lock(m_RegistryLock);
    bool ok = true;
    for (const LoaderRecord& record : m_Loaders)
        ok = record.m_Loader(record.m_Name, record.m_Context) && ok;
    return ok;
}

bool CConfigManager::LoadSpicifyConfig(const char* name)
{
    if (!m_bInit || name == nullptr || name[0] == '\0')
        return false;

    CCSLocker lock(m_RegistryLock);
    for (const LoaderRecord& record : m_Loaders)
    {
        if (SameConfigName(record.m_Name, name))
            return record.m_Loader(record.m_Name, record.m_Context);
    }
    QB_LOG(PL_WARN, TAG, "[LoadSpicifyConfig] Cannot Find Function To Load %s\n", name);
    return false;
}

std::string CConfigManager::GetConfigFilePath(const std::string& name) const
{
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    std::string file = name;
    for (char& c : file)
    {
        if (c == '\\')
            c = '/';
    }
    if (SameConfigName(file, MYSQLD_CONF))
        return shared->GetInstallDir() + "/" + file;
    return shared->GetConfigDir() + "/" + file;
}

KelvConfig CConfigManager::GetKelvCopy()
{
    CCSLocker lock(m_KelvLock);
    return m_Kelv;
}

KelvAdvConfig CConfigManager::GetKelvAdvCopy()
{
    CCSLocker lock(m_KelvAdvLock);
    return m_KelvAdv;
}

MySqldConfig CConfigManager::GetMySqldCopy()
{
    CCSLocker lock(m_MySqldLock);
    return m_MySqld;
}

std::vector<std::string> CConfigManager::GetUpdateSqlCopy()
{
    CCSLocker lock(m_UpdateSqlLock);
    return m_UpdateSql;
}

std::vector<LogudtTable> CConfigManager::GetLogudtCopy()
{
    CCSLocker lock(m_LogudtLock);
    return m_Logudt;
}

StatisticsConfig CConfigManager::GetStatisticsCopy()
{
    CCSLocker lock(m_StatisticsLock);
    return m_Statistics;
}

bool CConfigManager::LoadKelvConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_KelvLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG, "[LoadKelvConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n",
               path.c_str(), err);
        return false;
    }

    KelvConfig& c = self->m_Kelv;
    c.m_MysqlPath = ReadText("DatabaseConfig", "MysqlPath", path);
    c.m_DBType = ReadText("DatabaseConfig", "DBType", path);
    c.m_DBServer = ReadText("DatabaseConfig", "DBServer", path);
    c.m_DBUser = ReadText("DatabaseConfig", "DBUser", path);
    c.m_DBPwd = ReadText("DatabaseConfig", "DBPwd", path);
    c.m_DataBase = ReadText("DatabaseConfig", "DataBase", path);
    c.m_Port = ReadInt("DatabaseConfig", "Port", 9501, path);
    c.m_BackPath = ReadText("DatabaseConfig", "BackPath", path);
    c.m_LogPath = ReadText("DatabaseConfig", "LogPath", path);
    c.m_AutoClearType = ReadInt("ClearRule", "AutoClearType", 2, path);
    c.m_DbContent = ReadInt("ClearRule", "DbContent", 5000, path);
    c.m_DbCyc = ReadInt("ClearRule", "DbCyc", 180, path);
    c.m_StartCheckTime = ReadInt("ClearRule", "StartCheckTime", 1, path);
    c.m_EndCheckTime = ReadInt("ClearRule", "EndCheckTime", 4, path);
    c.m_StartStrongRepairTime = ReadInt("RepairRule", "StartStrongRepairTime", 1, path);
    c.m_EndStrongRepairTime = ReadInt("RepairRule", "EndStrongRepairTime", 2, path);
    c.m_MinFreeSpace = ReadInt("DiskFreeSpace", "MinFreeSpace", 4, path);
    c.m_IsFull = ReadInt("DiskFreeSpace", "ISFULL", 0, path);
    return true;
}

bool CConfigManager::LoadUpdateSqlConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_UpdateSqlLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG, "[LoadUpdateSqlConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n",
               path.c_str(), err);
        return false;
    }

    self->m_UpdateSql.clear();
    int count = ReadInt("SqlCount", "count", 0, path);
    for (int i = 1; i <= count; ++i)
        self->m_UpdateSql.push_back(ReadFirstLine(Numbered("sql", i).c_str(), path));
    return true;
}

bool CConfigManager::LoadLogudtConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_LogudtLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG, "[LoadLogudtConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n",
               path.c_str(), err);
        return false;
    }

    self->m_Logudt.clear();
    int count = ReadInt("tablecount", "count", 0, path);
    for (int i = 1; i <= count; ++i)
    {
        std::string section = Numbered("table", i);
        LogudtTable table;
        table.m_TableName = ReadText(section.c_str(), "tablename", path);
        int attributes = ReadInt(section.c_str(), "attributecount", 0, path);
        for (int a = 1; a <= attributes; ++a)
            table.m_Attributes.push_back(ReadText(section.c_str(), Numbered("attribute", a).c_str(), path));
        self->m_Logudt.push_back(std::move(table));
    }
    return true;
}

bool CConfigManager::LoadStatisticsConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_StatisticsLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG,
               "[LoadStatisticsConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n", path.c_str(),
               err);
        return false;
    }

    StatisticsConfig& c = self->m_Statistics;
    c.m_Tables.clear();
    int count = ReadInt("Count", "TableCount", 0, path);
    for (int i = 1; i <= count; ++i)
    {
        std::string info = Numbered("TableInfo", i);
        StatisticsTable t;
        t.m_StatistCys = ReadInt(info.c_str(), "StatistCys", 1440, path);
        t.m_SleepTime = ReadInt(info.c_str(), "SleepTime", 10, path);
        t.m_ErrorTime = ReadInt(info.c_str(), "ErrorTime", 10, path);
        t.m_StatistTime = ReadInt(info.c_str(), "StatistTime", 60, path);
        t.m_TableName = ReadText(info.c_str(), "TableName", path);
        t.m_CreateSql = ReadFirstLine(Numbered("CreateSql", i).c_str(), path);
        t.m_CreateProcSql = ReadFirstLine(Numbered("CreateProcSql", i).c_str(), path);
        t.m_StatistSql = ReadFirstLine(Numbered("StatistSql", i).c_str(), path);
        t.m_CleanStatistByTime = ReadFirstLine(Numbered("CleanStatistByTime", i).c_str(), path);
        t.m_CleanStatistSql = ReadFirstLine(Numbered("CleanStatistSql", i).c_str(), path);
        c.m_Tables.push_back(std::move(t));
    }
    c.m_CleanBaseProcByTime = ReadFirstLine("CleanBaseProcByTime", path);
    c.m_CleanBaseByTime = ReadFirstLine("CleanBaseByTime", path);
    c.m_CleanBaseByContent = ReadFirstLine("CleanBaseByContent", path);
    c.m_RepairTable = ReadFirstLine("RepairTable", path);
    return true;
}

bool CConfigManager::LoadKelvAdvConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_KelvAdvLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG, "[LoadKelvAdvConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n",
               path.c_str(), err);
        return false;
    }

    // Readers take these words without a lock, so an out-of-range value is
    // corrected before it is stored, never after.
    KelvAdvConfig& c = self->m_KelvAdv;
    c.m_GlobalEnableLogMerge = ReadInt("Global", "EnableLogMerge", 1, path);
    c.m_ParticleTime = InRange(ReadInt("Global", "ParticleTime", 30, path), 1, 600, 30);
    c.m_MergeBuffers = InRange(ReadInt("Global", "MergeBuffers", 2, path), 1, 5, 2);
    c.m_MergeBufferSize = InRange(ReadInt("Global", "MergeBufferSize", 5, path), 1, 10, 10);
    c.m_UserLogEnableLogMerge = ReadInt("UserLog", "EnableLogMerge", 1, path);
    c.m_EnableHttpFilter = ReadInt("UserLog", "EnableHttpFilter", 1, path);
    c.m_HttpFilterList = ReadText("UserLog", "HttpFilterList", path);
    c.m_KeepFilterLog = ReadInt("UserLog", "KeepFilterLog", 0, path);
    c.m_FlowLogEnableLogMerge = ReadInt("FlowLog", "EnableLogMerge", 1, path);
    c.m_SysLogEnableLogMerge = ReadInt("SysLog", "EnableLogMerge", 0, path);
    c.m_SvpnNodeRecvBuffSize = InRange(ReadInt("SvpnNode", "SvpnNodeRecvBuffSize", 10, path), 1, 10, 10);
    c.m_SvpnNodeSendBuffSize = InRange(ReadInt("SvpnNode", "SvpnNodeSendBuffSize", 10, path), 1, 1024, 10);
    c.m_MaxPackgeSize = InRange(ReadInt("SvpnNode", "MaxPackgeSize", 5, path), 1, 10, 10);
    c.m_DumpInvalidLog = ReadInt("SvpnNode", "DumpInvalidLog", 0, path);
    c.m_DataFileUseTime = InRange(ReadInt("DataFile", "DataFileUseTime", 10, path), 1, 30, 10);
    c.m_EnableAsyncWrite = ReadInt("DataFile", "EnableAsyncWrite", 0, path);
    c.m_EnableLargeDataAsyncWrite = ReadInt("DataFile", "EnableLargeDataAsyncWrite", 0, path);
    c.m_NoTempTableDataFileSize = ReadInt("DataFile", "NoTempTableDataFileSize", 10, path);
    c.m_InfoListenPort = InRange(ReadInt("InfoRetrieve", "ListenPort", 9509, path), 1, 65535, 9509);
    c.m_MetricsListenPort = InRange(ReadInt("Metrics", "ListenPort", 9510, path), 0, 65535, 9510);
    c.m_MaxConnection = InRange(ReadInt("Network", "MaxConnection", 16, path), 1, 64, 16);
    return true;
}

bool CConfigManager::LoadProgramLogConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_ProgramLogLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG,
               "[LoadProgramLogConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n", path.c_str(),
               err);
        return false;
    }

    ProgramLogConfig& c = CProgramLogRecorder::GetInstance()->Settings();
    c.m_GlobalEnable = ReadInt("GlobalProgramLog", "Enable", 1, path);
    c.m_DebugViewEnable = ReadInt("DebugViewLog", "Enable", 1, path);
    c.m_TxtLogEnable = ReadInt("TxtLog", "Enable", 1, path);
    c.m_MaxLogSize = ReadInt("TxtLog", "MaxLogSize", 1024, path);
    c.m_LogLevel = ReadInt("TxtLog", "LogLevel", 1, path);
    c.m_MaxLogFiles = ReadInt("TxtLog", "MaxLogFiles", 30, path);
    return true;
}

bool CConfigManager::LoadMySqldConfig(const std::string& name, void* context)
{
    if (context == nullptr)
        return false;
    CConfigManager* self = static_cast<CConfigManager*>(context);
    CCSLocker lock(self->m_MySqldLock);

    std::string path = self->GetConfigFilePath(name);
    unsigned err = 0;
    if (!FileExists(path, err))
    {
        QB_LOG(PL_ERROR, TAG, "[LoadMySqldConfig] Cannot Get File Attributes. FileName = %s , Err = %u.\n",
               path.c_str(), err);
        return false;
    }

    MySqldConfig& c = self->m_MySqld;
    c.m_Port = ReadInt("mysqld", "port", 3306, path);
    c.m_BaseDir = ReadText("mysqld", "basedir", path);
    c.m_DataDir = ReadText("mysqld", "datadir", path);
    return true;
}
