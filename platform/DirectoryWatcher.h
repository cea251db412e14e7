#pragma once
#include "platform/Event.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform
{
// Actions of a directory-change record, with the values the notification
// records have always carried.
enum : uint32_t
{
    FILE_ACTION_ADDED = 1,
    FILE_ACTION_REMOVED = 2,
    FILE_ACTION_MODIFIED = 3,
    FILE_ACTION_RENAMED_OLD_NAME = 4,
    FILE_ACTION_RENAMED_NEW_NAME = 5,
};

struct DirChange
{
    std::string m_FileName; // name within the watched directory
    uint32_t m_Action = 0;
};

// Change notification for the files of one directory (not its
// subdirectories), on inotify. Reported: a file created or moved in from
// elsewhere is "added"; deleted or moved away is "removed"; written or
// truncated is "modified"; renamed within the directory gives "renamed-old"
// then "renamed-new". A file replaced through WriteFileAtomic (as every
// profile write is) is "modified", like the in-place write it stands for;
// its temporary file is not reported. Subdirectory entries are not reported.
// Changes queue up from Open on, so nothing is missed between two reads.
//
// Waitable: signalled while changes are waiting to be read, so it can sit in
// one wait with the exit event.
class CDirectoryWatcher : public CWaitable
{
public:
    CDirectoryWatcher() = default;
    ~CDirectoryWatcher() override;
    CDirectoryWatcher(const CDirectoryWatcher&) = delete;
    CDirectoryWatcher& operator=(const CDirectoryWatcher&) = delete;

    // Starts watching `dir`. On failure errno tells why; IsCreated() tells
    // whether the notification object itself could be made (false) or only
    // the directory could not be watched (true).
    bool Open(const std::string& dir);
    // Watches the directory again after it was removed or moved away (the
    // watch ends then); true when it is watched.
    bool Rearm();
    void Close();
    bool IsCreated() const { return m_Fd >= 0; }
    bool IsWatching() const { return m_Fd >= 0 && m_Wd >= 0; }
    const std::string& GetDirectory() const { return m_Dir; }

    int GetWaitFd() const override { return m_Fd; }
    bool TryAcquire() override;

    // Reads every change waiting, without blocking, into `out` (appended, in
    // the order they happened), using `buffer` (at least MIN_BUFFER_SIZE
    // bytes) for the raw records. Repeated modifications of the same file
    // that follow each other are reported once. False on a read error or when
    // the directory is no longer watched (errno tells why); changes read
    // before that are still in `out`.
    bool ReadChanges(char* buffer, size_t size, std::vector<DirChange>& out);

    static constexpr size_t MIN_BUFFER_SIZE = 4096;

private:
    int m_Fd = -1;
    int m_Wd = -1;
    std::string m_Dir;
};
} // namespace platform
