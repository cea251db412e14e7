#include "storage/DataFileManager.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Tick.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace
{
void SetDataFileOption(const char* key, int value)
{
    CConfigManager* config = CConfigManager::GetInstance();
    platform::WritePrivateProfileString("DataFile", key, std::to_string(value),
                                        config->GetConfigFilePath("KelvAdv.conf"));
    config->LoadConfig("KelvAdv.conf");
}

std::string UniqueName(const char* tag)
{
    static std::atomic<int> n{0};
    return std::string(tag) + "_" + std::to_string(getpid()) + "_" + std::to_string(n++);
}

// Splits on CR LF; a text without a final CR LF gives its tail as a last element.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
        {
            out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

class DataFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        CBuffManager::GetInstance()->Init();
        SetDataFileOption("EnableAsyncWrite", 0);
        SetDataFileOption("DataFileUseTime", 10);
        m_Root = CGlobalSharedData::GetInstance()->GetDataFileDir();
        m_Db = UniqueName("dfdb");
    }
    void TearDown() override
    {
        CDataFileManager* m = CDataFileManager::GetInstance();
        for (uint32_t id : m_Ids)
            m->ReleaseDataFileID(id);
        m->UnInit();
        SetDataFileOption("EnableAsyncWrite", 0);
        SetDataFileOption("DataFileUseTime", 10);
        std::string cmd = "rm -rf '" + m_Root + "/" + m_Db + "'";
        (void)system(cmd.c_str());
    }
    // Claims every queued entry of the test's database; returns their paths in order.
    std::vector<std::string> ClaimAll()
    {
        std::vector<std::string> paths;
        std::string db = m_Db, file, table;
        while (CDataFileManager::GetInstance()->GetImportInfo(db, file, table) == 1)
            paths.push_back(file);
        return paths;
    }
    std::string m_Root, m_Db;
    std::vector<uint32_t> m_Ids;
};
} // namespace

// A file per database and table under the data-file root, named by time and
// sequence; kept while it has no data however old it is; switched out by the
// switch thread once its first write is older than the use time, queued, and
// re-created under a new name by the next write.
TEST_F(DataFileTest, TreeNamesSwitchOutAndRecreation)
{
    SetDataFileOption("DataFileUseTime", 1); // 60 s, shortened to 60 ms
    CDataFileManager* m = CDataFileManager::GetInstance();
    EXPECT_EQ(m->AllocDataFileID(m_Db.c_str(), "syslog"), 0u) << "nothing before Init";
    ASSERT_TRUE(m->Init());

    LocalTime before = CClock::Now();
    uint32_t id = m->AllocDataFileID(m_Db.c_str(), "syslog");
    ASSERT_NE(id, 0u);
    m_Ids.push_back(id);
    CDataFile* file = m->GetDataFileByID(id);
    ASSERT_NE(file, nullptr);
    std::string first = file->GetFilePath();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        first, match,
        std::regex(m_Root + "/" + m_Db + "/syslog/DataFile_(\\d{8})_(\\d{6})_(\\d{6,10})\\.dat")))
        << first;
    char date[16];
    snprintf(date, sizeof(date), "%04d%02d%02d", before.m_Year, before.m_Month, before.m_Day);
    EXPECT_TRUE(match[1] == date || before.m_Hour == 23) << first;
    EXPECT_TRUE(platform::IsDirectory(m_Root + "/" + m_Db + "/syslog"));
    EXPECT_TRUE(platform::FileExists(first));

    // Never written: never switched, however many switch passes go by.
    platform::Sleep(300);
    EXPECT_EQ(m->GetDataFileByID(id)->GetFilePath(), first);
    EXPECT_TRUE(ClaimAll().empty());

    std::string line = "1\t2\t\"hello\"\t\"2012-05-01 08:09:10\"\r\n";
    ASSERT_EQ(m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size())), line.size());
    ASSERT_TRUE(qbtest::WaitUntil([&] { return m->GetImportListSize() > 0; }))
        << "switched out after the use time";
    EXPECT_FALSE(file->IsHandleValid()) << "the switch thread closes it and leaves re-creation to the writer";
    EXPECT_NE(qbtest::ReadTodayLog().find("[DataFileSwitchThread] Switch Out DataFile = " + first + "\n"),
              std::string::npos);
    EXPECT_EQ(qbtest::ReadFile(first), line);

    // The next write re-creates the file under a new name.
    ASSERT_EQ(m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size())), line.size());
    std::string second = m->GetDataFileByID(id)->GetFilePath();
    EXPECT_NE(second, first);
    EXPECT_EQ(qbtest::ReadFile(second), line);

    std::vector<std::string> queued = ClaimAll();
    ASSERT_GE(queued.size(), 1u);
    EXPECT_EQ(queued[0], first);
}

