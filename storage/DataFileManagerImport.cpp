// Loading closed data files into MySQL, and the start-up scan that queues and
// loads the files an earlier run left behind (CDataFileManager).
#include "storage/DataFileManager.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/TestKillPoint.h"
#include "core/Utilities.h"
#include "platform/FileSystem.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <cerrno>
#include <cstdio>
#include <errmsg.h>
#include <fcntl.h>
#include <mysqld_error.h>
#include <strings.h>
#include <system_error>
#include <unistd.h>

#define DFM_TAG "[CDataFileManager]"

namespace
{
// Runs one statement; frees a result it may have produced.
bool RunStatement(MYSQL* conn, const std::string& sql)
{
    if (mysql_real_query(conn, sql.data(), static_cast<unsigned long>(sql.size())) != 0)
        return false;
    MYSQL_RES* result = mysql_use_result(conn);
    if (result != nullptr)
        mysql_free_result(result);
    return true;
}

bool IsSyslogTable(const char* table)
{
    return strcasecmp(table, "syslog") == 0;
}

// Rows the last statement (a load or the copy out of the temporary table) put into the table.
void CountStoredRows(MYSQL* conn)
{
    const my_ulonglong rows = mysql_affected_rows(conn);
    if (rows != static_cast<my_ulonglong>(-1))
        CInfoManager::GetInstance()->Count(CInfoManager::INFO_ROWS_LOAD_DATA, rows);
}

const char* InfoText(MYSQL* conn)
{
    const char* info = mysql_info(conn);
    return info != nullptr ? info : "";
}

void SetServerError(ImportError* error, MYSQL* conn)
{
    if (error == nullptr)
        return;
    error->m_Errno = mysql_errno(conn);
    error->m_ErrStr = mysql_error(conn);
    error->m_bFileError = false;
}

void SetFileError(ImportError* error, int err)
{
    if (error == nullptr)
        return;
    error->m_Errno = static_cast<uint32_t>(err);
    error->m_ErrStr = std::generic_category().message(err);
    error->m_bFileError = true;
}

// Failures that say nothing about the file: the server is busy, short of something, going away or
// refusing every load. Counted against files, they would set good ones aside.
bool IsFileBlameless(const ImportError& error)
{
    uint32_t e = error.m_Errno;
    if (error.m_bFileError)
        return e == EMFILE || e == ENFILE || e == ENOMEM || e == EINTR;
    if (e == 0 || (e >= CR_MIN_ERROR && e <= CR_MAX_ERROR) || (e >= 5000 && e <= 5999)) // client side
        return true;
    switch (e)
    {
    case ER_DISK_FULL:
    case ER_OUTOFMEMORY:
    case ER_OUT_OF_SORTMEMORY:
    case ER_CON_COUNT_ERROR:
    case ER_OUT_OF_RESOURCES:
    case ER_DBACCESS_DENIED_ERROR:
    case ER_ACCESS_DENIED_ERROR:
    case ER_TABLEACCESS_DENIED_ERROR:
    case ER_SPECIFIC_ACCESS_DENIED_ERROR:
    case ER_SERVER_SHUTDOWN:
    case ER_RECORD_FILE_FULL:
    case ER_CANT_CREATE_THREAD:
    case ER_NOT_ALLOWED_COMMAND: // local infile turned off
    case ER_LOCK_WAIT_TIMEOUT:
    case ER_LOCK_DEADLOCK:
    case ER_OPTION_PREVENTS_STATEMENT: // read-only
    case ER_QUERY_INTERRUPTED:
    case ER_CONNECTION_KILLED:
        return true;
    default:
        return false;
    }
}

// "DataFile_x.dat" -> "DataFile_x-<n>.dat".
std::string NumberedName(const std::string& name, uint32_t n)
{
    bool dat = name.size() >= 4 && name.compare(name.size() - 4, 4, ".dat") == 0;
    size_t stem = dat ? name.size() - 4 : name.size();
    return name.substr(0, stem) + "-" + std::to_string(n) + name.substr(stem);
}

bool SyncPath(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    int err = errno;
    close(fd);
    errno = err;
    return ok;
}
} // namespace

