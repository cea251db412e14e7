// Byte layouts of everything that crosses the device port: the records a gateway streams to the
// collector, the replies the collector sends back and the watchdog's probe. Records are parsed in
// place in the receive ring, so every layout is packed and read field by field; the head fields that
// travel big-endian are read through the helpers below, never directly.
//
// This header is vocabulary only: no sockets, no logging, no allocation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Signs, type codes, sizes, ranges
// ---------------------------------------------------------------------------------------------

constexpr size_t WIRE_SIGN_LEN = 8;
constexpr char WIRE_SIGN_1111[] = "logs1111"; // sign code 1
constexpr char WIRE_SIGN_0500[] = "logs0500"; // sign code 2
constexpr int SIGN_CODE_NONE = 0;
constexpr int SIGN_CODE_1111 = 1;
constexpr int SIGN_CODE_0500 = 2;

// The watchdog probe carries this tag in m_DevMD5 (followed by two zero bytes) and gets it back.
constexpr size_t PROBE_TAG_LEN = 14;
constexpr char PROBE_TAG[] = "KELVDEVPROBE01";
constexpr size_t PROBE_TAG_OFFSET = 8;
constexpr size_t PROBE_RECORD_LEN = 58;
constexpr size_t PROBE_ANSWER_LEN = 14;

enum ELogType : uint32_t
{
    LOG_TYPE_KEEPALIVE = 0,
    LOG_TYPE_USER = 1,
    LOG_TYPE_AUDIT = 2,
    LOG_TYPE_ADMIN = 3,
    LOG_TYPE_ALARM = 4,
    LOG_TYPE_LOGUDTDB = 5,
    LOG_TYPE_UNUSED6 = 6,
    LOG_TYPE_UNUSED7 = 7,
    LOG_TYPE_SYSTEM = 8,
    LOG_TYPE_UNUSED9 = 9,
    LOG_TYPE_USERV2 = 10,
    LOG_TYPE_USERV3 = 11,
    LOG_TYPE_USERAUDITFILE = 12,
    LOG_TYPE_USERAUDITFILE_REPLY = 13,  // collector -> device only
    LOG_TYPE_USERAUDITFILE_STORED = 14, // collector -> device only, follows a successful end
    LOG_TYPE_UNUSED15 = 15,
    LOG_TYPE_COUNT = 16,
};

constexpr uint32_t DATA_HEAD_LEN = 42;
constexpr uint32_t KEEPALIVE_LOG_LEN = 58;
constexpr uint32_t USER_LOG_LEN = 796;
constexpr uint32_t USER_LOG_V2_LEN = 804;
constexpr uint32_t USER_LOG_V3_LEN = 824;
constexpr uint32_t AUDIT_LOG_LEN = 270;
constexpr uint32_t ADMIN_LOG_LEN = 674;
constexpr uint32_t ALARM_LOG_LEN = 5166;
constexpr uint32_t SYSTEM_LOG_LEN = 566;
constexpr uint32_t LOGUDTDB_LOG_MIN_LEN = 78;       // 78 exactly = empty document
constexpr uint32_t USERAUDITFILE_LOG_MIN_LEN = 719; // fixed part is 718 bytes, at least one data byte
constexpr uint32_t USERAUDITFILE_DATA_OFFSET = 718;
constexpr uint32_t USERAUDITFILE_EXTRA_LIMIT = 0x7FFFFFFF; // m_ExtraDataSize must stay below

constexpr uint32_t KEEPALIVE_REPLY_LEN = 46;
constexpr uint32_t LOGUDTDB_REPLY_LEN = 74;
constexpr uint32_t USERAUDITFILE_REPLY_LEN = 75;
constexpr uint32_t USERAUDITFILE_STORED_LEN = 930;
constexpr uint32_t USERAUDITFILE_END_REPLY_LEN = USERAUDITFILE_REPLY_LEN + USERAUDITFILE_STORED_LEN; // 1005

constexpr uint8_t MASK_BYTE = 0xFF;