// Release queues the file; importers claim entries of their database in
// submission order, never twice; a freed entry is claimable again; a path
// queued twice (switched out, then released before re-creation) is handed to
// one importer at a time.
TEST_F(DataFileTest, ImportListClaimsReleaseAndDuplicates)
{
    CDataFileManager* m = CDataFileManager::GetInstance();
    auto scans = []
    { return qbtest::CountOf(qbtest::ReadTodayLog(), "[DoImportOnStart] DataFile Will Import In"); };
    size_t scansBefore = scans();
    ASSERT_TRUE(m->Init());
    // The start-up scan runs at once; the list is this test's own only after it.
    ASSERT_TRUE(qbtest::WaitUntil([&] { return scans() > scansBefore; }, 10000));
    uint32_t a = m->AllocDataFileID(m_Db.c_str(), "usrbasiclog");
    uint32_t b = m->AllocDataFileID(m_Db.c_str(), "usrsvrlog");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    std::string pathA = m->GetDataFileByID(a)->GetFilePath();
    std::string pathB = m->GetDataFileByID(b)->GetFilePath();
    m->ReleaseDataFileID(a);
    m->ReleaseDataFileID(b);
    EXPECT_EQ(m->GetDataFileByID(a), nullptr);
    EXPECT_NE(qbtest::ReadTodayLog().find("[GetDataFileByID] Cannot Find Specify DataFile ID = " +
                                          std::to_string(a)),
              std::string::npos);

    std::string db = m_Db, file, table;
    ASSERT_EQ(m->GetImportInfo(db, file, table), 1);
    EXPECT_EQ(file, pathA);
    EXPECT_EQ(table, "usrbasiclog");
    ASSERT_EQ(m->GetImportInfo(db, file, table), 1);
    EXPECT_EQ(file, pathB);
    EXPECT_EQ(m->GetImportInfo(db, file, table), 0);
    std::string other = m_Db + "x";
    EXPECT_EQ(m->GetImportInfo(other, file, table), 0);

    EXPECT_EQ(m->ResetImportInfoFlag(m_Db.c_str(), "usrbasiclog", pathA.c_str()), 1);
    ASSERT_EQ(m->GetImportInfo(db, file, table), 1);
    EXPECT_EQ(file, pathA);
    // An importer deletes what it loaded; otherwise the start-up scan, which
    // may run late on a busy machine, would find the files again.
    m->RemoveImportInfo(m_Db.c_str(), "usrbasiclog", pathA.c_str());
    m->RemoveImportInfo(m_Db.c_str(), "usrsvrlog", pathB.c_str());
    platform::DeleteFile(pathA);
    platform::DeleteFile(pathB);
    EXPECT_EQ(m->ResetImportInfoFlag(m_Db.c_str(), "usrsvrlog", pathB.c_str()), 0);
    EXPECT_NE(qbtest::ReadTodayLog().find("[ResetImportInfoFlag] Cannot Find ImportInfo! DBName = " + m_Db),
              std::string::npos);

    // Switched out without re-creation, then released: queued once, since a
    // second entry could load the same rows again.
    uint32_t c = m->AllocDataFileID(m_Db.c_str(), "usrflowlog");
    ASSERT_NE(c, 0u);
    CDataFile* fc = m->GetDataFileByID(c);
    std::string pathC = fc->GetFilePath();
    ASSERT_TRUE(m->SwitchOutDataFile(fc, 0));
    m->ReleaseDataFileID(c);
    EXPECT_EQ(m->GetImportListSize(), 1u);
    ASSERT_EQ(m->GetImportInfo(db, file, table), 1);
    EXPECT_EQ(file, pathC);
    EXPECT_EQ(m->GetImportInfo(db, file, table), 0) << "the same path must not go to a second importer";
    m->RemoveImportInfo(m_Db.c_str(), "usrflowlog", pathC.c_str());
    EXPECT_EQ(m->GetImportInfo(db, file, table), 0) << "nothing is left to load the file again";

    // Names that are not one directory level are refused.
    EXPECT_EQ(m->AllocDataFileID("", "syslog"), 0u);
    EXPECT_EQ(m->AllocDataFileID("..", "syslog"), 0u);
    EXPECT_EQ(m->AllocDataFileID("a/b", "syslog"), 0u);
    EXPECT_EQ(m->AllocDataFileID(m_Db.c_str(), ""), 0u);
}

