// The final writer's audit-file side: begin, block, end and rollback of an upload, with the files
// under the web server's upload directory and their rows in usrfileauditlog. Runs on the record task's
// thread of the sending device; the transfers themselves live in CAuditFileManager.
#pragma once

#include "protocol/WireProtocol.h"
#include "writers/AuditFileManager.h"
#include "writers/BaseLogWriter.h"

#include <cstdint>
#include <functional>
#include <string>

#include <mysql.h>

class CAuditFileReception
{
public:
    // Runs `body` on the owner's database connection, made usable first and used by nobody else
    // meanwhile; false when no connection could be had.
    using ConnectionRunner = std::function<bool(const std::function<void(MYSQL*)>& body)>;

    CAuditFileReception() = default;
    ~CAuditFileReception() = default;
    CAuditFileReception(const CAuditFileReception&) = delete;
    CAuditFileReception& operator=(const CAuditFileReception&) = delete;

    // Without a runner the insert opens a connection of its own for the statement.
    void SetConnectionRunner(ConnectionRunner runner) { m_RunOnConnection = std::move(runner); }

    // The audit-file WriteLog of the final writer: replyBuff is a LogReplyBuffHead followed by its
    // data; dbName the writer's database name.
    uint32_t WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff,
                      const std::string& dbName);

    // Method 3 blocks. Result 0 on success (outLen = bytes produced, at most outLen on entry) or the
    // decoder's code: -4 input overrun, -5 output overrun, -6 distance before the output's start, -7 no
    // end marker, -8 input left after the end marker.
    static int DecompressBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t& outLen);

    // A block never expands beyond this, whatever block size a device names.
    static constexpr uint32_t MAX_BLOCK_BYTES = 64u * 1024 * 1024;
    static constexpr uint32_t WRITE_WAIT_MS = 1000;
    static constexpr uint32_t CONFLICT_SUFFIX_MAX = 10000;
    static constexpr int MAKE_SQL_OK_TRIES = 2;
    static constexpr uint32_t MAKE_SQL_OK_SLEEP_MS = 100;

private:
    int OnBeginUserAuditFile(const UserAuditFileLog* record, LogReplyBuffHead* reply,
                             const std::string& dbName);
    int OnTransmissionUserAuditFile(const UserAuditFileLog* record);
    int OnEndUserAuditFile(const UserAuditFileLog* record, LogReplyBuffHead* reply);
    int OnRollbackUserAuditFile(const UserAuditFileLog* record);

    int GetAndCreateAduitFileFullPathFile(AuditFileInfo* info, const UserAuditFileLog* record);
    // One block of a transmission: checked, filled into the transfer's buffer, written at its place.
    int DoWriteAuditFileData(AuditFileInfo* info, const UserAuditFileLog* record);
    struct BlockRequest
    {
        uint64_t m_Offset = 0; // where the block starts in the file
        uint32_t m_Size = 0;   // its bytes once decompressed
        uint32_t m_Method = 0; // compression method, as sent
    };
    // The steps of a block write, in order. Check and fill: 1 goes on, 0 refused (through RefuseBlock);
    // write: the block's result, 1 also while the write is still in flight.
    static int CheckBlock(AuditFileInfo* info, const UserAuditFileLog* record, BlockRequest& block);
    static int FillBlock(AuditFileInfo* info, const UserAuditFileLog* record, const BlockRequest& block);
    int WriteBlock(AuditFileInfo* info, const BlockRequest& block);
    // Every refused block ends here: the line is logged, the block's byte range forgotten; returns 0.
    static int RefuseBlock(AuditFileInfo* info, uint32_t level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    int FinishLastAsyncWrite(AuditFileInfo* info);
    static int UpdateAuditFileBlockInfo(AuditFileInfo* info);
    int InsertUserAuditLog(AuditFileInfo* info);
    // Finishes the write still in flight of another transfer of this device, so that one device holds
    // at most one block buffer in flight.
    void FinishOtherPendingWrite(uint32_t currentFileId);

    static void Answer(LogReplyBuffHead* reply, const UserAuditFileLog* request, int32_t result,
                       int32_t reason, uint32_t fileId, uint32_t firstLost = 0, uint32_t lostCount = 0);
    // A failed begin: its half-made file removed and its entry released.
    static void DropFailedBegin(AuditFileInfo* info);

    ConnectionRunner m_RunOnConnection;
    uint32_t m_LastPendingFileID = 0;
};
