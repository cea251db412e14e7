// The registry of audit-file uploads in progress: one AuditFileInfo per transfer, found by the file
// identifier the collector handed out at begin, and a thread that clears transfers that stall.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/OverlappedFile.h"
#include "platform/Thread.h"
#include "protocol/WireProtocol.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One upload. Owned by CAuditFileManager; between Lock and UnLock it belongs to the locking thread.
struct AuditFileInfo
{
    AuditFileInfo() = default;
    ~AuditFileInfo();
    AuditFileInfo(const AuditFileInfo&) = delete;
    AuditFileInfo& operator=(const AuditFileInfo&) = delete;

    DataHead m_Head{}; // the begin record's head
    int32_t m_GroupID = 0;
    int32_t m_UserID = 0;
    std::string m_UserName; // GBK
    uint32_t m_TransferKind = 0;
    uint32_t m_TimeOut = 0;                  // seconds
    std::atomic<uint32_t> m_LastActivity{0}; // tick count
    uint32_t m_FileID = 0;
    uint32_t m_BlockSize = 0;
    uint64_t m_FileSize = 0;
    uint64_t m_AllocSize = 0;
    uint8_t m_Sha1[20] = {};
    std::string m_FileName; // GBK, last component of the sent path
    std::string m_SentPath; // GBK
    std::string m_DbName;
    std::string m_LocalPath; // full path of the stored file
    std::string m_WebPath;   // dcfilepath
    // Where the stored file lies below the upload root, for deletes that never follow a link.
    std::vector<std::string> m_DirComponents;
    std::string m_LocalName;

    int m_Fd = -1;
    std::unique_ptr<platform::CEvent> m_pIoEvent;
    bool m_bWritePending = false;
    platform::OverlappedRequest m_Overlapped;
    // The bytes of the write in flight: they must outlive the record they came from.
    std::vector<uint8_t> m_WriteBuff;
    // Capacity of m_WriteBuff counted against the manager's bound on all block buffers.
    uint64_t m_WriteBuffCounted = 0;
    // Gives the buffer back (and its bytes to the bound); only when no write of it is in flight.
    void ReleaseWriteBuff();
    uint64_t m_CurBegin = 0, m_CurEnd = 0; // byte range of the last block written
    std::list<std::pair<uint64_t, uint64_t>> m_Ranges;

    std::atomic<int32_t> m_bActive{0};
    std::atomic<int32_t> m_bLocked{0};

    // Active flag 0, a pending write finished or given up, the file cut to the allocation size and
    // closed, the event closed.
    void CloseFile();
    // Removes the stored file (after CloseFile).
    bool DeleteLocalFile();
};

class CAuditFileManager
{
public:
    static CAuditFileManager* GetInstance();
    virtual ~CAuditFileManager();

    bool Init();
    int UnInit();
    bool IsInit() const { return m_bRunning.load() != 0; }

    // A new transfer of the device whose record head this is (its head is set); null when the registry
    // or the device's share of it is full.
    AuditFileInfo* CreateNewAuditFileInfo(const DataHead& head);
    // The info when it exists and is not locked.
    AuditFileInfo* GetAuditFileInfoByFileID(uint32_t fileId);
    // Claims the info (lock flag 0 -> 1); null when absent or already claimed.
    AuditFileInfo* LockAuditFileInfoByFileID(uint32_t fileId);
    void UnLockAuditFileInfoByFileID(uint32_t fileId);
    // Removes and destroys the info.
    void ReleaseAuditFileInfoByFileID(uint32_t fileId);
    // The first byte range still missing. Static: it reads the info only.
    static bool GetAuditFileLostBlockInfo(const AuditFileInfo* info, uint64_t& begin, uint64_t& end);

    size_t GetAuditFileInfoCount();

    static constexpr uint32_t CHECK_INTERVAL_MS = 30000;
    static constexpr uint32_t STOP_WAIT_MS = 5000;
    // Transfers a device can keep open at once across the process: each holds a file and a block
    // buffer, so their number is bounded.
    static constexpr size_t MAX_AUDIT_FILE_INFOS = 4096;
    // One device may hold this share of them, so that no device can keep the others from uploading.
    static constexpr size_t MAX_AUDIT_FILE_INFOS_PER_DEVICE = MAX_AUDIT_FILE_INFOS / 16;
    // A transfer idle longer than its device's time-out is cleared; no device may ask for more than a day.
    static constexpr uint32_t MAX_TRANSFER_TIMEOUT_S = 24 * 60 * 60;
    // Block buffers of all transfers together stay below this; a block that would pass it is refused
    // (the device sends it again when the end reports it missing).
    static constexpr uint64_t MAX_BLOCK_BUFFER_BYTES_TOTAL = 256ull * 1024 * 1024;

    // Accounts block-buffer bytes against the bound: false, and nothing taken, when they do not fit.
    bool ReserveBufferBytes(uint64_t bytes);
    void ReleaseBufferBytes(uint64_t bytes);
    uint64_t GetBufferBytes() const { return m_BufferBytes.load(); }

private:
    CAuditFileManager() = default;
    static uint32_t AuditFileCheckProcess(CAuditFileManager* manager);
    void ClearExpiredAuditFiles();

    std::atomic<int32_t> m_bRunning{0};
    platform::ThreadHandle m_hCheckThread;
    // Lets UnInit end the check thread without the process-wide exit event.
    platform::CEvent m_CheckStop{true, false};
    std::atomic<uint32_t> m_NextFileID{0};
    std::atomic<uint64_t> m_BufferBytes{0};
    std::list<std::unique_ptr<AuditFileInfo>> m_Infos;
    std::map<uint32_t, AuditFileInfo*> m_InfoMap;
    platform::CCriticalSection m_Lock;
};
