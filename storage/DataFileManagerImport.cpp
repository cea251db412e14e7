// Loading closed data files into MySQL, and the start-up scan that queues and
// loads the files an earlier run left behind (CDataFileManager).
#include "storage/DataFileManager.h"

#include "config/ConfigManager.h"
#include "platform/FileSystem.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/TestKillPoint.h"
#include "core/Utilities.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <cerrno>
#include <fcntl.h>
#include <strings.h>
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

const char* InfoText(MYSQL* conn)
{
    const char* info = mysql_info(conn);
    return info != nullptr ? info : "";
}
} // namespace

bool CDataFileManager::DropTornTail(const char* dataFile)
{
    int fd = open(dataFile, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == EISDIR; // nothing to load: the import counts it as done
    off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0)
    {
        close(fd);
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
        if (pread(fd, buf.data(), buf.size(), start) != static_cast<ssize_t>(buf.size()))
        {
            close(fd);
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
    bool ok = ftruncate(fd, keep) == 0;
    QB_LOG(PL_WARN, DFM_TAG, "[ImportDataFile] Drop Torn Last Line Of %llu Bytes , FileName = %s\n",
           static_cast<unsigned long long>(size - keep), dataFile);
    if (!ok)
        QB_LOG(PL_ERROR, DFM_TAG, "[ImportDataFile] Cannot Cut Torn Last Line Err = %u , FileName = %s\n",
               static_cast<uint32_t>(errno), dataFile);
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

bool CDataFileManager::ImportDataFile(MYSQL* conn, const char* tableName, const char* dataFile, int repair)
{
    if (conn == nullptr || tableName == nullptr || dataFile == nullptr)
        return false;
    // A run that was killed mid-line leaves a last line without its CR LF;
    // loaded as it is, it would become a damaged row.
    if (!DropTornTail(dataFile))
        return false;
    uint64_t size = GetFileSize64(dataFile);
    if (size == 0)
    {
        QB_LOG(PL_INFO, DFM_TAG, "[ImportDataFile] FileSize = 0 , FileName = %s\n", dataFile);
        return true;
    }
    int64_t limit = CConfigManager::GetInstance()->KelvAdv().m_NoTempTableDataFileSize;
    int64_t mib = static_cast<int64_t>(size / 1024 / 1024);
    bool ok = limit == 0 || mib > limit ? DoImportDataFileWithOutTempTable(conn, tableName, dataFile, repair)
                                         : DoImportDataFileWithTempTable(conn, tableName, dataFile, repair);
    if (ok && CTestKillPoint::Due("import"))
        CTestKillPoint::KillNow();
    return ok;
}

bool CDataFileManager::DoImportDataFileWithTempTable(MYSQL* conn, const char* tableName, const char* dataFile,
                                                     int repair)
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
                if (repair)
                    SimpleRepairTable(conn, tableName);
            }
            else
            {
                QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithTempTable] Info = %s\n", InfoText(conn));
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
                                                        const char* dataFile, int repair)
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
            LogLoadWarnings(conn, "DoImportDataFileWithOutTempTable", dataFile);
            QB_LOG(PL_INFO, DFM_TAG, "[DoImportDataFileWithOutTempTable] Import Succeed. Data File = %s\n",
                   dataFile);
            return true;
        }
        QB_LOG(
            PL_ERROR, DFM_TAG,
            "[DoImportDataFileWithOutTempTable] Cannot Load Data To Temporary Table Err = %u ErrStr = %s\n",
            mysql_errno(conn), mysql_error(conn));
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
    manager->ScanDataFile_DirName(root, dbs);
    for (size_t d = 0; d < dbs.size() && manager->m_bRunning.load() == 1; ++d)
    {
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
            }
        }
    }
    DoImportOnStart(manager);
    QB_LOG(PL_INFO, DFM_TAG, "[DataFileScanThread] Thread Exit\n");
    return 0;
}

uint32_t CDataFileManager::DoImportOnStart(CDataFileManager* manager)
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
    while (go && manager->m_bRunning.load() == 1)
    {
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
        if (manager->ImportDataFile(conn, tableName.c_str(), dataFile.c_str(), 1))
        {
            manager->RemoveImportInfo(dbName.c_str(), tableName.c_str(), dataFile.c_str());
            manager->DeleteImportedDataFile(dataFile);
        }
        else
        {
            failed.push_back({dbName, tableName, dataFile});
            QB_LOG(PL_ERROR, DFM_TAG, "[DoImportOnStart] Call ImportDataFile() Fail.\n");
        }
        CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    }
    for (const Failed& f : failed)
        manager->ResetImportInfoFlag(f.m_Db.c_str(), f.m_Table.c_str(), f.m_File.c_str());
    CSQLConnManager::SqlThreadEnd();
    return 0;
}
