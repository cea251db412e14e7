#include "support/InstallTree.h"

#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

namespace qbtest
{
CInstallTree::CInstallTree(const SInstallTreeOptions& options) : m_Remove(options.m_Remove)
{
    m_Dir = options.m_Dir.empty() ? MakeTempDir(options.m_Stem) : options.m_Dir;
    platform::CreateDirectories(m_Dir);
    for (const std::string& sub : options.m_Dirs)
        platform::CreateDirectories(m_Dir + "/" + sub);
    if (options.m_ShippedConfig)
        CopyShippedConfig();
}

CInstallTree::~CInstallTree()
{
    if (m_Remove && getenv("QB_KEEP_TREES") == nullptr)
        RemoveTree(m_Dir);
}

void CInstallTree::CopyShippedConfig(const std::vector<std::string>& except) const
{
    std::string confSrc = std::string(QB_SOURCE_DIR) + "/conf";
    for (const std::string& f : platform::ListDirectory(confSrc, "*", true))
        if (std::find(except.begin(), except.end(), f) == except.end())
            platform::CopyFile(confSrc + "/" + f, ConfigDir() + "/" + f, false);
    // Collectors of many tests run side by side: none takes the shipped metrics port, one that wants the
    // endpoint names a free port of its own.
    if (std::find(except.begin(), except.end(), "KelvAdv.conf") == except.end())
        SetConfig("KelvAdv.conf", "Metrics", "ListenPort", "0");
}

void CInstallTree::WriteConfig(const std::string& name, const std::string& content) const
{
    WriteFile(ConfigDir() + "/" + name, content);
}

void CInstallTree::SetConfig(const std::string& file, const std::string& section, const std::string& key,
                             const std::string& value) const
{
    platform::WritePrivateProfileString(section, key, value, ConfigDir() + "/" + file);
}

void CInstallTree::WriteProgramLog(int level, bool debugView, int maxLogSize, int maxLogFiles) const
{
    WriteConfig("ProgramLog.conf", std::string("[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=") +
                                       (debugView ? "1" : "0") + "\n[TxtLog]\nEnable=1\nMaxLogSize=" +
                                       std::to_string(maxLogSize) + "\nLogLevel=" + std::to_string(level) +
                                       "\nMaxLogFiles=" + std::to_string(maxLogFiles) + "\n");
}

void CInstallTree::WriteMySqlIni(const std::string& port) const
{
    WriteFile(m_Dir + "/mysql/my.ini",
              "[mysqld]\nport=" + port + "\nbasedir=/usr\ndatadir=" + m_Dir + "/mysql\n");
}

void CInstallTree::WriteRegistry() const
{
    WriteFile(RegistryPath(), "[HKLM\\Software\\Velmora\\SSL\\DC]\nInstallPath=\"" + m_Dir + "\"\n");
}

std::string CInstallTree::InstallProgram(const std::string& buildPath, const std::string& name) const
{
    std::string path = m_Dir + "/bin/" + name;
    platform::CreateDirectories(m_Dir + "/bin");
    if (!platform::CopyFile(buildPath, path, false))
        return std::string();
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> CInstallTree::Env() const
{
    return {"QUILLBARN_REGISTRY=" + RegistryPath(), "QUILLBARN_SCM_DIR=" + ScmDir()};
}

void CInstallTree::ExportEnv() const
{
    setenv("QUILLBARN_REGISTRY", RegistryPath().c_str(), 1);
    setenv("QUILLBARN_SCM_DIR", ScmDir().c_str(), 1);
}

std::string CInstallTree::ReadLogs() const
{
    std::string all;
    for (const std::string& f : platform::ListDirectory(LogDir(), "LogFile_*.log", true))
        all += ReadFile(LogDir() + "/" + f);
    return all;
}
} // namespace qbtest
