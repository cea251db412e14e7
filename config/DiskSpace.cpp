#include "config/DiskSpace.h"

#include "config/ConfigManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "platform/CriticalSection.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"

#include <cstdio>

namespace
{
// The check ran inside the info manager once; operators grep for its tag.
const char* const TAG = "[CInfoManager]";
const char* const KELV_CONF = "Kelv.conf";

platform::CCriticalSection g_QueryLock;
FreeSpaceQuery g_FreeSpaceQuery;

bool QueryFreeSpace(const std::string& path, uint64_t& freeBytes)
{
    FreeSpaceQuery query;
    {
        CCSLocker lock(g_QueryLock);
        query = g_FreeSpaceQuery;
    }
    if (query)
        return query(path, freeBytes);
    return platform::GetDiskFreeBytes(path, freeBytes);
}

bool QueryDataDirFreeBytes(uint64_t& freeBytes)
{
    MySqldConfig mysqld = CConfigManager::GetInstance()->GetMySqldCopy();
    if (mysqld.m_DataDir.empty())
        return false;
    return platform::GetDiskFreeBytes(mysqld.m_DataDir, freeBytes);
}
} // namespace

bool IsDiskSpaceLow()
{
    uint64_t freeBytes = 0;
    if (!QueryDataDirFreeBytes(freeBytes))
        return false;
    return IsDiskSpaceLowFor(freeBytes, CConfigManager::GetInstance()->Kelv().m_MinFreeSpace);
}

bool HasEnoughDiskSpace(uint64_t bytes)
{
    uint64_t freeBytes = 0;
    if (!QueryDataDirFreeBytes(freeBytes))
        return false;
    return HasEnoughDiskSpaceFor(freeBytes, bytes, CConfigManager::GetInstance()->Kelv().m_MinFreeSpace);
}

void SetFreeSpaceQuery(FreeSpaceQuery query)
{
    CCSLocker lock(g_QueryLock);
    g_FreeSpaceQuery = std::move(query);
}

int RealTimeInfo_DiskSpace()
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
