// Last writer of the chain: batches insert statements per table and receives uploaded audit files.
//
// The SQL caches and the audit-file reception are not in this build yet: the slots that store answer
// 0, so a record that reaches this writer is not taken. The conversions in front of them are in
// place: audit records become administrator records (slot of the admin log), version 1 and 2 user
// records become version 3.
#pragma once

#include "platform/CriticalSection.h"
#include "writers/BaseLogWriter.h"

#include <string>

class CFinalLogWriter : public CBaseLogWriter
{
public:
    CFinalLogWriter() = default;
    ~CFinalLogWriter() override;

    int Init() override;
    void UnInit() override;

    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff) override;
    uint32_t WriteLog(int signCode, const KeepAliveLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AlarmLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AuditLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const AdminLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra) override;
    // Types 0, 1, 2, 3, 4, 8, 10 and 11.
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra) override;

    void SetDbName(const char* dbName) override;
    void OnQuit() override;

    std::string GetDbName();

private:
    // Records also arrive from the merging writer's threads.
    platform::CCriticalSection m_Lock;
    std::string m_DbName;
};
