// CNodeLogRecordTask, part two: the record checks. Every length rule and every enforced field range
// of every record type is one row of CHECK_RULES; a check restores a masked body, applies the rows of
// its type in table order and refuses the record at the first row it breaks, with that row's line.
#include "intake/NodeLogRecordTask.h"

#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace
{
constexpr const char* TAG = "[CNodeLogRecordTask]";

// A rule reads either a 32-bit field at a byte offset of the record or the record's length.
constexpr uint32_t FIELD_LENGTH = UINT32_MAX;
constexpr uint32_t FIELD_SIZE = sizeof(int32_t);

constexpr WireRange LengthIs(uint32_t length)
{
    return WireRange{static_cast<int32_t>(length), static_cast<int32_t>(length)};
}
// The upper end of a variable length is the framing's business (GetMaxRecordSize).
constexpr WireRange LengthAtLeast(uint32_t length)
{
    return WireRange{static_cast<int32_t>(length), INT32_MAX};
}
// The push kind has an upper bound only.
constexpr WireRange RANGE_LOGUDTDB_UPDATETYPE{INT32_MIN, UPDATE_TYPE_LIMIT - 1};
// Unsigned on the wire: read as signed, a size past the limit is either above the top or negative.
constexpr WireRange RANGE_AUDITFILE_EXTRASIZE{0, static_cast<int32_t>(USERAUDITFILE_EXTRA_LIMIT - 1)};

struct CheckRule
{
    ELogType m_Kind;   // the record type whose check applies the rule
    uint32_t m_Field;  // byte offset of the field, or FIELD_LENGTH
    bool m_bNetOrder;  // the field travels big-endian
    WireRange m_Range; // inclusive, compared as signed 32-bit values
    // Logged when the rule is broken, given the value read and the range's lower end (which a length
    // rule's line names as the required or least length).
    const char* m_Message;
};

constexpr CheckRule Length(ELogType kind, WireRange range, const char* message)
{
    return CheckRule{kind, FIELD_LENGTH, false, range, message};
}
constexpr CheckRule Field(ELogType kind, size_t offset, WireRange range, const char* message)
{
    return CheckRule{kind, static_cast<uint32_t>(offset), false, range, message};
}
constexpr CheckRule NetField(ELogType kind, size_t offset, WireRange range, const char* message)
{
    return CheckRule{kind, static_cast<uint32_t>(offset), true, range, message};
}

// The rules of a type are listed together, its length rule first.
constexpr CheckRule CHECK_RULES[] = {
    Length(LOG_TYPE_KEEPALIVE, LengthIs(KEEPALIVE_LOG_LEN),
           "[Check_KeepAlive_Log] Wrong KeepAlive Packge Size = %u\n"),
    Field(LOG_TYPE_KEEPALIVE, offsetof(KeepAliveLog, m_DevType), RANGE_KEEPALIVE_DEVTYPE,
          "[Check_KeepAlive_Log] Wrong KeepAlive Packge DevType\n"),

    Length(LOG_TYPE_USER, LengthIs(USER_LOG_LEN),
           "[Check_User_Log] Wrong User Packge Size = %u Correct Size = %u\n"),
    Field(LOG_TYPE_USER, offsetof(UserLog, m_Action), RANGE_USER_ACTION,
          "[Check_User_Log] Wrong UserLog Action Type = %u\n"),
    Field(LOG_TYPE_USER, offsetof(UserLog, m_Result), RANGE_USER_RESULT,
          "[Check_User_Log] Wrong UserLog Result Type = %d\n"),
    Field(LOG_TYPE_USER, offsetof(UserLog, m_ServiceType), RANGE_USER_SERVICETYPE,
          "[Check_User_Log] Wrong UserLog ServiceType Type = %d\n"),
    Field(LOG_TYPE_USER, offsetof(UserLog, m_ServerAttr), RANGE_USER_SERVERATTR,
          "[Check_User_Log] Wrong UserLog ServerAttribute Type = %d\n"),
    Field(LOG_TYPE_USER, offsetof(UserLog, m_AuthMethod), RANGE_USER_AUTHMETHOD,
          "[Check_User_Log] Wrong UserLog AuthMethod Type = %d\n"),

    Length(LOG_TYPE_USERV2, LengthIs(USER_LOG_V2_LEN),
           "[Check_UserV2_Log] Wrong UserLogV2 Packge Size = %u\n"),
    Field(LOG_TYPE_USERV2, offsetof(UserLogV2, m_Action), RANGE_USER_ACTION,
          "[Check_UserV2_Log] Wrong UserLogV2 Action Type = %d\n"),
    Field(LOG_TYPE_USERV2, offsetof(UserLogV2, m_Result), RANGE_USER_RESULT,
          "[Check_UserV2_Log] Wrong UserLogV2 Result Type = %d\n"),
    Field(LOG_TYPE_USERV2, offsetof(UserLogV2, m_ServiceType), RANGE_USER_SERVICETYPE,
          "[Check_UserV2_Log] Wrong UserLogV2 ServiceType Type = %d\n"),
    Field(LOG_TYPE_USERV2, offsetof(UserLogV2, m_ServerAttr), RANGE_USER_SERVERATTR,
          "[Check_UserV2_Log] Wrong UserLogV2 ServerAttribute Type = %d\n"),
    Field(LOG_TYPE_USERV2, offsetof(UserLogV2, m_AuthMethod), RANGE_USER_AUTHMETHOD,
          "[Check_UserV2_Log] Wrong UserLogV2 AuthMethod Type = %d\n"),

    Length(LOG_TYPE_USERV3, LengthIs(USER_LOG_V3_LEN),
           "[Check_UserV3_Log] Wrong UserLogV3 Packge Size = %u Correct = %u\n"),
    Field(LOG_TYPE_USERV3, offsetof(UserLogV3, m_Action), RANGE_USER_ACTION,
          "[Check_UserV3_Log] Wrong UserLogV3 Action Type = %d\n"),
    Field(LOG_TYPE_USERV3, offsetof(UserLogV3, m_Result), RANGE_USER_RESULT,
          "[Check_UserV3_Log] Wrong UserLogV3 Result Type = %d\n"),
    Field(LOG_TYPE_USERV3, offsetof(UserLogV3, m_ServiceType), RANGE_USER_SERVICETYPE,
          "[Check_UserV3_Log] Wrong UserLogV3 ServiceType Type = %d\n"),
    Field(LOG_TYPE_USERV3, offsetof(UserLogV3, m_ServerAttr), RANGE_USER_SERVERATTR,
          "[Check_UserV3_Log] Wrong UserLogV3 ServerAttribute Type = %d\n"),
    Field(LOG_TYPE_USERV3, offsetof(UserLogV3, m_AuthMethod), RANGE_USER_AUTHMETHOD,
          "[Check_UserV3_Log] Wrong UserLogV3 AuthMethod Type = %d\n"),

    Length(LOG_TYPE_AUDIT, LengthIs(AUDIT_LOG_LEN), "[Check_Audit_Log] Wrong Audit Packge Size = %u\n"),

    Length(LOG_TYPE_ADMIN, LengthIs(ADMIN_LOG_LEN), "[Check_Admin_Log] Wrong Admin Log Packge Size = %u\n"),
    Field(LOG_TYPE_ADMIN, offsetof(AdminLog, m_Action), RANGE_ADMIN_ACTION,
          "[Check_Admin_Log] Wrong Admin Action Type = %d\n"),
    Field(LOG_TYPE_ADMIN, offsetof(AdminLog, m_Entity), RANGE_ADMIN_ENTITY,
          "[Check_Admin_Log] Wrong Admin Entity Type = %d\n"),
    Field(LOG_TYPE_ADMIN, offsetof(AdminLog, m_Result), RANGE_ADMIN_RESULT,
          "[Check_Admin_Log] Wrong Admin Result Type = %d\n"),

    Length(LOG_TYPE_ALARM, LengthIs(ALARM_LOG_LEN), "[Check_Alarm_Log] Wrong Alarm Packge Size = %u\n"),
    Field(LOG_TYPE_ALARM, offsetof(AlarmLog, m_AlarmType), RANGE_ALARM_TYPE,
          "[Check_Alarm_Log] Wrong Alarm Type = %d\n"),

    Length(LOG_TYPE_LOGUDTDB, LengthAtLeast(LOGUDTDB_LOG_MIN_LEN),
           "[Check_LogudtDB_Log] Wrong LogudtDB Packge Size = %u\n"),
    Field(LOG_TYPE_LOGUDTDB, offsetof(LogudtDBLog, m_UpdateType), RANGE_LOGUDTDB_UPDATETYPE,
          "[Check_LogudtDB_Log] Wrong LogudtDB UpdateType Type = %u\n"),

    Length(LOG_TYPE_SYSTEM, LengthIs(SYSTEM_LOG_LEN), "[Check_System_Log] Wrong System Packge Size = %u\n"),
    Field(LOG_TYPE_SYSTEM, offsetof(SystemLog, m_SysLogType), RANGE_SYSTEM_LOGTYPE,
          "[Check_System_Log] Wrong System Log Type = %d\n"),
    Field(LOG_TYPE_SYSTEM, offsetof(SystemLog, m_ProcessType), RANGE_SYSTEM_PROCESSTYPE,
          "[Check_System_Log] Wrong System Process Type = %d\n"),

    Length(LOG_TYPE_USERAUDITFILE, LengthAtLeast(USERAUDITFILE_LOG_MIN_LEN),
           "[Check_UserAuditFile_Log] Wrong UserAuditFile Packge , Size = %u Correct At Least %u\n"),
    Field(LOG_TYPE_USERAUDITFILE, offsetof(UserAuditFileLog, m_OpType), RANGE_AUDITFILE_OPTYPE,
          "[Check_UserAuditFile_Log] Wrong UserAuditFile TransactionOpType Type = %d\n"),
    NetField(LOG_TYPE_USERAUDITFILE, offsetof(UserAuditFileLog, m_ExtraDataSize), RANGE_AUDITFILE_EXTRASIZE,
             "[Check_UserAuditFile_Log] Wrong UserAuditFile ExtraDataSize = %u\n"),
};

// Each type's rules stand together behind its length rule, and every field they read lies within the
// least length that rule lets through: a field rule never reads past the record.
constexpr bool RulesAreWellFormed()
{
    const size_t count = std::size(CHECK_RULES);
    int64_t least = 0;
    for (size_t i = 0; i < count; ++i)
    {
        const CheckRule& rule = CHECK_RULES[i];
        const bool first = i == 0 || CHECK_RULES[i - 1].m_Kind != rule.m_Kind;
        if (first)
        {
            if (rule.m_Field != FIELD_LENGTH || rule.m_Range.m_Min < static_cast<int32_t>(DATA_HEAD_LEN))
                return false;
            for (size_t j = 0; j < i; ++j)
                if (CHECK_RULES[j].m_Kind == rule.m_Kind)
                    return false;
            least = rule.m_Range.m_Min;
        }
        else if (rule.m_Field == FIELD_LENGTH || rule.m_Field + FIELD_SIZE > least)
        {
            return false;
        }
    }
    return true;
}
static_assert(RulesAreWellFormed(), "check rules: one group per type, length rule first, fields inside");
} // namespace

