// Records from devices to rows: the real collector, its data files and bulk
// import, the batched inserts, a restart in between, and uploads.
#include "support/CollectorHarness.h"

#include "platform/FileSystem.h"
#include "platform/Tick.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <fstream>

using qbtest::CCollectorHarness;

namespace
{
// Intervals of the collector divided by 60: the 10 s import cycle takes
// ~170 ms, a data file's minute of use one second, the start-up delay one second.
const std::vector<std::string> FAST = {"QUILLBARN_TEST_TIME_DIVISOR=60"};

class StorageE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set";
        ASSERT_TRUE(m_C.Prepare(2));
        m_C.SetConfig("KelvAdv.conf", "DataFile", "DataFileUseTime", "1");
    }
    long long Rows(int device, const std::string& table)
    {
        return m_C.Count("select count(*) from `" + m_C.DeviceDb(device) + "`." + table);
    }
    CCollectorHarness m_C;
};
} // namespace

TEST_F(StorageE2E, EveryKindArrivesThroughFilesAndInserts)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start(FAST));
    int code = 0;
    auto r = m_C.RunDevsim({"--devices", "2", "--count", "3000", "--seq", "--mix",
                            "sys=3,alarm=1,admin=1,audit=1,userv3=2,svc=2,keepalive=1"},
                           &code);
    ASSERT_EQ(code, 0) << r["_output"];
    long long sys = atoll(r["sent.sys"].c_str()) / 2;
    long long adt = (atoll(r["sent.admin"].c_str()) + atoll(r["sent.audit"].c_str())) / 2;
    long long svc = atoll(r["sent.svc"].c_str()) / 2;
    ASSERT_GT(sys, 0);
    // A second connection of each device with a trickle of keepalives (counted below).
    auto tail =
        m_C.RunDevsim({"--devices", "2", "--count", "40", "--rate", "10", "--mix", "keepalive=1"}, &code);
    auto total = [&](const std::string& table) { return Rows(1, table) + Rows(2, table); };
    EXPECT_TRUE(qbtest::WaitUntil([&] { return total("syslog") >= 2 * sys; }, 30000))
        << total("syslog") << " of " << 2 * sys;
    EXPECT_EQ(total("syslog"), atoll(r["sent.sys"].c_str()));
    // The last partial batches go in when each connection's record task ends.
    qbtest::WaitUntil([&] { return total("adt_log") >= 2 * adt; }, 20000);
    EXPECT_EQ(total("alarm_log"), atoll(r["sent.alarm"].c_str()));
    EXPECT_EQ(total("adt_log"), 2 * adt);
    // A resource access is one usrbasiclog row and one usrsvrlog row with the same record id.
    EXPECT_TRUE(qbtest::WaitUntil([&] { return total("usrsvrlog") >= 2 * svc; }, 30000));
    EXPECT_EQ(total("usrsvrlog"), atoll(r["sent.svc"].c_str()));
    EXPECT_EQ(m_C.Count("select count(*) from `" + m_C.DeviceDb(1) + "`.usrsvrlog s left join `" +
                        m_C.DeviceDb(1) +
                        "`.usrbasiclog b on b.record_id = s.record_id where b.record_id is null"),
              0);
    // The system logs went through data files: the tree holds them per table until imported.
    EXPECT_TRUE(platform::IsDirectory(m_C.Dir() + "/Kelv/DataFile/" + m_C.DeviceDb(1) + "/syslog"));
    // Keepalives: one dev_stat row per six of a connection (four connections,
    // each may end with up to five keepalives that make no row).
    long long keepalives = atoll(r["sent.keepalive"].c_str()) + atoll(tail["sent.keepalive"].c_str());
    qbtest::WaitUntil([&] { return total("dev_stat") >= keepalives / 6 - 4; }, 20000);
    EXPECT_GE(total("dev_stat"), keepalives / 6 - 4);
    EXPECT_LE(total("dev_stat"), keepalives / 6);
    // Sequence tags: every system log once.
    EXPECT_EQ(m_C.Count("select count(distinct message) from `" + m_C.DeviceDb(1) + "`.syslog"),
              Rows(1, "syslog"));
    EXPECT_EQ(m_C.Stop(), 0);
}

