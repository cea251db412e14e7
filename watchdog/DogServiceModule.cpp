#include "watchdog/DogServiceModule.h"

#include "platform/EventLog.h"
#include "platform/FileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "platform/Signals.h"
#include "platform/Tick.h"
#include "watchdog/QuillbarnMonitor.h"

#include <cstdio>
#include <strings.h>

namespace
{
const char* const REG_APPID_ROOT = "HKCR\\AppID";

std::string AppIdKey()
{
    return std::string(REG_APPID_ROOT) + "\\" + CDogServiceModule::APPID_GUID;
}
std::string ExeKey()
{
    return std::string(REG_APPID_ROOT) + "\\QuillbarnService.EXE";
}

void ShowMessage(const std::string& caption, const char* text)
{
    fprintf(stderr, "%s: %s\n", caption.c_str(), text);
    platform::ReportEventInfo(caption, text);
}
} // namespace

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

bool CDogServiceModule::WriteRegistryScript()
{
    return platform::RegSetString(AppIdKey(), "", LOCAL_SERVICE_VALUE) &&
           platform::RegSetString(ExeKey(), "AppID", APPID_GUID);
}

void CDogServiceModule::RemoveRegistryScript()
{
    platform::RegDeleteKey(AppIdKey());
    platform::RegDeleteKey(ExeKey());
}

int CDogServiceModule::RegisterServer(bool service)
{
    Uninstall();
    if (!WriteRegistryScript())
        return 1;
    platform::RegDeleteValue(AppIdKey(), "LocalService");
    if (service)
    {
        if (!platform::RegSetString(AppIdKey(), "LocalService", LOCAL_SERVICE_VALUE) ||
            !platform::RegSetString(AppIdKey(), "ServiceParameters", SERVICE_PARAMETERS_VALUE))
            return 1;
        if (!Install())
            return 1;
    }
    return 0;
}

int CDogServiceModule::UnregisterServer()
{
    RemoveRegistryScript();
    Uninstall();
    return 0;
}

bool CDogServiceModule::IsInstalled()
{
    return platform::IsServiceInstalled(m_ServiceName);
}

bool CDogServiceModule::Install()
{
    if (IsInstalled())
        return true;
    if (!platform::CreateService(m_ServiceName, m_ServiceName, platform::ExecutablePath()))
    {
        ShowMessage(m_ServiceName, "Couldn't create service");
        return false;
    }
    return true;
}

bool CDogServiceModule::Uninstall()
{
    if (!IsInstalled())
        return true;
    platform::ControlServiceStop(m_ServiceName);
    if (!platform::DeleteService(m_ServiceName))
    {
        ShowMessage(m_ServiceName, "Service could not be deleted");
        return false;
    }
    return true;
}

bool CDogServiceModule::IsRegisteredAsService()
{
    std::string value;
    return platform::RegGetString(AppIdKey(), "LocalService", value);
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
