#pragma once
#include <string>

namespace platform
{
// What the collector and the watchdog each register: their AppID keys in the registry
// (HKCR\AppID\<guid> and HKCR\AppID\<exe>.EXE) and, as a service, the service manager's entry for
// the running executable. Both programs' -RegServer, -Service and -UnregServer go through here.
class CServiceInstaller
{
public:
    // `localService` is the value the AppID key and its LocalService carry.
    CServiceInstaller(std::string serviceName, std::string appIdGuid, std::string exeName,
                      std::string localService);

    // Removes any earlier registration, writes the AppID keys and, for a service, LocalService,
    // ServiceParameters and the service entry. 0 on success, else the failed step's error code.
    int RegisterServer(bool service);
    // Removes the AppID keys and the service entry; always 0.
    int UnregisterServer();
    bool Install();
    bool Uninstall();
    bool IsInstalled() const;
    // True when the AppID key says the program runs as a service.
    bool IsRegisteredAsService() const;

    static constexpr const char* SERVICE_PARAMETERS = "-Service";

private:
    std::string AppIdKey() const;
    std::string ExeKey() const;
    bool WriteRegistryScript();
    void RemoveRegistryScript();
    // Stands in for the message box of the original: the text goes to stderr and to the system log,
    // captioned with the service name.
    void ShowMessage(const char* text) const;

    std::string m_ServiceName;
    std::string m_AppIdGuid;
    std::string m_ExeName;
    std::string m_LocalService;
};
} // namespace platform