// Many importers of one database never receive the same entry.
TEST_F(DataFileTest, ConcurrentImportersClaimEachEntryOnce)
{
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->Init());
    const int count = 2000;
    for (int i = 0; i < count; ++i)
    {
        CDataFile f;
        f.SetDbName(m_Db);
        f.SetTableName("syslog");
        f.SetFilePath("/nowhere/" + std::to_string(i) + ".dat");
        ASSERT_TRUE(m->SubmitToImportList(&f));
    }
    std::vector<std::vector<std::string>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t]
            {
                std::string db = m_Db, file, table;
                while (m->GetImportInfo(db, file, table) == 1)
                    got[static_cast<size_t>(t)].push_back(file);
            });
    for (auto& t : threads)
        t.join();
    std::multiset<std::string> all;
    for (auto& v : got)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(count));
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), static_cast<size_t>(count));
}

// Double-buffered writing: lines of every length, among them records larger
// than a buffer, reach the file exactly once and whole, also while two threads
// write the same file and the switch thread switches it out under them.
TEST_F(DataFileTest, AsyncWritesUnderSwitchOutKeepEveryLineOnce)
{
    SetDataFileOption("EnableAsyncWrite", 1);
    SetDataFileOption("DataFileUseTime", 1);
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->Init());
    uint32_t id = m->AllocDataFileID(m_Db.c_str(), "usrbasiclog");
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(m->GetDataFileByID(id)->IsAsync());

    std::set<std::string> written;
    std::mutex writtenLock;
    auto writer = [&](int t)
    {
        for (int i = 0; i < 3000; ++i)
        {
            size_t pad = (i * 37 + t * 11) % 900;
            if (i % 500 == 7)
                pad = 20000; // larger than a buffer: written directly
            std::string body =
                "T" + std::to_string(t) + "_" + std::to_string(i) + "_" + std::string(pad, 'p');
            std::string line = body + "\r\n";
            uint32_t n = m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size()));
            if (n == line.size())
            {
                std::lock_guard<std::mutex> lock(writtenLock);
                written.insert(body);
            }
            else
            {
                ASSERT_EQ(n, 0u) << "a write is taken whole or refused";
            }
            if (i % 300 == 0)
                platform::Sleep(20); // let the use time pass now and then
        }
    };
    std::thread w1(writer, 1), w2(writer, 2);
    w1.join();
    w2.join();
    std::string last = m->GetDataFileByID(id)->GetFilePath();
    m->ReleaseDataFileID(id);

    std::vector<std::string> files = ClaimAll();
    ASSERT_GE(files.size(), 2u) << "the file was switched out while being written";
    std::multiset<std::string> found;
    for (const std::string& path : files)
    {
        std::string text = qbtest::ReadFile(path);
        ASSERT_TRUE(text.empty() || text.substr(text.size() - 2) == "\r\n") << path;
        for (const std::string& l : Lines(text))
            found.insert(l);
    }
    EXPECT_EQ(found.size(), written.size());
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), written);
    EXPECT_GT(written.size(), 5000u);
}

// A record of a buffer's size or more is written at once; data buffered
// afterwards lands after it; Close writes out the buffer.
TEST_F(DataFileTest, LargeRecordGoesStraightToTheFile)
{
    SetDataFileOption("EnableAsyncWrite", 1);
    std::string dir = m_Root + "/" + m_Db;
    ASSERT_TRUE(platform::CreateDirectories(dir));
    CDataFile f;
    f.SetFilePath(dir + "/direct.dat");
    ASSERT_TRUE(f.Create());
    ASSERT_TRUE(f.IsAsync());
    std::string small = "small line\r\n";
    std::string big(CDataFile::ASYNC_BUFF_SIZE, 'B');
    std::string after = "after line\r\n";
    EXPECT_EQ(f.Write(small.data(), static_cast<uint32_t>(small.size())), small.size());
    EXPECT_EQ(qbtest::ReadFile(f.GetFilePath()), "") << "a small line waits in the buffer";
    EXPECT_EQ(f.Write(big.data(), static_cast<uint32_t>(big.size())), big.size());
    EXPECT_EQ(qbtest::ReadFile(f.GetFilePath()), big) << "the large record is on disk at once";
    EXPECT_EQ(f.Write(after.data(), static_cast<uint32_t>(after.size())), after.size());
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(qbtest::ReadFile(f.GetFilePath()), big + small + after);
    EXPECT_EQ(f.Write(after.data(), static_cast<uint32_t>(after.size())), 0u) << "a closed file refuses";
}

