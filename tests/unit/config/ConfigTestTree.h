#pragma once
// One temporary install tree per test process. The shared data computes its
// directories once per process from the registry file, so the registry must
// name this tree before the first CGlobalSharedData::Init(); every test of
// this folder calls ConfigTestTree::Prepare() first.
#include "config/ConfigManager.h"
#include "platform/Profile.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ConfigTestTree
{
public:
    // Creates the tree (once), points the registry at it, initialises the
    // shared data, the program log (every level but NORMAL to the file) and
    // the configuration manager.
    static ConfigTestTree& Prepare()
    {
        static ConfigTestTree tree;
        return tree;
    }

    const std::string& InstallDir() const { return m_InstallDir; }
    std::string ConfigDir() const { return m_InstallDir + "/Kelv/Config"; }
    std::string LogDir() const { return m_InstallDir + "/Kelv/Log"; }

    void WriteConfig(const std::string& name, const std::string& content) const
    {
        WriteFile(ConfigDir() + "/" + name, content);
    }
    void WriteMySqlIni(const std::string& content) const
    {
        WriteFile(m_InstallDir + "/mysql/my.ini", content);
    }
    void RemoveConfig(const std::string& name) const { std::filesystem::remove(ConfigDir() + "/" + name); }

    // Everything the program log wrote to its daily files so far.
    std::string ReadLogs() const
    {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(LogDir()))
        {
            if (entry.path().filename().string().rfind("LogFile_", 0) != 0)
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            all += ss.str();
        }
        return all;
    }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        ASSERT_TRUE(out.good()) << path;
    }

    ~ConfigTestTree()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_Root, ec);
    }

private:
    ConfigTestTree()
    {
        char tmpl[] = "/tmp/qb-config-test-XXXXXX";
        const char* root = mkdtemp(tmpl);
        if (root == nullptr)
        {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_Root = root;
        m_InstallDir = m_Root + "/install";
        std::filesystem::create_directories(m_InstallDir + "/Kelv/Config");
        std::filesystem::create_directories(m_InstallDir + "/Kelv/Log");
        std::filesystem::create_directories(m_InstallDir + "/mysql");

        std::string registry = m_Root + "/registry.ini";
        EXPECT_TRUE(platform::WritePrivateProfileString(
            CGlobalSharedData::REG_KEY, CGlobalSharedData::REG_VALUE, m_InstallDir, registry));
        setenv("QUILLBARN_REGISTRY", registry.c_str(), 1);

        CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
        EXPECT_TRUE(shared->Init());
        EXPECT_EQ(shared->GetInstallDir(), m_InstallDir) << "shared data was initialised before this tree";

        WriteConfig("ProgramLog.conf", "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=0\n"
                                       "[TxtLog]\nEnable=1\nMaxLogSize=0\nLogLevel=31\nMaxLogFiles=0\n");
        EXPECT_TRUE(CProgramLogRecorder::GetInstance()->Init());
        EXPECT_TRUE(CConfigManager::GetInstance()->Init());
    }

    std::string m_Root;
    std::string m_InstallDir;
};
