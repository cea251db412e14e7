#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "storage/DataFile.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <mysql.h>

// One closed data file waiting to be loaded.
struct ImportInfo
{
    std::atomic<uint32_t> m_bClaimed{0};
    std::string m_DbName;
    std::string m_TableName;
    std::string m_DataFile;
    // Imports of this file that failed on its own account (under the import list lock).
    uint32_t m_FailedPasses = 0;
};

// Why an import failed: the server's error of the failing statement, or the system error when the
// data file itself could not be read (m_bFileError).
struct ImportError
{
    uint32_t m_Errno = 0;
    std::string m_ErrStr;
    bool m_bFileError = false;
};

// Owner of every open data file (handed out by numeric ID), of the directory
// tree <data-file root>/<database>/<table>/, of the switch-out of files by
// age, and of the import list: the closed files waiting to be bulk-loaded
// into their device database. Also runs the start-up scan that queues and
// imports the files an earlier run left behind.
class CDataFileManager
{
public:
    static CDataFileManager* GetInstance();
    virtual ~CDataFileManager();

    bool Init();
    bool UnInit();

    // ---- Data files (the data-file writer's side) ------------------------
    // A new file for (database, table); 0 on failure. IDs are never reused.
    uint32_t AllocDataFileID(const char* dbName, const char* tableName);
    // The file, re-created under a new name when it was switched out and
    // switched out first when it is due; null for an unknown ID. The object
    // stays valid only until ReleaseDataFileID of that ID.
    CDataFile* GetDataFileByID(uint32_t id);
    // GetDataFileByID and CDataFile::Write as one step: the file cannot be
    // switched out or released in between. Returns the bytes written.
    uint32_t WriteDataFileByID(uint32_t id, const void* data, uint32_t length);
    // Flushes, closes and queues the file, then forgets the ID.
    void ReleaseDataFileID(uint32_t id);
    bool SwitchOutDataFile(CDataFile* file, uint32_t reCreate);

    // ---- Import list (the importers' side) -------------------------------
    bool SubmitToImportList(CDataFile* file);
    // Claims the first free entry of `dbName`; with an empty `dbName` the first
    // free entry of any registered device, whose database is returned in
    // `dbName`. 1 if an entry was claimed.
    int GetImportInfo(std::string& dbName, std::string& dataFile, std::string& tableName);
    int ResetImportInfoFlag(const char* dbName, const char* tableName, const char* dataFile);
    void RemoveImportInfo(const char* dbName, const char* tableName, const char* dataFile);
    // Entries queued (diagnostics and tests).
    size_t GetImportListSize();
    // The files waiting in the import list: their count, bytes, and the oldest one's last write (unix
    // seconds; 0 when none). Files are looked at outside the list's lock.
    void GetImportBacklog(uint32_t& files, uint64_t& bytes, int64_t& oldestModified);
    // After a failed ImportDataFile of a claimed entry, while the server still answers: counts the
    // failure against the file unless it says nothing about the file (server busy, going away,
    // refusing every load). The FAILED_PASS_LIMIT-th counted failure moves the file whole to
    // <root>/Failed/<database>/<table>/ and removes the entry: true then, and the caller has
    // nothing to free.
    bool CountFailedImport(const char* dbName, const char* tableName, const char* dataFile,
                           const ImportError& error);
    // Files waiting in <root>/Failed/<database>/<table>/.
    static uint32_t CountFailedDataFiles(const std::string& root);

    // ---- Names and directories -------------------------------------------
    // A new name in <root>/<database>/<table>/, taken on disk (created empty
    // and exclusively) so that no other file of this or a later call has it.
    bool BuildDataFileName(std::string& out, const char* dbName, const char* tableName);
    bool MakeDirectoryOK(const char* dbName, const char* tableName);
    bool MakeDirectoryExist(const std::string& path);

    // ---- Import ------------------------------------------------------------
    // Loads one closed data file into `tableName` over `conn`, which must be
    // opened with CLIENT_LOCAL_FILES. A missing or empty file counts as
    // imported. On failure `error` (when given) says why.
    bool ImportDataFile(MYSQL* conn, const char* tableName, const char* dataFile, int repair,
                        ImportError* error = nullptr);
    bool DoImportDataFileWithTempTable(MYSQL* conn, const char* tableName, const char* dataFile, int repair,
                                       ImportError* error = nullptr);
    bool DoImportDataFileWithOutTempTable(MYSQL* conn, const char* tableName, const char* dataFile,
                                          int repair, ImportError* error = nullptr);
    bool SimpleRepairTable(MYSQL* conn, const char* tableName);
    // Deletes an imported file; one that cannot be deleted is emptied so that
    // a later scan does not load its rows a second time.
    void DeleteImportedDataFile(const std::string& path);

