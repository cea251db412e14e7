#include "maintenance/DataBaseCleanTask.h"
#include "maintenance/ReportTableGenTask.h"
#include "maintenance/TableRepairTask.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
std::string ConfigPath(const char* name)
{
    return CConfigManager::GetInstance()->GetConfigFilePath(name);
}

void SetOption(const char* file, const char* section, const char* key, const std::string& value)
{
    platform::WritePrivateProfileString(section, key, value, ConfigPath(file));
    CConfigManager::GetInstance()->LoadConfig(file);
}

// statistics.conf with only the four maintenance statements.
void WriteMaintenanceStatements(const std::string& procByTime, const std::string& byTime,
                                const std::string& byContent, const std::string& repair)
{
    qbtest::WriteFile(ConfigPath("statistics.conf"), "[Count]\nTableCount=0\n[CleanBaseProcByTime]\n" +
                                                         procByTime + "\n[CleanBaseByTime]\n" + byTime +
                                                         "\n[CleanBaseByContent]\n" + byContent +
                                                         "\n[RepairTable]\n" + repair + "\n");
    CConfigManager::GetInstance()->LoadConfig("statistics.conf");
}

void RestoreShippedStatistics()
{
    qbtest::WriteFile(ConfigPath("statistics.conf"),
                      qbtest::ReadFile(std::string(QB_SOURCE_DIR) + "/conf/statistics.conf"));
    CConfigManager::GetInstance()->LoadConfig("statistics.conf");
}

class MaintenanceDbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        m_Prefix = qbtest::UniqueDbPrefix("mnt");
        m_Db = m_Prefix + "dev";
        qbtest::UseTestDatabase(m_Prefix + "global");
        qbtest::PrepareDatabaseService();
        CBuffManager::GetInstance()->Init();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_Db));
        m_Conn = qbtest::AdminConnect(m_Db);
        ASSERT_NE(m_Conn, nullptr);
        m_ServerDataDir = qbtest::QueryValue(m_Conn, "select @@datadir");
        m_MyIniDataDir = CConfigManager::GetInstance()->GetMySqldCopy().m_DataDir;
        m_LogMark = qbtest::ReadTodayLog().size();
    }
    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        CClock::SetOverride(nullptr);
        RestoreShippedStatistics();
        SetOption("Kelv.conf", "ClearRule", "DbCyc", "180");
        SetOption("Kelv.conf", "ClearRule", "DbContent", "5000");
        SetOption("Kelv.conf", "DiskFreeSpace", "ISFULL", "0");
        SetOption("mysql/my.ini", "mysqld", "datadir", m_MyIniDataDir);
        CSQLConnManager::GetInstance()->UnInit();
        if (m_Conn != nullptr)
            mysql_close(m_Conn);
        // Backups the server's automatic recovery leaves would keep the
        // database directory from being removed.
        std::string cmd = "rm -f '" + m_ServerDataDir + m_Db + "'/*.BAK";
        if (!m_ServerDataDir.empty())
            (void)system(cmd.c_str());
        qbtest::DropDatabase(m_Db);
        if (!m_Tmp.empty())
            (void)system(("rm -rf '" + m_Tmp + "'").c_str());
    }

    // Log lines written since the test started.
    std::string NewLog()
    {
        return qbtest::ReadTodayLog().substr(std::min(m_LogMark, qbtest::ReadTodayLog().size()));
    }
    void SetNow(time_t t)
    {
        m_Now = t;
        CClock::SetOverride([this] { return m_Now; });
        m_LogMark = qbtest::ReadTodayLog().size();
    }
    std::string Value(const std::string& sql) { return qbtest::QueryValue(m_Conn, sql, "<none>"); }
    void InsertFlow(int id, int user, int group, unsigned svrIp, int up, int down, const std::string& time)
    {
        ASSERT_TRUE(qbtest::Exec(m_Conn, "insert into usrflowlog values (" + std::to_string(id) + "," +
                                             std::to_string(user) + "," + std::to_string(svrIp) + "," +
                                             std::to_string(group) + "," + std::to_string(down) + "," +
                                             std::to_string(up) + "," + std::to_string(down * 2) + "," +
                                             std::to_string(up * 2) + ",'" + time + "',16909060,443)"));
    }
    std::string MakeTmpDir()
    {
        char tmpl[] = "/tmp/qb_mnt_XXXXXX";
        m_Tmp = mkdtemp(tmpl);
        return m_Tmp;
    }

    std::string m_Prefix, m_Db, m_ServerDataDir, m_MyIniDataDir, m_Tmp;
    MYSQL* m_Conn = nullptr;
    size_t m_LogMark = 0;
    time_t m_Now = 0;
};

