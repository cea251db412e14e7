#include "app/ServiceModule.h"

#include "app/Quillbarn.h"
#include "app/SystemdSupervisor.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/DebugOutput.h"
#include "platform/EventLog.h"
#include "platform/FileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/NamedEvent.h"
#include "platform/Registry.h"
#include "platform/ServiceInstaller.h"
#include "platform/ServiceManager.h"
#include "platform/Signals.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>

namespace
{
// Path of the named exit event a running instance owns.
std::string ExitEventPath(const std::string& installDir)
{
    return installDir + "/Kelv/" + CServiceModule::EXIT_EVENT_NAME;
}
} // namespace

CServiceModule* CServiceModule::GetInstance()
{
    static CServiceModule* instance = []
    {
        CServiceModule* module = new CServiceModule();
        // The parts below learn the mode and reach the status and the quit request through the shared data.
        CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
        shared->SetServiceMode(module->IsServiceMode());
        shared->SetServiceHooks([module](uint32_t state) { module->ReportStatus(state); },
                                [module] { module->PostQuit(); });
        return module;
    }();
    return instance;
}

int CServiceModule::ProcessCommandLine(const std::string& commandLine)
{
    // The text behind each '-' or '/' is compared with the whole rest of the
    // line, so a switch counts only as the last thing on the line.
    for (size_t i = 0; i < commandLine.size(); ++i)
    {
        if (commandLine[i] != '-' && commandLine[i] != '/')
            continue;
        const char* rest = commandLine.c_str() + i + 1;
        if (strcasecmp(rest, "UnregServer") == 0)
            return UnregisterServer();
        if (strcasecmp(rest, "RegServer") == 0)
            return RegisterServer(true, false);
        if (strcasecmp(rest, "Service") == 0)
            return RegisterServer(true, true);
        // -Foreground is -Console for an init system: the daily program log stays the record (no copy
        // of every line on standard output), and the init system hears of readiness, status and stop.
        bool foreground = strcasecmp(rest, "Foreground") == 0;
        if (foreground || strcasecmp(rest, "Console") == 0)
        {
            m_bService = false;
            m_bConsole = true;
            m_bForeground = foreground;
            CGlobalSharedData::GetInstance()->SetServiceMode(IsServiceMode());
            CProgramLogRecorder::GetInstance()->SetConsoleMode(!foreground);
            Run();
            return static_cast<int>(m_Win32ExitCode);
        }
        if (strcasecmp(rest, "StopAll") == 0)
        {
            // Every collector running on this install tree owns an exit event of its own.
            std::string installDir = CGlobalSharedData::ComputeInstallDir(platform::ExecutablePath());
            int reached = platform::SetNamedEvents(installDir + "/Kelv", EXIT_EVENT_NAME);
            if (reached == 0)
            {
                fprintf(stderr, "Quillbarn -StopAll: no collector is running on %s\n", installDir.c_str());
                return STOPALL_NONE_REACHED;
            }
            printf("Quillbarn -StopAll: stop sent to %d collector(s) on %s\n", reached, installDir.c_str());
            fflush(stdout);
            platform::Sleep(STOPALL_SLEEP_MS);
            return static_cast<int>(m_Win32ExitCode);
        }
    }
    Start();
    return static_cast<int>(m_Win32ExitCode);
}

platform::CServiceInstaller CServiceModule::Installer() const
{
    return platform::CServiceInstaller(m_ServiceName, APPID_GUID, "Quillbarn", m_ServiceName);
}

int CServiceModule::RegisterServer(bool /*regTypeLib*/, bool service)
{
    return Installer().RegisterServer(service);
}

int CServiceModule::UnregisterServer()
{
    return Installer().UnregisterServer();
}

bool CServiceModule::IsInstalled()
{
    return Installer().IsInstalled();
}

bool CServiceModule::Install()
{
    return Installer().Install();
}

bool CServiceModule::Uninstall()
{
    return Installer().Uninstall();
}

void CServiceModule::Start()
{
    if (m_bService)
    {
        if (!platform::StartServiceCtrlDispatcher(m_ServiceName, &CServiceModule::ServiceMain))
        {
            m_bService = false;
            CGlobalSharedData::GetInstance()->SetServiceMode(IsServiceMode());
        }
    }
    if (m_bService)
        return;
    if (m_bConsole)
        Run();
}

