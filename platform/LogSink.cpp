#include "platform/LogSink.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace platform
{
namespace
{
std::atomic<bool (*)(uint32_t)> g_WouldLog{nullptr};
std::atomic<void (*)(uint32_t, const char*, const char*)> g_Log{nullptr};
} // namespace

void SetLogSink(const LogSink& sink)
{
    g_Log.store(sink.m_Log);
    g_WouldLog.store(sink.m_WouldLog);
}

bool LogWouldWrite(uint32_t level)
{
    bool (*wouldLog)(uint32_t) = g_WouldLog.load();
    return wouldLog != nullptr && g_Log.load() != nullptr && wouldLog(level);
}

void LogLine(uint32_t level, const char* moduleTag, const char* format, ...)
{
    if (!LogWouldWrite(level))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    g_Log.load()(level, moduleTag, text);
}
} // namespace platform
