#include "storage/SQLConnManager.h"
#include "config/ConfigManager.h"
#include "platform/Profile.h"
#include "platform/ServiceManager.h"
#include "platform/Tick.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace
{
bool ServerHasConnection(const std::string& id)
{
    MYSQL* admin = qbtest::AdminConnect();
    std::string n =
        qbtest::QueryValue(admin, "select count(*) from information_schema.processlist where id = " + id);
    mysql_close(admin);
    return n != "0";
}

class SQLConnManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        qbtest::UseTestDatabase("mysql");
        qbtest::PrepareDatabaseService();
        m_Db = qbtest::UniqueDbPrefix("conn") + "db";
        MYSQL* admin = qbtest::AdminConnect();
        ASSERT_TRUE(qbtest::Exec(admin, "create database `" + m_Db + "`"));
        mysql_close(admin);
    }
    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        CSQLConnManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Db);
    }
    std::string m_Db;
};

TEST_F(SQLConnManagerTest, ConnectionsOnlyWhileInitialised)
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    EXPECT_EQ(qbtest::ReadTodayLog().find("DbName = " + m_Db), std::string::npos)
        << "no connection may be tried before Init";

    ASSERT_TRUE(sql->Init());
    MYSQL* conn = sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(sql->GetConnCount(), 1u);
    // The statement text of the collector is GBK; several statements in one call work.
    EXPECT_EQ(mysql_query(conn, "set   names   'gbk'"), 0);
    EXPECT_EQ(qbtest::QueryValue(conn, "select @@character_set_client; select 2"), "gbk");
    EXPECT_EQ(qbtest::QueryValue(conn, "select database()"), m_Db);

    sql->ReleaseSqlConn(nullptr);
    EXPECT_EQ(sql->GetConnCount(), 1u);
    std::string id = qbtest::QueryValue(conn, "select connection_id()");
    sql->ReleaseSqlConn(conn);
    EXPECT_EQ(sql->GetConnCount(), 0u);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return !ServerHasConnection(id); }));

    // A connection the manager never handed out: warned about, and closed all the same.
    MYSQL* foreign = qbtest::AdminConnect();
    ASSERT_NE(foreign, nullptr);
    std::string foreignId = qbtest::QueryValue(foreign, "select connection_id()");
    sql->ReleaseSqlConn(foreign);
    EXPECT_NE(qbtest::ReadTodayLog().find("[ReleaseSqlConn] Specify SqlConn Cannot Be Found In SqlManager\n"),
              std::string::npos);
    EXPECT_TRUE(qbtest::WaitUntil([&] { return !ServerHasConnection(foreignId); }));

    ASSERT_TRUE(sql->UnInit());
    EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[MySqlMonitor] Thread Start...\n"), std::string::npos);
    EXPECT_NE(log.find("[MySqlMonitor] Thread Exit WaitRet = "), std::string::npos);
}

// A stop that comes while another thread is still inside the client library (an import the stop gave up
// on) leaves the library running under it instead of ending it.
TEST_F(SQLConnManagerTest, UnInitLeavesTheLibraryToAThreadStillInIt)
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    ASSERT_TRUE(sql->Init());
    std::atomic<int> result{-1};
    std::atomic<bool> querying{false};
    MYSQL* conn = nullptr;
    std::thread worker(
        [&]
        {
            CSQLConnManager::SqlThreadInit();
            conn = sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS);
            querying = true;
            result = conn != nullptr ? mysql_query(conn, "select sleep(2)") : -2;
            if (conn != nullptr)
                if (MYSQL_RES* r = mysql_store_result(conn))
                    mysql_free_result(r);
            CSQLConnManager::SqlThreadEnd();
        });
    ASSERT_TRUE(qbtest::WaitUntil([&] { return querying.load(); }, 10000));
    platform::Sleep(200);
    EXPECT_TRUE(sql->UnInit());
    worker.join();
    EXPECT_EQ(result.load(), 0) << "the query in flight finished";
    EXPECT_NE(
        qbtest::ReadTodayLog().find("[UnInit] 1 Thread(s) Still Use MySQL Library , Library Not Ended.\n"),
        std::string::npos);
    // The connection the thread kept is given back to a manager started again, as the next test expects.
    ASSERT_TRUE(sql->Init());
    sql->ReleaseSqlConn(conn);
    EXPECT_EQ(sql->GetConnCount(), 0u);
}

