#pragma once
// Helpers shared by the watchdog tests: a temporary install tree, stderr capture for the debug
// output of an in-process monitor, and a free loopback port.
#include "support/Process.h"
#include "support/TestInstall.h"

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace dogtest
{
inline std::string MakeTempDir(const char* stem)
{
    std::string tmpl = std::string("/tmp/") + stem + "_XXXXXX";
    char* dir = mkdtemp(tmpl.data());
    return dir != nullptr ? std::string(dir) : std::string();
}

inline void RemoveTree(const std::string& dir)
{
    if (dir.size() > 5 && dir.rfind("/tmp/", 0) == 0)
    {
        std::string cmd = "rm -rf '" + dir + "'";
        (void)system(cmd.c_str());
    }
}

// An install tree: Kelv/Config with the collector's two files, bin/, the manager's directory.
inline void MakeInstallTree(const std::string& dir, int port)
{
    for (const char* sub : {"/bin", "/Kelv", "/Kelv/Config", "/scm"})
        platform::CreateDirectory(dir + sub);
    qbtest::WriteFile(dir + "/Kelv/Config/Kelv.conf", "[DatabaseConfig]\nDBServer=127.0.0.1\nPort=" +
                                                          std::to_string(port) + "\nDataBase=dc\n");
    qbtest::WriteFile(
        dir + "/Kelv/Config/KelvAdv.conf",
        "; advanced settings\n[Global]\nEnableLogMerge=1\nMergeParticleTime=30\n[Other]\nX=1\n");
}

inline int FreePort() { return qbtest::FreeTcpPort(); }

inline size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
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