TEST_F(MaintenanceDbTest, CleaningByAgeDeletesThroughTheConfiguredProcedure)
{
    // 180 days before 15 March 2024 is 17 September 2023.
    SetNow(qbtest::LocalEpoch(2024, 3, 15, 2, 30, 0));
    SetOption("Kelv.conf", "ClearRule", "DbCyc", "180");
    InsertFlow(1, 7, 1, 10, 100, 200, "2023-06-01 08:00:00");
    InsertFlow(2, 7, 1, 10, 100, 200, "2023-09-17 23:59:59");
    InsertFlow(3, 7, 1, 10, 100, 200, "2023-09-18 00:00:00");
    InsertFlow(4, 7, 1, 10, 100, 200, "2024-03-14 08:00:00");
    ASSERT_TRUE(qbtest::Exec(m_Conn, "insert into syslog (lev, process, message, log_time) values "
                                     "(1,1,'old','2023-09-01 00:00:00'),(1,1,'new','2024-01-01 00:00:00')"));
    ASSERT_TRUE(qbtest::Exec(m_Conn, "insert into grp_flowrange values (1,1,1,1,1,'2023-09-10 00:00:00'),"
                                     "(1,1,1,1,1,'2023-10-10 00:00:00')"));

    CDataBaseCleanTask task(m_Db.c_str());
    ASSERT_EQ(task.CleanDataBaseByTime(), 1);
    EXPECT_EQ(Value("select group_concat(record_id order by record_id) from usrflowlog"), "3,4");
    EXPECT_EQ(Value("select group_concat(message) from syslog"), "new");
    EXPECT_EQ(Value("select count(*) from grp_flowrange"), "1");
    EXPECT_EQ(Value("select doing_flag from delay_restart_mysql"), "0");
    EXPECT_NE(NewLog().find("[CDataBaseCleanTask][CleanDataBaseByTime] Succeed To Clean DataBase = " + m_Db +
                            ".\n"),
              std::string::npos);

    // A statement without an at sign runs as written; the first statement
    // runs before it; a failing one is logged with the filled-in text.
    WriteMaintenanceStatements(
        "insert into syslog (lev, process, message, log_time) values (9,9,'first',now())",
        "delete from usrflowlog where record_id = 3", "", "");
    ASSERT_EQ(task.CleanDataBaseByTime(), 1);
    EXPECT_EQ(Value("select group_concat(record_id) from usrflowlog"), "4");
    EXPECT_EQ(Value("select count(*) from syslog where message = 'first'"), "1");

    WriteMaintenanceStatements("select nothing from no_such_table", "call NoSuchClean(@CleanTime)", "", "");
    SetNow(m_Now);
    EXPECT_EQ(task.CleanDataBaseByTime(), 0);
    std::string log = NewLog();
    EXPECT_NE(
        log.find("[CleanDataBaseByTime] Exec Sql = select nothing from no_such_table Fail. Errno = 1146 , "
                 "ErrStr = "),
        std::string::npos)
        << log;
    EXPECT_NE(
        log.find("[CleanDataBaseByTime] Exec Sql = call NoSuchClean(\"2023-09-17 23:59:59\") Fail. Errno = "
                 "1305 , ErrStr = "),
        std::string::npos)
        << log;

    // A negative number of days never cleans; an empty statement never succeeds.
    SetOption("Kelv.conf", "ClearRule", "DbCyc", "-1");
    EXPECT_EQ(task.CleanDataBaseByTime(), 0);
    SetOption("Kelv.conf", "ClearRule", "DbCyc", "180");
    WriteMaintenanceStatements("", "", "", "");
    EXPECT_EQ(task.CleanDataBaseByTime(), 0);
    CDataBaseCleanTask unnamed;
    EXPECT_EQ(unnamed.CleanDataBaseByTime(), 0);
}

