// The schema-upgrade library against the test MariaDB: it is loaded the way an installer loads it
// (dlopen + dlsym of build/lib/libschemalift.so), fed device databases as they stood before M4.3
// (sql/devicedb_pre_m43.sql), and its results are compared through information_schema with a
// database created from the current schema (sql/devicedb.sql).
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{
using UpdateFn = int (*)(const char*, const char*, const char*, const char*, int, const char*);

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// All rows of a query, each row's fields joined by tabs (NULL shown as "NULL").
std::vector<std::string> Rows(MYSQL* conn, const std::string& sql)
{
    std::vector<std::string> rows;
    if (mysql_query(conn, sql.c_str()) != 0)
    {
        ADD_FAILURE() << sql << ": " << mysql_error(conn);
        return rows;
    }
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        return rows;
    unsigned fields = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res))
    {
        std::string line;
        for (unsigned i = 0; i < fields; ++i)
            line += (i ? "\t" : "") + std::string(row[i] != nullptr ? row[i] : "NULL");
        rows.push_back(line);
    }
    mysql_free_result(res);
    return rows;
}

// What makes up a database's schema, read from information_schema; the database name is left out
// so that two databases compare equal. Routine definers and creation charsets are not part of it
// (a freshly created database has its loader as definer); view texts neither, because they carry
// the day of the last aggregation. Views still compare by their columns.
struct Schema
{
    std::vector<std::string> tables, columns, keys, routines, parameters;
};

Schema ReadSchema(MYSQL* conn, const std::string& db)
{
    std::string where = " where table_schema = '" + db + "'";
    Schema s;
    s.tables = Rows(conn, "select table_name, table_type, ifnull(engine, ''), ifnull(create_options, ''), "
                          "ifnull(table_collation, '') from information_schema.tables" +
                              where + " order by table_name");
    s.columns = Rows(conn, "select table_name, ordinal_position, column_name, column_type, is_nullable, "
                           "ifnull(column_default, '<none>'), extra, ifnull(collation_name, '') "
                           "from information_schema.columns" +
                               where + " order by table_name, ordinal_position");
    s.keys = Rows(conn, "select table_name, index_name, seq_in_index, column_name, non_unique, index_type "
                        "from information_schema.statistics" +
                            where + " order by table_name, index_name, seq_in_index");
    s.routines =
        Rows(conn, "select routine_name, routine_type, ifnull(dtd_identifier, ''), routine_definition, "
                   "is_deterministic, sql_data_access, security_type from information_schema.routines "
                   "where routine_schema = '" +
                       db + "' order by routine_name");
    s.parameters = Rows(conn, "select specific_name, ordinal_position, ifnull(parameter_mode, ''), "
                              "ifnull(parameter_name, ''), dtd_identifier from information_schema.parameters "
                              "where specific_schema = '" +
                                  db + "' order by specific_name, ordinal_position");
    return s;
}

void ExpectSameSchema(const Schema& want, const Schema& got, const std::string& what)
{
    EXPECT_EQ(want.tables, got.tables) << what << ": tables and views";
    EXPECT_EQ(want.columns, got.columns) << what << ": columns";
    EXPECT_EQ(want.keys, got.keys) << what << ": keys";
    EXPECT_EQ(want.routines, got.routines) << what << ": routines";
    EXPECT_EQ(want.parameters, got.parameters) << what << ": parameters";
}

// The log lines of the repeatable steps for one device database.
std::string M57Log(const std::string& db)
{
    return "create PROCEDURE GenMid_UserBwOptFlow success...\n"
           "modify table admin field Name success...\n"
           "modify table admin field password success...\n"
           "modify PROCEDURE repairTables success...\n"
           "create usrfileauditlog success...\n"
           "update " +
           db + " to M5.7 success!\n";
}

// The log lines of one device database's first upgrade from before M4.3.
std::string FullUpgradeLog(const std::string& db)
{
    return "--------------------------------\nstart to update " + db +
           " ...\n"
           "alter usrflowlog success...\n"
           "create table svr_bwoptflow success...\n"
           "create table user_bwoptflow success...\n"
           "create PROCEDURE GenMid_SvrBWOptFlow success...\n"
           "create PROCEDURE GenMid_UserBwOptFlow success...\n"
           "modify PROCEDURE GenMid_Manual success...\n"
           "modify PROCEDURE CleanByTime success...\n"
           "modify PROCEDURE repairTables success...\n"
           "modify FUNCTION getMidTabLastUpdateTime success...\n"
           "modify PROCEDURE RebuildView success...\n"
           "after veiw...\n"
           "modify PROCEDURE GetDeviceFlowTrend success...\n"
           "call RebuildView 9\xA1\xA2"
           "10 success...\n"
           "update " +
           db + " to M5.0 success!\n" + M57Log(db);
}

class SchemaLiftTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set (run through scripts/test.sh)";
        std::string lib = qbtest::BinDir() + "/../lib/libschemalift.so";
        m_Lib = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_Lib, nullptr) << dlerror();
        m_Update = reinterpret_cast<UpdateFn>(dlsym(m_Lib, "update_velmo_dc"));
        ASSERT_NE(m_Update, nullptr) << dlerror();

        m_Admin = qbtest::AdminConnect();
        ASSERT_NE(m_Admin, nullptr);
        // Every run alters the fixed global database `velmoglobaldb`; tests of other processes
        // that run the upgrade on the same server wait here for their turn.
        ASSERT_EQ(qbtest::QueryValue(m_Admin, "select get_lock('quillbarn.velmoglobaldb', 600)"), "1");
        ASSERT_TRUE(qbtest::RunSqlFile("", std::string(QB_SOURCE_DIR) + "/sql/globaldb.sql"));

        m_Prefix = qbtest::UniqueDbPrefix("lift");
        m_Dir = qbtest::MakeTempDir("schemalift_test");
        ASSERT_FALSE(m_Dir.empty());
        m_Log = m_Dir + "/upgrade.log";
    }

    void TearDown() override
    {
        if (m_Admin != nullptr)
        {
            for (const std::string& db : m_Databases)
                qbtest::Exec(m_Admin, "drop database if exists `" + db + "`");
            qbtest::QueryValue(m_Admin, "select release_lock('quillbarn.velmoglobaldb')");
            mysql_close(m_Admin);
        }
        if (!m_Dir.empty())
            qbtest::RemoveTree(m_Dir);
        if (m_Lib != nullptr)
            dlclose(m_Lib);
    }

    std::string Name(const std::string& tag) { return m_Prefix + tag; }

    // A database created from one of the shipped schema files.
    std::string Database(const std::string& tag, const std::string& file)
    {
        std::string db = Name(tag);
        m_Databases.push_back(db);
        EXPECT_TRUE(qbtest::Exec(m_Admin, "create database `" + db + "` default character set utf8"));
        EXPECT_TRUE(qbtest::RunSqlFile(db, std::string(QB_SOURCE_DIR) + "/sql/" + file)) << file;
        return db;
    }

    // A private device list (the shipped dev_node table) naming `devices`.
    std::string DeviceList(const std::vector<std::string>& devices)
    {
        std::string db = Name("list" + std::to_string(m_Databases.size()));
        m_Databases.push_back(db);
        EXPECT_TRUE(qbtest::CreateGlobalDatabase(db));
        int i = 0;
        for (const std::string& d : devices)
        {
            ++i;
            EXPECT_TRUE(
                qbtest::Exec(m_Admin, "insert into `" + db +
                                          "`.dev_node (node_name, secret, md5_secret, db_name) values ('gw" +
                                          std::to_string(i) + "', 's', md5('" + d + "'), '" + d + "')"));
        }
        return db;
    }

    int Upgrade(const std::string& list, const std::string& password, const std::string& logPath)
    {
        return m_Update(qbtest::EnvText("QB_TEST_DB_HOST").c_str(),
                        qbtest::EnvText("QB_TEST_DB_USER").c_str(), password.c_str(), list.c_str(),
                        atoi(qbtest::EnvText("QB_TEST_DB_PORT").c_str()), logPath.c_str());
    }
    int Upgrade(const std::string& list)
    {
        return Upgrade(list, qbtest::EnvText("QB_TEST_DB_PASSWORD"), m_Log);
    }

    std::string Value(const std::string& sql) { return qbtest::QueryValue(m_Admin, sql, "<none>"); }
    bool Exec(const std::string& sql)
    {
        bool ok = qbtest::Exec(m_Admin, sql);
        EXPECT_TRUE(ok) << sql << ": " << mysql_error(m_Admin);
        return ok;
    }
    std::string ColumnType(const std::string& db, const std::string& table, const std::string& column)
    {
        return Value("select column_type from information_schema.columns where table_schema = '" + db +
                     "' and table_name = '" + table + "' and column_name = '" + column + "'");
    }

    void* m_Lib = nullptr;
    UpdateFn m_Update = nullptr;
    MYSQL* m_Admin = nullptr;
    std::string m_Prefix, m_Dir, m_Log;
    std::vector<std::string> m_Databases;
};

