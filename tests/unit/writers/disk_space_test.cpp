// The disk checks against the limits of Kelv.conf that the audit upload asks before it allocates a file,
// on the test install's own data directory (the config tests run on a tree of their own).
#include "config/ConfigManager.h"
#include "config/DiskSpace.h"
#include "core/GlobalSharedData.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

namespace
{
// Rewrites MinFreeSpace in the test install's Kelv.conf and reloads it.
void SetMinFreeSpace(const std::string& original, long long mib)
{
    std::string path = CGlobalSharedData::GetInstance()->GetConfigDir() + "/Kelv.conf";
    std::string conf = original;
    size_t at = conf.find("MinFreeSpace=");
    ASSERT_NE(at, std::string::npos);
    size_t end = conf.find('\n', at);
    conf.replace(at, end - at, "MinFreeSpace=" + std::to_string(mib));
    qbtest::WriteFile(path, conf);
    ASSERT_TRUE(CConfigManager::GetInstance()->LoadSpicifyConfig("Kelv.conf"));
    ASSERT_EQ(CConfigManager::GetInstance()->Kelv().m_MinFreeSpace, mib);
}
} // namespace

TEST(DiskSpace, FreeSpaceOfDataDirectoryAgainstMinFreeSpace)
{
    const std::string install = qbtest::InitTestInstall();
    std::string confPath = CGlobalSharedData::GetInstance()->GetConfigDir() + "/Kelv.conf";
    const std::string original = qbtest::ReadFile(confPath);

    // The test install's my.ini puts datadir on the temporary file system.
    struct statvfs vfs;
    ASSERT_EQ(statvfs((install + "/mysql").c_str(), &vfs), 0);
    const uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    ASSERT_GT(freeBytes, 64ull << 20) << "test needs some free space";

    SetMinFreeSpace(original, 2147483647);
    EXPECT_TRUE(IsDiskSpaceLow());
    EXPECT_FALSE(HasEnoughDiskSpace(0));

    SetMinFreeSpace(original, 1);
    EXPECT_FALSE(IsDiskSpaceLow());
    EXPECT_TRUE(HasEnoughDiskSpace(1 << 20));
    EXPECT_FALSE(HasEnoughDiskSpace(freeBytes * 2));

    qbtest::WriteFile(confPath, original);
    ASSERT_TRUE(CConfigManager::GetInstance()->LoadSpicifyConfig("Kelv.conf"));
}
