#include "storage/DataFile.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/ProgramLogRecorder.h"
#include "core/TestKillPoint.h"
#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#define DF_TAG "[CDataFile]"

namespace
{
uint32_t CountLines(const char* data, uint32_t length)
{
    return data == nullptr ? 0 : static_cast<uint32_t>(std::count(data, data + length, '\n'));
}
} // namespace

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
    m_Handed[0] = m_Handed[1] = HANDED_NONE;
    m_ReservedEnd = 0;
    m_bAsyncOpen =
        (CConfigManager::GetInstance()->KelvAdv().m_EnableAsyncWrite != 0 && m_bAsync == 1) ? 1 : 0;
    if (m_bAsyncOpen == 1 && m_hFile >= 0)
    {
        // Buffered lines are answered as written before they reach the disk,
        // which is sound only where room for them can be reserved first.
        if (platform::ReserveFileRange(m_hFile, 0, ASYNC_BUFF_SIZE))
            m_ReservedEnd = ASYNC_BUFF_SIZE;
        else if (errno == EOPNOTSUPP)
        {
            QB_LOG(PL_WARN, DF_TAG,
                   "[Create] No Space Reservation On This File System, Writing Directly: %s\n",
                   m_FilePath.c_str());
            m_bAsyncOpen = 0;
        }
    }
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
        // leave a gap of zeros. No other write is in flight (a buffered file
        // settles its buffer's write first), so the file is cut back to where
        // this line began and the line is refused whole (the record then goes
        // on by SQL).
        if (ftruncate(m_hFile, static_cast<off_t>(offset)) == 0)
        {
            m_WriteOffset = offset;
            written = 0;
            if (m_ReservedEnd > offset)
            {
                // The cut freed the space reserved for the current buffer.
                m_ReservedEnd = offset;
                if (m_bAsyncOpen == 1)
                    ReserveRoom(m_FillCount[m_CurBuffIndex]);
            }
        }
    }
    else if (CTestKillPoint::Due("line"))
        CTestKillPoint::KillNow();
    return static_cast<uint32_t>(written);
}

bool CDataFile::ReserveRoom(uint64_t length)
{
    uint64_t start = m_WriteOffset.load();
    if (start + length <= m_ReservedEnd)
        return true;
    // Below the write offset everything is written or reserved already.
    uint64_t from = std::max(start, m_ReservedEnd);
    // A buffer's worth at a time; on a nearly full disk just what is needed.
    uint64_t want = start + std::max<uint64_t>(length, ASYNC_BUFF_SIZE);
    if (platform::ReserveFileRange(m_hFile, from, want - from))
    {
        m_ReservedEnd = want;
        return true;
    }
    uint64_t need = start + length;
    if (errno != EOPNOTSUPP && platform::ReserveFileRange(m_hFile, from, need - from))
    {
        m_ReservedEnd = need;
        return true;
    }
    QB_LOG(PL_ERROR, DF_TAG, "[Write] No Room For Line In Data File, Line Refused. Length = %u , Err = %u\n",
           static_cast<uint32_t>(length), static_cast<uint32_t>(errno));
    return false;
}

bool CDataFile::SettleHanded(bool wait)
{
    uint32_t index = 1 - m_CurBuffIndex;
    platform::OverlappedRequest& req = m_Overlapped[index];
    if (m_Handed[index] == HANDED_IN_FLIGHT)
    {
        if (!wait && req.m_bPending.load() && !m_pEvent[index]->IsSet())
            return true;
        size_t bytes = 0;
        bool ok = platform::GetOverlappedResult(&req, bytes, true);
        if (!ok || bytes != req.m_Length)
        {
            QB_LOG(PL_ERROR, DF_TAG, "[WriteAsync] Write Async Err = %u , Real Write = %u Of %u\n",
                   static_cast<uint32_t>(errno), static_cast<uint32_t>(bytes),
                   static_cast<uint32_t>(req.m_Length));
            m_Handed[index] = HANDED_FAILED;
        }
    }
    if (m_Handed[index] == HANDED_FAILED)
    {
        // The lines were answered as written: kept and written again whole at
        // the same offset (a part written before gets the same bytes again).
        // Nothing lies beyond them, as one buffer is written at a time.
        size_t written = 0;
        if (!platform::PositionedWriteAll(m_hFile, m_pBuff[index], req.m_Length, req.m_Offset, written))
            return false;
        QB_LOG(PL_WARN, DF_TAG, "[WriteAsync] Buffer Written On A Later Attempt. Bytes = %u\n",
               static_cast<uint32_t>(req.m_Length));
    }
    m_Handed[index] = HANDED_NONE;
    m_FillCount[index] = 0;
    req.m_Fd = -1;
    return true;
}

uint32_t CDataFile::WriteBuffered(const void* data, uint32_t length)
{
    // Until the bytes of a failed buffer write are on disk no line is taken:
    // a refused line goes on by SQL.
    if (!SettleHanded(false))
        return 0;
    uint32_t cur = m_CurBuffIndex;
    if (length >= ASYNC_BUFF_SIZE)
    {
        // Too big for a buffer: written at once, once the buffer write in
        // flight is done (nothing may land beyond a write that can still
        // fail). What the buffer holds follows it, so room is kept for both.
        if (!SettleHanded(true) || !ReserveRoom(static_cast<uint64_t>(length) + m_FillCount[cur]))
            return 0;
        return WriteDirect(data, length);
    }
    if (m_FillCount[cur] + length >= ASYNC_BUFF_SIZE)
    {
        // One buffer write at a time, in file order: the other buffer's
        // write is done before this one is handed over.
        if (!SettleHanded(true))
            return 0;
        QB_LOG(PL_INFO, DF_TAG, "[GetFreeBuffIndex] Index = %u\n", 1 - cur);
        WriteAsync(cur);
        cur = m_CurBuffIndex = 1 - cur;
    }
    if (!ReserveRoom(static_cast<uint64_t>(m_FillCount[cur]) + length))
        return 0;
    memcpy(m_pBuff[cur] + m_FillCount[cur], data, length);
    m_FillCount[cur] += length;
    return length;
}

