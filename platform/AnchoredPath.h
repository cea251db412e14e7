// Files below a trusted root directory that must stay below it: every level under the root is opened
// relative to the one above and never through a symbolic link, so a link planted in the tree cannot
// send a write or a delete elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{
// Opens the directory root/c1/c2/... (creating missing levels with mode 0755 when `create`) and returns
// its descriptor, or -1 with errno. `root` itself is opened as given; no level below it may be a
// symbolic link (ELOOP/ENOTDIR), and a component that is empty, ".", ".." or holds a '/' is refused
// (EINVAL).
int OpenDirectoryBelow(const std::string& root, const std::vector<std::string>& components, bool create);

// A component that OpenDirectoryBelow accepts.
bool IsPlainPathComponent(const std::string& name);

// Creates `name` in the directory `dirFd` for reading and writing; fails (errno EEXIST) when any entry
// of that name exists, a symbolic link included. Returns the descriptor or -1.
int CreateNewFileAt(int dirFd, const std::string& name);

// Removes the file `name` of the directory `dirFd` (never a directory; a link is removed itself).
bool DeleteFileAt(int dirFd, const std::string& name);

// Sets the length of an open file (grows sparse, or cuts).
bool SetFileLength(int fd, uint64_t length);

// Closes a descriptor that is not -1.
void CloseDescriptor(int fd);
} // namespace platform
