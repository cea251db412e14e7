#include "writers/DataFileLogWriter.h"

CDataFileLogWriter::~CDataFileLogWriter() = default;

int CDataFileLogWriter::Init()
{
    return 1;
}

void CDataFileLogWriter::UnInit() {}

uint32_t CDataFileLogWriter::WriteLog(int, const SystemLog* record, void*)
{
    (void)record;
    return 0;
}

uint32_t CDataFileLogWriter::WriteLog(int, const UserLogV3* record, void*)
{
    (void)record;
    return 0;
}

uint32_t CDataFileLogWriter::WriteLog(int signCode, const UserLogV2* record, void* extra)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CDataFileLogWriter::WriteLog(int signCode, const UserLog* record, void* extra)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CDataFileLogWriter::WriteLog(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    if (desc->m_LogType < int32_t(LOG_TYPE_USER) || desc->m_LogType > int32_t(LOG_TYPE_USERV3))
        return 0;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_USER:
    case LOG_TYPE_SYSTEM:
    case LOG_TYPE_USERV2:
    case LOG_TYPE_USERV3:
        return DispatchToTypedSlot(desc, extra);
    default:
        return 0;
    }
}

void CDataFileLogWriter::SetDbName(const char* dbName)
{
    CCSLocker lock(m_Lock);
    m_DbName = dbName != nullptr ? dbName : "";
}

std::string CDataFileLogWriter::GetDbName()
{
    CCSLocker lock(m_Lock);
    return m_DbName;
}

void CDataFileLogWriter::OnQuit() {}
