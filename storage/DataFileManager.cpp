#include "storage/DataFileManager.h"

#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define DFM_TAG "[CDataFileManager]"

CDataFileManager* CDataFileManager::GetInstance()
{
    static CDataFileManager* instance = new CDataFileManager();
    return instance;
}

CDataFileManager::~CDataFileManager()
{
    // Files are closed and queued only through ReleaseDataFileID; here they
    // are merely freed.
    for (auto& entry : m_DataFileTable)
        delete entry.second;
    m_DataFileTable.clear();
}

bool CDataFileManager::Init()
{
    if (m_bInited.load() != 0)
        return true;
    srand(platform::GetTickCount());
    m_StopEvent.Reset();
    m_bRunning = 1;
    m_hSwitchThread = platform::CreateThread([this] { return DataFileSwitchThread(this); });
    m_hScanThread = platform::CreateThread([this] { return DataFileScanThread(this); });
    bool ok = m_hSwitchThread && m_hScanThread;
    m_bInited = ok ? 1 : 0;
    if (!ok)
        QB_LOG(PL_ERROR, DFM_TAG, "[Init] Cannot Start DataFile Threads\n");
    return ok;
}

bool CDataFileManager::UnInit()
{
    m_bRunning = 0;
    m_bInited = 0;
    m_StopEvent.Set();
    std::vector<platform::CWaitable*> threads;
    if (m_hSwitchThread)
        threads.push_back(m_hSwitchThread.get());
    if (m_hScanThread)
        threads.push_back(m_hScanThread.get());
    if (!threads.empty())
    {
        uint32_t ret = platform::WaitForMultipleObjects(static_cast<uint32_t>(threads.size()), threads.data(),
                                                        true, UNINIT_WAIT_MS);
        if (ret != platform::WAIT_OBJECT_0)
        {
            for (const platform::ThreadHandle& h : {m_hSwitchThread, m_hScanThread})
                if (h && !h->HasEnded())
                {
                    QB_LOG(PL_WARN, DFM_TAG, "[UnInit] Thread %u Did Not End In %u ms\n", h->GetThreadId(),
                           UNINIT_WAIT_MS);
                    platform::TerminateThread(h, 0xFFFFFFFF);
                }
        }
    }
    m_hSwitchThread.reset();
    m_hScanThread.reset();
    CCSLocker lock(m_ImportListLock);
    m_ImportList.clear();
    m_ClaimedPaths.clear();
    m_QueuedPaths.clear();
    return true;
}

uint32_t CDataFileManager::WaitForStop(uint32_t timeoutMs)
{
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_StopEvent};
    return platform::WaitForMultipleObjects(2, waits, false, timeoutMs);
}

// ---- Data files -------------------------------------------------------------

uint32_t CDataFileManager::AllocDataFileID(const char* dbName, const char* tableName)
{
    if (!IsInit())
        return 0;
    if (!MakeDirectoryOK(dbName, tableName))
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[AllocDataFileID] Call MakeDirectoryOK Fail\n");
        return 0;
    }
    uint32_t id = ++m_LastDataFileID;
    CDataFile* file = new (std::nothrow) CDataFile();
    if (file == nullptr)
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[AllocDataFileID] Cannot Alloc Data File Object. Not Enough Memory!\n");
        return 0;
    }
    CCSLocker lock(m_DataFileTableLock);
    std::string path;
    if (!BuildDataFileName(path, dbName, tableName))
    {
        delete file;
        QB_LOG(PL_ERROR, DFM_TAG, "[AllocDataFileID] Call BuildDataFileName Fail\n");
        return 0;
    }
    file->SetFilePath(path);
    file->SetDbName(dbName);
    file->SetTableName(tableName);
    if (!file->Create())
    {
        delete file;
        QB_LOG(PL_ERROR, DFM_TAG, "[AllocDataFileID] Create DataFile Fail\n");
        return 0;
    }
    m_DataFileTable[id] = file;
    return id;
}

