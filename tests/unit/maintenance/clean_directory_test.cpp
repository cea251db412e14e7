// Cleaning by size measures a database's directory: it must find it under the name the server gave
// it (these are the names a MariaDB with lower_case_table_names=1 made for these databases).
#include "maintenance/DataBaseCleanTask.h"

#include <gtest/gtest.h>

TEST(CleanDirectory, DatabaseDirectoryNamedAsTheServerNamesIt)
{
    EXPECT_EQ(CDataBaseCleanTask::ServerDirectoryName("Dev-One", true), "dev@002done");
    EXPECT_EQ(CDataBaseCleanTask::ServerDirectoryName("Dev.One", true), "dev@002eone");
    EXPECT_EQ(CDataBaseCleanTask::ServerDirectoryName("D\xE5\xBA\x93", true), "d@5e93");
    EXPECT_EQ(CDataBaseCleanTask::ServerDirectoryName("Dev-One", false), "Dev@002dOne");
    EXPECT_EQ(CDataBaseCleanTask::ServerDirectoryName("rtdb_70", true), "rtdb_70");
}
