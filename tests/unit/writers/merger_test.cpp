// The merging writer in a real chain: a collecting writer stands behind it and keeps what the merger
// releases (through the hand-over behind the merger) apart from what the chain offered it directly
// (records the merger did not take). Merge settings come from KelvAdv.conf of the test install.
#include "config/ConfigManager.h"
#include "core/InfoManager.h"
#include "protocol/WireProtocol.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "writers/LogMergeManager.h"
#include "writers/LogMerger.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Keeps a copy of everything that reaches it and takes it.
class CCollectingWriter : public CBaseLogWriter
{
public:
    struct Received
    {
        int32_t m_Type;
        int32_t m_Sign;
        UserLogV3 m_Log;
    };

    using CBaseLogWriter::WriteLog;
    // Released by the merger: the hand-over behind it arrives through the generic slot.
    uint32_t WriteLog(const LogRecordDesc* desc, void*) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        Received r{desc->m_LogType, desc->m_SignCode, {}};
        if (desc->m_LogType == LOG_TYPE_USERV3)
            std::memcpy(&r.m_Log, desc->m_pRecord, sizeof(UserLogV3));
        m_Released.push_back(r);
        return 1;
    }
    // Offered by the chain because the merger did not take it.
    uint32_t WriteLog(int sign, const UserLogV3* record, void*) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Direct.push_back({LOG_TYPE_USERV3, sign, *record});
        return 1;
    }
    uint32_t WriteLog(int, const SystemLog*, void*) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ++m_DirectSys;
        return 1;
    }

    std::vector<Received> Released()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Released;
    }
    size_t ReleasedCount()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Released.size();
    }
    size_t DirectCount()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Direct.size();
    }
    int DirectSys()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_DirectSys;
    }

private:
    std::mutex m_Lock;
    std::vector<Received> m_Released;
    std::vector<Received> m_Direct;
    int m_DirectSys = 0;
};

void Head(DataHead& h, uint32_t type, uint32_t len)
{
    std::memcpy(h.m_Sign, WIRE_SIGN_0500, 8);
    for (int i = 0; i < 16; ++i)
        h.m_DevMD5[i] = static_cast<uint8_t>(i + 1);
    h.m_LogType = wire::HostToLe32(type);
    h.m_DataLen = wire::HostToLe32(len);
    wire::SetDateTimeWords(h, (2024 << 16) | (5 << 8) | 17, (10 << 16) | (11 << 8) | 12);
}

struct UserSpec
{
    int m_Action = 0;
    std::string m_User = "alice";
    uint32_t m_Server = 0x0A000001;
    uint16_t m_Port = 80;
    uint32_t m_Client = 0xC0A80001;
    int m_Group = 7;
    int m_ServiceType = 2;
    int m_Result = 0;
    int m_ServerAttr = 0;
    std::string m_Message = "GET /index.html";
    int64_t m_Up = 0, m_Down = 0, m_RawUp = 0, m_RawDown = 0;
};

UserLogV3 MakeUser(const UserSpec& s)
{
    UserLogV3 r;
    std::memset(&r, 0, sizeof(r));
    Head(r.m_Head, LOG_TYPE_USERV3, USER_LOG_V3_LEN);
    r.m_GroupID = s.m_Group;
    r.m_Action = s.m_Action;
    r.m_Result = s.m_Result;
    r.m_Address = wire::HostToNet32(s.m_Client);
    r.m_ServiceType = s.m_ServiceType;
    r.m_ServerIP = wire::HostToNet32(s.m_Server);
    r.m_ServerPort = wire::HostToNet16(s.m_Port);
    std::memcpy(r.m_UserName, s.m_User.c_str(), std::min(s.m_User.size(), sizeof(r.m_UserName)));
    r.m_ServerAttr = s.m_ServerAttr;
    r.m_UpFlux = s.m_Up;
    r.m_DownFlux = s.m_Down;
    r.m_RawUpFlux = s.m_RawUp;
    r.m_RawDownFlux = s.m_RawDown;
    std::memcpy(r.m_Message, s.m_Message.c_str(), std::min(s.m_Message.size(), sizeof(r.m_Message)));
    return r;
}

