// Names of data files when a table goes through files quickly, as it does
// when a full disk refuses the first line of each new file: every file keeps
// a name of its own for as long as it is on disk or queued for import.
#include "storage/DataFileManager.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace
{
class DataFileNameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        CBuffManager::GetInstance()->Init();
        CConfigManager* config = CConfigManager::GetInstance();
        platform::WritePrivateProfileString("DataFile", "EnableAsyncWrite", "0",
                                            config->GetConfigFilePath("KelvAdv.conf"));
        config->LoadConfig("KelvAdv.conf");
        m_Root = CGlobalSharedData::GetInstance()->GetDataFileDir();
        m_Db = "dfname_" + std::to_string(getpid());
        ASSERT_TRUE(CDataFileManager::GetInstance()->Init());
    }
    void TearDown() override
    {
        CDataFileManager::GetInstance()->UnInit();
        std::string cmd = "rm -rf '" + m_Root + "/" + m_Db + "'";
        (void)system(cmd.c_str());
    }
    std::string m_Root, m_Db;
};
} // namespace

// Thousands of files of one table made, written and queued within a second or
// two, from two threads: every queued path is distinct and its file holds
// exactly the line written to it (a name met again used to truncate a queued
// file, or let two open files write over each other).
TEST_F(DataFileNameTest, FilesMadeInOneSecondKeepTheirOwnLines)
{
    CDataFileManager* m = CDataFileManager::GetInstance();
    const int perThread = 2500;
    std::map<std::string, std::string> lineOf[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < perThread; ++i)
                {
                    uint32_t id = m->AllocDataFileID(m_Db.c_str(), "syslog");
                    CDataFile* file = id != 0 ? m->GetDataFileByID(id) : nullptr;
                    if (file == nullptr)
                        return;
                    std::string path = file->GetFilePath();
                    std::string line = "1\t2\t\"t" + std::to_string(t) + " n" + std::to_string(i) +
                                       "\"\t\"2012-05-01 08:09:10\"\r\n";
                    if (m->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size())) ==
                        line.size())
                        lineOf[t][path] += line;
                    m->ReleaseDataFileID(id);
                }
            });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(lineOf[0].size() + lineOf[1].size(), 2u * perThread) << "a path was handed out twice";

    std::multiset<std::string> queued;
    std::string db = m_Db, file, table;
    while (m->GetImportInfo(db, file, table) == 1)
        queued.insert(file);
    EXPECT_EQ(queued.size(), 2u * perThread);
    EXPECT_EQ(std::set<std::string>(queued.begin(), queued.end()).size(), 2u * perThread);
    int wrong = 0;
    for (const auto& lines : lineOf)
        for (const auto& [path, text] : lines)
            if (qbtest::ReadFile(path) != text && ++wrong <= 3)
                ADD_FAILURE() << path << " holds \"" << qbtest::ReadFile(path) << "\" instead of \"" << text
                              << "\"";
    EXPECT_EQ(wrong, 0);
}

// A name is taken on disk as soon as it is handed out: a file made meanwhile
// by anyone else under a name of the same second is never reused.
TEST_F(DataFileNameTest, HandedOutNameIsTakenOnDisk)
{
    CDataFileManager* m = CDataFileManager::GetInstance();
    ASSERT_TRUE(m->MakeDirectoryOK(m_Db.c_str(), "usrflowlog"));
    std::set<std::string> names;
    for (int i = 0; i < 3000; ++i)
    {
        std::string path;
        ASSERT_TRUE(m->BuildDataFileName(path, m_Db.c_str(), "usrflowlog"));
        EXPECT_TRUE(platform::FileExists(path)) << path;
        EXPECT_TRUE(names.insert(path).second) << "handed out twice: " << path;
    }
}
