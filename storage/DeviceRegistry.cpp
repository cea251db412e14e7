#include "storage/DeviceRegistry.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "storage/SQLConnManager.h"

#include <cctype>
#include <cstdlib>

#define GSD_TAG "[CGlobalSharedData]"

namespace
{
const char* const SQL_SET_NAMES = "set   names   'gbk'";

std::string Cut(const char* text, size_t max)
{
    if (text == nullptr)
        return std::string();
    std::string s(text);
    if (s.size() > max)
        s.resize(max);
    return s;
}

int32_t ToInt(const char* text)
{
    return text != nullptr ? static_cast<int32_t>(strtol(text, nullptr, 10)) : 0;
}

std::string KeyText(const unsigned char* md5)
{
    std::string text;
    if (md5 != nullptr)
        MD5ToHexUpper(md5, text);
    return text;
}

bool DecodeDigest(const std::string& text, unsigned char out[16])
{
    if (text.size() != 32)
        return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    return HexToBin(text.c_str(), 32, out, 16) == 16;
}

// Runs a query whose rows are handed to `row`; false when the query or the
// fetch of its result fails.
template <typename F> bool QueryRows(MYSQL* conn, const char* sql, F row)
{
    if (mysql_query(conn, sql) != 0)
        return false;
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        return mysql_field_count(conn) == 0;
    while (MYSQL_ROW r = mysql_fetch_row(res))
        row(r);
    mysql_free_result(res);
    return true;
}
} // namespace

CDeviceRegistry* CDeviceRegistry::GetInstance()
{
    static CDeviceRegistry* instance = new CDeviceRegistry();
    return instance;
}

bool CDeviceRegistry::GetDabaBaseNodeInfo()
{
    if (!CGlobalSharedData::GetInstance()->IsInit())
        return false;
    std::string database = CConfigManager::GetInstance()->GetKelvCopy().m_DataBase;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(database.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetDabaBaseNodeInfo] Cannot Connect DB To Get Info\n");
        return false;
    }
    m_bDevTableLoaded = false;
    CCSLocker locker(m_DevTableLock);
    m_RetiredNodes.splice(m_RetiredNodes.end(), m_DevNodes);

    char query[256];
    snprintf(query, sizeof(query),
             "select node_name , secret , md5_secret , db_name from dev_node where deleted = 0 limit %u",
             DEV_NODE_MAX);
    mysql_query(conn, SQL_SET_NAMES);
    QueryRows(conn, query,
              [this](MYSQL_ROW r)
              {
                  DevNodeInfo& node = m_DevNodes.emplace_back();
                  node.m_NodeName = Cut(r[0], DEV_NODE_NAME_MAX);
                  node.m_Secret = r[1] != nullptr ? r[1] : "";
                  node.m_MD5Text = r[2] != nullptr ? r[2] : "";
                  for (char& c : node.m_MD5Text)
                      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                  node.m_bMD5Valid = DecodeDigest(node.m_MD5Text, node.m_MD5);
                  node.m_DbName = r[3] != nullptr ? r[3] : "";
              });
    sql->ReleaseSqlConn(conn);

    // The device locks cannot fail to be created here, so every device gets its caches.
    for (DevNodeInfo& node : m_DevNodes)
        GetSpecifyDevNodeInfo(&node);
    m_bDevTableLoaded = true;
    return true;
}

bool CDeviceRegistry::GetSpecifyDevNodeInfo(DevNodeInfo* node)
{
    if (node == nullptr)
        return false;
    CCSLocker locker(node->m_Lock);
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(node->m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetSpecifyDevNodeInfo] Cannot Connect DB To Get Info\n");
        return false;
    }
    bool admin = GetSpecifyDevNodeAdminInfo(conn, node);
    bool user = GetSpecifyDevNodeUserInfo(conn, node);
    bool group = GetSpecifyDevNodeGroupInfo(conn, node);
    sql->ReleaseSqlConn(conn);
    return admin && user && group;
}

// Each reload replaces its cache only when the query succeeded, so that a
// failed reload keeps what was known.
bool CDeviceRegistry::GetSpecifyDevNodeAdminInfo(MYSQL* conn, DevNodeInfo* node)
{
    if (conn == nullptr || node == nullptr)
        return false;
    CCSLocker locker(node->m_Lock);
    std::vector<DevAdminInfo> admins;
    if (!QueryRows(conn, "select id , name , pgrpid from admin",
                   [&](MYSQL_ROW r) {
                       admins.push_back({ToInt(r[0]), Cut(r[1], DEV_DIR_NAME_MAX), ToInt(r[2])});
                   }))
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetSpecifyDevNodeAdminInfo] Fail To Query ErrNo = %u\n",
               mysql_errno(conn));
        return false;
    }
    node->m_Admins = std::move(admins);
    node->m_AdminIndex.clear();
    for (size_t i = 0; i < node->m_Admins.size(); ++i)
        node->m_AdminIndex.emplace(node->m_Admins[i].m_Name, i);
    return true;
}

