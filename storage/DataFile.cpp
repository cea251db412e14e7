#include "storage/DataFile.h"

#include "config/ConfigManager.h"
#include "platform/Tick.h"
#include "runtime/BuffManager.h"
#include "runtime/Clock.h"
#include "runtime/ProgramLogRecorder.h"
#include "runtime/TestKillPoint.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#define DF_TAG "[CDataFile]"

CDataFile::CDataFile() = default;

CDataFile::~CDataFile()
{
    Close();
    for (int i = 0; i < 2; ++i)
        if (m_pEvent[i] != nullptr)
            m_pEvent[i]->Set();
    sched_yield();
    WaitNoPending();
    for (int i = 0; i < 2; ++i)
    {
        delete m_pEvent[i];
        m_pEvent[i] = nullptr;
        if (m_pBuff[i] != nullptr)
            CBuffManager::GetInstance()->ReleaseByteBuff(m_pBuff[i]);
        m_pBuff[i] = nullptr;
    }
}

bool CDataFile::SetupAsync()
{
    for (int i = 0; i < 2; ++i)
    {
        if (m_pEvent[i] == nullptr)
        {
            m_pEvent[i] = new (std::nothrow) platform::CEvent(true, true);
            if (m_pEvent[i] != nullptr && !m_pEvent[i]->IsValid())
            {
                delete m_pEvent[i];
                m_pEvent[i] = nullptr;
            }
        }
        if (m_pBuff[i] == nullptr)
            m_pBuff[i] = CBuffManager::GetInstance()->AllocByteBuff(ASYNC_BUFF_SIZE, __FILE__, __LINE__);
        m_FillCount[i] = 0;
        m_Overlapped[i].m_pDone = m_pEvent[i];
    }
    if (m_pEvent[0] && m_pEvent[1] && m_pBuff[0] && m_pBuff[1])
    {
        m_bAsync = 1;
        return true;
    }
    return false;
}

bool CDataFile::Create()
{
    CCSLocker lock(m_FileLock);
    bool ok = true;
    if (CConfigManager::GetInstance()->KelvAdv().m_EnableAsyncWrite != 0 && m_bAsync == 0)
        ok = SetupAsync();

    Close();

    m_hFile = open(m_FilePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_hFile < 0)
    {
        QB_LOG(PL_ERROR, DF_TAG, "[Create] Create Data File Fail Err = %u\n", static_cast<uint32_t>(errno));
        ok = false;
    }
    m_bHasData = 0;
    m_FirstWriteTick = 0;
    m_CurBuffIndex = 0;
    m_WriteOffset = 0;
    m_FillCount[0] = m_FillCount[1] = 0;
    m_bAsyncOpen =
        (CConfigManager::GetInstance()->KelvAdv().m_EnableAsyncWrite != 0 && m_bAsync == 1) ? 1 : 0;
    if (ok)
        m_bOpen = 1;
    return ok;
}

uint32_t CDataFile::WriteDirect(const void* data, uint32_t length)
{
    uint64_t offset = m_WriteOffset.fetch_add(length);
    size_t written = 0;
    if (CTestKillPoint::Due("torn"))
    {
        platform::PositionedWriteAll(m_hFile, data, length / 2, offset, written);
        CTestKillPoint::KillNow();
    }
    if (!platform::PositionedWriteAll(m_hFile, data, length, offset, written))
    {
        QB_LOG(PL_ERROR, DF_TAG, "[Write] Write Data File Fail Real Write = %u , Err = %u\n",
               static_cast<uint32_t>(written), static_cast<uint32_t>(errno));
        // A full disk takes part of a line: left in place, the part would join
        // the next line into one broken row, and the reserved length would
        // leave a gap of zeros. Without buffers no other write is in flight,
        // so the file is cut back to where this line began and the line is
        // refused whole (the record then goes on by SQL).
        if (m_bAsyncOpen == 0 && ftruncate(m_hFile, static_cast<off_t>(offset)) == 0)
        {
            m_WriteOffset = offset;
            written = 0;
        }
    }
    else if (CTestKillPoint::Due("line"))
        CTestKillPoint::KillNow();
    return static_cast<uint32_t>(written);
}

void CDataFile::TakeBuffer(uint32_t index)
{
    size_t bytes = 0;
    platform::OverlappedRequest& req = m_Overlapped[index];
    if (req.m_Fd >= 0 && !platform::GetOverlappedResult(&req, bytes, true))
        QB_LOG(PL_ERROR, DF_TAG, "[WriteAsync] Write Async Err = %u\n", static_cast<uint32_t>(errno));
    req.m_Fd = -1;
    m_CurBuffIndex = index;
    m_FillCount[index] = 0;
}

uint32_t CDataFile::Write(const void* data, uint32_t length)
{
    CCSLocker lock(m_FileLock);
    if (m_hFile < 0 || data == nullptr || length == 0 || m_bOpen == 0)
        return 0;

    uint32_t result = 0;
    if (m_bAsyncOpen == 0)
    {
        result = WriteDirect(data, length);
    }
    else
    {
        for (;;)
        {
            uint32_t cur = m_CurBuffIndex;
            if (m_Overlapped[cur].m_bPending.load())
            {
                // The current buffer was handed over and no buffer came free in
                // time on an earlier call; it must not be written twice.
                uint32_t freeIndex = GetFreeBuffIndex();
                if (freeIndex > 1)
                {
                    result = WriteDirect(data, length);
                    break;
                }
                TakeBuffer(freeIndex);
                continue;
            }
            if (m_FillCount[cur] + length < ASYNC_BUFF_SIZE)
            {
                memcpy(m_pBuff[cur] + m_FillCount[cur], data, length);
                m_FillCount[cur] += length;
                result = length;
                break;
            }
            if (length >= ASYNC_BUFF_SIZE)
            {
                // Too big for a buffer: written at once; what the buffer holds follows later.
                result = WriteDirect(data, length);
                break;
            }
            WriteAsync(cur);
            uint32_t freeIndex = GetFreeBuffIndex();
            if (freeIndex > 1)
            {
                result = WriteDirect(data, length);
                break;
            }
            TakeBuffer(freeIndex);
        }
    }

    if (result > 0 && m_bHasData == 0)
    {
        m_bHasData = 1;
        m_FirstWriteTick = platform::GetTickCount();
    }
    return result;
}

