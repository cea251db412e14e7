#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The one object every part of the collector reads: install directory and
// the directories below it, the global exit event, process-wide locks and
// the sequence counter.
class CGlobalSharedData
{
public:
    static CGlobalSharedData* GetInstance();
    virtual ~CGlobalSharedData() = default;

    bool Init();
    bool IsInit() const { return m_bInit; }

    platform::CEvent* GetExitEvent() { return &m_ExitEvent; }
    uint32_t WaitForExit(uint32_t timeoutMs);
    uint32_t GetNextSequence() { return ++m_Sequence; }

    const std::string& GetInstallDir() const { return m_InstallDir; }
    const std::string& GetKelvDir() const { return m_KelvDir; }
    const std::string& GetLogDir() const { return m_LogDir; }
    const std::string& GetDumpDir() const { return m_DumpDir; }
    const std::string& GetConfigDir() const { return m_ConfigDir; }
    const std::string& GetDataFileDir() const { return m_DataFileDir; }
    const std::string& GetTempDir() const { return m_TempDir; }
    const std::string& GetUploadDir() const { return m_UploadDir; }

    // Service mode and the service's status and stop are decided by the service module on top; the
    // parts below reach them through these. Until the module hands its hooks down, status reports
    // and the quit request go nowhere.
    void SetServiceMode(bool service) { m_bServiceMode.store(service); }
    bool IsServiceMode() const { return m_bServiceMode.load(); }
    void SetServiceHooks(std::function<void(uint32_t)> reportStatus, std::function<void()> postQuit);
    void ReportServiceStatus(uint32_t state);
    void PostServiceQuit();
    // The device listener reports here each time it starts listening; the service module decides who
    // hears of it (the init system's readiness notice).
    void SetListeningHook(std::function<void()> listening);
    void ReportListening();

    platform::CCriticalSection* GetTypeNameLock() { return &m_TypeNameLock; }
    platform::CCriticalSection* GetCrashLock() { return &m_CrashLock; }

    // Install directory from the registry value, else two levels above the
    // executable. Exposed for the tests of that rule.
    static std::string ComputeInstallDir(const std::string& executablePath);

    static constexpr const char* REG_KEY = "HKLM\\Software\\Velmora\\SSL\\DC";
    static constexpr const char* REG_VALUE = "InstallPath";

private:
    CGlobalSharedData() = default;

    platform::CEvent m_ExitEvent{true, false};
    std::string m_InstallDir, m_KelvDir, m_LogDir, m_DumpDir, m_ConfigDir, m_DataFileDir, m_TempDir,
        m_UploadDir;
    platform::CCriticalSection m_TypeNameLock;
    platform::CCriticalSection m_CrashLock;
    std::atomic<bool> m_bInit{false};
    std::atomic<bool> m_bServiceMode{true};
    platform::CCriticalSection m_ServiceHookLock;
    std::function<void(uint32_t)> m_ReportStatus;
    std::function<void()> m_PostQuit;
    std::function<void()> m_Listening;
    std::atomic<uint32_t> m_Sequence{0};
};
