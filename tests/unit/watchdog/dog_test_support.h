#pragma once
// Helpers shared by the watchdog tests: the install tree the watchdog reads, and stderr capture for
// the debug output of an in-process monitor.
#include "support/InstallTree.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace dogtest
{
// The part of an install the watchdog reads, made in (or over) `dir`: bin/, the service manager's
// directory and Kelv/Config with the collector's two files, Kelv.conf naming the database port; with a
// registry file naming the tree when asked.
inline void MakeInstallTree(const std::string& dir, int port, bool withRegistry = false)
{
    qbtest::CInstallTree tree(qbtest::SInstallTreeOptions()
                                  .At(dir)
                                  .Dirs({"bin", "Kelv/Config", "scm"})
                                  .WithoutShippedConfig()
                                  .Kept());
    tree.WriteConfig("Kelv.conf", "[DatabaseConfig]\nDBServer=127.0.0.1\nPort=" + std::to_string(port) +
                                      "\nDataBase=dc\n");
    tree.WriteConfig("KelvAdv.conf",
                     "; advanced settings\n[Global]\nEnableLogMerge=1\nMergeParticleTime=30\n[Other]\nX=1\n");
    if (withRegistry)
        tree.WriteRegistry();
}

// Sends the debug output of this process (stderr) to a file while it lives.
class CStderrCapture
{
public:
    explicit CStderrCapture(const std::string& path) : m_Path(path)
    {
        setenv("QUILLBARN_DEBUG_OUTPUT", "stderr", 1);
        platform::ReloadDebugOutputSetting();
        fflush(stderr);
        m_Saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~CStderrCapture()
    {
        fflush(stderr);
        dup2(m_Saved, 2);
        close(m_Saved);
        unsetenv("QUILLBARN_DEBUG_OUTPUT");
        platform::ReloadDebugOutputSetting();
    }
    std::string Text() const { return qbtest::ReadFile(m_Path); }

private:
    std::string m_Path;
    int m_Saved = -1;
};
} // namespace dogtest