bool CDataFileManager::DropTornTail(const char* dataFile, ImportError* error)
{
    int fd = open(dataFile, O_RDWR | O_CLOEXEC);
    int writeError = 0;
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
    {
        // Readable but not writable: it loads all the same unless a torn line must be cut.
        writeError = errno;
        fd = open(dataFile, O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
    {
        if (errno == ENOENT || errno == EISDIR)
            return true; // nothing to load: the import counts it as done
        int err = errno;
        QB_LOG(PL_ERROR, DFM_TAG, "[ImportDataFile] Cannot Read DataFile Err = %u , FileName = %s\n",
               static_cast<uint32_t>(err), dataFile);
        SetFileError(error, err);
        return false;
    }
    off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0)
    {
        int err = errno;
        close(fd);
        if (size < 0)
        {
            QB_LOG(PL_ERROR, DFM_TAG, "[ImportDataFile] Cannot Read DataFile Err = %u , FileName = %s\n",
                   static_cast<uint32_t>(err), dataFile);
            SetFileError(error, err);
        }
        return size == 0;
    }
    // Walk back in blocks to the last CR LF; every byte after it belongs to a
    // line whose writing was cut short.
    const off_t block = 65536;
    std::string buf;
    off_t end = size;
    off_t keep = 0;
    bool found = false;
    char after = '\0'; // first byte of the block read before (the one after this block)
    while (end > 0 && !found)
    {
        off_t start = end > block ? end - block : 0;
        buf.resize(static_cast<size_t>(end - start));
        errno = 0;
        if (pread(fd, buf.data(), buf.size(), start) != static_cast<ssize_t>(buf.size()))
        {
            int err = errno != 0 ? errno : EIO; // a short read sets none
            close(fd);
            QB_LOG(PL_ERROR, DFM_TAG, "[ImportDataFile] Cannot Read DataFile Err = %u , FileName = %s\n",
                   static_cast<uint32_t>(err), dataFile);
            SetFileError(error, err);
            return false;
        }
        for (off_t i = static_cast<off_t>(buf.size()) - 1; i >= 0; --i)
        {
            char next = i + 1 < static_cast<off_t>(buf.size()) ? buf[static_cast<size_t>(i + 1)] : after;
            if (buf[static_cast<size_t>(i)] == '\r' && next == '\n' && start + i + 1 < size)
            {
                keep = start + i + 2;
                found = true;
                break;
            }
        }
        after = buf.empty() ? '\0' : buf[0];
        end = start;
    }
    if (keep == size)
    {
        close(fd);
        return true;
    }
    bool ok = writeError == 0 && ftruncate(fd, keep) == 0;
    int err = writeError != 0 ? writeError : errno;
    QB_LOG(PL_WARN, DFM_TAG, "[ImportDataFile] Drop Torn Last Line Of %llu Bytes , FileName = %s\n",
           static_cast<unsigned long long>(size - keep), dataFile);
    if (!ok)
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[ImportDataFile] Cannot Cut Torn Last Line Err = %u , FileName = %s\n",
               static_cast<uint32_t>(err), dataFile);
        SetFileError(error, err);
    }
    close(fd);
    return ok;
}

void CDataFileManager::LogLoadWarnings(MYSQL* conn, const char* operation, const char* dataFile)
{
    unsigned int count = mysql_warning_count(conn);
    if (count == 0)
        return;
    QB_LOG(PL_WARN, DFM_TAG, "[%s] Load Data Warnings = %u , DataFile = %s\n", operation, count, dataFile);
    std::string sql = "show warnings limit " + std::to_string(MAX_LOGGED_WARNINGS);
    if (mysql_real_query(conn, sql.data(), static_cast<unsigned long>(sql.size())) != 0)
        return;
    MYSQL_RES* result = mysql_store_result(conn);
    if (result == nullptr)
        return;
    while (MYSQL_ROW row = mysql_fetch_row(result))
        QB_LOG(PL_WARN, DFM_TAG, "[%s] Warning Level = %s , Code = %s , Message = %s\n", operation,
               row[0] ? row[0] : "", row[1] ? row[1] : "", row[2] ? row[2] : "");
    mysql_free_result(result);
}