TEST_F(SQLConnManagerTest, WrongPasswordCostsThreeAttemptsAndIsNeverLogged)
{
    CConfigManager* config = CConfigManager::GetInstance();
    std::string kelv = config->GetConfigFilePath("Kelv.conf");
    std::string wrong = "Wr0ngPw" + std::to_string(getpid());
    platform::WritePrivateProfileString("DatabaseConfig", "DBPwd", wrong, kelv);
    config->LoadConfig("Kelv.conf");

    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    ASSERT_TRUE(sql->Init());
    EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    EXPECT_EQ(sql->GetConnCount(), 0u);
    qbtest::UseTestDatabase("mysql");

    std::string log = qbtest::ReadTodayLog();
    std::string line = "[AllocSqlConn] Cannot Connect MySQL " + std::string(getenv("QB_TEST_DB_HOST")) + ":" +
                       getenv("QB_TEST_DB_PORT") + " DbName = " + m_Db +
                       " , User = " + getenv("QB_TEST_DB_USER") + " , PW = *** , Errno = 1045 , ErrStr = ";
    EXPECT_EQ(qbtest::CountOf(log, line), 3u) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    EXPECT_EQ(log.find(wrong), std::string::npos);
    EXPECT_EQ(log.find("PW = " + std::string(getenv("QB_TEST_DB_PASSWORD")) + " "), std::string::npos);

    // Callers failing together pause side by side: one caller's retries never wait out another's
    // (ending device connections did so, one after the other, while the server was away).
    std::string divisor = qbtest::EnvText("QUILLBARN_TEST_TIME_DIVISOR");
    setenv("QUILLBARN_TEST_TIME_DIVISOR", "10", 1); // 300 ms between attempts
    platform::WritePrivateProfileString("DatabaseConfig", "DBPwd", wrong, kelv);
    config->LoadConfig("Kelv.conf");
    uint64_t start = platform::GetTickCount64();
    EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    uint64_t one = platform::GetTickCount64() - start;
    start = platform::GetTickCount64();
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back(
            [&] { EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr); });
    for (std::thread& t : callers)
        t.join();
    uint64_t four = platform::GetTickCount64() - start;
    setenv("QUILLBARN_TEST_TIME_DIVISOR", divisor.c_str(), 1);
    EXPECT_LT(four, 2 * one) << "one caller " << one << " ms, four together " << four << " ms";
    qbtest::UseTestDatabase("mysql");

    // The right password works again at once.
    MYSQL* conn = sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS);
    EXPECT_NE(conn, nullptr);
    sql->ReleaseSqlConn(conn);
}

TEST_F(SQLConnManagerTest, MonitorClosesConnectionsOfEndedThreadsOnly)
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    ASSERT_TRUE(sql->Init());
    size_t before =
        qbtest::CountOf(qbtest::ReadTodayLog(), "[MysqlConnCleanUp] Release A MySql Connection!\n");

    MYSQL* mine = sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(mine, nullptr);
    std::string leftId;
    std::thread worker(
        [&]
        {
            CSQLConnManager::SqlThreadInit();
            MYSQL* left = sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS);
            if (left != nullptr)
                leftId = qbtest::QueryValue(left, "select connection_id()");
            CSQLConnManager::SqlThreadEnd();
        });
    worker.join();
    ASSERT_FALSE(leftId.empty());

    EXPECT_TRUE(qbtest::WaitUntil([&] { return sql->GetConnCount() == 1; })) << sql->GetConnCount();
    EXPECT_TRUE(qbtest::WaitUntil([&] { return !ServerHasConnection(leftId); }));
    EXPECT_EQ(qbtest::CountOf(qbtest::ReadTodayLog(), "[MysqlConnCleanUp] Release A MySql Connection!\n"),
              before + 1);

    // The live thread's connection is untouched by later passes.
    platform::Sleep(50);
    EXPECT_EQ(sql->MysqlConnCleanUp(), 1);
    EXPECT_EQ(qbtest::QueryValue(mine, "select 7"), "7");
    sql->ReleaseSqlConn(mine);
    EXPECT_EQ(sql->GetConnCount(), 0u);
}

TEST_F(SQLConnManagerTest, MonitorRestartsStoppedDatabaseService)
{
    const char* name = CSQLConnManager::MYSQL_SERVICE_NAME;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    ASSERT_TRUE(sql->Init());
    pid_t first = platform::GetServicePid(name);
    ASSERT_NE(first, 0);
    size_t before = qbtest::CountOf(qbtest::ReadTodayLog(), "[MakeMySqlOK] Start MySql Service Succeed.\n");

    ASSERT_TRUE(platform::ControlServiceStop(name));
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            pid_t now = platform::GetServicePid(name);
            return now != 0 && now != first;
        }));
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::CountOf(qbtest::ReadTodayLog(), "[MakeMySqlOK] Start MySql Service Succeed.\n") >
                   before;
        }));
    EXPECT_NE(qbtest::ReadTodayLog().find("[MySqlMonitor] MySQL Is OK.\n"), std::string::npos);
    // Running again once it has lived past its start-up second.
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return platform::QueryServiceState(name) == platform::ServiceState::Running; }));
}

TEST_F(SQLConnManagerTest, InitFailsWhenTheDatabaseServiceIsMissing)
{
    const char* name = CSQLConnManager::MYSQL_SERVICE_NAME;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    platform::ControlServiceStop(name);
    qbtest::WaitUntil([&] { return platform::GetServicePid(name) == 0; });
    ASSERT_TRUE(platform::DeleteService(name));

    EXPECT_FALSE(sql->Init());
    EXPECT_EQ(sql->AllocSqlConn(m_Db.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    EXPECT_NE(qbtest::ReadTodayLog().find("[MakeMySqlOK] Cannot Open Service Err = 1060\n"),
              std::string::npos);
    EXPECT_TRUE(qbtest::WaitUntil(
        [] {
            return qbtest::ReadTodayLog().find("[MySqlMonitor] Cannot MakeMysqlOK!!\n") != std::string::npos;
        }));
    sql->UnInit();

    // Put the stand-in back for the tests that follow in this process.
    ASSERT_TRUE(platform::CreateService(name, name, qbtest::DatabaseServiceStandInCommand()));
    ASSERT_TRUE(platform::StartService(name));
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return platform::QueryServiceState(name) == platform::ServiceState::Running; }));
}
} // namespace
