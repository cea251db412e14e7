// Registry of every log merger of the process: allocates them for the merging writers and sums their
// buffers for the info query.
#pragma once
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <list>

class CLogMerger;

class CLogMergeManager
{
public:
    static CLogMergeManager* GetInstance();
    virtual ~CLogMergeManager() = default;
    CLogMergeManager(const CLogMergeManager&) = delete;
    CLogMergeManager& operator=(const CLogMergeManager&) = delete;

    bool Init();
    bool UnInit();
    bool IsInit() const { return m_bInit.load() != 0; }

    // Null when not initialised or out of memory.
    CLogMerger* AllocLogMerger();
    // Destroys a merger this registry allocated; 0 for any other.
    int ReleaseLogMerger(CLogMerger* merger);
    // Buffers, their total capacity and their total fill in bytes over every initialised merger.
    void GetLogMergeInfo(uint32_t& buffCount, uint32_t& capacity, uint32_t& used);

    size_t GetLogMergerCount();

private:
    CLogMergeManager() = default;

    std::list<CLogMerger*> m_Mergers;
    platform::CCriticalSection m_Lock;
    std::atomic<int32_t> m_bInit{0};
};
