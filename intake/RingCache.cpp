#include "intake/RingCache.h"

#include "core/BuffManager.h"
#include "platform/Tick.h"

#include <cstring>
#include <new>

CRingCache::~CRingCache()
{
    UnInit();
}

bool CRingCache::Init(uint32_t capacity)
{
    UnInit();
    if (capacity == 0)
        return false;

    char* buff = CBuffManager::GetInstance()->AllocByteBuff(
        static_cast<size_t>(capacity) + FRONT_ZONE_SIZE + TAIL_GUARD_SIZE, __FILE__, __LINE__);
    if (buff == nullptr)
        return false;
    std::memset(buff + FRONT_ZONE_SIZE + capacity, 0, TAIL_GUARD_SIZE);

    std::unique_ptr<platform::CEvent> space(new (std::nothrow) platform::CEvent(false, true));
    std::unique_ptr<platform::CEvent> data(new (std::nothrow) platform::CEvent(false, false));
    if (!space || !space->IsValid() || !data || !data->IsValid())
    {
        CBuffManager::GetInstance()->ReleaseByteBuff(buff);
        return false;
    }

    m_pBuff = buff;
    m_Capacity = capacity;
    char* start = buff + FRONT_ZONE_SIZE;
    m_pDataStart.store(start, std::memory_order_relaxed);
    m_pDataEnd.store(start + capacity, std::memory_order_relaxed);
    m_pRead.store(start, std::memory_order_relaxed);
    m_pWrite.store(start, std::memory_order_release);
    m_pSpaceEvent = std::move(space);
    m_pDataEvent = std::move(data);
    return true;
}

void CRingCache::UnInit()
{
    m_pSpaceEvent.reset();
    m_pDataEvent.reset();
    if (m_pBuff)
        CBuffManager::GetInstance()->ReleaseByteBuff(m_pBuff);
    m_pBuff = nullptr;
    m_Capacity = 0;
    m_pRead.store(nullptr);
    m_pWrite.store(nullptr);
    m_pDataStart.store(nullptr);
    m_pDataEnd.store(nullptr);
}

bool CRingCache::GetCanWriteSize(uint32_t& size)
{
    // Every look by the producer asks for the next space event before it
    // reads the read pointer: a read committed meanwhile is either seen here
    // or signalled. So a producer that waits after this call is woken by the
    // next consumption, at the cost of one event per look, not per record.
    m_bSpaceWanted.store(true, std::memory_order_seq_cst);
    return ComputeCanWriteSize(size);
}

bool CRingCache::ComputeCanWriteSize(uint32_t& size)
{
    size = 0;
    if (m_pBuff == nullptr)
        return false;
    char* const start = GetAreaStart();
    char* const end = GetAreaEnd();
    char* read = m_pRead.load(std::memory_order_seq_cst);
    char* write = m_pWrite.load(std::memory_order_relaxed);

    size_t free;
    if (write >= read)
    {
        free = static_cast<size_t>(end - write) - 1;
        const bool early =
            static_cast<size_t>(write - start) >= EARLY_WRAP_SIZE &&
            static_cast<size_t>(write - read)<FRONT_ZONE_SIZE&& static_cast<size_t>(read - start)>
                MIN_WRITE_SIZE;
        if (free < MIN_WRITE_SIZE || early)
        {
            if (read > start)
            {
                // Wrap: the valid data now ends here, new data goes to the
                // start. The data end is published before the write pointer.
                m_pDataEnd.store(write, std::memory_order_relaxed);
                m_pWrite.store(start, std::memory_order_release);
                free = static_cast<size_t>(read - start) - 1;
            }
            else
                free = 0;
        }
    }
    else
        free = static_cast<size_t>(read - write) - 1;

    size = static_cast<uint32_t>(free);
    return free >= MIN_WRITE_SIZE;
}

void CRingCache::CommitWrite(uint32_t n)
{
    if (n == 0 || m_pBuff == nullptr)
        return;
    m_pWrite.store(m_pWrite.load(std::memory_order_relaxed) + n, std::memory_order_release);
    m_pDataEvent->Set();
}