void CNodeLogRecordTask::RestoreMaskedBody()
{
    if (m_pCurrentRecord == nullptr || m_bBodyRestored)
        return;
    m_bBodyRestored = true;
    const DataHead* head = reinterpret_cast<const DataHead*>(m_pCurrentRecord);
    if (head->m_Masked != 0)
        wire::InvertBody(m_pCurrentRecord, m_CurrentLen);
}

int CNodeLogRecordTask::CheckRecordRules(ELogType kind)
{
    const CheckRule* rule = std::find_if(std::begin(CHECK_RULES), std::end(CHECK_RULES),
                                         [kind](const CheckRule& r) { return r.m_Kind == kind; });
    for (; rule != std::end(CHECK_RULES) && rule->m_Kind == kind; ++rule)
    {
        int32_t value;
        int32_t compared;
        if (rule->m_Field == FIELD_LENGTH)
        {
            // The line shows the length as it is; compared, a length beyond the signed range stays on top.
            value = static_cast<int32_t>(m_CurrentLen);
            compared = static_cast<int32_t>(std::min<uint32_t>(m_CurrentLen, INT32_MAX));
        }
        else
        {
            uint32_t raw;
            std::memcpy(&raw, m_pCurrentRecord + rule->m_Field, sizeof(raw));
            value = static_cast<int32_t>(rule->m_bNetOrder ? wire::NetToHost32(raw) : raw);
            compared = value;
        }
        if (!rule->m_Range.Contains(compared))
        {
            QB_LOG(PL_WARN, TAG, rule->m_Message, value, rule->m_Range.m_Min);
            CInfoManager::GetInstance()->Count(rule->m_Field == FIELD_LENGTH
                                                   ? CInfoManager::INFO_REFUSED_BAD_LENGTH
                                                   : CInfoManager::INFO_REFUSED_RANGE);
            return 0;
        }
    }
    return 1;
}

