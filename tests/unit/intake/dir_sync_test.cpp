// Directory pushes: the SQL built from a pushed document, and, against the test database server, a
// whole push through the record task: stored rows equal to the pushed text, the reply, the registry
// mark and the message to the connection thread.
#include "config/ConfigManager.h"
#include "intake/LogudtSqlBuilder.h"
#include "intake/NodeLogRecordTask.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "record_test_records.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <tinyxml.h>

using namespace rectest;

namespace
{
void MD5(const unsigned char* data, size_t len, unsigned char out[16])
{
    unsigned int n = 16;
    EVP_Digest(data, len, out, &n, EVP_md5(), nullptr);
}

// U+4E57: its GBK form is 0x81 0x5C, a trail byte that looks like a backslash.
const std::string GBK_5C_CHAR_UTF8 = "\xE4\xB9\x97";
const std::string TRICKY_NAME = "o'brien \"x\" a\\b " + GBK_5C_CHAR_UTF8 + "');drop table svpnuser;--";

std::vector<LogudtTable> Tables()
{
    return {{"Admin", {"id", "name", "pgrpid"}},
            {"svpnuser", {"id", "name", "grpid"}},
            {"SVPNUSER", {"id;ulong", "name", "grpid;ushort"}},
            {"svpngroup", {"id", "", "name", "pgrpid"}}};
}

std::string XmlEscape(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        if (c == '"')
            out += "&quot;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

class LogudtSqlBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override { qbtest::InitTestInstall(); }
    std::string Build(const char* table, const std::string& rowXml)
    {
        TiXmlDocument doc;
        doc.Parse(rowXml.c_str());
        std::string sql;
        m_Builder.BuildSql(sql, table, doc.FirstChildElement());
        return sql;
    }
    CLogudtSqlBuilder m_Builder{Tables()};
};

TEST_F(LogudtSqlBuilderTest, ColumnsFollowTheTableDescription)
{
    EXPECT_EQ(Build("svpnuser", "<user grpid=\"3\" name=\"bob\" id=\"7\" extra=\"x\"/>"),
              "insert into svpnuser(`id`,`name`,`grpid`) values ('7','bob','3')");
    // Attribute names match without regard to case; an empty entry in the description is skipped.
    EXPECT_EQ(Build("svpngroup", "<g ID=\"1\" Name=\"ops\" PGRPID=\"0\"/>"),
              "insert into svpngroup(`id`,`name`,`pgrpid`) values ('1','ops','0')");
    // Numbers sent in network order are swapped; an empty text becomes '0'.
    EXPECT_EQ(Build("SVPNUSER", "<u id=\"16777216\" name=\"\" grpid=\"256\"/>"),
              "insert into SVPNUSER(`id`,`name`,`grpid`) values (1,'0',1)");
}

TEST_F(LogudtSqlBuilderTest, MissingAttributeOrUnlistedTableGivesNoStatement)
{
    EXPECT_EQ(Build("svpnuser", "<user id=\"7\" name=\"bob\"/>"), "");
    EXPECT_EQ(Build("svpnrc", "<rc id=\"7\"/>"), "");
    EXPECT_EQ(Build("Svpnuser", "<user id=\"7\" name=\"bob\" grpid=\"1\"/>"), "");
    EXPECT_NE(qbtest::ReadTodayLog().find("[BuildSql] Cannot Find Attribute Name = grpid\n"),
              std::string::npos);
}

TEST_F(LogudtSqlBuilderTest, TextIsAQuotedLiteralThatCannotBreakOut)
{
    std::string sql =
        Build("svpnuser", "<user id=\"1\" name=\"" + XmlEscape(TRICKY_NAME) + "\" grpid=\"2\"/>");
    std::string gbkName;
    ASSERT_TRUE(Utf8ToGbkString(TRICKY_NAME.c_str(), gbkName));
    ASSERT_NE(gbkName.find("\x81\x5C"), std::string::npos);
    // Quote and backslash doubled, the GBK character kept whole (its 0x5C not doubled), the double
    // quote left as it is inside the single-quoted literal.
    std::string expected = "o''brien \"x\" a\\\\b \x81\x5C'');drop table svpnuser;--";
    EXPECT_EQ(sql, "insert into svpnuser(`id`,`name`,`grpid`) values ('1','" + expected + "','2')");
}

TEST_F(LogudtSqlBuilderTest, LongTextIsCutWithoutSplittingACharacter)
{
    std::string name(1022, 'a');
    name += GBK_5C_CHAR_UTF8; // the double-byte character would end at byte 1024
    std::string literal = CLogudtSqlBuilder::MakeTextLiteral(name.c_str());
    EXPECT_EQ(literal, "'" + std::string(1022, 'a') + "'");
}

TEST_F(LogudtSqlBuilderTest, UserDocumentStatementsInDocumentOrder)
{
    TiXmlDocument doc;
    doc.Parse("<content><svpngroup><g id=\"1\" name=\"g\" pgrpid=\"0\"/></svpngroup>"
              "<unknown><x id=\"1\"/></unknown>"
              "<SVPNUSER><u id=\"16777216\" name=\"a\" grpid=\"256\"/><u id=\"2\"/></SVPNUSER></content>");
    std::vector<std::string> sql;
    m_Builder.BuildUserInfoStatements(doc.FirstChildElement(), sql);
    std::vector<std::string> expected = {"lock tables svpngroup write",
                                         "delete from svpngroup",
                                         "insert into svpngroup(`id`,`name`,`pgrpid`) values ('1','g','0')",
                                         "unlock tables",
                                         "lock tables SVPNUSER write",
                                         "delete from svpnuser where id>0",
                                         "insert into SVPNUSER(`id`,`name`,`grpid`) values (1,'a',1)",
                                         "",
                                         "unlock tables"};
    EXPECT_EQ(sql, expected);
}

// The parser steps over a multi-byte UTF-8 character at once; a character cut off by the text's end
// made it read past the buffer (found by fuzzing), so such documents are refused before parsing.
TEST_F(LogudtSqlBuilderTest, DocumentEndingInsideACharacterIsRefused)
{
    const std::string file = (std::filesystem::temp_directory_path() / "qb_push_test.xml").string();
    auto load = [&](const std::string& bytes, std::string* name = nullptr)
    {
        FILE* f = fopen(file.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        TiXmlDocument doc;
        bool ok = CLogudtSqlBuilder::LoadDocument(doc, file.c_str());
        if (ok && name != nullptr)
            *name = CLogudtSqlBuilder::FindAttribute(doc.FirstChildElement(), "name");
        return ok;
    };
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><u name='";
    for (const std::string& cut : {std::string("\xF0"), std::string("\xF0\x9F\x98"), std::string("\xE4\xB9"),
                                   std::string("\xC3"), std::string("\xEF")})
    {
        EXPECT_FALSE(load(head + cut)) << "cut at the end";
        EXPECT_FALSE(load(head + cut + std::string(1, '\0') + "'/>")) << "cut by a NUL";
    }
    // "\r\n" becomes one byte before parsing: three bytes after the lead byte in the file, two in the text.
    EXPECT_FALSE(load(head + "\xF0\r\nx"));

    std::string name;
    EXPECT_TRUE(load(head + GBK_5C_CHAR_UTF8 + "\xF0\x9F\x98\x80'/>", &name));
    EXPECT_EQ(name, GBK_5C_CHAR_UTF8 + "\xF0\x9F\x98\x80");
    // A whole document followed by NUL padding still loads, and line ends reach the parser as "\n".
    EXPECT_TRUE(load(head + "a\r\nb\rc'/>" + std::string(16, '\0'), &name));
    EXPECT_EQ(name, "a\nb\nc");
    std::filesystem::remove(file);
}

// ---------------------------------------------------------------------------------------------
// A push end to end, against the test database server.
// ---------------------------------------------------------------------------------------------

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
        ASSERT_TRUE(
            qbtest::Exec(m_Admin, "insert into dev_node(node_name, secret, md5_secret, db_name, deleted) "
                                  "values ('dev1', 'sec', '" +
                                      hex + "', '" + m_DevDb + "', 0)"));
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
    CGlobalSharedData* gsd = CGlobalSharedData::GetInstance();
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
                      XmlEscape(TRICKY_NAME) +
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
