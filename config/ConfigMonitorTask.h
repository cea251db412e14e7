#pragma once
#include "core/Task.h"
#include "platform/DirectoryWatcher.h"

#include <cstdint>
#include <string>

// Keeps the running collector in step with its configuration directory:
// backs the configuration files up at start, brings a deleted one back from
// that backup, and reloads one that was modified.
class CConfigMonitorTask : public CTask
{
public:
    CConfigMonitorTask() = default;
    ~CConfigMonitorTask() override;

    // 0 normal end, 0xFFFFFFFF directory not watched, 0xFFFFFFFE no change
    // notification object.
    uint32_t Run() override;

    void DoBackupConfigFile();
    bool RestoreConfigFile(const std::string& name);
    bool PostDirChangeRequest();
    void OnDirContentChange();

    // The watched files, compared without regard to case.
    static constexpr const char* WATCHED_FILES[] = {"logudt.conf",  "ProgramLog.conf", "kelv.conf",
                                                    "KelvAdv.conf", "statistics.conf", "updatesql.conf"};
    static constexpr uint32_t CHANGE_BUFF_SIZE = 8192;
    static constexpr uint32_t WAIT_INTERVAL_MS = 10000;
    // Time given to the writer of a modified file before it is reloaded.
    static constexpr uint32_t RELOAD_SETTLE_MS = 1000;
    static constexpr uint32_t MAX_FILE_NAME_CHARS = 259;

    static bool IsWatchedFile(const std::string& name);

private:
    void ReleaseChangeBuff();

    platform::CDirectoryWatcher m_Watcher;
    char* m_pChangeBuff = nullptr;
    std::string m_ConfigDir;
};
