#include "storage/DataFileManager.h"
#include "storage/DeviceRegistry.h"
#include "storage/LoadDataTask.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace
{
void SetOption(const char* file, const char* section, const char* key, const std::string& value)
{
    CConfigManager* config = CConfigManager::GetInstance();
    platform::WritePrivateProfileString(section, key, value, config->GetConfigFilePath(file));
    config->LoadConfig(file);
}

std::string Quoted(const std::string& gbk)
{
    std::string out = "\"";
    EscapeLoadDataField(gbk.data(), gbk.size(), out);
    return out + "\"";
}

// The line layouts of the data-file tables.
std::string SyslogLine(int lev, int process, const std::string& message,
                       const char* time = "2012-05-01 08:09:10")
{
    return std::to_string(lev) + "\t" + std::to_string(process) + "\t" + Quoted(message) + "\t\"" + time +
           "\"\r\n";
}

std::string BasicLine(long long recordId, int userId, const std::string& name, const std::string& message)
{
    return "\"" + std::to_string(recordId) + "\"\t" + std::to_string(userId) + "\t" + Quoted(name) +
           "\t3\t1\t0\t16909060\t" + Quoted(message) + "\t2\t\"2012-05-01 08:09:10\"\t167772161\t443\r\n";
}

class ImportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        m_Prefix = qbtest::UniqueDbPrefix("imp");
        m_Global = m_Prefix + "global";
        m_DevDb = m_Prefix + "dev";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        CBuffManager::GetInstance()->Init();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        m_Dev = qbtest::AdminConnect(m_DevDb);
        ASSERT_NE(m_Dev, nullptr);
        ASSERT_TRUE(qbtest::Exec(m_Dev, "set names gbk"));
        m_Root = CGlobalSharedData::GetInstance()->GetDataFileDir();
        char tmpl[] = "/tmp/qb_imp_XXXXXX";
        m_Tmp = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        if (m_Task)
        {
            m_Task->StopAndWait(5000);
            m_Task.reset();
        }
        CDataFileManager* m = CDataFileManager::GetInstance();
        for (uint32_t id : m_Ids)
            m->ReleaseDataFileID(id);
        m->UnInit();
        CSQLConnManager::GetInstance()->UnInit();
        if (m_Dev != nullptr)
            mysql_close(m_Dev);
        SetOption("KelvAdv.conf", "DataFile", "NoTempTableDataFileSize", "10");
        SetOption("KelvAdv.conf", "DataFile", "DataFileUseTime", "10");
        qbtest::DropDatabase(m_DevDb);
        qbtest::DropDatabase(m_Global);
        std::string cmd = "rm -rf '" + m_Tmp + "' '" + m_Root + "/" + m_Prefix + "'*";
        (void)system(cmd.c_str());
    }

    MYSQL* Conn()
    {
        MYSQL* conn = CSQLConnManager::GetInstance()->AllocSqlConn(m_DevDb.c_str(), CLIENT_LOCAL_FILES);
        EXPECT_NE(conn, nullptr);
        return conn;
    }
    std::string Count(const char* table)
    {
        return qbtest::QueryValue(m_Dev, std::string("select count(*) from ") + table, "?");
    }
    void StartTask(const std::string& db)
    {
        m_Task = std::make_unique<CLoadDataTask>(db.c_str());
        ASSERT_TRUE(m_Task->Init());
        ASSERT_TRUE(m_Task->Start());
    }
    // Statements the server received that mention `needle` (general log).
    std::vector<std::string> ServerStatements(const std::string& needle)
    {
        std::vector<std::string> out;
        MYSQL* admin = qbtest::AdminConnect("mysql");
        std::string sql = "select argument from mysql.general_log where argument like '%" + needle +
                          "%' and argument not like '%general_log%' order by event_time";
        if (mysql_query(admin, sql.c_str()) == 0)
        {
            MYSQL_RES* r = mysql_store_result(admin);
            while (MYSQL_ROW row = mysql_fetch_row(r))
                out.push_back(row[0]);
            mysql_free_result(r);
        }
        mysql_close(admin);
        return out;
    }

    std::string m_Prefix, m_Global, m_DevDb, m_Root, m_Tmp;
    MYSQL* m_Dev = nullptr;
    std::vector<uint32_t> m_Ids;
    std::unique_ptr<CLoadDataTask> m_Task;
};
} // namespace