bool CDeviceRegistry::GetSpecifyDevNodeUserInfo(MYSQL* conn, DevNodeInfo* node)
{
    if (conn == nullptr || node == nullptr)
        return false;
    CCSLocker locker(node->m_Lock);
    std::multimap<std::string, DevUserInfo, DevNameLess> users;
    if (!QueryRows(conn, "select id , name , grpid from svpnuser",
                   [&](MYSQL_ROW r)
                   {
                       DevUserInfo u{ToInt(r[0]), Cut(r[1], DEV_DIR_NAME_MAX), ToInt(r[2])};
                       users.emplace(u.m_Name, u);
                   }))
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetSpecifyDevNodeUserInfo] Fail To Query ErrNo = %u\n",
               mysql_errno(conn));
        return false;
    }
    node->m_Users = std::move(users);
    return true;
}

bool CDeviceRegistry::GetSpecifyDevNodeGroupInfo(MYSQL* conn, DevNodeInfo* node)
{
    if (conn == nullptr || node == nullptr)
        return false;
    CCSLocker locker(node->m_Lock);
    std::map<int32_t, DevGroupInfo> groups;
    if (!QueryRows(conn, "select id , pgrpid from svpngroup",
                   [&](MYSQL_ROW r)
                   {
                       DevGroupInfo g{ToInt(r[0]), ToInt(r[1])};
                       groups.emplace(g.m_Id, g);
                   }))
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetSpecifyDevNodeGroupInfo] Fail To Query ErrNo = %u\n",
               mysql_errno(conn));
        return false;
    }
    node->m_Groups = std::move(groups);
    return true;
}

DevNodeInfo* CDeviceRegistry::FindByMD5Locked(const unsigned char* md5)
{
    if (md5 == nullptr)
        return nullptr;
    for (DevNodeInfo& node : m_DevNodes)
        if (node.m_bMD5Valid && memcmp(node.m_MD5, md5, 16) == 0)
            return &node;
    return nullptr;
}

bool CDeviceRegistry::FindNodeInfoIter(const char* dbName, const unsigned char* md5, DevNodeInfo*& node)
{
    if (dbName != nullptr && *dbName == 0)
        return false;
    if (dbName == nullptr && md5 == nullptr)
        return false;
    {
        CCSLocker locker(m_DevTableLock);
        for (DevNodeInfo& n : m_DevNodes)
        {
            bool match;
            if (dbName != nullptr)
                match = n.m_DbName == dbName &&
                        (md5 == nullptr || (n.m_bMD5Valid && memcmp(n.m_MD5, md5, 16) == 0));
            else
                match = n.m_bMD5Valid && memcmp(n.m_MD5, md5, 16) == 0;
            if (match)
            {
                node = &n;
                return true;
            }
        }
    }
    QB_LOG(PL_ERROR, GSD_TAG, "[FindNodeInfoIter] Invalid DbName Or MD5! DbName = %s , MD5 = %s\n",
           dbName != nullptr ? dbName : "", KeyText(md5).c_str());
    return false;
}

bool CDeviceRegistry::GetDbNameByMD5(const unsigned char* md5, std::string& dbName)
{
    CCSLocker locker(m_DevTableLock);
    DevNodeInfo* node = FindByMD5Locked(md5);
    if (node == nullptr)
        return false;
    dbName = node->m_DbName;
    return true;
}

bool CDeviceRegistry::IsDbNameRegistered(const char* dbName)
{
    if (dbName == nullptr)
        return false;
    CCSLocker locker(m_DevTableLock);
    for (const DevNodeInfo& node : m_DevNodes)
        if (node.m_DbName == dbName)
            return true;
    return false;
}

void CDeviceRegistry::IncNodeUseCount(const unsigned char* md5)
{
    CCSLocker locker(m_DevTableLock);
    if (DevNodeInfo* node = FindByMD5Locked(md5))
        node->m_UseCount.fetch_add(1);
}

void CDeviceRegistry::DecNodeUseCount(const unsigned char* md5)
{
    CCSLocker locker(m_DevTableLock);
    if (DevNodeInfo* node = FindByMD5Locked(md5))
        node->m_UseCount.fetch_sub(1);
}

int32_t CDeviceRegistry::GetNodeUseCount(const unsigned char* md5)
{
    CCSLocker locker(m_DevTableLock);
    DevNodeInfo* node = FindByMD5Locked(md5);
    return node != nullptr ? node->m_UseCount.load() : 0;
}

void CDeviceRegistry::InitNodeUseCount(const unsigned char* md5)
{
    CCSLocker locker(m_DevTableLock);
    if (DevNodeInfo* node = FindByMD5Locked(md5))
    {
        int32_t zero = 0;
        node->m_UseCount.compare_exchange_strong(zero, 1);
    }
}

