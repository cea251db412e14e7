#include "writers/BaseLogWriter.h"

#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "platform/Tick.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <typeinfo>

CBaseLogWriter::~CBaseLogWriter()
{
    m_pLogsWriterManager = nullptr;
}

int CBaseLogWriter::Init()
{
    return 1;
}

void CBaseLogWriter::UnInit() {}

uint32_t CBaseLogWriter::WriteLog(int, const UserAuditFileLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const KeepAliveLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const SystemLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const AlarmLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const AuditLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const AdminLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const UserLogV3*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const UserLogV2*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(int, const UserLog*, void*)
{
    return 0;
}
uint32_t CBaseLogWriter::WriteLog(const LogRecordDesc*, void*)
{
    return 0;
}

void CBaseLogWriter::SetDbName(const char*) {}

void CBaseLogWriter::SetLogsWriterManager(CQuillbarnLogsWriterManager* manager)
{
    m_pLogsWriterManager = manager;
}

uint32_t CBaseLogWriter::PassLogToNextWriter(const LogRecordDesc* desc, void* extra)
{
    if (m_pLogsWriterManager == nullptr)
        return 0;
    return m_pLogsWriterManager->PassLogToNextWriter(this, desc, extra);
}

void CBaseLogWriter::OnQuit() {}

std::string CBaseLogWriter::GetClassName() const
{
    CCSLocker lock(CGlobalSharedData::GetInstance()->GetTypeNameLock());
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = std::string("class ") + (status == 0 && demangled ? demangled : mangled);
    free(demangled);
    return name;
}

uint32_t CBaseLogWriter::DispatchToTypedSlot(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    const int sign = desc->m_SignCode;
    const void* r = desc->m_pRecord;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_KEEPALIVE:
        return WriteLog(sign, static_cast<const KeepAliveLog*>(r), extra);
    case LOG_TYPE_USER:
        return WriteLog(sign, static_cast<const UserLog*>(r), extra);
    case LOG_TYPE_AUDIT:
        return WriteLog(sign, static_cast<const AuditLog*>(r), extra);
    case LOG_TYPE_ADMIN:
        return WriteLog(sign, static_cast<const AdminLog*>(r), extra);
    case LOG_TYPE_ALARM:
        return WriteLog(sign, static_cast<const AlarmLog*>(r), extra);
    case LOG_TYPE_SYSTEM:
        return WriteLog(sign, static_cast<const SystemLog*>(r), extra);
    case LOG_TYPE_USERV2:
        return WriteLog(sign, static_cast<const UserLogV2*>(r), extra);
    case LOG_TYPE_USERV3:
        return WriteLog(sign, static_cast<const UserLogV3*>(r), extra);
    case LOG_TYPE_USERAUDITFILE:
        return WriteLog(sign, static_cast<const UserAuditFileLog*>(r), extra);
    default:
        return 0;
    }
}

namespace
{
// Offsets 42..275 are the same in every user-log version.
void CopyUserCommon(const void* in, UserLogV3& out)
{
    std::memcpy(&out, in, sizeof(UserLogCommon));
    out.m_Head.m_LogType = wire::HostToLe32(LOG_TYPE_USERV3);
    out.m_Head.m_DataLen = wire::HostToLe32(USER_LOG_V3_LEN);
}
} // namespace

void CBaseLogWriter::ConvertToUserLogV3(const UserLog& in, UserLogV3& out)
{
    std::memset(&out, 0, sizeof(out));
    CopyUserCommon(&in, out);
    out.m_UpFlux = in.m_UpFlux;
    out.m_DownFlux = in.m_DownFlux;
    out.m_RawUpFlux = in.m_UpFlux;
    out.m_RawDownFlux = in.m_DownFlux;
    std::memcpy(out.m_Message, in.m_Message, sizeof(out.m_Message));
}

void CBaseLogWriter::ConvertToUserLogV3(const UserLogV2& in, UserLogV3& out)
{
    std::memset(&out, 0, sizeof(out));
    CopyUserCommon(&in, out);
    out.m_UpFlux = in.m_UpFlux;
    out.m_DownFlux = in.m_DownFlux;
    out.m_RawUpFlux = in.m_RawUpFlux;
    out.m_RawDownFlux = in.m_RawDownFlux;
    std::memcpy(out.m_Message, in.m_Message, sizeof(out.m_Message));
}

void CBaseLogWriter::ConvertToAdminLog(const AuditLog& in, AdminLog& out)
{
    std::memset(&out, 0, sizeof(out));
    out.m_Head = in.m_Head;
    out.m_Reserved1 = AUDIT_AS_ADMIN_GROUP;
    out.m_Action = AUDIT_AS_ADMIN_ACTION;
    out.m_Entity = AUDIT_AS_ADMIN_ENTITY;
    out.m_Result = AUDIT_AS_ADMIN_RESULT;
    out.m_Address = in.m_Address;
    // The audit message ends at its terminator or at the end of the record.
    size_t n = strnlen(in.m_Message, sizeof(in.m_Message));
    std::memcpy(out.m_Message, in.m_Message, n);
}

int64_t CBaseLogWriter::MakeRecordId()
{
    const uint64_t tick = platform::timeGetTime();
    const int32_t sequence = static_cast<int32_t>(CGlobalSharedData::GetInstance()->GetNextSequence());
    const int64_t low = sequence % 2147483647;
    return static_cast<int64_t>(tick << 32) | low;
}

bool CBaseLogWriter::RecordTextToGbk(const char* field, size_t fieldSize, std::string& gbk)
{
    gbk.clear();
    if (field == nullptr)
        return false;
    return Utf8ToGbkString(field, strnlen(field, fieldSize), gbk);
}

bool CBaseLogWriter::RecordTimeText(const DataHead& head, std::string& text)
{
    char buffer[64];
    if (!TranslateDWORDTimeToSZ(wire::GetDateWord(head), wire::GetTimeWord(head), buffer, sizeof(buffer)))
        return false;
    text = buffer;
    return true;
}

std::string CBaseLogWriter::FormatText(const char* format, ...)
{
    std::string text;
    char small[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (n < 0)
        return text;
    if (static_cast<size_t>(n) < sizeof(small))
        return text.assign(small, static_cast<size_t>(n));
    text.resize(static_cast<size_t>(n) + 1);
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(n));
    return text;
}