bool CDataFileManager::ImportDataFile(MYSQL* conn, const char* tableName, const char* dataFile, int repair,
                                      ImportError* error)
{
    if (error != nullptr)
        *error = ImportError();
    if (conn == nullptr || tableName == nullptr || dataFile == nullptr)
        return false;
    // A run that was killed mid-line leaves a last line without its CR LF;
    // loaded as it is, it would become a damaged row.
    if (!DropTornTail(dataFile, error))
    {
        CInfoManager::GetInstance()->Count(CInfoManager::INFO_IMPORT_FAILED);
        return false;
    }
    uint64_t size = GetFileSize64(dataFile);
    if (size == 0)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[ImportDataFile] FileSize = 0 , FileName = %s\n", dataFile);
        return true;
    }
    int64_t limit = CConfigManager::GetInstance()->KelvAdv().m_NoTempTableDataFileSize;
    int64_t mib = static_cast<int64_t>(size / 1024 / 1024);
    bool ok = limit == 0 || mib > limit
                  ? DoImportDataFileWithOutTempTable(conn, tableName, dataFile, repair, error)
                  : DoImportDataFileWithTempTable(conn, tableName, dataFile, repair, error);
    if (!ok)
        CInfoManager::GetInstance()->Count(CInfoManager::INFO_IMPORT_FAILED);
    if (ok && CTestKillPoint::Due("import"))
        CTestKillPoint::KillNow();
    return ok;
}

bool CDataFileManager::DoImportDataFileWithTempTable(MYSQL* conn, const char* tableName, const char* dataFile,
                                                     int repair, ImportError* error)
{
    if (conn == nullptr || tableName == nullptr || dataFile == nullptr)
        return false;
    std::string path = dataFile;
    EscapeSqlString(path);
    std::string table = tableName;
    std::string create =
        "create temporary table if not exists " + table + "_temp select * from " + table + " where 1 <> 1";
    std::string load =
        "load data local infile '" + path + "' into table " + table + "_temp character set gbk ";
    if (IsSyslogTable(tableName))
        load += "fields enclosed by '\"'  lines terminated by '\\r\\n' ( `lev` , `process` , `message` , "
                "`log_time` )";
    else
        load += "fields enclosed by '\"' lines terminated by '\\r\\n' ";
    std::string insert = "insert into " + table + " select * from " + table + "_temp";
    std::string drop = "drop table " + table + "_temp";

    for (uint32_t attempt = 0; attempt < IMPORT_ATTEMPTS; ++attempt)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithTempTable] Prepare To Import Data File = %s\n",
               dataFile);
        if (!RunStatement(conn, create))
        {
            QB_LOG(PL_ERROR, DFM_TAG,
                   "[DoImportDataFileWithTempTable] Cannot Create Temporary Table Err = %u ErrStr = %s\n",
                   mysql_errno(conn), mysql_error(conn));
            SetServerError(error, conn);
            if (repair)
                SimpleRepairTable(conn, tableName);
            continue;
        }
        bool succeeded = false;
        if (!RunStatement(conn, load))
        {
            QB_LOG(
                PL_ERROR, DFM_TAG,
                "[DoImportDataFileWithTempTable] Cannot Load Data To Temporary Table Err = %u ErrStr = %s\n",
                mysql_errno(conn), mysql_error(conn));
            SetServerError(error, conn);
            if (repair)
                SimpleRepairTable(conn, tableName);
        }
        else
        {
            LogLoadWarnings(conn, "DoImportDataFileWithTempTable", dataFile);
            if (!RunStatement(conn, insert))
            {
                QB_LOG(PL_ERROR, DFM_TAG,
                       "[DoImportDataFileWithTempTable] Cannot Insert Temporary Table Data Into Real Table. "
                       "Err = "
                       "%u , ErrStr = %s\n",
                       mysql_errno(conn), mysql_error(conn));
                SetServerError(error, conn);
                if (repair)
                    SimpleRepairTable(conn, tableName);
            }
            else
            {
                QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithTempTable] Info = %s\n", InfoText(conn));
                CountStoredRows(conn);
                succeeded = true;
            }
        }
        if (!RunStatement(conn, drop))
            QB_LOG(PL_ERROR, DFM_TAG,
                   "[DoImportDataFileWithTempTable] Cannot Drop Temporary Table . Err = %u , ErrStr = %s\n",
                   mysql_errno(conn), mysql_error(conn));
        if (succeeded)
        {
            QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithTempTable] Import Succeed. Data File = %s\n",
                   dataFile);
            return true;
        }
    }
    return false;
}