// Text escaped for the data files reads back byte for byte through both
// import paths: backslashes, quotes, tabs, line breaks, apostrophes and GBK
// characters whose second byte is a backslash; the file's path itself holds
// an apostrophe and a backslash.
TEST_F(ImportTest, EscapedTextReadsBackThroughBothPaths)
{
    const std::string texts[] = {
        "plain",
        "back\\slash and \"quotes\" and 'apostrophe'",
        "tab\there\r\nbreak\nlf\rcr",
        std::string("gbk \x95\x5C and \xD5\x5C and \x81\x5C end"),
        "ends with backslash\\",
        std::string("\xC4\xE3\xBA\xC3 \\N \\t"),
    };
    std::string dir = m_Tmp + "/it's\\dir";
    ASSERT_TRUE(platform::CreateDirectories(dir));
    CDataFileManager* m = CDataFileManager::GetInstance();
    MYSQL* conn = Conn();
    ASSERT_NE(conn, nullptr);
    int process = 0;
    for (int limit : {10, 0})
    {
        SetOption("KelvAdv.conf", "DataFile", "NoTempTableDataFileSize", std::to_string(limit));
        std::string sys, basic;
        for (const std::string& t : texts)
        {
            sys += SyslogLine(1, ++process, t);
            basic += BasicLine(1000 + process, process, t, t);
        }
        std::string sysPath = dir + "/sys" + std::to_string(limit) + ".dat";
        std::string basicPath = dir + "/basic" + std::to_string(limit) + ".dat";
        qbtest::WriteFile(sysPath, sys);
        qbtest::WriteFile(basicPath, basic);
        ASSERT_TRUE(m->ImportDataFile(conn, "SysLog", sysPath.c_str(), 1));
        ASSERT_TRUE(m->ImportDataFile(conn, "usrbasiclog", basicPath.c_str(), 1));
    }
    CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[DoImportDataFileWithTempTable] Import Succeed. Data File = " + dir + "/sys10.dat\n"),
              std::string::npos);
    EXPECT_NE(
        log.find("[DoImportDataFileWithOutTempTable] Import Succeed. Data File = " + dir + "/sys0.dat\n"),
        std::string::npos);

    process = 0;
    for (int round = 0; round < 2; ++round)
        for (const std::string& t : texts)
        {
            ++process;
            std::string hex = qbtest::QueryValue(
                m_Dev, "select hex(convert(message using gbk)) from syslog where process = " +
                           std::to_string(process));
            std::string want;
            for (unsigned char c : t)
            {
                char b[3];
                snprintf(b, sizeof(b), "%02X", c);
                want += b;
            }
            EXPECT_EQ(hex, want) << "syslog text " << process;
            EXPECT_EQ(
                qbtest::QueryValue(
                    m_Dev, "select hex(convert(concat(user_name, '|', message) using gbk)) from usrbasiclog "
                           "where user_id = " +
                               std::to_string(process)),
                want + "7C" + want)
                << "usrbasiclog text " << process;
        }
    EXPECT_EQ(Count("syslog"), "12");
    EXPECT_EQ(Count("usrbasiclog"), "12");
}

