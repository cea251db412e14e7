#pragma once
#include <cstdio>

namespace schemalift
{
// The upgrade's own text log: opened once for appending, flushed after every message so that
// an interrupted upgrade leaves a complete record. Without a file every write is a no-op.
class CUpgradeLog
{
public:
    CUpgradeLog() = default;
    ~CUpgradeLog();
    CUpgradeLog(const CUpgradeLog&) = delete;
    CUpgradeLog& operator=(const CUpgradeLog&) = delete;

    bool Open(const char* path);
    void Close();
    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    FILE* m_File = nullptr;
};
} // namespace schemalift
