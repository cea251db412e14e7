#include "maintenance/InfoManager.h"

#include "config/ConfigManager.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "runtime/Clock.h"
#include "runtime/GlobalSharedData.h"
#include "runtime/ProgramLogRecorder.h"
#include "runtime/Utilities.h"

#include <cstdio>

namespace
{
const char* const TAG = "[CInfoManager]";
const char* const KELV_CONF = "Kelv.conf";
} // namespace

CInfoManager* CInfoManager::GetInstance()
{
    static CInfoManager* instance = new CInfoManager();
    return instance;
}

CInfoManager::~CInfoManager()
{
    UnInit();
}

bool CInfoManager::Init()
{
    CCSLocker lock(m_Lock);
    if (m_bInited.load() != 0)
        return true;
    LocalTime now = CClock::Now();
    char text[32];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", now.m_Year, now.m_Month, now.m_Day,
             now.m_Hour, now.m_Minute, now.m_Second);
    m_StartTime = text;
    for (RealTimeInfoEntry& entry : m_RealTimeInfo)
        entry.m_ElapsedMs = 0;
    m_TimerStop.Reset();
    m_hTimerThread = platform::CreateThread([this] { return RealTimeInfoThread(); });
    if (!m_hTimerThread)
        QB_LOG(PL_ERROR, TAG, "[Init] Cannot Create RealTimeInfo Thread\n");
    m_bInited.store(1);
    return true;
}

bool CInfoManager::UnInit()
{
    platform::ThreadHandle timer;
    {
        CCSLocker lock(m_Lock);
        m_bInited.store(0);
        timer = std::move(m_hTimerThread);
        m_TimerStop.Set();
    }
    // The timer only waits and checks the disk; it ends within one tick.
    if (timer)
        platform::WaitForSingleObject(timer.get(), platform::INFINITE);
    return true;
}

std::string CInfoManager::GetStartTime()
{
    CCSLocker lock(m_Lock);
    return m_StartTime;
}

uint32_t CInfoManager::RealTimeInfoThread()
{
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_TimerStop};
    while (platform::WaitForMultipleObjects(2, waits, false, ScaledInterval(TIMER_TICK_MS)) ==
           platform::WAIT_TIMEOUT)
        Exec_RealTimeInfo_Func();
    return 0;
}

void CInfoManager::Exec_RealTimeInfo_Func()
{
    for (RealTimeInfoEntry& entry : m_RealTimeInfo)
    {
        entry.m_ElapsedMs += TIMER_TICK_MS;
        if (entry.m_ElapsedMs < entry.m_PeriodMs)
            continue;
        entry.m_ElapsedMs = 0;
        if ((this->*entry.m_Func)() == 0)
            QB_LOG(PL_WARN, TAG, "[Exec_RealTimeInfo_Func] Exec Func = %s Fail!\n", entry.m_Name);
    }
}

void CInfoManager::SetFreeSpaceQuery(FreeSpaceQuery query)
{
    CCSLocker lock(m_Lock);
    m_FreeSpaceQuery = std::move(query);
}

bool CInfoManager::QueryFreeSpace(const std::string& path, uint64_t& freeBytes)
{
    FreeSpaceQuery query;
    {
        CCSLocker lock(m_Lock);
        query = m_FreeSpaceQuery;
    }
    if (query)
        return query(path, freeBytes);
    return platform::GetDiskFreeBytes(path, freeBytes);
}

int CInfoManager::RealTimeInfo_DiskSpace()
{
    CConfigManager* config = CConfigManager::GetInstance();
    // A drive-letter path is cut after its colon so that the drive itself is tested.
    std::string dataDir = config->GetMySqldCopy().m_DataDir;
    size_t colon = dataDir.find(':');
    if (colon != std::string::npos)
        dataDir.resize(colon + 1);

    uint64_t freeBytes = 0;
    int full = 0;
    if (QueryFreeSpace(dataDir, freeBytes))
        full = IsDiskSpaceLowFor(freeBytes, config->Kelv().m_MinFreeSpace) ? 1 : 0;

    bool changed = full != config->Kelv().m_IsFull;
    config->SetIsFull(full);
    if (changed)
    {
        char value[16];
        snprintf(value, sizeof(value), "%d", full);
        if (!platform::WritePrivateProfileString("DiskFreeSpace", "ISFULL", value,
                                                 config->GetConfigFilePath(KELV_CONF)))
            QB_LOG(PL_WARN, TAG, "[RealTimeInfo_DiskSpace] Cannot Write ISFULL Into %s\n", KELV_CONF);
        if (full)
            QB_LOG(PL_INFO, TAG, "[RealTimeInfo_DiskSpace] Disk Is Full!\n");
        else
            QB_LOG(PL_INFO, TAG, "[RealTimeInfo_DiskSpace] Disk Is Not Full!\n");
    }
    return 1;
}
