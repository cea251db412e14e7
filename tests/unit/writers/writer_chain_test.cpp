// The writer chain: order of the writers, the walk that stops at the first taker, hand-over behind a
// writer, calls that reach every writer, and the layout conversions in front of the storing slots.
#include "protocol/WireProtocol.h"
#include "support/TestInstall.h"
#include "writers/LogMergeManager.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
// A writer that answers a fixed result and writes down what reached it.
class CProbeWriter : public CBaseLogWriter
{
public:
    CProbeWriter(std::string name, uint32_t answer, int init = 1)
        : m_Name(std::move(name)), m_Answer(answer), m_Init(init)
    {
    }
    int Init() override { return Log("Init"), m_Init; }
    void UnInit() override { Log("UnInit"); }
    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int, const AdminLog*, void*) override { return Log("admin"), m_Answer; }
    uint32_t WriteLog(int, const SystemLog*, void*) override { return Log("system"), m_Answer; }
    uint32_t WriteLog(const LogRecordDesc* desc, void*) override
    {
        return Log("generic" + std::to_string(desc->m_LogType)), m_Answer;
    }
    void SetDbName(const char* db) override { Log(std::string("db ") + db); }
    void OnQuit() override { Log("quit"); }

    void Log(const std::string& what) { s_Calls.push_back(m_Name + ":" + what); }
    static std::vector<std::string> s_Calls;

    std::string m_Name;
    uint32_t m_Answer;
    int m_Init;
};
std::vector<std::string> CProbeWriter::s_Calls;

// The real final writer with its storing slots replaced by recorders: what arrives there is what the
// conversions in front of them produced.
class CRecordingFinalWriter : public CFinalLogWriter
{
public:
    using CFinalLogWriter::WriteLog;
    uint32_t WriteLog(int sign, const AdminLog* r, void*) override
    {
        m_Admin = *r;
        m_Sign = sign;
        return 1;
    }
    uint32_t WriteLog(int sign, const UserLogV3* r, void*) override
    {
        m_V3 = *r;
        m_Sign = sign;
        return 1;
    }
    AdminLog m_Admin{};
    UserLogV3 m_V3{};
    int m_Sign = 0;
};

class WriterChainTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        // The merging writer takes its merger from the process-wide registry.
        CLogMergeManager::GetInstance()->Init();
        CProbeWriter::s_Calls.clear();
    }
    static void Head(DataHead& h, uint32_t type, uint32_t len)
    {
        std::memcpy(h.m_Sign, WIRE_SIGN_0500, 8);
        for (int i = 0; i < 16; ++i)
            h.m_DevMD5[i] = static_cast<uint8_t>(i * 7);
        h.m_LogType = type;
        h.m_DataLen = len;
        h.m_Masked = 1;
    }
};

TEST_F(WriterChainTest, InstalledChainHoldsTheThreeWritersInOrder)
{
    // Only what this installation logs: other tests of the run install chains too.
    const size_t from = qbtest::ReadTodayLog().size();
    CQuillbarnLogsWriterManager manager;
    manager.InstallLogWriterChain();
    EXPECT_EQ(manager.GetWriterCount(), 3u);
    EXPECT_EQ(manager.GetLogMergerLogWriter().GetLogsWriterManager(), &manager);
    EXPECT_EQ(manager.GetFinalLogWriter().GetLogsWriterManager(), &manager);
    std::string log = qbtest::ReadTodayLog();
    size_t a = log.find(
        "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = class CLogMergerLogWriter\n", from);
    size_t b = log.find(
        "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = class CDataFileLogWriter\n", from);
    size_t c = log.find(
        "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = class CFinalLogWriter\n", from);
    ASSERT_NE(a, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);

    manager.SetDbName("dev_db");
    EXPECT_EQ(manager.GetDataFileLogWriter().GetDbName(), "dev_db");
    EXPECT_EQ(manager.GetFinalLogWriter().GetDbName(), "dev_db");
    manager.SetDbName(nullptr);
    EXPECT_EQ(manager.GetFinalLogWriter().GetDbName(), "dev_db");

    AdminLog admin{};
    Head(admin.m_Head, LOG_TYPE_ADMIN, ADMIN_LOG_LEN);
    EXPECT_EQ(manager.WriteLog(1, &admin, nullptr), 0u);
    manager.OnQuit();
    manager.UnInstallLogWriterChain();
    EXPECT_EQ(manager.GetWriterCount(), 0u);
}