TEST_F(MaintenanceDbTest, CleaningBySizeMeasuresTheDatabaseDirectory)
{
    // The size comes from the files below the data directory of my.ini; a
    // sparse file stands for a database of gigabytes.
    std::string dataDir = MakeTmpDir();
    SetOption("mysql/my.ini", "mysqld", "datadir", dataDir);
    SetOption("Kelv.conf", "ClearRule", "DbContent", "5000");
    ASSERT_TRUE(platform::CreateDirectory(dataDir + "/" + m_Db));
    ASSERT_TRUE(platform::CreateDirectory(dataDir + "/" + m_Db + "/sub"));
    std::string big = dataDir + "/" + m_Db + "/usrflowlog.MYD";
    auto resize = [&](uint64_t bytes) { ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(bytes)), 0); };
    qbtest::WriteFile(big, "");
    qbtest::WriteFile(dataDir + "/" + m_Db + "/sub/ignored", std::string(4096, 'x'));
    for (int i = 0; i < 100; ++i)
    {
        char time[32];
        snprintf(time, sizeof time, "2024-03-01 %02d:%02d:00", i / 60, i % 60);
        InsertFlow(i + 1, 7, 1, 10, 1, 1, time);
    }

    CDataBaseCleanTask task(m_Db.c_str());
    const uint64_t MiB = 1024 * 1024;
    resize(6000 * MiB);
    uint64_t bytes = 0;
    ASSERT_TRUE(task.GetDataBaseSize(bytes));
    EXPECT_EQ(bytes, 6000 * MiB);
    // 6000 MiB against 5000: the oldest 17 % go, then the repair call.
    ASSERT_EQ(task.CleanDataBaseByContent(), 1);
    EXPECT_EQ(Value("select count(*) from usrflowlog"), "83");
    EXPECT_EQ(Value("select min(record_id) from usrflowlog"), "18");
    std::string log = NewLog();
    EXPECT_NE(log.find("[GetDataBaseSize] The Size Of Db = " + m_Db + " Is 6291456000 Byte(s)"),
              std::string::npos);
    EXPECT_NE(log.find("[CleanDataBaseByContent] Succeed To Clean DataBase = " + m_Db + ".\n"),
              std::string::npos);
    EXPECT_NE(log.find("[WARN][TID="), std::string::npos);
    EXPECT_NE(
        log.find("[CleanDataBaseByContent] Need To Call RepairTables To Make Database Small.Datacenter Maybe "
                 "No Response.\n"),
        std::string::npos);
    EXPECT_NE(log.find("[CleanDataBaseByContent] Succeed To Repair After Clean DataBase = " + m_Db + ".\n"),
              std::string::npos);

    // Exactly at the limit it is cleaned, with 0 in the placeholder.
    WriteMaintenanceStatements("", "", "call NoSuchShrink(@Percent)", "");
    resize(5000 * MiB);
    SetNow(CClock::NowEpoch());
    EXPECT_EQ(task.CleanDataBaseByContent(), 0);
    EXPECT_NE(NewLog().find("[CleanDataBaseByContent] Exec Sql = call NoSuchShrink(0) Fail. Errno = 1305"),
              std::string::npos);
    // One MiB less needs nothing and counts as done for today.
    resize(4999 * MiB);
    SetNow(CClock::NowEpoch());
    EXPECT_EQ(task.CleanDataBaseByContent(), 1);
    EXPECT_NE(NewLog().find("[CleanDataBaseByContent] Db = " + m_Db + " Do Not Need To Clean.\n"),
              std::string::npos);
    EXPECT_EQ(Value("select count(*) from usrflowlog"), "83");

    // No directory for the database: no size, no cleaning.
    CDataBaseCleanTask missing((m_Db + "_gone").c_str());
    SetNow(CClock::NowEpoch());
    EXPECT_FALSE(missing.GetDataBaseSize(bytes));
    EXPECT_EQ(missing.CleanDataBaseByContent(), 0);
    log = NewLog();
    EXPECT_NE(log.find("[GetDataBaseSize] Cannot Search File To Count Size For Db = " + m_Db + "_gone\n"),
              std::string::npos);
    EXPECT_NE(log.find("[CleanDataBaseByContent] Cannot Get Size Of DB = " + m_Db + "_gone\n"),
              std::string::npos);

    // Against the server's own data directory the tables' files are counted.
    SetOption("mysql/my.ini", "mysqld", "datadir", m_ServerDataDir);
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(task.GetDataBaseSize(before));
    ASSERT_TRUE(qbtest::Exec(m_Conn,
                             "insert into syslog (lev, process, message, log_time) select 1, 1, repeat('x', "
                             "1000), now() from usrflowlog a, usrflowlog b"));
    ASSERT_TRUE(qbtest::Exec(m_Conn, "flush tables"));
    ASSERT_TRUE(task.GetDataBaseSize(after));
    EXPECT_GT(after, before + 83 * 83 * 1000);
}

