#include "app/Quillbarn.h"

#include "app/CrashHandler.h"
#include "app/ServiceModule.h"
#include "config/ConfigManager.h"
#include "config/ConfigMonitorTask.h"
#include "config/DiskSpace.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/TaskManager.h"
#include "intake/DataCenterListenTask.h"
#include "intake/SvpnNodeManager.h"
#include "maintenance/InfoRetrieveTask.h"
#include "maintenance/MetricsTask.h"
#include "platform/MessageQueue.h"
#include "platform/SocketManager.h"
#include "storage/DataFileManager.h"
#include "storage/SQLConnManager.h"
#include "writers/AuditFileManager.h"
#include "writers/LogMergeManager.h"
#include "writers/PendingSqlHolder.h"

CQuillbarn* CQuillbarn::GetInstance()
{
    static CQuillbarn* instance = new CQuillbarn();
    return instance;
}

void CQuillbarn::InstallCrashFilter()
{
    CCrashHandler::Install();
}

bool CQuillbarn::StartMainThread()
{
    if (m_hMainThread && !m_hMainThread->HasEnded())
        return true;
    m_hMainThread = platform::CreateThread([this] { return QuillbarnMain(this); });
    return static_cast<bool>(m_hMainThread);
}

void CQuillbarn::SignalStop()
{
    CTaskManager::GetInstance()->StopAllTask();
    CGlobalSharedData::GetInstance()->GetExitEvent()->Set();
}

bool CQuillbarn::WaitMainThread(uint32_t timeoutMs)
{
    if (!m_hMainThread)
        return true;
    if (platform::WaitForSingleObject(m_hMainThread.get(), timeoutMs) == platform::WAIT_OBJECT_0)
        return true;
    QB_LOG(PL_ERROR, "[CQuillbarn]", "[WaitMainThread] Main Thread Did Not End In %u ms\n", timeoutMs);
    platform::TerminateThread(m_hMainThread, 0xFFFFFFFF);
    return false;
}

namespace
{
// The managers in start order; stopping goes through UnInitManagers.
bool InitManagers()
{
    CInfoManager::GetInstance()->AddRealTimeInfoFunc("DiskSpace", DISK_SPACE_PERIOD_MS,
                                                     &RealTimeInfo_DiskSpace);
    return CConfigManager::GetInstance()->Init() && CBuffManager::GetInstance()->Init() &&
           CSocketManager::GetInstance()->Init() && CSQLConnManager::GetInstance()->Init() &&
           CPendingSqlHolder::GetInstance()->Init() && CDataFileManager::GetInstance()->Init() &&
           CLogMergeManager::GetInstance()->Init() && CSvpnNodeManager::GetInstance()->Init() &&
           CTaskManager::GetInstance()->Init() && CInfoManager::GetInstance()->Init() &&
           CAuditFileManager::GetInstance()->Init();
}
} // namespace

bool CQuillbarn::StartTopLevelTasks()
{
    // Each starts only if the one before was added; a task that could not be
    // added stays ours to destroy.
    CTaskManager* tasks = CTaskManager::GetInstance();
    auto add = [tasks](CTask* task, CTask*& slot)
    {
        task->m_bAutoDelete = 1;
        if (!tasks->AddTask(task))
        {
            delete task;
            return false;
        }
        slot = task;
        return true;
    };
    return add(new CDataCenterListenTask(), m_pListenTask) &&
           add(new CConfigMonitorTask(), m_pConfigMonitorTask) &&
           add(new CInfoRetrieveTask(), m_pInfoRetrieveTask) && add(new CMetricsTask(), m_pMetricsTask);
}

void CQuillbarn::UnInitManagers()
{
    CAuditFileManager::GetInstance()->UnInit();
    CTaskManager::GetInstance()->UnInit();
    CSvpnNodeManager::GetInstance()->UnInit();
    CLogMergeManager::GetInstance()->UnInit();
    CDataFileManager::GetInstance()->UnInit();
    // After the device connections, which hand it their last statements; before the SQL connections.
    CPendingSqlHolder::GetInstance()->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
    CSocketManager::GetInstance()->UnInit();
    CInfoManager::GetInstance()->UnInit();
    CConfigManager::GetInstance()->UnInit();
    CBuffManager::GetInstance()->UnInit();
    CProgramLogRecorder::GetInstance()->UnInit();
}

uint32_t CQuillbarn::QuillbarnMain(CQuillbarn* instance)
{
    if (instance == nullptr)
        return 0;
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (shared->Init() && CProgramLogRecorder::GetInstance()->Init() && InitManagers() &&
        instance->StartTopLevelTasks())
    {
        shared->WaitForExit(platform::INFINITE);
        CTaskManager* tasks = CTaskManager::GetInstance();
        tasks->WaitForAllTask(platform::INFINITE);
        for (CTask** task : {&instance->m_pListenTask, &instance->m_pConfigMonitorTask,
                             &instance->m_pInfoRetrieveTask, &instance->m_pMetricsTask})
        {
            if (*task)
                tasks->DelTask(*task);
            *task = nullptr;
        }
        CSvpnNodeManager::GetInstance()->WaitForAllSvpnNode(platform::INFINITE);
        QB_LOG(PL_INFO, "[CQuillbarn]", "[QuillbarnMain] Exit Normally.\n");
    }
    CServiceModule::GetInstance()->PostQuit();
    return 0;
}
