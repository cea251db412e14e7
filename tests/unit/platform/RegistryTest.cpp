#include "platform/Registry.h"
#include "platform/Profile.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using namespace platform;

namespace
{

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qb_registry_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        m_File = m_Dir + "/etc/quillbarn/registry.ini"; // the directories do not exist yet
        setenv("QUILLBARN_REGISTRY", m_File.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QUILLBARN_REGISTRY");
        std::filesystem::remove_all(m_Dir);
    }
    std::string m_Dir;
    std::string m_File;
};

const char kDcKey[] = "HKLM\\Software\\Velmora\\SSL\\DC";

} // namespace

TEST_F(RegistryTest, ValuesRoundTripWithCaseInsensitiveKeysAndNames)
{
    EXPECT_EQ(RegistryFilePath(), m_File);
    std::string out = "untouched";
    EXPECT_FALSE(RegGetString(kDcKey, "InstallPath", out));
    EXPECT_EQ(out, "untouched");

    ASSERT_TRUE(RegSetString(kDcKey, "InstallPath", "/opt/quillbarn"));
    ASSERT_TRUE(std::filesystem::exists(m_File));
    ASSERT_TRUE(RegGetString("hklm\\software\\VELMORA\\ssl\\dc\\", "installpath", out));
    EXPECT_EQ(out, "/opt/quillbarn");
    ASSERT_TRUE(RegGetString("HKLM/Software/Velmora/SSL/DC", "InstallPath", out));
    EXPECT_EQ(out, "/opt/quillbarn");

    // Blanks, quotes, '=' and the empty string come back unchanged; overwrite keeps one entry.
    for (const std::string v : {"  padded  ", "\"quoted\"", "a=b;c", ""})
    {
        ASSERT_TRUE(RegSetString(kDcKey, "Odd", v));
        ASSERT_TRUE(RegGetString(kDcKey, "ODD", out));
        EXPECT_EQ(out, v);
    }
    EXPECT_EQ(GetPrivateProfileSection(kDcKey, m_File).size(), 2u);

    ASSERT_TRUE(RegSetString(kDcKey, "", "default value"));
    ASSERT_TRUE(RegGetString(kDcKey, "", out));
    EXPECT_EQ(out, "default value");

    EXPECT_FALSE(RegSetString(kDcKey, "Bad", "two\nlines"));
    EXPECT_FALSE(RegSetString(kDcKey, "Bad=Name", "x"));

    ASSERT_TRUE(RegDeleteValue(kDcKey, "odd"));
    EXPECT_FALSE(RegGetString(kDcKey, "Odd", out));
    ASSERT_TRUE(RegGetString(kDcKey, "InstallPath", out));
}

TEST_F(RegistryTest, DeleteKeyRemovesSubkeysButNotSiblingsSharingAPrefix)
{
    ASSERT_TRUE(RegSetString("HKCR\\AppID\\{84CC16FB}", "LocalService", "Quillbarn"));
    ASSERT_TRUE(RegSetString("HKCR\\AppID\\{84CC16FB}\\Sub", "V", "1"));
    ASSERT_TRUE(RegSetString("HKCR\\AppID\\{84CC16FB}X", "V", "sibling"));
    ASSERT_TRUE(RegSetString("HKCR\\AppID", "Keep", "root"));

    ASSERT_TRUE(RegDeleteKey("hkcr\\appid\\{84cc16fb}"));
    std::string out;
    EXPECT_FALSE(RegGetString("HKCR\\AppID\\{84CC16FB}", "LocalService", out));
    EXPECT_FALSE(RegGetString("HKCR\\AppID\\{84CC16FB}\\Sub", "V", out));
    ASSERT_TRUE(RegGetString("HKCR\\AppID\\{84CC16FB}X", "V", out));
    EXPECT_EQ(out, "sibling");
    ASSERT_TRUE(RegGetString("HKCR\\AppID", "Keep", out));
    EXPECT_EQ(out, "root");
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndDefaultLocationApplies)
{
    std::filesystem::create_directories(m_Dir + "/etc/quillbarn");
    FILE* f = fopen(m_File.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("[HKLM\\Software\\Velmora\\SSL\\DC]\r\nInstallPath = /srv/qb \r\n", f);
    fclose(f);
    std::string out;
    ASSERT_TRUE(RegGetString(kDcKey, "InstallPath", out));
    EXPECT_EQ(out, "/srv/qb");

    unsetenv("QUILLBARN_REGISTRY");
    EXPECT_EQ(RegistryFilePath(), "/etc/quillbarn/registry.ini");
}