TEST_F(SchemaLiftTest, PreM43DatabasesAndTheGlobalDatabaseReachTheCurrentSchema)
{
    std::string current = Database("current", "devicedb.sql");
    std::string a = Database("old_a", "devicedb_pre_m43.sql");
    std::string b = Database("old_b", "devicedb_pre_m43.sql");
    // An older bandwidth table with rows: the M4.3 step replaces it by an empty one.
    Exec("create table `" + b + "`.svr_bwoptflow (Svr_IP int(11) unsigned not null, up_flow bigint(20), " +
         "date datetime not null) engine=MyISAM");
    Exec("insert into `" + b + "`.svr_bwoptflow values (1, 5, '2024-01-01')");
    Exec("create table `" + b + "`.user_bwoptflow (User_id int(11) not null, date datetime not null)");
    Exec("insert into `" + b + "`.user_bwoptflow values (3, '2024-01-01')");
    Exec("insert into `" + a + "`.admin (id, Name, password) values (1, 'root', 'x')");
    Exec("alter table velmoglobaldb.sys_adt modify sys_adt_pass varchar(64)");

    ASSERT_EQ(Upgrade(DeviceList({a, b})), 0);

    Schema want = ReadSchema(m_Admin, current);
    ASSERT_FALSE(want.routines.empty());
    ExpectSameSchema(want, ReadSchema(m_Admin, a), a);
    ExpectSameSchema(want, ReadSchema(m_Admin, b), b);
    EXPECT_EQ(Value("select count(*) from `" + b + "`.svr_bwoptflow"), "0");
    EXPECT_EQ(Value("select count(*) from `" + b + "`.user_bwoptflow"), "0");
    EXPECT_EQ(Value("select concat(id, Name, password) from `" + a + "`.admin"), "1rootx");
    EXPECT_EQ(
        Value("select group_concat(distinct definer) from information_schema.routines where "
              "routine_schema = '" +
              a + "' and routine_name in ('RebuildView', 'GenMid_SvrBWOptFlow', 'getMidTabLastUpdateTime')"),
        "root@localhost");
    EXPECT_EQ(ColumnType("velmoglobaldb", "sys_adt", "sys_adt_pass"), "varchar(256)");

    std::string log = qbtest::ReadFile(m_Log);
    ASSERT_EQ(log.compare(0, 1, "\n"), 0) << log;
    // "\n" + ctime text ("Www Mmm dd hh:mm:ss yyyy\n") + banner.
    size_t banner = log.find("~~~~~~~~~~~~Start to update DB to M4.3~~~~~~~~~~~~\n");
    ASSERT_EQ(banner, 26u) << log;
    EXPECT_EQ(log[25], '\n');
    EXPECT_EQ(log.substr(banner + 51),
              FullUpgradeLog(a) + FullUpgradeLog(b) + "Alter sys_adt Table Succeed...");
}

TEST_F(SchemaLiftTest, SecondRunChangesNothingAndKeepsBandwidthRows)
{
    std::string current = Database("current", "devicedb.sql");
    std::string old = Database("old", "devicedb_pre_m43.sql");
    std::string list = DeviceList({old, current});
    ASSERT_EQ(Upgrade(list), 0);
    Exec("insert into `" + old +
         "`.svr_bwoptflow (Svr_IP, scale, hour, date) values (1, 2, 3, '2024-01-01')");
    Exec("insert into `" + old +
         "`.user_bwoptflow (User_id, scale, hour, date) values (4, 5, 6, '2024-01-01')");
    Exec("insert into `" + current +
         "`.svr_bwoptflow (Svr_IP, scale, hour, date) values (7, 0, 0, '2024-01-01')");
    Schema afterFirst = ReadSchema(m_Admin, old);
    Schema reference = ReadSchema(m_Admin, current);
    ExpectSameSchema(reference, afterFirst, "first run");

    ASSERT_EQ(unlink(m_Log.c_str()), 0);
    ASSERT_EQ(Upgrade(list), 0);

    ExpectSameSchema(afterFirst, ReadSchema(m_Admin, old), old);
    ExpectSameSchema(reference, ReadSchema(m_Admin, current), current);
    EXPECT_EQ(Value("select count(*) from `" + old + "`.svr_bwoptflow"), "1");
    EXPECT_EQ(Value("select count(*) from `" + old + "`.user_bwoptflow"), "1");
    EXPECT_EQ(Value("select count(*) from `" + current + "`.svr_bwoptflow"), "1");
    std::string log = qbtest::ReadFile(m_Log);
    for (const std::string& db : {old, current})
    {
        std::string lines = "--------------------------------\nstart to update " + db + " ...\n" + db +
                            " is already Version M4.3\nupdate " + db + " to M5.0 success!\n" + M57Log(db);
        EXPECT_NE(log.find(lines), std::string::npos) << log;
    }
    EXPECT_EQ(log.find("alter usrflowlog"), std::string::npos) << log;
}

