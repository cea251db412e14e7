#include "storage/DeviceRegistry.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <cstring>
#include <gtest/gtest.h>

namespace
{
struct Key
{
    unsigned char m_Bytes[16];
    std::string m_Hex; // lower case, as dev_node keeps it
};

Key KeyOf(const std::string& secret)
{
    Key k;
    std::memcpy(k.m_Bytes, qbtest::Md5(secret).data(), sizeof(k.m_Bytes));
    k.m_Hex = qbtest::Md5Hex(secret);
    return k;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(toupper(c));
    return s;
}

// A global database and device databases under a name prefix of this test
// alone, a loaded registry, and the connection manager around it.
class DeviceRegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        m_Prefix = qbtest::UniqueDbPrefix("reg");
        m_Global = m_Prefix + "global";
        m_DevDb = m_Prefix + "dev1";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        m_Admin = qbtest::AdminConnect(m_Global);
        ASSERT_NE(m_Admin, nullptr);
        m_Dev = qbtest::AdminConnect(m_DevDb);
        ASSERT_NE(m_Dev, nullptr);
        ASSERT_TRUE(qbtest::Exec(m_Dev, "set names gbk"));
    }
    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        if (m_Admin != nullptr)
            mysql_close(m_Admin);
        if (m_Dev != nullptr)
            mysql_close(m_Dev);
        CSQLConnManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Global);
        qbtest::DropDatabase(m_DevDb);
    }

    void AddDevice(const std::string& name, const std::string& md5Text, const std::string& db,
                   int deleted = 0)
    {
        ASSERT_TRUE(
            qbtest::Exec(m_Admin, "insert into dev_node(node_name, secret, md5_secret, db_name, deleted) "
                                  "values ('" +
                                      name + "', 'sec', '" + md5Text + "', '" + db + "', " +
                                      std::to_string(deleted) + ")"));
    }

    DevNodeInfo* LoadAndFind(const Key& key)
    {
        CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
        EXPECT_TRUE(gsd->GetDabaBaseNodeInfo());
        DevNodeInfo* node = nullptr;
        EXPECT_TRUE(gsd->FindNodeInfoIter(m_DevDb.c_str(), key.m_Bytes, node));
        return node;
    }

    std::string m_Prefix, m_Global, m_DevDb;
    MYSQL* m_Admin = nullptr;
    MYSQL* m_Dev = nullptr;
};

TEST_F(DeviceRegistryTest, LoadsAtMost64UndeletedDevices)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    for (int i = 0; i < 3; ++i)
        AddDevice("gone" + std::to_string(i), KeyOf("gone" + std::to_string(i)).m_Hex, m_DevDb, 1);
    std::string longName(100, 'n');
    AddDevice(longName, KeyOf("dev0").m_Hex, m_DevDb);
    for (int i = 1; i < 70; ++i)
        AddDevice("dev" + std::to_string(i), KeyOf("dev" + std::to_string(i)).m_Hex, m_DevDb);

    ASSERT_TRUE(gsd->GetDabaBaseNodeInfo());
    EXPECT_TRUE(gsd->IsDevTableLoaded());
    EXPECT_EQ(gsd->GetDevNodeCount(), 64u);
    {
        CCSLocker locker(gsd->GetDevTableLock());
        const std::list<DevNodeInfo>& nodes = gsd->GetDevNodeList();
        EXPECT_EQ(nodes.front().m_NodeName, std::string(99, 'n'));
        for (const DevNodeInfo& n : nodes)
            EXPECT_EQ(n.m_NodeName.rfind("gone", 0), std::string::npos);
    }
    // Only the first 64 rows count; the later ones are not registered.
    std::string db;
    EXPECT_TRUE(gsd->GetDbNameByMD5(KeyOf("dev63").m_Bytes, db));
    EXPECT_EQ(db, m_DevDb);
    EXPECT_FALSE(gsd->GetDbNameByMD5(KeyOf("dev64").m_Bytes, db));
    EXPECT_FALSE(gsd->GetDbNameByMD5(KeyOf("gone0").m_Bytes, db));
}