bool CDataFileManager::DoImportDataFileWithOutTempTable(MYSQL* conn, const char* tableName,
                                                        const char* dataFile, int repair, ImportError* error)
{
    if (conn == nullptr || tableName == nullptr || dataFile == nullptr)
        return false;
    std::string path = dataFile;
    EscapeSqlString(path);
    std::string load =
        "load data local infile '" + path + "' into table " + std::string(tableName) + " character set gbk ";
    if (IsSyslogTable(tableName))
        load += "fields enclosed by '\"' lines terminated by '\\r\\n' ( `lev` , `process` , `message` , "
                "`log_time` )";
    else
        load += "fields enclosed by '\"'  lines terminated by '\\r\\n' ";

    for (uint32_t attempt = 0; attempt < IMPORT_ATTEMPTS; ++attempt)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithOutTempTable] Prepare To Import Data File = %s\n",
               dataFile);
        if (RunStatement(conn, load))
        {
            QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithOutTempTable] Info = %s\n", InfoText(conn));
            CountStoredRows(conn);
            LogLoadWarnings(conn, "DoImportDataFileWithOutTempTable", dataFile);
            QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithOutTempTable] Import Succeed. Data File = %s\n",
                   dataFile);
            return true;
        }
        QB_LOG(
            PL_ERROR, DFM_TAG,
            "[DoImportDataFileWithOutTempTable] Cannot Load Data To Temporary Table Err = %u ErrStr = %s\n",
            mysql_errno(conn), mysql_error(conn));
        SetServerError(error, conn);
        if (repair)
            SimpleRepairTable(conn, tableName);
    }
    return false;
}

bool CDataFileManager::SimpleRepairTable(MYSQL* conn, const char* tableName)
{
    if (conn == nullptr || tableName == nullptr)
        return false;
    QB_LOG(PL_INFO, DFM_TAG, "[SimpleRepairTable] Prepare To Repair Table %s ...\n", tableName);
    if (!RunStatement(conn, "repair table " + std::string(tableName)))
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[SimpleRepairTable] Fail To Repair Table %s. Errno = %u , ErrStr = %s\n",
               tableName, mysql_errno(conn), mysql_error(conn));
        return false;
    }
    QB_LOG(PL_INFO, DFM_TAG, "[SimpleRepairTable] Repair Table %s Succeed!\n", tableName);
    return true;
}

void CDataFileManager::DeleteImportedDataFile(const std::string& path)
{
    if (platform::DeleteFile(path) || errno == ENOENT)
        return;
    uint32_t err = static_cast<uint32_t>(errno);
    bool emptied = truncate(path.c_str(), 0) == 0;
    QB_LOG(PL_WARN, DFM_TAG,
           "[DeleteImportedDataFile] Cannot Delete DataFile = %s , Err = %u , Emptied = %d\n", path.c_str(),
           err, emptied ? 1 : 0);
}

// ---- Files that never load -----------------------------------------------------

bool CDataFileManager::CountFailedImport(const char* dbName, const char* tableName, const char* dataFile,
                                         const ImportError& error)
{
    if (dbName == nullptr || tableName == nullptr || dataFile == nullptr || !IsInit() ||
        IsFileBlameless(error))
        return false;
    uint32_t passes = 0;
    {
        CCSLocker lock(m_ImportListLock);
        auto it = FindImportInfoLocked(dbName, tableName, dataFile);
        if (it == m_ImportList.end())
            return false;
        passes = ++it->m_FailedPasses;
    }
    if (passes < FAILED_PASS_LIMIT)
        return false;
    // The caller holds the entry's claim, so no other importer touches the file meanwhile. When the
    // move fails the entry stays, and its next failed import tries the move again.
    if (!MoveToFailedDir(dataFile, dbName, tableName, passes, error))
        return false;
    RemoveImportInfo(dbName, tableName, dataFile);
    return true;
}

