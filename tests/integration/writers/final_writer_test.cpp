// The final SQL writer against the test server, driven through a real writer chain with records in wire
// layout: the rows every record kind leaves, the batch rules (50 statements, age, at quit), the
// dev_stat rows of six keepalives, statements kept across a lost server, rejected ones dropped, and the
// bound of a cache that cannot be submitted.
#include "StoringWritersTestSupport.h"

#include "core/Clock.h"
#include "writers/PendingSqlHolder.h"

#include <algorithm>
#include <thread>

using namespace sqlwtest;

namespace
{
// The collector-wide holder of statements an ended connection leaves, running for one test.
struct CHolderRun
{
    CHolderRun() { CPendingSqlHolder::GetInstance()->Init(); }
    ~CHolderRun() { CPendingSqlHolder::GetInstance()->UnInit(); }
};

class FinalWriterTest : public StoringWriterTest
{
protected:
    // Statements of the general log sent on connections to this test's device database, in order.
    std::vector<std::string> DeviceDbStatements()
    {
        std::vector<std::string> out;
        MYSQL* admin = qbtest::AdminConnect("mysql");
        std::string threads = "select thread_id from mysql.general_log where command_type = 'Connect' and "
                              "argument like '% on " +
                              m_DevDb + " %'";
        for (const Row& r : Rows(admin, "select argument from mysql.general_log where command_type = 'Query' "
                                        "and thread_id in (" +
                                            threads + ") order by event_time"))
            out.push_back(r[0]);
        mysql_close(admin);
        return out;
    }
};

TEST_F(FinalWriterTest, EveryRecordKindArrivesAsItsRows)
{
    Install(m_DevDb.c_str());
    // User records of the three layouts: a login (v1), a flow record (v2) and a resource access (v3).
    UserLogV3 v3 = m_Rec.User(0, "alice", GROUP, "");
    UserLog v1;
    std::memcpy(&v1, &v3, sizeof(UserLogCommon));
    v1.m_Head.m_LogType = LOG_TYPE_USER;
    v1.m_UpFlux = 11;
    v1.m_DownFlux = 12;
    RecordMaker::Text(v1.m_Message, sizeof(v1.m_Message), "login 'ok'");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &v1, nullptr), 1u);

    UserLogV2 v2;
    std::memcpy(&v2, &v3, sizeof(UserLogCommon));
    v2.m_Head.m_LogType = LOG_TYPE_USERV2;
    v2.m_Action = USER_ACTION_FLUX;
    v2.m_UpFlux = 100, v2.m_DownFlux = 200, v2.m_RawUpFlux = 300, v2.m_RawDownFlux = -400;
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &v2, nullptr), 1u);

    UserLogV3 access = m_Rec.User(USER_ACTION_RESOURCE, m_GbkUser, GROUP, "\xE4\xB9\x97 page");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &access, nullptr), 1u);
    UserLogV3 noServer = access;
    noServer.m_ServerIP = 0;
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &noServer, nullptr), 0u) << "an access without a server";
    UserLogV3 flow3 = m_Rec.User(USER_ACTION_FLUX, "alice", GROUP, "");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &flow3, nullptr), 1u);
    UserLogV3 stranger = m_Rec.User(0, "nobody", 99, "");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &stranger, nullptr), 0u) << "group 99 does not exist";

    AdminLog admin;
    std::memset(&admin, 0, sizeof(admin));
    m_Rec.Head(admin.m_Head, LOG_TYPE_ADMIN, ADMIN_LOG_LEN);
    admin.m_Reserved1 = -1;
    admin.m_Action = 2, admin.m_Entity = 9, admin.m_Result = 1;
    admin.m_Address = wire::HostToNet32(0x7F000002);
    RecordMaker::Text(admin.m_AdminName, sizeof(admin.m_AdminName), "ROOT");
    RecordMaker::Text(admin.m_Message, sizeof(admin.m_Message), "changed \\ policy");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &admin, nullptr), 1u);
    AdminLog unknownAdmin = admin;
    RecordMaker::Text(unknownAdmin.m_AdminName, sizeof(unknownAdmin.m_AdminName), "mallory");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &unknownAdmin, nullptr), 0u);

    AuditLog audit;
    std::memset(&audit, 0, sizeof(audit));
    m_Rec.Head(audit.m_Head, LOG_TYPE_AUDIT, AUDIT_LOG_LEN);
    audit.m_Address = wire::HostToNet32(0x0A0B0C0D);
    RecordMaker::Text(audit.m_Message, sizeof(audit.m_Message), "audit \xE5\x83\x9C trail");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &audit, nullptr), 1u);

    // An alarm message fills all 5120 bytes, without a terminator.
    AlarmLog alarm;
    m_Rec.Head(alarm.m_Head, LOG_TYPE_ALARM, ALARM_LOG_LEN);
    alarm.m_AlarmType = 12;
    std::string alarmText;
    while (alarmText.size() < sizeof(alarm.m_Message))
        alarmText += "a'\\";
    alarmText.resize(sizeof(alarm.m_Message));
    std::memcpy(alarm.m_Message, alarmText.data(), sizeof(alarm.m_Message));
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);

    SystemLog sys = m_Rec.System(3, 7, "a'b");
    EXPECT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);

    EXPECT_EQ(Count("usrbasiclog"), "0") << "nothing is run before a cache is due";
    Quit();

    std::vector<Row> basic =
        Query("select user_id, hex(convert(user_name using gbk)), grp_id, user_action, action_result, "
              "address, hex(convert(message using gbk)), auth_method, log_time, svr_ip, svr_port from "
              "usrbasiclog order by user_id");
    ASSERT_EQ(basic.size(), 2u);
    EXPECT_EQ(basic[0], (Row{"42", Hex("alice"), "5", "0", "1", "16909060", Hex("login 'ok'"), "300",
                             "2012-05-01 08:09:10", "167772161", "443"}));
    // The GBK name comes back as the directory holds it.
    EXPECT_EQ(basic[1], (Row{"43", "815C825C835C", "5", "3", "1", "16909060", "815C2070616765", "300",
                             "2012-05-01 08:09:10", "167772161", "443"}));

    std::vector<Row> svr =
        Query("select user_id, grp_id, svr_ip, svr_port, svr_type, log_time, action_result, "
              "address, hex(convert(message using gbk)), svr_attr from usrsvrlog");
    ASSERT_EQ(svr.size(), 1u);
    EXPECT_EQ(svr[0], (Row{"43", "5", "167772161", "443", "2", "2012-05-01 08:09:10", "1", "16909060",
                           "815C2070616765", "1"}));
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(distinct record_id) from usrbasiclog"), "2");
    EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                 "select count(*) from usrsvrlog s join usrbasiclog b using(record_id) "
                                 "where b.user_action = 3"),
              "1");

    std::vector<Row> flows =
        Query("select user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, "
              "log_time, address, svr_port from usrflowlog order by up_flux");
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0], (Row{"42", "167772161", "5", "200", "100", "-400", "300", "2012-05-01 08:09:10",
                             "16909060", "443"}));
    EXPECT_EQ(flows[1], (Row{"42", "167772161", "5", "7", "5000000000", "9", "6000000000",
                             "2012-05-01 08:09:10", "16909060", "443"}));

    std::vector<Row> adt =
        Query("select log_time, adt_action, action_result, entity, adt_id, adt_name, "
              "adt_grp_id, address, hex(convert(message using gbk)) from adt_log order by id");
    ASSERT_EQ(adt.size(), 2u);
    EXPECT_EQ(adt[0], (Row{"2012-05-01 08:09:10", "2", "1", "9", "7", "ROOT", "3", "2130706434",
                           Hex("changed \\ policy")}));
    EXPECT_EQ(adt[1], (Row{"2012-05-01 08:09:10", "4", "0", "7", "-1", "", "-1", "168496141",
                           Hex("audit \x83\x5C trail")}));

    std::vector<Row> alarms = Query("select type, hex(convert(message using gbk)), log_time from alarm_log");
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0], (Row{"12", Hex(alarmText), "2012-05-01 08:09:10"}));

    std::vector<Row> syslog = Query("select lev, process, message, log_time from syslog");
    ASSERT_EQ(syslog.size(), 1u);
    EXPECT_EQ(syslog[0], (Row{"3", "7", "a'b", "2012-05-01 08:09:10"}));
}