TEST_F(MaintenanceDbTest, LightRepairFindsAndRepairsADamagedTable)
{
    for (int i = 1; i <= 50; ++i)
        InsertFlow(i, i % 5, 1, 10, i, i, "2024-03-01 10:00:00");
    ASSERT_TRUE(qbtest::Exec(m_Conn, "flush tables"));
    // Damage the index file as a crash during a repair leaves it: garbage in
    // the key blocks and the state marked as crashed during repair.
    std::string myi = m_ServerDataDir + m_Db + "/usrflowlog.MYI";
    int fd = open(myi.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << myi;
    std::string garbage(1024, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    ASSERT_EQ(pwrite(fd, garbage.data(), garbage.size(), 1024), 1024);
    const char crashed = 0x07;
    ASSERT_EQ(pwrite(fd, &crashed, 1, 26), 1);
    close(fd);
    ASSERT_NE(mysql_query(m_Conn, "select * from usrflowlog limit 0"), 0) << "the damage was not noticed";
    EXPECT_EQ(mysql_errno(m_Conn), 144u);

    CTableRepairTask task(m_Db.c_str());
    task.DoNonStrongRepairTable();
    std::string log = NewLog();
    EXPECT_NE(log.find("[CTableRepairTask][DoNonStrongRepairTable] Non-Strong Repair To Db = " + m_Db +
                       " Begin.\n"),
              std::string::npos);
    EXPECT_NE(
        log.find("[DoNonStrongRepairTable] Find Table " + m_Db + ".usrflowlog Maybe Crash. Errno = 144 , "),
        std::string::npos)
        << log;
    // Only the damaged table: every other listed table exists and opens.
    EXPECT_EQ(qbtest::CountOf(log, "[DoNonStrongRepairTable] Find Table " + m_Db + "."), 1u);
    EXPECT_EQ(qbtest::CountOf(log, "[DoNonStrongRepairTable] Repair Table " + m_Db + "."), 0u);
    EXPECT_NE(log.find("[DoNonStrongRepairTable] Non-Strong Repair For Db = " + m_Db + " End.\n"),
              std::string::npos);

    EXPECT_EQ(Value("select count(*) from usrflowlog"), "50");
    EXPECT_EQ(Value("select count(*) from usrflowlog force index (index_user_id) where user_id = 3"), "10");

    // Without a database name nothing can be probed: every table is reported.
    CTableRepairTask unnamed;
    SetNow(CClock::NowEpoch());
    unnamed.DoNonStrongRepairTable();
    log = NewLog();
    EXPECT_EQ(qbtest::CountOf(log, "[DoNonStrongRepairTable] Find Table ."), 35u);
    EXPECT_NE(log.find("[DoNonStrongRepairTable] Find Table .`usrbasiclog` Maybe Crash. Errno = 1046"),
              std::string::npos);
    EXPECT_EQ(qbtest::CountOf(log, "[DoNonStrongRepairTable] Repair Table ."), 35u);
}

TEST_F(MaintenanceDbTest, StrongRepairRunsTheConfiguredStatementOncePerSaturday)
{
    SetNow(qbtest::LocalEpoch(2024, 3, 16, 1, 20, 0));
    CTableRepairTask task(m_Db.c_str());
    ASSERT_EQ(task.IsStrongRepairTime(), 1);

    WriteMaintenanceStatements("", "", "", "call NoSuchRepair()");
    task.DoStrongRepairTable();
    EXPECT_NE(NewLog().find("[DoStrongRepairTable] Cannot Exec Sql = call NoSuchRepair() ,  Errno = 1305"),
              std::string::npos);
    EXPECT_EQ(task.IsStrongRepairTime(), 1) << "a failed strong repair is tried again";

    RestoreShippedStatistics();
    SetNow(m_Now);
    task.DoStrongRepairTable();
    std::string log = NewLog();
    EXPECT_NE(log.find("[DoStrongRepairTable] Strong Repair To Db = " + m_Db +
                       " Begin , MySQL Will Run Into Busy Status And Datacenter Maybe No Response...\n"),
              std::string::npos);
    EXPECT_NE(log.find("[DoStrongRepairTable] Strong Repair For Db = " + m_Db + " Succeed.\n"),
              std::string::npos);
    EXPECT_NE(log.find("[DoStrongRepairTable] Strong Repair For Db = " + m_Db + " End.\n"),
              std::string::npos);
    EXPECT_EQ(task.GetLastStrongRepair().m_Day, 16);
    EXPECT_EQ(task.IsStrongRepairTime(), 0) << "the rest of the Saturday runs the light repair";
}

// A second device database beside the fixture's, with the cleaning routines as they were before they
// deleted in chunks; the fixture's own has the shipped ones.
class CleaningRoutinesDbTest : public MaintenanceDbTest
{
protected:
    void SetUp() override
    {
        MaintenanceDbTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_Before = m_Prefix + "before";
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_Before));
        ASSERT_TRUE(qbtest::RunSqlFile(
            m_Before,
            std::string(QB_SOURCE_DIR) + "/tests/integration/maintenance/data/cleaning_routines_before.sql"));
        m_BeforeConn = qbtest::AdminConnect(m_Before);
        ASSERT_NE(m_BeforeConn, nullptr);
    }
    void TearDown() override
    {
        if (m_BeforeConn != nullptr)
            mysql_close(m_BeforeConn);
        if (!m_Before.empty())
            qbtest::DropDatabase(m_Before);
        MaintenanceDbTest::TearDown();
    }
    void OnBoth(const std::string& sql)
    {
        EXPECT_TRUE(qbtest::Exec(m_BeforeConn, sql)) << sql << ": " << mysql_error(m_BeforeConn);
        EXPECT_TRUE(qbtest::Exec(m_Conn, sql)) << sql << ": " << mysql_error(m_Conn);
    }
    // Every table of the two databases holds the same rows (as a multiset), leaving out the columns a
    // run fills with now().
    void ExpectSameTables(const std::string& step)
    {
        std::string tables = Value("select group_concat(table_name) from information_schema.tables where "
                                   "table_type = 'BASE TABLE' and table_schema = '" +
                                   m_Db + "'");
        std::stringstream list(tables);
        for (std::string t; std::getline(list, t, ',');)
        {
            std::string cols = Value(
                "select group_concat(concat('`', column_name, '`') order by ordinal_position) "
                "from information_schema.columns where table_schema = '" +
                m_Db + "' and table_name = '" + t + "' and column_name not in ('updateTime', 'lock_time')");
            auto rows = [&](const std::string& db)
            { return "select " + cols + " from `" + db + "`.`" + t + "`"; };
            EXPECT_EQ(Value("select count(*) from ((" + rows(m_Before) + " except all " + rows(m_Db) +
                            ") union all (" + rows(m_Db) + " except all " + rows(m_Before) + ")) d"),
                      "0")
                << step << ": rows of " << t << " differ; before "
                << Value("select count(*) from (" + rows(m_Before) + ") r") << ", now "
                << Value("select count(*) from (" + rows(m_Db) + ") r");
        }
    }

    std::string m_Before;
    MYSQL* m_BeforeConn = nullptr;
};