CDataFile* CDataFileManager::GetDataFileByID(uint32_t id)
{
    if (id == 0 || !IsInit())
        return nullptr;
    CCSLocker lock(m_DataFileTableLock);
    auto it = m_DataFileTable.find(id);
    if (it == m_DataFileTable.end())
    {
        QB_LOG(PL_WARN, DFM_TAG, "[GetDataFileByID] Cannot Find Specify DataFile ID = %u\n", id);
        return nullptr;
    }
    CDataFile* file = it->second;
    if (!file->IsHandleValid())
    {
        if (!file->GetDbName().empty() && !file->GetTableName().empty())
        {
            std::string path;
            if (!BuildDataFileName(path, file->GetDbName().c_str(), file->GetTableName().c_str()))
                QB_LOG(PL_WARN, DFM_TAG, "[GetDataFileByID] Fail To BuildDataFileName.\n");
            file->SetFilePath(path);
            if (!file->Create())
                QB_LOG(PL_ERROR, DFM_TAG, "[GetDataFileByID] Cannot Create DataFile.\n");
        }
    }
    else if (file->NeedSwitch() == 1)
    {
        if (!SwitchOutDataFile(file, 1))
            QB_LOG(PL_WARN, DFM_TAG, "[GetDataFileByID] Something Wrong While Call SwitchOutDataFile.\n");
    }
    return file;
}

uint32_t CDataFileManager::WriteDataFileByID(uint32_t id, const void* data, uint32_t length)
{
    if (id == 0 || !IsInit())
        return 0;
    m_DataFileTableLock.Enter();
    CDataFile* file = GetDataFileByID(id);
    if (file == nullptr)
    {
        m_DataFileTableLock.Leave();
        return 0;
    }
    // Hand over from the table lock to the file's own lock: other files stay
    // writable, and this one cannot be switched out or released meanwhile.
    CCSLocker fileLock(file->GetFileLock());
    m_DataFileTableLock.Leave();
    return file->Write(data, length);
}

bool CDataFileManager::SwitchOutDataFile(CDataFile* file, uint32_t reCreate)
{
    if (file == nullptr)
        return false;
    CCSLocker fileLock(file->GetFileLock());
    std::string dbName = file->GetDbName();
    std::string tableName = file->GetTableName();
    file->Close();
    SubmitToImportList(file);
    if (reCreate == 1)
    {
        std::string path;
        if (!BuildDataFileName(path, dbName.c_str(), tableName.c_str()))
            QB_LOG(PL_WARN, DFM_TAG, "[SwitchOutDataFile] Cannot ReBuild DataFile Name\n");
        file->SetFilePath(path);
        if (!file->Create())
        {
            QB_LOG(PL_ERROR, DFM_TAG, "[SwitchOutDataFile] Create DataFile Fail.\n");
            return false;
        }
    }
    return true;
}

void CDataFileManager::ReleaseDataFileID(uint32_t id)
{
    if (id == 0 || !IsInit())
        return;
    CCSLocker lock(m_DataFileTableLock);
    auto it = m_DataFileTable.find(id);
    if (it == m_DataFileTable.end())
    {
        QB_LOG(PL_WARN, DFM_TAG, "[ReleaseDataFileID] Cannot Find Specify DataFile ID = %u\n", id);
        return;
    }
    CDataFile* file = it->second;
    {
        CCSLocker fileLock(file->GetFileLock());
        if (!file->Flush())
            QB_LOG(PL_WARN, DFM_TAG, "[ReleaseDataFileID] Flush DataFile Fail. ID = %u\n", id);
        if (!file->Close())
            QB_LOG(PL_WARN, DFM_TAG, "[ReleaseDataFileID] Close DataFile Fail. ID = %u\n", id);
        if (!SubmitToImportList(file))
            QB_LOG(PL_WARN, DFM_TAG, "[ReleaseDataFileID] Cannot Submit DataFile = %u To ImportList.\n", id);
    }
    m_DataFileTable.erase(it);
    delete file;
}

