#include "runtime/Quillbarn.h"

#include "config/ConfigManager.h"
#include "platform/MessageQueue.h"
#include "runtime/BuffManager.h"
#include "runtime/GlobalSharedData.h"
#include "runtime/ProgramLogRecorder.h"
#include "runtime/ServiceModule.h"
#include "runtime/TaskManager.h"
#include "storage/SQLConnManager.h"

CQuillbarn* CQuillbarn::GetInstance()
{
    static CQuillbarn* instance = new CQuillbarn();
    return instance;
}

void CQuillbarn::InstallCrashFilter() {}

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
    return CConfigManager::GetInstance()->Init() && CBuffManager::GetInstance()->Init() &&
           CSQLConnManager::GetInstance()->Init() && CTaskManager::GetInstance()->Init();
}
} // namespace

void CQuillbarn::UnInitManagers()
{
    CTaskManager::GetInstance()->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
    CConfigManager::GetInstance()->UnInit();
    CBuffManager::GetInstance()->UnInit();
    CProgramLogRecorder::GetInstance()->UnInit();
}

uint32_t CQuillbarn::QuillbarnMain(CQuillbarn* instance)
{
    if (instance == nullptr)
        return 0;
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (shared->Init() && CProgramLogRecorder::GetInstance()->Init() && InitManagers())
    {
        // Top-level tasks join here as their subsystems arrive.
        shared->WaitForExit(platform::INFINITE);
        CTaskManager* tasks = CTaskManager::GetInstance();
        tasks->WaitForAllTask(platform::INFINITE);
        for (CTask** task : {&instance->m_pListenTask, &instance->m_pConfigMonitorTask, &instance->m_pInfoRetrieveTask})
        {
            if (*task)
                tasks->DelTask(*task);
            *task = nullptr;
        }
        QB_LOG(PL_INFO, "[CQuillbarn]", "[QuillbarnMain] Exit Normally.\n");
    }
    CServiceModule::GetInstance()->PostQuit();
    return 0;
}
