#include "platform/NamedEvent.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
CNamedEvent::~CNamedEvent()
{
    Close();
}

bool CNamedEvent::Create(const std::string& path)
{
    Close();
    struct stat st
    {
    };
    if (lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode))
        unlink(path.c_str());
    bool created = false;
    for (int attempt = 0; attempt < 2 && !created; ++attempt)
    {
        if (mkfifo(path.c_str(), 0600) == 0)
        {
            created = true;
            break;
        }
        if (errno != EEXIST)
            return false;
        // A FIFO somebody reads belongs to a live owner: it is not taken over. One nobody reads was
        // left behind by an owner that died; it is made anew.
        int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe >= 0)
        {
            close(probe);
            errno = EBUSY;
            return false;
        }
        if (errno != ENXIO)
            return false;
        unlink(path.c_str());
    }
    if (!created)
    {
        errno = EBUSY;
        return false;
    }
    m_ReadFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_ReadFd < 0)
    {
        unlink(path.c_str());
        return false;
    }
    m_KeepWriterFd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    m_Path = path;
    return true;
}

void CNamedEvent::Close()
{
    if (m_ReadFd >= 0)
        close(m_ReadFd);
    if (m_KeepWriterFd >= 0)
        close(m_KeepWriterFd);
    // Only the FIFO this object made is removed: never another owner's.
    if (!m_Path.empty())
        unlink(m_Path.c_str());
    m_ReadFd = m_KeepWriterFd = -1;
    m_Path.clear();
}

bool CNamedEvent::TryAcquire()
{
    char buf[64];
    bool got = false;
    for (;;)
    {
        ssize_t n = read(m_ReadFd, buf, sizeof(buf));
        if (n <= 0)
            break;
        got = true;
    }
    return got;
}

bool SetNamedEvent(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false; // ENXIO: nobody owns it
    char one = 1;
    bool ok = write(fd, &one, 1) == 1;
    close(fd);
    return ok;
}
} // namespace platform

namespace platform
{
int SetNamedEvents(const std::string& dir, const std::string& name)
{
    int reached = 0;
    for (const std::string& entry : ListDirectory(dir, name + "*", false))
    {
        // The name itself, or the name, a dot and the owner's process id.
        if (entry != name && (entry.size() <= name.size() + 1 || entry[name.size()] != '.' ||
                              entry.find_first_not_of("0123456789", name.size() + 1) != std::string::npos))
            continue;
        if (SetNamedEvent(dir + "/" + entry))
            ++reached;
    }
    return reached;
}
} // namespace platform
