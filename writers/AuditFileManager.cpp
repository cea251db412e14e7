#include "writers/AuditFileManager.h"

#include <cstring>

#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/AnchoredPath.h"
#include "platform/Tick.h"

#include <new>

namespace
{
const char* const TAG = "[CAuditFileManager]";
}

// ---------------------------------------------------------------------------------------------
// AuditFileInfo
// ---------------------------------------------------------------------------------------------

AuditFileInfo::~AuditFileInfo()
{
    CloseFile();
    ReleaseWriteBuff();
}

void AuditFileInfo::ReleaseWriteBuff()
{
    std::vector<uint8_t>().swap(m_WriteBuff);
    CAuditFileManager::GetInstance()->ReleaseBufferBytes(m_WriteBuffCounted);
    m_WriteBuffCounted = 0;
}

bool CAuditFileManager::ReserveBufferBytes(uint64_t bytes)
{
    uint64_t held = m_BufferBytes.load();
    do
    {
        if (held + bytes > MAX_BLOCK_BUFFER_BYTES_TOTAL)
            return false;
    } while (!m_BufferBytes.compare_exchange_weak(held, held + bytes));
    return true;
}

void CAuditFileManager::ReleaseBufferBytes(uint64_t bytes)
{
    m_BufferBytes.fetch_sub(bytes);
}

void AuditFileInfo::CloseFile()
{
    m_bActive = 0;
    if (m_bWritePending)
    {
        // A queued write cannot be withdrawn; its buffer and event must outlive it.
        size_t bytes = 0;
        platform::GetOverlappedResult(&m_Overlapped, bytes, true);
        m_bWritePending = false;
    }
    if (m_Fd >= 0)
    {
        platform::SetFileLength(m_Fd, m_AllocSize);
        platform::CloseDescriptor(m_Fd);
        m_Fd = -1;
    }
    m_pIoEvent.reset();
    m_WriteBuff.clear();
    m_WriteBuff.shrink_to_fit();
}

