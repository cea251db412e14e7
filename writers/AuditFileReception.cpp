#include "writers/AuditFileReception.h"

#include "config/DiskSpace.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "platform/AnchoredPath.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <lzo/lzo1b.h>
#include <mutex>
#include <new>
#include <vector>

namespace
{
// Many transfers can be open at once, each for a long time: a block buffer larger than this is given
// back once its write has ended instead of being kept for the transfer's next block, so idle
// transfers hold no block-sized memory (a device declares block sizes up to 64 MiB).
constexpr size_t KEEP_BLOCK_BUFFER_BYTES = size_t{1024} * 1024;

struct CReleaseLargeBlockBuffer
{
    AuditFileInfo* m_pInfo;
    ~CReleaseLargeBlockBuffer()
    {
        if (!m_pInfo->m_bWritePending && m_pInfo->m_WriteBuff.capacity() > KEEP_BLOCK_BUFFER_BYTES)
            m_pInfo->ReleaseWriteBuff();
    }
};

// The writer's messages carry the writer's tag: this is its audit-file side.
const char* const TAG = "[CFinalLogWriter]";

uint32_t OpType(const UserAuditFileLog* r)
{
    return wire::LeToHost32(static_cast<uint32_t>(r->m_OpType));
}

size_t RecordDataSize(const UserAuditFileLog* r)
{
    uint32_t len = wire::GetDataLen(r->m_Head);
    return len > USERAUDITFILE_DATA_OFFSET ? len - USERAUDITFILE_DATA_OFFSET : 0;
}

uint8_t* ReplyData(LogReplyBuffHead* reply)
{
    return reinterpret_cast<uint8_t*>(reply + 1);
}
} // namespace

int CAuditFileReception::DecompressBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t& outLen)
{
    static const int initResult = lzo_init();
    if (initResult != LZO_E_OK || in == nullptr || out == nullptr)
        return LZO_E_ERROR;
    lzo_uint produced = outLen;
    int r = lzo1b_decompress_safe(in, inLen, out, &produced, nullptr);
    outLen = produced;
    return r;
}

void CAuditFileReception::Answer(LogReplyBuffHead* reply, const UserAuditFileLog* request, int32_t result,
                                 int32_t reason, uint32_t fileId, uint32_t firstLost, uint32_t lostCount)
{
    size_t n = wire::BuildUserAuditFileReply(*request, result, reason, fileId, firstLost, lostCount,
                                             ReplyData(reply), reply->m_Capacity);
    reply->m_Length = static_cast<uint32_t>(n);
}

void CAuditFileReception::DropFailedBegin(AuditFileInfo* info)
{
    uint32_t id = info->m_FileID;
    info->CloseFile();
    info->DeleteLocalFile();
    CAuditFileManager::GetInstance()->ReleaseAuditFileInfoByFileID(id);
}