// User actions with their own handling.
constexpr int32_t USER_ACTION_FLUX = 2;
constexpr int32_t USER_ACTION_RESOURCE = 3;

// Directory push kinds (m_UpdateType).
constexpr int32_t UPDATE_TYPE_ADMIN = 0;
constexpr int32_t UPDATE_TYPE_USER = 1;
constexpr int32_t UPDATE_TYPE_DEVICE = 2;
constexpr int32_t UPDATE_TYPE_LIMIT = 3; // accepted: below this (signed, no lower bound)

// Audit-file steps (m_OpType).
constexpr int32_t AUDITFILE_OP_BEGIN = 1;
constexpr int32_t AUDITFILE_OP_TRANSMISSION = 2;
constexpr int32_t AUDITFILE_OP_END = 3;
constexpr int32_t AUDITFILE_OP_ROLLBACK = 4;

// Audit-file transfer kinds and compression methods (both taken as sent, not byte-swapped).
constexpr uint32_t AUDITFILE_KIND_NODATA = 1;
constexpr uint32_t AUDITFILE_KIND_DATA = 2;
constexpr uint32_t AUDITFILE_COMPRESS_NONE = 0;
constexpr uint32_t AUDITFILE_COMPRESS_LZO1B = 3;

// Audit-file reply reason codes.
constexpr int32_t AUDITFILE_REASON_OK = 0;
constexpr int32_t AUDITFILE_REASON_NO_BLOCKSIZE = 2;
constexpr int32_t AUDITFILE_REASON_DISK = 3;
constexpr int32_t AUDITFILE_REASON_DB_INSERT = 4;
constexpr int32_t AUDITFILE_REASON_BLOCKS_MISSING = 5;
constexpr int32_t AUDITFILE_REASON_NOT_ACCEPTABLE = 6;
constexpr int32_t AUDITFILE_REASON_NO_ENTRY = 7;

// Enforced ranges, inclusive, compared as signed 32-bit values.
struct WireRange
{
    int32_t m_Min;
    int32_t m_Max;
    constexpr bool Contains(int32_t v) const { return v >= m_Min && v <= m_Max; }
};
constexpr WireRange RANGE_KEEPALIVE_DEVTYPE{0, 2};
constexpr WireRange RANGE_USER_ACTION{0, 6};
constexpr WireRange RANGE_USER_RESULT{0, 2};
constexpr WireRange RANGE_USER_SERVICETYPE{0, 3};
constexpr WireRange RANGE_USER_SERVERATTR{0, 1};
constexpr WireRange RANGE_USER_AUTHMETHOD{0, 511};
constexpr WireRange RANGE_ADMIN_ACTION{0, 6};
constexpr WireRange RANGE_ADMIN_ENTITY{0, 15};
constexpr WireRange RANGE_ADMIN_RESULT{0, 2};
constexpr WireRange RANGE_ALARM_TYPE{0, 12};
constexpr WireRange RANGE_SYSTEM_LOGTYPE{0, 4};
constexpr WireRange RANGE_SYSTEM_PROCESSTYPE{0, 603};
constexpr WireRange RANGE_AUDITFILE_OPTYPE{1, 4};

// ---------------------------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)

struct DataHead
{
    char m_Sign[8];       // "logs1111" or "logs0500", no terminator
    uint8_t m_DevMD5[16]; // device key (raw MD5 of the device secret)
    uint32_t m_LogType;   // little-endian
    uint32_t m_DataLen;   // whole record, head included, little-endian
    uint32_t m_Date;      // big-endian year(16) month(8) day(8): read with GetDateWord
    uint32_t m_Time;      // big-endian hour(16) minute(8) second(8): read with GetTimeWord
    uint8_t m_Reserved;   // echoed in replies
    uint8_t m_Masked;     // non-zero: body bytes were sent inverted
};

struct KeepAliveLog
{
    DataHead m_Head;
    uint32_t m_DevIP; // network order
    int32_t m_DevType;
    int32_t m_UpFlux;
    int32_t m_DownFlux;
};