bool AuditFileInfo::DeleteLocalFile()
{
    if (m_LocalName.empty())
        return false;
    int dir = platform::OpenDirectoryBelow(CGlobalSharedData::GetInstance()->GetUploadDir(), m_DirComponents,
                                           false);
    if (dir < 0)
        return false;
    bool ok = platform::DeleteFileAt(dir, m_LocalName);
    platform::CloseDescriptor(dir);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// CAuditFileManager
// ---------------------------------------------------------------------------------------------

CAuditFileManager* CAuditFileManager::GetInstance()
{
    static CAuditFileManager* instance = new CAuditFileManager();
    return instance;
}

CAuditFileManager::~CAuditFileManager() = default;

bool CAuditFileManager::Init()
{
    CCSLocker locker(m_Lock);
    if (m_bRunning.load() != 0)
        return true;
    m_CheckStop.Reset();
    m_bRunning = 1;
    m_hCheckThread = platform::CreateThread([this] { return AuditFileCheckProcess(this); });
    return true;
}

int CAuditFileManager::UnInit()
{
    platform::ThreadHandle thread;
    {
        CCSLocker locker(m_Lock);
        m_bRunning = 0;
        thread = std::move(m_hCheckThread);
    }
    m_CheckStop.Set();
    if (thread != nullptr)
    {
        if (platform::WaitForSingleObject(thread.get(), STOP_WAIT_MS) != platform::WAIT_OBJECT_0)
        {
            platform::TerminateThread(thread, 0);
            // The abandoned check may still hold an entry: nothing is freed under it (the process exits
            // next).
            QB_LOG(PL_WARN, TAG, "[UnInit] Check Thread Still Running , Open Transfers Left As They Are.\n");
            return 1;
        }
    }
    // Every device connection has ended by now: transfers still open are closed (their files stay, cut to
    // their allocation size) so that a later Init starts empty.
    std::list<std::unique_ptr<AuditFileInfo>> left;
    {
        CCSLocker locker(m_Lock);
        left.swap(m_Infos);
        m_InfoMap.clear();
    }
    left.clear();
    return 1;
}

AuditFileInfo* CAuditFileManager::CreateNewAuditFileInfo(const DataHead& head)
{
    CCSLocker locker(m_Lock);
    if (m_bRunning.load() == 0)
        return nullptr;
    try
    {
        if (m_Infos.size() >= MAX_AUDIT_FILE_INFOS)
        {
            QB_LOG(PL_ERROR, TAG, "[CreateNewAuditFileInfo] Cannot Alloc AuditInfo.\n");
            return nullptr;
        }
        size_t ofDevice = 0;
        for (const auto& open : m_Infos)
            if (memcmp(open->m_Head.m_DevMD5, head.m_DevMD5, sizeof(head.m_DevMD5)) == 0)
                ++ofDevice;
        if (ofDevice >= MAX_AUDIT_FILE_INFOS_PER_DEVICE)
        {
            QB_LOG(PL_WARN, TAG, "[CreateNewAuditFileInfo] Device Holds %zu Transfers , No More Allowed.\n",
                   ofDevice);
            return nullptr;
        }
        std::unique_ptr<AuditFileInfo> info(new (std::nothrow) AuditFileInfo());
        if (info == nullptr)
        {
            QB_LOG(PL_ERROR, TAG, "[CreateNewAuditFileInfo] Cannot Alloc AuditInfo.\n");
            return nullptr;
        }
        info->m_Head = head;
        info->m_FileID = ++m_NextFileID;
        AuditFileInfo* raw = info.get();
        m_Infos.push_back(std::move(info));
        if (!m_InfoMap.emplace(raw->m_FileID, raw).second)
        {
            QB_LOG(PL_ERROR, TAG, "[CreateNewAuditFileInfo] Create AuditInfo Map Fail.\n");
            m_Infos.pop_back();
            return nullptr;
        }
        return raw;
    }
    catch (...)
    {
        QB_LOG(PL_ERROR, TAG, "[CreateNewAuditFileInfo] Exception Occur While Alloc AuditInfo.\n");
        return nullptr;
    }
}

AuditFileInfo* CAuditFileManager::GetAuditFileInfoByFileID(uint32_t fileId)
{
    CCSLocker locker(m_Lock);
    auto it = m_InfoMap.find(fileId);
    if (it == m_InfoMap.end())
    {
        QB_LOG(PL_WARN, TAG, "[GetAuditFileInfoByFileID] FileID = %u Not Exist.\n", fileId);
        return nullptr;
    }
    if (it->second->m_bLocked.load() != 0)
    {
        QB_LOG(PL_WARN, TAG, "[GetAuditFileInfoByFileID] FileID = %u Already Locked.\n", fileId);
        return nullptr;
    }
    return it->second;
}

AuditFileInfo* CAuditFileManager::LockAuditFileInfoByFileID(uint32_t fileId)
{
    CCSLocker locker(m_Lock);
    auto it = m_InfoMap.find(fileId);
    if (it == m_InfoMap.end())
    {
        QB_LOG(PL_WARN, TAG, "[LockAuditFileInfoByFileID] FileID = %u Not Exist.\n", fileId);
        return nullptr;
    }
    int32_t expected = 0;
    if (!it->second->m_bLocked.compare_exchange_strong(expected, 1))
    {
        QB_LOG(PL_WARN, TAG, "[LockAuditFileInfoByFileID] FileID = %u Already Locked.\n", fileId);
        return nullptr;
    }
    return it->second;
}

void CAuditFileManager::UnLockAuditFileInfoByFileID(uint32_t fileId)
{
    CCSLocker locker(m_Lock);
    auto it = m_InfoMap.find(fileId);
    if (it == m_InfoMap.end())
    {
        QB_LOG(PL_WARN, TAG, "[UnLockAuditFileInfoByFileID] FileID = %u Not Exist.\n", fileId);
        return;
    }
    it->second->m_bLocked = 0;
}

void CAuditFileManager::ReleaseAuditFileInfoByFileID(uint32_t fileId)
{
    std::unique_ptr<AuditFileInfo> doomed;
    {
        CCSLocker locker(m_Lock);
        auto it = m_InfoMap.find(fileId);
        if (it == m_InfoMap.end())
        {
            QB_LOG(PL_WARN, TAG, "[ReleaseAuditFileInfoByFileID] FileID = %u Not Exist.\n", fileId);
            return;
        }
        AuditFileInfo* raw = it->second;
        m_InfoMap.erase(it);
        for (auto li = m_Infos.begin(); li != m_Infos.end(); ++li)
        {
            if (li->get() == raw)
            {
                doomed = std::move(*li);
                m_Infos.erase(li);
                break;
            }
        }
    }
    // Destroyed outside the registry lock: closing may wait for a write in flight.
}

size_t CAuditFileManager::GetAuditFileInfoCount()
{
    CCSLocker locker(m_Lock);
    return m_Infos.size();
}

bool CAuditFileManager::GetAuditFileLostBlockInfo(const AuditFileInfo* info, uint64_t& begin, uint64_t& end)
{
    if (info == nullptr)
        return false;
    const uint64_t bs = info->m_BlockSize;
    uint64_t rounded = info->m_AllocSize;
    if (bs != 1)
        rounded = (info->m_AllocSize + bs - 1) & (~bs + 1);
    const auto& ranges = info->m_Ranges;
    if (ranges.empty())
    {
        begin = 0;
        end = rounded;
        return true;
    }
    auto first = ranges.begin();
    // A hole in front of the first range is the first one missing.
    if (first->first > 0)
    {
        begin = 0;
        end = first->first;
        return true;
    }
    if (ranges.size() == 1)
    {
        if (first->second > info->m_AllocSize)
            return false;
        if (bs == 0)
        {
            QB_LOG(PL_WARN, TAG, "[GetAuditFileLostBlockInfo] Invalid BlockSize.\n");
            return false;
        }
        begin = first->second / bs * bs;
        end = rounded;
        return true;
    }
    auto second = std::next(first);
    begin = first->second;
    end = second->first;
    if (begin < end)
        return true;
    QB_LOG(PL_WARN, TAG, "[GetAuditFileLostBlockInfo] GetBlockInfo Fail Begin = %llu End = %llu\n",
           static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end));
    return false;
}