namespace
{
// A small tmpfs mounted over a directory for one test, detached at the end.
struct CSmallDisk
{
    std::string m_Dir;
    bool m_bMounted = false;
    CSmallDisk(const std::string& dir, const char* size) : m_Dir(dir)
    {
        if (platform::CreateDirectories(dir))
            m_bMounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    bool Resize(const char* size)
    {
        return mount("tmpfs", m_Dir.c_str(), "tmpfs", MS_REMOUNT, (std::string("size=") + size).c_str()) == 0;
    }
    ~CSmallDisk()
    {
        if (m_bMounted)
            umount2(m_Dir.c_str(), MNT_DETACH);
    }
};
} // namespace

// Buffered writing on a full disk, driven as the data-file writer drives it
// (a refused line goes on by SQL and the file is released, the next line
// starts a new file): every line answered as written is in a file exactly
// once, no file holds a torn line or a gap, no refused line is in a file,
// and once space is freed lines are taken again.
TEST_F(DataFileTest, AsyncWritesOnAFullDiskLoseNothingTheyAcknowledged)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    SetDataFileOption("EnableAsyncWrite", 1);
    CSmallDisk disk(m_Root + "/" + m_Db, "64k");
    if (!disk.m_bMounted)
        GTEST_SKIP() << "cannot mount tmpfs: " << strerror(errno);
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->Init());

    std::set<std::string> acked, refused;
    uint32_t id = 0;
    int seq = 0;
    auto writeLine = [&]
    {
        std::string body = "L" + std::to_string(seq) + "_" + std::string(40 + (seq * 53) % 400, 'x');
        ++seq;
        std::string line = body + "\r\n";
        if (id == 0)
            id = m->AllocDataFileID(m_Db.c_str(), "syslog");
        uint32_t n = id == 0 ? 0 : m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size()));
        if (n == line.size())
            acked.insert(body);
        else
        {
            EXPECT_EQ(n, 0u) << "a line is taken whole or refused";
            refused.insert(body);
            if (id != 0)
                m->ReleaseDataFileID(id);
            id = 0;
        }
        return n != 0;
    };

    // About six times what the disk holds: the disk fills, with lines in the buffers.
    for (int i = 0; i < 2000; ++i)
        writeLine();
    size_t ackedWhileFull = acked.size(), refusedWhileFull = refused.size();
    EXPECT_GT(refusedWhileFull, 0u) << "the disk did fill";

    // Space is freed: lines are taken again, also by the file that was open while the disk was full.
    ASSERT_TRUE(disk.Resize("8m")) << strerror(errno);
    int takenAfter = 0;
    for (int i = 0; i < 500; ++i)
        takenAfter += writeLine() ? 1 : 0;
    if (id != 0)
        m->ReleaseDataFileID(id);

    std::multiset<std::string> found;
    int torn = 0;
    std::vector<std::string> files = ClaimAll();
    for (const std::string& path : files)
    {
        std::string text = qbtest::ReadFile(path);
        if (!text.empty() && text.substr(text.size() - 2) != "\r\n")
            ++torn;
        for (const std::string& l : Lines(text))
        {
            if (acked.count(l) == 0)
                ++torn; // a part of a line, a gap of zeros, or a refused line
            found.insert(l);
        }
    }
    size_t missing = 0, doubled = 0;
    for (const std::string& body : acked)
    {
        size_t n = found.count(body);
        missing += n == 0 ? 1 : 0;
        doubled += n > 1 ? 1 : 0;
    }
    printf("[figures] buffered writes on a 64 KiB disk: %d lines, %zu taken and %zu refused while full, %d "
           "of 500 "
           "taken after space was freed, %zu files; missing %zu, doubled %zu, torn or foreign %d\n",
           seq, ackedWhileFull, refusedWhileFull, takenAfter, files.size(), missing, doubled, torn);
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(doubled, 0u);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(takenAfter, 500);
    EXPECT_GT(ackedWhileFull, 100u);
    for (const std::string& body : refused)
        EXPECT_EQ(found.count(body), 0u) << "a refused line was stored too: " << body.substr(0, 12);
}

