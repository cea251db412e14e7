#include "watchdog/QuillbarnMonitor.h"

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/ScaledInterval.h"
#include "platform/ServiceManager.h"
#include "platform/Tick.h"
#include "watchdog/ProbeClient.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace
{
const char* const MODULE_TAG = "[CQuillbarnMonitor]";

std::string RealPathOf(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}
} // namespace

CQuillbarnMonitor* CQuillbarnMonitor::GetInstance()
{
    static CQuillbarnMonitor* instance = new CQuillbarnMonitor();
    return instance;
}

CQuillbarnMonitor::CQuillbarnMonitor() = default;

CQuillbarnMonitor::~CQuillbarnMonitor()
{
    if (m_Thread && !m_Thread->HasEnded())
        Stop();
}

void CQuillbarnMonitor::Log(const char* format, ...)
{
    if (!platform::IsDebugOutputEnabled())
        return;
    // The sink's prefix, then at most 4095 characters of message.
    char text[17 + 4096] = "QuillbarnService ";
    va_list ap;
    va_start(ap, format);
    vsnprintf(text + 17, 4096, format, ap);
    va_end(ap);
    platform::OutputDebugString(text);
}

void CQuillbarnMonitor::SetClockSource(std::function<time_t()> now)
{
    m_ClockSource = std::move(now);
}

void CQuillbarnMonitor::SetTickSource(std::function<uint32_t()> tick)
{
    m_TickSource = std::move(tick);
}

time_t CQuillbarnMonitor::Now() const
{
    return m_ClockSource ? m_ClockSource() : time(nullptr);
}

uint32_t CQuillbarnMonitor::Tick() const
{
    return m_TickSource ? m_TickSource() : platform::GetTickCount();
}

