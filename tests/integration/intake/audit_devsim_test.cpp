// devsim uploads files to the collector's intake running in this process (listener, device connection,
// record task, writer chain) on the test database server: the file arrives byte-identical, masked or
// not, with blocks held back until the collector asks for them.
#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/TaskManager.h"
#include "intake/DataCenterListenTask.h"
#include "intake/SvpnNodeManager.h"
#include "platform/Profile.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"
#include "support/DevSimRunner.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"
#include "writers/AuditFileManager.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>

namespace fs = std::filesystem;

namespace
{
uint16_t FreePort()
{
    return static_cast<uint16_t>(qbtest::FreeTcpPort());
}

class AuditDevSimTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        std::string prefix = qbtest::UniqueDbPrefix("upl");
        m_Global = prefix + "global";
        m_DevDb = prefix + "dev1";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        // devsim's first device: secret "secret1", key = its MD5.
        MYSQL* admin = qbtest::AdminConnect(m_Global);
        ASSERT_NE(admin, nullptr);
        ASSERT_TRUE(qbtest::AddDevice(admin, "dev1", "secret1", m_DevDb));
        mysql_close(admin);
        fs::copy_file(std::string(QB_SOURCE_DIR) + "/conf/Logudt.conf",
                      CConfigManager::GetInstance()->GetConfigFilePath("Logudt.conf"),
                      fs::copy_options::overwrite_existing);
        CConfigManager::GetInstance()->LoadSpicifyConfig("Logudt.conf");
        m_Port = FreePort();
        CConfigManager* config = CConfigManager::GetInstance();
        ASSERT_TRUE(platform::WritePrivateProfileString("DatabaseConfig", "Port", std::to_string(m_Port),
                                                        config->GetConfigFilePath("Kelv.conf")));
        config->LoadConfig("Kelv.conf");

        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(CSvpnNodeManager::GetInstance()->Init());
        ASSERT_TRUE(CTaskManager::GetInstance()->Init());
        ASSERT_TRUE(CAuditFileManager::GetInstance()->Init());
        m_pTask = new CDataCenterListenTask();
        ASSERT_TRUE(CTaskManager::GetInstance()->AddTask(m_pTask));
        m_Root = CGlobalSharedData::GetInstance()->GetUploadDir();
    }

    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        if (m_pTask != nullptr)
        {
            m_pTask->Stop();
            platform::WaitForSingleObject(m_pTask->m_hThread.get(), 5000);
            CTaskManager::GetInstance()->DelTask(m_pTask);
        }
        CSvpnNodeManager::GetInstance()->WaitForAllSvpnNode(20000);
        CAuditFileManager::GetInstance()->UnInit();
        CTaskManager::GetInstance()->UnInit();
        CSvpnNodeManager::GetInstance()->UnInit();
        CSQLConnManager::GetInstance()->UnInit();
        CSocketManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Global);
        qbtest::DropDatabase(m_DevDb);
        std::error_code ec;
        fs::remove_all(m_Root + "/" + m_DevDb, ec);
    }

    devsimtest::SRunResult Upload(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"--port", std::to_string(m_Port), "--upload",        m_File,
                                         "--time", "2026-03-14 09:26:53",  "--reply-timeout", "20"};
        args.insert(args.end(), extra.begin(), extra.end());
        // The listener needs a moment to load the devices and listen.
        devsimtest::SRunResult r;
        for (int i = 0; i < 50; ++i)
        {
            r = devsimtest::RunDevSim(args, m_Tmp.Path());
            if (r.m_Report["upload.error"].find("cannot connect") == std::string::npos)
                break;
            platform::Sleep(100);
        }
        return r;
    }

    std::string m_Global, m_DevDb, m_Root, m_File;
    uint16_t m_Port = 0;
    CDataCenterListenTask* m_pTask = nullptr;
    devsimtest::CTempDir m_Tmp;
};
} // namespace

TEST_F(AuditDevSimTest, UploadsArriveWholeAndMissingBlocksAreResent)
{
    std::string content;
    std::mt19937 rng(9);
    for (int b = 0; b < 40; ++b) // 40 blocks of 64 KiB, text and random in turn, the last one short
        for (int i = 0; i < 65536 - (b == 39 ? 999 : 0); ++i)
            content += (b % 2) ? char(rng()) : "audit text line\n"[i % 16];
    m_File = m_Tmp.Path() + "/payload.bin";
    qbtest::WriteFile(m_File, content);

    auto r = Upload({"--skip-blocks", "2,3,17", "--mask"});
    ASSERT_EQ(r.m_Exit, 0) << r.m_Stdout << r.m_Stderr << qbtest::ReadTodayLog();
    EXPECT_EQ(r.m_Report["result"], "ok");
    EXPECT_EQ(r.m_Report["upload.missing"], "2+2;17+1");
    EXPECT_EQ(r.m_Report["upload.blocks_resent"], "3");
    EXPECT_EQ(r.m_Report["upload.stored_sha1"], r.m_Report["upload.sha1"]);
    EXPECT_GT(r.Num("upload.blocks_compressed"), 0u);
    std::string dir = m_Root + "/" + m_DevDb + "/2026-03/user1/";
    EXPECT_TRUE(qbtest::ReadFile(dir + "20260314092653.dat") == content);

    // Unmasked, every block twice, uncompressed: the second file of that second.
    r = Upload({"--repeat-blocks", "--compress", "none", "--block-size", "32768"});
    ASSERT_EQ(r.m_Exit, 0) << r.m_Stdout;
    EXPECT_EQ(r.m_Report["upload.blocks_sent"], "160");
    EXPECT_EQ(r.m_Report["upload.missing"], "");
    EXPECT_TRUE(qbtest::ReadFile(dir + "20260314092653_1.dat") == content);

    // Kind 1: recorded without blocks or a file.
    r = Upload({"--transfer-kind", "1"});
    ASSERT_EQ(r.m_Exit, 0) << r.m_Stdout;
    EXPECT_EQ(r.m_Report["upload.blocks_sent"], "0");
    EXPECT_FALSE(fs::exists(dir + "20260314092653_2.dat"));

    MYSQL* dev = qbtest::AdminConnect(m_DevDb);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(
        qbtest::QueryValue(dev, "select count(*) from usrfileauditlog where user_name='user1' and filesize=" +
                                    std::to_string(content.size()) + " and filename='payload.bin'"),
        "3");
    EXPECT_EQ(
        qbtest::QueryValue(dev, "select group_concat(dcfilepath order by record_id) from usrfileauditlog"),
        "/UploadFiles/" + m_DevDb + "/2026-03/user1/20260314092653.dat,/UploadFiles/" + m_DevDb +
            "/2026-03/user1/20260314092653_1.dat,");
    mysql_close(dev);
}
