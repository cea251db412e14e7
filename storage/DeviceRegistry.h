#pragma once
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <strings.h>
#include <vector>

#include <mysql.h>

// Names in the directory caches compare without regard to ASCII case, over
// at most this many characters.
constexpr size_t DEV_NAME_COMPARE_LEN = 101;
constexpr size_t DEV_NODE_NAME_MAX = 99;
constexpr size_t DEV_DIR_NAME_MAX = 100;
constexpr uint32_t DEV_NODE_MAX = 64;
// The group id of a user that belongs to no group.
constexpr int32_t DEV_NO_GROUP = -2000;

struct DevNameLess
{
    bool operator()(const std::string& a, const std::string& b) const
    {
        return strncasecmp(a.c_str(), b.c_str(), DEV_NAME_COMPARE_LEN) < 0;
    }
};

struct DevAdminInfo
{
    int32_t m_Id = 0;
    std::string m_Name;
    int32_t m_PGrpId = 0;
};

struct DevUserInfo
{
    int32_t m_Id = 0;
    std::string m_Name;
    int32_t m_GrpId = 0;
};

struct DevGroupInfo
{
    int32_t m_Id = 0;
    int32_t m_PGrpId = 0;
};

// One registered device and the caches of its directory. Records live in a
// list and are never moved, so pointers to them stay valid.
struct DevNodeInfo
{
    std::string m_NodeName;
    std::string m_Secret;
    // Lower-case hexadecimal text of the key, and the 16 key bytes.
    std::string m_MD5Text;
    unsigned char m_MD5[16] = {};
    // False when md5_secret is not 32 hexadecimal digits: such a device is
    // never found by key.
    bool m_bMD5Valid = false;
    std::string m_DbName;

    // Guards the three caches.
    platform::CCriticalSection m_Lock;
    std::atomic<int32_t> m_UseCount{0};

    std::vector<DevAdminInfo> m_Admins;                           // query order
    std::multimap<std::string, size_t, DevNameLess> m_AdminIndex; // name -> index in m_Admins
    std::multimap<std::string, DevUserInfo, DevNameLess> m_Users;
    std::map<int32_t, DevGroupInfo> m_Groups;
};

// The table of registered devices and their directory caches, one per
// process, filled from the global database.
class CDeviceRegistry
{
public:
    static CDeviceRegistry* GetInstance();
    virtual ~CDeviceRegistry() = default;
    CDeviceRegistry(const CDeviceRegistry&) = delete;
    CDeviceRegistry& operator=(const CDeviceRegistry&) = delete;

    // Loads the undeleted devices of the global database (at most 64) and
    // each device's caches.
    bool GetDabaBaseNodeInfo();
    bool IsDevTableLoaded() const { return m_bDevTableLoaded.load(); }

    bool GetSpecifyDevNodeInfo(DevNodeInfo* node);
    bool GetSpecifyDevNodeAdminInfo(MYSQL* conn, DevNodeInfo* node);
    bool GetSpecifyDevNodeUserInfo(MYSQL* conn, DevNodeInfo* node);
    bool GetSpecifyDevNodeGroupInfo(MYSQL* conn, DevNodeInfo* node);

    // By database name, by key, or both (null = not given).
    bool FindNodeInfoIter(const char* dbName, const unsigned char* md5, DevNodeInfo*& node);
    bool GetDbNameByMD5(const unsigned char* md5, std::string& dbName);
    bool IsDbNameRegistered(const char* dbName);

    void IncNodeUseCount(const unsigned char* md5);
    void DecNodeUseCount(const unsigned char* md5);
    int32_t GetNodeUseCount(const unsigned char* md5);
    void InitNodeUseCount(const unsigned char* md5);
    bool IsAnyNodeInUse();

    bool GetAdminInfoEx(const char* dbName, const unsigned char* md5, const char* adminName, int32_t& adminId,
                        int32_t& groupId);
    bool GetUserInfoEx(const char* dbName, const unsigned char* md5, const char* userName, int32_t& userId,
                       int32_t groupId);
    bool InsertUserInfo(const char* userName, DevNodeInfo* node, int32_t& userId, int32_t groupId);

    platform::CCriticalSection* GetDevTableLock() { return &m_DevTableLock; }
    // Number of registered devices.
    size_t GetDevNodeCount();

    // The records in table order; read them only while holding GetDevTableLock().
    const std::list<DevNodeInfo>& GetDevNodeList() const { return m_DevNodes; }

private:
    CDeviceRegistry() = default;

    DevNodeInfo* FindByMD5Locked(const unsigned char* md5);

    platform::CCriticalSection m_DevTableLock;
    std::list<DevNodeInfo> m_DevNodes;
    // Tables replaced by a later load; kept so that records handed out stay valid.
    std::list<DevNodeInfo> m_RetiredNodes;
    std::atomic<bool> m_bDevTableLoaded{false};
};
