// The collector as devices see it: the real binary on a fresh install tree,
// the test MariaDB, and devsim as the device.
#include "support/CollectorHarness.h"

#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

using qbtest::CCollectorHarness;

namespace
{
class IntakeE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set";
        ASSERT_TRUE(m_C.Prepare(2));
    }
    CCollectorHarness m_C;
};
} // namespace

TEST_F(IntakeE2E, PushSynchronisesAndRepliesAreExact)
{
    ASSERT_TRUE(m_C.Start());
    // Records before any push are dropped at the synchronisation gate.
    int code = 0;
    auto early = m_C.RunDevsim({"--devices", "1", "--no-push", "--count", "20", "--mix", "sys=1"}, &code);
    EXPECT_EQ(code, 0) << early["_output"];
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return m_C.Log().find("Sync Not Ready , Drop Packge!") != std::string::npos; }, 5000));

    // A push stores the directory, is answered with the document's digest
    // (devsim checks the 74 bytes), and records the connection in dev_info.
    auto r = m_C.RunDevsim({"--devices", "2", "--count", "200", "--mask"}, &code);
    EXPECT_EQ(code, 0) << r["_output"];
    EXPECT_EQ(r["replies.push"], "4");
    EXPECT_EQ(r["replies.keepalive"], r["sent.keepalive"]) << "every keepalive answered with its 46 bytes";
    EXPECT_EQ(r["replies.bad"], "0");
    for (int i = 1; i <= 2; ++i)
    {
        std::string db = "`" + m_C.DeviceDb(i) + "`";
        EXPECT_EQ(m_C.Count("select count(*) from " + db + ".svpnuser"), 4);
        EXPECT_GE(m_C.Count("select count(*) from " + db + ".admin"), 1);
        EXPECT_TRUE(m_C.WaitCount("select count(*) from " + db + ".dev_info where ConnStat = 1", 1, 5000));
        // The disconnect is recorded too once the connection ends.
        EXPECT_TRUE(m_C.WaitCount("select count(*) from " + db + ".dev_info where ConnStat = 0", 1, 10000));
    }
    // The unpadded digest form of the push reply is accepted by the device as well.
    auto shortForm = m_C.RunDevsim({"--devices", "1", "--count", "10", "--md5-short"}, &code);
    EXPECT_EQ(code, 0) << shortForm["_output"];
    EXPECT_EQ(m_C.Stop(), 0);
    EXPECT_NE(m_C.Log().find("[CQuillbarn][QuillbarnMain] Exit Normally.\n"), std::string::npos);
}

TEST_F(IntakeE2E, WatchdogProbeGetsTheTagAndGarbageIsSkipped)
{
    ASSERT_TRUE(m_C.Start());
    std::string out;
    EXPECT_EQ(
        qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--probe", "--port", std::to_string(m_C.Port())},
                           {}, 20000, &out),
        0)
        << out;
    int code = 0;
    auto r = m_C.RunDevsim({"--devices", "1", "--count", "500", "--garbage", "0.3", "--seed", "7"}, &code);
    EXPECT_EQ(code, 0) << r["_output"];
    EXPECT_EQ(r["replies.keepalive"], r["sent.keepalive"]);
    EXPECT_NE(r["sent.garbage_runs"], "0");
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

TEST_F(IntakeE2E, PortZeroShutsTheCollectorDown)
{
    m_C.SetConfig("Kelv.conf", "DatabaseConfig", "Port", "0");
    std::vector<std::string> env = m_C.Env();
    pid_t pid = qbtest::Spawn({qbtest::BinDir() + "/Quillbarn", "-Console"}, env, m_C.Dir() + "/console.out");
    EXPECT_EQ(qbtest::WaitExit(pid, 30000), 0);
    std::string log = m_C.Log();
    EXPECT_NE(log.find("[CDataCenterListenTask][Run] DataCenter Listen Port Invalid\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[QuillbarnMain] Exit Normally.\n"), std::string::npos);
}
