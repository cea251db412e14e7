#include "config/ConfigManager.h"
#include "tests/unit/config/ConfigTestTree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace
{
class ConfigManagerTest : public ::testing::Test
{
protected:
    void SetUp() override { m_Tree = &CConfigTestTree::Prepare(); }

    CConfigManager* Manager() { return CConfigManager::GetInstance(); }

    CConfigTestTree* m_Tree = nullptr;
};

// --- KelvAdv.conf range rules -------------------------------------------------

struct RangeCase
{
    const char* m_Section;
    const char* m_Key;
    int m_Written;
    int m_Expected;
};

int KelvAdvValue(const KelvAdvConfig& c, const std::string& section, const std::string& key)
{
    if (key == "ParticleTime")
        return c.m_ParticleTime;
    if (key == "MergeBuffers")
        return c.m_MergeBuffers;
    if (key == "MergeBufferSize")
        return c.m_MergeBufferSize;
    if (key == "SvpnNodeRecvBuffSize")
        return c.m_SvpnNodeRecvBuffSize;
    if (key == "SvpnNodeSendBuffSize")
        return c.m_SvpnNodeSendBuffSize;
    if (key == "MaxPackgeSize")
        return c.m_MaxPackgeSize;
    if (key == "DataFileUseTime")
        return c.m_DataFileUseTime;
    if (key == "ListenPort")
        return section == "Metrics" ? c.m_MetricsListenPort : c.m_InfoListenPort;
    if (key == "MaxConnection")
        return c.m_MaxConnection;
    ADD_FAILURE() << "unknown key " << key;
    return -1;
}

TEST_F(ConfigManagerTest, KelvAdvOutOfRangeValuesFallBackAndBoundsStay)
{
    const RangeCase cases[] = {
        // The fallback is not always the default (5 for both sizes).
        {"Global", "MergeBufferSize", 0, 10},
        {"SvpnNode", "MaxPackgeSize", 0, 10},
        {"Global", "ParticleTime", 601, 30},
        {"Network", "MaxConnection", 65, 16},
        {"InfoRetrieve", "ListenPort", 0, 9509},
        {"Global", "ParticleTime", 0, 30},
        {"Global", "ParticleTime", 1, 1},
        {"Global", "ParticleTime", 600, 600},
        {"Global", "MergeBuffers", 0, 2},
        {"Global", "MergeBuffers", 6, 2},
        {"Global", "MergeBuffers", 5, 5},
        {"Global", "MergeBufferSize", 11, 10},
        {"Global", "MergeBufferSize", 1, 1},
        {"Global", "MergeBufferSize", -3, 10},
        {"SvpnNode", "SvpnNodeRecvBuffSize", 11, 10},
        {"SvpnNode", "SvpnNodeRecvBuffSize", 1, 1},
        {"SvpnNode", "SvpnNodeSendBuffSize", 1025, 10},
        {"SvpnNode", "SvpnNodeSendBuffSize", 1024, 1024},
        {"SvpnNode", "SvpnNodeSendBuffSize", 0, 10},
        {"SvpnNode", "MaxPackgeSize", 10, 10},
        {"SvpnNode", "MaxPackgeSize", 1, 1},
        {"DataFile", "DataFileUseTime", 31, 10},
        {"DataFile", "DataFileUseTime", 30, 30},
        {"DataFile", "DataFileUseTime", 0, 10},
        {"InfoRetrieve", "ListenPort", 65535, 65535},
        {"InfoRetrieve", "ListenPort", 65536, 9509},
        {"InfoRetrieve", "ListenPort", 1, 1},
        {"Network", "MaxConnection", 64, 64},
        {"Network", "MaxConnection", 1, 1},
        {"Network", "MaxConnection", 0, 16},
        // 0 turns the metrics endpoint off.
        {"Metrics", "ListenPort", 0, 0},
        {"Metrics", "ListenPort", -1, 9510},
        {"Metrics", "ListenPort", 65536, 9510},
    };
    for (const RangeCase& rc : cases)
    {
        m_Tree->WriteConfig("KelvAdv.conf", std::string("[") + rc.m_Section + "]\n" + rc.m_Key + "=" +
                                                std::to_string(rc.m_Written) + "\n");
        ASSERT_TRUE(Manager()->LoadSpicifyConfig("KelvAdv.conf"));
        EXPECT_EQ(KelvAdvValue(Manager()->KelvAdv(), rc.m_Section, rc.m_Key), rc.m_Expected)
            << rc.m_Key << "=" << rc.m_Written;
    }
}

TEST_F(ConfigManagerTest, KelvAdvMissingKeysTakeDefaults)
{
    m_Tree->WriteConfig("KelvAdv.conf", "[Global]\n");
    ASSERT_TRUE(Manager()->LoadConfig("KelvAdv.conf"));
    KelvAdvConfig c = Manager()->GetKelvAdvCopy();
    EXPECT_EQ(c.m_GlobalEnableLogMerge, 1);
    EXPECT_EQ(c.m_ParticleTime, 30);
    EXPECT_EQ(c.m_MergeBuffers, 2);
    EXPECT_EQ(c.m_MergeBufferSize, 5);
    EXPECT_EQ(c.m_UserLogEnableLogMerge, 1);
    EXPECT_EQ(c.m_EnableHttpFilter, 1);
    EXPECT_EQ(c.m_HttpFilterList, "");
    EXPECT_EQ(c.m_KeepFilterLog, 0);
    EXPECT_EQ(c.m_FlowLogEnableLogMerge, 1);
    EXPECT_EQ(c.m_SysLogEnableLogMerge, 0);
    EXPECT_EQ(c.m_SvpnNodeRecvBuffSize, 10);
    EXPECT_EQ(c.m_SvpnNodeSendBuffSize, 10);
    EXPECT_EQ(c.m_MaxPackgeSize, 5);
    EXPECT_EQ(c.m_DumpInvalidLog, 0);
    EXPECT_EQ(c.m_DataFileUseTime, 10);
    EXPECT_EQ(c.m_EnableAsyncWrite, 0);
    EXPECT_EQ(c.m_EnableLargeDataAsyncWrite, 0);
    EXPECT_EQ(c.m_NoTempTableDataFileSize, 10);
    EXPECT_EQ(c.m_InfoListenPort, 9509);
    EXPECT_EQ(c.m_MetricsListenPort, 9510);
    EXPECT_EQ(c.m_MaxConnection, 16);
}

TEST_F(ConfigManagerTest, KelvAdvSameKeyInDifferentSectionsIsKeptApart)
{
    m_Tree->WriteConfig("KelvAdv.conf", "[Global]\nEnableLogMerge=0\n[UserLog]\nEnableLogMerge=0\n"
                                        "HttpFilterList=.gif;.jpg\n[FlowLog]\nEnableLogMerge=0\n"
                                        "[SysLog]\nEnableLogMerge=1\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("KelvAdv.conf"));
    KelvAdvConfig c = Manager()->GetKelvAdvCopy();
    EXPECT_EQ(c.m_GlobalEnableLogMerge, 0);
    EXPECT_EQ(c.m_UserLogEnableLogMerge, 0);
    EXPECT_EQ(c.m_FlowLogEnableLogMerge, 0);
    EXPECT_EQ(c.m_SysLogEnableLogMerge, 1);
    EXPECT_EQ(c.m_HttpFilterList, ".gif;.jpg");
}

// --- Kelv.conf ------------------------------------------------------------------

TEST_F(ConfigManagerTest, KelvMissingKeysTakeDefaults)
{
    m_Tree->WriteConfig("Kelv.conf",
                        "[DatabaseConfig]\nDBServer=db.local\nDBUser=u\nDBPwd=p w\nDataBase=g\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("Kelv.conf"));
    KelvConfig c = Manager()->GetKelvCopy();
    EXPECT_EQ(c.m_DBServer, "db.local");
    EXPECT_EQ(c.m_DBUser, "u");
    EXPECT_EQ(c.m_DBPwd, "p w");
    EXPECT_EQ(c.m_DataBase, "g");
    EXPECT_EQ(c.m_MysqlPath, "");
    EXPECT_EQ(c.m_Port, 9501);
    EXPECT_EQ(Manager()->Kelv().m_Port, 9501);
    EXPECT_EQ(c.m_AutoClearType, 2);
    EXPECT_EQ(c.m_DbContent, 5000);
    EXPECT_EQ(c.m_DbCyc, 180);
    EXPECT_EQ(c.m_StartCheckTime, 1);
    EXPECT_EQ(c.m_EndCheckTime, 4);
    EXPECT_EQ(c.m_StartStrongRepairTime, 1);
    EXPECT_EQ(c.m_EndStrongRepairTime, 2);
    EXPECT_EQ(c.m_MinFreeSpace, 4);
    EXPECT_EQ(c.m_IsFull, 0);
}

TEST_F(ConfigManagerTest, KelvValuesAreReadFromTheirSections)
{
    m_Tree->WriteConfig("Kelv.conf", "[DatabaseConfig]\nPort=7000\n[ClearRule]\nAutoClearType=1\nDbCyc=-5\n"
                                     "[RepairRule]\nEndStrongRepairTime=3\n[DiskFreeSpace]\nisfull=1\n"
                                     "MinFreeSpace=12GB\n[Other]\nPort=1\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("Kelv.conf"));
    const KelvConfig& c = Manager()->Kelv();
    EXPECT_EQ(c.m_Port, 7000);
    EXPECT_EQ(c.m_AutoClearType, 1);
    EXPECT_EQ(c.m_DbCyc, -5);
    EXPECT_EQ(c.m_EndStrongRepairTime, 3);
    EXPECT_EQ(c.m_IsFull, 1);
    EXPECT_EQ(c.m_MinFreeSpace, 12);
}

// --- List files -------------------------------------------------------------------

TEST_F(ConfigManagerTest, StatisticsSectionGivesOnlyItsFirstLine)
{
    m_Tree->WriteConfig("statistics.conf",
                        "[Count]\nTableCount=2\n"
                        "[TableInfo1]\nStatistCys=60\nTableName=StatUser\n"
                        "[CreateSql1]\ncreate table if not exists StatUser(a int) engine=MyISAM\n"
                        "create table second_line(b int)\n"
                        "[StatistSql1]\ninsert into StatUser select count(*) from UserLog where a='x'\n"
                        "[TableInfo2]\nTableName=StatFlow\nSleepTime=3\nErrorTime=4\nStatistTime=5\n"
                        "[CleanStatistSql2]\ndelete from StatFlow\n"
                        "[CleanBaseByTime]\ncall CleanByTime('@TableName',@Days)\nignored\n"
                        "[RepairTable]\nrepair table @TableName\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("statistics.conf"));
    StatisticsConfig s = Manager()->GetStatisticsCopy();
    ASSERT_EQ(s.m_Tables.size(), 2u);

    const StatisticsTable& t1 = s.m_Tables[0];
    EXPECT_EQ(t1.m_CreateSql, "create table if not exists StatUser(a int) engine=MyISAM");
    // A line holding '=' keeps key and value together.
    EXPECT_EQ(t1.m_StatistSql, "insert into StatUser select count(*) from UserLog where a='x'");
    EXPECT_EQ(t1.m_TableName, "StatUser");
    EXPECT_EQ(t1.m_StatistCys, 60);
    EXPECT_EQ(t1.m_SleepTime, 10);
    EXPECT_EQ(t1.m_ErrorTime, 10);
    EXPECT_EQ(t1.m_StatistTime, 60);
    EXPECT_EQ(t1.m_CreateProcSql, "");
    EXPECT_EQ(t1.m_CleanStatistSql, "");

    const StatisticsTable& t2 = s.m_Tables[1];
    EXPECT_EQ(t2.m_TableName, "StatFlow");
    EXPECT_EQ(t2.m_StatistCys, 1440);
    EXPECT_EQ(t2.m_SleepTime, 3);
    EXPECT_EQ(t2.m_ErrorTime, 4);
    EXPECT_EQ(t2.m_StatistTime, 5);
    EXPECT_EQ(t2.m_CleanStatistSql, "delete from StatFlow");
    EXPECT_EQ(t2.m_CreateSql, "");

    EXPECT_EQ(s.m_CleanBaseByTime, "call CleanByTime('@TableName',@Days)");
    EXPECT_EQ(s.m_RepairTable, "repair table @TableName");
    EXPECT_EQ(s.m_CleanBaseProcByTime, "");
    EXPECT_EQ(s.m_CleanBaseByContent, "");
}

TEST_F(ConfigManagerTest, FirstLineOfSectionIsCutAt519Characters)
{
    std::string longSql = "select '" + std::string(600, 'x') + "'";
    m_Tree->WriteConfig("updatesql.conf", "[SqlCount]\ncount=1\n[sql1]\n" + longSql + "\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));
    std::vector<std::string> sql = Manager()->GetUpdateSqlCopy();
    ASSERT_EQ(sql.size(), 1u);
    EXPECT_EQ(sql[0], longSql.substr(0, 519));
}

TEST_F(ConfigManagerTest, UpdateSqlReloadReplacesTheList)
{
    m_Tree->WriteConfig("updatesql.conf",
                        "[SqlCount]\ncount=3\n[sql1]\nupdate a set x=1\n[sql2]\nupdate b set y=2\n"
                        "[sql3]\nupdate c set z=3\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));
    EXPECT_EQ(Manager()->GetUpdateSqlCopy(),
              (std::vector<std::string>{"update a set x=1", "update b set y=2", "update c set z=3"}));

    // The third section is still in the file but beyond the count.
    m_Tree->WriteConfig("updatesql.conf",
                        "[SqlCount]\ncount=2\n[sql1]\nupdate a set x=4\n[sql2]\nupdate b set y=5\n"
                        "[sql3]\nupdate c set z=3\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));
    EXPECT_EQ(Manager()->GetUpdateSqlCopy(),
              (std::vector<std::string>{"update a set x=4", "update b set y=5"}));

    // A missing item section still takes its place in the order.
    m_Tree->WriteConfig("updatesql.conf", "[SqlCount]\ncount=2\n[sql2]\nupdate b set y=6\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));
    EXPECT_EQ(Manager()->GetUpdateSqlCopy(), (std::vector<std::string>{"", "update b set y=6"}));

    m_Tree->WriteConfig("updatesql.conf", "[SqlCount]\ncount=-1\n[sql1]\nupdate a set x=1\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));
    EXPECT_TRUE(Manager()->GetUpdateSqlCopy().empty());
}

TEST_F(ConfigManagerTest, LogudtTablesAndAttributesInOrder)
{
    m_Tree->WriteConfig("Logudt.conf", "[tablecount]\ncount=2\n"
                                       "[table1]\ntablename=Users\nattributecount=3\nattribute1=name\n"
                                       "attribute2=group\nattribute3=mail\nattribute4=beyond\n"
                                       "[table2]\ntablename=Admins\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("Logudt.conf"));
    std::vector<LogudtTable> tables = Manager()->GetLogudtCopy();
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].m_TableName, "Users");
    EXPECT_EQ(tables[0].m_Attributes, (std::vector<std::string>{"name", "group", "mail"}));
    EXPECT_EQ(tables[1].m_TableName, "Admins");
    EXPECT_TRUE(tables[1].m_Attributes.empty());

    m_Tree->WriteConfig("Logudt.conf", "[tablecount]\ncount=0\n[table1]\ntablename=Users\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("Logudt.conf"));
    EXPECT_TRUE(Manager()->GetLogudtCopy().empty());
}

// --- Names, missing files, logging --------------------------------------------

TEST_F(ConfigManagerTest, SpecifiedNamesMatchIgnoringCaseAndSeparator)
{
    m_Tree->WriteConfig("Kelv.conf", "[DatabaseConfig]\nPort=9600\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("KELV.CONF"));
    EXPECT_EQ(Manager()->Kelv().m_Port, 9600);

    m_Tree->WriteMySqlIni("[client]\nport=1\n[mysqld]\nport=3390\nbasedir=/opt/db\ndatadir=/opt/db/data\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("mysql\\my.ini"));
    MySqldConfig db = Manager()->GetMySqldCopy();
    EXPECT_EQ(db.m_Port, 3390);
    EXPECT_EQ(db.m_BaseDir, "/opt/db");
    EXPECT_EQ(db.m_DataDir, "/opt/db/data");

    m_Tree->WriteMySqlIni("[mysqld]\ndatadir=/var/db\n");
    ASSERT_TRUE(Manager()->LoadConfig("MySQL/My.ini"));
    EXPECT_EQ(Manager()->MySqld().m_Port, 3306);
    EXPECT_EQ(Manager()->GetMySqldCopy().m_DataDir, "/var/db");

    EXPECT_EQ(Manager()->GetConfigFilePath("mysql\\my.ini"), m_Tree->InstallDir() + "/mysql/my.ini");
    EXPECT_EQ(Manager()->GetConfigFilePath("Kelv.conf"), m_Tree->ConfigDir() + "/Kelv.conf");

    EXPECT_FALSE(Manager()->LoadSpicifyConfig(""));
    EXPECT_FALSE(Manager()->LoadSpicifyConfig(nullptr));
    // Prefix or suffix of a registered name is not that name.
    EXPECT_FALSE(Manager()->LoadSpicifyConfig("Kelv"));
    EXPECT_FALSE(Manager()->LoadSpicifyConfig("my.ini"));
}

TEST_F(ConfigManagerTest, UnknownNameLogsWarning)
{
    EXPECT_FALSE(Manager()->LoadSpicifyConfig("Nothing.conf"));
    EXPECT_NE(m_Tree->ReadLogs().find("[WARN][TID="), std::string::npos);
    EXPECT_NE(m_Tree->ReadLogs().find("[CConfigManager][LoadSpicifyConfig] Cannot Find Function To Load "
                                      "Nothing.conf\n"),
              std::string::npos);
}

TEST_F(ConfigManagerTest, MissingFileKeepsPreviousValuesAndLogsError)
{
    m_Tree->WriteConfig("Kelv.conf", "[DatabaseConfig]\nPort=9777\nDBServer=keep.me\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("Kelv.conf"));
    m_Tree->WriteConfig("statistics.conf", "[Count]\nTableCount=1\n[TableInfo1]\nTableName=T\n");
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("statistics.conf"));

    m_Tree->RemoveConfig("Kelv.conf");
    m_Tree->RemoveConfig("statistics.conf");
    EXPECT_FALSE(Manager()->LoadSpicifyConfig("Kelv.conf"));
    EXPECT_FALSE(Manager()->LoadSpicifyConfig("statistics.conf"));
    EXPECT_EQ(Manager()->Kelv().m_Port, 9777);
    EXPECT_EQ(Manager()->GetKelvCopy().m_DBServer, "keep.me");
    ASSERT_EQ(Manager()->GetStatisticsCopy().m_Tables.size(), 1u);
    EXPECT_EQ(Manager()->GetStatisticsCopy().m_Tables[0].m_TableName, "T");

    std::string logs = m_Tree->ReadLogs();
    EXPECT_NE(logs.find("[ERROR][TID="), std::string::npos);
    EXPECT_NE(logs.find("[CConfigManager][LoadKelvConfig] Cannot Get File Attributes. FileName = " +
                        m_Tree->ConfigDir() + "/Kelv.conf , Err = 2.\n"),
              std::string::npos)
        << logs;
    EXPECT_NE(logs.find("[CConfigManager][LoadStatisticsConfig] Cannot Get File Attributes. FileName = " +
                        m_Tree->ConfigDir() + "/statistics.conf , Err = 2.\n"),
              std::string::npos);

    // Loading all still runs every loader and reports the failure.
    m_Tree->WriteConfig("Kelv.conf", "[DatabaseConfig]\nPort=9778\n");
    EXPECT_FALSE(Manager()->LoadConfig());
    EXPECT_EQ(Manager()->Kelv().m_Port, 9778);
}

TEST_F(ConfigManagerTest, RegisteredLoaderIsCalledWithItsNameAndContext)
{
    static std::string seenName;
    static void* seenContext = nullptr;
    ConfigLoader loader = [](const std::string& name, void* context)
    {
        seenName = name;
        seenContext = context;
        return true;
    };
    EXPECT_FALSE(Manager()->RegisterConfigLoader(nullptr, loader));
    EXPECT_FALSE(Manager()->RegisterConfigLoader("Extra.conf", nullptr));
    ASSERT_TRUE(Manager()->RegisterConfigLoader("Extra.conf", loader));
    EXPECT_TRUE(Manager()->LoadSpicifyConfig("EXTRA.conf"));
    EXPECT_EQ(seenName, "Extra.conf");
    EXPECT_EQ(seenContext, Manager());
}

// --- Locks ---------------------------------------------------------------------

TEST_F(ConfigManagerTest, CopiesNeverSeeAHalfReloadedList)
{
    std::string content = "[SqlCount]\ncount=40\n";
    for (int i = 1; i <= 40; ++i)
        content += "[sql" + std::to_string(i) + "]\nupdate t set v=" + std::to_string(i) + "\n";
    m_Tree->WriteConfig("updatesql.conf", content);
    ASSERT_TRUE(Manager()->LoadSpicifyConfig("updatesql.conf"));

    std::atomic<bool> done{false};
    std::thread reloader(
        [&]
        {
            for (int i = 0; i < 100; ++i)
                Manager()->LoadSpicifyConfig("updatesql.conf");
            done = true;
        });
    int torn = 0;
    int copies = 0;
    while (!done)
    {
        if (Manager()->GetUpdateSqlCopy().size() != 40u)
            ++torn;
        ++copies;
    }
    reloader.join();
    EXPECT_EQ(torn, 0) << "of " << copies << " copies";
}

// --- The shipped configuration set ----------------------------------------------

TEST_F(ConfigManagerTest, ShippedConfigurationLoadsWithItsDefaults)
{
    namespace fs = std::filesystem;
    fs::path shipped = fs::path(__FILE__).parent_path() / ".." / ".." / ".." / "conf";
    ASSERT_TRUE(fs::is_directory(shipped)) << shipped;
    const char* files[] = {"Kelv.conf",   "KelvAdv.conf",   "ProgramLog.conf",
                           "Logudt.conf", "updatesql.conf", "statistics.conf"};
    for (const char* f : files)
        fs::copy_file(shipped / f, fs::path(m_Tree->ConfigDir()) / f, fs::copy_options::overwrite_existing);
    m_Tree->WriteMySqlIni("[mysqld]\nport=3306\n");

    EXPECT_TRUE(Manager()->LoadConfig());

    KelvConfig k = Manager()->GetKelvCopy();
    EXPECT_EQ(k.m_DBServer, "127.0.0.1");
    EXPECT_EQ(k.m_DBUser, "root");
    EXPECT_EQ(k.m_DBPwd, "");
    EXPECT_EQ(k.m_DataBase, "velmoglobaldb");
    EXPECT_EQ(k.m_Port, 9501);
    EXPECT_EQ(k.m_AutoClearType, 2);
    EXPECT_EQ(k.m_DbContent, 5000);
    EXPECT_EQ(k.m_DbCyc, 180);
    EXPECT_EQ(k.m_EndCheckTime, 4);
    EXPECT_EQ(k.m_EndStrongRepairTime, 2);
    EXPECT_EQ(k.m_MinFreeSpace, 4);
    EXPECT_EQ(k.m_IsFull, 0);

    KelvAdvConfig a = Manager()->GetKelvAdvCopy();
    EXPECT_EQ(a.m_GlobalEnableLogMerge, 1);
    EXPECT_EQ(a.m_ParticleTime, 30);
    EXPECT_EQ(a.m_MergeBuffers, 2);
    EXPECT_EQ(a.m_MergeBufferSize, 5);
    EXPECT_EQ(a.m_EnableHttpFilter, 1);
    EXPECT_EQ(a.m_HttpFilterList, "");
    EXPECT_EQ(a.m_SysLogEnableLogMerge, 0);
    EXPECT_EQ(a.m_SvpnNodeSendBuffSize, 10);
    EXPECT_EQ(a.m_MaxPackgeSize, 5);
    EXPECT_EQ(a.m_DataFileUseTime, 10);
    EXPECT_EQ(a.m_NoTempTableDataFileSize, 10);
    EXPECT_EQ(a.m_InfoListenPort, 9509);
    EXPECT_EQ(a.m_MetricsListenPort, 9510);
    EXPECT_EQ(a.m_MaxConnection, 16);

    const ProgramLogConfig& p = Manager()->ProgramLog();
    EXPECT_EQ(p.m_GlobalEnable, 1);
    EXPECT_EQ(p.m_DebugViewEnable, 1);
    EXPECT_EQ(p.m_TxtLogEnable, 1);
    EXPECT_EQ(p.m_MaxLogSize, 1024);
    EXPECT_EQ(p.m_LogLevel, PL_ERROR | PL_WARN | PL_INFO);
    EXPECT_EQ(p.m_MaxLogFiles, 30);

    EXPECT_TRUE(Manager()->GetUpdateSqlCopy().empty());
    // A fresh install accepts directory pushes of the four directory tables.
    std::vector<LogudtTable> logudt = Manager()->GetLogudtCopy();
    ASSERT_EQ(logudt.size(), 4u);
    EXPECT_EQ(logudt[0].m_TableName, "Admin");
    EXPECT_EQ(logudt[2].m_TableName, "svpnuser");
    EXPECT_FALSE(logudt[2].m_Attributes.empty());
    // The report tables of the device schema, and its repair procedure.
    StatisticsConfig s = Manager()->GetStatisticsCopy();
    ASSERT_EQ(s.m_Tables.size(), 10u);
    EXPECT_EQ(s.m_Tables[0].m_TableName, "grp_flowrange");
    EXPECT_EQ(s.m_RepairTable, "call repairTables()");
}
} // namespace
