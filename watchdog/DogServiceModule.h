#pragma once
#include "platform/ServiceInstaller.h"

#include <cstdint>
#include <string>

// Registration, service plumbing and the controlling thread of the watchdog. Runs the monitor as a
// service when its registration says so, otherwise in the foreground.
class CDogServiceModule
{
public:
    static CDogServiceModule* GetInstance();

    // Scans the command line for the switches; returns the process result.
    int ProcessCommandLine(const std::string& commandLine);

    int RegisterServer(bool service);
    int UnregisterServer();
    bool Install();
    bool Uninstall();
    bool IsInstalled();
    // Without a switch: as a service when registered as one (and started by the manager), else in
    // the foreground.
    void Start();
    void Run();
    void ReportStatus(uint32_t state);
    void PostQuit();

    bool IsServiceMode() const { return m_bService; }
    const std::string& GetServiceName() const { return m_ServiceName; }

    static constexpr const char* SERVICE_NAME = "KELVDog";
    static constexpr const char* APPID_GUID = "{CC1C41E5-93CE-4E88-BCA1-BD56FF788452}";
    static constexpr const char* LOCAL_SERVICE_VALUE = "QuillbarnService";

private:
    CDogServiceModule() = default;
    static void ServiceMain(int argc, char** argv);
    static void Handler(uint32_t control);
    platform::CServiceInstaller Installer() const;
    bool IsRegisteredAsService();

    std::string m_ServiceName = SERVICE_NAME;
    uint32_t m_ControlThreadId = 0;
    bool m_bService = false;
};
