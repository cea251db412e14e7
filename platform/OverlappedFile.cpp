#include "platform/OverlappedFile.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform
{
namespace
{
// A small pool: two writers keep one slow disk from holding up every other
// file, and positioned writes need no ordering between requests.
constexpr size_t IO_WORKER_COUNT = 2;

void Complete(OverlappedRequest* request)
{
    size_t written = 0;
    bool ok =
        PositionedWriteAll(request->m_Fd, request->m_pBuffer, request->m_Length, request->m_Offset, written);
    request->m_BytesWritten = written;
    request->m_Error = ok ? 0 : errno;
    // The pending flag is the last thing the worker touches: once it is
    // clear the owner may reuse or free the request and its event.
    if (request->m_pDone != nullptr)
        request->m_pDone->Set();
    request->m_bPending.store(false, std::memory_order_release);
}

class COverlappedIoWorkers
{
public:
    static COverlappedIoWorkers* GetInstance()
    {
        // Never destroyed: requests may still arrive from static destructors.
        static COverlappedIoWorkers* instance = new COverlappedIoWorkers();
        return instance;
    }

    void Submit(OverlappedRequest* request)
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (!m_bStopping)
            {
                if (m_Threads.empty())
                    StartLocked();
                if (!m_Threads.empty())
                {
                    m_Queue.push_back(request);
                    m_Cond.notify_one();
                    return;
                }
            }
        }
        // No worker (stopped, or no thread could be made): complete here.
        Complete(request);
    }

    void Stop()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bStopping = true;
            threads.swap(m_Threads);
            m_Cond.notify_all();
        }
        for (std::thread& t : threads)
            if (t.joinable() && t.get_id() != std::this_thread::get_id())
                t.join();
            else if (t.joinable())
                t.detach();
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopping = false;
    }

    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Threads.size();
    }

private:
    void StartLocked()
    {
        try
        {
            for (size_t i = 0; i < IO_WORKER_COUNT; ++i)
                m_Threads.emplace_back([this] { Work(); });
        }
        catch (...)
        {
            // Fewer workers than wanted still serve; none makes Submit complete inline.
        }
    }

    void Work()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (;;)
        {
            m_Cond.wait(lock, [this] { return m_bStopping || !m_Queue.empty(); });
            if (m_Queue.empty())
                return; // stopping and drained
            OverlappedRequest* request = m_Queue.front();
            m_Queue.pop_front();
            lock.unlock();
            Complete(request);
            lock.lock();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::deque<OverlappedRequest*> m_Queue;
    std::vector<std::thread> m_Threads;
    bool m_bStopping = false;
};
} // namespace

bool PositionedWriteAll(int fd, const void* buffer, size_t length, uint64_t offset, size_t& written)
{
    written = 0;
    const char* p = static_cast<const char*>(buffer);
    while (written < length)
    {
        ssize_t n = pwrite(fd, p + written, length - written, static_cast<off_t>(offset + written));
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
        {
            errno = EIO;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

bool ReserveFileRange(int fd, uint64_t offset, uint64_t length)
{
    if (length == 0)
        return true;
    for (;;)
    {
        if (fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == ENOSYS)
            errno = EOPNOTSUPP;
        return false;
    }
}

bool StartOverlappedWrite(OverlappedRequest* request)
{
    if (request == nullptr || request->m_Fd < 0 || (request->m_pBuffer == nullptr && request->m_Length != 0))
    {
        errno = EINVAL;
        return false;
    }
    bool expected = false;
    if (!request->m_bPending.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
    {
        errno = EBUSY;
        return false;
    }
    request->m_BytesWritten = 0;
    request->m_Error = 0;
    if (request->m_pDone != nullptr)
        request->m_pDone->Reset();
    COverlappedIoWorkers::GetInstance()->Submit(request);
    return true;
}

bool GetOverlappedResult(OverlappedRequest* request, size_t& bytes, bool wait)
{
    bytes = 0;
    if (request == nullptr)
    {
        errno = EINVAL;
        return false;
    }
    if (request->m_bPending.load(std::memory_order_acquire))
    {
        bool signalled = request->m_pDone != nullptr && request->m_pDone->IsSet();
        if (!wait && !signalled)
        {
            errno = EINPROGRESS;
            return false;
        }
        if (!signalled && request->m_pDone != nullptr)
            WaitForSingleObject(request->m_pDone, INFINITE);
        // Signalled: the worker is only a store away from clearing the flag.
        while (request->m_bPending.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    bytes = request->m_BytesWritten;
    if (request->m_Error != 0)
    {
        errno = request->m_Error;
        return false;
    }
    return true;
}

void StopOverlappedIo()
{
    COverlappedIoWorkers::GetInstance()->Stop();
}

size_t GetOverlappedIoWorkerCount()
{
    return COverlappedIoWorkers::GetInstance()->Count();
}
} // namespace platform