TEST_F(FinalWriterTest, FiftiethSystemLogFlushesFiftyStatementsInOneBatch)
{
    ASSERT_FALSE(CDataFileManager::GetInstance()->IsInit()) << "the data-file path is off";
    MYSQL* admin = qbtest::AdminConnect("mysql");
    ASSERT_TRUE(qbtest::Exec(admin, "set global log_output = 'TABLE'"));
    ASSERT_TRUE(qbtest::Exec(admin, "set global general_log = 1"));
    Install(m_DevDb.c_str());
    const uint32_t age = ScaledInterval(CFinalLogWriter::SUBMIT_AGE_MS);
    bool checked = false;
    // The 49 records must come within the cache's age (shortened for tests); a slow machine gets another
    // try. Whether the fiftieth comes later or not, it is the one that submits.
    for (int attempt = 0; attempt < 5 && !checked; ++attempt)
    {
        ASSERT_TRUE(qbtest::Exec(m_Dev, "delete from syslog"));
        const size_t mark = DeviceDbStatements().size();
        uint32_t start = platform::GetTickCount();
        for (int i = 1; i <= 49; ++i)
        {
            SystemLog sys = m_Rec.System(1, attempt * 100 + i, "m" + std::to_string(i));
            ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
        }
        if (platform::GetTickCount() - start >= age)
        {
            Final().OnQuit();
            continue;
        }
        checked = true;
        std::vector<std::string> before = DeviceDbStatements();
        std::string rowsBefore = Count("syslog");
        SystemLog sys = m_Rec.System(1, attempt * 100 + 50, "m50");
        ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
        EXPECT_EQ(rowsBefore, "0");
        EXPECT_EQ(std::count_if(
                      before.begin() + static_cast<ptrdiff_t>(std::min(mark, before.size())), before.end(),
                      [](const std::string& s) { return s.find("insert into syslog") != std::string::npos; }),
                  0);
        EXPECT_EQ(Count("syslog"), "50");
        EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_SYSLOG), 0u);
        std::vector<std::string> after = DeviceDbStatements();
        std::vector<std::string> batches;
        for (size_t i = before.size(); i < after.size(); ++i)
            if (after[i].find("insert into syslog") != std::string::npos)
                batches.push_back(after[i]);
        if (batches.empty() && qbtest::QueryValue(admin, "select @@global.general_log") != "1")
        {
            // Another test switched the server's general log off meanwhile.
            ASSERT_TRUE(qbtest::Exec(admin, "set global general_log = 1"));
            checked = false;
            continue;
        }
        ASSERT_EQ(batches.size(), 1u) << "one round trip";
        const std::string& batch = batches[0];
        EXPECT_EQ(batch.rfind(std::string(CFinalLogWriter::SET_NAMES_NO_LOCK_WAIT_SQL) + ";", 0), 0u)
            << batch.substr(0, 80);
        size_t n = 0;
        for (size_t p = batch.find("insert into syslog"); p != std::string::npos;
             p = batch.find("insert into syslog", p + 1))
            ++n;
        EXPECT_EQ(n, 50u);
        EXPECT_NE(batch.find(";insert into syslog(`lev`,`process`,`message`,`log_time`) values(1, " +
                             std::to_string(attempt * 100 + 1) + ",'m1','2012-05-01 08:09:10');"),
                  std::string::npos);
    }
    EXPECT_TRUE(checked) << "49 records never fitted in the cache age";
    // The general log stays on: other tests of the same server may be reading it.
    mysql_close(admin);
}

