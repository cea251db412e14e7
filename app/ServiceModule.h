#pragma once
#include "platform/ServiceInstaller.h"

#include <atomic>
#include <cstdint>
#include <string>

// Service registration, service control and the controlling thread's
// message loop of the collector.
class CServiceModule
{
public:
    static CServiceModule* GetInstance();
    virtual ~CServiceModule() = default;

    // Scans the command line for the switches; returns the process result.
    int ProcessCommandLine(const std::string& commandLine);

    int RegisterServer(bool regTypeLib, bool service);
    int UnregisterServer();
    bool Install();
    bool Uninstall();
    bool IsInstalled();
    void Start();
    void Run();
    void ReportStatus(uint32_t state);
    void LogEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool IsServiceMode() const { return m_bService && !m_bConsole; }
    bool IsConsoleMode() const { return !m_bService && m_bConsole; }
    uint32_t GetControlThreadId() const { return m_ControlThreadId; }
    uint32_t GetWin32ExitCode() const { return m_Win32ExitCode; }
    const std::string& GetServiceName() const { return m_ServiceName; }

    // Asks the controlling thread to end its message loop (stop control,
    // console close, the StopAll event, the main routine's own end).
    void PostQuit();

    static constexpr const char* APPID_GUID = "{84CC16FB-BADF-43A1-9D9E-1CF65A9AE74A}";
    static constexpr uint32_t MAIN_THREAD_STOP_WAIT_MS = 60000;
    static constexpr uint32_t STOPALL_SLEEP_MS = 2000;
    static constexpr const char* EXIT_EVENT_NAME = "VelmoraDCExitEvent";
    // Exit code of -StopAll when no collector runs on the install tree.
    static constexpr int STOPALL_NONE_REACHED = 3;

private:
    CServiceModule() = default;
    static void ServiceMain(int argc, char** argv);
    static void Handler(uint32_t control);
    platform::CServiceInstaller Installer() const;

    std::string m_ServiceName = "Quillbarn";
    // The service thread and its control handler's thread both report states; the exit code is set on
    // the service thread and read by the main thread.
    std::atomic<uint32_t> m_CurrentState{1}; // stopped
    std::atomic<uint32_t> m_Win32ExitCode{0};
    std::atomic<uint32_t> m_ControlThreadId{0};
    // A quit asked for before the controlling thread is known (a stop control during start-up); Run
    // delivers it once it is.
    std::atomic<bool> m_bQuitPending{false};
    // Decided on the main thread, read by the service thread and the handlers it starts.
    std::atomic<bool> m_bService{true};
    std::atomic<bool> m_bConsole{false};
    // -Foreground: console mode without the console copy, reporting to the init system.
    std::atomic<bool> m_bForeground{false};
};