TEST_F(StorageE2E, DataFilesOfAClosedConnectionAreImportedWithoutTheDeviceComingBack)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    // A long use time: the files are still open when the devices leave, so only their closing
    // connections hand them over.
    m_C.SetConfig("KelvAdv.conf", "DataFile", "DataFileUseTime", "60");
    ASSERT_TRUE(m_C.Start(FAST));
    int code = 0;
    auto r =
        m_C.RunDevsim({"--devices", "2", "--count", "4000", "--seq", "--mix", "sys=1,userv3=1,svc=1"}, &code);
    ASSERT_EQ(code, 0) << r["_output"];
    const long long sys = atoll(r["sent.sys"].c_str());
    const long long basic = atoll(r["sent.userv3"].c_str()) + atoll(r["sent.svc"].c_str());
    const long long svc = atoll(r["sent.svc"].c_str());
    ASSERT_GT(sys, 0);
    auto total = [&](const std::string& table) { return Rows(1, table) + Rows(2, table); };
    // The files are imported one after the other: wait for the last table too.
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return total("syslog") >= sys && total("usrbasiclog") >= basic && total("usrsvrlog") >= svc; },
        30000))
        << "syslog " << total("syslog") << " of " << sys << ", usrbasiclog " << total("usrbasiclog") << " of "
        << basic << ", usrsvrlog " << total("usrsvrlog") << " of " << svc;
    EXPECT_EQ(total("syslog"), sys);
    EXPECT_EQ(total("usrbasiclog"), basic);
    EXPECT_EQ(total("usrsvrlog"), svc);
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return m_C.Log().find("Left By The Closed Connection") != std::string::npos; }, 10000));
    EXPECT_EQ(m_C.Stop(), 0);
}

TEST_F(StorageE2E, DataFilesLeftByAKilledCollectorAreImportedAfterRestart)
{
    m_C.SetConfig("KelvAdv.conf", "DataFile", "DataFileUseTime", "30");
    ASSERT_TRUE(m_C.Start(FAST));
    // A device still connected and writing when the collector dies.
    pid_t dev =
        qbtest::Spawn({qbtest::BinDir() + "/devsim", "--port", std::to_string(m_C.Port()), "--quiet",
                       "--seconds", "6", "--rate", "400", "--seq", "--mix", "sys=1", "--secret", "secret1"});
    const std::string dir = m_C.Dir() + "/Kelv/DataFile/" + m_C.DeviceDb(1) + "/syslog";
    auto lines = [&]
    {
        long long n = 0;
        for (const std::string& f : platform::ListDirectory(dir, "DataFile_*.dat", true))
        {
            std::string text = qbtest::ReadFile(dir + "/" + f);
            for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2))
                ++n;
        }
        return n;
    };
    ASSERT_TRUE(qbtest::WaitUntil([&] { return lines() >= 400; }, 10000));
    m_C.Kill();
    qbtest::WaitExit(dev, 20000);
    long long onDisk = lines(), stored = Rows(1, "syslog");
    ASSERT_GT(onDisk, 0);

    ASSERT_TRUE(m_C.Start(FAST));
    EXPECT_TRUE(qbtest::WaitUntil([&] { return Rows(1, "syslog") >= stored + onDisk; }, 30000))
        << Rows(1, "syslog") << " of " << stored + onDisk;
    EXPECT_EQ(Rows(1, "syslog"), stored + onDisk);
    EXPECT_EQ(m_C.Count("select count(distinct message) from `" + m_C.DeviceDb(1) + "`.syslog"),
              stored + onDisk)
        << "no record twice";
    EXPECT_TRUE(qbtest::WaitUntil([&] { return lines() == 0; }, 10000)) << "imported files are deleted";
    EXPECT_EQ(m_C.Stop(), 0);
}