bool CDataFileManager::IsPathOpenForWriting(const std::string& path)
{
    CCSLocker lock(m_DataFileTableLock);
    for (auto& entry : m_DataFileTable)
        if (entry.second->IsHandleValid() && entry.second->GetFilePath() == path)
            return true;
    return false;
}

uint32_t CDataFileManager::DataFileSwitchThread(CDataFileManager* manager)
{
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileSwitchThread] Start Working...\n");
    if (manager->m_bRunning.load() != 1)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[DataFileSwitchThread] Thread Exit With Wait Ret = %u\n", 0u);
        return 0;
    }
    uint32_t ret = 0;
    while (manager->m_bRunning.load() == 1)
    {
        ret = manager->WaitForStop(ScaledInterval(SWITCH_INTERVAL_MS));
        if (ret != platform::WAIT_TIMEOUT || manager->m_bInited.load() == 0)
            break;
        CCSLocker lock(manager->m_DataFileTableLock);
        for (auto& entry : manager->m_DataFileTable)
        {
            CDataFile* file = entry.second;
            if (file->IsHandleValid() && file->NeedSwitch() == 1)
            {
                std::string oldPath = file->GetFilePath();
                manager->SwitchOutDataFile(file, 0);
                QB_LOG(PL_DEBUG, DFM_TAG, "[DataFileSwitchThread] Switch Out DataFile = %s\n",
                       oldPath.c_str());
            }
        }
    }
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileSwitchThread] Thread Exit With Wait Ret = %u\n", ret);
    return 0;
}

// ---- Import list --------------------------------------------------------------

bool CDataFileManager::SubmitToImportList(CDataFile* file)
{
    if (file == nullptr || !IsInit())
        return false;
    CCSLocker lock(m_ImportListLock);
    // One entry per file: a second entry would load the same rows twice.
    if (m_QueuedPaths.count(file->GetFilePath()) != 0)
        return true;
    ImportInfo& info = m_ImportList.emplace_back();
    info.m_DbName = file->GetDbName();
    info.m_TableName = file->GetTableName();
    info.m_DataFile = file->GetFilePath();
    m_QueuedPaths.insert(info.m_DataFile);
    return true;
}

int CDataFileManager::GetImportInfo(std::string& dbName, std::string& dataFile, std::string& tableName)
{
    if (!IsInit())
        return 0;
    CCSLocker lock(m_ImportListLock);
    for (ImportInfo& info : m_ImportList)
    {
        if (info.m_bClaimed.load() != 0 || m_ClaimedPaths.count(info.m_DataFile) != 0)
            continue;
        if (!dbName.empty())
        {
            if (info.m_DbName != dbName)
                continue;
            uint32_t expected = 0;
            if (!info.m_bClaimed.compare_exchange_strong(expected, 1))
                continue;
            m_ClaimedPaths.insert(info.m_DataFile);
            dataFile = info.m_DataFile;
            tableName = info.m_TableName;
            return 1;
        }
        bool complete = !info.m_DbName.empty() && !info.m_TableName.empty() && !info.m_DataFile.empty();
        // Entries of a device that is not registered (yet) stay free for the
        // device's own importer.
        if (complete && !CDeviceRegistry::GetInstance()->IsDbNameRegistered(info.m_DbName.c_str()))
            continue;
        uint32_t expected = 0;
        if (!info.m_bClaimed.compare_exchange_strong(expected, 1))
            continue;
        m_ClaimedPaths.insert(info.m_DataFile);
        if (complete)
        {
            dbName = info.m_DbName;
            dataFile = info.m_DataFile;
            tableName = info.m_TableName;
            return 1;
        }
        QB_LOG(PL_WARN, DFM_TAG,
               "[GetImportInfo] Error Occur While Getting Import Info. DbName = %s , TableName = %s , "
               "DataFile = "
               "%s\n",
               info.m_DbName.c_str(), info.m_TableName.c_str(), info.m_DataFile.c_str());
    }
    return 0;
}

