#include "writers/QuillbarnLogsWriterManager.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"

namespace
{
constexpr const char* TAG = "[CQuillbarnLogsWriterManager]";
}

CQuillbarnLogsWriterManager::~CQuillbarnLogsWriterManager()
{
    m_WriterChain.clear();
}

void CQuillbarnLogsWriterManager::InstallLogWriterChain()
{
    m_WriterChain.clear();
    AppendLogWriter(&m_LogMergerLogWriter);
    AppendLogWriter(&m_DataFileLogWriter);
    AppendLogWriter(&m_FinalLogWriter);
}

void CQuillbarnLogsWriterManager::AppendLogWriter(CBaseLogWriter* writer)
{
    if (writer == nullptr)
        return;
    m_WriterChain.push_back(writer);
    int ok = writer->Init();
    {
        // The class name and the line are produced under the type-name lock (re-entrant).
        CCSLocker lock(CGlobalSharedData::GetInstance()->GetTypeNameLock());
        std::string name = writer->GetClassName();
        if (ok == 0)
            QB_LOG(PL_WARN, TAG, "[InstallLogWriterChain] Fail To Call Log Writer Init(). Name = %s\n",
                   name.c_str());
        else
            QB_LOG(PL_DEBUG, TAG, "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = %s\n",
                   name.c_str());
    }
    writer->SetLogsWriterManager(this);
}

void CQuillbarnLogsWriterManager::UnInstallLogWriterChain()
{
    for (CBaseLogWriter* writer : m_WriterChain)
        if (writer != nullptr)
            writer->UnInit();
    m_WriterChain.clear();
}

template <typename Record>
uint32_t CQuillbarnLogsWriterManager::WalkChain(int signCode, const Record* record, void* extra)
{
    for (CBaseLogWriter* writer : m_WriterChain)
    {
        if (writer == nullptr)
            continue;
        uint32_t result = writer->WriteLog(signCode, record, extra);
        if (result != 0)
            return result;
    }
    return 0;
}

uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff)
{
    return WalkChain(signCode, record, replyBuff);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const KeepAliveLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const SystemLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const AlarmLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const AuditLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const AdminLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const UserLogV3* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const UserLogV2* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}
uint32_t CQuillbarnLogsWriterManager::WriteLog(int signCode, const UserLog* record, void* extra)
{
    return WalkChain(signCode, record, extra);
}

uint32_t CQuillbarnLogsWriterManager::WriteLog(const LogRecordDesc* desc, void* extra)
{
    for (CBaseLogWriter* writer : m_WriterChain)
    {
        if (writer == nullptr)
            continue;
        uint32_t result = writer->WriteLog(desc, extra);
        if (result != 0)
            return result;
    }
    return 0;
}

void CQuillbarnLogsWriterManager::SetDbName(const char* dbName)
{
    if (dbName == nullptr)
        return;
    for (CBaseLogWriter* writer : m_WriterChain)
        if (writer != nullptr)
            writer->SetDbName(dbName);
}

void CQuillbarnLogsWriterManager::OnQuit()
{
    for (CBaseLogWriter* writer : m_WriterChain)
        if (writer != nullptr)
            writer->OnQuit();
}

uint32_t CQuillbarnLogsWriterManager::PassLogToNextWriter(CBaseLogWriter* start, const LogRecordDesc* desc,
                                                          void* extra)
{
    if (start == nullptr || desc == nullptr)
        return 0;
    auto it = m_WriterChain.begin();
    while (it != m_WriterChain.end() && *it != start)
        ++it;
    if (it == m_WriterChain.end())
        return 0;
    uint32_t result = 0;
    for (++it; it != m_WriterChain.end(); ++it)
    {
        if (*it == nullptr)
            continue;
        result = (*it)->WriteLog(desc, extra);
        if (result == 1)
            return 1;
    }
    return result;
}