// Offsets 42..275, shared by the three user-log versions.
struct UserLogCommon
{
    DataHead m_Head;
    int32_t m_GroupID;
    int32_t m_Action;
    int32_t m_Result;
    uint32_t m_Address; // network order
    int32_t m_ServiceType;
    uint32_t m_ServerIP;   // network order
    uint16_t m_ServerPort; // network order
    char m_UserName[200];
    int32_t m_ServerAttr;
    int32_t m_AuthMethod;
};

struct UserLog
{
    DataHead m_Head;
    int32_t m_GroupID;
    int32_t m_Action;
    int32_t m_Result;
    uint32_t m_Address;
    int32_t m_ServiceType;
    uint32_t m_ServerIP;
    uint16_t m_ServerPort;
    char m_UserName[200];
    int32_t m_ServerAttr;
    int32_t m_AuthMethod;
    int32_t m_UpFlux;
    int32_t m_DownFlux;
    char m_Message[512];
};

struct UserLogV2
{
    DataHead m_Head;
    int32_t m_GroupID;
    int32_t m_Action;
    int32_t m_Result;
    uint32_t m_Address;
    int32_t m_ServiceType;
    uint32_t m_ServerIP;
    uint16_t m_ServerPort;
    char m_UserName[200];
    int32_t m_ServerAttr;
    int32_t m_AuthMethod;
    int32_t m_UpFlux;
    int32_t m_DownFlux;
    int32_t m_RawUpFlux;
    int32_t m_RawDownFlux;
    char m_Message[512];
};

struct UserLogV3
{
    DataHead m_Head;
    int32_t m_GroupID;
    int32_t m_Action;
    int32_t m_Result;
    uint32_t m_Address;
    int32_t m_ServiceType;
    uint32_t m_ServerIP;
    uint16_t m_ServerPort;
    char m_UserName[200];
    int32_t m_ServerAttr;
    int32_t m_AuthMethod;
    int64_t m_UpFlux;
    int64_t m_DownFlux;
    int64_t m_RawUpFlux;
    int64_t m_RawDownFlux;
    char m_Message[512];
    uint8_t m_Reserved2[4]; // not interpreted
};

struct AuditLog
{
    DataHead m_Head;
    uint8_t m_Reserved1[68]; // 42..109, not interpreted
    uint32_t m_Address;      // network order
    uint8_t m_Reserved2[4];  // 114..117, not interpreted
    char m_Message[152];     // NUL-terminated, at most to the end of the record
};

struct AdminLog
{
    DataHead m_Head;
    int32_t m_Reserved1; // -1 when converted from an AuditLog
    int32_t m_Action;
    int32_t m_Entity;
    int32_t m_Result;
    uint32_t m_Address; // network order
    char m_AdminName[100];
    char m_Message[512];
};

struct AlarmLog
{
    DataHead m_Head;
    int32_t m_AlarmType;
    char m_Message[5120];
};

struct SystemLog
{
    DataHead m_Head;
    int32_t m_Reserved1; // not interpreted
    int32_t m_SysLogType;
    int32_t m_ProcessType;
    char m_Message[512];
};

// The XML document follows at offset 78, m_DataLen - 78 bytes.
struct LogudtDBLog
{
    DataHead m_Head;
    int32_t m_UpdateType;
    char m_DataMD5[32]; // hex text, "%02x" or "%x" per byte, NUL-padded, case ignored
};

