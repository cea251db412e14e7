#include "platform/DebugOutput.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

namespace platform
{

namespace
{

// -1: not read yet; otherwise a DebugOutputSink value.
std::atomic<int> g_Sink{-1};

int ReadSetting()
{
    const char* env = std::getenv("QUILLBARN_DEBUG_OUTPUT");
    if (env != nullptr && strcasecmp(env, "stderr") == 0)
        return static_cast<int>(DebugOutputSink::Stderr);
    if (env != nullptr && strcasecmp(env, "syslog") == 0)
        return static_cast<int>(DebugOutputSink::Syslog);
    return static_cast<int>(DebugOutputSink::Off);
}

inline int Sink()
{
    int s = g_Sink.load(std::memory_order_relaxed);
    if (s < 0)
    {
        s = ReadSetting();
        g_Sink.store(s, std::memory_order_relaxed);
    }
    return s;
}

} // namespace

bool IsDebugOutputEnabled()
{
    return Sink() != static_cast<int>(DebugOutputSink::Off);
}

DebugOutputSink GetDebugOutputSink()
{
    return static_cast<DebugOutputSink>(Sink());
}

void OutputDebugString(const char* text)
{
    if (text == nullptr)
        return;
    int s = Sink();
    if (s == static_cast<int>(DebugOutputSink::Stderr))
    {
        // One write per call keeps lines of concurrent threads whole.
        size_t len = std::strlen(text);
        while (len > 0)
        {
            ssize_t n = ::write(STDERR_FILENO, text, len);
            if (n < 0)
            {
                if (errno == EINTR)
                    continue;
                return;
            }
            text += n;
            len -= static_cast<size_t>(n);
        }
    }
    else if (s == static_cast<int>(DebugOutputSink::Syslog))
    {
        syslog(LOG_USER | LOG_DEBUG, "%s", text);
    }
}

void ReloadDebugOutputSetting()
{
    g_Sink.store(ReadSetting(), std::memory_order_relaxed);
}

} // namespace platform
