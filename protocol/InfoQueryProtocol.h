// Byte layouts of the local info query (loopback TCP): the request a tool sends and the reply with the
// merge statistics. Little-endian, packed; 64-bit values travel as low word, then high word.
//
// Vocabulary only: shared by the collector's listener and the infoqry tool.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t INFO_QUERY_DEFAULT_PORT = 9509;
constexpr char INFO_QUERY_SIGN[8] = {'I', 'N', 'F', 'O', 'Q', 'R', 'Y', '\0'};
constexpr char INFO_REPLY_SIGN[8] = {'I', 'N', 'F', 'O', 'R', 'L', 'Y', '\0'};
constexpr int32_t INFO_QUERY_TYPE_LOGMERGE = 1;

#pragma pack(push, 1)

struct InfoQueryHeader
{
    uint32_t m_HeaderSize; // 24
    char m_Sign[8];        // INFO_QUERY_SIGN
    uint32_t m_Reserved1;
    int32_t m_QueryType; // INFO_QUERY_TYPE_LOGMERGE is the only type served
    uint32_t m_Reserved2;
};

struct InfoReplyHeader
{
    uint32_t m_HeaderSize; // 28
    char m_Sign[8];        // INFO_REPLY_SIGN
    uint32_t m_Reserved1;  // 1
    uint32_t m_ReplyType;  // 1
    uint32_t m_Reserved2;  // 0
    uint32_t m_DataSize;   // size of the data that follows
};

// A 64-bit counter as two 32-bit words, low first.
struct InfoQword
{
    uint32_t m_Low;
    uint32_t m_High;

    void Set(uint64_t v)
    {
        m_Low = static_cast<uint32_t>(v);
        m_High = static_cast<uint32_t>(v >> 32);
    }
    uint64_t Get() const { return (static_cast<uint64_t>(m_High) << 32) | m_Low; }
};

struct InfoLogMergeReplyData
{
    uint32_t m_Version;               // 1
    uint32_t m_GlobalEnableLogMerge;  // [Global] EnableLogMerge
    InfoQword m_RecvLogCount;         // records received
    InfoQword m_MergedTotal;          // records merged away, all kinds
    uint32_t m_BuffCapacity;          // bytes, all merge buffers
    uint32_t m_BuffCount;             // merge buffers
    uint32_t m_FillPercent;           // bytes used * 100 / capacity
    uint32_t m_UserLogEnableLogMerge; // 0 while merging is off globally
    InfoQword m_MergedSvrLogCount;
    uint32_t m_FlowLogEnableLogMerge;
    InfoQword m_MergedFlowLogCount;
    uint32_t m_SysLogEnableLogMerge;
    InfoQword m_MergedSysLogCount;
};

#pragma pack(pop)

static_assert(sizeof(InfoQueryHeader) == 24);
static_assert(sizeof(InfoReplyHeader) == 28);
static_assert(sizeof(InfoLogMergeReplyData) == 72);
static_assert(offsetof(InfoLogMergeReplyData, m_BuffCapacity) == 24 &&
              offsetof(InfoLogMergeReplyData, m_UserLogEnableLogMerge) == 36 &&
              offsetof(InfoLogMergeReplyData, m_MergedSvrLogCount) == 40 &&
              offsetof(InfoLogMergeReplyData, m_FlowLogEnableLogMerge) == 48 &&
              offsetof(InfoLogMergeReplyData, m_MergedFlowLogCount) == 52 &&
              offsetof(InfoLogMergeReplyData, m_SysLogEnableLogMerge) == 60 &&
              offsetof(InfoLogMergeReplyData, m_MergedSysLogCount) == 64);
