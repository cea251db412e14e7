#include "writers/LogMergerLogWriter.h"

#include "config/ConfigManager.h"
#include "writers/LogMergeManager.h"
#include "writers/LogMerger.h"

CLogMergerLogWriter::~CLogMergerLogWriter()
{
    UnInit();
}

int CLogMergerLogWriter::Init()
{
    if (m_pLogMerger != nullptr)
        UnInit();
    m_pLogMerger = CLogMergeManager::GetInstance()->AllocLogMerger();
    if (m_pLogMerger == nullptr)
        return 0;
    m_pLogMerger->SetOwner(this);
    return m_pLogMerger->Init();
}

void CLogMergerLogWriter::UnInit()
{
    if (m_pLogMerger == nullptr)
        return;
    m_pLogMerger->UnInit();
    // A merger the registry no longer knows (registry already stopped) is still ours to destroy.
    if (!CLogMergeManager::GetInstance()->ReleaseLogMerger(m_pLogMerger) &&
        !CLogMergeManager::GetInstance()->IsInit())
        delete m_pLogMerger;
    m_pLogMerger = nullptr;
}

bool CLogMergerLogWriter::CanMerge() const
{
    if (m_pLogMerger == nullptr || !m_pLogMerger->IsInit())
        return false;
    return m_pLogMerger->HasMergeBuffers() ||
           CConfigManager::GetInstance()->KelvAdv().m_GlobalEnableLogMerge != 0;
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const SystemLog* record, void*)
{
    if (record == nullptr || m_pLogMerger == nullptr)
        return 0;
    return m_pLogMerger->MergeSysLog(signCode, record);
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const UserLogV3* record, void*)
{
    if (record == nullptr || m_pLogMerger == nullptr)
        return 0;
    return m_pLogMerger->MergeUserLog(signCode, record);
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const UserLogV2* record, void* extra)
{
    // Converting costs a copy; only worth it when the merger could take the result.
    if (record == nullptr || !CanMerge())
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, extra);
}

uint32_t CLogMergerLogWriter::WriteLog(int signCode, const UserLog* record, void* extra)
{
    if (record == nullptr || !CanMerge())
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

void CLogMergerLogWriter::OnQuit()
{
    if (m_pLogMerger != nullptr)
        m_pLogMerger->OnQuit();
}