TEST_F(WriterChainTest, WalkStopsAtTheFirstWriterThatTakes)
{
    CProbeWriter w1("w1", 0), w2("w2", 7, 0), w3("w3", 1);
    CQuillbarnLogsWriterManager manager;
    manager.AppendLogWriter(&w1);
    manager.AppendLogWriter(&w2);
    manager.AppendLogWriter(&w3);
    // A failed Init is logged and the writer stays in the chain with its manager.
    EXPECT_NE(
        qbtest::ReadTodayLog().find("[InstallLogWriterChain] Fail To Call Log Writer Init(). Name = class "),
        std::string::npos);
    EXPECT_EQ(w2.GetLogsWriterManager(), &manager);

    CProbeWriter::s_Calls.clear();
    AdminLog admin{};
    EXPECT_EQ(manager.WriteLog(1, &admin, nullptr), 7u);
    EXPECT_EQ(CProbeWriter::s_Calls, (std::vector<std::string>{"w1:admin", "w2:admin"}));

    CProbeWriter::s_Calls.clear();
    manager.SetDbName("x");
    manager.OnQuit();
    manager.UnInstallLogWriterChain();
    EXPECT_EQ(CProbeWriter::s_Calls,
              (std::vector<std::string>{"w1:db x", "w2:db x", "w3:db x", "w1:quit", "w2:quit", "w3:quit",
                                        "w1:UnInit", "w2:UnInit", "w3:UnInit"}));
}

TEST_F(WriterChainTest, PassLogToNextWriterOffersOnlyTheWritersBehind)
{
    CProbeWriter w1("w1", 1), w2("w2", 2), w3("w3", 0);
    CQuillbarnLogsWriterManager manager;
    for (CBaseLogWriter* w : {static_cast<CBaseLogWriter*>(&w1), static_cast<CBaseLogWriter*>(&w2),
                              static_cast<CBaseLogWriter*>(&w3)})
        manager.AppendLogWriter(w);
    SystemLog sys{};
    LogRecordDesc desc{LOG_TYPE_SYSTEM, SIGN_CODE_1111, &sys};

    CProbeWriter::s_Calls.clear();
    // Only a result of exactly 1 stops the hand-over; otherwise the last result comes back.
    EXPECT_EQ(w1.PassLogToNextWriter(&desc, nullptr), 0u);
    EXPECT_EQ(CProbeWriter::s_Calls, (std::vector<std::string>{"w2:generic8", "w3:generic8"}));

    CProbeWriter::s_Calls.clear();
    EXPECT_EQ(w3.PassLogToNextWriter(&desc, nullptr), 0u);
    EXPECT_TRUE(CProbeWriter::s_Calls.empty());

    CProbeWriter stranger("s", 1);
    EXPECT_EQ(manager.PassLogToNextWriter(&stranger, &desc, nullptr), 0u);
    EXPECT_EQ(manager.PassLogToNextWriter(&w1, nullptr, nullptr), 0u);
    EXPECT_EQ(stranger.PassLogToNextWriter(&desc, nullptr), 0u); // no chain
    EXPECT_TRUE(CProbeWriter::s_Calls.empty());

    CProbeWriter w4("w4", 1);
    manager.AppendLogWriter(&w4);
    EXPECT_EQ(w2.PassLogToNextWriter(&desc, nullptr), 1u);
}

