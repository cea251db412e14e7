// The record worker of one device connection: it turns the connection's receive ring into records
// (finding each head, framing, copying out records that wrap), restores masked bodies, checks each
// record by type, holds database records back until the device has pushed its directory, hands them to
// its own writer chain, and queues replies into the connection's send ring.
//
// The connection thread creates the task in its own thread, gives it its thread id and both rings
// (SetNodeThreadId, SetRingCaches) and starts it through the task manager. The task is the only
// consumer of the receive ring and the only producer of the send ring.
#pragma once

#include "core/Task.h"
#include "intake/RingCache.h"
#include "protocol/WireProtocol.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <mysql.h>

class TiXmlElement;

// Thread messages exchanged with the connection thread.
constexpr uint32_t WM_SVPNNODE_DATASYNC_SUCC = 1124; // wParam: database name, lParam: 17-byte key buffer
constexpr uint32_t WM_SVPNNODE_DATA_CANSEND = 1225;  // data waiting in the send ring

class CNodeLogRecordTask : public CTask
{
public:
    // Event counters of the records this task handled (the process-wide real-time counters are fed from
    // the same places through CountRecord).
    enum ERecordCounter : uint32_t
    {
        COUNTER_RECEIVED = 0,
        COUNTER_UNSUPPORTED,
        COUNTER_KEEPALIVE,
        COUNTER_USER,
        COUNTER_FLUX,
        COUNTER_AUDIT,
        COUNTER_LOGUDTDB,
        COUNTER_ADMIN,
        COUNTER_ALARM,
        COUNTER_SYSTEM,
        COUNTER_COUNT
    };

    CNodeLogRecordTask();
    ~CNodeLogRecordTask() override;

    // Given by the connection thread before the task starts.
    void SetNodeThreadId(uint32_t threadId) { m_NodeThreadId = threadId; }
    void SetRingCaches(CRingCache* recvRing, CRingCache* sendRing)
    {
        m_pRecvRing = recvRing;
        m_pSendRing = sendRing;
    }
    uint32_t GetNodeThreadId() const { return m_NodeThreadId; }
    // Set by the connection thread while it reads into the receive ring, cleared once it has stopped
    // for good: the last handling of the ring waits for the last bytes read.
    void SetReceiving(bool receiving) { m_bReceiving.store(receiving); }

    uint32_t Run() override;

    // Queues a reply into the send ring and tells the connection thread; blocks while the ring is full
    // (never drops a reply while the connection lives).
    void WriteDataToSendCache(const void* data, uint32_t length);
    void NotifySvpnNodeDataCanSend();
    // Resolves the device database from a 16-byte key and gives it to the writer chain.
    int SetDbName(const uint8_t* devMD5);
    // Runs one statement and frees its result; 1 on success.
    int ExecSql(const char* sql, MYSQL* conn);

    // ---- Framing -------------------------------------------------------------------------------
    void ProcessRingBuffData();
    // Scans `readable` bytes from the read pointer for a sign; bytes before it are consumed. Returns
    // the sign code, or 0 when none was found.
    int FindDataHead(uint32_t readable);
    // 1 when the data at the read pointer was dealt with, 0 when more must arrive first.
    int ProcessLogData(int signCode);
    int RingCache2LinearityBuff(CRingCache* ring, uint8_t* dest, uint32_t length);
    void DispatchLog(int signCode);

    // ---- Checks: 1 accepted, 0 refused (masked bodies are restored first) -----------------------
    int Check_KeepAlive_Log(int signCode);
    int Check_User_Log(int signCode);
    int Check_UserV2_Log(int signCode);
    int Check_UserV3_Log(int signCode);
    int Check_Audit_Log(int signCode);
    int Check_Admin_Log(int signCode);
    int Check_Alarm_Log(int signCode);
    int Check_LogudtDB_Log(int signCode);
    int Check_System_Log(int signCode);
    int Check_UserAuditFile_Log(int signCode);
    int Check_Record_Present(int signCode);

    // ---- Handlers: 1 taken (the record is consumed), 0 left to Deal_UnSupport_Log ---------------
    int Deal_KeepAlive_Log(int signCode);
    int Deal_User_Log(int signCode);
    int Deal_UserV2_Log(int signCode);
    int Deal_UserV3_Log(int signCode);
    int Deal_Audit_Log(int signCode);
    int Deal_Admin_Log(int signCode);
    int Deal_Alarm_Log(int signCode);
    int Deal_System_Log(int signCode);
    int Deal_UserAuditFile_Log(int signCode);
    int Deal_LogudtDB_Log(int signCode);
    int Deal_Always_Fail(int signCode);
    int Deal_UnSupport_Log(int signCode);

    // ---- Directory synchronisation ---------------------------------------------------------------
    int ProcessLogudtAdminInfo(const char* fileName);
    int ProcessLogudtUserInfo(const char* fileName);
    int ProcessLogudtUnknownInfo(const char* fileName);

    // Passes when the device of this key has synchronised its directory since the collector started.
    int CheckSyncReady(const uint8_t* devMD5);
    void MarkUseCounted(const uint8_t* devMD5);

    // Hex dump of skipped bytes (only with DumpInvalidLog set; at most the first 2048 bytes).
    void DumpInvalidData(const uint8_t* from, const uint8_t* to);

