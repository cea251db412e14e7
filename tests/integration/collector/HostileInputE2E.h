#pragma once
// The fixture of the hostile-input tests: a real collector with one device on the test MariaDB, the
// device's tables, and devsim driven by a script of records.
#include "support/CollectorHarness.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace hostile
{
using qbtest::CCollectorHarness;

class HostileInputE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST not set";
        ASSERT_TRUE(m_C.Prepare(1));
    }
    std::string Table(const std::string& t) { return "`" + m_C.DeviceDb(1) + "`." + t; }
    void GarbageBetweenRecordsStoresEveryGoodOne(int count, long long minGarbageRuns);
    // Writes `text` to a file of the install tree; its path.
    std::string WriteFile(const std::string& name, const std::string& text)
    {
        std::string path = m_C.Dir() + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // devsim sends the scripted records (after pushing the given documents, or its own).
    std::map<std::string, std::string> RunScript(const std::vector<std::string>& lines, int* code,
                                                 const std::string& adminDoc = "",
                                                 const std::string& userDoc = "")
    {
        std::string script;
        for (const std::string& l : lines)
            script += l + "\n";
        std::vector<std::string> args = {"--records", WriteFile("script.txt", script), "--reply-timeout",
                                         "30"};
        if (!adminDoc.empty())
            args.insert(args.end(), {"--admin-doc", WriteFile("admin.xml", adminDoc)});
        if (!userDoc.empty())
            args.insert(args.end(), {"--user-doc", WriteFile("user.xml", userDoc)});
        return m_C.RunDevsim(args, code);
    }
    CCollectorHarness m_C;
};
} // namespace hostile
