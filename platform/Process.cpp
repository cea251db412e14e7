#include "platform/Process.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace platform
{

namespace
{

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Process state letter from /proc/<pid>/stat, 0 when the process is gone. The kernel's name in
// parentheses may itself hold blanks and parentheses, so the state is read after the last ')'.
char ProcessState(pid_t pid, std::string* kernelName)
{
    std::string stat;
    if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat))
        return 0;
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat.size())
        return 0;
    if (kernelName != nullptr)
        *kernelName = stat.substr(open + 1, close - open - 1);
    return stat[close + 2];
}

bool IsZombieState(char state)
{
    return state == 'Z' || state == 'X' || state == 'x';
}

} // namespace

bool SnapshotProcesses(std::vector<ProcessEntry>& processes)
{
    processes.clear();
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return false;
    while (struct dirent* e = ::readdir(dir))
    {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != 0 || pid <= 0)
            continue;
        std::string kernelName;
        char state = ProcessState(static_cast<pid_t>(pid), &kernelName);
        if (state == 0 || IsZombieState(state))
            continue;
        ProcessEntry entry;
        entry.m_Pid = static_cast<pid_t>(pid);
        char buf[PATH_MAX + 1];
        std::string link = "/proc/" + std::to_string(pid) + "/exe";
        ssize_t n = ::readlink(link.c_str(), buf, PATH_MAX);
        if (n > 0)
        {
            entry.m_ExePath.assign(buf, static_cast<size_t>(n));
            const std::string deleted = " (deleted)";
            if (entry.m_ExePath.size() > deleted.size() &&
                entry.m_ExePath.compare(entry.m_ExePath.size() - deleted.size(), deleted.size(), deleted) ==
                    0)
                entry.m_ExePath.resize(entry.m_ExePath.size() - deleted.size());
            entry.m_Name = BaseName(entry.m_ExePath);
        }
        else
        {
            std::string cmdline;
            if (ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline", cmdline) && !cmdline.empty())
                entry.m_Name = BaseName(std::string(cmdline.c_str()));
            if (entry.m_Name.empty())
                entry.m_Name = kernelName;
        }
        processes.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(processes.begin(), processes.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.m_Pid < b.m_Pid; });
    return true;
}

bool TerminateProcess(pid_t pid)
{
    if (pid <= 0)
    {
        errno = EINVAL;
        return false;
    }
    return ::kill(pid, SIGKILL) == 0;
}

bool IsProcessAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    char state = ProcessState(pid, nullptr);
    return state != 0 && !IsZombieState(state);
}

} // namespace platform
