#pragma once
// One temporary install tree per test process. The shared data computes its
// directories once per process from the registry file, so the registry must
// name this tree before the first CGlobalSharedData::Init(); every test of
// this folder calls CConfigTestTree::Prepare() first.
#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "support/InstallTree.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class CConfigTestTree
{
public:
    // Creates the tree (once), points the registry at it, initialises the
    // shared data, the program log (every level but NORMAL to the file) and
    // the configuration manager.
    static CConfigTestTree& Prepare()
    {
        static CConfigTestTree tree;
        return tree;
    }

    const std::string& InstallDir() const { return m_Tree.Dir(); }
    std::string ConfigDir() const { return m_Tree.ConfigDir(); }
    std::string LogDir() const { return m_Tree.LogDir(); }

    void WriteConfig(const std::string& name, const std::string& content) const
    {
        WriteFile(ConfigDir() + "/" + name, content);
    }
    void WriteMySqlIni(const std::string& content) const
    {
        WriteFile(InstallDir() + "/mysql/my.ini", content);
    }
    void RemoveConfig(const std::string& name) const { std::filesystem::remove(ConfigDir() + "/" + name); }

    // Everything the program log wrote to its daily files so far.
    std::string ReadLogs() const { return m_Tree.ReadLogs(); }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        qbtest::WriteFile(path, content);
        ASSERT_EQ(qbtest::ReadFile(path), content) << path;
    }

private:
    // The configuration starts from no files at all: the tests write each one they need.
    CConfigTestTree()
        : m_Tree(qbtest::SInstallTreeOptions()
                     .Stem("qb-config-test")
                     .Dirs({"Kelv/Config", "Kelv/Log", "mysql"})
                     .WithoutShippedConfig())
    {
        if (InstallDir().empty())
        {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_Tree.WriteRegistry();
        setenv("QUILLBARN_REGISTRY", m_Tree.RegistryPath().c_str(), 1);

        CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
        EXPECT_TRUE(shared->Init());
        EXPECT_EQ(shared->GetInstallDir(), InstallDir()) << "shared data was initialised before this tree";

        m_Tree.WriteProgramLog(31, false);
        EXPECT_TRUE(CProgramLogRecorder::GetInstance()->Init());
        EXPECT_TRUE(CConfigManager::GetInstance()->Init());
    }

    qbtest::CInstallTree m_Tree;
};