TEST_F(SchemaLiftTest, AuditTableOfAnEarlierUpgradeIsWidened)
{
    // A database upgraded by an earlier release: at M4.3, with the audit table as that release
    // created it (256-character names, 32-bit sizes) and its cleaning routines.
    std::string db = Database("earlier", "devicedb.sql");
    ASSERT_TRUE(qbtest::RunSqlFile(
        db, std::string(QB_SOURCE_DIR) + "/tests/integration/maintenance/data/cleaning_routines_before.sql"));
    Exec("alter table `" + db + "`.usrfileauditlog modify filename varchar(256) DEFAULT NULL, " +
         "modify filesize int(11) DEFAULT NULL");
    Exec("insert into `" + db +
         "`.usrfileauditlog (user_id, filename, filesize, log_time) values (1, 'a.txt', 7, " +
         "'2024-01-01')");
    ASSERT_EQ(Upgrade(DeviceList({db})), 0);
    EXPECT_EQ(ReadSchema(m_Admin, db).routines,
              ReadSchema(m_Admin, Database("current", "devicedb.sql")).routines);
    EXPECT_EQ(ColumnType(db, "usrfileauditlog", "filename"), "varchar(260)");
    EXPECT_EQ(ColumnType(db, "usrfileauditlog", "filesize"), "bigint(20)");
    EXPECT_EQ(Value("select concat(filename, filesize) from `" + db + "`.usrfileauditlog"), "a.txt7");
    Exec("insert into `" + db + "`.usrfileauditlog (user_id, filename, filesize, log_time) values (2, '" +
         std::string(259, 'n') + "', 5000000000, '2024-01-01')");
    EXPECT_EQ(Value("select concat(length(filename), ' ', filesize) from `" + db +
                    "`.usrfileauditlog where user_id = 2"),
              "259 5000000000");
}

