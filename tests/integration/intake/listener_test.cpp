#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/TaskManager.h"
#include "intake/DataCenterListenTask.h"
#include "intake/SvpnNodeManager.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/ServiceManager.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "protocol/WireProtocol.h"
#include "storage/SQLConnManager.h"
#include "support/Process.h"
#include "support/RawDevice.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{
uint16_t FreePort()
{
    return static_cast<uint16_t>(qbtest::FreeTcpPort());
}

// The warning and error lines of the log, shown when a check fails.
std::string Problems()
{
    std::string log = qbtest::ReadTodayLog(), out;
    size_t start = 0;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    {
        std::string line = log.substr(start, end - start + 1);
        if (line.find("[ERROR]") != std::string::npos || line.find("[WARN]") != std::string::npos ||
            line.find("OnFD_Close") != std::string::npos)
            out += line;
    }
    return out;
}

// The collector's intake on a private global database: registries, task
// manager and the listener task on a free port.
class ListenerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        m_Global = qbtest::UniqueDbPrefix("lsn") + "global";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(CSvpnNodeManager::GetInstance()->Init());
        ASSERT_TRUE(CTaskManager::GetInstance()->Init());
        m_Port = FreePort();
        SetConfig("Kelv.conf", "DatabaseConfig", "Port", std::to_string(m_Port));
        SetConfig("KelvAdv.conf", "Network", "MaxConnection", "16");
    }

    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        for (int c : m_Clients)
            if (c >= 0)
                close(c);
        StopListener();
        EXPECT_EQ(CSvpnNodeManager::GetInstance()->WaitForAllSvpnNode(20000), platform::WAIT_OBJECT_0);
        EXPECT_TRUE(qbtest::WaitUntil([&] { return Nodes() == 0; }, 5000))
            << "the watcher reaps every ended node";
        CTaskManager::GetInstance()->UnInit();
        CSvpnNodeManager::GetInstance()->UnInit();
        CSQLConnManager::GetInstance()->UnInit();
        CSocketManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Global);
    }

    void SetConfig(const char* file, const char* section, const char* key, const std::string& value)
    {
        CConfigManager* config = CConfigManager::GetInstance();
        ASSERT_TRUE(
            platform::WritePrivateProfileString(section, key, value, config->GetConfigFilePath(file)));
        config->LoadConfig(file);
    }

    void StartListener()
    {
        m_pTask = new CDataCenterListenTask();
        ASSERT_TRUE(CTaskManager::GetInstance()->AddTask(m_pTask));
    }

    // True when the listener's thread has ended within the time.
    bool ListenerEnded(uint32_t ms)
    {
        return platform::WaitForSingleObject(m_pTask->m_hThread.get(), ms) == platform::WAIT_OBJECT_0;
    }

    void StopListener()
    {
        if (m_pTask == nullptr)
            return;
        m_pTask->Stop();
        EXPECT_TRUE(ListenerEnded(5000));
        // A listener that ended on its own may have been unlisted by the manager's check already.
        if (!CTaskManager::GetInstance()->DelTask(m_pTask))
        {
            m_pTask->UnInit();
            delete m_pTask;
        }
        m_pTask = nullptr;
    }

    bool WaitListening()
    {
        return qbtest::WaitUntil(
            [&]
            {
                int c = qbtest::ConnectLoopback(m_Port);
                if (c < 0)
                    return false;
                m_Clients.push_back(c);
                return true;
            },
            10000);
    }

    size_t Nodes() { return CSvpnNodeManager::GetInstance()->GetSvpnNodeCount(); }

    std::string m_Global;
    uint16_t m_Port = 0;
    CDataCenterListenTask* m_pTask = nullptr;
    std::vector<int> m_Clients;
};
} // namespace

