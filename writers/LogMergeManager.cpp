#include "writers/LogMergeManager.h"

#include "core/ProgramLogRecorder.h"
#include "writers/LogMerger.h"

#include <algorithm>
#include <limits>
#include <new>

namespace
{
const char* const TAG = "[CLogMergeManager]";

uint32_t Clamp32(uint64_t v)
{
    return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}
} // namespace

CLogMergeManager* CLogMergeManager::GetInstance()
{
    static CLogMergeManager* instance = new CLogMergeManager();
    return instance;
}

bool CLogMergeManager::Init()
{
    m_bInit.store(1);
    return true;
}

bool CLogMergeManager::UnInit()
{
    m_bInit.store(0);
    return true;
}

CLogMerger* CLogMergeManager::AllocLogMerger()
{
    if (!IsInit())
        return nullptr;
    CLogMerger* merger = new (std::nothrow) CLogMerger();
    if (merger == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[AllocLogMerger] Cannot Alloc CLogMerger. Maybe Not Enough Memory\n");
        return nullptr;
    }
    try
    {
        CCSLocker lock(m_Lock);
        m_Mergers.push_back(merger);
    }
    catch (const std::bad_alloc&)
    {
        delete merger;
        QB_LOG(PL_ERROR, TAG, "[AllocLogMerger] Cannot Alloc CLogMerger. Maybe Not Enough Memory\n");
        return nullptr;
    }
    return merger;
}

int CLogMergeManager::ReleaseLogMerger(CLogMerger* merger)
{
    if (!IsInit() || merger == nullptr)
        return 0;
    {
        CCSLocker lock(m_Lock);
        auto it = std::find(m_Mergers.begin(), m_Mergers.end(), merger);
        if (it != m_Mergers.end())
        {
            m_Mergers.erase(it);
            delete merger;
            return 1;
        }
    }
    QB_LOG(PL_WARN, TAG,
           "[ReleaseLogMerger] Cannot Find Specify LogMerger In Manager. Maybe Alloc In The Other Module.\n");
    return 0;
}

void CLogMergeManager::GetLogMergeInfo(uint32_t& buffCount, uint32_t& capacity, uint32_t& used)
{
    buffCount = 0;
    capacity = 0;
    used = 0;
    if (!IsInit())
        return;
    uint64_t totalCount = 0, totalCapacity = 0, totalUsed = 0;
    {
        CCSLocker lock(m_Lock);
        for (CLogMerger* merger : m_Mergers)
        {
            if (!merger->IsInit())
                continue;
            uint32_t n = 0;
            uint64_t cap = 0, use = 0;
            merger->GetMergeInfo(n, cap, use);
            totalCount += n;
            totalCapacity += cap;
            totalUsed += use;
        }
    }
    buffCount = Clamp32(totalCount);
    capacity = Clamp32(totalCapacity);
    used = Clamp32(totalUsed);
}

size_t CLogMergeManager::GetLogMergerCount()
{
    CCSLocker lock(m_Lock);
    return m_Mergers.size();
}
