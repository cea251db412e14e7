#pragma once
#include "config/SettingWord.h"
#include "core/ProgramLogRecorder.h"
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Values of Kelv.conf.
struct KelvConfig
{
    std::string m_MysqlPath;
    std::string m_DBType;
    std::string m_DBServer;
    std::string m_DBUser;
    std::string m_DBPwd;
    std::string m_DataBase;
    CSettingWord m_Port;
    std::string m_BackPath;
    std::string m_LogPath;
    CSettingWord m_AutoClearType;
    CSettingWord m_DbContent;
    CSettingWord m_DbCyc;
    CSettingWord m_StartCheckTime;
    CSettingWord m_EndCheckTime;
    CSettingWord m_StartStrongRepairTime;
    CSettingWord m_EndStrongRepairTime;
    CSettingWord m_MinFreeSpace;
    CSettingWord m_IsFull;
};

// Values of KelvAdv.conf.
struct KelvAdvConfig
{
    CSettingWord m_GlobalEnableLogMerge;
    CSettingWord m_ParticleTime;
    CSettingWord m_MergeBuffers;
    CSettingWord m_MergeBufferSize;
    CSettingWord m_UserLogEnableLogMerge;
    CSettingWord m_EnableHttpFilter;
    std::string m_HttpFilterList;
    CSettingWord m_KeepFilterLog;
    CSettingWord m_FlowLogEnableLogMerge;
    CSettingWord m_SysLogEnableLogMerge;
    CSettingWord m_SvpnNodeRecvBuffSize;
    CSettingWord m_SvpnNodeSendBuffSize;
    CSettingWord m_MaxPackgeSize;
    CSettingWord m_DumpInvalidLog;
    CSettingWord m_DataFileUseTime;
    CSettingWord m_EnableAsyncWrite;
    CSettingWord m_EnableLargeDataAsyncWrite;
    CSettingWord m_NoTempTableDataFileSize;
    CSettingWord m_InfoListenPort;
    CSettingWord m_MetricsListenPort; // 0: the metrics endpoint is off
    CSettingWord m_MaxConnection;
};

// Values of mysql/my.ini.
struct MySqldConfig
{
    CSettingWord m_Port;
    std::string m_BaseDir;
    std::string m_DataDir;
};

// One directory table of Logudt.conf.
struct LogudtTable
{
    std::string m_TableName;
    std::vector<std::string> m_Attributes;
};

// One report table of statistics.conf.
struct StatisticsTable
{
    int m_StatistCys = 0;
    int m_SleepTime = 0;
    int m_ErrorTime = 0;
    int m_StatistTime = 0;
    std::string m_TableName;
    std::string m_CreateSql;
    std::string m_CreateProcSql;
    std::string m_StatistSql;
    std::string m_CleanStatistByTime;
    std::string m_CleanStatistSql;
};

struct StatisticsConfig
{
    std::vector<StatisticsTable> m_Tables;
    std::string m_CleanBaseProcByTime;
    std::string m_CleanBaseByTime;
    std::string m_CleanBaseByContent;
    std::string m_RepairTable;
};

typedef bool (*ConfigLoader)(const std::string& name, void* context);

// Holds every setting of the collector, one group per configuration file.
// Integer settings are atomic words read without a lock; texts and lists are
// copied under their group's lock through the Get...Copy operations.
class CConfigManager
{
public:
    static CConfigManager* GetInstance();
    virtual ~CConfigManager() = default;

    bool Init();
    bool UnInit();
    bool RegisterConfigLoader(const char* name, ConfigLoader loader);
    // Null or no name loads all files.
    bool LoadConfig(const char* name = nullptr);
    bool LoadSpicifyConfig(const char* name);

    // Groups, for integer reads (no lock needed for single words).
    const KelvConfig& Kelv() const { return m_Kelv; }
    const KelvAdvConfig& KelvAdv() const { return m_KelvAdv; }
    // Loading ProgramLog.conf writes straight into the program log's own settings.
    const ProgramLogConfig& ProgramLog() const { return CProgramLogRecorder::GetInstance()->Settings(); }
    const MySqldConfig& MySqld() const { return m_MySqld; }

    // Consistent copies of text and list settings.
    KelvConfig GetKelvCopy();
    KelvAdvConfig GetKelvAdvCopy();
    MySqldConfig GetMySqldCopy();
    std::vector<std::string> GetUpdateSqlCopy();
    std::vector<LogudtTable> GetLogudtCopy();
    StatisticsConfig GetStatisticsCopy();

    // Run-time change of the disk-full flag (kept in memory; the info
    // manager also writes it back into Kelv.conf).
    void SetIsFull(int isFull) { m_Kelv.m_IsFull = isFull; }

    // Path of a registered file: configuration directory (or install
    // directory for "mysql/my.ini") + "/" + name.
    std::string GetConfigFilePath(const std::string& name) const;

private:
    CConfigManager() = default;

    static bool LoadKelvConfig(const std::string& name, void* context);
    static bool LoadUpdateSqlConfig(const std::string& name, void* context);
    static bool LoadLogudtConfig(const std::string& name, void* context);
    static bool LoadStatisticsConfig(const std::string& name, void* context);
    static bool LoadKelvAdvConfig(const std::string& name, void* context);
    static bool LoadProgramLogConfig(const std::string& name, void* context);
    static bool LoadMySqldConfig(const std::string& name, void* context);

    struct LoaderRecord
    {
        std::string m_Name;
        ConfigLoader m_Loader;
        void* m_Context;
    };

    platform::CCriticalSection m_RegistryLock;
    platform::CCriticalSection m_KelvLock;
    platform::CCriticalSection m_UpdateSqlLock;
    platform::CCriticalSection m_LogudtLock;
    platform::CCriticalSection m_StatisticsLock;
    platform::CCriticalSection m_KelvAdvLock;
    platform::CCriticalSection m_ProgramLogLock;
    platform::CCriticalSection m_MySqldLock;
    std::vector<LoaderRecord> m_Loaders;
    std::atomic<bool> m_bInit{false};

    KelvConfig m_Kelv;
    std::vector<std::string> m_UpdateSql;
    std::vector<LogudtTable> m_Logudt;
    StatisticsConfig m_Statistics;
    KelvAdvConfig m_KelvAdv;
    MySqldConfig m_MySqld;
};