TEST_F(WriterChainTest, GenericSlotsRouteOnlyTheirTypes)
{
    CRecordingFinalWriter final;
    UserLog v1{};
    Head(v1.m_Head, LOG_TYPE_USER, USER_LOG_LEN);
    v1.m_Action = 2;
    v1.m_UpFlux = -5;
    v1.m_DownFlux = 2000000000;
    std::strcpy(v1.m_UserName, "alice");
    std::strcpy(v1.m_Message, "msg");
    LogRecordDesc desc{LOG_TYPE_USER, SIGN_CODE_0500, &v1};
    ASSERT_EQ(final.WriteLog(&desc, nullptr), 1u);
    EXPECT_EQ(final.m_Sign, SIGN_CODE_0500);
    EXPECT_EQ(final.m_V3.m_Head.m_LogType, LOG_TYPE_USERV3);
    EXPECT_EQ(final.m_V3.m_Head.m_DataLen, USER_LOG_V3_LEN);
    EXPECT_EQ(final.m_V3.m_Head.m_Masked, 1);
    EXPECT_EQ(std::memcmp(final.m_V3.m_Head.m_DevMD5, v1.m_Head.m_DevMD5, 16), 0);
    EXPECT_EQ(final.m_V3.m_UpFlux, -5);
    EXPECT_EQ(final.m_V3.m_RawUpFlux, -5);
    EXPECT_EQ(final.m_V3.m_DownFlux, 2000000000);
    EXPECT_EQ(final.m_V3.m_RawDownFlux, 2000000000);
    EXPECT_EQ(final.m_V3.m_Action, 2);
    EXPECT_STREQ(final.m_V3.m_UserName, "alice");
    EXPECT_STREQ(final.m_V3.m_Message, "msg");

    UserLogV2 v2{};
    Head(v2.m_Head, LOG_TYPE_USERV2, USER_LOG_V2_LEN);
    v2.m_UpFlux = 1, v2.m_DownFlux = 2, v2.m_RawUpFlux = -3, v2.m_RawDownFlux = 4;
    desc = {LOG_TYPE_USERV2, 1, &v2};
    ASSERT_EQ(final.WriteLog(&desc, nullptr), 1u);
    EXPECT_EQ(final.m_V3.m_RawUpFlux, -3);
    EXPECT_EQ(final.m_V3.m_RawDownFlux, 4);

    AuditLog audit{};
    Head(audit.m_Head, LOG_TYPE_AUDIT, AUDIT_LOG_LEN);
    audit.m_Address = wire::HostToNet32(0x0A010203);
    std::memset(audit.m_Message, 'm', sizeof(audit.m_Message)); // no terminator: ends with the record
    desc = {LOG_TYPE_AUDIT, 1, &audit};
    ASSERT_EQ(final.WriteLog(&desc, nullptr), 1u);
    EXPECT_EQ(final.m_Admin.m_Reserved1, -1);
    EXPECT_EQ(final.m_Admin.m_Action, 4);
    EXPECT_EQ(final.m_Admin.m_Entity, 7);
    EXPECT_EQ(final.m_Admin.m_Result, 0);
    EXPECT_EQ(final.m_Admin.m_Address, audit.m_Address);
    EXPECT_STREQ(final.m_Admin.m_AdminName, "");
    EXPECT_EQ(std::string(final.m_Admin.m_Message), std::string(sizeof(audit.m_Message), 'm'));

    // Outside the final writer's list, and a descriptor without a record.
    UserAuditFileLog step{};
    desc = {LOG_TYPE_USERAUDITFILE, 1, &step};
    EXPECT_EQ(final.WriteLog(&desc, nullptr), 0u);
    desc = {LOG_TYPE_ADMIN, 1, nullptr};
    EXPECT_EQ(final.WriteLog(&desc, nullptr), 0u);
    EXPECT_EQ(final.WriteLog(static_cast<const LogRecordDesc*>(nullptr), nullptr), 0u);

    // The merging writer's list has no admin records.
    CLogMergerLogWriter merger;
    AdminLog admin{};
    desc = {LOG_TYPE_ADMIN, 1, &admin};
    EXPECT_EQ(merger.WriteLog(&desc, nullptr), 0u);
}
} // namespace
