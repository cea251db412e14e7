// Directory pushes against the test database server: a whole push through the record task, with the
// stored rows equal to the pushed text, the reply, the registry mark and the message to the connection
// thread.
#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "intake/NodeLogRecordTask.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "support/TestRecords.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <openssl/evp.h>

using namespace rectest;

namespace
{
void MD5(const unsigned char* data, size_t len, unsigned char out[16])
{
    unsigned int n = 16;
    EVP_Digest(data, len, out, &n, EVP_md5(), nullptr);
}

class DirSyncDbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        m_Prefix = qbtest::UniqueDbPrefix("sync");
        m_Global = m_Prefix + "global";
        m_DevDb = m_Prefix + "dev1";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        m_Admin = qbtest::AdminConnect(m_Global);
        ASSERT_NE(m_Admin, nullptr);

        const char* secret = "sync-device-secret";
        MD5(reinterpret_cast<const unsigned char*>(secret), strlen(secret), m_Key);
        std::string hex;
        MD5ToHexUpper(m_Key, hex);
        for (char& c : hex)
            c = static_cast<char>(tolower(c));
        ASSERT_TRUE(qbtest::AddDevice(m_Admin, "dev1", "sec", m_DevDb, hex));
        ASSERT_TRUE(CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo());

        // The shipped directory tables.
        std::filesystem::copy_file(std::string(QB_SOURCE_DIR) + "/conf/Logudt.conf",
                                   CConfigManager::GetInstance()->GetConfigFilePath("Logudt.conf"),
                                   std::filesystem::copy_options::overwrite_existing);
        CConfigManager::GetInstance()->LoadSpicifyConfig("Logudt.conf");

        ASSERT_TRUE(m_Recv.Init(64 * 1024));
        ASSERT_TRUE(m_Send.Init(64 * 1024));
        platform::EnsureThreadMessageQueue();
        platform::MSG msg;
        while (platform::PeekMessage(&msg, true))
        {
        }
        m_Task.SetNodeThreadId(platform::GetCurrentThreadId());
        m_Task.SetRingCaches(&m_Recv, &m_Send);
        m_Task.m_bRunning = 1;
    }
    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        if (m_Admin != nullptr)
            mysql_close(m_Admin);
        CSQLConnManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Global);
        qbtest::DropDatabase(m_DevDb);
    }

    // A push record for the document; unpadded: the "%x"-per-byte form of its MD5.
    std::vector<uint8_t> Push(int32_t kind, const std::string& xml, bool unpadded = false, bool mask = false)
    {
        auto r =
            MakeRecord(LOG_TYPE_LOGUDTDB, static_cast<uint32_t>(LOGUDTDB_LOG_MIN_LEN + xml.size()), m_Key);
        As<LogudtDBLog>(r).m_UpdateType = kind;
        unsigned char d[16];
        MD5(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), d);
        char text[33];
        unpadded ? wire::DigestToHexShort(d, text) : wire::DigestToHexLower(d, text);
        for (int i = 0; i < 32; ++i)
            text[i] = static_cast<char>(toupper(text[i])); // case is ignored
        std::memcpy(As<LogudtDBLog>(r).m_DataMD5, text, 32);
        std::memcpy(r.data() + LOGUDTDB_LOG_MIN_LEN, xml.data(), xml.size());
        if (mask)
            Mask(r);
        return r;
    }
    void Put(const std::vector<uint8_t>& bytes)
    {
        uint32_t space = 0;
        ASSERT_TRUE(m_Recv.GetCanWriteSize(space));
        std::memcpy(m_Recv.GetWritePtr(), bytes.data(), bytes.size());
        m_Recv.CommitWrite(static_cast<uint32_t>(bytes.size()));
        m_Task.ProcessRingBuffData();
    }
    std::string Replies()
    {
        std::string out;
        uint32_t n = 0;
        while (m_Send.GetCanReadSize(n))
        {
            out.append(m_Send.GetReadPtr(), n);
            m_Send.CommitRead(n);
        }
        return out;
    }

    std::string m_Prefix, m_Global, m_DevDb;
    MYSQL* m_Admin = nullptr;
    unsigned char m_Key[16];
    CRingCache m_Recv, m_Send;
    CNodeLogRecordTask m_Task;
};