// The file size decides the path: exactly NoTempTableDataFileSize MiB goes
// through the temporary table, one MiB more directly, and the setting 0
// loads every file directly. The server receives the statements as designed.
TEST_F(ImportTest, SizeDecidesTheTemporaryTable)
{
    MYSQL* admin = qbtest::AdminConnect("mysql");
    ASSERT_TRUE(qbtest::Exec(admin, "set global log_output = 'TABLE'"));
    ASSERT_TRUE(qbtest::Exec(admin, "set global general_log = 1"));
    SetOption("KelvAdv.conf", "DataFile", "NoTempTableDataFileSize", "1");

    // 1024-byte lines: 1024 of them are exactly one MiB.
    auto makeFile = [&](const std::string& name, int lines)
    {
        std::string text;
        for (int i = 0; i < lines; ++i)
        {
            std::string line = SyslogLine(2, i, "");
            line = SyslogLine(2, i, std::string(1024 - line.size(), 'm'));
            EXPECT_EQ(line.size(), 1024u);
            text += line;
        }
        std::string path = m_Tmp + "/" + name;
        qbtest::WriteFile(path, text);
        return path;
    };
    std::string exact = makeFile("exact.dat", 1024);
    std::string bigger = makeFile("bigger.dat", 2048);
    std::string almost = makeFile("almost.dat", 2047); // 2 MiB less 1 KiB: still 1 MiB rounded down
    ASSERT_EQ(GetFileSize64(exact.c_str()), 1048576u);

    CDataFileManager* m = CDataFileManager::GetInstance();
    MYSQL* conn = Conn();
    ASSERT_TRUE(m->ImportDataFile(conn, "syslog", exact.c_str(), 1));
    ASSERT_TRUE(m->ImportDataFile(conn, "syslog", bigger.c_str(), 1));
    ASSERT_TRUE(m->ImportDataFile(conn, "syslog", almost.c_str(), 1));
    SetOption("KelvAdv.conf", "DataFile", "NoTempTableDataFileSize", "0");
    std::string small = makeFile("small.dat", 3);
    ASSERT_TRUE(m->ImportDataFile(conn, "usrflowlog_never", m_Tmp.c_str(), 1))
        << "a directory counts as empty";
    ASSERT_TRUE(m->ImportDataFile(conn, "syslog", small.c_str(), 1));
    CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    EXPECT_EQ(Count("syslog"), std::to_string(1024 + 2048 + 2047 + 3));

    std::string log = qbtest::ReadTodayLog();
    auto viaTemp = [&](const std::string& p)
    {
        return log.find("[DoImportDataFileWithTempTable] Prepare To Import Data File = " + p + "\n") !=
               std::string::npos;
    };
    auto direct = [&](const std::string& p)
    {
        return log.find("[DoImportDataFileWithOutTempTable] Prepare To Import Data File = " + p + "\n") !=
               std::string::npos;
    };
    EXPECT_TRUE(viaTemp(exact));
    EXPECT_FALSE(direct(exact));
    EXPECT_TRUE(direct(bigger));
    EXPECT_FALSE(viaTemp(bigger));
    EXPECT_TRUE(viaTemp(almost));
    EXPECT_TRUE(direct(small));
    EXPECT_FALSE(viaTemp(small));
    EXPECT_NE(log.find("[ImportDataFile] FileSize = 0 , FileName = " + m_Tmp + "\n"), std::string::npos);

    std::vector<std::string> temp = ServerStatements(exact);
    std::vector<std::string> plain = ServerStatements(bigger);
    ASSERT_TRUE(qbtest::Exec(admin, "set global general_log = 0"));
    mysql_close(admin);
    ASSERT_EQ(temp.size(), 1u);
    EXPECT_EQ(temp[0],
              "load data local infile '" + exact +
                  "' into table syslog_temp character set gbk fields enclosed by '\"'  lines terminated by "
                  "'\\r\\n' ( `lev` , `process` , `message` , `log_time` )");
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0],
              "load data local infile '" + bigger +
                  "' into table syslog character set gbk fields enclosed by '\"' lines terminated by "
                  "'\\r\\n' ( `lev` , `process` , `message` , `log_time` )");
}

// A last line without its CR LF (the writer was killed in the middle of it)
// is cut off with a warning instead of becoming a damaged row; a field too
// long for its column is loaded cut, and the server's warning reaches the log.
TEST_F(ImportTest, TornLastLineAndServerWarnings)
{
    std::string path = m_Tmp + "/torn.dat";
    std::string good = BasicLine(1, 1, "alice", "first") + BasicLine(2, 2, "bob", std::string(1500, 'L'));
    std::string torn = "\"3\"\t3\t\"carol\"\t3\t1\t0\t1690";
    qbtest::WriteFile(path, good + torn);
    MYSQL* conn = Conn();
    ASSERT_TRUE(CDataFileManager::GetInstance()->ImportDataFile(conn, "usrbasiclog", path.c_str(), 1));
    CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);

    EXPECT_EQ(Count("usrbasiclog"), "2");
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select length(message) from usrbasiclog where user_id = 2"), "1024");
    EXPECT_EQ(qbtest::ReadFile(path), good);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[ImportDataFile] Drop Torn Last Line Of " + std::to_string(torn.size()) +
                       " Bytes , FileName = " + path + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("[DoImportDataFileWithTempTable] Load Data Warnings = 1 , DataFile = " + path + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("[DoImportDataFileWithTempTable] Warning Level = Warning , Code = 1265 , Message = "),
              std::string::npos);

    // A file that is nothing but a torn line is emptied and counts as imported.
    std::string only = m_Tmp + "/only.dat";
    qbtest::WriteFile(only, torn);
    conn = Conn();
    EXPECT_TRUE(CDataFileManager::GetInstance()->ImportDataFile(conn, "usrbasiclog", only.c_str(), 1));
    CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    EXPECT_EQ(Count("usrbasiclog"), "2");
}

