// A log writer: one link of the chain through which every validated device record leaves its record
// task. A writer answers 0 when it does not take a record (the next writer is offered it) and non-zero
// when it took it. Records are lent for the duration of a call only; a writer that keeps data copies it.
#pragma once

#include "protocol/WireProtocol.h"

#include <cstdint>
#include <string>

class CQuillbarnLogsWriterManager;

// A record with the two facts needed to route it: its type code and the sign code of its stream.
struct LogRecordDesc
{
    int32_t m_LogType;     // wire type code (ELogType)
    int32_t m_SignCode;    // SIGN_CODE_1111 or SIGN_CODE_0500, carried along unchanged
    const void* m_pRecord; // the whole record in wire layout, head included
};

// Head of the reply buffer that the record task lends with every audit-file step: the writer puts
// complete reply records into the data that follows and sets the length; the task sends that many bytes.
struct LogReplyBuffHead
{
    uint32_t m_Capacity; // bytes of data after this head
    uint32_t m_Length;   // bytes of reply written, 0 for none
};

class CBaseLogWriter
{
public:
    CBaseLogWriter() = default;
    virtual ~CBaseLogWriter();
    CBaseLogWriter(const CBaseLogWriter&) = delete;
    CBaseLogWriter& operator=(const CBaseLogWriter&) = delete;

    // Non-zero on success.
    virtual int Init();
    virtual void UnInit();

    // Typed slots, one per record kind. extra is the reply buffer for audit-file steps, null otherwise.
    virtual uint32_t WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff);
    virtual uint32_t WriteLog(int signCode, const KeepAliveLog* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const SystemLog* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const AlarmLog* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const AuditLog* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const AdminLog* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra);
    virtual uint32_t WriteLog(int signCode, const UserLog* record, void* extra);
    // Generic slot: routes a descriptor to the typed slot of its type code.
    virtual uint32_t WriteLog(const LogRecordDesc* desc, void* extra);

    virtual void SetDbName(const char* dbName);
    virtual void SetLogsWriterManager(CQuillbarnLogsWriterManager* manager);
    // Offers a record to the writers behind this one in its chain (used by writers that hold records
    // back and release them later). 0 without a chain.
    virtual uint32_t PassLogToNextWriter(const LogRecordDesc* desc, void* extra);
    virtual void OnQuit();

    CQuillbarnLogsWriterManager* GetLogsWriterManager() const { return m_pLogsWriterManager; }
    // Run-time class name ("class CFinalLogWriter"), looked up under the type-name lock.
    std::string GetClassName() const;

    // Layout conversions shared by the writers. User records of versions 1 and 2 are stored in the
    // version-3 layout: head copied with type 11 and length 824, 32-bit counters sign-extended; a
    // version-1 record has no raw counters and takes its up and down counters as raw ones.
    static void ConvertToUserLogV3(const UserLog& in, UserLogV3& out);
    static void ConvertToUserLogV3(const UserLogV2& in, UserLogV3& out);
    // An audit record is stored as an administrator record: head copied, group -1, action 4, entity 7,
    // result 0, the audit record's client address (wire order), empty name, the audit message.
    static void ConvertToAdminLog(const AuditLog& in, AdminLog& out);

    // Helpers of the storing writers.
    // record_id of the user-log rows: (millisecond timer << 32) | (next sequence number mod 2147483647,
    // the remainder taken with the sign of the 32-bit sequence value). Fresh per record.
    static int64_t MakeRecordId();
    // A fixed-size text field of a record (UTF-8, ends at its terminator or at the end of the field)
    // converted to GBK. False when no conversion is possible.
    static bool RecordTextToGbk(const char* field, size_t fieldSize, std::string& gbk);
    // The head's date and time words as "%4d-%02d-%02d %02d:%02d:%02d".
    static bool RecordTimeText(const DataHead& head, std::string& text);
    // printf into a string of whatever length the text needs.
    static std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

    static constexpr int32_t AUDIT_AS_ADMIN_GROUP = -1;
    static constexpr int32_t AUDIT_AS_ADMIN_ACTION = 4;
    static constexpr int32_t AUDIT_AS_ADMIN_ENTITY = 7;
    static constexpr int32_t AUDIT_AS_ADMIN_RESULT = 0;

protected:
    // Calls the typed slot that matches desc->m_LogType; 0 for a type without one. The writers'
    // generic slots check their own type lists first and then come here.
    uint32_t DispatchToTypedSlot(const LogRecordDesc* desc, void* extra);

    CQuillbarnLogsWriterManager* m_pLogsWriterManager = nullptr;
};