std::list<ImportInfo>::iterator
CDataFileManager::FindImportInfoLocked(const char* dbName, const char* tableName, const char* dataFile)
{
    auto firstEqual = m_ImportList.end();
    for (auto it = m_ImportList.begin(); it != m_ImportList.end(); ++it)
    {
        if (it->m_DbName != dbName || it->m_TableName != tableName || it->m_DataFile != dataFile)
            continue;
        // A path queued twice: the claimed copy is the one its importer means.
        if (it->m_bClaimed.load() != 0)
            return it;
        if (firstEqual == m_ImportList.end())
            firstEqual = it;
    }
    return firstEqual;
}

void CDataFileManager::FreeClaimLocked(ImportInfo& info)
{
    if (info.m_bClaimed.exchange(0) != 0)
        m_ClaimedPaths.erase(info.m_DataFile);
}

int CDataFileManager::ResetImportInfoFlag(const char* dbName, const char* tableName, const char* dataFile)
{
    if (dbName == nullptr || tableName == nullptr || dataFile == nullptr || !IsInit())
        return 0;
    CCSLocker lock(m_ImportListLock);
    auto it = FindImportInfoLocked(dbName, tableName, dataFile);
    if (it == m_ImportList.end())
    {
        QB_LOG(
            PL_WARN, DFM_TAG,
            "[ResetImportInfoFlag] Cannot Find ImportInfo! DBName = %s, TableName = %s , DataFileName = %s\n",
            dbName, tableName, dataFile);
        return 0;
    }
    FreeClaimLocked(*it);
    return 1;
}

void CDataFileManager::RemoveImportInfo(const char* dbName, const char* tableName, const char* dataFile)
{
    if (dbName == nullptr || tableName == nullptr || dataFile == nullptr || !IsInit())
        return;
    CCSLocker lock(m_ImportListLock);
    auto it = FindImportInfoLocked(dbName, tableName, dataFile);
    if (it == m_ImportList.end())
        return;
    FreeClaimLocked(*it);
    if (auto queued = m_QueuedPaths.find(it->m_DataFile); queued != m_QueuedPaths.end())
        m_QueuedPaths.erase(queued);
    m_ImportList.erase(it);
}

size_t CDataFileManager::GetImportListSize()
{
    CCSLocker lock(m_ImportListLock);
    return m_ImportList.size();
}

void CDataFileManager::GetImportBacklog(uint32_t& files, uint64_t& bytes, int64_t& oldestModified)
{
    std::vector<std::string> paths;
    {
        CCSLocker lock(m_ImportListLock);
        paths.reserve(m_ImportList.size());
        for (const ImportInfo& info : m_ImportList)
            paths.push_back(info.m_DataFile);
    }
    files = static_cast<uint32_t>(paths.size());
    bytes = 0;
    oldestModified = 0;
    for (const std::string& path : paths)
    {
        uint64_t size = 0;
        int64_t modified = 0;
        // One imported meanwhile is gone: it no longer waits.
        if (!platform::GetFileSizeAndTime(path, size, modified))
            continue;
        bytes += size;
        if (oldestModified == 0 || modified < oldestModified)
            oldestModified = modified;
    }
}

// ---- Names and directories ----------------------------------------------------

