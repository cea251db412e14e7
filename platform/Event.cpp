#include "platform/Event.h"

#include "platform/Tick.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace platform
{
short CWaitable::GetWaitPollEvents() const
{
    return POLLIN;
}

CEvent::CEvent(bool manualReset, bool initialState)
    : m_Fd(eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)), m_bManualReset(manualReset)
{
}

CEvent::~CEvent()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

bool CEvent::Set()
{
    if (m_Fd < 0)
        return false;
    m_Sets.fetch_add(1, std::memory_order_release);
    uint64_t one = 1;
    // The counter only has to be non-zero; EAGAIN means it is saturated, so set.
    return write(m_Fd, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
}

bool CEvent::Reset()
{
    if (m_Fd < 0)
        return false;
    uint64_t value;
    while (read(m_Fd, &value, sizeof(value)) == sizeof(value))
    {
    }
    return true;
}

bool CEvent::IsSet() const
{
    if (m_Fd < 0)
        return false;
    pollfd p{m_Fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0)
        return false;
    m_Sets.load(std::memory_order_acquire);
    return true;
}

bool CEvent::TryAcquire()
{
    if (m_bManualReset)
        return IsSet();
    uint64_t value;
    if (read(m_Fd, &value, sizeof(value)) != sizeof(value))
        return false;
    m_Sets.load(std::memory_order_acquire);
    return true;
}

void CEvent::UndoAcquire()
{
    if (!m_bManualReset)
        Set();
}

uint32_t WaitForSingleObject(CWaitable* object, uint32_t timeoutMs)
{
    return WaitForMultipleObjects(1, &object, false, timeoutMs);
}

namespace
{
int RemainingMs(uint32_t timeoutMs, uint64_t start)
{
    if (timeoutMs == INFINITE)
        return -1;
    uint64_t elapsed = GetTickCount64() - start;
    return elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
}

// Polls the given objects; false on an invalid descriptor or a poll error.
bool PollObjects(std::vector<pollfd>& fds, int waitMs, int& ready)
{
    for (;;)
    {
        ready = poll(fds.data(), fds.size(), waitMs);
        if (ready >= 0)
            break;
        if (errno != EINTR)
            return false;
    }
    for (const pollfd& p : fds)
        if (p.revents & POLLNVAL)
            return false;
    return true;
}
} // namespace

uint32_t WaitForMultipleObjects(uint32_t count, CWaitable* const* objects, bool waitAll, uint32_t timeoutMs)
{
    if (count == 0 || objects == nullptr)
        return WAIT_FAILED;
    for (uint32_t i = 0; i < count; ++i)
        if (objects[i] == nullptr || objects[i]->GetWaitFd() < 0)
            return WAIT_FAILED;

    const uint64_t start = GetTickCount64();
    std::vector<pollfd> fds;
    std::vector<uint32_t> index;
    fds.reserve(count);
    index.reserve(count);

    for (;;)
    {
        if (!waitAll)
        {
            fds.clear();
            for (uint32_t i = 0; i < count; ++i)
                fds.push_back({objects[i]->GetWaitFd(), objects[i]->GetWaitPollEvents(), 0});
            int ready = 0;
            if (!PollObjects(fds, RemainingMs(timeoutMs, start), ready))
                return WAIT_FAILED;
            for (uint32_t i = 0; ready > 0 && i < count; ++i)
                if (fds[i].revents != 0 && objects[i]->TryAcquire())
                    return WAIT_OBJECT_0 + i;
        }
        else
        {
            // Wait only on those not yet ready, so that a set manual-reset
            // event does not turn the wait into a busy loop.
            fds.clear();
            index.clear();
            for (uint32_t i = 0; i < count; ++i)
                fds.push_back({objects[i]->GetWaitFd(), objects[i]->GetWaitPollEvents(), 0});
            int ready = 0;
            if (!PollObjects(fds, 0, ready))
                return WAIT_FAILED;
            std::vector<pollfd> pending;
            for (uint32_t i = 0; i < count; ++i)
                if (fds[i].revents == 0)
                    pending.push_back({fds[i].fd, fds[i].events, 0});
            if (pending.empty())
            {
                uint32_t got = 0;
                while (got < count && objects[got]->TryAcquire())
                    ++got;
                if (got == count)
                    return WAIT_OBJECT_0;
                while (got > 0)
                    objects[--got]->UndoAcquire();
            }
            else
            {
                int waitMs = RemainingMs(timeoutMs, start);
                if (!PollObjects(pending, waitMs, ready))
                    return WAIT_FAILED;
                if (ready == 0 && waitMs == 0)
                    return WAIT_TIMEOUT;
                continue;
            }
        }
        if (RemainingMs(timeoutMs, start) == 0)
            return WAIT_TIMEOUT;
        if (waitAll)
            Sleep(1); // lost a race for an auto-reset object; try again shortly
    }
}
} // namespace platform
