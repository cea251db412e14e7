// The data-file writer against real data files and the test server: the lines it writes, one file per
// table reused for every line, the two lines of a resource access sharing a record id, and the same
// rows whichever path a record takes (data file and bulk load, or SQL insert).
#include "StoringWritersTestSupport.h"

#include "core/Utilities.h"

#include <map>
#include <set>

using namespace sqlwtest;

namespace
{
class DataFileWriterTest : public StoringWriterTest
{
protected:
    // Table -> contents of the data files released for this device (the files stay queued).
    std::map<std::string, std::vector<std::string>> ReleasedFiles()
    {
        std::map<std::string, std::vector<std::string>> out;
        CDataFileManager* m = CDataFileManager::GetInstance();
        std::vector<std::tuple<std::string, std::string, std::string>> claimed;
        std::string db = m_DevDb, file, table;
        while (m->GetImportInfo(db, file, table) == 1)
        {
            out[table].push_back(qbtest::ReadFile(file));
            claimed.emplace_back(db, table, file);
            db = m_DevDb;
        }
        for (auto& [d, t, f] : claimed)
            m->ResetImportInfoFlag(d.c_str(), t.c_str(), f.c_str());
        return out;
    }
};

TEST_F(DataFileWriterTest, LinesOfTheFourTables)
{
    StartDataFiles();
    Install(m_DevDb.c_str());
    SystemLog sys = m_Rec.System(3, 7, "a'b");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
    SystemLog sys2 = m_Rec.System(0, 603, "tab\there \"q\" back\\slash");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys2, nullptr), 1u);
    UserLogV3 login = m_Rec.User(1, "alice", GROUP, "first\nsecond");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &login, nullptr), 1u);
    UserLogV3 access = m_Rec.User(USER_ACTION_RESOURCE, m_GbkUser, GROUP, "/\xE4\xB9\x97");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &access, nullptr), 1u);
    UserLogV3 noServer = access;
    noServer.m_ServerIP = 0;
    EXPECT_EQ(m_Chain.GetDataFileLogWriter().WriteLog(SIGN_CODE_1111, &noServer, nullptr), 0u);
    UserLogV3 flow = m_Rec.User(USER_ACTION_FLUX, "alice", GROUP, "");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &flow, nullptr), 1u);
    for (int i = 0; i < CFinalLogWriter::SQL_CACHE_COUNT; ++i)
        EXPECT_EQ(Final().GetPendingCount(i), 0u)
            << "the final writer saw " << CFinalLogWriter::GetSqlCacheName(i);
    Quit();

    auto files = ReleasedFiles();
    ASSERT_EQ(files["syslog"].size(), 1u) << "one file per table, reused for every line";
    EXPECT_EQ(files["syslog"][0],
              "3\t7\t\"a'b\"\t\"2012-05-01 08:09:10\"\r\n"
              "0\t603\t\"tab\\there \\\"q\\\" back\\\\slash\"\t\"2012-05-01 08:09:10\"\r\n");

    ASSERT_EQ(files["usrbasiclog"].size(), 1u);
    const std::string& basic = files["usrbasiclog"][0];
    size_t firstEnd = basic.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    std::string loginLine = basic.substr(0, firstEnd + 2);
    std::string accessLine = basic.substr(firstEnd + 2);
    // "record id" first, then the row in column order.
    size_t idEnd = loginLine.find("\"\t");
    ASSERT_EQ(loginLine[0], '"');
    EXPECT_EQ(loginLine.substr(idEnd), "\"\t42\t\"alice\"\t5\t1\t1\t16909060\t\"first\\nsecond\"\t300\t"
                                       "\"2012-05-01 08:09:10\"\t167772161\t443\r\n");
    std::string accessId = accessLine.substr(0, accessLine.find("\"\t") + 1);
    EXPECT_EQ(accessLine.substr(accessId.size()),
              "\t43\t\"\x81\x5C\x82\x5C\x83\x5C\"\t5\t3\t1\t16909060\t\"/\x81\x5C\""
              "\t300\t\"2012-05-01 08:09:10\"\t167772161\t443\r\n");

    ASSERT_EQ(files["usrsvrlog"].size(), 1u);
    EXPECT_EQ(files["usrsvrlog"][0], accessId +
                                         "\t43\t5\t167772161\t443\t2\t\"2012-05-01 08:09:10\"\t1\t16909060\t"
                                         "\"/\x81\x5C\"\t1\r\n")
        << "the two lines of a resource access share their record id";

    ASSERT_EQ(files["usrflowlog"].size(), 1u);
    const std::string& flowLine = files["usrflowlog"][0];
    EXPECT_EQ(
        flowLine.substr(flowLine.find("\"\t")),
        "\"\t42\t167772161\t5\t7\t5000000000\t9\t6000000000\t\"2012-05-01 08:09:10\"\t16909060\t443\r\n");

    // Loaded, the lines are the rows.
    ImportReleasedFiles();
    EXPECT_EQ(Query("select lev, process, message from syslog order by process"),
              (std::vector<Row>{{"3", "7", "a'b"}, {"0", "603", "tab\there \"q\" back\\slash"}}));
    EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                 "select count(*) from usrsvrlog s join usrbasiclog b using(record_id) "
                                 "where b.user_action = 3 and b.user_id = 43"),
              "1");
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select concat(raw_dw_flux, ',', raw_up_flux) from usrflowlog"),
              "9,6000000000");
}