uint32_t CDataFile::Write(const void* data, uint32_t length)
{
    CCSLocker lock(m_FileLock);
    if (m_hFile < 0 || data == nullptr || length == 0 || m_bOpen == 0)
        return 0;

    uint32_t result = m_bAsyncOpen == 0 ? WriteDirect(data, length) : WriteBuffered(data, length);
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
    if (index > 1 || m_hFile < 0 || m_pBuff[index] == nullptr || m_Handed[index] != HANDED_NONE)
        return false;
    platform::OverlappedRequest& req = m_Overlapped[index];
    req.m_Fd = m_hFile;
    req.m_Offset = m_WriteOffset.fetch_add(m_FillCount[index]);
    req.m_pBuffer = m_pBuff[index];
    req.m_Length = m_FillCount[index];
    req.m_pDone = m_pEvent[index];
    m_Handed[index] = HANDED_IN_FLIGHT;
    if (!platform::StartOverlappedWrite(&req))
    {
        // Not queued: written on this thread when the buffer is settled.
        QB_LOG(PL_ERROR, DF_TAG, "[WriteAsync] Write Async Err = %u\n", static_cast<uint32_t>(errno));
        m_Handed[index] = HANDED_FAILED;
    }
    return true;
}

bool CDataFile::Flush()
{
    CCSLocker lock(m_FileLock);
    if (m_hFile < 0 || m_bAsyncOpen == 0)
        return true;
    bool ok = SettleHanded(true);
    uint32_t cur = m_CurBuffIndex;
    if (ok && m_FillCount[cur] > 0)
    {
        WriteAsync(cur);
        m_CurBuffIndex = 1 - cur;
        ok = SettleHanded(true);
    }
    if (!ok)
        QB_LOG(PL_ERROR, DF_TAG, "[Flush] Flush Data To File Fail Real Write = %u , Err = %u\n", 0u,
               static_cast<uint32_t>(errno));
    return ok;
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
    if (m_bAsyncOpen == 1 && m_hFile >= 0)
    {
        // Space may come free (an import deletes files): the buffered lines
        // were answered as written, so they get a few more attempts.
        for (uint32_t i = 0; !result && i < CLOSE_RETRY_COUNT; ++i)
        {
            platform::Sleep(CLOSE_RETRY_MS);
            result = Flush();
        }
        uint32_t handed = 1 - m_CurBuffIndex;
        if (!result && m_Handed[handed] == HANDED_FAILED)
        {
            // Given up: cut back to where the failed write began, so that the
            // file holds no torn line and no gap, and count what is lost.
            uint32_t cur = m_CurBuffIndex;
            const platform::OverlappedRequest& req = m_Overlapped[handed];
            uint32_t lines = CountLines(m_pBuff[handed], static_cast<uint32_t>(req.m_Length)) +
                             CountLines(m_pBuff[cur], m_FillCount[cur]);
            int cut = ftruncate(m_hFile, static_cast<off_t>(req.m_Offset));
            QB_LOG(PL_ERROR, DF_TAG,
                   "[Close] Data File Lines Lost = %u , Bytes = %u , Cut Back To %llu (%s) , File = %s\n",
                   lines, static_cast<uint32_t>(req.m_Length + m_FillCount[cur]),
                   static_cast<unsigned long long>(req.m_Offset), cut == 0 ? "done" : "failed",
                   m_FilePath.c_str());
            m_Handed[handed] = HANDED_NONE;
            m_FillCount[handed] = m_FillCount[cur] = 0;
            m_WriteOffset = req.m_Offset;
        }
        else if (m_ReservedEnd > m_WriteOffset.load())
        {
            // Gives back the space reserved beyond the last line.
            if (ftruncate(m_hFile, static_cast<off_t>(m_WriteOffset.load())) != 0)
                QB_LOG(PL_WARN, DF_TAG, "[Close] Cannot Release Reserved Space Err = %u\n",
                       static_cast<uint32_t>(errno));
        }
        m_ReservedEnd = 0;
    }
    if (m_bAsync == 1 && m_pEvent[0] != nullptr && m_pEvent[1] != nullptr)
    {
        platform::CWaitable* events[2] = {m_pEvent[0], m_pEvent[1]};
        uint32_t ret = platform::WaitForMultipleObjects(2, events, true, CLOSE_WAIT_MS);
        QB_LOG(PL_DEBUG, DF_TAG, "[Close] Wait For Event Object Ret = %u\n", ret);
        // A write still in flight would land in whatever file reuses the
        // descriptor number: wait it out before closing.
        WaitNoPending();
        m_Overlapped[0].m_Fd = m_Overlapped[1].m_Fd = -1;
        m_Handed[0] = m_Handed[1] = HANDED_NONE;
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