int CNodeLogRecordTask::Check_Record_Present(int)
{
    return m_pCurrentRecord != nullptr ? 1 : 0;
}

int CNodeLogRecordTask::Check_KeepAlive_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    // The watchdog's probe passes at any length.
    const KeepAliveLog* r = reinterpret_cast<const KeepAliveLog*>(m_pCurrentRecord);
    if (std::memcmp(r->m_Head.m_DevMD5, PROBE_TAG, PROBE_TAG_LEN) == 0)
        return 1;
    return CheckRecordRules(LOG_TYPE_KEEPALIVE);
}

int CNodeLogRecordTask::Check_User_Log(int signCode)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    if (m_CurrentLen == USER_LOG_V2_LEN)
    {
        QB_LOG(PL_WARN, TAG, "[Check_User_Log] Warn: Maybe Old Ver M4.3 Ssllogs!!!\n");
        return Check_UserV2_Log(signCode);
    }
    return CheckRecordRules(LOG_TYPE_USER);
}

int CNodeLogRecordTask::Check_UserV2_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_USERV2);
}

int CNodeLogRecordTask::Check_UserV3_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_USERV3);
}

int CNodeLogRecordTask::Check_Audit_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_AUDIT);
}

int CNodeLogRecordTask::Check_Admin_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_ADMIN);
}

int CNodeLogRecordTask::Check_Alarm_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_ALARM);
}

int CNodeLogRecordTask::Check_LogudtDB_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_LOGUDTDB);
}

int CNodeLogRecordTask::Check_System_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_SYSTEM);
}

int CNodeLogRecordTask::Check_UserAuditFile_Log(int)
{
    if (m_pCurrentRecord == nullptr)
        return 0;
    RestoreMaskedBody();
    return CheckRecordRules(LOG_TYPE_USERAUDITFILE);
}
