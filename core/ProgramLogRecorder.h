#pragma once
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

enum : uint32_t
{
    PL_NORMAL = 0,
    PL_ERROR = 1,
    PL_WARN = 2,
    PL_DEBUG = 4,
    PL_INFO = 8,
    PL_DUMP = 16,
};

// Values of ProgramLog.conf. The configuration manager writes them when it loads the file; every log
// call reads them without a lock.
struct ProgramLogConfig
{
    std::atomic<int> m_GlobalEnable{0};
    std::atomic<int> m_DebugViewEnable{0};
    std::atomic<int> m_TxtLogEnable{0};
    std::atomic<int> m_MaxLogSize{0};
    std::atomic<int> m_LogLevel{0};
    std::atomic<int> m_MaxLogFiles{0};
};

// The collector's diagnostic log: one line per call to the daily file, the
// debug-output sink and, in console mode, the console.
class CProgramLogRecorder
{
public:
    static CProgramLogRecorder* GetInstance();
    virtual ~CProgramLogRecorder();

    bool Init();
    bool UnInit();
    void Log(uint32_t level, const char* moduleTag, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void WriteLine(const char* text, uint32_t length);
    void LockAll();
    void UnlockAll();
    // True when a line of this level would reach at least one output; the
    // line is not formatted otherwise.
    bool WouldLog(uint32_t level) const;

    // Console mode is decided by the service module; kept here so that the
    // log does not depend on it.
    void SetConsoleMode(bool console) { m_bConsole = console; }

    // Read without a lock by the crash report, which cannot take the log's
    // locks and writes its lines itself.
    bool IsInit() const { return m_bInit != 0; }
    bool IsConsoleMode() const { return m_bConsole; }

    static const char* LevelText(uint32_t level);

    ProgramLogConfig& Settings() { return m_Settings; }
    const ProgramLogConfig& Settings() const { return m_Settings; }

private:
    CProgramLogRecorder() = default;
    bool OpenTodayFile();
    void DeleteOldLogFiles();

    ProgramLogConfig m_Settings;
    std::atomic<int> m_bInit{0};
    std::atomic<bool> m_bConsole{false};
    platform::CCriticalSection m_FileLock;
    platform::CCriticalSection m_ConsoleLock;
    int m_Fd = -1;
    int m_Year = 0, m_Month = 0, m_Day = 0;
};

// Shorthand used everywhere: the format is not evaluated when no output takes the line.
#define QB_LOG(level, tag, ...)                                                                              \
    do                                                                                                       \
    {                                                                                                        \
        CProgramLogRecorder* qbLog_ = CProgramLogRecorder::GetInstance();                                    \
        if (qbLog_->WouldLog(level))                                                                         \
            qbLog_->Log(level, tag, __VA_ARGS__);                                                            \
    } while (0)
