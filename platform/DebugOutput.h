#pragma once

namespace platform
{

// Sink for debugger output. Off by default; the environment variable QUILLBARN_DEBUG_OUTPUT selects
// "stderr" or "syslog" (read once, at first use). Callers test IsDebugOutputEnabled() before
// formatting so that a disabled sink costs one load.

enum class DebugOutputSink
{
    Off = 0,
    Stderr = 1,
    Syslog = 2
};

bool IsDebugOutputEnabled();
DebugOutputSink GetDebugOutputSink();

// Writes the text as it is (the caller supplies line feeds); does nothing when off.
void OutputDebugString(const char* text);

// Reads QUILLBARN_DEBUG_OUTPUT again, for a process that changes it after start.
void ReloadDebugOutputSetting();

} // namespace platform
