#include "schemalift/UpgradeLog.h"

#include <cstdarg>

namespace schemalift
{
CUpgradeLog::~CUpgradeLog()
{
    Close();
}

bool CUpgradeLog::Open(const char* path)
{
    Close();
    if (path == nullptr || *path == '\0')
        return false;
    m_File = fopen(path, "a");
    return m_File != nullptr;
}

void CUpgradeLog::Close()
{
    if (m_File != nullptr)
    {
        fclose(m_File);
        m_File = nullptr;
    }
}

void CUpgradeLog::Write(const char* format, ...)
{
    if (m_File == nullptr)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(m_File, format, args);
    va_end(args);
    fflush(m_File);
}
} // namespace schemalift
