// The info query of a running collector, through the infoqry tool.
#include "CollectorHarness.h"

#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

TEST(InfoE2E, InfoQueryReportsTheLiveCounters)
{
    if (!qbtest::HaveTestDatabase())
        GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    qbtest::CollectorHarness c;
    ASSERT_TRUE(c.Prepare(1));
    ASSERT_TRUE(c.Start());
    int code = 0;
    auto r = c.RunDevsim({"--devices", "1", "--count", "3000", "--mix", "sys=1,flux=1,svc=1"}, &code);
    ASSERT_EQ(code, 0) << r["_output"];
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/infoqry", std::to_string(c.InfoPort())}, {}, 10000, &out), 0)
        << out;
    // Every record counts: the two directory pushes, the stream and its closing keepalive.
    long long received = atoll(r["sent.records"].c_str()) + atoll(r["sent.push"].c_str());
    EXPECT_NE(out.find("Records received:       " + std::to_string(received) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Log merging:            on"), std::string::npos) << out;
    EXPECT_EQ(c.Stop(), 0);
}
