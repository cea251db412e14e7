// Second writer of the chain: turns user and system records into lines of per-table data files (one
// per device database and table, handed out by the data-file manager) that are bulk-loaded later with
// "load data local infile ... fields enclosed by '\"'". A record it cannot write is answered with 0 and
// the final writer inserts it by SQL instead; both ways store the same row.
//
// Line format: fields separated by TAB, text and record ids in double quotes, numbers bare, CR LF at the
// end. Text is GBK and escaped for the loader (backslash before backslash and double quote; tab, CR and
// LF as \t, \r, \n), so that the loader reads back exactly the text the SQL path would store. Lines have
// no length limit.
#pragma once

#include "platform/CriticalSection.h"
#include "writers/BaseLogWriter.h"

#include <cstdint>
#include <map>
#include <string>

class CDataFileLogWriter : public CBaseLogWriter
{
public:
    CDataFileLogWriter() = default;
    ~CDataFileLogWriter() override;

    int Init() override;
    void UnInit() override;

    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra) override;
    // Types 1 to 11, of them 1, 8, 10 and 11.
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra) override;

    void SetDbName(const char* dbName) override;
    // Releases every data file of this writer (they are flushed and queued for import).
    void OnQuit() override;

    std::string GetDbName();

    // The lines of the four tables, appended to `out` (exposed for the benchmark).
    static void AppendSysLogLine(std::string& out, const SystemLog& record, const std::string& gbkMessage,
                                 const std::string& timeText);
    static void AppendUserFlowLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                      const std::string& timeText, int64_t recordId);
    static void AppendUserBasicLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                       const std::string& gbkName, const std::string& gbkMessage,
                                       const std::string& timeText, int64_t recordId);
    static void AppendUserSvrLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                     const std::string& gbkMessage, const std::string& timeText,
                                     int64_t recordId);

private:
    // 0 when no data file can be had for the table.
    // False when this writer has no database; otherwise the file's identifier, 0 when the manager
    // could not give one.
    bool GetDataFileID(const char* tableName, uint32_t& id);
    // 1 when the whole line went into the table's data file (an empty line counts as written).
    int WriteDataToDataFile(const std::string& line, const char* tableName);
    int BuildUserFlowLog(const UserLogV3& record, int32_t userId, const std::string& timeText,
                         int64_t recordId);
    int BuildUserBasicLog(const UserLogV3& record, int32_t userId, const std::string& gbkName,
                          const std::string& gbkMessage, const std::string& timeText, int64_t recordId);
    int BuildUserSvrLog(const UserLogV3& record, int32_t userId, const std::string& gbkMessage,
                        const std::string& timeText, int64_t recordId);

    // Guards the name and the identifier map; records also arrive from the merging writer's threads.
    platform::CCriticalSection m_Lock;
    std::string m_DbName;
    std::map<std::string, uint32_t> m_DataFileIDs;
};