bool CDataFileManager::MoveToFailedDir(const std::string& dataFile, const std::string& dbName,
                                       const std::string& tableName, uint32_t passes,
                                       const ImportError& error)
{
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + FAILED_DIR_NAME + "/" +
                            dbName + "/" + tableName;
    const std::string name = dataFile.substr(dataFile.find_last_of('/') + 1);
    std::string target;
    int err = platform::CreateDirectories(dir) ? 0 : errno;
    bool moved = false;
    for (uint32_t n = 0; err == 0 && !moved; ++n)
    {
        if (n >= NAME_ATTEMPTS)
        {
            err = EEXIST;
            break;
        }
        // A file set aside earlier under the same name is kept; this one gets a numbered name.
        target = dir + "/" + (n == 0 ? name : NumberedName(name, n));
        if (renameat2(AT_FDCWD, dataFile.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        {
            moved = true;
            break;
        }
        if (errno == EEXIST)
            continue;
        if (errno == EINVAL || errno == ENOSYS) // a file system without no-replace renames
        {
            if (platform::FileExists(target))
                continue;
            if (rename(dataFile.c_str(), target.c_str()) == 0)
            {
                moved = true;
                break;
            }
        }
        if (errno != EXDEV)
        {
            err = errno;
            break;
        }
        // Failed/ on another file system: the copy is made durable before the original goes.
        if (!platform::CopyFile(dataFile, target, true))
        {
            if (errno == EEXIST)
                continue;
            err = errno;
            break;
        }
        if (!SyncPath(target) || !SyncPath(dir) || !platform::DeleteFile(dataFile))
        {
            err = errno;
            platform::DeleteFile(target);
            break;
        }
        moved = true;
    }
    if (!moved)
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[MoveToFailedDir] Cannot Move DataFile = %s To %s , Err = %u\n",
               dataFile.c_str(), dir.c_str(), static_cast<uint32_t>(err));
        return false;
    }
    CInfoManager::GetInstance()->Count(CInfoManager::INFO_DATA_FILES_SET_ASIDE);
    // The new name and the old one's removal survive a crash.
    SyncPath(dir);
    SyncPath(dataFile.substr(0, dataFile.find_last_of('/')));
    QB_LOG(PL_ERROR, DFM_TAG,
           "[MoveToFailedDir] DataFile = %s Failed %u Import Passes. Moved To = %s , Last Err = %u ErrStr = "
           "%s\n",
           dataFile.c_str(), passes, target.c_str(), error.m_Errno, error.m_ErrStr.c_str());
    return true;
}

uint32_t CDataFileManager::CountFailedDataFiles(const std::string& root)
{
    const std::string failed = root + "/" + FAILED_DIR_NAME;
    uint32_t count = 0;
    for (const std::string& db : platform::ListDirectory(failed, "*", false))
        for (const std::string& table : platform::ListDirectory(failed + "/" + db, "*", false))
        {
            std::string dir = failed + "/" + db + "/" + table;
            count += static_cast<uint32_t>(platform::ListDirectory(dir, "*", true).size());
        }
    return count;
}

// ---- Start-up scan --------------------------------------------------------------

void CDataFileManager::ScanDataFile_DirName(const std::string& dir, std::vector<std::string>& out)
{
    out.clear();
    std::vector<std::string> names;
    int openError = 0, readError = 0;
    platform::ListDirectory(dir, "*", false, names, openError, readError);
    if (openError != 0)
    {
        QB_LOG(PL_WARN, DFM_TAG, "[ScanDataFile_DirName] Cannot Search Path = %s , Err = %u\n",
               (dir + "/*.*").c_str(), static_cast<uint32_t>(openError));
        return;
    }
    for (const std::string& name : names)
        if (platform::IsDirectory(dir + "/" + name))
            out.push_back(name);
    if (readError != 0)
        QB_LOG(PL_WARN, DFM_TAG, "[ScanDataFile_DirName] FindNextFile Error = %u\n",
               static_cast<uint32_t>(readError));
}

