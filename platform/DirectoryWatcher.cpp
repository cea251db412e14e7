#include "platform/DirectoryWatcher.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform
{
namespace
{
constexpr uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A rename queues its two halves one after the other; a read that falls
// between them waits this long for the second half.
constexpr int RENAME_PAIR_WAIT_MS = 10;

// platform::WriteFileAtomic (and so every profile write) replaces a file by
// renaming ".<name>.XXXXXX" over it: to a watcher that is a write of <name>,
// as the in-place write it stands for would be. The temporary file itself is
// not reported.
bool IsReplaceTemp(const std::string& name, std::string* target)
{
    size_t n = name.size();
    if (n < 9 || name[0] != '.' || name[n - 7] != '.')
        return false;
    for (size_t i = n - 6; i < n; ++i)
    {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    if (target)
        *target = name.substr(1, n - 8);
    return true;
}

struct RawChange
{
    std::string m_Name;
    uint32_t m_Mask;
    uint32_t m_Cookie;
};
} // namespace

CDirectoryWatcher::~CDirectoryWatcher()
{
    Close();
}

bool CDirectoryWatcher::Open(const std::string& dir)
{
    Close();
    m_Dir = dir;
    m_Fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_Fd < 0)
        return false;
    return Rearm();
}

bool CDirectoryWatcher::Rearm()
{
    if (m_Fd < 0)
    {
        errno = EBADF;
        return false;
    }
    if (m_Wd >= 0)
        return true;
    m_Wd = inotify_add_watch(m_Fd, m_Dir.c_str(), WATCH_MASK);
    return m_Wd >= 0;
}

void CDirectoryWatcher::Close()
{
    if (m_Fd >= 0)
        close(m_Fd);
    m_Fd = -1;
    m_Wd = -1;
}

bool CDirectoryWatcher::TryAcquire()
{
    int pending = 0;
    return m_Fd >= 0 && ioctl(m_Fd, FIONREAD, &pending) == 0 && pending > 0;
}

bool CDirectoryWatcher::ReadChanges(char* buffer, size_t size, std::vector<DirChange>& out)
{
    if (m_Fd < 0 || buffer == nullptr || size < MIN_BUFFER_SIZE)
    {
        errno = m_Fd < 0 ? EBADF : EINVAL;
        return false;
    }
    std::vector<RawChange> raw;
    bool watchEnded = false;
    int readError = 0;
    bool waitedForPair = false;
    for (;;)
    {
        ssize_t n = read(m_Fd, buffer, size);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
            {
                readError = errno;
                break;
            }
            // The first half of a rename read without its second half.
            if (!waitedForPair && !raw.empty() && (raw.back().m_Mask & IN_MOVED_FROM))
            {
                waitedForPair = true;
                pollfd p{m_Fd, POLLIN, 0};
                if (poll(&p, 1, RENAME_PAIR_WAIT_MS) == 1)
                    continue;
            }
            break;
        }
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;)
        {
            const inotify_event* ev = reinterpret_cast<const inotify_event*>(buffer + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
            {
                watchEnded = true;
                continue;
            }
            if ((ev->mask & IN_ISDIR) || ev->len == 0)
                continue; // subdirectories and queue overflow are not reported
            raw.push_back(RawChange{std::string(ev->name, strnlen(ev->name, ev->len)), ev->mask, ev->cookie});
        }
    }

    for (size_t i = 0; i < raw.size(); ++i)
    {
        const RawChange& c = raw[i];
        uint32_t action = 0;
        std::string replaced;
        if (IsReplaceTemp(c.m_Name, nullptr))
            continue;
        if (c.m_Mask & IN_MOVED_TO)
        {
            for (size_t j = 0; j < i && replaced.empty(); ++j)
            {
                std::string target;
                if ((raw[j].m_Mask & IN_MOVED_FROM) && raw[j].m_Cookie == c.m_Cookie &&
                    IsReplaceTemp(raw[j].m_Name, &target) && target == c.m_Name)
                    replaced = target;
            }
        }
        // The first test that holds decides, so two of them may lead to the same action.
        if (!replaced.empty())
            action = FILE_ACTION_MODIFIED; // NOLINT(bugprone-branch-clone)
        else if (c.m_Mask & IN_CREATE)
            action = FILE_ACTION_ADDED;
        else if (c.m_Mask & IN_DELETE)
            action = FILE_ACTION_REMOVED;
        else if (c.m_Mask & IN_MODIFY)
            action = FILE_ACTION_MODIFIED;
        else if (c.m_Mask & IN_MOVED_FROM)
        {
            bool paired = false;
            for (size_t j = i + 1; j < raw.size() && !paired; ++j)
                paired = (raw[j].m_Mask & IN_MOVED_TO) && raw[j].m_Cookie == c.m_Cookie;
            action = paired ? FILE_ACTION_RENAMED_OLD_NAME : FILE_ACTION_REMOVED;
        }
        else if (c.m_Mask & IN_MOVED_TO)
        {
            bool paired = false;
            for (size_t j = 0; j < i && !paired; ++j)
                paired = (raw[j].m_Mask & IN_MOVED_FROM) && raw[j].m_Cookie == c.m_Cookie;
            action = paired ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED;
        }
        if (action == 0)
            continue;
        // A save that writes in several pieces is one modification.
        if (action == FILE_ACTION_MODIFIED && !out.empty() && out.back().m_Action == FILE_ACTION_MODIFIED &&
            out.back().m_FileName == c.m_Name)
            continue;
        out.push_back(DirChange{c.m_Name, action});
    }

    if (readError != 0)
    {
        errno = readError;
        return false;
    }
    if (watchEnded)
    {
        // The kernel dropped the watch with the directory; a new watch on a
        // new directory of that name gets a new descriptor.
        if (m_Wd >= 0)
            inotify_rm_watch(m_Fd, m_Wd);
        m_Wd = -1;
        errno = ENOENT;
        return false;
    }
    return true;
}
} // namespace platform