TEST_F(CleaningRoutinesDbTest, ChunkedCleaningLeavesTheRowsTheFormerRoutinesLeft)
{
    // 30000 flow rows in shuffled order, 29 to a timestamp, 67 minutes apart (48 days); the other
    // logs on every tenth of those timestamps. The cut-off is one of them, so rows tie on it, and
    // chunks end inside runs of equal timestamps.
    const std::string time = "'2024-01-01' + interval (seq % 104) * 670 minute";
    OnBoth("insert into usrflowlog (record_id, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, "
           "raw_up_flux, log_time, address, svr_port) select seq, seq % 13, 167772160 + seq % 5, seq % 4, "
           "seq * 3, seq, seq * 3 + 1, seq + 1, '2024-01-01' + interval ((seq * 7919 % 30000) div 29) * 67 "
           "minute, 3232235777 + seq % 7, 443 + seq % 3 from seq_0_to_29999");
    OnBoth("insert into usrbasiclog (record_id, user_id, user_name, grp_id, user_action, action_result, "
           "address, message, auth_method, log_time, svr_ip, svr_port) select seq, seq % 9, concat('u', "
           "seq % 9), seq % 4, seq % 5, seq % 2, 3232235777 + seq % 7, concat('login ', seq), seq % 3, " +
           time + ", 167772160 + seq % 5, 443 from seq_1_to_500");
    OnBoth("insert into usrsvrlog (record_id, user_id, grp_id, svr_ip, svr_port, svr_type, log_time, "
           "action_result, address, message, svr_attr) select seq, seq % 9, seq % 4, 167772160 + seq % 5, "
           "443, seq % 3, " +
           time + ", seq % 2, 3232235777 + seq % 7, concat('open ', seq), seq % 2 from seq_1_to_500");
    OnBoth("insert into syslog (lev, process, message, log_time) select seq % 4, seq % 6, concat('sys ', "
           "seq), " +
           time + " from seq_1_to_500");
    OnBoth("insert into adt_log (log_time, adt_action, action_result, entity, adt_id, adt_name, "
           "adt_grp_id, address, message) select " +
           time +
           ", seq % 7, seq % 2, seq % 5, seq % 3, concat('admin', seq % 3), 0, 3232235777, "
           "concat('adt ', seq) from seq_1_to_500");
    OnBoth("insert into alarm_log (type, message, log_time) select seq % 4, concat('alarm ', seq), " + time +
           " from seq_1_to_500");
    OnBoth("insert into dev_stat (dev_ip, time, upload_flux, download_flux) select 3232235777, " + time +
           ", seq * 5, seq * 7 from seq_1_to_500");
    // Aggregation runs recorded on days around the cut-off, some on it exactly.
    OnBoth("insert into midtableinfo (tbIndex, tbName, beginTime, endTime, updateTime) select seq % 10 + 1, "
           "elt(seq % 10 + 1, 'grp_flowrange', 'grp_flowtrend', 'svr_flowrange', 'svr_flowtrend', "
           "'svruser_flowrange', 'user_flowrange', 'user_flowtrend', 'usersvr_flowrange', 'svr_bwoptflow', "
           "'user_bwoptflow'), '2024-01-01', '2024-01-02', '2024-02-07 12:00:00' - interval seq % 9 day "
           "from seq_1_to_60");
    const std::vector<std::string> reports = {
        "GenMid_GrpFlowRange",     "GenMid_GrpFlowTrend",  "GenMid_SvrFlowRange",  "GenMid_SvrFlowTRend",
        "GenMid_SvrUserFlowRange", "GenMid_UserFlowRange", "GenMid_UserFlowTRend", "GenMid_UserSvrFlowRange",
        "GenMid_SvrBWOptFlow",     "GenMid_UserBwOptFlow"};
    auto aggregate = [&](const std::string& from, const std::string& to)
    {
        for (const std::string& proc : reports)
            OnBoth("call " + proc + "('" + from + "', '" + to + "')");
    };
    aggregate("2024-01-25", "2024-02-19");
    ExpectSameTables("filled");

    std::string flowRows = Value("select count(*) from usrflowlog");
    OnBoth("call CleanByTime('2024-02-03 12:00:00')");
    // More than two of the procedures' 10000-row chunks went from the flow log.
    EXPECT_GT(std::stoi(flowRows) - std::stoi(Value("select count(*) from usrflowlog")), 20000);
    ExpectSameTables("cleaned by time");

    OnBoth("call CleanByContent(30)");
    ExpectSameTables("cleaned by content");

    aggregate("2024-01-28", "2024-02-19");
    ExpectSameTables("aggregated again");
}

