#include "core/TaskManager.h"

#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Tick.h"

#include <algorithm>
#include <vector>

using platform::WAIT_FAILED;
using platform::WAIT_OBJECT_0;
using platform::WAIT_TIMEOUT;

CTaskManager* CTaskManager::GetInstance()
{
    static CTaskManager* instance = new CTaskManager();
    return instance;
}

bool CTaskManager::Init()
{
    m_WatcherStop.Reset();
    m_bAllAlive = true;
    m_LastCheckTick = platform::GetTickCount64();
    m_hCheckThread = platform::CreateThread([this] { return TaskCheckProcess(); });
    m_bInit = 1;
    return true;
}

bool CTaskManager::UnInit()
{
    m_bInit = 0;
    m_WatcherStop.Set();
    if (m_hCheckThread)
    {
        if (platform::WaitForSingleObject(m_hCheckThread.get(), UNINIT_WAIT_MS) != WAIT_OBJECT_0)
        {
            QB_LOG(PL_WARN, "[CTaskManager]", "[UnInit] TaskCheckProcess Did Not End, Thread Abandoned\n");
            platform::TerminateThread(m_hCheckThread, 0);
        }
        m_hCheckThread.reset();
    }
    return true;
}

bool CTaskManager::AddTask(CTask* task)
{
    if (task == nullptr || !m_bInit)
        return false;
    if (!task->Init() || !task->Start())
        return false;
    CCSLocker lock(m_ListLock);
    m_Tasks.push_back(task);
    return true;
}

bool CTaskManager::RemoveTask(CTask* task)
{
    if (!m_bInit)
        return false;
    CCSLocker lock(m_ListLock);
    auto it = std::find(m_Tasks.begin(), m_Tasks.end(), task);
    if (it == m_Tasks.end())
        return false;
    m_Tasks.erase(it);
    return true;
}

bool CTaskManager::HandOverTask(CTask* task)
{
    if (!m_bInit)
        return false;
    // Under the list lock the watcher either still finds the task listed, and sees the flag when it
    // ends, or has unlisted it already; setting the flag outside the lock lost the task in between.
    CCSLocker lock(m_ListLock);
    if (std::find(m_Tasks.begin(), m_Tasks.end(), task) == m_Tasks.end())
        return false;
    task->m_bAutoDelete = 1;
    return true;
}

bool CTaskManager::DelTask(CTask* task)
{
    if (!m_bInit)
        return false;
    CCSLocker lock(m_ListLock);
    auto it = std::find(m_Tasks.begin(), m_Tasks.end(), task);
    if (it == m_Tasks.end())
        return false;
    task->UnInit();
    delete task;
    m_Tasks.erase(it);
    return true;
}

void CTaskManager::StopAllTask()
{
    if (!m_bInit)
        return;
    CCSLocker lock(m_ListLock);
    for (CTask* t : m_Tasks)
        t->Stop();
}

size_t CTaskManager::GetTaskCount()
{
    CCSLocker lock(m_ListLock);
    return m_Tasks.size();
}

bool CTaskManager::IsTaskListed(CTask* task)
{
    CCSLocker lock(m_ListLock);
    return std::find(m_Tasks.begin(), m_Tasks.end(), task) != m_Tasks.end();
}

uint32_t CTaskManager::WaitForSingleTask(CTask* task, uint32_t timeoutMs)
{
    if (task == nullptr)
        return WAIT_FAILED;
    if (!m_bInit)
        return 0;
    platform::ThreadHandle handle;
    {
        CCSLocker lock(m_ListLock);
        if (std::find(m_Tasks.begin(), m_Tasks.end(), task) == m_Tasks.end())
            QB_LOG(PL_WARN, "[CTaskManager::WaitForSingleTask]", "%s Does Not In The TaskManager\n",
                   task->GetClassName().c_str());
        handle = task->m_hThread;
    }
    if (!handle)
    {
        QB_LOG(PL_WARN, "[CTaskManager::WaitForSingleTask]", "Invalid Thread Handle In %s\n",
               task->GetClassName().c_str());
        return WAIT_FAILED;
    }
    return platform::WaitForSingleObject(handle.get(), timeoutMs);
}

