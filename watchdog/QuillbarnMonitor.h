#pragma once

#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <sys/types.h>

// Keeps the collector alive: starts its service, restarts it when it stops, probes it over the
// device port, kills and restarts it when the probe fails, restarts it once a week, and turns its log
// merging off when it keeps dying. One monitor thread; the service thread only starts and stops it.
class CQuillbarnMonitor
{
public:
    // Names and places shared with the collector's installation.
    static constexpr const char* QUILLBARN_SERVICE_NAME = "KELV";
    static constexpr const char* QUILLBARN_PROCESS_NAME = "Quillbarn";
    static constexpr const char* REG_INSTALL_KEY = "HKLM\\Software\\Velmora\\SSL\\DC";
    static constexpr const char* REG_INSTALL_VALUE = "InstallPath";
    static constexpr const char* CONFIG_FILE = "/Kelv/Config/Kelv.conf";
    static constexpr const char* ADV_CONFIG_FILE = "/Kelv/Config/KelvAdv.conf";
    static constexpr const char* PROBE_ADDRESS = "127.0.0.1";
    static constexpr const char* PROBE_TAG = "KELVDEVPROBE01";
    static constexpr size_t PROBE_TAG_LEN = 14;
    static constexpr size_t PROBE_LEN = 58;
    static constexpr int DEFAULT_PORT = 9501;
    static constexpr size_t MAX_INSTALL_PATH = 519;

    // Intervals (milliseconds) as designed; each goes through platform::ScaledInterval.
    static constexpr uint32_t PASS_SLEEP_MS = 1000;
    static constexpr uint32_t PROBE_EVERY_MS = 100000; // the elapsed counter's limit, in passes of 1000
    static constexpr uint32_t ELAPSED_STEP_MS = 1000;
    static constexpr uint32_t CONNECT_WAIT_MS = 5000;
    static constexpr uint32_t ANSWER_WAIT_MS = 10000;
    static constexpr uint32_t RESTART_KILL_DELAY_MS = 1000;
    static constexpr uint32_t THREAD_STOP_WAIT_MS = 25000;
    static constexpr uint32_t START_STORM_WINDOW_MS = 600000;
    static constexpr size_t START_STORM_COUNT = 10;

    // The weekly restart: Sunday, 04:00 to 04:04.
    static constexpr int RESTART_WEEKDAY = 0;
    static constexpr int RESTART_HOUR = 4;
    static constexpr int RESTART_LAST_MINUTE = 4;

    static CQuillbarnMonitor* GetInstance();
    CQuillbarnMonitor();
    ~CQuillbarnMonitor();
    CQuillbarnMonitor(const CQuillbarnMonitor&) = delete;
    CQuillbarnMonitor& operator=(const CQuillbarnMonitor&) = delete;

    int Init();
    int Start();
    // Clears the running flag and waits up to the stop time for the thread; one that has not ended
    // is abandoned. True when the thread ended.
    bool Stop();

    int IsQuillbarnStop();
    int StartQuillbarn();
    int StopQuillbarn();
    int GetQuillbarnPID(pid_t& pid);
    int KillProcessByPID(pid_t pid);
    int KillQuillbarn();
    int RestartQuillbarn();
    int GetDCListenPort();
    int KeepAliveWithQuillbarn();
    int IsTimeToRestartQuillbarn();
    void OnQuillbarnStartByMonitor();

    const std::string& GetInstallPath() const { return m_InstallPath; }
    bool IsRunning() const { return m_bRunning.load(); }

    // Calendar and tick sources of the weekly and the restart-storm rules; null restores the real
    // ones. Tests move through days and minutes with them.
    void SetClockSource(std::function<time_t()> now);
    void SetTickSource(std::function<uint32_t()> tick);

    // The 58-byte probe record.
    static void BuildProbe(unsigned char (&probe)[PROBE_LEN]);

private:
    void Run();
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string ConfigPath() const { return m_InstallPath + CONFIG_FILE; }
    std::string AdvConfigPath() const { return m_InstallPath + ADV_CONFIG_FILE; }
    // The service manager's side of IsQuillbarnStop/StartQuillbarn/StopQuillbarn: true with the
    // state, or false after logging the failure with the caller's operation name.
    bool QueryQuillbarnState(const char* operation, bool& stopped);
    // The executable the service manager runs for the collector, resolved; empty when unknown.
    std::string RegisteredQuillbarnExecutable() const;
    time_t Now() const;
    uint32_t Tick() const;

    platform::ThreadHandle m_Thread;
    std::atomic<bool> m_bRunning{false};
    platform::CEvent m_WakeEvent{true, false};
    std::string m_InstallPath;
    std::deque<uint32_t> m_StartTimes;
    int m_LastRestartDay = -1;
    std::function<time_t()> m_ClockSource;
    std::function<uint32_t()> m_TickSource;
};
