#include "writers/LogMergerLogWriter.h"

CLogMergerLogWriter::~CLogMergerLogWriter() = default;

int CLogMergerLogWriter::Init()
{
    m_bHasMerger = false;
    return 1;
}

void CLogMergerLogWriter::UnInit()
{
    m_bHasMerger = false;
}

uint32_t CLogMergerLogWriter::WriteLog(int, const SystemLog* record, void*)
{
    if (record == nullptr || !m_bHasMerger)
        return 0;
    return 0;
}

uint32_t CLogMergerLogWriter::WriteLog(int, const UserLogV3* record, void*)
{
    if (record == nullptr || !m_bHasMerger)
        return 0;
    return 0;
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const UserLogV2* record, void* extra)
{
    // Converting costs a copy; only worth it when a merger could take the result.
    if (record == nullptr || !m_bHasMerger)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, extra);
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const UserLog* record, void* extra)
{
    if (record == nullptr || !m_bHasMerger)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, extra);
}

uint32_t CLogMergerLogWriter::WriteLog(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_USER:
    case LOG_TYPE_SYSTEM:
    case LOG_TYPE_USERV2:
        return DispatchToTypedSlot(desc, extra);
    default:
        return 0;
    }
}

void CLogMergerLogWriter::OnQuit() {}
