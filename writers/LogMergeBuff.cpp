#include "writers/LogMergeBuff.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

LogMergeKey LogMergeKey::FromRecord(const UserLogV3& record)
{
    LogMergeKey key;
    key.m_ServerIP = record.m_ServerIP;
    std::memcpy(&key.m_ServerPortWord,
                reinterpret_cast<const char*>(&record) + offsetof(UserLogV3, m_ServerPort),
                sizeof(key.m_ServerPortWord));
    key.m_Address = record.m_Address;
    key.m_GroupID = static_cast<uint32_t>(record.m_GroupID);
    // The whole name field: two users whose names share a long prefix must not be summed together.
    key.m_UserName = record.m_UserName;
    key.m_UserNameLen = strnlen(record.m_UserName, sizeof(record.m_UserName));
    return key;
}

uint32_t LogMergeKey::Hash() const
{
    // FNV-1a over the four words and the name.
    uint32_t h = 2166136261u;
    auto mix = [&h](const void* p, size_t n)
    {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        for (size_t i = 0; i < n; ++i)
        {
            h ^= b[i];
            h *= 16777619u;
        }
    };
    mix(&m_ServerIP, 4);
    mix(&m_ServerPortWord, 4);
    mix(&m_Address, 4);
    mix(&m_GroupID, 4);
    mix(m_UserName, m_UserNameLen);
    return h;
}

bool LogMergeKey::operator==(const LogMergeKey& o) const
{
    return m_ServerIP == o.m_ServerIP && m_ServerPortWord == o.m_ServerPortWord && m_Address == o.m_Address &&
           m_GroupID == o.m_GroupID && m_UserNameLen == o.m_UserNameLen &&
           std::memcmp(m_UserName, o.m_UserName, m_UserNameLen) == 0;
}

bool LogMergeKey::operator<(const LogMergeKey& o) const
{
    if (m_ServerIP != o.m_ServerIP)
        return m_ServerIP < o.m_ServerIP;
    if (m_ServerPortWord != o.m_ServerPortWord)
        return m_ServerPortWord < o.m_ServerPortWord;
    if (m_Address != o.m_Address)
        return m_Address < o.m_Address;
    if (m_GroupID != o.m_GroupID)
        return m_GroupID < o.m_GroupID;
    size_t n = std::min(m_UserNameLen, o.m_UserNameLen);
    int c = std::memcmp(m_UserName, o.m_UserName, n);
    if (c != 0)
        return c < 0;
    return m_UserNameLen < o.m_UserNameLen;
}

void LogMergeBuff::Clear()
{
    // A record is only added while the fill is below capacity, so a full buffer holds at most this many.
    size_t maxRecords = m_Config.m_Capacity / RECORD_COST + 2;
    if (m_Records.capacity() < maxRecords)
        m_Records.reserve(maxRecords);
    m_Records.clear();

    size_t buckets = 64;
    while (buckets < maxRecords * 2)
        buckets <<= 1;
    if (m_FlowBuckets.size() != buckets)
    {
        m_FlowBuckets.assign(buckets, -1);
        m_SvrBuckets.assign(buckets, -1);
        m_BucketMask = static_cast<uint32_t>(buckets - 1);
    }
    else
    {
        std::fill(m_FlowBuckets.begin(), m_FlowBuckets.end(), -1);
        std::fill(m_SvrBuckets.begin(), m_SvrBuckets.end(), -1);
    }
    m_BytesUsed.store(0);
}

void LogMergeBuff::Link(std::vector<int32_t>& buckets, int32_t entry, uint32_t hash)
{
    int32_t& head = buckets[hash & m_BucketMask];
    m_Records[entry].m_NextInIndex = head;
    head = entry;
}

int32_t LogMergeBuff::Append(int signCode, const UserLogV3& record)
{
    if (m_FlowBuckets.empty())
        Clear();
    StoredLog& stored = m_Records.emplace_back();
    std::memcpy(&stored.m_Log, &record, sizeof(record));
    stored.m_SignCode = signCode;
    stored.m_NextInIndex = -1;
    int32_t entry = static_cast<int32_t>(m_Records.size() - 1);
    uint32_t used = m_BytesUsed.load() + RECORD_COST;
    if (record.m_Action == USER_ACTION_FLUX || record.m_Action == USER_ACTION_RESOURCE)
    {
        uint32_t hash = LogMergeKey::FromRecord(stored.m_Log).Hash();
        Link(record.m_Action == USER_ACTION_FLUX ? m_FlowBuckets : m_SvrBuckets, entry, hash);
        used += INDEX_ENTRY_COST;
    }
    m_BytesUsed.store(used);
    return entry;
}

int32_t LogMergeBuff::FindFlow(const LogMergeKey& key) const
{
    if (m_FlowBuckets.empty())
        return -1;
    for (int32_t e = m_FlowBuckets[key.Hash() & m_BucketMask]; e >= 0; e = m_Records[e].m_NextInIndex)
        if (LogMergeKey::FromRecord(m_Records[e].m_Log) == key)
            return e;
    return -1;
}

bool LogMergeBuff::HasSvrDuplicate(const LogMergeKey& key, const UserLogV3& record) const
{
    if (m_SvrBuckets.empty())
        return false;
    for (int32_t e = m_SvrBuckets[key.Hash() & m_BucketMask]; e >= 0; e = m_Records[e].m_NextInIndex)
    {
        const UserLogV3& s = m_Records[e].m_Log;
        if (!(LogMergeKey::FromRecord(s) == key))
            continue;
        if (s.m_Action == record.m_Action && s.m_Result == record.m_Result &&
            s.m_ServiceType == record.m_ServiceType && s.m_ServerAttr == record.m_ServerAttr &&
            strncmp(s.m_Message, record.m_Message, sizeof(s.m_Message)) == 0)
            return true;
    }
    return false;
}
