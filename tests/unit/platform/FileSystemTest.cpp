#include "platform/FileSystem.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace platform;

namespace
{

class FileSystemTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qb_fs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }
    void Make(const std::string& name, const std::string& content)
    {
        std::ofstream(m_Dir + "/" + name, std::ios::binary) << content;
    }
    std::string m_Dir;
};

} // namespace

TEST_F(FileSystemTest, ListDirectoryMatchesPatternSortsAndFiltersDirectories)
{
    Make("b.log", "1");
    Make("A.LOG", "2");
    Make("c.txt", "3");
    Make(".hidden.log", "4");
    ASSERT_TRUE(CreateDirectory(m_Dir + "/dir.log"));
    std::filesystem::create_symlink(m_Dir + "/c.txt", m_Dir + "/link.log");

    EXPECT_EQ(ListDirectory(m_Dir, "*.log", true),
              (std::vector<std::string>{".hidden.log", "A.LOG", "b.log", "link.log"}));
    EXPECT_EQ(ListDirectory(m_Dir, "*.log", false),
              (std::vector<std::string>{".hidden.log", "A.LOG", "b.log", "dir.log", "link.log"}));
    EXPECT_EQ(ListDirectory(m_Dir, "?.txt", true), (std::vector<std::string>{"c.txt"}));
    EXPECT_EQ(ListDirectory(m_Dir, "*", false).size(), 6u); // never "." or ".."
    EXPECT_TRUE(ListDirectory(m_Dir + "/nope", "*", false).empty());
}

TEST_F(FileSystemTest, CopyDeleteSizeAndDirectories)
{
    std::string big(300000, 'q');
    Make("src", big);
    chmod((m_Dir + "/src").c_str(), 0640);
    uint64_t size = 0;
    ASSERT_TRUE(GetFileSize64(m_Dir + "/src", size));
    EXPECT_EQ(size, big.size());

    Make("dst", "old");
    errno = 0;
    EXPECT_FALSE(CopyFile(m_Dir + "/src", m_Dir + "/dst", true));
    EXPECT_EQ(errno, EEXIST);
    std::string got;
    ASSERT_TRUE(ReadWholeFile(m_Dir + "/dst", got));
    EXPECT_EQ(got, "old");

    ASSERT_TRUE(CopyFile(m_Dir + "/src", m_Dir + "/dst", false));
    ASSERT_TRUE(ReadWholeFile(m_Dir + "/dst", got));
    EXPECT_EQ(got, big);
    struct stat st;
    ASSERT_EQ(stat((m_Dir + "/dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    EXPECT_FALSE(CopyFile(m_Dir + "/absent", m_Dir + "/x", false));
    EXPECT_FALSE(FileExists(m_Dir + "/x"));

    ASSERT_TRUE(DeleteFile(m_Dir + "/dst"));
    EXPECT_FALSE(FileExists(m_Dir + "/dst"));
    EXPECT_FALSE(DeleteFile(m_Dir + "/dst"));

    ASSERT_TRUE(CreateDirectory(m_Dir + "/d"));
    errno = 0;
    EXPECT_FALSE(CreateDirectory(m_Dir + "/d"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(CreateDirectory(m_Dir + "/x/y")); // one level only
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(IsDirectory(m_Dir + "/d"));
    EXPECT_FALSE(IsDirectory(m_Dir + "/src"));
    ASSERT_TRUE(CreateDirectories(m_Dir + "/x/y/z"));
    EXPECT_TRUE(IsDirectory(m_Dir + "/x/y/z"));
}

TEST_F(FileSystemTest, AtomicWriteExclusiveCreateDiskFreeAndExecutable)
{
    std::string path = m_Dir + "/f";
    ASSERT_TRUE(WriteFileAtomic(path, "one", true));
    errno = 0;
    EXPECT_FALSE(WriteFileAtomic(path, "two", true));
    EXPECT_EQ(errno, EEXIST);
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(WriteFileAtomic(path, "three"));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(path, got));
    EXPECT_EQ(got, "three");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // permissions of the replaced file survive
    EXPECT_EQ(ListDirectory(m_Dir, "*", false), (std::vector<std::string>{"f"})); // no temporaries left

    uint64_t freeBytes = 0;
    ASSERT_TRUE(GetDiskFreeBytes(m_Dir, freeBytes));
    EXPECT_GT(freeBytes, 0u);
    EXPECT_FALSE(GetDiskFreeBytes(m_Dir + "/nope", freeBytes));

    std::string exe = ExecutablePath();
    EXPECT_EQ(exe.substr(exe.find_last_of('/') + 1), "unit_platform");
    EXPECT_TRUE(FileExists(exe));
}