TEST_F(ListenerTest, ConnectionLimitClosesTheSeventeenthAndWatcherFreesSlots)
{
    StartListener();
    ASSERT_TRUE(WaitListening());
    while (m_Clients.size() < 16)
    {
        int c = qbtest::ConnectLoopback(m_Port);
        ASSERT_GE(c, 0);
        m_Clients.push_back(c);
    }
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Nodes() == 16; }, 10000)) << Nodes();

    int extra = qbtest::ConnectLoopback(m_Port);
    ASSERT_GE(extra, 0) << "accepted by the kernel";
    EXPECT_EQ(qbtest::WatchPeer(extra, 3000), qbtest::PeerState::Closed)
        << "the 17th connection is closed at once";
    close(extra);
    EXPECT_NE(qbtest::ReadTodayLog().find("[CSvpnNodeManager][AllocSvpnNode] Max Connection.\n"),
              std::string::npos);
    for (int c : m_Clients)
        EXPECT_EQ(qbtest::WatchPeer(c, 0), qbtest::PeerState::Open);

    // One device goes away: its thread ends and the watcher frees the slot.
    close(m_Clients[3]);
    m_Clients[3] = -1;
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Nodes() == 15; }, 5000)) << Nodes();
    EXPECT_NE(
        qbtest::ReadTodayLog().find("[SvpnNodeCheckProcess] Release A SvpnNode. Node =  ,  Object = 0x"),
        std::string::npos);
    EXPECT_TRUE(qbtest::WaitUntil(
        [] { return CSvpnNodeManager::GetInstance()->GetConnectedNodeCount() == 15; }, 5000));

    int again = qbtest::ConnectLoopback(m_Port);
    ASSERT_GE(again, 0);
    m_Clients.push_back(again);
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Nodes() == 16; }, 5000));
    EXPECT_EQ(qbtest::WatchPeer(again, 500), qbtest::PeerState::Open);
    EXPECT_FALSE(ListenerEnded(0));
}