// A data file that can never load (its table is missing from the device database) is tried in three
// passes, then moved whole to Kelv/DataFile/Failed/<db>/<table>/ with an ERROR naming it and the
// server's error, and never tried again, not even by the start-up scan after a restart; a good file
// beside it loads, and infoqry and the start-up log count the file waiting there.
TEST_F(StorageE2E, DataFileThatNeverLoadsIsSetAsideAfterThreePasses)
{
    const std::string root = m_C.Dir() + "/Kelv/DataFile";
    const std::string db = m_C.DeviceDb(1);
    ASSERT_TRUE(qbtest::Exec(m_C.Db(), "drop table `" + db + "`.usrflowlog"));
    const std::string name = "DataFile_20240102_030405_000007.dat";
    const std::string bad = root + "/" + db + "/usrflowlog/" + name;
    const std::string badText = "\"1\"\t2\t\"flow\"\r\n\"3\"\t4\t\"flow\"\r\n";
    const std::string good = root + "/" + db + "/syslog/DataFile_20240102_030405_000008.dat";
    ASSERT_TRUE(platform::CreateDirectories(root + "/" + db + "/usrflowlog"));
    ASSERT_TRUE(platform::CreateDirectories(root + "/" + db + "/syslog"));
    qbtest::WriteFile(bad, badText);
    qbtest::WriteFile(good, "1\t2\t\"kept beside it\"\t\"2012-05-01 08:09:10\"\r\n");

    ASSERT_TRUE(m_C.Start(FAST));
    // The device's own import task runs a pass every ~170 ms while it is connected.
    pid_t dev =
        qbtest::Spawn({qbtest::BinDir() + "/devsim", "--port", std::to_string(m_C.Port()), "--quiet",
                       "--seconds", "10", "--rate", "5", "--mix", "keepalive=1", "--secret", "secret1"});
    const std::string failed = root + "/Failed/" + db + "/usrflowlog/" + name;
    EXPECT_TRUE(qbtest::WaitUntil([&] { return platform::FileExists(failed); }, 10000));
    EXPECT_FALSE(platform::FileExists(bad));
    EXPECT_EQ(qbtest::ReadFile(failed), badText);
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] {
            return m_C.Count("select count(*) from `" + db + "`.syslog where message = 'kept beside it'") ==
                   1;
        },
        10000));
    // Nothing after the move: let a few more cycles of the connected device go by.
    platform::Sleep(1000);
    qbtest::WaitExit(dev, 20000);
    std::string log = m_C.Log();
    const std::string tried = "[DoImportDataFileWithTempTable] Prepare To Import Data File = " + bad + "\n";
    EXPECT_EQ(qbtest::CountOf(log, tried), 9u) << "three passes of three attempts";
    EXPECT_EQ(qbtest::CountOf(log, "[SimpleRepairTable] Prepare To Repair Table usrflowlog ...\n"), 9u);
    size_t at = log.find("[MoveToFailedDir] DataFile = " + bad +
                         " Failed 3 Import Passes. Moved To = " + failed + " , Last Err = 1146 ErrStr = ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.substr(log.rfind('\n', at) + 1, at - log.rfind('\n', at)).find("[ERROR]"),
              std::string::npos);
    EXPECT_EQ(qbtest::CountOf(log, "[MoveToFailedDir] DataFile = "), 1u);

    std::string out;
    EXPECT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/infoqry", std::to_string(m_C.InfoPort())}, m_C.Env(),
                                 10000, &out),
              0)
        << out;
    EXPECT_NE(out.find("Failed data files:      1 (in " + root + "/Failed)\n"), std::string::npos) << out;

    // After a restart the start-up scan counts the file but leaves it alone.
    EXPECT_EQ(m_C.Stop(), 0);
    ASSERT_TRUE(m_C.Start(FAST));
    EXPECT_TRUE(qbtest::WaitUntil(
        [&] { return qbtest::CountOf(m_C.Log(), "[DataFileScanThread] Thread Exit\n") == 2; }, 15000));
    log = m_C.Log();
    EXPECT_NE(
        log.find("[DataFileScanThread] DataFiles Waiting In Failed Dir = 1 , Dir = " + root + "/Failed\n"),
        std::string::npos);
    EXPECT_EQ(qbtest::CountOf(log, tried), 9u);
    EXPECT_EQ(qbtest::ReadFile(failed), badText);
    EXPECT_EQ(m_C.Stop(), 0);
}

TEST_F(StorageE2E, UploadLandsByteIdenticalWithItsRow)
{
    ASSERT_TRUE(m_C.Start(FAST));
    std::string src = m_C.Dir() + "/upload.bin";
    {
        std::ofstream out(src, std::ios::binary);
        for (int i = 0; i < 300000; ++i)
            out << (i % 7 == 0 ? static_cast<char>(i * 131) : 'a');
    }
    int code = 0;
    auto r = m_C.RunDevsim({"--devices", "1", "--upload", src, "--mask", "--skip-blocks", "2"}, &code);
    EXPECT_EQ(code, 0) << r["_output"];
    std::string path = m_C.Query("select dcfilepath from `" + m_C.DeviceDb(1) + "`.usrfileauditlog limit 1");
    ASSERT_NE(path, "<error>") << r["_output"];
    std::string stored;
    std::string root = m_C.Dir() + "/htdocs/UploadFiles";
    std::string found;
    std::string out;
    qbtest::RunProgram({"/usr/bin/find", root, "-type", "f"}, {}, 10000, &out);
    ASSERT_FALSE(out.empty());
    found = out.substr(0, out.find('\n'));
    EXPECT_EQ(qbtest::ReadFile(found), qbtest::ReadFile(src));
    EXPECT_EQ(m_C.Stop(), 0);
}
