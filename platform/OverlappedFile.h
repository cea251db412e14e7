#pragma once
#include "platform/Event.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform
{
// One overlapped write: `m_Length` bytes of `m_pBuffer` at `m_Offset` of the
// open descriptor `m_Fd`. The buffer must stay valid and unchanged until the
// request has completed. Completion sets `m_BytesWritten` and `m_Error`
// (errno, 0 on success), signals `m_pDone` and last clears `m_bPending`: the
// request (and its event) may be reused or freed only once it is no longer
// pending, which GetOverlappedResult with `wait` guarantees.
struct OverlappedRequest
{
    int m_Fd = -1;
    uint64_t m_Offset = 0;
    const void* m_pBuffer = nullptr;
    size_t m_Length = 0;
    CEvent* m_pDone = nullptr;

    size_t m_BytesWritten = 0;
    int m_Error = 0;
    // True from a successful StartOverlappedWrite until completion.
    std::atomic<bool> m_bPending{false};
};

// Queues the write on the process's I/O workers (started on first use) and
// resets the request's event. Returns false with errno EINVAL for a bad
// request or EBUSY when the request is still pending; the event is then not
// touched. After StopOverlappedIo the write is done on the calling thread
// before this returns (the event is signalled all the same).
bool StartOverlappedWrite(OverlappedRequest* request);

// The result of a request: false while it is pending (errno EINPROGRESS), or
// when it completed with an error (errno = that error; `bytes` = what was
// written before it). With `wait` the call waits for completion first.
bool GetOverlappedResult(OverlappedRequest* request, size_t& bytes, bool wait);

// Completes every queued request, then ends the workers. A later
// StartOverlappedWrite starts them again.
void StopOverlappedIo();

// Number of running I/O worker threads (diagnostics and tests).
size_t GetOverlappedIoWorkerCount();

// Writes all `length` bytes at `offset`, retrying short and interrupted
// writes; false with errno on the first error. `written` gets the bytes done.
bool PositionedWriteAll(int fd, const void* buffer, size_t length, uint64_t offset, size_t& written);

// Allocates disk space for `length` bytes at `offset` without changing the
// file's size, so that a later write there cannot fail for want of space.
// False with errno: ENOSPC (or EDQUOT) when there is no room, EOPNOTSUPP when
// the file system cannot reserve.
bool ReserveFileRange(int fd, uint64_t offset, uint64_t length);
} // namespace platform
