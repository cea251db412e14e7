#include "platform/Profile.h"
#include "platform/FileSystem.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace
{

class ProfileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qb_profile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        m_Path = m_Dir + "/test.conf";
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }
    void Put(const std::string& text) { ASSERT_TRUE(WriteFileAtomic(m_Path, text)); }
    std::string Content()
    {
        std::string s;
        EXPECT_TRUE(ReadWholeFile(m_Path, s));
        return s;
    }

    std::string m_Dir;
    std::string m_Path;
};

const char kCrlfFile[] = "; settings\r\n"
                         "[General]\r\n"
                         "  Port = 12abc \r\n"
                         "Neg=-42\r\n"
                         "Empty=\r\n"
                         "Text=abc\r\n"
                         "Name = \"  quoted value  \" \r\n"
                         "Word=hello world\r\n"
                         "[general]\r\n"
                         "Port=99\r\n"
                         "[ Sql ]\r\n"
                         "First Line=with=equals\r\n"
                         "\r\n"
                         "; a comment\r\n"
                         "  Second  \r\n";

} // namespace

TEST_F(ProfileTest, ReadsIntegersStringsAndSectionsOfCrlfFileLikeTheOriginal)
{
    Put(kCrlfFile);
    // Case-insensitive names; parse stops at the first non-digit; the first of two equal sections wins.
    EXPECT_EQ(GetPrivateProfileInt("GENERAL", "port", 5, m_Path), 12);
    EXPECT_EQ(GetPrivateProfileInt("general", "NEG", 5, m_Path), -42);
    EXPECT_EQ(GetPrivateProfileInt("General", "Empty", 5, m_Path), 0);
    EXPECT_EQ(GetPrivateProfileInt("General", "Text", 5, m_Path), 0);
    EXPECT_EQ(GetPrivateProfileInt("General", "Missing", 7, m_Path), 7);
    EXPECT_EQ(GetPrivateProfileInt("NoSection", "Port", 8, m_Path), 8);
    EXPECT_EQ(GetPrivateProfileInt("General", "Port", 9, m_Dir + "/absent.conf"), 9);

    EXPECT_EQ(GetPrivateProfileString("General", "Text", "d", m_Path), "abc"); // no '\r' left over
    EXPECT_EQ(GetPrivateProfileString("General", "name", "d", m_Path), "  quoted value  ");
    EXPECT_EQ(GetPrivateProfileString("General", "Empty", "d", m_Path), "");
    EXPECT_EQ(GetPrivateProfileString("General", "Word", "", m_Path, 5), "hello");
    EXPECT_EQ(GetPrivateProfileString("General", "Nope", "default", m_Path, 3), "def");
    EXPECT_EQ(GetPrivateProfileString("sql", "first line", "", m_Path), "with=equals");

    EXPECT_EQ(GetPrivateProfileSection("SQL", m_Path),
              (std::vector<std::string>{"First Line=with=equals", "Second"}));
    EXPECT_TRUE(GetPrivateProfileSection("Absent", m_Path).empty());
    EXPECT_EQ(GetPrivateProfileSectionNames(m_Path), (std::vector<std::string>{"General", "general", "Sql"}));
}

TEST_F(ProfileTest, IntegerEdgeCases)
{
    Put("[N]\nPlus=+17\nBlank=   33 \nQuoted=\"21\"\nMinusOnly=-\nHex=0x10\nWrap=4294967297\n");
    EXPECT_EQ(GetPrivateProfileInt("N", "Plus", 0, m_Path), 17);
    EXPECT_EQ(GetPrivateProfileInt("N", "Blank", 0, m_Path), 33);
    EXPECT_EQ(GetPrivateProfileInt("N", "Quoted", 0, m_Path), 21);
    EXPECT_EQ(GetPrivateProfileInt("N", "MinusOnly", 5, m_Path), 0);
    EXPECT_EQ(GetPrivateProfileInt("N", "Hex", 5, m_Path), 0);
    EXPECT_EQ(GetPrivateProfileInt("N", "Wrap", 0, m_Path), 1); // 32-bit wrap, no crash
}

