#include "platform/NamedEvent.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
CNamedEvent::~CNamedEvent() { Close(); }

bool CNamedEvent::Create(const std::string& path)
{
    Close();
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode))
        unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
        return false;
    m_ReadFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_ReadFd < 0)
        return false;
    m_KeepWriterFd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    m_Path = path;
    // Drain what an earlier owner left behind.
    TryAcquire();
    return true;
}

void CNamedEvent::Close()
{
    if (m_ReadFd >= 0)
        close(m_ReadFd);
    if (m_KeepWriterFd >= 0)
        close(m_KeepWriterFd);
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
