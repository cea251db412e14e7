#include "writers/FinalLogWriter.h"

CFinalLogWriter::~CFinalLogWriter() = default;

int CFinalLogWriter::Init()
{
    return 1;
}

void CFinalLogWriter::UnInit() {}

uint32_t CFinalLogWriter::WriteLog(int, const UserAuditFileLog*, void*)
{
    return 0;
}
uint32_t CFinalLogWriter::WriteLog(int, const KeepAliveLog*, void*)
{
    return 0;
}
uint32_t CFinalLogWriter::WriteLog(int, const SystemLog*, void*)
{
    return 0;
}
uint32_t CFinalLogWriter::WriteLog(int, const AlarmLog*, void*)
{
    return 0;
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const AuditLog* record, void*)
{
    if (record == nullptr)
        return 0;
    AdminLog admin;
    ConvertToAdminLog(*record, admin);
    return WriteLog(signCode, &admin, nullptr);
}

uint32_t CFinalLogWriter::WriteLog(int, const AdminLog*, void*)
{
    return 0;
}
uint32_t CFinalLogWriter::WriteLog(int, const UserLogV3*, void*)
{
    return 0;
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const UserLogV2* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CFinalLogWriter::WriteLog(int signCode, const UserLog* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CFinalLogWriter::WriteLog(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    if (desc->m_LogType < 0 || desc->m_LogType >= int32_t(LOG_TYPE_USERAUDITFILE))
        return 0;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_KEEPALIVE:
    case LOG_TYPE_USER:
    case LOG_TYPE_AUDIT:
    case LOG_TYPE_ADMIN:
    case LOG_TYPE_ALARM:
    case LOG_TYPE_SYSTEM:
    case LOG_TYPE_USERV2:
    case LOG_TYPE_USERV3:
        return DispatchToTypedSlot(desc, extra);
    default:
        return 0;
    }
}

void CFinalLogWriter::SetDbName(const char* dbName)
{
    CCSLocker lock(m_Lock);
    m_DbName = dbName != nullptr ? dbName : "";
}

std::string CFinalLogWriter::GetDbName()
{
    CCSLocker lock(m_Lock);
    return m_DbName;
}

void CFinalLogWriter::OnQuit() {}