    // The record being handled. inPlace: it lies at the read pointer of the receive ring and is
    // consumed by its handler; otherwise it was copied out and is already consumed.
    void SetCurrentRecord(uint8_t* record, uint32_t length, bool inPlace);
    uint8_t* GetCurrentRecord() const { return m_pCurrentRecord; }

    // State, for the connection thread and diagnostics.
    bool IsSyncReady() const { return m_bSyncReady != 0; }
    const std::string& GetDbName() const { return m_DbName; }
    const uint8_t* GetDevMD5() const { return m_DevMD5; }
    int32_t GetDevType() const { return m_DevType; }
    uint64_t GetCounter(ERecordCounter counter) const { return m_Counters[counter].load(); }
    size_t GetLinearBuffSize() const { return m_LinearBuff.size(); }
    const std::vector<std::string> GetTempFileNames() const;
    CQuillbarnLogsWriterManager& GetLogsWriterManager() { return m_LogsWriterManager; }

    // Records of at most MaxPackgeSize MiB are accepted (1..10, anything else counts as 10).
    static uint32_t GetMaxRecordSize();

    static constexpr uint32_t WAIT_DATA_MS = 5000;
    // Less free room than this in the receive ring and the connection may find no stretch to write
    // into (it needs CRingCache::MIN_WRITE_SIZE contiguous bytes; up to that much can sit unusable
    // before the wrap point).
    static constexpr uint32_t RING_FULL_MARGIN = 4 * CRingCache::MIN_WRITE_SIZE;
    static constexpr uint32_t WAIT_SEND_SPACE_MS = 5000;
    static constexpr uint32_t SCAN_CHUNK_SIZE = 2048;
    static constexpr uint32_t YIELD_EVERY_PASSES = 64;
    static constexpr uint32_t DUMP_MAX_BYTES = 2048;
    static constexpr uint32_t REPLY_BUFF_MIN = 4096;
    static constexpr uint32_t DEFAULT_MAX_PACKAGE_MIB = 10;
    // Longest wait of the last handling for the connection thread to stop reading.
    static constexpr uint32_t RECEIVE_END_WAIT_MS = 5000;

private:
    struct TempFileInfo
    {
        std::string m_FileName;
        bool m_bDeleteOnExit;
    };

    // Consumes the current record from the receive ring once, when it lies there.
    void ConsumeCurrentRecord();
    // Records are framed and handled while the task runs, and once more while it drains.
    bool IsHandling() const { return m_bRunning != 0 || m_bDraining; }
    // Handles every whole record left in the receive ring once the task was told to end.
    void DrainReceiveRing();
    // Inverts a masked body once per record.
    void RestoreMaskedBody();
    void CountRecord(ERecordCounter counter);
    bool IsDiskFull() const;
    // The user-record handlers share everything but their texts and counters.
    template <typename Record> int DealUserRecord(int signCode, const char* name, const char* flowFormat);
    template <typename Record> int DealGatedRecord(int signCode, const char* name, ERecordCounter counter);
    // Applies the length rule and the field ranges of one record type to the current record (its body
    // already restored): 1 when it keeps them all, 0 (logged) at the first it breaks.
    int CheckRecordRules(ELogType kind);

    // One directory push on its way through the steps of Deal_LogudtDB_Log.
    struct DirectoryPush
    {
        const LogudtDBLog* m_pRecord = nullptr;
        int32_t m_Kind = 0;      // UPDATE_TYPE_*, or UPDATE_TYPE_LIMIT for any other kind
        std::string m_FileName;  // the temp file the document is saved to
        bool m_bListed = false;  // the file was in m_TempFiles before this push
        char m_Matched[33] = {}; // our hex form of the digest that matched the sent one
    };
    // The steps of a push, in order; each false ends it (logged).
    bool SaveDirectoryPush(DirectoryPush& push);
    bool VerifyDirectoryPush(DirectoryPush& push);
    bool ApplyDirectoryPush(const DirectoryPush& push);
    void ReplyDirectoryPush(const DirectoryPush& push);
    // Removes the document of a push refused before it was applied.
    void DropDirectoryPush(const DirectoryPush& push);
    // Runs the statements of updatesql.conf.
    void ExecUpdateSql(MYSQL* conn);

    uint32_t m_NodeThreadId = 0;
    CRingCache* m_pRecvRing = nullptr;
    CRingCache* m_pSendRing = nullptr;
    uint32_t m_bSyncReady = 0;
    // The device whose use counter this task added to, if any.
    bool m_bUseCounted = false;
    uint8_t m_UseCountedMD5[16] = {};
    int32_t m_DevType = 0;
    uint8_t m_DevMD5[16] = {};
    std::string m_DbName;
    uint32_t m_LastCanReadSize = 0;
    CQuillbarnLogsWriterManager m_LogsWriterManager;
    std::vector<TempFileInfo> m_TempFiles;
    uint8_t* m_pCurrentRecord = nullptr;
    uint32_t m_CurrentLen = 0;
    uint32_t m_bInPlace = 0;
    bool m_bBodyRestored = false;
    std::vector<uint8_t> m_LinearBuff;
    std::vector<uint8_t> m_ReplyBuff;
    uint32_t m_LastWaitRet = 0;
    // Set while DrainReceiveRing runs: nothing more arrives, and no reply can leave any more.
    bool m_bDraining = false;
    std::atomic<bool> m_bReceiving{false};
    std::atomic<uint64_t> m_Counters[COUNTER_COUNT] = {};
};