UserLogV3 Flux(uint16_t port, int64_t up, int64_t down, int64_t rawUp, int64_t rawDown)
{
    UserSpec s;
    s.m_Action = USER_ACTION_FLUX;
    s.m_Port = port;
    s.m_Up = up;
    s.m_Down = down;
    s.m_RawUp = rawUp;
    s.m_RawDown = rawDown;
    return MakeUser(s);
}

UserLogV3 Access(const std::string& message, int serviceType = 1, int result = 0)
{
    UserSpec s;
    s.m_Action = USER_ACTION_RESOURCE;
    s.m_Message = message;
    s.m_ServiceType = serviceType;
    s.m_Result = result;
    return MakeUser(s);
}

UserLogV3 Login(int n)
{
    UserSpec s;
    s.m_Action = 0;
    s.m_Message = "login " + std::to_string(n);
    return MakeUser(s);
}

uint64_t Counter(CInfoManager::EInfoCounter c)
{
    return CInfoManager::GetInstance()->GetCounter(c);
}

class LogMergerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        m_AdvPath = CConfigManager::GetInstance()->GetConfigFilePath("KelvAdv.conf");
        m_AdvOriginal = qbtest::ReadFile(m_AdvPath);
        ASSERT_TRUE(CLogMergeManager::GetInstance()->Init());
    }
    void TearDown() override
    {
        if (m_bInstalled)
        {
            m_Chain.OnQuit();
            m_Chain.UnInstallLogWriterChain();
        }
        // The other tests of this program run their chains without a merger.
        CLogMergeManager::GetInstance()->UnInit();
        qbtest::WriteFile(m_AdvPath, m_AdvOriginal);
        CConfigManager::GetInstance()->LoadConfig("KelvAdv.conf");
    }

    // KelvAdv.conf with the merge settings given (section/key -> value) over the shipped ones.
    void Configure(const std::map<std::string, std::string>& values)
    {
        std::map<std::string, std::string> v = {
            {"Global/EnableLogMerge", "1"},  {"Global/ParticleTime", "600"},
            {"Global/MergeBuffers", "2"},    {"Global/MergeBufferSize", "5"},
            {"UserLog/EnableLogMerge", "1"}, {"UserLog/EnableHttpFilter", "1"},
            {"UserLog/HttpFilterList", ""},  {"UserLog/KeepFilterLog", "0"},
            {"FlowLog/EnableLogMerge", "1"}, {"SysLog/EnableLogMerge", "0"}};
        for (const auto& [k, val] : values)
            v[k] = val;
        std::string text;
        for (const char* section : {"Global", "UserLog", "FlowLog", "SysLog"})
        {
            text += std::string("[") + section + "]\n";
            for (const auto& [k, val] : v)
                if (k.rfind(std::string(section) + "/", 0) == 0)
                    text += k.substr(k.find('/') + 1) + "=" + val + "\n";
        }
        text += "[InfoRetrieve]\nListenPort=9509\n";
        qbtest::WriteFile(m_AdvPath, text);
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("KelvAdv.conf"));
    }

    void Install()
    {
        m_Chain.AppendLogWriter(&m_Chain.GetLogMergerLogWriter());
        m_Chain.AppendLogWriter(&m_Collector);
        m_bInstalled = true;
    }
    void Quit()
    {
        m_Chain.OnQuit();
        m_Chain.UnInstallLogWriterChain();
        m_bInstalled = false;
    }
    uint32_t Write(const UserLogV3& r) { return m_Chain.WriteLog(SIGN_CODE_0500, &r, nullptr); }
    CLogMerger* Merger() { return m_Chain.GetLogMergerLogWriter().GetLogMerger(); }

    std::string m_AdvPath, m_AdvOriginal;
    CCollectingWriter m_Collector;
    CQuillbarnLogsWriterManager m_Chain;
    bool m_bInstalled = false;
};