class ReportDbTest : public MaintenanceDbTest
{
protected:
    void SetUp() override
    {
        MaintenanceDbTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // Flux on two days before today and on today, for two groups, users and servers.
        time_t now = time(nullptr);
        int id = 1;
        for (int daysAgo : {2, 1, 0})
        {
            LocalTime day = CClock::ToLocal(now - daysAgo * 86400);
            for (int i = 0; i < 6; ++i)
            {
                char time[32];
                snprintf(time, sizeof time, "%04d-%02d-%02d %02d:%02d:00", day.m_Year, day.m_Month, day.m_Day,
                         daysAgo == 0 ? 0 : 3 + i, 7 * i);
                InsertFlow(id, 100 + i % 3, 1 + i % 2, 167772161u + i % 2, 10 * id, 1000 * id, time);
                ++id;
            }
        }
    }
    std::vector<StatisticsTable> Shipped()
    {
        return CConfigManager::GetInstance()->GetStatisticsCopy().m_Tables;
    }
};

TEST_F(ReportDbTest, ShippedStatementsFillTheReportTablesAndMidtableinfo)
{
    std::vector<StatisticsTable> tables = Shipped();
    ASSERT_EQ(tables.size(), 10u);
    CReportTableGenTask task(m_Db.c_str());
    task.SetTableDescriptions(tables);
    for (size_t i = 0; i < tables.size(); ++i)
    {
        SCOPED_TRACE(tables[i].m_TableName);
        // No run recorded: due, and the statement runs as configured.
        ASSERT_EQ(task.CanStatistics(static_cast<int>(i)), 1);
        EXPECT_EQ(task.GetTableDescriptions()[i].m_StatistSql, tables[i].m_StatistSql);
        ASSERT_EQ(task.DoStatistics(static_cast<int>(i)), 1);
        EXPECT_EQ(Value("select count(*) from midtableinfo where tbName = '" + tables[i].m_TableName + "'"),
                  "1");
        // Just aggregated: not due again within the cycle.
        EXPECT_EQ(task.CanStatistics(static_cast<int>(i)), 0);
    }
    EXPECT_EQ(qbtest::CountOf(NewLog(), "[ExecSql] Fail To Exec Sql"), 0u) << NewLog();

    // The stored rows hold the sums of the logs, per day and group / user / server.
    EXPECT_EQ(Value("select count(*) from grp_flowrange"), "6");
    EXPECT_EQ(
        Value("select group_concat(concat(Grp_id, ':', up_flow, ':', raw_dw_flow) order by date, Grp_id) "
              "from grp_flowrange"),
        Value("select group_concat(x order by d, g) from (select date(log_time) d, grp_id g, "
              "concat(grp_id, ':', sum(up_flux), ':', sum(raw_dw_flux)) x from usrflowlog group by d, g) t"));
    EXPECT_EQ(Value("select sum(dw_flow) from user_flowtrend"), Value("select sum(dw_flux) from usrflowlog"));
    EXPECT_EQ(Value("select count(*) from user_flowrange"), "9");
    EXPECT_EQ(Value("select count(distinct Svr_IP) from svr_flowrange"), "2");
    EXPECT_EQ(Value("select sum(up_flow) from usersvr_flowrange"),
              Value("select sum(up_flux) from usrflowlog"));
    EXPECT_EQ(Value("select sum(up_flow) from svr_bwoptflow"), Value("select sum(up_flux) from usrflowlog"));
    EXPECT_EQ(
        Value("select endTime = (select max(log_time) from usrflowlog) from midtableinfo where tbName = "
              "'user_bwoptflow'"),
        "1");
    // The views read the stored rows before the last aggregated day and the logs from it on.
    EXPECT_EQ(Value("select sum(up_flow) from view_grp_flowrange"),
              Value("select sum(up_flux) from usrflowlog"));
    EXPECT_EQ(Value("select count(*) from view_user_flowrange"), "9");
}

