#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform
{

namespace
{

bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0)
    {
        ssize_t n = ::write(fd, data, len);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

std::vector<std::string> ListDirectory(const std::string& dir, const std::string& pattern, bool filesOnly)
{
    std::vector<std::string> names;
    int openError = 0, readError = 0;
    ListDirectory(dir, pattern, filesOnly, names, openError, readError);
    return names;
}

bool ListDirectory(const std::string& dir, const std::string& pattern, bool filesOnly,
                   std::vector<std::string>& names, int& openError, int& readError)
{
    names.clear();
    openError = readError = 0;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
    {
        openError = errno;
        return false;
    }
    for (;;)
    {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr)
        {
            readError = errno;
            break;
        }
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        if (::fnmatch(pattern.c_str(), name, FNM_CASEFOLD) != 0)
            continue;
        if (filesOnly)
        {
            bool regular = e->d_type == DT_REG;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK)
            {
                struct stat st;
                regular = ::fstatat(::dirfd(d), name, &st, 0) == 0 && S_ISREG(st.st_mode);
            }
            if (!regular)
                continue;
        }
        names.emplace_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return readError == 0;
}

bool GetDiskFreeBytes(const std::string& path, uint64_t& freeBytes)
{
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0)
        return false;
    freeBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return true;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GetFileSize64(const std::string& path, uint64_t& size)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool GetFileSizeAndTime(const std::string& path, uint64_t& size, int64_t& modified)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    modified = static_cast<int64_t>(st.st_mtime);
    return true;
}

bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists)
{
    int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st = {};
    errno = 0;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode))
    {
        int err = errno;
        if (err == 0 || S_ISDIR(st.st_mode))
            err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(in);
        errno = err;
        return false;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = ::open(dst.c_str(), flags, st.st_mode & 07777);
    if (out < 0)
    {
        int err = errno;
        ::close(in);
        errno = err;
        return false;
    }
    bool ok = true;
    char buf[65536];
    for (;;)
    {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (!WriteAll(out, buf, static_cast<size_t>(n)))
        {
            ok = false;
            break;
        }
    }
    int err = errno;
    if (ok)
        ::fchmod(out, st.st_mode & 07777);
    if (::close(out) != 0 && ok)
    {
        ok = false;
        err = errno;
    }
    ::close(in);
    if (!ok)
    {
        ::unlink(dst.c_str());
        errno = err;
    }
    return ok;
}

bool DeleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool CreateDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0;
}

bool CreateDirectories(const std::string& path)
{
    if (path.empty())
        return false;
    if (IsDirectory(path))
        return true;
    size_t pos = 0;
    while ((pos = path.find('/', pos + 1)) != std::string::npos)
    {
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    return IsDirectory(path);
}

std::string ExecutablePath()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

bool ReadWholeFile(const std::string& path, std::string& content)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content.clear();
    char buf[16384];
    for (;;)
    {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            errno = err;
            return false;
        }
        content.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& content, bool failIfExists,
                     unsigned newFileMode)
{
    std::string tmp = DirectoryOf(path) + "/." + path.substr(path.find_last_of('/') + 1) + ".XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat old;
    mode_t mode;
    if (::stat(path.c_str(), &old) == 0)
        mode = old.st_mode & 07777;
    else
    {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = static_cast<mode_t>(newFileMode) & ~mask;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok)
    {
        ok = false;
        err = errno;
    }
    if (ok)
    {
        if (failIfExists)
        {
            // link() refuses an existing target, which makes the exclusive create atomic too.
            ok = ::link(tmp.c_str(), path.c_str()) == 0;
            err = errno;
            ::unlink(tmp.c_str());
        }
        else
        {
            ok = ::rename(tmp.c_str(), path.c_str()) == 0;
            err = errno;
        }
    }
    if (!ok)
    {
        ::unlink(tmp.c_str());
        errno = err;
    }
    return ok;
}

} // namespace platform
