#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

// Names (not paths) of the entries of `dir` whose name matches the shell pattern `pattern`
// ('*', '?', '[...]'), compared without regard to case as directory enumeration always did here;
// "." and ".." are never listed. With `filesOnly` only regular files (symbolic links followed) are
// listed, otherwise every entry. Sorted ascending byte-wise. An unreadable directory gives an empty list.
std::vector<std::string> ListDirectory(const std::string& dir, const std::string& pattern, bool filesOnly);
// The same, telling why a listing is missing or short: `openError` is the errno of opening the
// directory, `readError` that of an enumeration that ended early (what was read is kept). False
// when either is set.
bool ListDirectory(const std::string& dir, const std::string& pattern, bool filesOnly,
                   std::vector<std::string>& names, int& openError, int& readError);

// Bytes available to an unprivileged caller on the file system holding `path`.
bool GetDiskFreeBytes(const std::string& path, uint64_t& freeBytes);

bool FileExists(const std::string& path); // any kind of entry
bool IsDirectory(const std::string& path);
bool GetFileSize64(const std::string& path, uint64_t& size);
// Size and last modification (unix seconds) of one file.
bool GetFileSizeAndTime(const std::string& path, uint64_t& size, int64_t& modified);

// Copies the content and permission bits of `src` to `dst`. With `failIfExists` an existing `dst`
// fails with errno EEXIST. A failed copy leaves no partial `dst` behind.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);
bool DeleteFile(const std::string& path);

// Creates one directory level (mode 0755 less umask); errno tells why it failed (EEXIST when the
// entry is already there).
bool CreateDirectory(const std::string& path);
// Creates `path` and any missing parents; true when it exists as a directory afterwards.
bool CreateDirectories(const std::string& path);

// Absolute path of the running executable; empty if it cannot be read.
std::string ExecutablePath();

// Whole-file helpers. WriteFileAtomic writes a temporary file in the same directory and renames it
// over `path`, so a concurrent reader sees either the old or the new content, never a mix. The
// permission bits of a replaced file are kept (new files get `newFileMode` less umask). With
// `failIfExists` the new file is linked into place only if `path` does not exist yet (errno EEXIST).
bool ReadWholeFile(const std::string& path, std::string& content);
bool WriteFileAtomic(const std::string& path, const std::string& content, bool failIfExists = false,
                     unsigned newFileMode = 0644);

} // namespace platform
