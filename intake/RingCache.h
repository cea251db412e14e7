#pragma once
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <memory>

// Single-producer single-consumer byte ring between a connection thread and
// its record task. The buffer has a 2048-byte front zone before the data
// area, so that a short tail left before the wrap point can be moved in front
// of the wrapped data and read in one piece, and a zeroed 2048-byte guard
// behind it. The producer alone moves the write pointer and the data end; the
// consumer alone moves the read pointer and the data start.
class CRingCache
{
public:
    static constexpr uint32_t FRONT_ZONE_SIZE = 2048;
    static constexpr uint32_t TAIL_GUARD_SIZE = 2048;
    // Smallest contiguous stretch the producer writes into.
    static constexpr uint32_t MIN_WRITE_SIZE = 2048;
    // Once the producer is this far into the area and less than a front zone is left to read,
    // it goes back to the start: the ring then touches only as many pages as its backlog needs
    // instead of marching through the whole area (10 MiB per device) before wrapping.
    static constexpr uint32_t EARLY_WRAP_SIZE = 256 * 1024;

    CRingCache() = default;
    virtual ~CRingCache();
    CRingCache(const CRingCache&) = delete;
    CRingCache& operator=(const CRingCache&) = delete;

    bool Init(uint32_t capacity);
    void UnInit();

    // Producer: contiguous free bytes at the write pointer; true when there
    // are at least MIN_WRITE_SIZE of them. Wraps the write pointer to the
    // start of the area when the stretch before the end is too short.
    bool GetCanWriteSize(uint32_t& size);
    void CommitWrite(uint32_t n);
    // Producer: returns WAIT_OBJECT_0 with `size` set as soon as the ring offers MIN_WRITE_SIZE
    // contiguous free bytes, WAIT_OBJECT_0 + 1 + i when others[i] is signalled first, WAIT_TIMEOUT
    // or WAIT_FAILED. The space event is waited for only after a look that found too little room
    // (that look asked for it), and the room is looked at again when the time is up: a producer
    // that waited for the event while it had room would never be woken once the consumer, having
    // read everything, waits for data in turn.
    uint32_t WaitCanWrite(uint32_t& size, uint32_t count, platform::CWaitable* const* others,
                          uint32_t timeoutMs);
    // Consumer: contiguous readable bytes at the read pointer; true when
    // there are any. Moves a short tail in front of wrapped data.
    bool GetCanReadSize(uint32_t& size);
    void CommitRead(uint32_t n);
    // Consumer: every byte held, the wrapped part included; moves nothing.
    uint32_t GetTotalReadSize() const;

    char* GetReadPtr() const { return m_pRead.load(std::memory_order_relaxed); }
    char* GetWritePtr() const { return m_pWrite.load(std::memory_order_relaxed); }
    char* GetDataStart() const { return m_pDataStart.load(std::memory_order_relaxed); }
    char* GetDataEnd() const { return m_pDataEnd.load(std::memory_order_relaxed); }
    // Set when the consumer frees bytes after the producer's last look at the
    // free size (auto reset, initially set): once per GetCanWriteSize, not
    // once per consumed record, which cost a system call per record.
    platform::CEvent* GetSpaceEvent() const { return m_pSpaceEvent.get(); }
    // Set each time the producer adds bytes (auto reset, initially clear).
    platform::CEvent* GetDataEvent() const { return m_pDataEvent.get(); }
    uint32_t GetCapacity() const { return m_Capacity; }
    // Start and end of the data area (between the front zone and the guard).
    char* GetAreaStart() const { return m_pBuff ? m_pBuff + FRONT_ZONE_SIZE : nullptr; }
    char* GetAreaEnd() const { return m_pBuff ? m_pBuff + FRONT_ZONE_SIZE + m_Capacity : nullptr; }

private:
    bool ComputeCanWriteSize(uint32_t& size);

    std::atomic<char*> m_pRead{nullptr};
    std::atomic<char*> m_pWrite{nullptr};
    std::atomic<char*> m_pDataStart{nullptr};
    std::atomic<char*> m_pDataEnd{nullptr};
    // Set by each GetCanWriteSize; the next CommitRead clears it and sets
    // the space event.
    std::atomic<bool> m_bSpaceWanted{false};
    std::unique_ptr<platform::CEvent> m_pSpaceEvent;
    std::unique_ptr<platform::CEvent> m_pDataEvent;
    uint32_t m_Capacity = 0;
    char* m_pBuff = nullptr;
};