void CDataFileManager::ScanDataFile_FileName(const std::string& dir, const char* pattern,
                                             std::vector<std::string>& out)
{
    out.clear();
    std::vector<std::string> names;
    int openError = 0, readError = 0;
    platform::ListDirectory(dir, pattern ? pattern : "*", false, names, openError, readError);
    if (openError != 0)
    {
        // A missing directory is simply empty.
        if (openError != ENOENT)
            QB_LOG(PL_WARN, DFM_TAG, "[ScanDataFile_FileName] Cannot Search Path = %s , Err = %u\n",
                   (dir + "/" + (pattern ? pattern : "*.*")).c_str(), static_cast<uint32_t>(openError));
        return;
    }
    for (const std::string& name : names)
        if (!platform::IsDirectory(dir + "/" + name))
            out.push_back(name);
    if (readError != 0)
        QB_LOG(PL_WARN, DFM_TAG, "[ScanDataFile_FileName] FindNextFile Error = %u\n",
               static_cast<uint32_t>(readError));
}

uint32_t CDataFileManager::DataFileScanThread(CDataFileManager* manager)
{
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileScanThread] Thread Start...\n");
    const std::string& root = CGlobalSharedData::GetInstance()->GetDataFileDir();
    if (!manager->MakeDirectoryExist(root))
    {
        QB_LOG(PL_ERROR, DFM_TAG, "[DataFileScanThread] Cannot Make DataFile Dir OK\n");
        return static_cast<uint32_t>(-2);
    }
    std::vector<std::string> dbs, tables, files;
    StartBacklog backlog;
    manager->ScanDataFile_DirName(root, dbs);
    for (size_t d = 0; d < dbs.size() && manager->m_bRunning.load() == 1; ++d)
    {
        // Files set aside there wait for an operator, who moves them back to have them loaded.
        if (dbs[d] == FAILED_DIR_NAME)
            continue;
        std::string dbDir = root + "/" + dbs[d];
        manager->ScanDataFile_DirName(dbDir, tables);
        for (size_t t = 0; t < tables.size() && manager->m_bRunning.load() == 1; ++t)
        {
            std::string tableDir = dbDir + "/" + tables[t];
            manager->ScanDataFile_FileName(tableDir, "*.dat", files);
            for (size_t f = 0; f < files.size() && manager->m_bRunning.load() == 1; ++f)
            {
                std::string full = tableDir + "/" + files[f];
                // A file this run has already opened is not left over.
                if (manager->IsPathOpenForWriting(full))
                    continue;
                CCSLocker lock(manager->m_ImportListLock);
                // A file this run switched out meanwhile is queued already.
                if (manager->m_QueuedPaths.count(full) != 0)
                    continue;
                QB_LOG(PL_INFO, DFM_TAG, "[DataFileScanThread] Find Data File = %s\n", full.c_str());
                ImportInfo& info = manager->m_ImportList.emplace_back();
                info.m_DbName = dbs[d];
                info.m_TableName = tables[t];
                info.m_DataFile = full;
                manager->m_QueuedPaths.insert(full);
                uint64_t size = 0;
                platform::GetFileSize64(full, size);
                backlog.m_Bytes[full] = size;
                backlog.m_TotalBytes += size;
            }
        }
    }
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileScanThread] DataFiles Waiting = %zu , Bytes = %llu\n",
           backlog.m_Bytes.size(), static_cast<unsigned long long>(backlog.m_TotalBytes));
    if (uint32_t failed = CountFailedDataFiles(root); failed != 0)
        QB_LOG(PL_WARN, DFM_TAG, "[DataFileScanThread] DataFiles Waiting In Failed Dir = %u , Dir = %s/%s\n",
               failed, root.c_str(), FAILED_DIR_NAME);
    DoImportOnStart(manager, backlog);
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileScanThread] Thread Exit\n");
    return 0;
}