uint32_t CRingCache::WaitCanWrite(uint32_t& size, uint32_t count, platform::CWaitable* const* others,
                                  uint32_t timeoutMs)
{
    size = 0;
    constexpr uint32_t MAX_OTHERS = 7;
    if (m_pBuff == nullptr || count > MAX_OTHERS || (count > 0 && others == nullptr))
        return platform::WAIT_FAILED;
    platform::CWaitable* objects[1 + MAX_OTHERS] = {m_pSpaceEvent.get()};
    for (uint32_t i = 0; i < count; ++i)
        objects[1 + i] = others[i];
    const uint32_t started = platform::GetTickCount();
    for (;;)
    {
        if (GetCanWriteSize(size))
            return platform::WAIT_OBJECT_0;
        uint32_t left = timeoutMs;
        if (timeoutMs != platform::INFINITE)
        {
            const uint32_t elapsed = platform::GetTickCount() - started;
            if (elapsed >= timeoutMs)
                return platform::WAIT_TIMEOUT;
            left = timeoutMs - elapsed;
        }
        // A space event left over from an earlier read, or a time-out, only leads to another look.
        const uint32_t ret = platform::WaitForMultipleObjects(1 + count, objects, false, left);
        if (ret == platform::WAIT_FAILED)
            return ret;
        if (ret != platform::WAIT_OBJECT_0 && ret != platform::WAIT_TIMEOUT)
            return ret;
    }
}

bool CRingCache::GetCanReadSize(uint32_t& size)
{
    size = 0;
    if (m_pBuff == nullptr)
        return false;
    char* const start = GetAreaStart();
    char* write = m_pWrite.load(std::memory_order_acquire);
    char* read = m_pRead.load(std::memory_order_relaxed);

    size_t readable;
    if (write >= read)
        readable = static_cast<size_t>(write - read);
    else
    {
        // The producer has wrapped; it will not touch the data end again
        // until the read pointer is back at or before the write pointer.
        char* dataEnd = m_pDataEnd.load(std::memory_order_acquire);
        size_t tail = static_cast<size_t>(dataEnd - read);
        if (tail == 0)
        {
            m_pDataStart.store(start, std::memory_order_relaxed);
            m_pDataEnd.store(GetAreaEnd(), std::memory_order_relaxed);
            m_pRead.store(start, std::memory_order_release);
            read = start;
            readable = static_cast<size_t>(write - read);
        }
        else if (tail >= FRONT_ZONE_SIZE)
            readable = tail;
        else
        {
            // A short tail is moved in front of the wrapped data so that a
            // record straddling the wrap point can be read in one piece.
            char* newRead = start - tail;
            std::memmove(newRead, read, tail);
            m_pDataStart.store(newRead, std::memory_order_relaxed);
            m_pRead.store(newRead, std::memory_order_release);
            read = newRead;
            readable = static_cast<size_t>(write - read);
        }
    }
    size = static_cast<uint32_t>(readable);
    return readable > 0;
}

uint32_t CRingCache::GetTotalReadSize() const
{
    if (m_pBuff == nullptr)
        return 0;
    char* write = m_pWrite.load(std::memory_order_acquire);
    char* read = m_pRead.load(std::memory_order_relaxed);
    if (write >= read)
        return static_cast<uint32_t>(write - read);
    char* dataEnd = m_pDataEnd.load(std::memory_order_acquire);
    return static_cast<uint32_t>((dataEnd - read) + (write - GetAreaStart()));
}

void CRingCache::CommitRead(uint32_t n)
{
    if (n == 0 || m_pBuff == nullptr)
        return;
    m_pRead.store(m_pRead.load(std::memory_order_relaxed) + n, std::memory_order_seq_cst);
    if (m_bSpaceWanted.load(std::memory_order_seq_cst) && m_bSpaceWanted.exchange(false))
        m_pSpaceEvent->Set();
}
