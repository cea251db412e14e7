#include "core/InfoManager.h"

#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"

#include <cstdio>

namespace
{
const char* const TAG = "[CInfoManager]";
} // namespace

CInfoManager* CInfoManager::GetInstance()
{
    static CInfoManager* instance = new CInfoManager();
    return instance;
}

CInfoManager::~CInfoManager()
{
    UnInit();
}

bool CInfoManager::Init()
{
    CCSLocker lock(m_Lock);
    if (m_bInited.load() != 0)
        return true;
    const time_t epoch = CClock::NowEpoch();
    m_StartEpoch.store(static_cast<int64_t>(epoch));
    LocalTime now = CClock::ToLocal(epoch);
    char text[32];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", now.m_Year, now.m_Month, now.m_Day,
             now.m_Hour, now.m_Minute, now.m_Second);
    m_StartTime = text;
    {
        CCSLocker funcLock(m_FuncLock);
        for (RealTimeInfoEntry& entry : m_RealTimeInfo)
            entry.m_ElapsedMs = 0;
    }
    m_TimerStop.Reset();
    m_hTimerThread = platform::CreateThread([this] { return RealTimeInfoThread(); });
    if (!m_hTimerThread)
        QB_LOG(PL_ERROR, TAG, "[Init] Cannot Create RealTimeInfo Thread\n");
    m_bInited.store(1);
    return true;
}

bool CInfoManager::UnInit()
{
    platform::ThreadHandle timer;
    {
        CCSLocker lock(m_Lock);
        m_bInited.store(0);
        timer = std::move(m_hTimerThread);
        m_TimerStop.Set();
    }
    // The timer only waits and checks the disk; it ends within one tick.
    if (timer)
        platform::WaitForSingleObject(timer.get(), platform::INFINITE);
    return true;
}

std::string CInfoManager::GetStartTime()
{
    CCSLocker lock(m_Lock);
    return m_StartTime;
}

uint32_t CInfoManager::RealTimeInfoThread()
{
    platform::CWaitable* waits[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_TimerStop};
    while (platform::WaitForMultipleObjects(2, waits, false, ScaledInterval(TIMER_TICK_MS)) ==
           platform::WAIT_TIMEOUT)
        Exec_RealTimeInfo_Func();
    return 0;
}

void CInfoManager::AddRealTimeInfoFunc(const char* name, uint32_t periodMs, RealTimeInfoFunc func)
{
    CCSLocker lock(m_FuncLock);
    for (RealTimeInfoEntry& entry : m_RealTimeInfo)
    {
        if (entry.m_Name == name)
        {
            entry = RealTimeInfoEntry{std::move(func), periodMs, 0, name};
            return;
        }
    }
    m_RealTimeInfo.push_back(RealTimeInfoEntry{std::move(func), periodMs, 0, name});
}

void CInfoManager::Exec_RealTimeInfo_Func()
{
    CCSLocker lock(m_FuncLock);
    for (RealTimeInfoEntry& entry : m_RealTimeInfo)
    {
        entry.m_ElapsedMs += TIMER_TICK_MS;
        if (entry.m_ElapsedMs < entry.m_PeriodMs)
            continue;
        entry.m_ElapsedMs = 0;
        if (entry.m_Func() == 0)
            QB_LOG(PL_WARN, TAG, "[Exec_RealTimeInfo_Func] Exec Func = %s Fail!\n", entry.m_Name.c_str());
    }
}