// The device's import task loads the files the writer filled and the switch
// thread queued, deletes them and empties the list; a task without a
// database name only reports it.
TEST_F(ImportTest, ImportTaskLoadsSwitchedOutFiles)
{
    SetOption("KelvAdv.conf", "DataFile", "DataFileUseTime", "1");
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->Init());
    uint32_t sys = m->AllocDataFileID(m_DevDb.c_str(), "syslog");
    uint32_t basic = m->AllocDataFileID(m_DevDb.c_str(), "usrbasiclog");
    ASSERT_NE(sys, 0u);
    ASSERT_NE(basic, 0u);
    m_Ids = {sys, basic};
    std::string sysPath = m->GetDataFileByID(sys)->GetFilePath();
    std::string basicPath = m->GetDataFileByID(basic)->GetFilePath();
    for (int i = 0; i < 50; ++i)
    {
        std::string a = SyslogLine(1, i, "message " + std::to_string(i));
        std::string b = BasicLine(i, i, "user", "login");
        ASSERT_EQ(m->WriteDataFileByID(sys, a.data(), static_cast<uint32_t>(a.size())), a.size());
        ASSERT_EQ(m->WriteDataFileByID(basic, b.data(), static_cast<uint32_t>(b.size())), b.size());
    }
    StartTask(m_DevDb);
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Count("syslog") == "50" && Count("usrbasiclog") == "50"; }))
        << Count("syslog") << " " << Count("usrbasiclog");
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return !platform::FileExists(sysPath) && !platform::FileExists(basicPath); }));
    EXPECT_TRUE(qbtest::WaitUntil([&] { return m->GetImportListSize() == 0; }));
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[Run] LoadDataTask For DB = " + m_DevDb + " Start...\n"), std::string::npos);
    EXPECT_NE(log.find("[Run] DB = " + m_DevDb + " Succeed To Import DataFile = " + sysPath + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Run] No DataFile Need Import. DBName = " + m_DevDb + "\n"), std::string::npos);
    ASSERT_TRUE(m_Task->StopAndWait(5000));
    EXPECT_NE(qbtest::ReadTodayLog().find("[Run] LoadDataTask For DB = " + m_DevDb + " Exit. Pointer = 0x"),
              std::string::npos);

    size_t before =
        qbtest::CountOf(qbtest::ReadTodayLog(), "[Run] DataBase Name Not Specify! Cannot Import DataFile\n");
    StartTask("");
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::CountOf(qbtest::ReadTodayLog(),
                                   "[Run] DataBase Name Not Specify! Cannot Import DataFile\n") >= before + 2;
        }));
}

// With the server unreachable a cycle imports nothing, the file stays on
// disk and queued (free again), and a later cycle imports it; while the disk
// is reported full nothing is imported at all.
TEST_F(ImportTest, UnreachableServerAndFullDiskKeepFilesQueued)
{
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->Init());
    uint32_t id = m->AllocDataFileID(m_DevDb.c_str(), "usrbasiclog");
    ASSERT_NE(id, 0u);
    std::string path = m->GetDataFileByID(id)->GetFilePath();
    std::string line = BasicLine(7, 7, "dora", "kept");
    ASSERT_EQ(m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size())), line.size());
    m->ReleaseDataFileID(id);
    ASSERT_EQ(m->GetImportListSize(), 1u);

    std::string kelv = CConfigManager::GetInstance()->GetConfigFilePath("Kelv.conf");
    platform::WritePrivateProfileString("DatabaseConfig", "DBPwd", "wrong-password", kelv);
    CConfigManager::GetInstance()->LoadConfig("Kelv.conf");
    size_t before = qbtest::CountOf(qbtest::ReadTodayLog(), "[Run] Cannot Alloc SQL Connection.\n");
    StartTask(m_DevDb);
    ASSERT_TRUE(qbtest::WaitUntil(
        [&] {
            return qbtest::CountOf(qbtest::ReadTodayLog(), "[Run] Cannot Alloc SQL Connection.\n") >=
                   before + 2;
        }));
    EXPECT_TRUE(platform::FileExists(path));
    EXPECT_EQ(m->GetImportListSize(), 1u);
    EXPECT_EQ(Count("usrbasiclog"), "0");

    // The right password and the disk-full flag arrive in one reload, so that
    // no import cycle runs in between.
    CConfigManager::GetInstance()->SetIsFull(1);
    platform::WritePrivateProfileString("DiskFreeSpace", "ISFULL", "1", kelv);
    qbtest::UseTestDatabase(m_Global);
    CConfigManager::GetInstance()->SetIsFull(1);
    size_t full = qbtest::CountOf(qbtest::ReadTodayLog(),
                                  "[Run] Import Calcel Due To Not Enough DiskSpace.Try Import Later...\n");
    ASSERT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::CountOf(qbtest::ReadTodayLog(),
                                   "[Run] Import Calcel Due To Not Enough DiskSpace.Try Import Later...\n") >=
                   full + 2;
        }));
    EXPECT_EQ(Count("usrbasiclog"), "0");
    EXPECT_TRUE(platform::FileExists(path));

    platform::WritePrivateProfileString("DiskFreeSpace", "ISFULL", "0", kelv);
    CConfigManager::GetInstance()->SetIsFull(0);
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Count("usrbasiclog") == "1"; }));
    EXPECT_TRUE(
        qbtest::WaitUntil([&] { return !platform::FileExists(path) && m->GetImportListSize() == 0; }));
}