TEST_F(ReportDbTest, LaterRunsContinueFromTheLastRecordedWindow)
{
    std::vector<StatisticsTable> tables = Shipped();
    CReportTableGenTask task(m_Db.c_str());
    task.SetTableDescriptions(tables);
    ASSERT_EQ(task.CanStatistics(0), 1);
    ASSERT_EQ(task.DoStatistics(0), 1);
    std::string lastEnd = Value("select endTime from midtableinfo where tbName = 'grp_flowrange'");

    // A day later (the last run pushed back): due, with the last end as start.
    ASSERT_TRUE(qbtest::Exec(m_Conn,
                             "update midtableinfo set updateTime = now() - interval 1 day - interval 1 "
                             "minute where tbName = 'grp_flowrange'"));
    InsertFlow(900, 100, 1, 167772161u, 5, 7, Value("select now()"));
    ASSERT_EQ(task.CanStatistics(0), 1);
    const std::string& sql = task.GetTableDescriptions()[0].m_StatistSql;
    EXPECT_EQ(sql.rfind("call GenMid_GrpFlowRange(\"" + lastEnd + "\" ,\"", 0), 0u) << sql;
    ASSERT_EQ(task.DoStatistics(0), 1);
    EXPECT_EQ(Value("select count(*) from midtableinfo where tbName = 'grp_flowrange'"), "2");
    EXPECT_EQ(Value("select sum(up_flow) from grp_flowrange"), Value("select sum(up_flux) from usrflowlog"));

    // A recorded window without an end starts from NULL.
    ASSERT_TRUE(qbtest::Exec(m_Conn,
                             "insert into midtableinfo (tbIndex, tbName, beginTime, endTime, updateTime) "
                             "values (1, 'grp_flowrange', now(), NULL, now() + interval 1 second - "
                             "interval 2 day)"));
    ASSERT_TRUE(qbtest::Exec(m_Conn,
                             "delete from midtableinfo where tbName = 'grp_flowrange' and endTime is not "
                             "null"));
    ASSERT_EQ(task.CanStatistics(0), 1);
    EXPECT_EQ(sql.rfind("call GenMid_GrpFlowRange(NULL ,\"", 0), 0u) << sql;
    EXPECT_EQ(task.DoStatistics(0), 1);

    // A missing report table is created again by its create statement, like the schema's own.
    ASSERT_TRUE(qbtest::Exec(m_Conn, "drop table user_bwoptflow"));
    ASSERT_EQ(task.DoStatistics(9), 1);
    std::string other = m_Prefix + "ref";
    ASSERT_TRUE(qbtest::CreateDeviceDatabase(other));
    auto columns = [&](const std::string& db)
    {
        return Value(
            "select group_concat(concat(column_name, ' ', column_type, ' ', is_nullable, ' ', "
            "ifnull(column_default, '-')) order by ordinal_position) from information_schema.columns "
            "where table_schema = '" +
            db + "' and table_name = 'user_bwoptflow'");
    };
    EXPECT_EQ(columns(m_Db), columns(other));
    qbtest::DropDatabase(other);
}