bool CDeviceRegistry::IsAnyNodeInUse()
{
    CCSLocker locker(m_DevTableLock);
    for (const DevNodeInfo& node : m_DevNodes)
        if (node.m_UseCount.load() != 0)
            return true;
    return false;
}

size_t CDeviceRegistry::GetDevNodeCount()
{
    CCSLocker locker(m_DevTableLock);
    return m_DevNodes.size();
}

bool CDeviceRegistry::GetAdminInfoEx(const char* dbName, const unsigned char* md5, const char* adminName,
                                     int32_t& adminId, int32_t& groupId)
{
    adminId = -1;
    if (adminName == nullptr || *adminName == 0 || md5 == nullptr)
        return false;
    DevNodeInfo* node = nullptr;
    if (!FindNodeInfoIter(dbName, md5, node))
        return false;
    CCSLocker locker(node->m_Lock);
    auto it = node->m_AdminIndex.find(adminName);
    if (it == node->m_AdminIndex.end())
    {
        QB_LOG(PL_ERROR, GSD_TAG, "[GetAdminInfoEx] Invalid Admin Name! AdminName = %s\n", adminName);
        return false;
    }
    const DevAdminInfo& admin = node->m_Admins[it->second];
    adminId = admin.m_Id;
    if (groupId == -1)
        groupId = admin.m_PGrpId;
    return true;
}

bool CDeviceRegistry::GetUserInfoEx(const char* dbName, const unsigned char* md5, const char* userName,
                                    int32_t& userId, int32_t groupId)
{
    if (userName == nullptr || *userName == 0 || (dbName == nullptr && md5 == nullptr))
        return false;
    DevNodeInfo* node = nullptr;
    if (!FindNodeInfoIter(dbName, md5, node))
    {
        QB_LOG(PL_WARN, GSD_TAG, "[GetUserInfoEx] Not Find Node. DbName = %s , MD5 = %s.\n",
               dbName != nullptr ? dbName : "", KeyText(md5).c_str());
        return false;
    }
    // Held across a possible insert, so that two threads cannot both create the same user.
    CCSLocker locker(node->m_Lock);
    bool found = false;
    auto range = node->m_Users.equal_range(userName);
    for (auto it = range.first; it != range.second; ++it)
    {
        if (it->second.m_GrpId != groupId)
            continue;
        userId = it->second.m_Id;
        found = true;
        if (!(it->second.m_Id <= 0 && groupId == DEV_NO_GROUP))
            break;
    }
    if (found)
        return true;
    return InsertUserInfo(userName, node, userId, groupId);
}

bool CDeviceRegistry::InsertUserInfo(const char* userName, DevNodeInfo* node, int32_t& userId,
                                     int32_t groupId)
{
    if (userName == nullptr || *userName == 0 || node == nullptr)
        return false;
    if (groupId != DEV_NO_GROUP)
    {
        CCSLocker locker(node->m_Lock);
        if (node->m_Groups.find(groupId) == node->m_Groups.end())
        {
            QB_LOG(PL_WARN, GSD_TAG, "[InsertUserInfo] Invalid Group ID = %d.\n", groupId);
            return false;
        }
    }
    std::string escaped = userName;
    EscapeSqlString(escaped);
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(node->m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
        return false;

    if (mysql_query(conn, "lock tables svpnuser write") != 0)
        QB_LOG(PL_WARN, GSD_TAG, "[InsertUserInfo] Cannot Lock Table SvpnUser. ErrNo = %u\n",
               mysql_errno(conn));

    bool result = false;
    bool haveId = false;
    int32_t newId = -1;
    haveId = QueryRows(conn, "select min(id) from svpnuser",
                       [&](MYSQL_ROW r)
                       {
                           if (r[0] != nullptr)
                           {
                               int32_t minId = ToInt(r[0]);
                               newId = minId < 0 ? minId - 1 : -1;
                           }
                       });
    if (haveId)
    {
        std::string insert = "insert  into svpnuser(`id`,`name`,`grpid`) values (" + std::to_string(newId) +
                             ",'" + escaped + "'," + std::to_string(groupId) + ")";
        mysql_query(conn, SQL_SET_NAMES);
        if (mysql_query(conn, insert.c_str()) == 0)
        {
            CCSLocker locker(node->m_Lock);
            DevUserInfo user{newId, Cut(userName, DEV_DIR_NAME_MAX), groupId};
            node->m_Users.emplace(user.m_Name, user);
            userId = newId;
            result = true;
        }
        else
            QB_LOG(PL_ERROR, GSD_TAG,
                   "[InsertUserInfo] Cannot Insert New User Into Table. UserName = %s , ErrNo = %u , ErrStr "
                   "= %s\n",
                   userName, mysql_errno(conn), mysql_error(conn));
    }
    if (mysql_query(conn, "unlock tables") != 0)
        QB_LOG(PL_WARN, GSD_TAG, "[InsertUserInfo] Cannot UnLock Tables. ErrNo = %u\n", mysql_errno(conn));
    sql->ReleaseSqlConn(conn);
    return result;
}
