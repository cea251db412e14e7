#pragma once
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Process-wide registry of long-lived heap byte buffers and of buffers that
// travel between threads, so that each one is known with its size and the
// place in the source that asked for it.
class CBuffManager
{
public:
    static CBuffManager* GetInstance();
    virtual ~CBuffManager() = default;

    bool Init();
    // Buffers still registered are not freed: their owners may still use them.
    bool UnInit();

    // Zero-filled buffer of `size` bytes; null for size 0, when not
    // initialised, or when memory is short.
    char* AllocByteBuff(size_t size, const char* file, int line);
    // Frees a buffer from AllocByteBuff. False for null or when not initialised.
    bool ReleaseByteBuff(void* buffer);

    // Number of buffers currently registered.
    size_t GetBuffCount();

private:
    CBuffManager() = default;

    struct BuffRecord
    {
        void* m_pBuff = nullptr;
        size_t m_Size = 0;
        std::string m_File;
        uint32_t m_Line = 0;
    };

    bool IsInit() const { return m_bInit.load(std::memory_order_acquire) != 0; }

    platform::CCriticalSection m_Lock;
    std::map<void*, BuffRecord> m_Buffs;
    std::atomic<int32_t> m_bInit{0};
};
