#pragma once
#include <atomic>
#include <cstdint>

namespace platform
{
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;

// Anything a thread can wait on: a descriptor that poll() reports readable
// when the object may be signalled, and an acquire step that makes the
// decision (an auto-reset event is consumed by the waiter that acquires it).
class CWaitable
{
public:
    virtual ~CWaitable() = default;
    virtual int GetWaitFd() const = 0;
    virtual short GetWaitPollEvents() const;
    // Called when the descriptor is ready; true if the object is signalled
    // and now belongs to this waiter.
    virtual bool TryAcquire() = 0;
    // Gives back what TryAcquire took (a wait-all that could not get them all).
    virtual void UndoAcquire() {}
};

// An event object on eventfd: manual reset stays set until Reset, auto reset
// is cleared by the one waiter it releases.
class CEvent : public CWaitable
{
public:
    explicit CEvent(bool manualReset = true, bool initialState = false);
    ~CEvent() override;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    bool IsValid() const { return m_Fd >= 0; }
    bool Set();
    bool Reset();
    bool IsSet() const;
    bool IsManualReset() const { return m_bManualReset; }

    int GetWaitFd() const override { return m_Fd; }
    bool TryAcquire() override;
    void UndoAcquire() override;

private:
    int m_Fd;
    bool m_bManualReset;
    // The descriptor carries the signal but, to the C++ memory model, no data: Set publishes what the
    // setter wrote before it here (release) and a waiter that finds the event set reads it (acquire), so
    // whatever a thread did before setting an event happens before what the waiter does after it.
    std::atomic<uint64_t> m_Sets{0};
};

uint32_t WaitForSingleObject(CWaitable* object, uint32_t timeoutMs);
// Wait-any returns WAIT_OBJECT_0 + index of the first signalled object (lowest
// index when several are); wait-all returns WAIT_OBJECT_0 once all are
// signalled together. Any number of objects; WAIT_FAILED for a null or
// invalid object, WAIT_TIMEOUT when the time is up.
uint32_t WaitForMultipleObjects(uint32_t count, CWaitable* const* objects, bool waitAll, uint32_t timeoutMs);
} // namespace platform