TEST_F(FinalWriterTest, DueByAgeOnTheNextRecordOrAtQuit)
{
    Install(m_DevDb.c_str());
    AlarmLog alarm = m_Rec.Alarm(1, "disk");
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);
    platform::Sleep(ScaledInterval(CFinalLogWriter::SUBMIT_AGE_MS) + 20);
    EXPECT_EQ(Count("alarm_log"), "0") << "age alone runs nothing";
    // Any record that reaches the writer looks at the ages, even one it drops.
    KeepAliveLog bad = m_Rec.KeepAlive(-1, 5, 1);
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &bad, nullptr), 1u);
    EXPECT_EQ(Count("alarm_log"), "1");

    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);
    EXPECT_EQ(Count("alarm_log"), "1");
    Quit();
    EXPECT_EQ(Count("alarm_log"), "2");
}

TEST_F(FinalWriterTest, LockedTableKeepsItsBatchWithoutHoldingTheRecordThread)
{
    Install(m_DevDb.c_str());
    AlarmLog alarm = m_Rec.Alarm(1, "disk");
    // Maintenance holds the table for 5 s (a repair, a long cleaning statement).
    MYSQL* maintenance = qbtest::AdminConnect(m_DevDb);
    ASSERT_TRUE(qbtest::Exec(maintenance, "lock tables alarm_log write"));
    std::thread release(
        [maintenance]
        {
            platform::Sleep(5000);
            qbtest::Exec(maintenance, "unlock tables");
        });
    const uint32_t start = platform::GetTickCount();
    for (uint32_t i = 0; i < CFinalLogWriter::SUBMIT_STATEMENT_COUNT; ++i)
        ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);
    const uint32_t took = platform::GetTickCount() - start;
    EXPECT_LT(took, 1000u) << "the record thread waited for the lock";
    EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_ALARM_LOG),
              CFinalLogWriter::SUBMIT_STATEMENT_COUNT);
    release.join();
    mysql_close(maintenance);
    // After the pause the next record submits the kept batch with its own statement.
    platform::Sleep(CFinalLogWriter::BUSY_RETRY_PAUSE_MS);
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);
    EXPECT_EQ(Count("alarm_log"), std::to_string(CFinalLogWriter::SUBMIT_STATEMENT_COUNT + 1));
}

