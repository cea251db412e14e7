#pragma once
#include <atomic>

// One integer setting. A reload of its file writes it while other threads read it without a lock, so it
// is an atomic word; each setting stands alone (texts and lists are copied under their group's lock),
// so relaxed order is enough. It copies as its value, so a group of settings can still be copied whole.
class CSettingWord
{
public:
    CSettingWord() = default;
    CSettingWord(const CSettingWord& other) : m_Value(other.Get()) {}
    CSettingWord& operator=(const CSettingWord& other)
    {
        Set(other.Get());
        return *this;
    }
    CSettingWord& operator=(int value)
    {
        Set(value);
        return *this;
    }
    ~CSettingWord() = default;

    // Read wherever an int is; assigned from one through operator=.
    operator int() const { return Get(); }
    int Get() const { return m_Value.load(std::memory_order_relaxed); }
    void Set(int value) { m_Value.store(value, std::memory_order_relaxed); }

private:
    std::atomic<int> m_Value{0};
};
