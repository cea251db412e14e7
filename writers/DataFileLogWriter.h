// Second writer of the chain: turns user and system records into lines of per-table data files that
// are bulk-loaded later.
//
// Data files are not in this build yet: the system and version-3 user slots answer 0, so each record
// goes on to the final writer. Version 1 and 2 user records are already widened to version 3 here, as
// the data-file lines are built from the version-3 layout only.
#pragma once

#include "platform/CriticalSection.h"
#include "writers/BaseLogWriter.h"

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
    void OnQuit() override;

    std::string GetDbName();

private:
    // Records also arrive from the merging writer's threads.
    platform::CCriticalSection m_Lock;
    std::string m_DbName;
};