TEST_F(SchemaLiftTest, RebuiltBandwidthViewsReturnLiveSumsOfTheFlowLog)
{
    std::string db = Database("views", "devicedb_pre_m43.sql");
    // The oldest flow row decides the first day that the views compute live.
    Exec("insert into `" + db +
         "`.usrflowlog (record_id, user_id, svr_ip, grp_id, dw_flux, up_flux, log_time, " +
         "address, svr_port) values (1, 1, 10, 1, 200, 100, '2024-03-05 10:07:00', 7, 80)");
    ASSERT_EQ(Upgrade(DeviceList({db})), 0);
    ASSERT_EQ(Value("select count(*) from information_schema.views where table_schema = '" + db +
                    "' and table_name in ('view_svr_bwoptflow', 'view_user_bwoptflow')"),
              "2");

    // Rows written after the upgrade show at once: the views sum the log itself.
    std::string t = "`" + db + "`.usrflowlog";
    Exec("update " + t + " set raw_up_flux = 1000, raw_dw_flux = 2000 where record_id = 1");
    Exec("insert into " + t +
         " (record_id, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, "
         "address, "
         "svr_port) values "
         "(2, 1, 10, 1, 2, 1, 4, 3, '2024-03-05 10:09:59', 7, 80),"
         "(3, 2, 10, 1, 20, 10, 40, 30, '2024-03-05 10:15:00', 8, 80),"
         "(4, 1, 11, 1, 6, 5, 8, 7, '2024-03-06 23:59:00', 7, 443)");
    // Stored rows count only before the first live day.
    Exec("insert into `" + db + "`.svr_bwoptflow values (12, 1, 1, 1, 1, 3, 4, '2024-03-01', 22)," +
         "(99, 1, 1, 1, 1, 0, 10, '2024-03-05', 80)");
    Exec("insert into `" + db + "`.user_bwoptflow values (5, 1, 1, 1, 1, 3, 4, '2024-03-01', 9)");

    EXPECT_EQ(Rows(m_Admin,
                   "select Svr_IP, up_flow, dw_flow, raw_up_flow, raw_dw_flow, scale, hour, date, Svr_Port "
                   "from `" +
                       db + "`.view_svr_bwoptflow order by date, Svr_IP, hour, scale"),
              (std::vector<std::string>{"12\t1\t1\t1\t1\t3\t4\t2024-03-01 00:00:00\t22",
                                        "10\t101\t202\t1003\t2004\t0\t10\t2024-03-05 00:00:00\t80",
                                        "10\t10\t20\t30\t40\t1\t10\t2024-03-05 00:00:00\t80",
                                        "11\t5\t6\t7\t8\t5\t23\t2024-03-06 00:00:00\t443"}));
    EXPECT_EQ(Rows(m_Admin,
                   "select User_id, up_flow, dw_flow, raw_up_flow, raw_dw_flow, scale, hour, date, address "
                   "from `" +
                       db + "`.view_user_bwoptflow order by date, User_id, hour, scale"),
              (std::vector<std::string>{"5\t1\t1\t1\t1\t3\t4\t2024-03-01 00:00:00\t9",
                                        "1\t101\t202\t1003\t2004\t0\t10\t2024-03-05 00:00:00\t7",
                                        "2\t10\t20\t30\t40\t1\t10\t2024-03-05 00:00:00\t8",
                                        "1\t5\t6\t7\t8\t5\t23\t2024-03-06 00:00:00\t7"}));
}

