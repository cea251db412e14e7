// The info query over a real loopback socket, and the disk-space check that publishes ISFULL.
#include "config/ConfigManager.h"
#include "config/DiskSpace.h"
#include "core/InfoManager.h"
#include "maintenance/InfoRetrieveTask.h"
#include "platform/Profile.h"
#include "platform/SocketManager.h"
#include "protocol/InfoQueryProtocol.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "writers/LogMergeManager.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
InfoQueryHeader Query(int32_t type)
{
    InfoQueryHeader q{};
    q.m_HeaderSize = 24;
    std::memcpy(q.m_Sign, "INFOQRY", 8);
    q.m_QueryType = type;
    return q;
}

// Everything that arrives within `quietMs` of the last byte (at most `max` bytes).
std::string ReadFor(int fd, int quietMs, size_t max = 4096)
{
    std::string out;
    char buf[512];
    while (out.size() < max)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

class InfoQueryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        m_AdvPath = CConfigManager::GetInstance()->GetConfigFilePath("KelvAdv.conf");
        m_AdvOriginal = qbtest::ReadFile(m_AdvPath);
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
        ASSERT_TRUE(CLogMergeManager::GetInstance()->Init());
        m_Port = qbtest::FreeTcpPort();
        m_Task.SetListenPortOverride(m_Port);
        ASSERT_TRUE(m_Task.Start());
    }
    void TearDown() override
    {
        if (m_Client >= 0)
            close(m_Client);
        m_Task.StopAndWait(10000);
        CLogMergeManager::GetInstance()->UnInit();
        qbtest::WriteFile(m_AdvPath, m_AdvOriginal);
        CConfigManager::GetInstance()->LoadConfig("KelvAdv.conf");
    }

    void SetAdv(const std::string& text)
    {
        qbtest::WriteFile(m_AdvPath, text);
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("KelvAdv.conf"));
    }

    void Connect()
    {
        ASSERT_TRUE(qbtest::WaitUntil(
            [&]
            {
                m_Client = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(m_Port));
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(m_Client, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
                    return true;
                close(m_Client);
                m_Client = -1;
                return false;
            },
            5000));
    }
    void Send(const void* data, size_t len)
    {
        ASSERT_EQ(static_cast<ssize_t>(len), send(m_Client, data, len, 0));
    }
    // Sends one request and reads the whole answer.
    std::string Ask(int32_t type, int quietMs = 300)
    {
        InfoQueryHeader q = Query(type);
        Send(&q, sizeof(q));
        return ReadFor(m_Client, quietMs);
    }
    static InfoLogMergeReplyData Data(const std::string& reply)
    {
        InfoLogMergeReplyData d{};
        if (reply.size() == 100)
            std::memcpy(&d, reply.data() + 28, sizeof(d));
        return d;
    }

    std::string m_AdvPath, m_AdvOriginal;
    CInfoRetrieveTask m_Task;
    int m_Port = 0;
    int m_Client = -1;
};

TEST_F(InfoQueryTest, LogMergeQueryGetsHeaderAndDataWithLiveFigures)
{
    SetAdv("[Global]\nEnableLogMerge=1\nParticleTime=600\nMergeBuffers=2\nMergeBufferSize=1\n"
           "[UserLog]\nEnableLogMerge=1\n[FlowLog]\nEnableLogMerge=1\n[SysLog]\nEnableLogMerge=0\n");
    // A live chain: 600 flow rows of different ports, then 5 repeats that are summed.
    CQuillbarnLogsWriterManager chain;
    chain.AppendLogWriter(&chain.GetLogMergerLogWriter());
    UserLogV3 flux;
    std::memset(&flux, 0, sizeof(flux));
    std::memcpy(flux.m_Head.m_Sign, WIRE_SIGN_0500, 8);
    flux.m_Head.m_LogType = LOG_TYPE_USERV3;
    flux.m_Head.m_DataLen = USER_LOG_V3_LEN;
    flux.m_Action = USER_ACTION_FLUX;
    flux.m_UpFlux = 1;
    std::strcpy(flux.m_UserName, "carol");
    for (int i = 0; i < 605; ++i)
    {
        flux.m_ServerPort = static_cast<uint16_t>(i % 600);
        ASSERT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &flux, nullptr));
    }
    CInfoManager* info = CInfoManager::GetInstance();
    info->IncRecvLogCount();

    Connect();
    std::string reply = Ask(1);
    ASSERT_EQ(100u, reply.size());
    InfoReplyHeader h;
    std::memcpy(&h, reply.data(), sizeof(h));
    EXPECT_EQ(28u, h.m_HeaderSize);
    EXPECT_EQ(0, std::memcmp(h.m_Sign, "INFORLY", 8));
    EXPECT_EQ(1u, h.m_Reserved1);
    EXPECT_EQ(1u, h.m_ReplyType);
    EXPECT_EQ(0u, h.m_Reserved2);
    EXPECT_EQ(72u, h.m_DataSize);
    InfoLogMergeReplyData d = Data(reply);
    EXPECT_EQ(1u, d.m_Version);
    EXPECT_EQ(1u, d.m_GlobalEnableLogMerge);
    EXPECT_EQ(info->GetCounter(CInfoManager::INFO_RECV_LOG), d.m_RecvLogCount.Get());
    EXPECT_GE(d.m_RecvLogCount.Get(), 1u);
    EXPECT_EQ(info->GetCounter(CInfoManager::INFO_MERGED_TOTAL), d.m_MergedTotal.Get());
    EXPECT_EQ(2u, d.m_BuffCount);
    EXPECT_EQ(2u * 1048576u, d.m_BuffCapacity);
    EXPECT_EQ(600u * 948u * 100u / (2u * 1048576u), d.m_FillPercent);
    EXPECT_EQ(1u, d.m_UserLogEnableLogMerge);
    EXPECT_EQ(info->GetCounter(CInfoManager::INFO_MERGED_SVR_LOG), d.m_MergedSvrLogCount.Get());
    EXPECT_EQ(1u, d.m_FlowLogEnableLogMerge);
    EXPECT_EQ(info->GetCounter(CInfoManager::INFO_MERGED_FLOW_LOG), d.m_MergedFlowLogCount.Get());
    EXPECT_GE(d.m_MergedFlowLogCount.Get(), 5u);
    EXPECT_EQ(0u, d.m_SysLogEnableLogMerge);
    EXPECT_EQ(info->GetCounter(CInfoManager::INFO_MERGED_SYS_LOG), d.m_MergedSysLogCount.Get());

    chain.OnQuit();
    chain.UnInstallLogWriterChain();
    // The same connection serves again; without mergers the buffer fields are 0.
    reply = Ask(1);
    ASSERT_EQ(100u, reply.size());
    d = Data(reply);
    EXPECT_EQ(0u, d.m_BuffCount);
    EXPECT_EQ(0u, d.m_BuffCapacity);
    EXPECT_EQ(0u, d.m_FillPercent);
}