uint32_t CAuditFileManager::AuditFileCheckProcess(CAuditFileManager* manager)
{
    CGlobalSharedData* gsd = CGlobalSharedData::GetInstance();
    for (;;)
    {
        platform::CWaitable* objects[2] = {gsd->GetExitEvent(), &manager->m_CheckStop};
        uint32_t ret = platform::WaitForMultipleObjects(2, objects, false, ScaledInterval(CHECK_INTERVAL_MS));
        if (ret != platform::WAIT_TIMEOUT)
        {
            QB_LOG(PL_DEBUG, TAG, "[AuditFileCheckProcess] Exit With Wait Code = %u\n", ret);
            return 0;
        }
        manager->ClearExpiredAuditFiles();
    }
}

void CAuditFileManager::ClearExpiredAuditFiles()
{
    std::vector<uint32_t> expired;
    {
        CCSLocker locker(m_Lock);
        uint32_t now = platform::GetTickCount();
        for (auto& info : m_Infos)
        {
            if (m_bRunning.load() == 0)
                break;
            if (info->m_bActive.load() == 0)
                continue;
            uint32_t last = info->m_LastActivity.load();
            uint32_t idleSeconds = 0;
            if (now < last)
                info->m_LastActivity = now;
            else
                idleSeconds = (now - last) / 1000;
            if (idleSeconds > info->m_TimeOut)
                expired.push_back(info->m_FileID);
        }
    }
    for (uint32_t id : expired)
    {
        // Claimed, not just looked up: a block or end that arrives meanwhile then finds it taken instead
        // of finding it destroyed under its feet.
        AuditFileInfo* info = LockAuditFileInfoByFileID(id);
        if (info == nullptr)
            continue;
        QB_LOG(
            PL_WARN, "[CAuditFileManager]",
            "[AuditFileCheckProcess] ID = %u , FileName = %s ,  DCFullFileName = %s Exceed %u Seconds , Auto "
            "Clear It\n",
            info->m_FileID, info->m_FileName.c_str(), info->m_LocalPath.c_str(), info->m_TimeOut);
        uint32_t kind = info->m_TransferKind;
        info->CloseFile();
        if (kind == AUDITFILE_KIND_DATA)
            info->DeleteLocalFile();
        ReleaseAuditFileInfoByFileID(id);
    }
}
