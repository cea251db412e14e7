#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/OverlappedFile.h"

#include <atomic>
#include <cstdint>
#include <string>

// One data file on disk: the lines of one table of one device database,
// appended until the file is switched out and queued for bulk import.
// Optionally double-buffered: lines are copied into one of two buffers and a
// full buffer is written by the I/O workers while the other one fills. A
// line is taken into a buffer only once the file has disk space reserved for
// it, so a full disk refuses lines as the unbuffered path does instead of
// losing lines already answered as written.
class CDataFile
{
public:
    CDataFile();
    virtual ~CDataFile();
    CDataFile(const CDataFile&) = delete;
    CDataFile& operator=(const CDataFile&) = delete;

    // (Re)creates the file at its path (an existing file is truncated) and
    // resets its counters.
    bool Create();
    // Appends; returns the bytes accepted (0 on refusal).
    uint32_t Write(const void* data, uint32_t length);
    // Writes the buffers out and waits for them; false when a buffer could
    // not be written (its bytes are kept and written again by the next call).
    bool Flush();
    // Flushes (trying again for a while when that fails) and closes the file;
    // returns Flush's result. Lines that still cannot be written are cut off
    // the file, so no torn line is left, and counted in an ERROR.
    bool Close();
    // 1 when the file has had data for longer than DataFileUseTime.
    uint32_t NeedSwitch();
    // Hands buffer 0 or 1 to the I/O workers at the next write offset.
    bool WriteAsync(uint32_t index);

    void SetFilePath(const std::string& path) { m_FilePath = path; }
    const std::string& GetFilePath() const { return m_FilePath; }
    void SetDbName(const std::string& name) { m_DbName = name; }
    const std::string& GetDbName() const { return m_DbName; }
    void SetTableName(const std::string& name) { m_TableName = name; }
    const std::string& GetTableName() const { return m_TableName; }

    bool IsHandleValid() const { return m_hFile >= 0; }
    bool HasData() const { return m_bHasData != 0; }
    bool IsAsync() const { return m_bAsync != 0; }
    // Held by every operation on the file; the manager takes it, after its
    // table lock, to hand a file to a writer so that the file cannot be
    // switched out or destroyed in the middle of a write.
    platform::CCriticalSection& GetFileLock() { return m_FileLock; }

    static constexpr uint32_t ASYNC_BUFF_SIZE = 12288;
    static constexpr uint32_t FLUSH_WAIT_MS = 10000;
    static constexpr uint32_t CLOSE_WAIT_MS = 1000;
    // Close's further attempts at a buffer that could not be written.
    static constexpr uint32_t CLOSE_RETRY_COUNT = 5;
    static constexpr uint32_t CLOSE_RETRY_MS = 200;

private:
    bool SetupAsync();
    // Reserves `length` bytes at the write offset and writes them there now.
    uint32_t WriteDirect(const void* data, uint32_t length);
    uint32_t WriteBuffered(const void* data, uint32_t length);
    // Makes sure disk space is reserved for `length` bytes from the write
    // offset on (what the current buffer holds is written there).
    bool ReserveRoom(uint64_t length);
    // Settles the buffer handed to the I/O workers, if any: its completed
    // write is checked and, when it failed or fell short, done again at the
    // same offset. With `wait` a write in flight is waited for; without, it
    // counts as settled. False while its bytes are not on disk.
    bool SettleHanded(bool wait);
    // Blocks until no write of either buffer is in flight, so that the
    // descriptor and the buffers can be let go.
    void WaitNoPending();

    platform::CCriticalSection m_FileLock;
    std::string m_FilePath;
    std::string m_DbName;
    std::string m_TableName;
    // Read by the switch thread without the file lock.
    std::atomic<uint32_t> m_bHasData{0};
    std::atomic<uint32_t> m_FirstWriteTick{0};
    std::atomic<uint32_t> m_bOpen{0};
    char* m_pBuff[2] = {nullptr, nullptr};
    uint32_t m_FillCount[2] = {0, 0};
    platform::OverlappedRequest m_Overlapped[2];
    platform::CEvent* m_pEvent[2] = {nullptr, nullptr};
    uint32_t m_CurBuffIndex = 0;
    // Per buffer: HANDED_NONE, or handed to the I/O workers (in flight), or
    // its write failed and its bytes wait to be written again. At most one
    // buffer is handed at a time, so buffers reach the file in order and
    // nothing lies beyond a failed write.
    enum : uint32_t
    {
        HANDED_NONE = 0,
        HANDED_IN_FLIGHT = 1,
        HANDED_FAILED = 2
    };
    uint32_t m_Handed[2] = {HANDED_NONE, HANDED_NONE};
    // Disk space is reserved up to this file offset.
    uint64_t m_ReservedEnd = 0;
    std::atomic<int> m_hFile{-1};
    // 64 bits: a busy table may pass 4 GiB before its use time is up.
    std::atomic<uint64_t> m_WriteOffset{0};
    uint32_t m_bAsync = 0;
    // The mode the open file was created in; a configuration change takes
    // effect at the next Create, never in the middle of a file.
    uint32_t m_bAsyncOpen = 0;
};