uint32_t CAuditFileReception::WriteLog(int, const UserAuditFileLog* record, void* replyBuff,
                                       const std::string& dbName)
{
    if (record == nullptr)
        return 0;
    LogReplyBuffHead* reply = static_cast<LogReplyBuffHead*>(replyBuff);
    if (reply != nullptr)
        reply->m_Length = 0;
    switch (OpType(record))
    {
    case AUDITFILE_OP_BEGIN:
        return static_cast<uint32_t>(OnBeginUserAuditFile(record, reply, dbName));
    case AUDITFILE_OP_TRANSMISSION:
        return static_cast<uint32_t>(OnTransmissionUserAuditFile(record));
    case AUDITFILE_OP_END:
        return static_cast<uint32_t>(OnEndUserAuditFile(record, reply));
    case AUDITFILE_OP_ROLLBACK:
        return static_cast<uint32_t>(OnRollbackUserAuditFile(record));
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Begin
// ---------------------------------------------------------------------------------------------

int CAuditFileReception::OnBeginUserAuditFile(const UserAuditFileLog* record, LogReplyBuffHead* reply,
                                              const std::string& dbName)
{
    if (reply == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[OnBeginUserAuditFile] No Reply Buff.\n");
        return 0;
    }
    if (reply->m_Capacity < USERAUDITFILE_REPLY_LEN)
    {
        QB_LOG(PL_ERROR, TAG, "[OnBeginUserAuditFile] Buff To Small , CurSize = %u , RequireSize = %u\n",
               reply->m_Capacity, USERAUDITFILE_REPLY_LEN);
        return 0;
    }
    Answer(reply, record, 0, AUDITFILE_REASON_OK, 0);

    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    AuditFileInfo* info = manager->CreateNewAuditFileInfo(record->m_Head);
    if (info == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[OnBeginUserAuditFile] Create New AuditFileInfo Fail.\n");
        Answer(reply, record, 1, AUDITFILE_REASON_NO_ENTRY, 0);
        return 0;
    }

    info->m_Head = record->m_Head;
    info->m_GroupID = static_cast<int32_t>(wire::NetToHost32(record->m_GroupID));
    std::string rawName(record->m_UserName, strnlen(record->m_UserName, sizeof(record->m_UserName)));
    if (!Utf8ToGbkString(rawName.c_str(), info->m_UserName))
    {
        QB_LOG(PL_WARN, TAG, "[OnBeginUserAuditFile] Fail To Call Utf8ToGbkString().\n");
        Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, 0);
        DropFailedBegin(info);
        return 0;
    }
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    if (!devReg->GetUserInfoEx(dbName.c_str(), record->m_Head.m_DevMD5, info->m_UserName.c_str(),
                               info->m_UserID, info->m_GroupID))
    {
        QB_LOG(PL_WARN, TAG,
               "[WriteLog] Fail To Call GSD.GetUserInfoEx().UserGroupID = %d , RawName = %s , "
               "UserNameConverted = "
               "%s\n",
               info->m_GroupID, rawName.c_str(), info->m_UserName.c_str());
        Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, 0);
        DropFailedBegin(info);
        return 0;
    }

    info->m_TransferKind = record->m_TransferKind;
    info->m_TimeOut =
        std::min(wire::NetToHost32(record->m_TimeOut), CAuditFileManager::MAX_TRANSFER_TIMEOUT_S);
    info->m_LastActivity = platform::GetTickCount();
    info->m_BlockSize = wire::NetToHost32(record->m_BlockSize);
    info->m_FileSize = wire::MakeUInt64FromNetWords(record->m_FileSizeHigh, record->m_FileSizeLow);
    info->m_AllocSize = wire::MakeUInt64FromNetWords(record->m_AllocSizeHigh, record->m_AllocSizeLow);
    // At most 519 characters of the path are used, terminated or not.
    std::string utf8Path(record->m_FilePath, strnlen(record->m_FilePath, sizeof(record->m_FilePath) - 1));
    if (!Utf8ToGbkString(utf8Path.c_str(), info->m_SentPath))
        info->m_SentPath.clear();
    // The name is cut off the path before conversion: in GBK a character's second byte may be '\\'.
    size_t slash = utf8Path.rfind('\\');
    std::string utf8Name = slash == std::string::npos ? utf8Path : utf8Path.substr(slash + 1);
    if (!Utf8ToGbkString(utf8Name.c_str(), info->m_FileName))
        info->m_FileName.clear();
    if (info->m_FileName.size() > 259)
    {
        // Never keep half of a double-byte character.
        size_t keep = 0;
        while (keep < info->m_FileName.size())
        {
            size_t step = static_cast<unsigned char>(info->m_FileName[keep]) >= 0x81 ? 2 : 1;
            if (keep + step > 259)
                break;
            keep += step;
        }
        info->m_FileName.resize(keep);
    }

    std::string devDb;
    bool known = devReg->GetDbNameByMD5(record->m_Head.m_DevMD5, devDb);
    if (!known)
        QB_LOG(PL_WARN, TAG, "[OnBeginUserAuditFile] Fail To Call GetDbNameByMD5. Maybe Use Invalid MD5.\n");
    else if (devDb != dbName)
        QB_LOG(PL_WARN, TAG,
               "[OnBeginUserAuditFile] Invalid MD5 , Maybe This AuditLog Send By Another Client.\n");
    if (!known || devDb != dbName)
    {
        Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, 0);
        DropFailedBegin(info);
        return 0;
    }
    info->m_DbName = devDb;

    if (info->m_TransferKind == AUDITFILE_KIND_DATA)
    {
        if (!HasEnoughDiskSpace(info->m_AllocSize))
        {
            QB_LOG(PL_WARN, TAG, "[OnBeginUserAuditFile] Not Enough Disk Space.\n");
            Answer(reply, record, 1, AUDITFILE_REASON_DISK, 0);
            DropFailedBegin(info);
            return 0;
        }
        if (!GetAndCreateAduitFileFullPathFile(info, record))
        {
            QB_LOG(PL_WARN, TAG, "[OnBeginUserAuditFile] Call GetAndCreateAduitFileFullPathFile Fail.\n");
            Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, 0);
            DropFailedBegin(info);
            return 0;
        }
        if (!platform::SetFileLength(info->m_Fd, info->m_AllocSize))
        {
            QB_LOG(PL_WARN, TAG, "[OnBeginUserAuditFile] Call SetEndOfFile Fail Err = %u.\n",
                   static_cast<unsigned>(errno));
            Answer(reply, record, 1, AUDITFILE_REASON_DISK, 0);
            DropFailedBegin(info);
            return 1;
        }
    }

    Answer(reply, record, 0, AUDITFILE_REASON_OK, info->m_FileID);
    QB_LOG(PL_INFO, TAG,
           "[OnBeginUserAuditFile] Begin New AuditFile ID = %u FileName = %s , FullFileName = %s.\n",
           info->m_FileID, info->m_FileName.c_str(), info->m_LocalPath.c_str());
    info->m_bLocked = 0;
    info->m_bActive = 1;
    return 1;
}

