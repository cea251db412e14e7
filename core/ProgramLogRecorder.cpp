#include "core/ProgramLogRecorder.h"

#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"
#include "platform/LogSink.h"
#include "platform/Tick.h"

#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr size_t LINE_BUFFER_SIZE = 2048;

// Appends a formatted piece, cut to the room that is left.
void AppendPiece(char* buf, size_t& len, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void AppendPiece(char* buf, size_t& len, const char* fmt, ...)
{
    if (len >= LINE_BUFFER_SIZE - 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + len, LINE_BUFFER_SIZE - len, fmt, ap);
    va_end(ap);
    if (n > 0)
        len += std::min(static_cast<size_t>(n), LINE_BUFFER_SIZE - 1 - len);
}
} // namespace

CProgramLogRecorder* CProgramLogRecorder::GetInstance()
{
    static CProgramLogRecorder* instance = []
    {
        CProgramLogRecorder* log = new CProgramLogRecorder();
        // The platform layer's reports go to the same file.
        platform::SetLogSink(platform::LogSink{
            [](uint32_t level) { return CProgramLogRecorder::GetInstance()->WouldLog(level); },
            [](uint32_t level, const char* tag, const char* text)
            { CProgramLogRecorder::GetInstance()->Log(level, tag, "%s", text); }});
        return log;
    }();
    return instance;
}

CProgramLogRecorder::~CProgramLogRecorder()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

bool CProgramLogRecorder::Init()
{
    m_bInit = 1;
    return true;
}

bool CProgramLogRecorder::UnInit()
{
    m_bInit = 0;
    return true;
}

const char* CProgramLogRecorder::LevelText(uint32_t level)
{
    switch (level)
    {
    case PL_ERROR:
        return "[ERROR]";
    case PL_WARN:
        return "[WARN]";
    case PL_DEBUG:
        return "[DEBUG]";
    case PL_INFO:
        return "[INFO]";
    case PL_DUMP:
        return "[DUMP]";
    default:
        return "[NORMAL]";
    }
}

bool CProgramLogRecorder::WouldLog(uint32_t level) const
{
    const ProgramLogConfig& cfg = m_Settings;
    if (cfg.m_GlobalEnable == 0)
        return false;
    if (cfg.m_DebugViewEnable == 0 && cfg.m_TxtLogEnable == 0)
        return false;
    if (platform::IsDebugOutputEnabled())
        return true;
    if (!m_bInit)
        return false;
    if (m_bConsole)
        return true;
    return cfg.m_TxtLogEnable != 0 && (static_cast<uint32_t>(cfg.m_LogLevel) & level) != 0;
}

void CProgramLogRecorder::Log(uint32_t level, const char* moduleTag, const char* format, ...)
{
    if (!WouldLog(level))
        return;
    const ProgramLogConfig& cfg = m_Settings;

    char line[LINE_BUFFER_SIZE];
    size_t len = 0;
    line[0] = '\0';
    LocalTime now = CClock::Now();
    AppendPiece(line, len, "[%d-%02d-%02d %02d:%02d:%02d]", now.m_Year, now.m_Month, now.m_Day, now.m_Hour,
                now.m_Minute, now.m_Second);
    AppendPiece(line, len, "[Quillbarn]");
    AppendPiece(line, len, "[PID=%04u]", platform::GetCurrentProcessId());
    AppendPiece(line, len, "%s", LevelText(level));
    AppendPiece(line, len, "[TID=%04u]", platform::GetCurrentThreadId());
    if (moduleTag)
        AppendPiece(line, len, "%s", moduleTag);
    if (format && len < LINE_BUFFER_SIZE - 1)
    {
        va_list ap;
        va_start(ap, format);
        int n = vsnprintf(line + len, LINE_BUFFER_SIZE - len, format, ap);
        va_end(ap);
        if (n > 0)
            len += std::min(static_cast<size_t>(n), LINE_BUFFER_SIZE - 1 - len);
    }
    line[len] = '\0';

    if (m_bInit && cfg.m_TxtLogEnable != 0 && (static_cast<uint32_t>(cfg.m_LogLevel) & level) != 0)
        WriteLine(line, static_cast<uint32_t>(len));
    platform::OutputDebugString(line);
    if (m_bConsole && m_bInit)
    {
        CCSLocker lock(m_ConsoleLock);
        fwrite(line, 1, len, stdout);
        fflush(stdout);
    }
}

void CProgramLogRecorder::WriteLine(const char* text, uint32_t length)
{
    if (text == nullptr)
        return;
    if (length == 0xFFFFFFFF)
        length = static_cast<uint32_t>(strlen(text));
    if (!m_bInit)
        return;
    CCSLocker lock(m_FileLock);
    if (m_Fd < 0 && !OpenTodayFile())
        return;

    const ProgramLogConfig& cfg = m_Settings;
    bool sizeRuleFailed = false;
    if (cfg.m_MaxLogSize != 0)
    {
        struct stat st
        {
        };
        if (fstat(m_Fd, &st) != 0)
            sizeRuleFailed = true;
        else if (static_cast<uint64_t>(st.st_size) >= static_cast<uint64_t>(cfg.m_MaxLogSize) * 1024u)
            sizeRuleFailed = ftruncate(m_Fd, 0) != 0 || lseek(m_Fd, 0, SEEK_SET) != 0;
    }
    LocalTime now = CClock::Now();
    if (sizeRuleFailed || now.m_Year != m_Year || now.m_Month != m_Month || now.m_Day != m_Day)
    {
        if (!OpenTodayFile())
            return;
    }
    ssize_t ignored = write(m_Fd, text, length);
    (void)ignored;
}

bool CProgramLogRecorder::OpenTodayFile()
{
    LocalTime now = CClock::Now();
    char name[64];
    snprintf(name, sizeof(name), "/LogFile_%04d_%02d_%02d.log", now.m_Year, now.m_Month, now.m_Day);
    std::string path = CGlobalSharedData::GetInstance()->GetLogDir() + name;
    if (m_Fd >= 0)
    {
        close(m_Fd);
        m_Fd = -1;
    }
    m_Fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_Fd < 0)
        return false;
    m_Year = now.m_Year;
    m_Month = now.m_Month;
    m_Day = now.m_Day;
    DeleteOldLogFiles();
    return true;
}

void CProgramLogRecorder::DeleteOldLogFiles()
{
    int maxFiles = m_Settings.m_MaxLogFiles;
    if (maxFiles <= 0)
        return;
    const std::string& dir = CGlobalSharedData::GetInstance()->GetLogDir();
    std::vector<std::string> files = platform::ListDirectory(dir, "LogFile_*.log", true);
    if (files.size() <= static_cast<size_t>(maxFiles))
        return;
    size_t excess = files.size() - static_cast<size_t>(maxFiles);
    for (size_t i = 0; i < excess; ++i)
        platform::DeleteFile(dir + "/" + files[i]);
}

void CProgramLogRecorder::LockAll()
{
    m_ConsoleLock.Enter();
    m_FileLock.Enter();
}

void CProgramLogRecorder::UnlockAll()
{
    m_FileLock.Leave();
    m_ConsoleLock.Leave();
}