TEST_F(LogMergerTest, FlowRecordsOfOneKeyAreSummedAndReleasedAtTheEndOfTheConnection)
{
    Configure({});
    Install();
    uint64_t mergedFlow = Counter(CInfoManager::INFO_MERGED_FLOW_LOG);
    uint64_t mergedTotal = Counter(CInfoManager::INFO_MERGED_TOTAL);

    for (int i = 1; i <= 10; ++i)
        ASSERT_EQ(1u, Write(Flux(443, i, 10 * i, 100 * i, 1000 * i)));
    ASSERT_EQ(1u, Write(Flux(8443, 5, 6, 7, 8)));
    // A version-2 record of the first key is widened and summed into the same row.
    UserLogV2 v2;
    std::memset(&v2, 0, sizeof(v2));
    UserLogV3 base = Flux(443, 0, 0, 0, 0);
    std::memcpy(&v2, &base, sizeof(UserLogCommon));
    Head(v2.m_Head, LOG_TYPE_USERV2, USER_LOG_V2_LEN);
    v2.m_UpFlux = 1;
    v2.m_DownFlux = 2;
    v2.m_RawUpFlux = 3;
    v2.m_RawDownFlux = 4;
    ASSERT_EQ(1u, m_Chain.WriteLog(SIGN_CODE_0500, &v2, nullptr));

    // Held, not released, while the particle time runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, m_Collector.ReleasedCount());
    EXPECT_EQ(0u, m_Collector.DirectCount());

    Quit();
    std::vector<CCollectingWriter::Received> out = m_Collector.Released();
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(LOG_TYPE_USERV3, out[0].m_Type);
    EXPECT_EQ(SIGN_CODE_0500, out[0].m_Sign);
    EXPECT_EQ(wire::HostToNet16(443), out[0].m_Log.m_ServerPort);
    EXPECT_EQ(55 + 1, out[0].m_Log.m_UpFlux);
    EXPECT_EQ(550 + 2, out[0].m_Log.m_DownFlux);
    EXPECT_EQ(5500 + 3, out[0].m_Log.m_RawUpFlux);
    EXPECT_EQ(55000 + 4, out[0].m_Log.m_RawDownFlux);
    EXPECT_EQ(wire::HostToNet16(8443), out[1].m_Log.m_ServerPort);
    EXPECT_EQ(5, out[1].m_Log.m_UpFlux);
    EXPECT_EQ(8, out[1].m_Log.m_RawDownFlux);
    EXPECT_EQ(mergedFlow + 10, Counter(CInfoManager::INFO_MERGED_FLOW_LOG));
    EXPECT_EQ(mergedTotal + 10, Counter(CInfoManager::INFO_MERGED_TOTAL));
}

TEST_F(LogMergerTest, FlowKeyTellsApartUsersClientsGroupsAndLongNames)
{
    Configure({});
    Install();
    UserSpec s;
    s.m_Action = USER_ACTION_FLUX;
    s.m_Up = 1;
    std::vector<UserSpec> variants(6, s);
    variants[1].m_User = "bob";
    variants[2].m_Client = 0xC0A80002;
    variants[3].m_Group = 8;
    variants[4].m_User = std::string(150, 'n') + "a";
    variants[5].m_User = std::string(150, 'n') + "b";
    for (int round = 0; round < 2; ++round)
        for (const UserSpec& v : variants)
            ASSERT_EQ(1u, Write(MakeUser(v)));
    Quit();
    std::vector<CCollectingWriter::Received> out = m_Collector.Released();
    ASSERT_EQ(variants.size(), out.size());
    for (size_t i = 0; i < out.size(); ++i)
    {
        EXPECT_EQ(2, out[i].m_Log.m_UpFlux) << i;
        EXPECT_EQ(variants[i].m_User, std::string(out[i].m_Log.m_UserName)) << i;
    }
}