// Every text that needs care arrives as the same bytes through the data file and the bulk load as
// through the SQL inserts.
TEST_F(DataFileWriterTest, BothPathsStoreTheSameRows)
{
    const std::vector<std::string> texts = {
        "plain",
        "quote ' apostrophe '' and \"double\" quotes",
        "back\\slash, ends with one\\",
        "tab\there, LF\nthere, CRLF\r\nand CR\r",
        "\\N alone and \\t not a tab",
        "GBK trail 0x5C: \xE4\xB9\x97\xE4\xBF\x93\xE5\x83\x9C\xE5\x88\x93 \xE5\x8C\xBC",
        "\xE4\xB9\x97", // a 0x5C trail byte at the very end
        "emoji \xF0\x9F\x98\x80 becomes ?",
        std::string(511, 'x'),
    };
    std::vector<std::string> names = {"alice", m_GbkUser, "new 'user' \\ \xE5\x83\x9C"};
    auto sendAll = [&]
    {
        int process = 0;
        for (const std::string& t : texts)
        {
            SystemLog sys = m_Rec.System(2, ++process, t);
            ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
            for (const std::string& name : names)
            {
                UserLogV3 login = m_Rec.User(0, name, GROUP, t);
                login.m_AuthMethod = process;
                ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &login, nullptr), 1u);
                UserLogV3 access = m_Rec.User(USER_ACTION_RESOURCE, name, GROUP, t);
                access.m_AuthMethod = process;
                access.m_ServerAttr = 0;
                ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &access, nullptr), 1u);
            }
            UserLogV3 flow = m_Rec.User(USER_ACTION_FLUX, "alice", GROUP, "");
            flow.m_UpFlux = process;
            ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &flow, nullptr), 1u);
        }
    };

    // Through data files.
    StartDataFiles();
    Install(m_DevDb.c_str());
    sendAll();
    for (int i = 0; i < CFinalLogWriter::SQL_CACHE_COUNT; ++i)
        ASSERT_EQ(Final().GetPendingCount(i), 0u) << CFinalLogWriter::GetSqlCacheName(i);
    Quit();
    ImportReleasedFiles();
    ASSERT_EQ(Count("syslog"), std::to_string(texts.size()));
    ASSERT_EQ(Count("usrbasiclog"), std::to_string(texts.size() * names.size() * 2));

    // Through SQL: the data-file path is off, so the final writer takes them.
    CDataFileManager::GetInstance()->UnInit();
    Install(m_DevDb.c_str());
    sendAll();
    Quit();

    // Each distinct row, record ids and keys aside, stands twice: once per path.
    const std::map<std::string, std::string> columns = {
        {"syslog", "lev, process, message, log_time"},
        {"usrbasiclog",
         "user_id, user_name, grp_id, user_action, action_result, address, message, auth_method, log_time, "
         "svr_ip, svr_port"},
        {"usrsvrlog",
         "user_id, grp_id, svr_ip, svr_port, svr_type, log_time, action_result, address, message, svr_attr"},
        {"usrflowlog",
         "user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, address, "
         "svr_port"},
    };
    for (const auto& [table, cols] : columns)
    {
        std::vector<Row> groups = Query("select hex(concat_ws(0x01, " + cols + ")), count(*) from " + table +
                                        " group by 1 order by 1");
        size_t expected = table == "syslog" || table == "usrflowlog" ? texts.size()
                          : table == "usrsvrlog"                     ? texts.size() * names.size()
                                                                     : texts.size() * names.size() * 2;
        EXPECT_EQ(groups.size(), expected) << table;
        for (const Row& g : groups)
            EXPECT_EQ(g[1], "2") << table << " row " << g[0];
    }
    // And the stored text is the sent text in GBK.
    for (size_t i = 0; i < texts.size(); ++i)
    {
        std::string gbk;
        ASSERT_TRUE(Utf8ToGbkString(texts[i].c_str(), gbk));
        EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                     "select count(*) from syslog where hex(convert(message using gbk)) = '" +
                                         Hex(gbk) + "' and process = " + std::to_string(i + 1)),
                  "2")
            << texts[i];
    }
    // Record ids of a resource access match across its two tables, in both paths.
    EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                 "select count(*) from usrsvrlog s join usrbasiclog b using(record_id) "
                                 "where b.user_action = 3"),
              std::to_string(texts.size() * names.size() * 2));
}
} // namespace
