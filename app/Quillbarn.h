#pragma once
#include "platform/Thread.h"

#include <cstdint>

class CTask;

// The main routine's thread and the three top-level tasks.
class CQuillbarn
{
public:
    static CQuillbarn* GetInstance();
    virtual ~CQuillbarn() = default;

    void InstallCrashFilter();
    bool StartMainThread();
    void SignalStop();
    bool WaitMainThread(uint32_t timeoutMs);
    static uint32_t QuillbarnMain(CQuillbarn* instance);
    bool StartTopLevelTasks();
    // Uninitialises the managers in reverse order of their start.
    static void UnInitManagers();

private:
    CQuillbarn() = default;
    platform::ThreadHandle m_hMainThread;
    CTask* m_pListenTask = nullptr;
    CTask* m_pConfigMonitorTask = nullptr;
    CTask* m_pInfoRetrieveTask = nullptr;
    CTask* m_pMetricsTask = nullptr;
};