// Files a killed run left behind are found by the start-up scan and imported
// once the delay is over and the device table is loaded, never before; a
// torn last line is cut; files of a database no device owns stay queued.
TEST_F(ImportTest, LeftOverFilesImportedAfterRestart)
{
    ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
    MYSQL* global = qbtest::AdminConnect(m_Global);
    ASSERT_TRUE(
        qbtest::Exec(global, "insert into dev_node(node_name, secret, md5_secret, db_name, deleted) values "
                             "('gw1', 's', '0123456789abcdef0123456789abcdef', '" +
                                 m_DevDb + "', 0)"));
    mysql_close(global);

    // What the killed run left: two finished files, one cut in the middle of a line.
    CDataFileManager* m = CDataFileManager::GetInstance();
    std::string unregistered = m_Prefix + "gone";
    std::vector<std::string> left;
    size_t bytes = 0;
    auto leave = [&](const std::string& db, const char* table, const std::string& content)
    {
        bytes += content.size();
        EXPECT_TRUE(m->MakeDirectoryOK(db.c_str(), table));
        std::string path;
        EXPECT_TRUE(m->BuildDataFileName(path, db.c_str(), table));
        qbtest::WriteFile(path, content);
        left.push_back(path);
    };
    leave(m_DevDb, "syslog", SyslogLine(1, 1, "one") + SyslogLine(1, 2, "two"));
    leave(m_DevDb, "usrbasiclog", BasicLine(5, 5, "eve", "in") + "\"6\"\t6\t\"fra");
    leave(unregistered, "syslog", SyslogLine(1, 3, "nobody"));

    bool loadLater = !CDeviceRegistry::GetInstance()->IsDevTableLoaded();
    if (!loadLater)
    {
        ASSERT_TRUE(CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo());
    }
    ASSERT_TRUE(m->Init());
    EXPECT_EQ(Count("syslog"), "0") << "nothing is imported before the start-up delay";
    ASSERT_TRUE(qbtest::WaitUntil([&] { return m->GetImportListSize() == 3; }));
    if (loadLater)
    {
        // Several delays go by; without the device table nothing is imported.
        platform::Sleep(400);
        EXPECT_EQ(Count("syslog"), "0");
        EXPECT_EQ(m->GetImportListSize(), 3u);
        ASSERT_TRUE(CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo());
    }
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Count("syslog") == "2" && Count("usrbasiclog") == "1"; }));
    EXPECT_TRUE(
        qbtest::WaitUntil([&] { return !platform::FileExists(left[0]) && !platform::FileExists(left[1]); }));
    EXPECT_TRUE(platform::FileExists(left[2]));
    EXPECT_EQ(m->GetImportListSize(), 1u);
    std::string log = qbtest::ReadTodayLog();
    for (const std::string& p : left)
        EXPECT_NE(log.find("[DataFileScanThread] Find Data File = " + p + "\n"), std::string::npos);
    EXPECT_NE(log.find("[DoImportOnStart] DataFile Will Import In 60000 ms\n"), std::string::npos);
    EXPECT_NE(
        log.find("[DataFileScanThread] DataFiles Waiting = 3 , Bytes = " + std::to_string(bytes) + "\n"),
        std::string::npos);
    // How far the import got of what the scan found (the unknown database's file waits).
    EXPECT_TRUE(qbtest::WaitUntil(
        [&]
        {
            return qbtest::CountOf(qbtest::ReadTodayLog(),
                                   "[DoImportOnStart] Done: Imported 2 Of 3 DataFiles") == 1;
        }));
    EXPECT_NE(log.find("[ImportDataFile] Drop Torn Last Line Of 10 Bytes , FileName = " + left[1] + "\n"),
              std::string::npos);

    // The unknown database's file was left free for its own importer.
    std::string db = unregistered, file, table;
    EXPECT_EQ(m->GetImportInfo(db, file, table), 1);
    EXPECT_EQ(file, left[2]);
}
