#include "platform/ServiceInstaller.h"

#include "platform/EventLog.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"

#include <cerrno>
#include <cstdio>

namespace platform
{
namespace
{
const char* const REG_APPID_ROOT = "HKCR\\AppID";
}

CServiceInstaller::CServiceInstaller(std::string serviceName, std::string appIdGuid, std::string exeName,
                                     std::string localService)
    : m_ServiceName(std::move(serviceName)), m_AppIdGuid(std::move(appIdGuid)), m_ExeName(std::move(exeName)),
      m_LocalService(std::move(localService))
{
}

std::string CServiceInstaller::AppIdKey() const
{
    return std::string(REG_APPID_ROOT) + "\\" + m_AppIdGuid;
}

std::string CServiceInstaller::ExeKey() const
{
    return std::string(REG_APPID_ROOT) + "\\" + m_ExeName + ".EXE";
}

void CServiceInstaller::ShowMessage(const char* text) const
{
    fprintf(stderr, "%s: %s\n", m_ServiceName.c_str(), text);
    ReportEventInfo(m_ServiceName, text);
}

bool CServiceInstaller::WriteRegistryScript()
{
    return RegSetString(AppIdKey(), "", m_LocalService) && RegSetString(ExeKey(), "AppID", m_AppIdGuid);
}

void CServiceInstaller::RemoveRegistryScript()
{
    RegDeleteKey(AppIdKey());
    RegDeleteKey(ExeKey());
}

int CServiceInstaller::RegisterServer(bool service)
{
    // The process result is the failed step's own error code: errno of the registry file, the
    // service manager's code of the service entry.
    auto failed = [](uint32_t code) { return static_cast<int>(code != 0 ? code : 1); };
    Uninstall();
    errno = 0;
    if (!WriteRegistryScript())
        return failed(static_cast<uint32_t>(errno));
    RegDeleteValue(AppIdKey(), "LocalService");
    if (service)
    {
        errno = 0;
        if (!RegSetString(AppIdKey(), "LocalService", m_LocalService) ||
            !RegSetString(AppIdKey(), "ServiceParameters", SERVICE_PARAMETERS))
            return failed(static_cast<uint32_t>(errno));
        if (!Install())
            return failed(ScmLastError());
    }
    return 0;
}

int CServiceInstaller::UnregisterServer()
{
    RemoveRegistryScript();
    Uninstall();
    return 0;
}

bool CServiceInstaller::IsInstalled() const
{
    return IsServiceInstalled(m_ServiceName);
}

bool CServiceInstaller::IsRegisteredAsService() const
{
    std::string value;
    return RegGetString(AppIdKey(), "LocalService", value);
}

bool CServiceInstaller::Install()
{
    if (IsInstalled())
        return true;
    if (!CreateService(m_ServiceName, m_ServiceName, ExecutablePath()))
    {
        ShowMessage("Couldn't create service");
        return false;
    }
    return true;
}

bool CServiceInstaller::Uninstall()
{
    if (!IsInstalled())
        return true;
    ControlServiceStop(m_ServiceName);
    if (!DeleteService(m_ServiceName))
    {
        ShowMessage("Service could not be deleted");
        return false;
    }
    return true;
}
} // namespace platform