// One audit-file upload step. Fields that only some steps use share their offsets.
struct UserAuditFileLog
{
    DataHead m_Head;
    uint32_t m_TransWord1; // echoed in the reply
    uint32_t m_TransWord2; // echoed in the reply
    uint32_t m_GroupID;    // begin: network order
    char m_UserName[100];  // begin
    int32_t m_OpType;      // little-endian, 1..4
    union
    {
        uint32_t m_TransferKind; // begin: taken as sent
        uint32_t m_FileID;       // other steps: network order
    };
    union
    {
        char m_FilePath[520]; // begin: NUL-terminated client path
        uint32_t m_BlockNo;   // transmission: network order
    };
    uint32_t m_FileSizeHigh; // begin: 64-bit big-endian, high word first
    uint32_t m_FileSizeLow;
    uint32_t m_AllocSizeHigh; // begin
    uint32_t m_AllocSizeLow;
    uint32_t m_BlockSize;      // begin: network order
    uint32_t m_TimeOut;        // begin: seconds, network order
    uint32_t m_CompressMethod; // transmission: taken as sent
    uint32_t m_ExtraDataSize;  // network order; transmission: decompressed size
    uint32_t m_ComprDataSize;  // transmission: network order
    uint8_t m_ExtraData[1];    // variable data (block, SHA-1 of the whole file at end)
};

struct KeepAliveReply
{
    DataHead m_Head; // request head, m_DataLen = 46
    uint8_t m_Zero[4];
};

struct LogudtDBReply
{
    DataHead m_Head;    // request head, m_DataLen = 74
    char m_DataMD5[32]; // the collector's own lowercase hex form that matched, NUL-padded
};

struct UserAuditFileReply
{
    DataHead m_Head; // request head, type 13, m_DataLen = 75
    uint32_t m_TransWord1;
    uint32_t m_TransWord2;
    int32_t m_Result;          // 0 success, 1 failure
    int32_t m_Reason;          // AUDITFILE_REASON_*
    int32_t m_RequestType;     // 12
    uint32_t m_FileID;         // network order
    uint32_t m_FirstLostBlock; // host order, reason 5 only
    uint32_t m_LostBlockCount; // host order, reason 5 only
    uint8_t m_Reserved;        // pads the reply to its 75-byte length; always 0
};

struct UserAuditFileStored
{
    DataHead m_Head;      // request head, type 14, m_DataLen = 930
    uint32_t m_GroupID;   // as the request carries it
    char m_UserName[100]; // the request's field unchanged
    char m_FilePath[520]; // UTF-8 client path
    uint64_t m_FileSize;  // host order
    char m_Sha1Hex[256];  // 40 upper-case hex characters, NUL-padded
};

#pragma pack(pop)

static_assert(sizeof(DataHead) == 42);
static_assert(offsetof(DataHead, m_DevMD5) == 8 && offsetof(DataHead, m_LogType) == 24 &&
              offsetof(DataHead, m_DataLen) == 28 && offsetof(DataHead, m_Date) == 32 &&
              offsetof(DataHead, m_Time) == 36 && offsetof(DataHead, m_Reserved) == 40 &&
              offsetof(DataHead, m_Masked) == 41);
static_assert(sizeof(KeepAliveLog) == KEEPALIVE_LOG_LEN && sizeof(KeepAliveLog) == PROBE_RECORD_LEN);
static_assert(sizeof(UserLogCommon) == 276);
static_assert(sizeof(UserLog) == USER_LOG_LEN);
static_assert(sizeof(UserLogV2) == USER_LOG_V2_LEN);
static_assert(sizeof(UserLogV3) == USER_LOG_V3_LEN);
static_assert(offsetof(UserLog, m_Message) == 284 && offsetof(UserLogV2, m_Message) == 292 &&
              offsetof(UserLogV3, m_Message) == 308);
static_assert(sizeof(AuditLog) == AUDIT_LOG_LEN && offsetof(AuditLog, m_Address) == 110 &&
              offsetof(AuditLog, m_Message) == 118);
static_assert(sizeof(AdminLog) == ADMIN_LOG_LEN);
static_assert(sizeof(AlarmLog) == ALARM_LOG_LEN);
static_assert(sizeof(SystemLog) == SYSTEM_LOG_LEN);
static_assert(sizeof(LogudtDBLog) == LOGUDTDB_LOG_MIN_LEN);
static_assert(sizeof(UserAuditFileLog) == USERAUDITFILE_LOG_MIN_LEN &&
              offsetof(UserAuditFileLog, m_ExtraData) == USERAUDITFILE_DATA_OFFSET);