TEST_F(DeviceRegistryTest, FindsDevicesByNameAndKeyAndCountsUse)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    Key key = KeyOf("first");
    Key other = KeyOf("second");
    // The console may store the digest in capitals: the registry lower-cases it.
    AddDevice("first", Upper(key.m_Hex), m_DevDb);
    ASSERT_TRUE(gsd->GetDabaBaseNodeInfo());

    DevNodeInfo* node = nullptr;
    ASSERT_TRUE(gsd->FindNodeInfoIter(m_DevDb.c_str(), key.m_Bytes, node));
    EXPECT_EQ(node->m_MD5Text, key.m_Hex);
    DevNodeInfo* byKey = nullptr;
    EXPECT_TRUE(gsd->FindNodeInfoIter(nullptr, key.m_Bytes, byKey));
    EXPECT_EQ(byKey, node);
    DevNodeInfo* byName = nullptr;
    EXPECT_TRUE(gsd->FindNodeInfoIter(m_DevDb.c_str(), nullptr, byName));
    EXPECT_EQ(byName, node);

    DevNodeInfo* none = nullptr;
    EXPECT_FALSE(gsd->FindNodeInfoIter(m_DevDb.c_str(), other.m_Bytes, none));
    std::string hex;
    MD5ToHexUpper(other.m_Bytes, hex);
    EXPECT_NE(qbtest::ReadTodayLog().find("[FindNodeInfoIter] Invalid DbName Or MD5! DbName = " + m_DevDb +
                                          " , MD5 = " + hex + "\n"),
              std::string::npos);
    EXPECT_FALSE(gsd->FindNodeInfoIter("", key.m_Bytes, none));
    EXPECT_FALSE(gsd->FindNodeInfoIter(nullptr, nullptr, none));
    EXPECT_EQ(none, nullptr);

    EXPECT_TRUE(gsd->IsDbNameRegistered(m_DevDb.c_str()));
    EXPECT_FALSE(gsd->IsDbNameRegistered(m_DevDb.substr(0, m_DevDb.size() - 1).c_str()));
    EXPECT_FALSE(gsd->IsDbNameRegistered(Upper(m_DevDb).c_str()));

    // Use counters: 0 until synchronised; Init sets 1 only from 0.
    EXPECT_EQ(gsd->GetNodeUseCount(other.m_Bytes), 0);
    gsd->IncNodeUseCount(other.m_Bytes);
    EXPECT_EQ(gsd->GetNodeUseCount(other.m_Bytes), 0);
    EXPECT_FALSE(gsd->IsAnyNodeInUse());
    gsd->InitNodeUseCount(key.m_Bytes);
    gsd->IncNodeUseCount(key.m_Bytes);
    gsd->InitNodeUseCount(key.m_Bytes);
    EXPECT_EQ(gsd->GetNodeUseCount(key.m_Bytes), 2);
    EXPECT_TRUE(gsd->IsAnyNodeInUse());
    gsd->DecNodeUseCount(key.m_Bytes);
    gsd->DecNodeUseCount(key.m_Bytes);
    EXPECT_EQ(gsd->GetNodeUseCount(key.m_Bytes), 0);
    EXPECT_FALSE(gsd->IsAnyNodeInUse());
}

TEST_F(DeviceRegistryTest, InsertedUsersTakeDescendingNegativeIds)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    Key key = KeyOf("ins");
    AddDevice("ins", key.m_Hex, m_DevDb);
    ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into svpngroup(id, name, pgrpid) values (7, 'g7', 0)"));
    DevNodeInfo* node = LoadAndFind(key);
    ASSERT_NE(node, nullptr);

    int32_t id = 0;
    ASSERT_TRUE(gsd->InsertUserInfo("alice", node, id, 7));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select concat(name, '/', grpid) from svpnuser where id = -1"),
              "alice/7");

    ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into svpnuser(id, name, grpid) values (5, 'eve', 7)"));
    // A quote, and a GBK character whose second byte is a backslash.
    std::string tricky = "O'Ne\x95\x5Cil";
    ASSERT_TRUE(gsd->InsertUserInfo(tricky.c_str(), node, id, 7));
    EXPECT_EQ(id, -2);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select name from svpnuser where id = -2"), tricky);

    // No group at all is allowed; an unknown group is not.
    ASSERT_TRUE(gsd->InsertUserInfo("nogroup", node, id, DEV_NO_GROUP));
    EXPECT_EQ(id, -3);
    id = 0;
    EXPECT_FALSE(gsd->InsertUserInfo("stranger", node, id, 99));
    EXPECT_EQ(id, 0);
    EXPECT_NE(qbtest::ReadTodayLog().find("[InsertUserInfo] Invalid Group ID = 99.\n"), std::string::npos);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(*) from svpnuser"), "4");
    // The table lock is gone: another client can write.
    EXPECT_TRUE(qbtest::Exec(m_Dev, "insert into svpnuser(id, name, grpid) values (6, 'zed', 7)"));
}