TEST_F(ProfileTest, WriteReplacesOnlyTheKeyLineAndKeepsEverythingElse)
{
    const std::string before = "; top comment\n"
                               "[A]\n"
                               "One=1\n"
                               "  two = 2\n"
                               "; trailing comment of A\n"
                               "\n"
                               "[B]\n"
                               "x=y\n";
    Put(before);
    ASSERT_TRUE(WritePrivateProfileString("a", "TWO", "22", m_Path));
    EXPECT_EQ(Content(), "; top comment\n[A]\nOne=1\ntwo=22\n; trailing comment of A\n\n[B]\nx=y\n");

    // A new key goes after the section's last entry, before its trailing comment.
    ASSERT_TRUE(WritePrivateProfileString("A", "Three", "3", m_Path));
    EXPECT_EQ(Content(), "; top comment\n[A]\nOne=1\ntwo=22\nThree=3\n; trailing comment of A\n\n[B]\nx=y\n");

    // A new section is appended.
    ASSERT_TRUE(WritePrivateProfileString("C", "k", "v w", m_Path));
    EXPECT_EQ(GetPrivateProfileString("c", "K", "", m_Path), "v w");
    EXPECT_EQ(GetPrivateProfileString("B", "x", "", m_Path), "y");

    ASSERT_TRUE(DeletePrivateProfileKey("A", "one", m_Path));
    EXPECT_EQ(GetPrivateProfileInt("A", "One", -1, m_Path), -1);
    EXPECT_EQ(GetPrivateProfileInt("A", "two", -1, m_Path), 22);

    ASSERT_TRUE(DeletePrivateProfileSection("a", m_Path));
    EXPECT_EQ(Content(), "; top comment\n[B]\nx=y\n[C]\nk=v w\n");
}

TEST_F(ProfileTest, WriteCreatesFileKeepsCrlfAndRefusesStructureBreakingText)
{
    ASSERT_TRUE(WritePrivateProfileString("DiskFreeSpace", "ISFULL", "1", m_Path));
    EXPECT_EQ(Content(), "[DiskFreeSpace]\nISFULL=1\n");

    Put("[S]\r\nA=1\r\n");
    ASSERT_TRUE(WritePrivateProfileString("S", "B", "2", m_Path));
    ASSERT_TRUE(WritePrivateProfileString("T", "C", "3", m_Path));
    ASSERT_TRUE(WritePrivateProfileString("S", "a", "9", m_Path));
    EXPECT_EQ(Content(), "[S]\r\nA=9\r\nB=2\r\n[T]\r\nC=3\r\n");

    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "A", "1\n[Evil]", m_Path));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(WritePrivateProfileString("S]x", "A", "1", m_Path));
    EXPECT_FALSE(WritePrivateProfileString("S", "A=B", "1", m_Path));
    EXPECT_FALSE(WritePrivateProfileString("S", "", "1", m_Path));
    EXPECT_EQ(GetPrivateProfileInt("S", "A", 0, m_Path), 9);

    // The directory must exist; nothing is created elsewhere.
    EXPECT_FALSE(WritePrivateProfileString("S", "A", "1", m_Dir + "/missing/x.conf"));
}

TEST_F(ProfileTest, ReadersNeverSeeAHalfWrittenFileAndConcurrentWritersLoseNothing)
{
    Put("[S]\nStable=yes\nBig=\n");
    const std::string small(10, 'a');
    const std::string large(200000, 'b');
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader(
        [&]
        {
            while (!done)
            {
                if (GetPrivateProfileString("S", "Stable", "", m_Path) != "yes")
                    ++bad;
                std::string big = GetPrivateProfileString("S", "Big", "", m_Path, 1000000);
                if (big != small && big != large && !big.empty())
                    ++bad;
            }
        });
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(WritePrivateProfileString("S", "Big", (i % 2) ? small : large, m_Path));
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 25; ++i)
                    WritePrivateProfileString("W", "k" + std::to_string(t) + "_" + std::to_string(i), "1",
                                              m_Path);
            });
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(GetPrivateProfileSection("W", m_Path).size(), 100u);
    EXPECT_EQ(GetPrivateProfileString("S", "Stable", "", m_Path), "yes");
}
