#include "platform/AnchoredPath.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
bool IsPlainPathComponent(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int OpenDirectoryBelow(const std::string& root, const std::vector<std::string>& components, bool create)
{
    for (const std::string& c : components)
    {
        if (!IsPlainPathComponent(c))
        {
            errno = EINVAL;
            return -1;
        }
    }
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    for (const std::string& c : components)
    {
        int next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create)
        {
            if (mkdirat(fd, c.c_str(), 0755) != 0 && errno != EEXIST)
            {
                int e = errno;
                close(fd);
                errno = e;
                return -1;
            }
            next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        int e = errno;
        close(fd);
        if (next < 0)
        {
            errno = e;
            return -1;
        }
        fd = next;
    }
    return fd;
}

int CreateNewFileAt(int dirFd, const std::string& name)
{
    if (!IsPlainPathComponent(name))
    {
        errno = EINVAL;
        return -1;
    }
    return openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool DeleteFileAt(int dirFd, const std::string& name)
{
    if (!IsPlainPathComponent(name))
    {
        errno = EINVAL;
        return false;
    }
    return unlinkat(dirFd, name.c_str(), 0) == 0;
}

bool SetFileLength(int fd, uint64_t length)
{
    if (length > static_cast<uint64_t>(INT64_MAX))
    {
        errno = EFBIG;
        return false;
    }
    return ftruncate(fd, static_cast<off_t>(length)) == 0;
}

void CloseDescriptor(int fd)
{
    if (fd >= 0)
        close(fd);
}
} // namespace platform