TEST_F(InfoQueryTest, MalformedRequestsGetNothingAndTheConnectionStaysUsable)
{
    Connect();
    EXPECT_EQ("", Ask(2));
    EXPECT_EQ("", Ask(0));
    EXPECT_EQ("", Ask(-1));
    InfoQueryHeader badSize = Query(1);
    badSize.m_HeaderSize = 25;
    Send(&badSize, sizeof(badSize));
    InfoQueryHeader badSign = Query(1);
    badSign.m_Sign[7] = 'X';
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(&badSign, sizeof(badSign));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send("INFOQRY", 8); // shorter than a header
    EXPECT_EQ("", ReadFor(m_Client, 300));
    EXPECT_EQ(100u, Ask(1).size());

    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(std::string::npos, log.find("[DispatchRequest] Query Type = 2 Not Support.\n"));
    EXPECT_NE(std::string::npos, log.find("[DispatchRequest] Query Type = 0 Not Support.\n"));
    EXPECT_EQ(std::string::npos, log.find("Query Type = 4294967295"));
    EXPECT_NE(std::string::npos, log.find("[DispatchRequest] Query Header Size = 25 Not 24\n"));
    EXPECT_NE(std::string::npos, log.find("[DispatchRequest] Query Header Sign Not INFOQRY\n"));
}

TEST_F(InfoQueryTest, TwoRequestsReadTogetherAreAnsweredOnce)
{
    Connect();
    InfoQueryHeader two[2] = {Query(1), Query(1)};
    Send(two, sizeof(two));
    EXPECT_EQ(100u, ReadFor(m_Client, 400).size());
    // One client at a time: a second client is served after the first leaves.
    int first = m_Client;
    m_Client = -1;
    Connect();
    InfoQueryHeader q = Query(1);
    Send(&q, sizeof(q));
    EXPECT_EQ("", ReadFor(m_Client, 200));
    close(first);
    EXPECT_EQ(100u, ReadFor(m_Client, 1000).size());
}

TEST_F(InfoQueryTest, PerKindEnablesAreZeroWhileMergingIsOffGlobally)
{
    SetAdv("[Global]\nEnableLogMerge=0\n[UserLog]\nEnableLogMerge=1\n[FlowLog]\nEnableLogMerge=1\n"
           "[SysLog]\nEnableLogMerge=1\n");
    Connect();
    InfoLogMergeReplyData d = Data(Ask(1));
    EXPECT_EQ(1u, d.m_Version);
    EXPECT_EQ(0u, d.m_GlobalEnableLogMerge);
    EXPECT_EQ(0u, d.m_UserLogEnableLogMerge);
    EXPECT_EQ(0u, d.m_FlowLogEnableLogMerge);
    EXPECT_EQ(0u, d.m_SysLogEnableLogMerge);

    SetAdv("[Global]\nEnableLogMerge=1\n[UserLog]\nEnableLogMerge=0\n[FlowLog]\nEnableLogMerge=1\n"
           "[SysLog]\nEnableLogMerge=1\n");
    d = Data(Ask(1));
    EXPECT_EQ(1u, d.m_GlobalEnableLogMerge);
    EXPECT_EQ(0u, d.m_UserLogEnableLogMerge);
    EXPECT_EQ(1u, d.m_FlowLogEnableLogMerge);
    EXPECT_EQ(1u, d.m_SysLogEnableLogMerge);
}

