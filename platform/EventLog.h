#pragma once

#include <string>

namespace platform
{

// One information entry in the system log (facility daemon) under `source` as the identity.
void ReportEventInfo(const std::string& source, const char* text);

} // namespace platform
