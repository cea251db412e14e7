// The program log lives above this layer; it hands its line writer down here so that the few
// platform parts that report (the socket registry) write the same lines as everything else.
#pragma once
#include <cstdint>

namespace platform
{
struct LogSink
{
    bool (*m_WouldLog)(uint32_t level);
    void (*m_Log)(uint32_t level, const char* moduleTag, const char* text);
};

// Until a sink is set, lines go nowhere.
void SetLogSink(const LogSink& sink);
bool LogWouldWrite(uint32_t level);
void LogLine(uint32_t level, const char* moduleTag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
} // namespace platform