uint32_t CTaskManager::WaitForMultiTask(CTask** tasks, uint32_t count, bool waitAll, uint32_t timeoutMs)
{
    if (tasks == nullptr)
        return WAIT_FAILED;
    if (!m_bInit)
        return 0;
    std::vector<platform::ThreadHandle> keep;
    std::vector<platform::CWaitable*> handles;
    for (uint32_t i = 0; i < count; ++i)
    {
        CTask* t = tasks[i];
        if (t == nullptr)
            continue;
        platform::ThreadHandle h = t->m_hThread;
        if (!h)
        {
            QB_LOG(PL_WARN, "[CTaskManager::WaitForMultiTask]", "Invalid Thread Handle In %s\n",
                   t->GetClassName().c_str());
            continue;
        }
        keep.push_back(h);
        handles.push_back(h.get());
    }
    // Nothing to wait for: report it as done at once.
    if (handles.empty())
        return WAIT_OBJECT_0;
    if (handles.size() <= WAIT_GROUP_SIZE)
        return platform::WaitForMultipleObjects(static_cast<uint32_t>(handles.size()), handles.data(),
                                                waitAll, timeoutMs);
    return LargeWait(handles.data(), static_cast<uint32_t>(handles.size()), waitAll, timeoutMs);
}

// The platform wait takes any number of objects, so the large wait needs no
// waiter threads; the limit and the result (position among all collected
// handles) stay as for the fanned-out wait.
uint32_t CTaskManager::LargeWait(platform::CWaitable** handles, uint32_t count, bool waitAll,
                                 uint32_t timeoutMs)
{
    if (handles == nullptr || count > MAX_WAIT_HANDLES)
        return WAIT_FAILED;
    return platform::WaitForMultipleObjects(count, handles, waitAll, timeoutMs);
}

uint32_t CTaskManager::WaitForAllTask(uint32_t timeoutMs)
{
    if (!m_bInit)
        return 0;
    std::vector<CTask*> copy;
    {
        CCSLocker lock(m_ListLock);
        copy.assign(m_Tasks.begin(), m_Tasks.end());
    }
    // An empty list has nothing to wait for (and no array to pass).
    uint32_t ret = copy.empty()
                       ? WAIT_OBJECT_0
                       : WaitForMultiTask(copy.data(), static_cast<uint32_t>(copy.size()), true, timeoutMs);
    QB_LOG(PL_INFO, "[CTaskManager]", "[WaitForAllTask] Wait Ret = %u\n", ret);
    return ret;
}

uint32_t CTaskManager::TaskCheckProcess()
{
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    for (;;)
    {
        platform::CWaitable* objects[2] = {shared->GetExitEvent(), &m_WatcherStop};
        uint32_t ret =
            platform::WaitForMultipleObjects(2, objects, false, ScaledInterval(TASK_CHECK_INTERVAL_MS));
        // UnInit clears the flag: end the watcher then as well, so that it
        // never touches tasks after the manager went away.
        if (ret != WAIT_TIMEOUT || !m_bInit)
        {
            QB_LOG(PL_DEBUG, "[CTaskManager]", "[TaskCheckProcess] Exit With Wait Code = %u", ret);
            return 0;
        }
        CCSLocker lock(m_ListLock);
        for (auto it = m_Tasks.begin(); it != m_Tasks.end();)
        {
            CTask* task = *it;
            if (WaitForSingleTask(task, 0) != WAIT_OBJECT_0)
            {
                ++it;
                continue;
            }
            if (task->m_Status != CTask::STATUS_FINISHED)
                QB_LOG(PL_WARN, "[CTaskManager]", "Find Task %s Exit In Exception!\n",
                       task->GetClassName().c_str());
            if (task->m_bAutoDelete == 1)
            {
                task->UnInit();
                delete task;
            }
            it = m_Tasks.erase(it);
        }
        m_bAllAlive = CheckResponsive();
        m_LastCheckTick = platform::GetTickCount64();
    }
}

bool CTaskManager::CheckResponsive()
{
    uint32_t limit = std::max(ScaledInterval(TASK_HANG_LIMIT_MS), TASK_HANG_LIMIT_FLOOR_MS);
    uint32_t now = platform::timeGetTime();
    bool all = true;
    for (CTask* task : m_Tasks)
    {
        if (task->IsResponsive(now, limit))
            continue;
        // Once per hang, not on every check it lasts.
        if (m_bAllAlive)
            QB_LOG(PL_WARN, "[CTaskManager]", "[TaskCheckProcess] Task %s Not Responding For %u ms\n",
                   task->GetClassName().c_str(), now - task->m_ActivityTime.load());
        all = false;
    }
    if (all && !m_bAllAlive)
        QB_LOG(PL_INFO, "[CTaskManager]", "[TaskCheckProcess] Every Task Responding Again\n");
    return all;
}

bool CTaskManager::AreAllTasksAlive() const
{
    uint64_t age = platform::GetTickCount64() - m_LastCheckTick.load();
    return m_bAllAlive && age <= 2ull * ScaledInterval(TASK_CHECK_INTERVAL_MS) + STALE_CHECK_SLACK_MS;
}