uint32_t CDataFileManager::DoImportOnStart(CDataFileManager* manager, const StartBacklog& backlog)
{
    CSQLConnManager::SqlThreadInit();
    QB_LOG(PL_INFO, DFM_TAG, "[DoImportOnStart] DataFile Will Import In %u ms\n", START_IMPORT_DELAY_MS);
    uint32_t waits = 0;
    bool go = false;
    while (manager->m_bRunning.load() == 1)
    {
        uint32_t ret = manager->WaitForStop(ScaledInterval(START_IMPORT_WAIT_MS));
        if (ret != platform::WAIT_TIMEOUT)
            break;
        if (++waits >= START_IMPORT_WAIT_COUNT)
        {
            if (CDeviceRegistry::GetInstance()->IsDevTableLoaded())
            {
                go = true;
                break;
            }
            waits = 0;
        }
    }

    // Entries that failed stay claimed until the end, so that one bad file is
    // not retried in a tight loop; then they are handed to the device tasks.
    struct Failed
    {
        std::string m_Db, m_Table, m_File;
    };
    std::vector<Failed> failed;
    // Progress against what the scan found; files switched out by this run count elsewhere.
    size_t doneFiles = 0;
    uint64_t doneBytes = 0;
    uint64_t lastReport = platform::GetTickCount64();
    auto reportProgress = [&](const char* what)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[DoImportOnStart] %s: Imported %zu Of %zu DataFiles , %llu Of %llu Bytes\n",
               what, doneFiles, backlog.m_Bytes.size(), static_cast<unsigned long long>(doneBytes),
               static_cast<unsigned long long>(backlog.m_TotalBytes));
    };
    while (go && manager->m_bRunning.load() == 1)
    {
        if (!backlog.m_Bytes.empty() &&
            platform::GetTickCount64() - lastReport >= ScaledInterval(START_IMPORT_PROGRESS_MS))
        {
            reportProgress("Progress");
            lastReport = platform::GetTickCount64();
        }
        if (CConfigManager::GetInstance()->Kelv().m_IsFull != 0)
        {
            QB_LOG(PL_WARN, DFM_TAG, "[DoImportOnStart] Import Calcel Due To Not Enough DiskSpace.\n");
            break;
        }
        std::string dbName, dataFile, tableName;
        if (manager->GetImportInfo(dbName, dataFile, tableName) != 1)
            break;
        MYSQL* conn = CSQLConnManager::GetInstance()->AllocSqlConn(dbName.c_str(), CLIENT_LOCAL_FILES);
        if (conn == nullptr)
        {
            QB_LOG(PL_ERROR, DFM_TAG, "[DoImportOnStart] Cannot Alloc MySQL Object.\n");
            manager->ResetImportInfoFlag(dbName.c_str(), tableName.c_str(), dataFile.c_str());
            break;
        }
        ImportError error;
        if (manager->ImportDataFile(conn, tableName.c_str(), dataFile.c_str(), 1, &error))
        {
            manager->RemoveImportInfo(dbName.c_str(), tableName.c_str(), dataFile.c_str());
            manager->DeleteImportedDataFile(dataFile);
            if (auto it = backlog.m_Bytes.find(dataFile); it != backlog.m_Bytes.end())
            {
                ++doneFiles;
                doneBytes += it->second;
            }
        }
        else
        {
            // A server that went away says nothing about the file.
            if (mysql_ping(conn) != 0 ||
                !manager->CountFailedImport(dbName.c_str(), tableName.c_str(), dataFile.c_str(), error))
                failed.push_back({dbName, tableName, dataFile});
            QB_LOG(PL_ERROR, DFM_TAG, "[DoImportOnStart] Call ImportDataFile() Fail.\n");
        }
        CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    }
    for (const Failed& f : failed)
        manager->ResetImportInfoFlag(f.m_Db.c_str(), f.m_Table.c_str(), f.m_File.c_str());
    if (go && !backlog.m_Bytes.empty())
        reportProgress("Done");
    CSQLConnManager::SqlThreadEnd();
    return 0;
}