int CAuditFileReception::GetAndCreateAduitFileFullPathFile(AuditFileInfo* info,
                                                           const UserAuditFileLog* record)
{
    uint32_t date = wire::GetDateWord(record->m_Head);
    uint32_t time = wire::GetTimeWord(record->m_Head);
    char timeText[64];
    if (!TranslateDWORDTimeToSZ(date, time, timeText, sizeof(timeText)))
        return 0;
    std::string month(timeText, strnlen(timeText, 7));
    std::string user = EscapeFileName(info->m_UserName);
    const std::string& root = CGlobalSharedData::GetInstance()->GetUploadDir();
    std::string dirPath = root + "/" + info->m_DbName + "/" + month + "/" + user;

    std::vector<std::string> components = {info->m_DbName, month, user};
    int dir = platform::OpenDirectoryBelow(root, components, true);
    if (dir < 0)
    {
        QB_LOG(PL_ERROR, TAG,
               "[GetAndCreateAduitFileFullPathFile] Create Directory Recursive Fail Path = %s\n",
               dirPath.c_str());
        return 0;
    }

    std::string stamp;
    TranslateDWORDTimeToCompactSZ(date, time, stamp);
    const std::string baseName = stamp + ".dat";
    std::string name = baseName;
    int fd = platform::CreateNewFileAt(dir, name);
    for (uint32_t n = 1; fd < 0 && n <= CONFLICT_SUFFIX_MAX; ++n)
    {
        size_t dot = baseName.rfind('.');
        std::string suffix = "_" + std::to_string(n);
        name = dot == std::string::npos ? baseName + suffix
                                        : baseName.substr(0, dot) + suffix + baseName.substr(dot);
        fd = platform::CreateNewFileAt(dir, name);
    }
    platform::CloseDescriptor(dir);
    if (fd < 0)
    {
        QB_LOG(PL_ERROR, TAG, "[GetAndCreateAduitFileFullPathFile] Too Much Conflict FileName = %s\n",
               (dirPath + "/" + baseName).c_str());
        return 0;
    }
    info->m_Fd = fd;
    info->m_DirComponents = components;
    info->m_LocalName = name;
    info->m_LocalPath = dirPath + "/" + name;

    info->m_WebPath = "/UploadFiles/" + info->m_DbName + "/" + month + "/" + user + "/" + name;
    if (info->m_WebPath.find('.') != std::string::npos)
        QB_LOG(PL_INFO, TAG, "[GetAndCreateAduitFileFullPathFile] Has Extend, Path = %s.\n",
               info->m_WebPath.c_str());
    else
        QB_LOG(PL_INFO, TAG, "[GetAndCreateAduitFileFullPathFile] No Extend, Path = %s.\n",
               info->m_WebPath.c_str());

    info->m_pIoEvent.reset(new (std::nothrow) platform::CEvent(true, false));
    if (info->m_pIoEvent == nullptr || !info->m_pIoEvent->IsValid())
    {
        QB_LOG(PL_ERROR, TAG, "[GetAndCreateAduitFileFullPathFile] Create Event Fail Err = %u.\n",
               static_cast<unsigned>(errno));
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Blocks
// ---------------------------------------------------------------------------------------------

int CAuditFileReception::OnTransmissionUserAuditFile(const UserAuditFileLog* record)
{
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    uint32_t fileId = wire::NetToHost32(record->m_FileID);
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(fileId);
    if (info == nullptr)
    {
        QB_LOG(PL_WARN, TAG, "[OnTransmissionUserAuditFile] Lock AuditFileInfo Fail.\n");
        return 0;
    }
    try
    {
        info->m_LastActivity = platform::GetTickCount();
        if (!FinishLastAsyncWrite(info))
            QB_LOG(PL_WARN, TAG, "[OnTransmissionUserAuditFile] Call FinishLastAsyncWrite Fail.\n");
        if (!DoWriteAuditFileData(info, record))
            QB_LOG(PL_WARN, TAG, "[OnTransmissionUserAuditFile] Call DoWriteAuditFileData Fail.\n");
        QB_LOG(PL_INFO, TAG,
               "[OnTransmissionUserAuditFile] FileID = %u Recv Compr Size = %u , UnComprSize = %u ,  Block = "
               "%u.\n",
               fileId, wire::NetToHost32(record->m_ComprDataSize), wire::NetToHost32(record->m_ExtraDataSize),
               wire::NetToHost32(record->m_BlockNo));
    }
    catch (...)
    {
        manager->UnLockAuditFileInfoByFileID(fileId);
        throw;
    }
    manager->UnLockAuditFileInfoByFileID(fileId);
    return 1;
}

void CAuditFileReception::FinishOtherPendingWrite(uint32_t currentFileId)
{
    uint32_t other = m_LastPendingFileID;
    m_LastPendingFileID = 0;
    if (other == 0 || other == currentFileId)
        return;
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    // The other transfer may have ended or expired since; then there is nothing to finish.
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(other);
    if (info == nullptr)
        return;
    FinishLastAsyncWrite(info);
    manager->UnLockAuditFileInfoByFileID(other);
}

int CAuditFileReception::RefuseBlock(AuditFileInfo* info, uint32_t level, const char* format, ...)
{
    CProgramLogRecorder* log = CProgramLogRecorder::GetInstance();
    if (log->WouldLog(level))
    {
        // As long as a whole log line: the line is cut where the log would cut it.
        char text[2048];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        log->Log(level, TAG, "%s", text);
    }
    // Nothing of the block counts as received. A block is not answered on its own: the end of the
    // transfer names what is missing.
    info->m_CurBegin = info->m_CurEnd = 0;
    return 0;
}

int CAuditFileReception::DoWriteAuditFileData(AuditFileInfo* info, const UserAuditFileLog* record)
{
    if (info->m_TransferKind == AUDITFILE_KIND_NODATA)
        return 1;
    BlockRequest block;
    if (!CheckBlock(info, record, block))
        return 0;
    // An empty block passes its check with nothing to write.
    if (block.m_Size == 0)
        return 1;
    FinishOtherPendingWrite(info->m_FileID);

    CReleaseLargeBlockBuffer release{info};
    if (!FillBlock(info, record, block))
        return 0;
    return WriteBlock(info, block);
}

int CAuditFileReception::CheckBlock(AuditFileInfo* info, const UserAuditFileLog* record, BlockRequest& block)
{
    const uint32_t blockNo = wire::NetToHost32(record->m_BlockNo);
    block.m_Size = wire::NetToHost32(record->m_ExtraDataSize);
    block.m_Method = record->m_CompressMethod;
    // 64-bit: block number times block size passes 4 GiB for large files.
    block.m_Offset = static_cast<uint64_t>(info->m_BlockSize) * blockNo;
    info->m_CurBegin = block.m_Offset;
    info->m_CurEnd = block.m_Offset + block.m_Size;

    if (block.m_Size == 0)
    {
        QB_LOG(PL_WARN, TAG, "[DoWriteAuditFileData] No Data Need Write.FileID = %u.\n", info->m_FileID);
        return 1;
    }
    // A block that starts at or past the end of the file the begin declared has nowhere to go.
    if (block.m_Offset >= info->m_AllocSize)
        return RefuseBlock(info, PL_WARN,
                           "[DoWriteAuditFileData] File Offset = %" PRIu64 " Too Large, FileID = %u.\n",
                           block.m_Offset, info->m_FileID);
    // A block larger than the block size would overwrite the next one.
    if (block.m_Size > info->m_BlockSize || block.m_Size > MAX_BLOCK_BYTES)
        return RefuseBlock(
            info, PL_WARN,
            "[DoWriteAuditFileData] Block Data Size = %u Too Large, BlockSize = %u , FileID = %u.\n",
            block.m_Size, info->m_BlockSize, info->m_FileID);
    if (info->m_Fd < 0)
        return RefuseBlock(info, PL_WARN, "[DoWriteAuditFileData] Write Data Fail Error = %u.\n",
                           static_cast<unsigned>(EBADF));
    return 1;
}

int CAuditFileReception::FillBlock(AuditFileInfo* info, const UserAuditFileLog* record,
                                   const BlockRequest& block)
{
    const size_t available = RecordDataSize(record);
    try
    {
        // The buffer grows to the block exactly, and only as far as the bound on all transfers' buffers
        // allows.
        if (info->m_WriteBuff.capacity() < block.m_Size)
        {
            uint64_t more = block.m_Size - info->m_WriteBuffCounted;
            if (!CAuditFileManager::GetInstance()->ReserveBufferBytes(more))
                return RefuseBlock(info, PL_ERROR, "[DoWriteAuditFileData] Cannot Alloc Memory.\n");
            info->m_WriteBuffCounted += more;
            std::vector<uint8_t> grown;
            grown.reserve(block.m_Size);
            info->m_WriteBuff.swap(grown);
        }
        info->m_WriteBuff.resize(block.m_Size);
    }
    catch (const std::bad_alloc&)
    {
        return RefuseBlock(info, PL_ERROR, "[DoWriteAuditFileData] Cannot Alloc Memory.\n");
    }
    if (block.m_Method != AUDITFILE_COMPRESS_NONE)
    {
        const uint32_t comprSize = wire::NetToHost32(record->m_ComprDataSize);
        size_t produced = block.m_Size;
        int r = -1;
        if (block.m_Method == AUDITFILE_COMPRESS_LZO1B && comprSize <= available)
            r = DecompressBlock(record->m_ExtraData, comprSize, info->m_WriteBuff.data(), produced);
        // The whole block or nothing: a short result would write stale bytes.
        if (r != 0 || produced != block.m_Size)
            return RefuseBlock(info, PL_ERROR, "[DoWriteAuditFileData] Data Decompress Fail.\n");
        return 1;
    }
    if (block.m_Size > available)
        return RefuseBlock(
            info, PL_WARN,
            "[DoWriteAuditFileData] Data Size = %u Exceed Packge Data Size = %zu , FileID = %u.\n",
            block.m_Size, available, info->m_FileID);
    std::memcpy(info->m_WriteBuff.data(), record->m_ExtraData, block.m_Size);
    return 1;
}

int CAuditFileReception::WriteBlock(AuditFileInfo* info, const BlockRequest& block)
{
    // The file never grows past its declared size: of a block that runs across its end only the part
    // inside it is written (closing would cut the rest off anyway, but until then it would take disk).
    const uint32_t writeLen =
        static_cast<uint32_t>(std::min<uint64_t>(block.m_Size, info->m_AllocSize - block.m_Offset));
    if (writeLen != block.m_Size)
        QB_LOG(PL_WARN, TAG,
               "[DoWriteAuditFileData] Block Ends Past The File: %u Of %u Bytes Written, FileID = %u.\n",
               writeLen, block.m_Size, info->m_FileID);
    info->m_CurEnd = block.m_Offset + writeLen;

    platform::OverlappedRequest& ov = info->m_Overlapped;
    ov.m_Fd = info->m_Fd;
    ov.m_Offset = block.m_Offset;
    ov.m_pBuffer = info->m_WriteBuff.data();
    ov.m_Length = writeLen;
    ov.m_pDone = info->m_pIoEvent.get();
    if (!platform::StartOverlappedWrite(&ov))
        return RefuseBlock(info, PL_WARN, "[DoWriteAuditFileData] Write Data Fail Error = %u.\n",
                           static_cast<unsigned>(errno));
    size_t bytes = 0;
    if (platform::GetOverlappedResult(&ov, bytes, false))
    {
        if (bytes != writeLen)
            return 0;
        return UpdateAuditFileBlockInfo(info);
    }
    if (errno == EINPROGRESS)
    {
        info->m_bWritePending = true;
        m_LastPendingFileID = info->m_FileID;
        return 1;
    }
    return RefuseBlock(info, PL_WARN, "[DoWriteAuditFileData] Write Data Fail Error = %u.\n",
                       static_cast<unsigned>(errno));
}

int CAuditFileReception::FinishLastAsyncWrite(AuditFileInfo* info)
{
    if (!info->m_bWritePending)
        return 1;
    CReleaseLargeBlockBuffer release{info};
    info->m_bWritePending = false;
    if (m_LastPendingFileID == info->m_FileID)
        m_LastPendingFileID = 0;
    platform::OverlappedRequest& ov = info->m_Overlapped;
    uint32_t ret = platform::WaitForSingleObject(info->m_pIoEvent.get(), WRITE_WAIT_MS);
    if (ret != platform::WAIT_OBJECT_0)
    {
        if (ret == platform::WAIT_TIMEOUT)
            QB_LOG(PL_WARN, TAG, "[FinishLastAsyncWrite] Wait Io Event TimeOut.Cancel Io.\n");
        else
            QB_LOG(PL_WARN, TAG, "[FinishLastAsyncWrite] Wait Io Event Fail WaitRet = %u Err = %u.\n", ret,
                   static_cast<unsigned>(errno));
        // A queued write cannot be withdrawn: let it end before its buffer is used again, and do not
        // count it.
        size_t ignored = 0;
        platform::GetOverlappedResult(&ov, ignored, true);
        info->m_CurBegin = info->m_CurEnd = 0;
        return 0;
    }
    size_t bytes = 0;
    if (!platform::GetOverlappedResult(&ov, bytes, false))
    {
        QB_LOG(PL_WARN, TAG, "[FinishLastAsyncWrite] Get Overlapped Result Fail Err = %u.\n",
               static_cast<unsigned>(errno));
        return 0;
    }
    if (bytes != info->m_CurEnd - info->m_CurBegin)
    {
        QB_LOG(PL_WARN, TAG,
               "[FinishLastAsyncWrite] Write Size Error. Request Size = %" PRIu64
               " , Real Write Size = %zu.\n",
               info->m_CurEnd - info->m_CurBegin, bytes);
        return 0;
    }
    return UpdateAuditFileBlockInfo(info);
}

int CAuditFileReception::UpdateAuditFileBlockInfo(AuditFileInfo* info)
{
    const uint64_t b = info->m_CurBegin, e = info->m_CurEnd;
    if (b == 0 && e == 0)
    {
        QB_LOG(PL_WARN, TAG, "[UpdateAuditFileBlockInfo] Invalid File Block Info , Ignore.\n");
        return 1;
    }
    auto& ranges = info->m_Ranges;
    for (auto it = ranges.rbegin(); it != ranges.rend(); ++it)
    {
        if (it->second < b)
            continue;
        // Only a range that overlaps or touches this block takes it in; a block further down the file
        // is a range of its own, or a hole between them would count as received.
        if (it->first <= e)
        {
            it->first = std::min(it->first, b);
            it->second = std::max(it->second, e);
            return 1;
        }
        break;
    }
    if (e > b)
        ranges.emplace_back(b, e);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// End, rollback
// ---------------------------------------------------------------------------------------------

int CAuditFileReception::OnEndUserAuditFile(const UserAuditFileLog* record, LogReplyBuffHead* reply)
{
    if (reply == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[OnEndUserAuditFile] No Reply Buff.\n");
        return 0;
    }
    if (reply->m_Capacity < USERAUDITFILE_END_REPLY_LEN)
    {
        QB_LOG(PL_ERROR, TAG, "[OnEndUserAuditFile] Buff To Small , CurSize = %u , RequireSize = %u\n",
               reply->m_Capacity, USERAUDITFILE_END_REPLY_LEN);
        return 0;
    }
    Answer(reply, record, 0, AUDITFILE_REASON_OK, 0);

    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    const uint32_t fileId = wire::NetToHost32(record->m_FileID);
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(fileId);
    if (info == nullptr)
    {
        QB_LOG(PL_WARN, TAG, "[OnEndUserAuditFile] Get AuditFileInfo Fail.\n");
        Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, fileId);
        return 0;
    }
    info->m_LastActivity = platform::GetTickCount();
    if (!FinishLastAsyncWrite(info))
        QB_LOG(PL_WARN, TAG, "[OnEndUserAuditFile] Call FinishLastAsyncWrite Fail.\n");

    auto& ranges = info->m_Ranges;
    ranges.sort();
    for (auto it = ranges.begin(); it != ranges.end();)
    {
        auto next = std::next(it);
        if (next != ranges.end() && next->first <= it->second)
        {
            it->second = std::max(it->second, next->second);
            ranges.erase(next);
            continue;
        }
        it = next;
    }

    bool complete = info->m_TransferKind == AUDITFILE_KIND_NODATA || info->m_FileSize == 0 ||
                    (ranges.size() == 1 && ranges.front().first == 0 &&
                     ranges.front().second - ranges.front().first >= info->m_AllocSize);
    if (!complete)
    {
        uint64_t begin = 0, end = 0;
        if (CAuditFileManager::GetAuditFileLostBlockInfo(info, begin, end))
        {
            if (info->m_BlockSize != 0)
            {
                Answer(reply, record, 1, AUDITFILE_REASON_BLOCKS_MISSING, fileId,
                       static_cast<uint32_t>(begin / info->m_BlockSize),
                       static_cast<uint32_t>((end - begin) / info->m_BlockSize));
            }
            else
            {
                QB_LOG(PL_WARN, TAG, "[OnEndUserAuditFile] Invalid BlockSize.\n");
                Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, fileId);
            }
        }
        else
        {
            // Still a refusal: the file is not whole.
            QB_LOG(PL_WARN, TAG, "[OnEndUserAuditFile] Cannot Get Lost BlockInfo.\n");
            Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, fileId);
        }
        manager->UnLockAuditFileInfoByFileID(fileId);
        return 1;
    }

    if (RecordDataSize(record) < sizeof(info->m_Sha1))
    {
        QB_LOG(PL_WARN, TAG, "[OnEndUserAuditFile] No SHA1 In Packge , Size = %u.\n",
               wire::GetDataLen(record->m_Head));
        Answer(reply, record, 1, AUDITFILE_REASON_NOT_ACCEPTABLE, fileId);
        manager->UnLockAuditFileInfoByFileID(fileId);
        return 1;
    }
    std::memcpy(info->m_Sha1, record->m_ExtraData, sizeof(info->m_Sha1));
    if (!InsertUserAuditLog(info))
    {
        Answer(reply, record, 1, AUDITFILE_REASON_DB_INSERT, fileId);
        manager->UnLockAuditFileInfoByFileID(fileId);
        return 1;
    }

    Answer(reply, record, 0, AUDITFILE_REASON_OK, fileId);
    std::string utf8Path;
    if (!GbkToUtf8String(info->m_SentPath.data(), info->m_SentPath.size(), utf8Path))
        utf8Path = info->m_SentPath;
    size_t stored = wire::BuildUserAuditFileStored(record->m_Head, record->m_GroupID, record->m_UserName,
                                                   utf8Path.c_str(), info->m_FileSize, info->m_Sha1,
                                                   ReplyData(reply) + USERAUDITFILE_REPLY_LEN,
                                                   reply->m_Capacity - USERAUDITFILE_REPLY_LEN);
    reply->m_Length = static_cast<uint32_t>(USERAUDITFILE_REPLY_LEN + stored);
    info->CloseFile();
    manager->ReleaseAuditFileInfoByFileID(fileId);
    QB_LOG(PL_INFO, TAG, "[OnEndUserAuditFile] AuditFileID = %u Record Succeed.\n", fileId);
    return 1;
}