int CQuillbarnMonitor::Init()
{
    std::string path;
    if (platform::RegGetString(REG_INSTALL_KEY, REG_INSTALL_VALUE, path) && !path.empty())
    {
        if (path.size() > MAX_INSTALL_PATH)
            path.resize(MAX_INSTALL_PATH);
    }
    else
    {
        // The executable lives in <install>/bin: drop its last two components.
        path = platform::ExecutablePath();
        for (int i = 0; i < 2 && !path.empty(); ++i)
        {
            size_t slash = path.find_last_of('/');
            path.resize(slash == std::string::npos ? 0 : slash);
        }
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    m_InstallPath = path;
    Log("%s[Init] DataCenter Path = %s\n", MODULE_TAG, m_InstallPath.c_str());
    return m_InstallPath.empty() ? 0 : 1;
}

int CQuillbarnMonitor::Start()
{
    if (m_Thread && !m_Thread->HasEnded())
        return 1;
    m_bRunning = true;
    m_WakeEvent.Reset();
    m_Thread = platform::CreateThread(
        [this]() -> uint32_t
        {
            Run();
            return 0;
        });
    if (!m_Thread)
    {
        m_bRunning = false;
        return 0;
    }
    return 1;
}

bool CQuillbarnMonitor::Stop()
{
    m_bRunning = false;
    m_WakeEvent.Set();
    if (!m_Thread)
        return true;
    if (platform::WaitForSingleObject(m_Thread.get(), platform::ScaledInterval(THREAD_STOP_WAIT_MS)) ==
        platform::WAIT_OBJECT_0)
        return true;
    platform::TerminateThread(m_Thread, 0);
    return false;
}

void CQuillbarnMonitor::Run()
{
    StartQuillbarn();
    uint32_t elapsed = 0;
    while (m_bRunning.load())
    {
        if (IsQuillbarnStop() == 1)
        {
            Log("%s[Run] Detected Quillbarn Stop! Start It!\n", MODULE_TAG);
            OnQuillbarnStartByMonitor();
            StartQuillbarn();
        }
        else if (elapsed < PROBE_EVERY_MS)
        {
            elapsed += ELAPSED_STEP_MS;
        }
        else
        {
            elapsed = 0;
            if (IsTimeToRestartQuillbarn() == 1)
                StopQuillbarn(); // the next pass finds it stopped and starts it
            else if (KeepAliveWithQuillbarn() == 0)
                RestartQuillbarn();
        }
        // The pause between passes; a stop request cuts it short.
        platform::WaitForSingleObject(&m_WakeEvent, platform::ScaledInterval(PASS_SLEEP_MS));
    }
    StopQuillbarn();
}

bool CQuillbarnMonitor::QueryQuillbarnState(const char* operation, bool& stopped)
{
    // The manager's directory stands for the manager itself.
    std::string scm = platform::ScmDirectory();
    if (::access(scm.c_str(), R_OK | X_OK) != 0)
    {
        Log("%s[%s] Cannot Open SCM Err = %u\n", MODULE_TAG, operation, static_cast<unsigned>(errno));
        return false;
    }
    if (!platform::IsServiceInstalled(QUILLBARN_SERVICE_NAME))
    {
        Log("%s[%s] Cannot Open Service Err = %u\n", MODULE_TAG, operation, platform::ScmLastError());
        return false;
    }
    platform::ServiceState state = platform::QueryServiceState(QUILLBARN_SERVICE_NAME);
    if (platform::ScmLastError() != 0)
    {
        Log("%s[%s] Cannot QueryServiceStatus Err = %u\n", MODULE_TAG, operation, platform::ScmLastError());
        return false;
    }
    stopped = state == platform::ServiceState::Stopped;
    return true;
}

int CQuillbarnMonitor::IsQuillbarnStop()
{
    bool stopped = false;
    if (!QueryQuillbarnState("IsQuillbarnStop", stopped))
        return 0;
    return stopped ? 1 : 0;
}

int CQuillbarnMonitor::StartQuillbarn()
{
    bool stopped = false;
    if (!QueryQuillbarnState("StartQuillbarn", stopped))
        return 0;
    if (!stopped)
        return 1;
    if (!platform::StartService(QUILLBARN_SERVICE_NAME))
    {
        Log("%s[StartQuillbarn] Cannot Start Service Err = %u\n", MODULE_TAG, platform::ScmLastError());
        return 0;
    }
    Log("%s[StartQuillbarn] Start Service Succeed.\n", MODULE_TAG);
    return 1;
}

int CQuillbarnMonitor::StopQuillbarn()
{
    bool stopped = false;
    if (!QueryQuillbarnState("IsQuillbarnStop", stopped))
        return 0;
    if (stopped)
        return 0;
    if (!platform::ControlServiceStop(QUILLBARN_SERVICE_NAME))
    {
        Log("%s[IsQuillbarnStop] Stop Quillbarn Fail Err = %u\n", MODULE_TAG, platform::ScmLastError());
        return 0;
    }
    Log("%s[IsQuillbarnStop] Stop Quillbarn Succeed!\n", MODULE_TAG);
    return 1;
}

std::string CQuillbarnMonitor::RegisteredQuillbarnExecutable() const
{
    std::vector<std::string> args =
        platform::SplitCommandLine(platform::GetServiceCommand(QUILLBARN_SERVICE_NAME));
    if (args.empty() || args[0].find('/') == std::string::npos)
        return std::string();
    return RealPathOf(args[0]);
}

int CQuillbarnMonitor::GetQuillbarnPID(pid_t& pid)
{
    std::vector<platform::ProcessEntry> processes;
    if (!platform::SnapshotProcesses(processes))
    {
        Log("%s[GetQuillbarnPID] Cannot Create Process Snapshot Err = %u.\n", MODULE_TAG,
            static_cast<unsigned>(errno));
        return 0;
    }
    if (processes.empty())
    {
        Log("%s[GetQuillbarnPID] Cannot Process32First Err = %u.\n", MODULE_TAG,
            static_cast<unsigned>(ESRCH));
        return 0;
    }
    // Several installs (and collectors in the foreground) may share a machine: only the executable
    // the service manager names for this install is its collector. With none registered, no process
    // can be told to be ours, so none is.
    std::string registered = RegisteredQuillbarnExecutable();
    if (registered.empty())
    {
        Log("%s[GetQuillbarnPID] No Executable Registered For Service %s , No Process Is Taken For It.\n",
            MODULE_TAG, QUILLBARN_SERVICE_NAME);
        return 0;
    }
    for (const platform::ProcessEntry& p : processes)
    {
        Log("%s[GetQuillbarnPID] Enum Process ID = %u\t Name = %s\n", MODULE_TAG,
            static_cast<unsigned>(p.m_Pid), p.m_Name.c_str());
        if (strcasecmp(p.m_Name.c_str(), QUILLBARN_PROCESS_NAME) != 0)
            continue;
        if (p.m_ExePath.empty() || RealPathOf(p.m_ExePath) != registered)
            continue;
        pid = p.m_Pid;
        Log("%s[GetQuillbarnPID] Succeed To Get Quillbarn PID = %u.\n", MODULE_TAG,
            static_cast<unsigned>(pid));
        return 1;
    }
    return 0;
}

int CQuillbarnMonitor::KillProcessByPID(pid_t pid)
{
    if (!platform::IsProcessAlive(pid))
    {
        Log("%s[KillProcessByPID] Cannot Open Process PID = %u , Err = %u.\n", MODULE_TAG,
            static_cast<unsigned>(pid), static_cast<unsigned>(ESRCH));
        return 0;
    }
    if (!platform::TerminateProcess(pid))
    {
        Log("%s[KillProcessByPID] Cannot Terminate Process PID = %u , Err = %u.\n", MODULE_TAG,
            static_cast<unsigned>(pid), static_cast<unsigned>(errno));
        return 0;
    }
    Log("%s[KillProcessByPID] Succeed To Kill Quillbarn.\n", MODULE_TAG);
    return 1;
}

int CQuillbarnMonitor::KillQuillbarn()
{
    pid_t pid = 0;
    if (GetQuillbarnPID(pid) == 0)
        return 0;
    return KillProcessByPID(pid);
}

int CQuillbarnMonitor::RestartQuillbarn()
{
    if (StopQuillbarn() == 0)
        Log("%s[RestartQuillbarn] Call StopQuillbarn Fail.\n", MODULE_TAG);
    platform::Sleep(platform::ScaledInterval(RESTART_KILL_DELAY_MS));
    if (KillQuillbarn() == 0)
        Log("%s[RestartQuillbarn] Call KillQuillbarn Fail.\n", MODULE_TAG);
    int result = StartQuillbarn();
    if (result == 0)
        Log("%s[RestartQuillbarn] Call StartQuillbarn Fail.\n", MODULE_TAG);
    return result;
}

int CQuillbarnMonitor::GetDCListenPort()
{
    int port = platform::GetPrivateProfileInt("DatabaseConfig", "Port", DEFAULT_PORT, ConfigPath());
    Log("%s[GetDCListenPort] Get DC Listen Port = %d\n", MODULE_TAG, port);
    return port;
}

void CQuillbarnMonitor::BuildProbe(unsigned char (&probe)[PROBE_LEN])
{
    std::memset(probe, 0, sizeof probe);
    std::memcpy(probe, "logs0500", 8);
    std::memcpy(probe + 8, PROBE_TAG, PROBE_TAG_LEN);
    // m_LogType (offset 24) stays 0; m_DataLen (offset 28) is little-endian.
    uint32_t len = PROBE_LEN;
    for (int i = 0; i < 4; ++i)
        probe[28 + i] = static_cast<unsigned char>(len >> (8 * i));
}

int CQuillbarnMonitor::KeepAliveWithQuillbarn()
{
    int port = GetDCListenPort();
    CProbeClient client;
    if (!client.Create())
    {
        // A resource problem on this side must never restart the collector.
        Log("%s[KeepAliveWithQuillbarn] Cannot Alloc Socket.Err = %u\n", MODULE_TAG,
            static_cast<unsigned>(client.GetLastError()));
        return 1;
    }
    if (!client.SetNonBlocking())
        Log("%s[KeepAliveWithQuillbarn] Cannot Use Async Socket.Err = %u\n", MODULE_TAG,
            static_cast<unsigned>(client.GetLastError()));
    int err = client.Connect(PROBE_ADDRESS, static_cast<uint16_t>(port));
    if (err != 0)
        Log("%s[KeepAliveWithQuillbarn] connect Fail Err = %u\n", MODULE_TAG, static_cast<unsigned>(err));

    int result = 0;
    if (client.WaitWritable(platform::ScaledInterval(CONNECT_WAIT_MS)))
    {
        unsigned char probe[PROBE_LEN];
        BuildProbe(probe);
        client.Send(probe, sizeof probe, platform::ScaledInterval(CONNECT_WAIT_MS));
        if (client.WaitReadable(platform::ScaledInterval(ANSWER_WAIT_MS)))
        {
            char answer[1024];
            long n = client.Recv(answer, 1023);
            result =
                n >= static_cast<long>(PROBE_TAG_LEN) && std::memcmp(answer, PROBE_TAG, PROBE_TAG_LEN) == 0;
        }
    }
    client.Close();
    if (result == 1)
        Log("%s[KeepAliveWithQuillbarn] KeepAlive Succeed!\n", MODULE_TAG);
    return result;
}

int CQuillbarnMonitor::IsTimeToRestartQuillbarn()
{
    time_t now = Now();
    struct tm t
    {
    };
    localtime_r(&now, &t);
    if (t.tm_mday == m_LastRestartDay || t.tm_wday != RESTART_WEEKDAY || t.tm_hour != RESTART_HOUR ||
        t.tm_min < 0 || t.tm_min > RESTART_LAST_MINUTE)
        return 0;
    Log("%s[IsTimeToRestartQuillbarn] Need To Restart Quillbarn.\n", MODULE_TAG);
    m_LastRestartDay = t.tm_mday;
    return 1;
}

void CQuillbarnMonitor::OnQuillbarnStartByMonitor()
{
    m_StartTimes.push_back(Tick());
    if (m_StartTimes.size() > START_STORM_COUNT)
        m_StartTimes.pop_front();
    // Unsigned difference: right across the tick counter's wrap.
    if (m_StartTimes.size() == START_STORM_COUNT &&
        static_cast<uint32_t>(m_StartTimes.back() - m_StartTimes.front()) <=
            platform::ScaledInterval(START_STORM_WINDOW_MS))
    {
        Log("%s[OnQuillbarnStartByMonitor] Quillbarn Start Too Frequently! Shutdown LogMerge.\n", MODULE_TAG);
        platform::WritePrivateProfileString("Global", "EnableLogMerge", "0", AdvConfigPath());
    }
}