TEST(InfoRetrieveTaskTest, PortZeroEndsTheListenerWithAWarning)
{
    qbtest::InitTestInstall();
    CInfoRetrieveTask task;
    task.SetListenPortOverride(0);
    EXPECT_EQ(static_cast<uint32_t>(-1), task.Run());
    EXPECT_NE(std::string::npos, qbtest::ReadTodayLog().find("[Run] Invalid Listen Port = 0\n"));
}

class DiskSpaceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        m_KelvPath = CConfigManager::GetInstance()->GetConfigFilePath("Kelv.conf");
        m_KelvOriginal = qbtest::ReadFile(m_KelvPath);
        SetFreeSpaceQuery(
            [this](const std::string& path, uint64_t& freeBytes)
            {
                m_QueriedPath = path;
                freeBytes = m_FreeBytes;
                return m_bQueryOk;
            });
    }
    void TearDown() override
    {
        CInfoManager::GetInstance()->UnInit();
        SetFreeSpaceQuery(nullptr);
        qbtest::WriteFile(m_KelvPath, m_KelvOriginal);
        CConfigManager::GetInstance()->LoadConfig("Kelv.conf");
    }
    int FileIsFull() { return platform::GetPrivateProfileInt("DiskFreeSpace", "ISFULL", -1, m_KelvPath); }
    int MemoryIsFull() { return CConfigManager::GetInstance()->Kelv().m_IsFull; }

    std::string m_KelvPath, m_KelvOriginal, m_QueriedPath;
    uint64_t m_FreeBytes = 0;
    bool m_bQueryOk = true;
};

TEST_F(DiskSpaceTest, FullAtExactlyMinFreeSpaceAndKelvConfRewrittenOnlyOnChange)
{
    int minMiB = CConfigManager::GetInstance()->Kelv().m_MinFreeSpace;
    ASSERT_GT(minMiB, 0);
    ASSERT_EQ(0, MemoryIsFull());

    m_FreeBytes = (static_cast<uint64_t>(minMiB) << 20) + (1u << 20) - 1; // just under min + 1 MiB
    EXPECT_EQ(1, RealTimeInfo_DiskSpace());
    EXPECT_EQ(1, MemoryIsFull());
    EXPECT_EQ(1, FileIsFull());
    EXPECT_EQ(CConfigManager::GetInstance()->MySqld().m_DataDir, m_QueriedPath);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(std::string::npos, log.find("[RealTimeInfo_DiskSpace] Disk Is Full!\n"));

    // Unchanged state: the file is left alone (a hand-made value survives).
    platform::WritePrivateProfileString("DiskFreeSpace", "ISFULL", "7", m_KelvPath);
    m_FreeBytes = static_cast<uint64_t>(minMiB) << 20;
    EXPECT_EQ(1, RealTimeInfo_DiskSpace());
    EXPECT_EQ(7, FileIsFull());
    EXPECT_EQ(1, MemoryIsFull());

    m_FreeBytes = static_cast<uint64_t>(minMiB + 1) << 20;
    EXPECT_EQ(1, RealTimeInfo_DiskSpace());
    EXPECT_EQ(0, MemoryIsFull());
    EXPECT_EQ(0, FileIsFull());
    EXPECT_NE(std::string::npos, qbtest::ReadTodayLog().find("[RealTimeInfo_DiskSpace] Disk Is Not Full!\n"));
    // The rest of Kelv.conf is kept.
    EXPECT_EQ(minMiB, platform::GetPrivateProfileInt("DiskFreeSpace", "MinFreeSpace", -1, m_KelvPath));

    // A disk that cannot be queried counts as not full.
    CConfigManager::GetInstance()->SetIsFull(1);
    m_bQueryOk = false;
    m_FreeBytes = 0;
    EXPECT_EQ(1, RealTimeInfo_DiskSpace());
    EXPECT_EQ(0, MemoryIsFull());
}

TEST_F(DiskSpaceTest, TimerRunsTheCheckAfterItsPeriod)
{
    CInfoManager* info = CInfoManager::GetInstance();
    m_FreeBytes = 0;
    info->AddRealTimeInfoFunc("DiskSpace", DISK_SPACE_PERIOD_MS, &RealTimeInfo_DiskSpace);
    ASSERT_TRUE(info->Init());
    EXPECT_EQ(19u, info->GetStartTime().size());
    // One minute of 1 s ticks, shortened for tests.
    // Memory is set first, the file right after.
    EXPECT_TRUE(qbtest::WaitUntil([&] { return MemoryIsFull() == 1 && FileIsFull() == 1; }, 10000));
    ASSERT_TRUE(info->UnInit());
    m_FreeBytes = 1ull << 40;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1, MemoryIsFull()); // stopped timer: nothing checks any more
    CConfigManager::GetInstance()->SetIsFull(0);
}
} // namespace