TEST_F(FinalWriterTest, SixKeepalivesMakeOneDevStatRow)
{
    Install(m_DevDb.c_str());
    int64_t up = 0, down = 0;
    for (int i = 1; i <= 5; ++i)
    {
        KeepAliveLog k = m_Rec.KeepAlive(i * 1000, 2000000000, i);
        ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &k, nullptr), 1u);
        up += i * 1000;
        down += 2000000000;
        if (i == 3)
        {
            // Negative counters are dropped with a warning and do not count.
            KeepAliveLog bad = m_Rec.KeepAlive(5, -1, 30);
            ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &bad, nullptr), 1u);
        }
    }
    Final().OnQuit();
    EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_DEV_STAT), 0u);
    EXPECT_EQ(Count("dev_stat"), "0") << "five keepalives make no row";
    KeepAliveLog sixth = m_Rec.KeepAlive(6000, 1, 59);
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sixth, nullptr), 1u);
    Quit();
    std::vector<Row> rows = Query("select dev_ip, time, upload_flux, download_flux from dev_stat");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (Row{"3232235777", "2012-05-01 08:09:59", std::to_string(up + 6000),
                            std::to_string(down + 1)}));
    EXPECT_NE(
        qbtest::ReadTodayLog().find("[CFinalLogWriter][WriteLog] Recv Not Correct Flux.Up = 5 , Dw = -1\n"),
        std::string::npos);
}

// A statement the server refuses is logged with its text and dropped; the statements around it in the
// same batch still run.
TEST_F(FinalWriterTest, RejectedStatementIsDroppedAndTheRestRuns)
{
    Install(m_DevDb.c_str());
    for (int i = 1; i <= 5; ++i)
    {
        // Month 13 is no date: the strict server refuses that row.
        SystemLog sys =
            m_Rec.System(1, i, "r" + std::to_string(i), i == 3 ? wire::MakeDateWord(2012, 13, 1) : 0);
        ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
    }
    Quit();
    EXPECT_EQ(Query("select process from syslog order by process"),
              (std::vector<Row>{{"1"}, {"2"}, {"4"}, {"5"}}));
    EXPECT_NE(qbtest::ReadTodayLog().find("[SubmitSqlCache] Query Fail.Sql = insert into "
                                          "syslog(`lev`,`process`,`message`,`log_time`) values(1, "
                                          "3,'r3','2012-13-01 08:09:10') Err = 1292\n"),
              std::string::npos);
}

