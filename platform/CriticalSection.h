#pragma once
#include <mutex>

namespace platform
{
// A re-entrant lock: the same thread may enter it again, as the registries'
// watchers do when they call back into their own operations.
class CCriticalSection
{
public:
    void Enter() { m_Mutex.lock(); }
    bool TryEnter() { return m_Mutex.try_lock(); }
    void Leave() { m_Mutex.unlock(); }

private:
    std::recursive_mutex m_Mutex;
};
} // namespace platform

// Scope lock: enters on construction, leaves on destruction.
class CCSLocker
{
public:
    explicit CCSLocker(platform::CCriticalSection* cs) : m_pCS(cs)
    {
        if (m_pCS)
            m_pCS->Enter();
    }
    explicit CCSLocker(platform::CCriticalSection& cs) : CCSLocker(&cs) {}
    virtual ~CCSLocker()
    {
        if (m_pCS)
            m_pCS->Leave();
    }
    CCSLocker(const CCSLocker&) = delete;
    CCSLocker& operator=(const CCSLocker&) = delete;

private:
    platform::CCriticalSection* m_pCS;
};