TEST_F(LogMergerTest, RepeatedAccessIsDroppedWithinABufferAndKeptInTheNext)
{
    Configure({{"Global/MergeBufferSize", "1"}});
    Install();
    uint64_t mergedSvr = Counter(CInfoManager::INFO_MERGED_SVR_LOG);

    UserLogV3 access = Access("GET /report.html", 2);
    ASSERT_EQ(1u, Write(access));
    ASSERT_EQ(1u, Write(access));
    // Differences that make a record new: message, result, server attribute; a failed access always stays.
    ASSERT_EQ(1u, Write(Access("GET /other.html", 2)));
    UserLogV3 attr = access;
    attr.m_ServerAttr = 1;
    ASSERT_EQ(1u, Write(attr));
    UserLogV3 failed = Access("GET /report.html", 2, 2);
    ASSERT_EQ(1u, Write(failed));
    ASSERT_EQ(1u, Write(failed));
    EXPECT_EQ(mergedSvr + 1, Counter(CInfoManager::INFO_MERGED_SVR_LOG));

    // Fill the buffer up to its megabyte so that the next record lands in the other buffer.
    int fillers = 0;
    while (m_Collector.ReleasedCount() == 0 && fillers < 2000)
        ASSERT_EQ(1u, Write(Login(fillers++)));
    ASSERT_TRUE(qbtest::WaitUntil([&] { return m_Collector.ReleasedCount() > 0; }, 5000));
    ASSERT_EQ(1u, Write(access));
    ASSERT_EQ(1u, Write(access));
    Quit();

    int copies = 0;
    for (const auto& r : m_Collector.Released())
        if (r.m_Log.m_Action == USER_ACTION_RESOURCE &&
            std::string(r.m_Log.m_Message) == "GET /report.html" && r.m_Log.m_Result == 0 &&
            r.m_Log.m_ServerAttr == 0)
            ++copies;
    EXPECT_EQ(2, copies);
    EXPECT_EQ(mergedSvr + 2, Counter(CInfoManager::INFO_MERGED_SVR_LOG));
    EXPECT_EQ(static_cast<size_t>(6 + fillers), m_Collector.ReleasedCount());
}

TEST_F(LogMergerTest, WebAccessPatternFilterDropsOrKeepsMatches)
{
    const std::vector<std::string> messages = {
        "GET /logo.GIF , 200", // whole pattern, other letter case: match
        "GET /logo.gif 200",   // word without the space and comma: no match
        "GET /a.jpg ,",        // second pattern: match
        "gif",                 // shorter than the pattern
    };
    for (int keep = 0; keep <= 1; ++keep)
    {
        SCOPED_TRACE(keep);
        CCollectingWriter collector;
        CQuillbarnLogsWriterManager chain;
        Configure({{"UserLog/HttpFilterList", "jpg;;gif"}, {"UserLog/KeepFilterLog", std::to_string(keep)}});
        chain.AppendLogWriter(&chain.GetLogMergerLogWriter());
        chain.AppendLogWriter(&collector);
        for (const std::string& m : messages)
        {
            UserLogV3 r = Access(m, 1);
            ASSERT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &r, nullptr));
        }
        // Only web services (type 1) are filtered.
        UserLogV3 other = Access("GET /x.gif , 2", 2);
        ASSERT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &other, nullptr));
        chain.OnQuit();
        chain.UnInstallLogWriterChain();

        std::vector<std::string> kept;
        for (const auto& r : collector.Released())
            kept.push_back(r.m_Log.m_Message);
        if (keep == 0)
            EXPECT_EQ((std::vector<std::string>{"GET /logo.gif 200", "gif", "GET /x.gif , 2"}), kept);
        else
            EXPECT_EQ((std::vector<std::string>{"GET /logo.GIF , 200", "GET /a.jpg ,", "GET /x.gif , 2"}),
                      kept);
    }
}