// The server away under an open connection, then back: nothing queued is lost. Away at the end of
// the connection: the end goes at once and the pending-SQL holder stores the statements once the
// server is back. Away when the collector stops: what the holder still has is reported.
TEST_F(FinalWriterTest, ServerAwayThenBackLosesNothing)
{
    CTcpRelay relay(static_cast<uint16_t>(atoi(getenv("QB_TEST_DB_PORT"))));
    ASSERT_TRUE(relay.Start());
    SetOption("mysql/my.ini", "mysqld", "port", std::to_string(relay.GetPort()));
    Install(m_DevDb.c_str());

    // Open a connection through the relay with a first batch.
    int process = 0;
    auto send = [&](int n)
    {
        for (int i = 0; i < n; ++i)
        {
            SystemLog sys = m_Rec.System(2, ++process, "p");
            ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
        }
    };
    send(50);
    ASSERT_EQ(Count("syslog"), "50");

    // The server goes away under the open connection.
    relay.Stop();
    send(60);
    EXPECT_EQ(Count("syslog"), "50");
    EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_SYSLOG), 60u);

    // Back again: the next record after the retry pause submits everything kept.
    ASSERT_TRUE(relay.Start());
    platform::Sleep(ScaledInterval(CFinalLogWriter::SUBMIT_RETRY_PAUSE_MS) + 20);
    send(1);
    EXPECT_EQ(Count("syslog"), "111");
    EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_SYSLOG), 0u);

    // Away at the end of the connection: the end does not wait for the server. The records were taken
    // (the device had its keepalives answered), so the holder takes their statements and its thread
    // stores them once the server is back.
    CHolderRun holderRun;
    CPendingSqlHolder* holder = CPendingSqlHolder::GetInstance();
    ASSERT_TRUE(holder->IsInit());
    const uint64_t storedBefore = holder->GetStoredCount();
    relay.Stop();
    send(3);
    uint32_t t0 = platform::GetTickCount();
    Final().OnQuit();
    EXPECT_LT(platform::GetTickCount() - t0, 1000u) << "the end waited for the server";
    EXPECT_EQ(Final().GetPendingTotal(), 0u);
    EXPECT_EQ(holder->GetPendingCount(), 3u);
    ASSERT_TRUE(relay.Start());
    EXPECT_TRUE(qbtest::WaitUntil([&] { return holder->GetPendingCount() == 0; }, 10000));
    EXPECT_EQ(Count("syslog"), "114");
    EXPECT_EQ(holder->GetStoredCount() - storedBefore, 3u);

    // Away when the collector itself stops: what the holder has then is reported when it lets it go.
    relay.Stop();
    send(2);
    Quit();
    EXPECT_EQ(holder->GetPendingCount(), 2u);
    holder->UnInit();
    EXPECT_EQ(Count("syslog"), "114");
    EXPECT_NE(qbtest::ReadTodayLog().find("[CPendingSqlHolder][UnInit] Held Statements Dropped = 2\n"),
              std::string::npos);

    // Each process and row exactly once.
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select count(distinct process) from syslog"), "114");
    SetOption("mysql/my.ini", "mysqld", "port", getenv("QB_TEST_DB_PORT"));
}