TEST_F(DirSyncDbTest, UserPushStoresThePushedTextAndOpensTheGate)
{
    // Before the push the device's records are held back.
    Put(User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN));
    EXPECT_FALSE(m_Task.IsSyncReady());

    MYSQL* dev = qbtest::AdminConnect(m_DevDb);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(
        qbtest::Exec(dev, "insert into svpnuser(id,name,grpid) values (-1,'made here',0),(9,'old',0)"));

    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<content>\n"
                      "<svpngroup><group id=\"1\" name=\"g1\" pgrpid=\"0\"/></svpngroup>\n"
                      "<svpnuser><user id=\"1\" name=\"" +
                      qbtest::XmlAttr(TRICKY_NAME) +
                      "\" grpid=\"1\"/><user id=\"2\" name=\"user2\" grpid=\"1\"/>"
                      "<user id=\"3\" name=\"no group\"/></svpnuser>\n</content>\n";
    auto push = Push(UPDATE_TYPE_USER, xml, true, true);
    Put(push);

    // Reply: head with length 74 and the matching MD5 text, in the collector's own lower-case form.
    std::string reply = Replies();
    ASSERT_EQ(reply.size(), 74u);
    unsigned char d[16];
    MD5(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), d);
    char shortText[33];
    wire::DigestToHexShort(d, shortText);
    EXPECT_EQ(std::memcmp(reply.data() + 42, shortText, 32), 0);
    EXPECT_EQ(wire::GetDataLen(*reinterpret_cast<const DataHead*>(reply.data())), 74u);

    // Rows: the pushed text exactly, the collector's own user kept, the old pushed one gone, the row
    // without its group not stored.
    ASSERT_TRUE(qbtest::Exec(dev, "set names utf8"));
    EXPECT_EQ(qbtest::QueryValue(dev, "select name from svpnuser where id=1"), TRICKY_NAME);
    EXPECT_EQ(qbtest::QueryValue(dev, "select count(*) from svpnuser"), "3");
    EXPECT_EQ(qbtest::QueryValue(dev, "select name from svpnuser where id=-1"), "made here");
    EXPECT_EQ(qbtest::QueryValue(dev, "select name from svpngroup where id=1"), "g1");
    mysql_close(dev);

    // Registry mark, the task's state and the message to the connection thread.
    EXPECT_EQ(CDeviceRegistry::GetInstance()->GetNodeUseCount(m_Key), 1);
    EXPECT_TRUE(m_Task.IsSyncReady());
    EXPECT_EQ(m_Task.GetDbName(), m_DevDb);
    platform::MSG msg{};
    bool got1124 = false;
    while (platform::PeekMessage(&msg, true))
    {
        if (msg.message != WM_SVPNNODE_DATASYNC_SUCC)
            continue;
        got1124 = true;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.wParam)), m_DevDb);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(msg.lParam), m_Key, 16), 0);
        CBuffManager::GetInstance()->ReleaseByteBuff(reinterpret_cast<void*>(msg.wParam));
        CBuffManager::GetInstance()->ReleaseByteBuff(reinterpret_cast<void*>(msg.lParam));
    }
    EXPECT_TRUE(got1124);
    // The XML went through a temporary file of the task.
    ASSERT_EQ(m_Task.GetTempFileNames().size(), 1u);
    EXPECT_NE(m_Task.GetTempFileNames()[0].find("/UserInfo"), std::string::npos);

    // From now on the device's records pass the gate (the writers take nothing yet).
    size_t logStart = qbtest::ReadTodayLog().size();
    Put(User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN));
    EXPECT_EQ(qbtest::ReadTodayLog().substr(logStart).find("Sync Not Ready"), std::string::npos);
}

TEST_F(DirSyncDbTest, AdminPushAndRefusedPushes)
{
    std::string adminXml = "<velmofile><filecontent><CtrlManager><m id=\"1\" name=\"root\" pgrpid=\"1\"/>"
                           "</CtrlManager><CtrlGroup><g id=\"1\" name=\"admins\" pgrpid=\"0\"/></CtrlGroup>"
                           "</filecontent></velmofile>";
    // A wrong MD5: nothing stored, nothing answered.
    auto bad = Push(UPDATE_TYPE_ADMIN, adminXml);
    As<LogudtDBLog>(bad).m_DataMD5[0] ^= 1;
    Put(bad);
    EXPECT_EQ(Replies(), "");
    EXPECT_EQ(CDeviceRegistry::GetInstance()->GetNodeUseCount(m_Key), 0);

    Put(Push(UPDATE_TYPE_ADMIN, adminXml));
    EXPECT_EQ(Replies().size(), 74u);
    MYSQL* dev = qbtest::AdminConnect(m_DevDb);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(qbtest::QueryValue(dev, "select name from admin where id=1"), "root");
    EXPECT_EQ(qbtest::QueryValue(dev, "select name from admingroup where id=1"), "admins");
    mysql_close(dev);
    // An administrator push marks the device but not this connection.
    EXPECT_EQ(CDeviceRegistry::GetInstance()->GetNodeUseCount(m_Key), 1);
    EXPECT_FALSE(m_Task.IsSyncReady());
    int32_t adminId = 0, groupId = -1;
    EXPECT_TRUE(
        CDeviceRegistry::GetInstance()->GetAdminInfoEx(m_DevDb.c_str(), m_Key, "ROOT", adminId, groupId));
    EXPECT_EQ(adminId, 1);
    // A gated record on the same connection opens the gate without counting the device a second time
    // (the connection gives back one use at its end: twice counted, it never came back to 0).
    Put(MakeRecord(LOG_TYPE_ALARM, ALARM_LOG_LEN, m_Key));
    EXPECT_TRUE(m_Task.IsSyncReady());
    EXPECT_EQ(CDeviceRegistry::GetInstance()->GetNodeUseCount(m_Key), 1);

    // A push of a kind this collector does not know keeps its document inside the temporary directory.
    Put(Push(-7, "<velmofile/>"));
    EXPECT_EQ(Replies().size(), 74u);
    const std::string kelv = CGlobalSharedData::GetInstance()->GetKelvDir();
    for (const auto& entry : std::filesystem::directory_iterator(kelv))
        EXPECT_FALSE(entry.path().filename().string().rfind("Temp", 0) == 0 &&
                     entry.path().filename() != "Temp")
            << entry.path() << " lies beside the temporary directory";

    // An unknown device key: refused at SetDbName, no reply.
    uint8_t other[16] = {1};
    auto stranger = Push(UPDATE_TYPE_USER, "<content/>");
    std::memcpy(As<DataHead>(stranger).m_DevMD5, other, 16);
    Put(stranger);
    EXPECT_EQ(Replies(), "");
    EXPECT_NE(qbtest::ReadTodayLog().find("[Deal_LogudtDB_Log] Error Occur While Call Function SetDbName\n"),
              std::string::npos);
}
} // namespace