TEST_F(LogMergerTest, SystemLogsAreOnlyCountedWhenTheirMergingIsOn)
{
    SystemLog sys;
    std::memset(&sys, 0, sizeof(sys));
    Head(sys.m_Head, LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN);
    std::strcpy(sys.m_Message, "service restarted");

    Configure({{"SysLog/EnableLogMerge", "1"}});
    Install();
    uint64_t mergedSys = Counter(CInfoManager::INFO_MERGED_SYS_LOG);
    uint64_t mergedTotal = Counter(CInfoManager::INFO_MERGED_TOTAL);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(1u, m_Chain.WriteLog(SIGN_CODE_0500, &sys, nullptr));
    LogRecordDesc desc{LOG_TYPE_SYSTEM, SIGN_CODE_0500, &sys};
    EXPECT_EQ(1u, m_Chain.GetLogMergerLogWriter().WriteLog(&desc, nullptr));
    Quit();
    EXPECT_EQ(0, m_Collector.DirectSys());
    EXPECT_EQ(0u, m_Collector.ReleasedCount());
    EXPECT_EQ(mergedSys + 4, Counter(CInfoManager::INFO_MERGED_SYS_LOG));
    EXPECT_EQ(mergedTotal + 4, Counter(CInfoManager::INFO_MERGED_TOTAL));

    CCollectingWriter collector;
    CQuillbarnLogsWriterManager chain;
    Configure({{"SysLog/EnableLogMerge", "0"}});
    chain.AppendLogWriter(&chain.GetLogMergerLogWriter());
    chain.AppendLogWriter(&collector);
    EXPECT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &sys, nullptr));
    chain.OnQuit();
    chain.UnInstallLogWriterChain();
    EXPECT_EQ(1, collector.DirectSys());
    EXPECT_EQ(mergedSys + 4, Counter(CInfoManager::INFO_MERGED_SYS_LOG));
}

TEST_F(LogMergerTest, FullBufferIsReleasedBeforeTheParticleTimeInArrivalOrder)
{
    Configure({{"Global/MergeBufferSize", "1"}});
    Install();
    // 824 bytes per unindexed record: the 1273rd reaches the megabyte, the next one switches buffers.
    const int perBuffer = (1048576 + 823) / 824;
    const int total = perBuffer + 30;
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(1u, Write(Login(i)));
    ASSERT_TRUE(qbtest::WaitUntil(
        [&] { return m_Collector.ReleasedCount() == static_cast<size_t>(perBuffer); }, 5000))
        << m_Collector.ReleasedCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(static_cast<size_t>(perBuffer), m_Collector.ReleasedCount());

    uint32_t count = 0, capacity = 0, used = 0;
    CLogMergeManager::GetInstance()->GetLogMergeInfo(count, capacity, used);
    EXPECT_EQ(2u, count);
    EXPECT_EQ(2u * 1048576u, capacity);
    EXPECT_EQ(30u * 824u, used);

    Quit();
    std::vector<CCollectingWriter::Received> out = m_Collector.Released();
    ASSERT_EQ(static_cast<size_t>(total), out.size());
    for (int i = 0; i < total; ++i)
        ASSERT_EQ("login " + std::to_string(i), std::string(out[i].m_Log.m_Message));
    CLogMergeManager::GetInstance()->GetLogMergeInfo(count, capacity, used);
    EXPECT_EQ(0u, count);
}

TEST_F(LogMergerTest, ParticleTimeReleasesAnIdleBuffer)
{
    Configure({{"Global/ParticleTime", "1"}});
    Install();
    ASSERT_EQ(1u, Write(Login(1)));
    ASSERT_TRUE(qbtest::WaitUntil([&] { return m_Collector.ReleasedCount() == 1; }, 5000));
    // The next buffer collects again.
    ASSERT_EQ(1u, Write(Login(2)));
    ASSERT_TRUE(qbtest::WaitUntil([&] { return m_Collector.ReleasedCount() == 2; }, 5000));
    EXPECT_EQ(0u, m_Collector.DirectCount());
}