bool CDataFileManager::BuildDataFileName(std::string& out, const char* dbName, const char* tableName)
{
    out.clear();
    if (dbName == nullptr || tableName == nullptr)
        return false;
    std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + dbName + "/" + tableName;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[BuildDataFileName] GetFileAttr Err = %u\n", static_cast<uint32_t>(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode))
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[BuildDataFileName] Path Not Dir. Path = %s\n", dir.c_str());
        return false;
    }
    // Time and sequence alone repeat: a table that goes through hundreds of
    // files a second (a full disk refuses each one's first line) meets a name
    // it used moments ago. Created again, that file would be truncated under
    // its queued lines, or two open files would write over each other. The
    // name is therefore taken by creating the file exclusively, and a name
    // still queued for import is never handed out again.
    for (uint32_t attempt = 0;; ++attempt)
    {
        LocalTime now = CClock::Now();
        uint32_t sequence = ++m_FileNameCounter + static_cast<uint32_t>(rand() % 32768);
        char name[96];
        snprintf(name, sizeof(name), "DataFile_%04d%02d%02d_%02d%02d%02d_%06u.dat", now.m_Year, now.m_Month,
                 now.m_Day, now.m_Hour, now.m_Minute, now.m_Second, sequence);
        out = dir + "/" + name;
        if (IsPathQueued(out))
        {
            QB_LOG(PL_DEBUG, DFM_TAG, "[BuildDataFileName] Name Still Queued For Import = %s\n", out.c_str());
        }
        else
        {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0)
            {
                close(fd);
                return true;
            }
            // Any other failure is Create's to report, on the same name.
            if (errno != EEXIST)
                return true;
            QB_LOG(PL_DEBUG, DFM_TAG, "[BuildDataFileName] Name Already In Use = %s\n", out.c_str());
        }
        if (attempt + 1 >= NAME_ATTEMPTS)
        {
            QB_LOG(PL_ERROR, DFM_TAG, "[BuildDataFileName] No Free Data File Name In %s\n", dir.c_str());
            out.clear();
            return false;
        }
    }
}

bool CDataFileManager::IsPathQueued(const std::string& path)
{
    CCSLocker lock(m_ImportListLock);
    return m_QueuedPaths.count(path) != 0;
}

bool CDataFileManager::MakeDirectoryExist(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
    {
        if (S_ISDIR(st.st_mode))
            return true;
        if (!platform::DeleteFile(path))
            QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryExist] Cannot Delete File Err = %u Path = %s\n",
                   static_cast<uint32_t>(errno), path.c_str());
    }
    else if (errno != ENOENT)
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryExist] GetFileAttr Err = %u\n",
               static_cast<uint32_t>(errno));
        return false;
    }
    // Another writer may have made it just now.
    return platform::CreateDirectory(path) || (errno == EEXIST && platform::IsDirectory(path));
}

namespace
{
// A database or table name is one directory level: never empty, never a
// relative step, never a separator.
bool IsPlainName(const char* name)
{
    if (name == nullptr || *name == '\0')
        return false;
    std::string s(name);
    return s != "." && s != ".." && s.find('/') == std::string::npos;
}
} // namespace

bool CDataFileManager::MakeDirectoryOK(const char* dbName, const char* tableName)
{
    const std::string& root = CGlobalSharedData::GetInstance()->GetDataFileDir();
    if (!IsPlainName(dbName) || !IsPlainName(tableName))
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryOK] Bad Path Name = %s/%s/%s\n", root.c_str(),
               dbName ? dbName : "", tableName ? tableName : "");
        return false;
    }
    std::string dbDir = root + "/" + dbName;
    std::string full = dbDir + "/" + tableName;
    if (!MakeDirectoryExist(root) || !MakeDirectoryExist(dbDir) || !MakeDirectoryExist(full))
        return false;
    int err = platform::CreateDirectory(full) ? 0 : errno;
    switch (err)
    {
    case 0:
        QB_LOG(PL_DEBUG, DFM_TAG, "[MakeDirectoryOK] Create Dir = %s Succeed\n", full.c_str());
        return true;
    case EEXIST:
        if (platform::IsDirectory(full))
        {
            QB_LOG(PL_DEBUG, DFM_TAG, "[MakeDirectoryOK] Dir = %s Already Exist\n", full.c_str());
            return true;
        }
        QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryOK] File = %s Exist\n", full.c_str());
        return false;
    case ENOENT:
    case ENOTDIR:
    case EINVAL:
        QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryOK] Bad Path Name = %s\n", full.c_str());
        return false;
    case ENAMETOOLONG:
        QB_LOG(PL_ERROR, DFM_TAG, "[MakeDirectoryOK] Path Name Too Long. Path = %s\n", full.c_str());
        return false;
    default:
        return false;
    }
}