TEST_F(DeviceRegistryTest, UserLookupCreatesMissingUsersPerGroup)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    Key key = KeyOf("users");
    AddDevice("users", key.m_Hex, m_DevDb);
    ASSERT_TRUE(qbtest::Exec(m_Dev,
                             "insert into svpngroup(id, name, pgrpid) values (7, 'g7', 0), (8, 'g8', 0);"
                             "insert into svpnuser(id, name, grpid) values (12, 'carol', 7)"));
    ASSERT_NE(LoadAndFind(key), nullptr);

    int32_t id = 0;
    ASSERT_TRUE(gsd->GetUserInfoEx(m_DevDb.c_str(), key.m_Bytes, "CAROL", id, 7));
    EXPECT_EQ(id, 12);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(*) from svpnuser"), "1");

    // The same name in another group is another user.
    ASSERT_TRUE(gsd->GetUserInfoEx(m_DevDb.c_str(), key.m_Bytes, "carol", id, 8));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(*) from svpnuser where name = 'carol'"), "2");
    // ... found in the cache from now on.
    id = 0;
    ASSERT_TRUE(gsd->GetUserInfoEx(nullptr, key.m_Bytes, "carol", id, 8));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(*) from svpnuser"), "2");

    EXPECT_FALSE(gsd->GetUserInfoEx(m_DevDb.c_str(), key.m_Bytes, "", id, 7));
    EXPECT_FALSE(gsd->GetUserInfoEx(nullptr, nullptr, "carol", id, 7));
    Key unknown = KeyOf("unknown");
    EXPECT_FALSE(gsd->GetUserInfoEx(nullptr, unknown.m_Bytes, "carol", id, 7));
    std::string hex;
    MD5ToHexUpper(unknown.m_Bytes, hex);
    EXPECT_NE(qbtest::ReadTodayLog().find("[GetUserInfoEx] Not Find Node. DbName =  , MD5 = " + hex + ".\n"),
              std::string::npos);
}

TEST_F(DeviceRegistryTest, AdminLookupAndCacheReloads)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    Key key = KeyOf("admins");
    AddDevice("admins", key.m_Hex, m_DevDb);
    ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into admin(id, Name, pgrpid) values (3, 'Root', 9);"
                                    "insert into svpngroup(id, name, pgrpid) values (7, 'g7', 0)"));
    DevNodeInfo* node = LoadAndFind(key);
    ASSERT_NE(node, nullptr);

    int32_t adminId = 0, groupId = -1;
    ASSERT_TRUE(gsd->GetAdminInfoEx(m_DevDb.c_str(), key.m_Bytes, "root", adminId, groupId));
    EXPECT_EQ(adminId, 3);
    EXPECT_EQ(groupId, 9);
    groupId = 4;
    ASSERT_TRUE(gsd->GetAdminInfoEx(m_DevDb.c_str(), key.m_Bytes, "ROOT", adminId, groupId));
    EXPECT_EQ(groupId, 4);
    EXPECT_FALSE(gsd->GetAdminInfoEx(m_DevDb.c_str(), key.m_Bytes, "nobody", adminId, groupId));
    EXPECT_EQ(adminId, -1);
    EXPECT_NE(qbtest::ReadTodayLog().find("[GetAdminInfoEx] Invalid Admin Name! AdminName = nobody\n"),
              std::string::npos);
    adminId = 0;
    EXPECT_FALSE(gsd->GetAdminInfoEx(m_DevDb.c_str(), nullptr, "root", adminId, groupId));
    EXPECT_EQ(adminId, -1);

    // A reload picks up changes; a failed step reports it and keeps what was cached.
    ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into admin(id, Name, pgrpid) values (4, 'ops', 2);"
                                    "drop table svpngroup"));
    EXPECT_FALSE(gsd->GetSpecifyDevNodeInfo(node));
    EXPECT_NE(qbtest::ReadTodayLog().find("[GetSpecifyDevNodeGroupInfo] Fail To Query ErrNo = 1146\n"),
              std::string::npos);
    EXPECT_TRUE(gsd->GetAdminInfoEx(m_DevDb.c_str(), key.m_Bytes, "ops", adminId, groupId));
    EXPECT_EQ(adminId, 4);
    int32_t userId = 0;
    EXPECT_TRUE(gsd->InsertUserInfo("frank", node, userId, 7));
}

TEST_F(DeviceRegistryTest, LoadFailsWithoutTheGlobalDatabase)
{
    CDeviceRegistry* gsd = CDeviceRegistry::GetInstance();
    qbtest::UseTestDatabase(m_Prefix + "missing");
    EXPECT_FALSE(gsd->GetDabaBaseNodeInfo());
    EXPECT_NE(qbtest::ReadTodayLog().find("[GetDabaBaseNodeInfo] Cannot Connect DB To Get Info\n"),
              std::string::npos);
    qbtest::UseTestDatabase(m_Global);
}
} // namespace