TEST_F(ReportDbTest, DiskFullHoldsAggregationBackAndFailuresAreReported)
{
    CReportTableGenTask task(m_Db.c_str());
    task.SetTableDescriptions(Shipped());
    SetOption("Kelv.conf", "DiskFreeSpace", "ISFULL", "1");
    EXPECT_EQ(task.CanStatistics(0), 0);
    EXPECT_NE(NewLog().find("[CanStatistics] Disk Full So No Statistics Will Do.\n"), std::string::npos);
    SetOption("Kelv.conf", "DiskFreeSpace", "ISFULL", "0");
    EXPECT_EQ(task.CanStatistics(0), 1);
    EXPECT_EQ(task.CanStatistics(10), 0);
    EXPECT_EQ(task.DoStatistics(10), 0);

    // A failing statement does not stop the ones after it.
    StatisticsTable broken;
    broken.m_TableName = "grp_flowrange";
    broken.m_CreateSql = "create table no_such_syntax (";
    broken.m_StatistSql = "call GenMid_GrpFlowRange(NULL, NULL)";
    task.SetTableDescriptions({broken});
    SetNow(CClock::NowEpoch());
    EXPECT_EQ(task.DoStatistics(0), 0);
    std::string log = NewLog();
    EXPECT_NE(
        log.find("[ExecSql] Fail To Exec Sql = create table no_such_syntax ( , Errno = 1064 , ErrStr = "),
        std::string::npos);
    EXPECT_NE(log.find("[ExecSql] Succeed To Exec Sql = call GenMid_GrpFlowRange(NULL, NULL)\n"),
              std::string::npos);
    EXPECT_EQ(Value("select count(*) from midtableinfo"), "1");
}

TEST_F(ReportDbTest, TableThreadsAggregateOnTheirOwnSchedule)
{
    // One minute between checks, shortened by the test-only divisor.
    for (int i = 1; i <= 10; ++i)
        SetOption("statistics.conf", ("TableInfo" + std::to_string(i)).c_str(), "SleepTime", "1");
    CReportTableGenTask* task = new CReportTableGenTask(m_Db.c_str());
    ASSERT_TRUE(task->Start());
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return Value("select count(distinct tbName) from midtableinfo") == "10"; }, 20000))
        << Value("select group_concat(tbName) from midtableinfo");
    EXPECT_EQ(task->GetTableThreadCount(), 10u);
    EXPECT_TRUE(task->StopAndWait(20000));
    delete task;
    std::string log = NewLog();
    EXPECT_EQ(qbtest::CountOf(log, "[TableStatistics] Report Gen For " + m_Db + "."), 20u);
    EXPECT_NE(log.find("[Run] Table Gen Thread For Db = " + m_Db + " Exit.\n"), std::string::npos);
    EXPECT_EQ(qbtest::CountOf(log, "[TableStatistics] Statistics Table"), 0u);
}
} // namespace