int CAuditFileReception::OnRollbackUserAuditFile(const UserAuditFileLog* record)
{
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    const uint32_t fileId = wire::NetToHost32(record->m_FileID);
    // Claimed rather than looked up, so the check thread cannot clear it meanwhile.
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(fileId);
    if (info == nullptr)
    {
        QB_LOG(PL_WARN, TAG, "[OnRollbackUserAuditFile] Get AuditFileInfo Fail.\n");
        return 0;
    }
    if (m_LastPendingFileID == fileId)
        m_LastPendingFileID = 0;
    info->CloseFile();
    info->DeleteLocalFile();
    manager->ReleaseAuditFileInfoByFileID(fileId);
    QB_LOG(PL_INFO, TAG, "[OnRollbackUserAuditFile] RollBack FileID = %u.\n", fileId);
    return 1;
}

int CAuditFileReception::InsertUserAuditLog(AuditFileInfo* info)
{
    try
    {
        char timeText[64];
        if (!TranslateDWORDTimeToSZ(wire::GetDateWord(info->m_Head), wire::GetTimeWord(info->m_Head),
                                    timeText, sizeof(timeText)))
            return 0;
        char sha1Hex[41] = {};
        BinToHex(info->m_Sha1, sizeof(info->m_Sha1), sha1Hex, 40);
        std::string path = info->m_SentPath, name = info->m_FileName, web = info->m_WebPath,
                    user = info->m_UserName;
        EscapeSqlString(path);
        EscapeSqlString(name);
        EscapeSqlString(web);
        EscapeSqlString(user);
        std::vector<char> sql(8192);
        int n = snprintf(
            sql.data(), sql.size(),
            "insert into usrfileauditlog(`user_id`, `user_name` ,`grp_id`, `filename`, `filefullpath` "
            ",  `dcfilepath`, `filesize` ,`sha1code`, `log_time`) values(%d,'%s', %d,'%s','%s','%s',%" PRId64
            " , '%s' , '%s')",
            info->m_UserID, user.c_str(), info->m_GroupID, name.c_str(), path.c_str(), web.c_str(),
            static_cast<int64_t>(info->m_FileSize), sha1Hex, timeText);
        // A cut statement would be a different statement.
        if (n < 0 || static_cast<size_t>(n) >= sql.size())
            return 0;

        int result = 0;
        auto body = [&](MYSQL* conn)
        {
            if (mysql_query(conn, "set   names   'gbk'") == 0)
            {
                MYSQL_RES* res = mysql_use_result(conn);
                if (res != nullptr)
                    mysql_free_result(res);
            }
            if (mysql_query(conn, sql.data()) != 0)
            {
                QB_LOG(PL_WARN, TAG, "[InsertUserAuditLog] Query Fail.Sql = %s Err = %u , ErrStr = %s\n",
                       sql.data(), mysql_errno(conn), mysql_error(conn));
                return;
            }
            MYSQL_RES* res = mysql_use_result(conn);
            if (res != nullptr)
                mysql_free_result(res);
            result = 1;
        };
        if (m_RunOnConnection)
        {
            if (!m_RunOnConnection(body))
                return 0;
            return result;
        }
        CSQLConnManager* sqlManager = CSQLConnManager::GetInstance();
        MYSQL* conn = nullptr;
        for (int i = 0; i < MAKE_SQL_OK_TRIES && conn == nullptr; ++i)
        {
            conn = sqlManager->AllocSqlConn(info->m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
            if (conn == nullptr)
                platform::Sleep(MAKE_SQL_OK_SLEEP_MS);
        }
        if (conn == nullptr)
            return 0;
        body(conn);
        sqlManager->ReleaseSqlConn(conn);
        return result;
    }
    catch (...)
    {
        QB_LOG(PL_ERROR, TAG, "[InsertUserAuditLog] Exception Occur.\n");
        return 0;
    }
}