// Statements held for a database that is gone while the server answers (a device deleted during an
// outage) are given up after a few passes, with a warning: tried for ever, each try would hold the
// connection manager's lock through its attempts. Those of a database that is there are stored.
TEST_F(FinalWriterTest, HeldStatementsOfAVanishedDatabaseAreGivenUp)
{
    CHolderRun holderRun;
    CPendingSqlHolder* holder = CPendingSqlHolder::GetInstance();
    ASSERT_TRUE(holder->IsInit());
    const uint64_t refusedBefore = holder->GetRefusedCount(), storedBefore = holder->GetStoredCount();
    const std::string gone = m_Prefix + "gone";
    std::deque<std::string> toGone = {
        "insert into syslog(`lev`,`process`,`message`,`log_time`) values(1, 1,'g',"
        "'2012-05-01 08:09:10')"};
    std::deque<std::string> toDev = {
        "insert into syslog(`lev`,`process`,`message`,`log_time`) values(1, 2,'d',"
        "'2012-05-01 08:09:10')"};
    EXPECT_TRUE(holder->HandOver(gone, toGone));
    EXPECT_TRUE(holder->HandOver(m_DevDb, toDev));
    EXPECT_TRUE(qbtest::WaitUntil([&] { return holder->GetPendingCount() == 0; }, 20000));
    EXPECT_EQ(holder->GetRefusedCount() - refusedBefore, 1u);
    EXPECT_EQ(holder->GetStoredCount() - storedBefore, 1u);
    EXPECT_EQ(Count("syslog"), "1");
    holder->UnInit();
    EXPECT_NE(qbtest::ReadTodayLog().find("[CPendingSqlHolder][StoreAll] Server Answers But DbName = " +
                                          gone + " Cannot Be Reached. Statements Dropped = 1\n"),
              std::string::npos);
}

// Without a database name statements wait, at most MAX_PENDING_STATEMENTS per cache: the oldest go
// first, with a warning. Once the name is known everything left is stored.
TEST_F(FinalWriterTest, CacheWithoutDatabaseStaysBounded)
{
    Install(nullptr);
    const size_t limit = CFinalLogWriter::MAX_PENDING_STATEMENTS;
    for (size_t i = 1; i <= limit + 5; ++i)
    {
        SystemLog sys = m_Rec.System(0, static_cast<int>(i), "q");
        ASSERT_EQ(Final().WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
    }
    EXPECT_EQ(Final().GetPendingCount(CFinalLogWriter::SQL_CACHE_SYSLOG), limit);
    EXPECT_NE(qbtest::ReadTodayLog().find("[AppendSql] Cache Of syslog Holds"), std::string::npos);
    m_Chain.SetDbName(m_DevDb.c_str());
    Quit();
    EXPECT_EQ(Count("syslog"), std::to_string(limit));
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select min(process) from syslog"), "6");
}
} // namespace