static_assert(sizeof(KeepAliveReply) == KEEPALIVE_REPLY_LEN);
static_assert(sizeof(LogudtDBReply) == LOGUDTDB_REPLY_LEN);
static_assert(sizeof(UserAuditFileReply) == USERAUDITFILE_REPLY_LEN);
static_assert(sizeof(UserAuditFileStored) == USERAUDITFILE_STORED_LEN);

// ---------------------------------------------------------------------------------------------
// Byte order. The host is little-endian in practice; the helpers stay correct on either.
// ---------------------------------------------------------------------------------------------
namespace wire
{
constexpr uint16_t Swap16(uint16_t v)
{
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}
constexpr uint32_t Swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr uint64_t Swap64(uint64_t v)
{
    return (static_cast<uint64_t>(Swap32(static_cast<uint32_t>(v))) << 32) |
           Swap32(static_cast<uint32_t>(v >> 32));
}

// Network (big-endian) <-> host.
constexpr uint16_t NetToHost16(uint16_t v)
{
    return std::endian::native == std::endian::big ? v : Swap16(v);
}
constexpr uint32_t NetToHost32(uint32_t v)
{
    return std::endian::native == std::endian::big ? v : Swap32(v);
}
constexpr uint64_t NetToHost64(uint64_t v)
{
    return std::endian::native == std::endian::big ? v : Swap64(v);
}
constexpr uint16_t HostToNet16(uint16_t v)
{
    return NetToHost16(v);
}
constexpr uint32_t HostToNet32(uint32_t v)
{
    return NetToHost32(v);
}
constexpr uint64_t HostToNet64(uint64_t v)
{
    return NetToHost64(v);
}

// Wire little-endian <-> host (the head's type and length, body integers).
constexpr uint32_t LeToHost32(uint32_t v)
{
    return std::endian::native == std::endian::little ? v : Swap32(v);
}
constexpr uint32_t HostToLe32(uint32_t v)
{
    return LeToHost32(v);
}

// A 64-bit number sent as two network-order 32-bit words, high word first.
constexpr uint64_t MakeUInt64FromNetWords(uint32_t high, uint32_t low)
{
    return (static_cast<uint64_t>(NetToHost32(high)) << 32) | NetToHost32(low);
}

// ---------------------------------------------------------------------------------------------
// Head accessors
// ---------------------------------------------------------------------------------------------

// Sign code of 8 bytes at p: SIGN_CODE_1111, SIGN_CODE_0500 or SIGN_CODE_NONE.
inline int GetSignCode(const void* p)
{
    if (std::memcmp(p, WIRE_SIGN_1111, WIRE_SIGN_LEN) == 0)
        return SIGN_CODE_1111;
    if (std::memcmp(p, WIRE_SIGN_0500, WIRE_SIGN_LEN) == 0)
        return SIGN_CODE_0500;
    return SIGN_CODE_NONE;
}

inline const char* GetSignText(int signCode)
{
    return signCode == SIGN_CODE_1111   ? WIRE_SIGN_1111
           : signCode == SIGN_CODE_0500 ? WIRE_SIGN_0500
                                        : nullptr;
}

inline uint32_t GetLogType(const DataHead& h)
{
    return LeToHost32(h.m_LogType);
}
inline uint32_t GetDataLen(const DataHead& h)
{
    return LeToHost32(h.m_DataLen);
}

// The packed date and time words: year*65536 + month*256 + day, hour*65536 + minute*256 + second.
inline uint32_t GetDateWord(const DataHead& h)
{
    return NetToHost32(h.m_Date);
}
inline uint32_t GetTimeWord(const DataHead& h)
{
    return NetToHost32(h.m_Time);
}

inline void SetDateTimeWords(DataHead& h, uint32_t date, uint32_t time)
{
    h.m_Date = HostToNet32(date);
    h.m_Time = HostToNet32(time);
}
constexpr uint32_t MakeDateWord(unsigned year, unsigned month, unsigned day)
{
    return (year << 16) | ((month & 0xFF) << 8) | (day & 0xFF);
}
constexpr uint32_t MakeTimeWord(unsigned hour, unsigned minute, unsigned second)
{
    return (hour << 16) | ((minute & 0xFF) << 8) | (second & 0xFF);
}

// A type-0 record whose m_DevMD5 starts with the probe tag.
inline bool IsProbe(const DataHead& h)
{
    return GetLogType(h) == LOG_TYPE_KEEPALIVE && std::memcmp(h.m_DevMD5, PROBE_TAG, PROBE_TAG_LEN) == 0;
}

// The exact m_DataLen of a fixed-size type, or 0 for types with a minimum or without a record.
constexpr uint32_t FixedRecordLen(uint32_t logType)
{
    switch (logType)
    {
    case LOG_TYPE_KEEPALIVE:
        return KEEPALIVE_LOG_LEN;
    case LOG_TYPE_USER:
        return USER_LOG_LEN;
    case LOG_TYPE_AUDIT:
        return AUDIT_LOG_LEN;
    case LOG_TYPE_ADMIN:
        return ADMIN_LOG_LEN;
    case LOG_TYPE_ALARM:
        return ALARM_LOG_LEN;
    case LOG_TYPE_SYSTEM:
        return SYSTEM_LOG_LEN;
    case LOG_TYPE_USERV2:
        return USER_LOG_V2_LEN;
    case LOG_TYPE_USERV3:
        return USER_LOG_V3_LEN;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Operations (WireProtocol.cpp)
// ---------------------------------------------------------------------------------------------

// Inverts bytes 42 .. length-1 of a record in place (masking and unmasking are the same).
void InvertBody(void* record, size_t length);

// Writes the head's log time as "%4d-%02d-%02d %02d:%02d:%02d" into buf (NUL-terminated, cut to
// size-1). Returns false for a null buffer or size 0.
bool FormatRecordTime(const DataHead& head, char* buf, size_t size);

// Hex forms of a 16-byte digest: "%02x" per byte (32 chars) and "%x" per byte (16..32 chars).
// out receives 33 bytes: the text NUL-padded to 32 plus a terminator.
void DigestToHexLower(const uint8_t digest[16], char out[33]);
void DigestToHexShort(const uint8_t digest[16], char out[33]);

// Reply builders. Each writes one complete reply into out and returns its length, or 0 when cap is
// too small (nothing written then). Heads are copied from the request as received (masked flag and
// reserved byte included) with the fields the reply defines replaced.

// 46 bytes: request head with m_DataLen 46, then four zero bytes (never masked).
size_t BuildKeepAliveReply(const DataHead& request, void* out, size_t cap);

// 74 bytes: request head with m_DataLen 74, then the matching MD5 text NUL-padded to 32 (never
// masked). md5Text is read up to its terminator or 32 bytes.
size_t BuildLogudtDBReply(const DataHead& request, const char* md5Text, void* out, size_t cap);

// 14 bytes: the probe tag, no head.
size_t BuildProbeAnswer(void* out, size_t cap);

// 58 bytes: the watchdog's probe record (sign "logs0500", tag, type 0, length 58, zeros).
size_t BuildProbeRecord(void* out, size_t cap);

// 75 bytes: the answer to an audit-file begin or end. fileId is given in host order. Masked when the
// request head is.
size_t BuildUserAuditFileReply(const UserAuditFileLog& request, int32_t result, int32_t reason,
                               uint32_t fileId, uint32_t firstLostBlock, uint32_t lostBlockCount, void* out,
                               size_t cap);

// 930 bytes: the stored-file description sent after a successful end. rawGroupId is copied as the
// request carries it; userName is a 100-byte field copied unchanged; utf8Path is cut to 519 bytes;
// sha1 is the raw 20-byte digest. Masked when head is.
size_t BuildUserAuditFileStored(const DataHead& head, uint32_t rawGroupId, const char* userName,
                                const char* utf8Path, uint64_t fileSize, const uint8_t sha1[20], void* out,
                                size_t cap);
} // namespace wire