TEST_F(LogMergerTest, NothingIsHeldWhenMergingIsOffOrTheConnectionEnded)
{
    Configure({{"Global/EnableLogMerge", "0"}, {"SysLog/EnableLogMerge", "1"}});
    Install();
    CLogMergerLogWriter& merger = m_Chain.GetLogMergerLogWriter();
    ASSERT_TRUE(merger.HasMerger());
    EXPECT_FALSE(Merger()->HasMergeBuffers());
    UserLogV3 flux = Flux(443, 1, 1, 1, 1);
    EXPECT_EQ(0u, merger.WriteLog(SIGN_CODE_0500, &flux, nullptr));
    UserLogV3 login = Login(1);
    EXPECT_EQ(0u, merger.WriteLog(SIGN_CODE_0500, &login, nullptr));
    SystemLog sys;
    std::memset(&sys, 0, sizeof(sys));
    Head(sys.m_Head, LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN);
    EXPECT_EQ(0u, merger.WriteLog(SIGN_CODE_0500, &sys, nullptr));
    EXPECT_EQ(1u, Write(flux));
    EXPECT_EQ(1u, m_Collector.DirectCount());
    uint32_t count = 1, capacity = 1, used = 1;
    CLogMergeManager::GetInstance()->GetLogMergeInfo(count, capacity, used);
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, capacity);
    Quit();

    // After the end of a connection records pass unmerged instead of being held with no one to release.
    CCollectingWriter collector;
    CQuillbarnLogsWriterManager chain;
    Configure({});
    chain.AppendLogWriter(&chain.GetLogMergerLogWriter());
    chain.AppendLogWriter(&collector);
    EXPECT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &login, nullptr));
    chain.OnQuit();
    EXPECT_EQ(1u, collector.ReleasedCount());
    EXPECT_EQ(0u, chain.GetLogMergerLogWriter().WriteLog(SIGN_CODE_0500, &login, nullptr));
    EXPECT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &login, nullptr));
    EXPECT_EQ(1u, collector.DirectCount());
    chain.UnInstallLogWriterChain();
}

TEST_F(LogMergerTest, RegistryKnowsItsMergersAndRefusesForeignOnes)
{
    CLogMergeManager* manager = CLogMergeManager::GetInstance();
    size_t before = manager->GetLogMergerCount();
    CLogMerger* merger = manager->AllocLogMerger();
    ASSERT_NE(nullptr, merger);
    EXPECT_EQ(before + 1, manager->GetLogMergerCount());
    CLogMerger foreign;
    EXPECT_EQ(0, manager->ReleaseLogMerger(&foreign));
    EXPECT_NE(std::string::npos,
              qbtest::ReadTodayLog().find("[ReleaseLogMerger] Cannot Find Specify LogMerger In Manager."));
    EXPECT_EQ(1, manager->ReleaseLogMerger(merger));
    EXPECT_EQ(before, manager->GetLogMergerCount());

    // Without the registry a writer gets no merger, fails its Init and passes everything on.
    manager->UnInit();
    EXPECT_EQ(nullptr, manager->AllocLogMerger());
    CLogMergerLogWriter writer;
    EXPECT_EQ(0, writer.Init());
    UserLogV3 login = Login(1);
    EXPECT_EQ(0u, writer.WriteLog(SIGN_CODE_0500, &login, nullptr));
}

// Every record either comes out of a release or was passed on directly: none is lost or doubled
// while buffers switch under a steady stream, also with a single buffer.
TEST_F(LogMergerTest, NoRecordIsLostWhileBuffersSwitch)
{
    for (const char* buffers : {"2", "1"})
    {
        SCOPED_TRACE(buffers);
        CCollectingWriter collector;
        CQuillbarnLogsWriterManager chain;
        Configure({{"Global/MergeBuffers", buffers},
                   {"Global/MergeBufferSize", "1"},
                   {"Global/ParticleTime", "1"}});
        chain.AppendLogWriter(&chain.GetLogMergerLogWriter());
        chain.AppendLogWriter(&collector);
        auto start = std::chrono::steady_clock::now();
        int n = 0;
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500))
        {
            UserLogV3 r = Login(n++);
            ASSERT_EQ(1u, chain.WriteLog(SIGN_CODE_0500, &r, nullptr));
            if (n % 64 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        auto elapsed = std::chrono::steady_clock::now() - start;
        chain.OnQuit();
        chain.UnInstallLogWriterChain();
        EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
        EXPECT_GT(collector.ReleasedCount(), 0u);
        std::vector<bool> seen(static_cast<size_t>(n), false);
        size_t total = 0;
        for (const auto& r : collector.Released())
        {
            int i = std::stoi(std::string(r.m_Log.m_Message).substr(6));
            ASSERT_FALSE(seen[static_cast<size_t>(i)]) << i;
            seen[static_cast<size_t>(i)] = true;
            ++total;
        }
        EXPECT_EQ(static_cast<size_t>(n), total + collector.DirectCount());
    }
}
} // namespace