namespace
{
// The statement texts, byte for byte, as they wait in their caches (no database name yet, so none is
// run).
TEST_F(FinalWriterTest, StatementTextsAsDesigned)
{
    Install(nullptr);
    KeepAliveLog k = m_Rec.KeepAlive(10, 20, 1);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &k, nullptr), 1u);
    SystemLog sys = m_Rec.System(4, 603, "x'y\\z");
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &sys, nullptr), 1u);
    AlarmLog alarm = m_Rec.Alarm(2, "\xE4\xB9\x97'");
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &alarm, nullptr), 1u);
    AdminLog admin;
    std::memset(&admin, 0, sizeof(admin));
    m_Rec.Head(admin.m_Head, LOG_TYPE_ADMIN, ADMIN_LOG_LEN);
    admin.m_Reserved1 = -1;
    admin.m_Action = 1, admin.m_Entity = 2, admin.m_Result = 0;
    admin.m_Address = wire::HostToNet32(1);
    RecordMaker::Text(admin.m_AdminName, sizeof(admin.m_AdminName), "root");
    RecordMaker::Text(admin.m_Message, sizeof(admin.m_Message), "m");
    ASSERT_EQ(m_Chain.WriteLog(SIGN_CODE_1111, &admin, nullptr), 1u);
    UserLogV3 flow = m_Rec.User(USER_ACTION_FLUX, "alice", GROUP, "");
    ASSERT_EQ(Final().WriteLog(SIGN_CODE_1111, &flow, nullptr), 1u);
    UserLogV3 access = m_Rec.User(USER_ACTION_RESOURCE, "alice", GROUP, "it's");
    ASSERT_EQ(Final().WriteLog(SIGN_CODE_1111, &access, nullptr), 1u);

    auto one = [&](int cache)
    {
        std::deque<std::string> sql = Final().GetPendingSql(cache);
        EXPECT_EQ(sql.size(), 1u) << CFinalLogWriter::GetSqlCacheName(cache);
        return sql.empty() ? std::string() : sql.front();
    };
    EXPECT_EQ(one(CFinalLogWriter::SQL_CACHE_DEV_STAT),
              "insert into dev_stat(`dev_ip`,`time`,`upload_flux`,`download_flux`) "
              "values(3232235777,'2012-05-01 08:09:01',60,120)");
    EXPECT_EQ(one(CFinalLogWriter::SQL_CACHE_SYSLOG),
              "insert into syslog(`lev`,`process`,`message`,`log_time`) "
              "values(4, 603,'x''y\\\\z','2012-05-01 08:09:10')");
    EXPECT_EQ(one(CFinalLogWriter::SQL_CACHE_ALARM_LOG),
              "insert into alarm_log (`type`,`message`,`log_time`) "
              "values(2,'\x81\x5C''','2012-05-01 08:09:10')");
    EXPECT_EQ(one(CFinalLogWriter::SQL_CACHE_ADT_LOG),
              "insert into adt_log "
              "(`log_time`,`adt_action`,`action_result`,`entity`,`adt_id`,`adt_name`,`adt_grp_id`,`address`,`"
              "message`) values('2012-05-01 08:09:10',1,0,2,7,'root',3,1,'m')");

    // record ids aside: the two statements of the access share theirs.
    auto split = [](const std::string& sql, const std::string& before)
    {
        size_t p = sql.find(before);
        EXPECT_NE(p, std::string::npos) << sql;
        size_t end = sql.find('\'', p + before.size());
        return std::make_pair(sql.substr(p + before.size(), end - p - before.size()),
                              sql.substr(0, p + before.size()) + "#" + sql.substr(end));
    };
    auto [flowId, flowSql] = split(one(CFinalLogWriter::SQL_CACHE_USRFLOWLOG), "values('");
    EXPECT_EQ(flowSql,
              "insert into "
              "UsrFlowLog(`record_id`,`user_id`,`svr_ip`,`grp_id`,`dw_flux`,`up_flux`,`raw_up_flux`,`raw_"
              "dw_flux`,`log_time`,`address`,`svr_port`) "
              "values('#',42,167772161,5,7,5000000000,6000000000,9,'2012-05-01 08:09:10',16909060,443)");
    auto [basicId, basicSql] = split(one(CFinalLogWriter::SQL_CACHE_USRBASICLOG), "values ('");
    EXPECT_EQ(basicSql,
              "insert  into UsrBasicLog(`record_id`, "
              "`user_id`,`user_name`,`grp_id`,`user_action`,`action_result`,`address`,`message`,`auth_"
              "method`,`log_time`, `svr_ip`, `svr_port`)  values "
              "('#',42,'alice',5,3,1,16909060,'it''s',300,'2012-05-01 08:09:10',167772161,443)");
    auto [svrId, svrSql] = split(one(CFinalLogWriter::SQL_CACHE_USRSVRLOG), "values('");
    EXPECT_EQ(svrSql,
              "insert  into UsrSvrLog (`record_id`, "
              "`user_id`,`svr_ip`,`grp_id`,`svr_port`,`svr_type`,`log_time`,`action_result`,`address`,`"
              "message`,`svr_attr`)values('#',42,167772161,5,443,2,'2012-05-01 08:09:10',1,16909060,'it''s',"
              "1)");
    EXPECT_EQ(basicId, svrId);
    EXPECT_NE(basicId, flowId);
    // (timer << 32) | sequence: the low word is a small sequence number, the high word the timer.
    int64_t id = std::stoll(basicId);
    EXPECT_GT(id & 0xFFFFFFFF, 0);
    EXPECT_LT(id & 0xFFFFFFFF, 2147483647);
    EXPECT_EQ(std::stoll(flowId) >> 32 <= id >> 32, true);
}
} // namespace
