#include "core/BuffManager.h"

#include "core/ProgramLogRecorder.h"

#include <cstdlib>
#include <new>

CBuffManager* CBuffManager::GetInstance()
{
    static CBuffManager* instance = new CBuffManager();
    return instance;
}

bool CBuffManager::Init()
{
    m_bInit.exchange(1, std::memory_order_acq_rel);
    return true;
}

bool CBuffManager::UnInit()
{
    m_bInit.exchange(0, std::memory_order_acq_rel);
    return true;
}

char* CBuffManager::AllocByteBuff(size_t size, const char* file, int line)
{
    if (size == 0 || !IsInit())
        return nullptr;

    // Allocation and zero-fill happen outside the lock.
    void* buff = std::calloc(1, size);
    if (buff == nullptr)
        return nullptr;

    try
    {
        BuffRecord record;
        record.m_pBuff = buff;
        record.m_Size = size;
        record.m_File = file ? file : "";
        record.m_Line = static_cast<uint32_t>(line);
        CCSLocker lock(m_Lock);
        m_Buffs[buff] = std::move(record);
    }
    catch (...)
    {
        std::free(buff);
        return nullptr;
    }
    return static_cast<char*>(buff);
}

bool CBuffManager::ReleaseByteBuff(void* buffer)
{
    if (buffer == nullptr || !IsInit())
        return false;

    bool known;
    {
        CCSLocker lock(m_Lock);
        known = m_Buffs.erase(buffer) != 0;
    }
    if (!known)
    {
        // A pointer we do not hold (typically released twice) is reported and
        // left alone: freeing it again would corrupt the heap.
        QB_LOG(PL_WARN, "[CBuffManager]", "[ReleaseByteBuff] 0x%lx Not In BuffManager\n",
               static_cast<unsigned long>(reinterpret_cast<uintptr_t>(buffer)));
        return true;
    }
    std::free(buffer);
    return true;
}

size_t CBuffManager::GetBuffCount()
{
    CCSLocker lock(m_Lock);
    return m_Buffs.size();
}
