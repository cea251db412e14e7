#include "core/Task.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Tick.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

CTask::~CTask()
{
    m_hThread.reset();
    m_bRunning = 0;
    m_ThreadId = 0;
}

bool CTask::Init()
{
    m_Status = STATUS_INIT;
    return true;
}

bool CTask::UnInit()
{
    m_StopEvent.Set();
    m_hThread.reset();
    m_ThreadId = 0;
    m_bRunning = 0;
    return true;
}

bool CTask::Start()
{
    m_StopEvent.Reset();
    m_bRunning = 1;
    platform::ThreadHandle h = platform::CreateThread([this] { return _Run(this); });
    if (!h)
        return false;
    m_ThreadId = h->GetThreadId();
    m_hThread = h;
    return true;
}

bool CTask::Stop()
{
    m_bRunning = 0;
    m_StopEvent.Set();
    return true;
}

bool CTask::StopAndWait(uint32_t timeoutMs)
{
    m_bRunning = 0;
    m_StopEvent.Set();
    if (!m_hThread)
        return false;
    if (platform::WaitForSingleObject(m_hThread.get(), timeoutMs) == platform::WAIT_OBJECT_0)
        return true;
    QB_LOG(PL_WARN, "[CTask]", "[StopAndWait] %s Did Not End In %u ms, Thread Abandoned\n",
           GetClassName().c_str(), timeoutMs);
    return platform::TerminateThread(m_hThread, 0xFFFFFFFF);
}

bool CTask::IsAlive()
{
    if (!m_hThread)
        return true;
    return !m_hThread->HasEnded();
}

bool CTask::IsResponsive(uint32_t now, uint32_t limitMs) const
{
    if (m_Status != STATUS_RUNNING || m_LongWork != 0)
        return true;
    if (m_hThread && m_hThread->HasEnded())
        return true; // ended: the manager's check reaps it
    // Signed: a stamp taken after `now` was read is no age at all.
    int64_t age = static_cast<int32_t>(now - m_ActivityTime.load());
    return age <= static_cast<int64_t>(limitMs);
}

uint32_t CTask::CurrentTick()
{
    return platform::timeGetTime();
}

uint32_t CTask::Run()
{
    return 0;
}

uint32_t CTask::WaitForStopOrExit(uint32_t timeoutMs)
{
    platform::CWaitable* objects[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_StopEvent};
    uint32_t ret = platform::WaitForMultipleObjects(2, objects, false, timeoutMs);
    return ret == platform::WAIT_OBJECT_0 + 1 ? platform::WAIT_TIMEOUT : ret;
}

std::string CTask::GetClassName() const
{
    CCSLocker lock(CGlobalSharedData::GetInstance()->GetTypeNameLock());
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = std::string("class ") + (status == 0 && demangled ? demangled : mangled);
    free(demangled);
    return name;
}

uint32_t CTask::_Run(CTask* task)
{
    if (task == nullptr)
        return 0;
    task->m_Status = STATUS_RUNNING;
    task->m_ActivityTime = platform::timeGetTime();
    try
    {
        uint32_t result = task->Run();
        task->m_Status = STATUS_FINISHED;
        return result;
    }
    catch (...)
    {
        std::string name = task->GetClassName();
        QB_LOG(PL_ERROR, "[CTask::_Run]", "Exception Occur In %s\n", name.c_str());
        return 0;
    }
}
