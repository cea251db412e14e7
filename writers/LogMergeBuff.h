// One merge buffer of a log merger: the user-log records it holds back, two indexes over them (flow
// records by key, service-access records by key) and the merge settings it copied at its last reset.
//
// Storage is reserved for a full buffer when it is reset, and the indexes are hash chains threaded
// through the stored entries, so adding a record never allocates.
#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "protocol/WireProtocol.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Identity under which records are merged: server, server port word, client, group and user name.
struct LogMergeKey
{
    uint32_t m_ServerIP;       // wire order
    uint32_t m_ServerPortWord; // the 32-bit word that starts at the server port field
    uint32_t m_Address;        // wire order
    uint32_t m_GroupID;
    const char* m_UserName; // points into the record
    size_t m_UserNameLen;

    static LogMergeKey FromRecord(const UserLogV3& record);
    uint32_t Hash() const;
    bool operator==(const LogMergeKey& other) const;
    // Words as unsigned numbers in field order, then the name byte by byte as unsigned characters.
    bool operator<(const LogMergeKey& other) const;
};

// Settings a buffer works with until its next reset.
struct LogMergeConfig
{
    int m_GlobalEnableLogMerge = 0;
    uint32_t m_ParticleTimeMs = 0;
    int m_MergeBuffers = 0;
    uint32_t m_Capacity = 0; // bytes
    int m_UserLogEnableLogMerge = 0;
    int m_EnableHttpFilter = 0;
    std::string m_HttpFilterList;
    int m_KeepFilterLog = 0;
    int m_FlowLogEnableLogMerge = 0;
    int m_SysLogEnableLogMerge = 0;
};

struct LogMergeBuff
{
    // A stored record with the sign code of its stream and its link in one of the two indexes.
    struct StoredLog
    {
        UserLogV3 m_Log;
        int32_t m_SignCode;
        int32_t m_NextInIndex; // next entry of the same hash bucket, -1 at the end
    };

    // Accounting of the buffer's fill, as the buffer's capacity is meant.
    static constexpr uint32_t RECORD_COST = 824;
    static constexpr uint32_t INDEX_ENTRY_COST = 124;

    LogMergeBuff() = default;
    LogMergeBuff(const LogMergeBuff&) = delete;
    LogMergeBuff& operator=(const LogMergeBuff&) = delete;

    // Makes room for a full buffer of the current capacity and empties everything (lock held).
    void Clear();
    // Appends a copy; indexes flow and service-access records. Returns the entry index.
    int32_t Append(int signCode, const UserLogV3& record);
    // The flow entry with this key, -1 when none.
    int32_t FindFlow(const LogMergeKey& key) const;
    // Whether a stored service-access record with this key equals the record in action, result,
    // service type, server attribute and message text.
    bool HasSvrDuplicate(const LogMergeKey& key, const UserLogV3& record) const;
    size_t GetRecordCount() const { return m_Records.size(); }

    LogMergeConfig m_Config;
    std::vector<std::string> m_Patterns; // each word of HttpFilterList followed by " ,"
    bool m_bInit = false;
    std::atomic<uint32_t> m_InUse{0};
    std::atomic<uint32_t> m_SwitchOut{0};
    uint32_t m_ResetTick = 0;
    std::atomic<uint32_t> m_BytesUsed{0};
    platform::CEvent m_FreeEvent{true, true};
    platform::CCriticalSection m_Lock;
    std::vector<StoredLog> m_Records;

private:
    void Link(std::vector<int32_t>& buckets, int32_t entry, uint32_t hash);

    std::vector<int32_t> m_FlowBuckets;
    std::vector<int32_t> m_SvrBuckets;
    uint32_t m_BucketMask = 0;
};