void CServiceModule::ServiceMain(int, char**)
{
    CServiceModule* self = GetInstance();
    self->m_CurrentState = static_cast<uint32_t>(platform::ServiceState::StartPending);
    if (!platform::RegisterServiceCtrlHandler(self->m_ServiceName, &CServiceModule::Handler))
        return;
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::StartPending));
    self->m_Win32ExitCode = 0;
    self->Run();
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::Stopped));
}

void CServiceModule::Handler(uint32_t control)
{
    if (control != platform::SERVICE_CONTROL_STOP)
        return;
    CServiceModule* self = GetInstance();
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::StopPending));
    self->PostQuit();
}

void CServiceModule::PostQuit()
{
    uint32_t thread = m_ControlThreadId.load();
    if (thread == 0)
    {
        // Run has not reached its message loop yet: it delivers the quit once it has a thread id.
        m_bQuitPending.store(true);
        thread = m_ControlThreadId.load();
        if (thread == 0)
            return;
    }
    platform::PostThreadMessage(thread, platform::WM_QUIT, 0, 0);
}

void CServiceModule::ReportStatus(uint32_t state)
{
    if (!m_bService)
        return;
    m_CurrentState = state;
    platform::SetServiceStatus(m_ServiceName, static_cast<platform::ServiceState>(state));
}

void CServiceModule::LogEvent(const char* format, ...)
{
    char text[1025];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    if (m_bService)
        platform::ReportEventInfo(m_ServiceName, text);
    else
        platform::OutputDebugString(text);
}

void CServiceModule::Run()
{
    platform::EnsureThreadMessageQueue();
    m_ControlThreadId.store(platform::GetCurrentThreadId());
    if (m_bQuitPending.exchange(false))
        PostQuit();

    // In the foreground, SIGINT and SIGTERM stop the collector as closing its
    // console would; a service gets them through its control handler.
    if (IsConsoleMode())
        platform::StartTerminationSignalThread([this](int) { PostQuit(); });

    ReportStatus(static_cast<uint32_t>(platform::ServiceState::Running));

    CQuillbarn* app = CQuillbarn::GetInstance();
    app->InstallCrashFilter();

    // The named exit event lets "-StopAll" reach this instance.
    auto stopAllEvent = std::make_shared<platform::CNamedEvent>();
    std::string installDir = CGlobalSharedData::ComputeInstallDir(platform::ExecutablePath());
    platform::CEvent watcherEnd(true, false);
    platform::ThreadHandle stopAllWatcher;
    // A second collector on the same tree gets an event of its own beside the first one's.
    if (stopAllEvent->Create(ExitEventPath(installDir)) ||
        stopAllEvent->Create(ExitEventPath(installDir) + "." +
                             std::to_string(platform::GetCurrentProcessId())))
    {
        stopAllWatcher = platform::CreateThread(
            [this, stopAllEvent, &watcherEnd]() -> uint32_t
            {
                platform::CWaitable* objects[2] = {stopAllEvent.get(), &watcherEnd};
                if (platform::WaitForMultipleObjects(2, objects, false, platform::INFINITE) ==
                    platform::WAIT_OBJECT_0)
                    PostQuit();
                return 0;
            });
    }

    CSystemdSupervisor supervisor;
    if (m_bForeground)
        supervisor.Start();

    if (app->StartMainThread())
    {
        platform::MSG msg;
        while (platform::GetMessage(&msg))
        {
        }
    }
    watcherEnd.Set();
    if (stopAllWatcher)
        platform::WaitForSingleObject(stopAllWatcher.get(), platform::INFINITE);
    stopAllEvent->Close();

    supervisor.NotifyStopping();
    app->SignalStop();
    supervisor.End();
    if (!app->WaitMainThread(MAIN_THREAD_STOP_WAIT_MS))
    {
        ReportStatus(static_cast<uint32_t>(platform::ServiceState::Stopped));
        fflush(nullptr);
        _exit(0);
    }
    CQuillbarn::UnInitManagers();
}
