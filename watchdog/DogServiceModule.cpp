#include "watchdog/DogServiceModule.h"

#include "platform/EventLog.h"
#include "platform/FileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Registry.h"
#include "platform/ServiceInstaller.h"
#include "platform/ServiceManager.h"
#include "platform/Signals.h"
#include "platform/Tick.h"
#include "watchdog/QuillbarnMonitor.h"

#include <cstdio>
#include <strings.h>

CDogServiceModule* CDogServiceModule::GetInstance()
{
    static CDogServiceModule* instance = new CDogServiceModule();
    return instance;
}

int CDogServiceModule::ProcessCommandLine(const std::string& commandLine)
{
    // As in the collector: the text behind each '-' or '/' is compared with the whole rest of the
    // line, so a switch counts only as the last thing on the line; the first match wins.
    for (size_t i = 0; i < commandLine.size(); ++i)
    {
        if (commandLine[i] != '-' && commandLine[i] != '/')
            continue;
        const char* rest = commandLine.c_str() + i + 1;
        if (strcasecmp(rest, "UnregServer") == 0)
            return UnregisterServer();
        if (strcasecmp(rest, "RegServer") == 0)
            return RegisterServer(false);
        if (strcasecmp(rest, "Service") == 0)
            return RegisterServer(true);
    }
    Start();
    return 0;
}

platform::CServiceInstaller CDogServiceModule::Installer() const
{
    return platform::CServiceInstaller(m_ServiceName, APPID_GUID, "QuillbarnService", LOCAL_SERVICE_VALUE);
}

int CDogServiceModule::RegisterServer(bool service)
{
    return Installer().RegisterServer(service);
}

int CDogServiceModule::UnregisterServer()
{
    return Installer().UnregisterServer();
}

bool CDogServiceModule::IsInstalled()
{
    return Installer().IsInstalled();
}

bool CDogServiceModule::Install()
{
    return Installer().Install();
}

bool CDogServiceModule::Uninstall()
{
    return Installer().Uninstall();
}

bool CDogServiceModule::IsRegisteredAsService()
{
    return Installer().IsRegisteredAsService();
}

void CDogServiceModule::Start()
{
    m_bService = IsRegisteredAsService();
    if (m_bService && !platform::StartServiceCtrlDispatcher(m_ServiceName, &CDogServiceModule::ServiceMain))
        m_bService = false; // registered, but started by hand: run in the foreground
    if (!m_bService)
        Run();
}

void CDogServiceModule::ServiceMain(int, char**)
{
    CDogServiceModule* self = GetInstance();
    if (!platform::RegisterServiceCtrlHandler(self->m_ServiceName, &CDogServiceModule::Handler))
        return;
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::StartPending));
    self->Run();
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::Stopped));
}

void CDogServiceModule::Handler(uint32_t control)
{
    if (control != platform::SERVICE_CONTROL_STOP)
        return;
    CDogServiceModule* self = GetInstance();
    self->ReportStatus(static_cast<uint32_t>(platform::ServiceState::StopPending));
    self->PostQuit();
}

void CDogServiceModule::PostQuit()
{
    platform::PostThreadMessage(m_ControlThreadId, platform::WM_QUIT, 0, 0);
}

void CDogServiceModule::ReportStatus(uint32_t state)
{
    if (m_bService)
        platform::SetServiceStatus(m_ServiceName, static_cast<platform::ServiceState>(state));
}

void CDogServiceModule::Run()
{
    m_ControlThreadId = platform::GetCurrentThreadId();
    platform::EnsureThreadMessageQueue();
    // In the foreground the termination signals end the run as a service stop would.
    if (!m_bService)
        platform::StartTerminationSignalThread([this](int) { PostQuit(); });

    ReportStatus(static_cast<uint32_t>(platform::ServiceState::Running));
    CQuillbarnMonitor* monitor = CQuillbarnMonitor::GetInstance();
    monitor->Init();
    monitor->Start();

    platform::MSG msg;
    while (platform::GetMessage(&msg))
    {
    }
    monitor->Stop();
}
