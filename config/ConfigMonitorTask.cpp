#include "config/ConfigMonitorTask.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "platform/FileSystem.h"
#include "platform/Tick.h"

#include <cerrno>
#include <cstring>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace
{
const char* const TAG = "[CConfigMonitorTask]";

bool SameName(const std::string& a, const char* b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// The name a watched file has on disk: names are compared without regard to
// case, but this file system keeps them apart, so "kelv.conf" is found as
// "Kelv.conf".
std::string OnDiskName(const std::string& dir, const char* watched)
{
    for (const std::string& name : platform::ListDirectory(dir, "*", true))
    {
        if (SameName(name, watched))
            return name;
    }
    return watched;
}
} // namespace

CConfigMonitorTask::~CConfigMonitorTask()
{
    m_Watcher.Close();
    ReleaseChangeBuff();
}

bool CConfigMonitorTask::IsWatchedFile(const std::string& name)
{
    for (const char* watched : WATCHED_FILES)
    {
        if (SameName(name, watched))
            return true;
    }
    return false;
}

void CConfigMonitorTask::ReleaseChangeBuff()
{
    if (m_pChangeBuff)
        CBuffManager::GetInstance()->ReleaseByteBuff(m_pChangeBuff);
    m_pChangeBuff = nullptr;
}

void CConfigMonitorTask::DoBackupConfigFile()
{
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    const std::string& configDir = shared->GetConfigDir();
    const std::string& tempDir = shared->GetTempDir();
    for (const char* watched : WATCHED_FILES)
    {
        std::string name = OnDiskName(configDir, watched);
        std::string src = configDir + "/" + name;
        std::string dst = tempDir + "/" + name;
        if (!platform::CopyFile(src, dst, false))
            QB_LOG(PL_ERROR, TAG, "[DoBackupConfigFile] Cannot Backup Config File = %s To %s, Error = %u\n",
                   src.c_str(), dst.c_str(), static_cast<unsigned>(errno));
    }
}

bool CConfigMonitorTask::RestoreConfigFile(const std::string& name)
{
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (!platform::CopyFile(shared->GetTempDir() + "/" + name, shared->GetConfigDir() + "/" + name, false))
        return false;
    QB_LOG(PL_INFO, TAG, "[DoBackupConfigFile] Restore File = %s Succeed!\n", name.c_str());
    return true;
}

bool CConfigMonitorTask::PostDirChangeRequest()
{
    if (!m_Watcher.IsCreated())
        return false;
    if (m_pChangeBuff == nullptr)
        m_pChangeBuff = CBuffManager::GetInstance()->AllocByteBuff(CHANGE_BUFF_SIZE, __FILE__, __LINE__);
    if (m_pChangeBuff == nullptr)
        return false;
    memset(m_pChangeBuff, 0, CHANGE_BUFF_SIZE);
    // Changes queue from the moment the directory is watched; arming again
    // is needed only after the directory itself went away.
    if (!m_Watcher.Rearm())
    {
        QB_LOG(PL_ERROR, TAG, "[PostDirChangeRequest] Cannot Post ReadDirectoryChangesW Request. Err = %u\n",
               static_cast<unsigned>(errno));
        return false;
    }
    return true;
}

void CConfigMonitorTask::OnDirContentChange()
{
    if (m_pChangeBuff == nullptr)
        return;
    std::vector<platform::DirChange> changes;
    // What was read before a failure is still handled; the failure shows at
    // the next request.
    m_Watcher.ReadChanges(m_pChangeBuff, CHANGE_BUFF_SIZE, changes);
    for (const platform::DirChange& change : changes)
    {
        std::string onDisk = change.m_FileName.substr(0, MAX_FILE_NAME_CHARS);
        std::string name;
        if (!Utf8ToGbkString(onDisk.c_str(), onDisk.size(), name))
            name = onDisk;
        if (change.m_Action == platform::FILE_ACTION_REMOVED)
        {
            QB_LOG(PL_INFO, TAG, "[OnDirContentChange] Detected FileName = %s Delete Action.\n",
                   name.c_str());
            if (IsWatchedFile(name))
                RestoreConfigFile(onDisk);
        }
        else if (change.m_Action == platform::FILE_ACTION_MODIFIED)
        {
            QB_LOG(PL_INFO, TAG, "[OnDirContentChange] Detected FileName = %s Modify Action.\n",
                   name.c_str());
            if (IsWatchedFile(name))
            {
                // Wait for the exit event rather than sleeping, so a stop is
                // not held up.
                if (platform::WaitForSingleObject(CGlobalSharedData::GetInstance()->GetExitEvent(),
                                                  ScaledInterval(RELOAD_SETTLE_MS)) ==
                    platform::WAIT_OBJECT_0)
                    return;
                CConfigManager::GetInstance()->LoadConfig(onDisk.c_str());
            }
        }
    }
}

uint32_t CConfigMonitorTask::Run()
{
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    m_ConfigDir = shared->GetConfigDir();
    DoBackupConfigFile();

    if (!m_Watcher.Open(m_ConfigDir))
    {
        unsigned err = static_cast<unsigned>(errno);
        if (!m_Watcher.IsCreated())
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Cannot Create Monitor Event. Err = %u\n", err);
            return 0xFFFFFFFE;
        }
        m_Watcher.Close();
        QB_LOG(PL_ERROR, TAG, "[Run] Cannot Open Dir = %s , Error = %u\n", m_ConfigDir.c_str(), err);
        return 0xFFFFFFFF;
    }

    platform::CWaitable* waitSet[2] = {shared->GetExitEvent(), &m_Watcher};
    bool postRequest = true;
    while (m_bRunning)
    {
        m_ActivityTime = platform::timeGetTime();
        if (postRequest && PostDirChangeRequest())
            postRequest = false;
        // Without an armed request there is nothing to be told of (and
        // nothing to read the changes into): wait for the exit event alone.
        uint32_t count = postRequest ? 1 : 2;
        uint32_t result =
            platform::WaitForMultipleObjects(count, waitSet, false, ScaledInterval(WAIT_INTERVAL_MS));
        if (result == platform::WAIT_OBJECT_0 + 1)
        {
            OnDirContentChange();
            postRequest = true;
        }
        else if (result != platform::WAIT_TIMEOUT)
            break;
    }

    m_Watcher.Close();
    ReleaseChangeBuff();
    return 0;
}