TEST_F(SchemaLiftTest, FailingDatabasesAreLoggedAndTheWalkGoesOn)
{
    std::string missing = Name("missing");
    // usrbasiclog is gone: M4.3 stops at its second step, M5.7 still runs all of its steps.
    std::string broken = Database("broken", "devicedb_pre_m43.sql");
    Exec("drop table `" + broken + "`.usrbasiclog");
    // raw_up_flux exists but raw_dw_flux does not: the second statement of step 1 fails.
    std::string half = Database("half", "devicedb_pre_m43.sql");
    Exec("alter table `" + half + "`.usrflowlog add raw_up_flux bigint(20) DEFAULT NULL");
    std::string old = Database("old", "devicedb_pre_m43.sql");

    ASSERT_EQ(Upgrade(DeviceList({missing, broken, half, old})), 0);

    std::string log = qbtest::ReadFile(m_Log);
    EXPECT_NE(log.find("start to update " + missing + " ...\nQuery failed (Unknown database '" + missing +
                       "')\nupdate " + missing +
                       " to M5.0 failed!\nError connecting to database:Unknown database '" + missing +
                       "'\nupdate " + missing + " to M5.7 failed!\n"),
              std::string::npos)
        << log;
    std::string brokenTable = "Table '" + broken + ".usrbasiclog' doesn't exist";
    EXPECT_NE(log.find("start to update " + broken +
                       " ...\nalter usrflowlog success...\nalter usrbasiclog failed (" + brokenTable +
                       ")\nupdate " + broken + " to M5.0 failed!\nalter usrbasiclog failed (" + brokenTable +
                       ")\ncreate PROCEDURE GenMid_UserBwOptFlow success...\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("create usrfileauditlog success...\nupdate " + broken + " to M5.7 success!\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(ColumnType(broken, "usrflowlog", "raw_dw_flux"), "bigint(20)");
    EXPECT_EQ(ColumnType(broken, "svr_bwoptflow", "Svr_IP"), "<none>");
    EXPECT_EQ(ColumnType(broken, "admin", "password"), "varchar(256)");

    EXPECT_NE(log.find("start to update " + half +
                       " ...\nalter usrflowlog failed (Duplicate column name "
                       "'raw_up_flux')\nupdate " +
                       half + " to M5.0 failed!\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(FullUpgradeLog(old) + "Alter sys_adt Table Succeed..."), std::string::npos) << log;
}

TEST_F(SchemaLiftTest, RunResultsAndTheLogFile)
{
    // An empty device list: only the global database is touched.
    std::string empty = DeviceList({});
    EXPECT_EQ(Upgrade(empty), 0);
    std::string log = qbtest::ReadFile(m_Log);
    EXPECT_EQ(log.find("start to update"), std::string::npos) << log;
    EXPECT_TRUE(EndsWith(log, "~~~~~~~~~~~~Start to update DB to M4.3~~~~~~~~~~~~\n"
                              "Alter sys_adt Table Succeed..."))
        << log;

    // Whole-run failures: the connection, then the device-list query. The log is appended to.
    EXPECT_EQ(Upgrade(empty, "wrong-password", m_Log), -1);
    log = qbtest::ReadFile(m_Log);
    EXPECT_NE(log.find("Alter sys_adt Table Succeed...\n"), std::string::npos) << log;
    EXPECT_NE(log.find("~~~~~~~~~~~~\nError connecting to database:Access denied for user '" +
                       qbtest::EnvText("QB_TEST_DB_USER") + "'@'"),
              std::string::npos)
        << log;
    std::string noTable = Name("notable");
    m_Databases.push_back(noTable);
    Exec("create database `" + noTable + "`");
    EXPECT_EQ(Upgrade(noTable), -1);
    log = qbtest::ReadFile(m_Log);
    EXPECT_TRUE(
        EndsWith(log, "~~~~~~~~~~~~\nQuery failed (Table '" + noTable + ".dev_node' doesn't exist)\n"))
        << log;

    // A log file that cannot be opened silences the log, not the upgrade.
    std::string old = Database("old", "devicedb_pre_m43.sql");
    EXPECT_EQ(Upgrade(DeviceList({old}), qbtest::EnvText("QB_TEST_DB_PASSWORD"),
                      m_Dir + "/no/such/dir/upgrade.log"),
              0);
    EXPECT_EQ(ColumnType(old, "usrflowlog", "raw_up_flux"), "bigint(20)");
    EXPECT_EQ(ColumnType(old, "usrfileauditlog", "filesize"), "bigint(20)");
}

TEST_F(SchemaLiftTest, CommandLineFrontEnd)
{
    std::string cli = qbtest::BinDir() + "/schemalift-cli";
    std::string old = Database("old", "devicedb_pre_m43.sql");
    std::string list = DeviceList({old});
    std::string port = qbtest::EnvText("QB_TEST_DB_PORT");
    EXPECT_EQ(qbtest::RunProgram({cli, qbtest::EnvText("QB_TEST_DB_HOST"), qbtest::EnvText("QB_TEST_DB_USER"),
                                  "wrong", list, port, m_Log}),
              255);
    EXPECT_EQ(qbtest::RunProgram({cli, qbtest::EnvText("QB_TEST_DB_HOST"), qbtest::EnvText("QB_TEST_DB_USER"),
                                  "x", list, "80a", m_Log}),
              2);
    EXPECT_EQ(qbtest::RunProgram({cli, "a", "b"}), 2);
    EXPECT_EQ(ColumnType(old, "usrflowlog", "raw_dw_flux"), "<none>");

    // The password from standard input keeps it out of the process list.
    std::string cmd = "printf '%s\\n' " + qbtest::ShellQuote(qbtest::EnvText("QB_TEST_DB_PASSWORD")) + " | " +
                      qbtest::ShellQuote(cli) + " " + qbtest::ShellQuote(qbtest::EnvText("QB_TEST_DB_HOST")) +
                      " " + qbtest::ShellQuote(qbtest::EnvText("QB_TEST_DB_USER")) + " - " +
                      qbtest::ShellQuote(list) + " " + port + " " + qbtest::ShellQuote(m_Log) + " >" +
                      qbtest::ShellQuote(m_Dir + "/cli.out");
    EXPECT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(ColumnType(old, "usrflowlog", "raw_dw_flux"), "bigint(20)");
    EXPECT_NE(qbtest::ReadFile(m_Log).find("update " + old + " to M5.7 success!\n"), std::string::npos);
    // Each database as it is done, then the summary.
    EXPECT_EQ(qbtest::ReadFile(m_Dir + "/cli.out"),
              "schemalift-cli: 1 of 1 " + old +
                  " upgraded\nschemalift-cli: 1 database(s) upgraded, 0 "
                  "failed (details in " +
                  m_Log + ")\n");
}
} // namespace