    void ScanDataFile_DirName(const std::string& dir, std::vector<std::string>& out);
    void ScanDataFile_FileName(const std::string& dir, const char* pattern, std::vector<std::string>& out);

    static uint32_t DataFileSwitchThread(CDataFileManager* manager);
    static uint32_t DataFileScanThread(CDataFileManager* manager);
    // What the start-up scan found: the import reports its progress against it.
    struct StartBacklog
    {
        std::unordered_map<std::string, uint64_t> m_Bytes; // path -> size when scanned
        uint64_t m_TotalBytes = 0;
    };
    static uint32_t DoImportOnStart(CDataFileManager* manager, const StartBacklog& backlog);

    bool IsInit() const { return m_bInited.load() != 0; }

    static constexpr uint32_t SWITCH_INTERVAL_MS = 30000;
    static constexpr uint32_t START_IMPORT_DELAY_MS = 60000;
    static constexpr uint32_t START_IMPORT_WAIT_MS = 6000;
    static constexpr uint32_t START_IMPORT_WAIT_COUNT = 10;
    // How often the start-up import says how far it is.
    static constexpr uint32_t START_IMPORT_PROGRESS_MS = 10000;
    static constexpr uint32_t UNINIT_WAIT_MS = 10000;
    static constexpr uint32_t IMPORT_ATTEMPTS = 3;
    // Failed imports of one file after which it is set aside in FAILED_DIR_NAME.
    static constexpr uint32_t FAILED_PASS_LIMIT = 3;
    // Below the data-file root; the start-up scan never queues what is in it.
    static constexpr const char* FAILED_DIR_NAME = "Failed";
    // Warnings of one load that are written to the log.
    static constexpr uint32_t MAX_LOGGED_WARNINGS = 5;
    // Names tried before BuildDataFileName gives up.
    static constexpr uint32_t NAME_ATTEMPTS = 64;

private:
    CDataFileManager() = default;

    // Waits on the exit event and on UnInit's stop event.
    uint32_t WaitForStop(uint32_t timeoutMs);
    // Cuts a last line that lacks its CR LF off the file; false when the file
    // cannot be read or cut.
    bool DropTornTail(const char* dataFile, ImportError* error);
    // Moves a data file that failed `passes` imports, the last with `error`, to
    // <root>/Failed/<database>/<table>/ under its own name (another one when that is taken).
    bool MoveToFailedDir(const std::string& dataFile, const std::string& dbName, const std::string& tableName,
                         uint32_t passes, const ImportError& error);
    void LogLoadWarnings(MYSQL* conn, const char* operation, const char* dataFile);
    bool IsPathOpenForWriting(const std::string& path);
    // A file whose creation failed is queued without being on disk.
    bool IsPathQueued(const std::string& path);
    // Under the import list lock.
    std::list<ImportInfo>::iterator FindImportInfoLocked(const char* dbName, const char* tableName,
                                                         const char* dataFile);
    void FreeClaimLocked(ImportInfo& info);

    std::atomic<uint32_t> m_bRunning{0};
    platform::ThreadHandle m_hSwitchThread;
    platform::ThreadHandle m_hScanThread;
    // Lets UnInit end the threads at once when the exit event is not set.
    platform::CEvent m_StopEvent{true, false};
    std::atomic<uint32_t> m_LastDataFileID{0};
    std::map<uint32_t, CDataFile*> m_DataFileTable;
    platform::CCriticalSection m_DataFileTableLock;
    std::atomic<uint32_t> m_FileNameCounter{0};
    std::atomic<uint32_t> m_bInited{0};
    std::list<ImportInfo> m_ImportList;
    // Paths of claimed entries: a path queued twice is never loaded by two
    // importers at once.
    std::set<std::string> m_ClaimedPaths;
    // Every queued path, once per entry (a path may be queued twice).
    std::multiset<std::string> m_QueuedPaths;
    platform::CCriticalSection m_ImportListLock;
};
