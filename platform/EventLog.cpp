#include "platform/EventLog.h"

#include <mutex>
#include <set>
#include <syslog.h>

namespace platform
{

void ReportEventInfo(const std::string& source, const char* text)
{
    if (text == nullptr)
        return;
    // openlog keeps the ident pointer, so every ident used lives for the rest of the process.
    static std::mutex lock;
    static std::set<std::string> idents;
    static const std::string* current = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (current == nullptr || *current != source)
    {
        current = &*idents.insert(source).first;
        openlog(current->c_str(), LOG_PID, LOG_DAEMON);
    }
    syslog(LOG_DAEMON | LOG_INFO, "%s", text);
}

} // namespace platform
