#include "protocol/WireProtocol.h"

#include <cstdio>

namespace wire
{
void InvertBody(void* record, size_t length)
{
    if (!record || length <= DATA_HEAD_LEN)
        return;
    auto* p = static_cast<uint8_t*>(record) + DATA_HEAD_LEN;
    auto* end = static_cast<uint8_t*>(record) + length;
    // Word-wise first: masked records are large (alarms are 5 KiB) and this runs per record.
    for (; p + 8 <= end; p += 8)
    {
        uint64_t w;
        std::memcpy(&w, p, 8);
        w = ~w;
        std::memcpy(p, &w, 8);
    }
    for (; p < end; ++p)
        *p ^= MASK_BYTE;
}

bool FormatRecordTime(const DataHead& head, char* buf, size_t size)
{
    if (!buf || size == 0)
        return false;
    const uint32_t date = GetDateWord(head);
    const uint32_t time = GetTimeWord(head);
    std::snprintf(buf, size, "%4d-%02d-%02d %02d:%02d:%02d", static_cast<int>(date >> 16),
                  static_cast<int>((date >> 8) & 0xFF), static_cast<int>(date & 0xFF),
                  static_cast<int>(time >> 16), static_cast<int>((time >> 8) & 0xFF),
                  static_cast<int>(time & 0xFF));
    return true;
}

void DigestToHexLower(const uint8_t digest[16], char out[33])
{
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < 16; ++i)
    {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0xF];
    }
    out[32] = '\0';
}

void DigestToHexShort(const uint8_t digest[16], char out[33])
{
    static const char kHex[] = "0123456789abcdef";
    std::memset(out, 0, 33);
    size_t n = 0;
    for (int i = 0; i < 16; ++i)
    {
        if (digest[i] >> 4)
            out[n++] = kHex[digest[i] >> 4];
        out[n++] = kHex[digest[i] & 0xF];
    }
}

namespace
{
void CopyHead(const DataHead& request, DataHead& out, uint32_t dataLen)
{
    std::memcpy(&out, &request, sizeof(DataHead));
    out.m_DataLen = HostToLe32(dataLen);
}
} // namespace

size_t BuildKeepAliveReply(const DataHead& request, void* out, size_t cap)
{
    if (!out || cap < KEEPALIVE_REPLY_LEN)
        return 0;
    KeepAliveReply r;
    CopyHead(request, r.m_Head, KEEPALIVE_REPLY_LEN);
    std::memset(r.m_Zero, 0, sizeof(r.m_Zero));
    std::memcpy(out, &r, sizeof(r));
    return KEEPALIVE_REPLY_LEN;
}

size_t BuildLogudtDBReply(const DataHead& request, const char* md5Text, void* out, size_t cap)
{
    if (!out || cap < LOGUDTDB_REPLY_LEN)
        return 0;
    LogudtDBReply r;
    CopyHead(request, r.m_Head, LOGUDTDB_REPLY_LEN);
    std::memset(r.m_DataMD5, 0, sizeof(r.m_DataMD5));
    if (md5Text)
        std::memcpy(r.m_DataMD5, md5Text, strnlen(md5Text, sizeof(r.m_DataMD5)));
    std::memcpy(out, &r, sizeof(r));
    return LOGUDTDB_REPLY_LEN;
}

size_t BuildProbeAnswer(void* out, size_t cap)
{
    if (!out || cap < PROBE_ANSWER_LEN)
        return 0;
    std::memcpy(out, PROBE_TAG, PROBE_ANSWER_LEN);
    return PROBE_ANSWER_LEN;
}

size_t BuildProbeRecord(void* out, size_t cap)
{
    if (!out || cap < PROBE_RECORD_LEN)
        return 0;
    KeepAliveLog r;
    std::memset(&r, 0, sizeof(r));
    std::memcpy(r.m_Head.m_Sign, WIRE_SIGN_0500, WIRE_SIGN_LEN);
    std::memcpy(r.m_Head.m_DevMD5, PROBE_TAG, PROBE_TAG_LEN);
    r.m_Head.m_LogType = HostToLe32(LOG_TYPE_KEEPALIVE);
    r.m_Head.m_DataLen = HostToLe32(PROBE_RECORD_LEN);
    std::memcpy(out, &r, sizeof(r));
    return PROBE_RECORD_LEN;
}

size_t BuildUserAuditFileReply(const UserAuditFileLog& request, int32_t result, int32_t reason,
                               uint32_t fileId, uint32_t firstLostBlock, uint32_t lostBlockCount, void* out,
                               size_t cap)
{
    if (!out || cap < USERAUDITFILE_REPLY_LEN)
        return 0;
    UserAuditFileReply r;
    std::memset(&r, 0, sizeof(r));
    CopyHead(request.m_Head, r.m_Head, USERAUDITFILE_REPLY_LEN);
    r.m_Head.m_LogType = HostToLe32(LOG_TYPE_USERAUDITFILE_REPLY);
    r.m_TransWord1 = request.m_TransWord1;
    r.m_TransWord2 = request.m_TransWord2;
    r.m_Result = static_cast<int32_t>(HostToLe32(static_cast<uint32_t>(result)));
    r.m_Reason = static_cast<int32_t>(HostToLe32(static_cast<uint32_t>(reason)));
    r.m_RequestType = static_cast<int32_t>(HostToLe32(LOG_TYPE_USERAUDITFILE));
    r.m_FileID = HostToNet32(fileId);
    r.m_FirstLostBlock = HostToLe32(firstLostBlock);
    r.m_LostBlockCount = HostToLe32(lostBlockCount);
    if (r.m_Head.m_Masked)
        InvertBody(&r, sizeof(r));
    std::memcpy(out, &r, sizeof(r));
    return USERAUDITFILE_REPLY_LEN;
}

size_t BuildUserAuditFileStored(const DataHead& head, uint32_t rawGroupId, const char* userName,
                                const char* utf8Path, uint64_t fileSize, const uint8_t sha1[20], void* out,
                                size_t cap)
{
    if (!out || cap < USERAUDITFILE_STORED_LEN)
        return 0;
    UserAuditFileStored r;
    std::memset(&r, 0, sizeof(r));
    CopyHead(head, r.m_Head, USERAUDITFILE_STORED_LEN);
    r.m_Head.m_LogType = HostToLe32(LOG_TYPE_USERAUDITFILE_STORED);
    r.m_GroupID = rawGroupId;
    if (userName)
        std::memcpy(r.m_UserName, userName, sizeof(r.m_UserName));
    if (utf8Path)
        std::memcpy(r.m_FilePath, utf8Path, strnlen(utf8Path, sizeof(r.m_FilePath) - 1));
    r.m_FileSize = std::endian::native == std::endian::little ? fileSize : Swap64(fileSize);
    if (sha1)
    {
        static const char kHex[] = "0123456789ABCDEF";
        for (size_t i = 0; i < 20; ++i)
        {
            r.m_Sha1Hex[2 * i] = kHex[sha1[i] >> 4];
            r.m_Sha1Hex[2 * i + 1] = kHex[sha1[i] & 0xF];
        }
    }
    if (r.m_Head.m_Masked)
        InvertBody(&r, sizeof(r));
    std::memcpy(out, &r, sizeof(r));
    return USERAUDITFILE_STORED_LEN;
}
} // namespace wire