// A buffer write that fails although its space was reserved (a file-size
// limit stands in for a disk that refuses the bytes): the buffer's lines are
// kept, new lines are refused while they cannot be written, and they reach
// the file once writing works again. When it never does, Close cuts the file
// back to a whole line and reports failure; nothing torn stays behind.
TEST_F(DataFileTest, FailedBufferWriteIsKeptAndWrittenAgain)
{
    SetDataFileOption("EnableAsyncWrite", 1);
    std::string dir = m_Root + "/" + m_Db;
    ASSERT_TRUE(platform::CreateDirectories(dir));
    struct CFileSizeLimit
    {
        rlimit m_Old{};
        void (*m_OldHandler)(int) = SIG_DFL;
        CFileSizeLimit()
        {
            getrlimit(RLIMIT_FSIZE, &m_Old);
            m_OldHandler = signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
        }
        bool Set(rlim_t bytes)
        {
            rlimit r = m_Old;
            r.rlim_cur = bytes;
            return setrlimit(RLIMIT_FSIZE, &r) == 0;
        }
        ~CFileSizeLimit()
        {
            setrlimit(RLIMIT_FSIZE, &m_Old);
            signal(SIGXFSZ, m_OldHandler);
        }
    } limit;

    for (int giveUp = 0; giveUp < 2; ++giveUp)
    {
        CDataFile f;
        f.SetFilePath(dir + "/limited" + std::to_string(giveUp) + ".dat");
        ASSERT_TRUE(f.Create());
        ASSERT_TRUE(f.IsAsync());
        // Past the log too, so that what Close reports can still be logged.
        const rlim_t cap = 40000 + qbtest::ReadTodayLog().size() + 20000;
        ASSERT_TRUE(limit.Set(cap));
        std::vector<std::string> acked;
        int refused = 0, seq = 0;
        auto writeLine = [&]
        {
            std::string body =
                "F" + std::to_string(giveUp) + "_" + std::to_string(seq++) + std::string(90, 'y');
            std::string line = body + "\r\n";
            uint32_t n = f.Write(line.data(), static_cast<uint32_t>(line.size()));
            if (n == line.size())
                acked.push_back(body);
            else
                ++refused;
            return n;
        };
        for (size_t i = 0; i < cap / 50 && refused < 20; ++i)
            writeLine();
        EXPECT_EQ(refused, 20) << "lines are refused while a buffer cannot be written";
        EXPECT_GT(acked.size() * 100, static_cast<size_t>(cap)) << "the buffers beyond the limit were taken";
        if (giveUp == 0)
        {
            ASSERT_TRUE(
                limit.Set(RLIM_INFINITY == limit.m_Old.rlim_max ? RLIM_INFINITY : limit.m_Old.rlim_max));
            EXPECT_NE(writeLine(), 0u) << "taken again once the buffer is written";
            EXPECT_TRUE(f.Close());
        }
        else
        {
            EXPECT_FALSE(f.Close()) << "lines that could not be written are reported";
            limit.Set(limit.m_Old.rlim_cur);
        }
        std::string text = qbtest::ReadFile(f.GetFilePath());
        ASSERT_TRUE(text.empty() || text.substr(text.size() - 2) == "\r\n") << "no torn line at the end";
        std::vector<std::string> found = Lines(text);
        ASSERT_LE(found.size(), acked.size());
        for (size_t i = 0; i < found.size(); ++i)
            ASSERT_EQ(found[i], acked[i]) << "line " << i << ": in order, whole, no gap";
        printf(
            "[figures] buffer write failing at %u bytes (%s): %zu lines taken, %d refused, %zu in the file\n",
            static_cast<unsigned>(cap), giveUp ? "never works again" : "works again", acked.size(), refused,
            found.size());
        if (giveUp == 0)
            EXPECT_EQ(found.size(), acked.size()) << "every line taken is in the file";
        else
        {
            EXPECT_LE(found.size() * 92, static_cast<size_t>(cap)) << "what could not be written is cut off";
            EXPECT_NE(qbtest::ReadTodayLog().find("[Close] Data File Lines Lost = " +
                                                  std::to_string(acked.size() - found.size()) + " ,"),
                      std::string::npos)
                << "the lines lost are counted in an ERROR";
        }
    }
}