bool CDataFile::WriteAsync(uint32_t index)
{
    CCSLocker lock(m_FileLock);
    if (index > 1 || m_hFile < 0 || m_pBuff[index] == nullptr)
        return false;
    platform::OverlappedRequest& req = m_Overlapped[index];
    if (req.m_bPending.load())
        return false;
    req.m_Fd = m_hFile;
    req.m_Offset = m_WriteOffset.fetch_add(m_FillCount[index]);
    req.m_pBuffer = m_pBuff[index];
    req.m_Length = m_FillCount[index];
    req.m_pDone = m_pEvent[index];
    if (!platform::StartOverlappedWrite(&req))
    {
        QB_LOG(PL_ERROR, DF_TAG, "[WriteAsync] Write Async Err = %u\n", static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}

uint32_t CDataFile::GetFreeBuffIndex()
{
    if (m_pEvent[0] == nullptr || m_pEvent[1] == nullptr)
        return 2;
    platform::CWaitable* events[2] = {m_pEvent[0], m_pEvent[1]};
    uint32_t ret = platform::WaitForMultipleObjects(2, events, false, FREE_BUFF_WAIT_MS);
    QB_LOG(PL_INFO, DF_TAG, "[GetFreeBuffIndex] Index = %u\n", ret);
    if (ret == platform::WAIT_OBJECT_0 || ret == platform::WAIT_OBJECT_0 + 1)
        return ret - platform::WAIT_OBJECT_0;
    return 2;
}

bool CDataFile::Flush()
{
    CCSLocker lock(m_FileLock);
    if (m_hFile < 0)
        return true;
    if (m_bAsyncOpen == 0)
        return true;

    uint32_t cur = m_CurBuffIndex;
    platform::OverlappedRequest& req = m_Overlapped[cur];
    if (req.m_bPending.load())
    {
        // Handed over earlier and still in flight: its data is on its way.
        TakeBuffer(cur);
        return true;
    }
    if (m_FillCount[cur] == 0)
        return true;
    uint32_t pending = m_FillCount[cur];
    if (!WriteAsync(cur))
    {
        QB_LOG(PL_ERROR, DF_TAG, "[Flush] Flush Data To File Fail Real Write = %u , Err = %u\n", 0u,
               static_cast<uint32_t>(errno));
        return false;
    }
    platform::WaitForSingleObject(m_pEvent[cur], FLUSH_WAIT_MS);
    size_t bytes = 0;
    bool done = platform::GetOverlappedResult(&req, bytes, false);
    if (!done && errno == EINPROGRESS)
        return true; // still in flight; Close waits for it before letting go
    req.m_Fd = -1;
    m_FillCount[cur] -= static_cast<uint32_t>(bytes > pending ? pending : bytes);
    if (done && bytes == pending)
        return true;
    QB_LOG(PL_ERROR, DF_TAG, "[Flush] Flush Data To File Fail Real Write = %u , Err = %u\n",
           static_cast<uint32_t>(bytes), static_cast<uint32_t>(errno));
    return false;
}

void CDataFile::WaitNoPending()
{
    size_t bytes = 0;
    for (int i = 0; i < 2; ++i)
        if (m_Overlapped[i].m_bPending.load())
            platform::GetOverlappedResult(&m_Overlapped[i], bytes, true);
}

bool CDataFile::Close()
{
    CCSLocker lock(m_FileLock);
    m_bOpen = 0;
    bool result = Flush();
    if (m_bAsync == 1 && m_pEvent[0] != nullptr && m_pEvent[1] != nullptr)
    {
        platform::CWaitable* events[2] = {m_pEvent[0], m_pEvent[1]};
        uint32_t ret = platform::WaitForMultipleObjects(2, events, true, CLOSE_WAIT_MS);
        QB_LOG(PL_DEBUG, DF_TAG, "[Close] Wait For Event Object Ret = %u\n", ret);
        // A write still in flight would land in whatever file reuses the
        // descriptor number: wait it out before closing.
        WaitNoPending();
        m_Overlapped[0].m_Fd = m_Overlapped[1].m_Fd = -1;
    }
    if (m_hFile >= 0)
    {
        close(m_hFile);
        m_hFile = -1;
    }
    m_WriteOffset = 0;
    return result;
}

uint32_t CDataFile::NeedSwitch()
{
    if (m_bHasData == 0)
        return 0;
    int useTime = CConfigManager::GetInstance()->KelvAdv().m_DataFileUseTime;
    uint32_t limit = ScaledInterval(static_cast<uint32_t>(useTime) * 60000u);
    uint32_t now = platform::GetTickCount();
    if (now < m_FirstWriteTick)
        return 1;
    return now - m_FirstWriteTick > limit ? 1 : 0;
}