TEST_F(ListenerTest, ProbeRepliesTravelThroughTheNode)
{
    // Many probes in one burst: replies outgrow the send ring several times
    // and must all arrive, in order, through the connection thread.
    StartListener();
    ASSERT_TRUE(WaitListening());
    int c = m_Clients.back();
    uint8_t probe[PROBE_RECORD_LEN];
    ASSERT_EQ(wire::BuildProbeRecord(probe, sizeof(probe)), sizeof(probe));
    uint8_t answer[PROBE_ANSWER_LEN];
    ASSERT_EQ(wire::BuildProbeAnswer(answer, sizeof(answer)), sizeof(answer));

    constexpr int PROBES = 3000;
    std::string burst;
    for (int i = 0; i < PROBES; ++i)
        burst.append(reinterpret_cast<char*>(probe), sizeof(probe));
    ASSERT_EQ(send(c, burst.data(), burst.size(), 0), static_cast<ssize_t>(burst.size()));

    std::string replies;
    const size_t expected = PROBES * sizeof(answer);
    char buf[8192];
    while (replies.size() < expected)
    {
        pollfd p{c, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "replies stalled after " << replies.size() << " bytes";
        ssize_t r = recv(c, buf, sizeof(buf), 0);
        ASSERT_GT(r, 0);
        replies.append(buf, static_cast<size_t>(r));
    }
    ASSERT_EQ(replies.size(), expected);
    for (int i = 0; i < PROBES; ++i)
        ASSERT_EQ(replies.compare(i * sizeof(answer), sizeof(answer), reinterpret_cast<char*>(answer),
                                  sizeof(answer)),
                  0)
            << "reply " << i;
    EXPECT_EQ(qbtest::WatchPeer(c, 200), qbtest::PeerState::Open);
}

TEST_F(ListenerTest, ResetsAndDescriptorShortageDoNotStopTheListener)
{
    StartListener();
    ASSERT_TRUE(WaitListening());

    // Clients that reset right after connecting.
    for (int i = 0; i < 40; ++i)
    {
        int c = qbtest::ConnectLoopback(m_Port);
        ASSERT_GE(c, 0);
        linger lg{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(c);
    }
    platform::Sleep(300);
    EXPECT_FALSE(ListenerEnded(0));

    // No descriptor left for accept: the listener waits and goes on.
    std::vector<int> waiting;
    for (int i = 0; i < 3; ++i)
        waiting.push_back(socket(AF_INET, SOCK_STREAM, 0));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int highest = 0;
    for (int fd = 0; fd < 65536 && fd < static_cast<int>(old.rlim_cur); ++fd)
        if (fcntl(fd, F_GETFD) >= 0)
            highest = fd;
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers; // the free descriptors below the limit
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        fillers.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int c : waiting)
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    platform::Sleep(400);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    for (int fd : fillers)
        close(fd);
    EXPECT_FALSE(ListenerEnded(0));
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[OnFDAccept] accept Fail Err = " + std::to_string(EMFILE) + "\n"), std::string::npos);
    EXPECT_LT(qbtest::CountOf(log, "[OnFDAccept] accept Fail Err = " + std::to_string(EMFILE)), 10u)
        << "paused between attempts instead of spinning";

    // The waiting connections are served once descriptors are back.
    ASSERT_TRUE(qbtest::WaitUntil([&] { return Nodes() >= 3; }, 5000));
    for (int c : waiting)
    {
        EXPECT_EQ(qbtest::WatchPeer(c, 0), qbtest::PeerState::Open) << Problems();
        m_Clients.push_back(c);
    }
    EXPECT_FALSE(ListenerEnded(0));
}

TEST_F(ListenerTest, PortZeroEndsTheListenerAfterCleaningTempXml)
{
    const std::string& temp = CGlobalSharedData::GetInstance()->GetTempDir();
    ASSERT_TRUE(platform::CreateDirectories(temp + "/keep.xml"));
    qbtest::WriteFile(temp + "/one.xml", "<a/>");
    qbtest::WriteFile(temp + "/TWO.XML", "<b/>");
    qbtest::WriteFile(temp + "/note.txt", "x");

    // The watchdog service is started when the collector runs as a service.
    const char* dog = CDataCenterListenTask::WATCHDOG_SERVICE_NAME;
    if (!platform::IsServiceInstalled(dog))
    {
        ASSERT_TRUE(platform::CreateService(dog, dog, qbtest::DatabaseServiceStandInCommand()));
    }

    SetConfig("Kelv.conf", "DatabaseConfig", "Port", "0");
    StartListener();
    ASSERT_TRUE(ListenerEnded(10000));
    EXPECT_EQ(m_pTask->m_hThread->GetExitCode(), 0u);

    EXPECT_FALSE(platform::FileExists(temp + "/one.xml"));
    EXPECT_FALSE(platform::FileExists(temp + "/TWO.XML"));
    EXPECT_TRUE(platform::FileExists(temp + "/note.txt"));
    EXPECT_TRUE(platform::IsDirectory(temp + "/keep.xml"));

    std::string log = qbtest::ReadTodayLog();
    size_t invalid = log.find("[CDataCenterListenTask][Run] DataCenter Listen Port Invalid\n");
    ASSERT_NE(invalid, std::string::npos);
    EXPECT_NE(log.find("[CDataCenterListenTask][Run] Exit Normally\n", invalid), std::string::npos);
    EXPECT_NE(log.find("[CleanUpTempXml] Delete FileName = " + temp + "/one.xml Succeed.\n"),
              std::string::npos);
    EXPECT_NE(log.find("[MakeQuillbarnServiceOK] Start KelvDog Service Succeed.\n"), std::string::npos);
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return platform::QueryServiceState(dog) == platform::ServiceState::Running; }, 3000));
    platform::ControlServiceStop(dog);
    platform::DeleteService(dog);

    // A missing temporary directory is no reason for a warning.
    std::string moved = temp + ".away";
    ASSERT_EQ(rename(temp.c_str(), moved.c_str()), 0);
    CDataCenterListenTask probe;
    EXPECT_EQ(probe.CleanUpTempXml(), 1);
    ASSERT_EQ(rename(moved.c_str(), temp.c_str()), 0);
    EXPECT_EQ(qbtest::ReadTodayLog().find("[CleanUpTempXml] Cannot Search Path"), std::string::npos);
}
