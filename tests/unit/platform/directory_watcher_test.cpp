// Change notification on one directory: what each file operation reports,
// in order, and how the watcher behaves as a waitable and when its
// directory goes away.
#include "platform/DirectoryWatcher.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using platform::CDirectoryWatcher;
using platform::DirChange;

namespace
{
class DirectoryWatcherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qb_watch_XXXXXX";
        m_Root = mkdtemp(tmpl);
        m_Dir = m_Root + "/conf";
        ASSERT_EQ(mkdir(m_Dir.c_str(), 0755), 0);
        m_Buffer.resize(8192);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_Root + "'";
        (void)system(cmd.c_str());
    }
    void Write(const std::string& name, const std::string& text)
    {
        FILE* f = fopen((m_Dir + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    // Everything reported until nothing more arrives for 100 ms.
    std::vector<DirChange> Drain(CDirectoryWatcher& w)
    {
        std::vector<DirChange> all;
        while (platform::WaitForSingleObject(&w, 100) == platform::WAIT_OBJECT_0)
            w.ReadChanges(m_Buffer.data(), m_Buffer.size(), all);
        return all;
    }
    static std::string Text(const std::vector<DirChange>& changes)
    {
        std::string s;
        for (const DirChange& c : changes)
            s += std::to_string(c.m_Action) + ":" + c.m_FileName + " ";
        return s;
    }

    std::string m_Root, m_Dir;
    std::vector<char> m_Buffer;
};
} // namespace

TEST_F(DirectoryWatcherTest, ReportsEachFileOperationInOrder)
{
    Write("moved-in.conf", "x"); // still outside the watch: made before Open
    ASSERT_EQ(rename((m_Dir + "/moved-in.conf").c_str(), (m_Root + "/moved-in.conf").c_str()), 0);
    CDirectoryWatcher w;
    ASSERT_TRUE(w.Open(m_Dir));
    ASSERT_TRUE(w.IsWatching());

    Write("Kelv.conf", "a"); // added, modified
    int fd = open((m_Dir + "/Kelv.conf").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(write(fd, "more", 4), 4); // several writes in a row: one modification
    close(fd);
    ASSERT_EQ(rename((m_Dir + "/Kelv.conf").c_str(), (m_Dir + "/Kelv.old").c_str()), 0); // renamed
    ASSERT_EQ(rename((m_Dir + "/Kelv.old").c_str(), (m_Root + "/Kelv.old").c_str()), 0); // moved away
    ASSERT_EQ(rename((m_Root + "/moved-in.conf").c_str(), (m_Dir + "/moved-in.conf").c_str()), 0); // moved in
    ASSERT_EQ(mkdir((m_Dir + "/sub").c_str(), 0755), 0); // subdirectories are not reported
    Write("sub/inner.conf", "y");                        // nor what happens inside them
    ASSERT_EQ(unlink((m_Dir + "/moved-in.conf").c_str()), 0);

    std::string expected = "1:Kelv.conf 3:Kelv.conf 4:Kelv.conf 5:Kelv.old 2:Kelv.old 1:moved-in.conf "
                           "2:moved-in.conf ";
    EXPECT_EQ(Text(Drain(w)), expected);

    // Replacing writes stand for in-place writes: only the file itself shows.
    ASSERT_TRUE(platform::WriteFileAtomic(m_Dir + "/Kelv.conf", "[DB]\n"));
    EXPECT_EQ(Text(Drain(w)), "3:Kelv.conf ");
    ASSERT_TRUE(platform::WritePrivateProfileString("DB", "Port", "3307", m_Dir + "/Kelv.conf"));
    EXPECT_EQ(Text(Drain(w)), "3:Kelv.conf ");
}

TEST_F(DirectoryWatcherTest, WaitsBesideAnEventAndHoldsChangesUntilRead)
{
    CDirectoryWatcher w;
    ASSERT_TRUE(w.Open(m_Dir));
    platform::CEvent exitEvent(true, false);
    platform::CWaitable* set[2] = {&exitEvent, &w};
    EXPECT_EQ(platform::WaitForMultipleObjects(2, set, false, 50), platform::WAIT_TIMEOUT)
        << "nothing changed yet";

    // Changes made while nobody waits are kept for the next read; a large
    // batch is read in several buffer loads.
    for (int i = 0; i < 300; ++i)
        Write("file" + std::to_string(i) + ".txt", "z");
    EXPECT_EQ(platform::WaitForMultipleObjects(2, set, false, 1000), platform::WAIT_OBJECT_0 + 1);
    std::vector<DirChange> changes = Drain(w);
    ASSERT_EQ(changes.size(), 600u) << "an added and a modified record per file";
    EXPECT_EQ(changes[598].m_FileName, "file299.txt");
    EXPECT_EQ(changes[599].m_Action, platform::FILE_ACTION_MODIFIED);
    EXPECT_EQ(platform::WaitForMultipleObjects(2, set, false, 50), platform::WAIT_TIMEOUT) << "all were read";

    exitEvent.Set();
    Write("late.txt", "z");
    EXPECT_EQ(platform::WaitForMultipleObjects(2, set, false, 1000), platform::WAIT_OBJECT_0)
        << "the lower index wins when both are signalled";
}

TEST_F(DirectoryWatcherTest, DirectoryThatGoesAwayAndComesBack)
{
    CDirectoryWatcher missing;
    EXPECT_FALSE(missing.Open(m_Root + "/none"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(missing.IsCreated()) << "the notification object exists; only the directory is missing";
    EXPECT_FALSE(missing.IsWatching());

    CDirectoryWatcher w;
    ASSERT_TRUE(w.Open(m_Dir));
    Write("a.conf", "1");
    ASSERT_EQ(unlink((m_Dir + "/a.conf").c_str()), 0);
    ASSERT_EQ(rmdir(m_Dir.c_str()), 0);
    ASSERT_EQ(platform::WaitForSingleObject(&w, 1000), platform::WAIT_OBJECT_0);
    std::vector<DirChange> changes;
    EXPECT_FALSE(w.ReadChanges(m_Buffer.data(), m_Buffer.size(), changes));
    EXPECT_EQ(Text(changes), "1:a.conf 3:a.conf 2:a.conf ") << "what came before the end is still reported";
    EXPECT_FALSE(w.IsWatching());
    EXPECT_FALSE(w.Rearm());

    ASSERT_EQ(mkdir(m_Dir.c_str(), 0755), 0);
    ASSERT_TRUE(w.Rearm());
    Write("b.conf", "2");
    EXPECT_EQ(Text(Drain(w)), "1:b.conf 3:b.conf ");

    std::vector<DirChange> none;
    EXPECT_FALSE(w.ReadChanges(m_Buffer.data(), 100, none)) << "a buffer too small for one record";
}
