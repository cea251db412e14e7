// The metrics endpoint of a running collector, read by promtool and scraped by a real Prometheus server.
#include "support/CollectorHarness.h"

#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{
// The value of the first sample of an instant query's answer ("" when there is none).
std::string QueryValue(int port, const std::string& query)
{
    const std::string json = qbtest::HttpGet(port, "/api/v1/query?query=" + query);
    const size_t at = json.find("\"value\":[");
    const size_t open = at == std::string::npos ? at : json.find(",\"", at);
    const size_t close = open == std::string::npos ? open : json.find('"', open + 2);
    return close == std::string::npos ? std::string() : json.substr(open + 2, close - open - 2);
}
} // namespace

TEST(MetricsE2E, PrometheusScrapesTheRecordsDevsimSent)
{
    if (!qbtest::HaveTestDatabase())
        GTEST_SKIP() << "QB_TEST_DB_HOST not set";
    if (access("/usr/bin/prometheus", X_OK) != 0 || access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "prometheus not installed (scripts/install-deps.sh installs it)";
    qbtest::CCollectorHarness c;
    ASSERT_TRUE(c.Prepare(1));
    ASSERT_TRUE(c.Start());
    int code = 0;
    // Records of a device that has not pushed its directory are dropped at the gate.
    auto early = c.RunDevsim({"--devices", "1", "--no-push", "--count", "20", "--mix", "sys=1"}, &code);
    ASSERT_EQ(code, 0) << early["_output"];
    auto r = c.RunDevsim({"--devices", "1", "--count", "500", "--mix", "sys=1,flux=1"}, &code);
    ASSERT_EQ(code, 0) << r["_output"];
    // Every record counts: the directory pushes, the streams and their closing keepalives.
    const std::string sent = std::to_string(atoll(early["sent.records"].c_str()) +
                                            atoll(r["sent.records"].c_str()) + atoll(r["sent.push"].c_str()));

    qbtest::CTempDir dir("qb_prom");
    const std::string scrape = qbtest::HttpGet(c.MetricsPort(), "/metrics");
    ASSERT_NE(scrape.find("# TYPE quillbarn_records_received_total counter"), std::string::npos) << scrape;
    EXPECT_NE(scrape.find("quillbarn_records_refused_total{reason=\"gate\"} " + early["sent.sys"] + "\n"),
              std::string::npos)
        << scrape;
    qbtest::WriteFile(dir.Path() + "/scrape.txt", scrape);
    std::string lint;
    EXPECT_EQ(
        qbtest::RunProgram({"/bin/sh", "-c", "promtool check metrics < '" + dir.Path() + "/scrape.txt'"}, {},
                           20000, &lint),
        0)
        << lint;

    const int promPort = qbtest::FreeTcpPort();
    qbtest::WriteFile(dir.Path() + "/prometheus.yml",
                      "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                      "  - job_name: quillbarn\n    static_configs:\n      - targets: ['127.0.0.1:" +
                          std::to_string(c.MetricsPort()) + "']\n");
    const pid_t prom =
        qbtest::Spawn({"/usr/bin/prometheus", "--config.file=" + dir.Path() + "/prometheus.yml",
                       "--storage.tsdb.path=" + dir.Path() + "/data",
                       "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                      {}, dir.Path() + "/prometheus.out");
    ASSERT_GT(prom, 0);
    // Two scrapes of the collector, both up.
    const bool scraped = qbtest::WaitUntil(
        [&] {
            return atof(QueryValue(promPort, "sum_over_time(up%7Bjob%3D%22quillbarn%22%7D%5B1m%5D)")
                            .c_str()) >= 2;
        },
        15000);
    const std::string received = QueryValue(promPort, "sum(quillbarn_records_received_total)");
    kill(prom, SIGTERM);
    qbtest::WaitExit(prom, 10000);
    ASSERT_TRUE(scraped) << qbtest::ReadFile(dir.Path() + "/prometheus.out");
    EXPECT_EQ(received, sent);
    EXPECT_EQ(c.Stop(), 0);
}
