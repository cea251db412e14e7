#pragma once
// A temporary install tree laid out as the installer lays one out, for a collector or a watchdog
// running in the test process or started by it.
#include <string>
#include <vector>

namespace qbtest
{
struct SInstallTreeOptions
{
    // The tree is a new /tmp/<stem>_XXXXXX ...
    std::string m_Stem = "qb_tree";
    // ... or this directory, when given (made when missing).
    std::string m_Dir;
    // Directories below the tree; by default every one an install has.
    std::vector<std::string> m_Dirs = {
        "bin",       "Kelv",      "Kelv/Config", "Kelv/Log",           "Kelv/DataFile",
        "Kelv/Temp", "Kelv/Dump", "htdocs",      "htdocs/UploadFiles", "mysql",
        "scm"};
    // The shipped configuration files (conf/) copied into Kelv/Config.
    bool m_ShippedConfig = true;
    // Removed with everything in it when the builder goes (QB_KEEP_TREES=1 keeps every tree).
    bool m_Remove = true;

    SInstallTreeOptions& Stem(const std::string& stem)
    {
        m_Stem = stem;
        return *this;
    }
    SInstallTreeOptions& At(const std::string& dir)
    {
        m_Dir = dir;
        return *this;
    }
    SInstallTreeOptions& Dirs(const std::vector<std::string>& dirs)
    {
        m_Dirs = dirs;
        return *this;
    }
    SInstallTreeOptions& WithoutShippedConfig()
    {
        m_ShippedConfig = false;
        return *this;
    }
    SInstallTreeOptions& Kept()
    {
        m_Remove = false;
        return *this;
    }
};

class CInstallTree
{
public:
    explicit CInstallTree(const SInstallTreeOptions& options = SInstallTreeOptions());
    ~CInstallTree();
    CInstallTree(const CInstallTree&) = delete;
    CInstallTree& operator=(const CInstallTree&) = delete;

    const std::string& Dir() const { return m_Dir; }
    std::string ConfigDir() const { return m_Dir + "/Kelv/Config"; }
    std::string LogDir() const { return m_Dir + "/Kelv/Log"; }
    std::string RegistryPath() const { return m_Dir + "/registry.ini"; }
    std::string ScmDir() const { return m_Dir + "/scm"; }

    // Copies the shipped configuration files (conf/) into Kelv/Config, but for those named in `except`;
    // the metrics endpoint is off in the copy ([Metrics] ListenPort=0).
    void CopyShippedConfig(const std::vector<std::string>& except = {}) const;
    // A whole file of Kelv/Config, and one key of one.
    void WriteConfig(const std::string& name, const std::string& content) const;
    void SetConfig(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) const;
    // ProgramLog.conf: the file log at `level` (size and file count limits, 0 for none), debug
    // output on or off.
    void WriteProgramLog(int level, bool debugView, int maxLogSize = 0, int maxLogFiles = 0) const;
    // mysql/my.ini naming the database server's port.
    void WriteMySqlIni(const std::string& port) const;
    // The registry file (RegistryPath) naming this tree as the install. Without it a collector of
    // the tree finds its install two levels above its executable.
    void WriteRegistry() const;
    // A copy of a program of the build (BinDir) in bin/, executable; its path.
    std::string InstallProgram(const std::string& buildPath, const std::string& name) const;

    // QUILLBARN_REGISTRY and QUILLBARN_SCM_DIR of this tree, for a program started in it ...
    std::vector<std::string> Env() const;
    // ... and for this process.
    void ExportEnv() const;

    // Every line the program log wrote to its daily files (LogFile_*.log) so far.
    std::string ReadLogs() const;

private:
    std::string m_Dir;
    bool m_Remove = true;
};
} // namespace qbtest
