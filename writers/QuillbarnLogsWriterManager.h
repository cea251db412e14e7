// The writer chain of one record task: the merging writer, the data-file writer and the final SQL
// writer, offered each record in that order until one takes it. Every operation runs on the record
// task's thread, except PassLogToNextWriter, which a merging writer calls from its own threads; the list
// itself only changes in Install/UnInstall, before those threads start and after they stopped.
#pragma once

#include "writers/BaseLogWriter.h"
#include "writers/DataFileLogWriter.h"
#include "writers/FinalLogWriter.h"
#include "writers/LogMergerLogWriter.h"

#include <cstdint>
#include <list>

class CQuillbarnLogsWriterManager
{
public:
    CQuillbarnLogsWriterManager() = default;
    virtual ~CQuillbarnLogsWriterManager();
    CQuillbarnLogsWriterManager(const CQuillbarnLogsWriterManager&) = delete;
    CQuillbarnLogsWriterManager& operator=(const CQuillbarnLogsWriterManager&) = delete;

    // Empties the chain, appends the three writers in chain order and initialises them.
    void InstallLogWriterChain();
    // UnInit of every writer in chain order, then an empty chain.
    void UnInstallLogWriterChain();

    // Appends one writer: Init (a failure is logged, the writer stays), then SetLogsWriterManager.
    // InstallLogWriterChain is three of these; exposed so that a chain can be assembled from other
    // writers (tests of the chain walk).
    void AppendLogWriter(CBaseLogWriter* writer);

    // Offers a record to each writer in chain order through the typed slot; the first non-zero result
    // is returned, 0 when no writer took the record.
    uint32_t WriteLog(int signCode, const UserAuditFileLog* record, void* replyBuff);
    uint32_t WriteLog(int signCode, const KeepAliveLog* record, void* extra);
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra);
    uint32_t WriteLog(int signCode, const AlarmLog* record, void* extra);
    uint32_t WriteLog(int signCode, const AuditLog* record, void* extra);
    uint32_t WriteLog(int signCode, const AdminLog* record, void* extra);
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra);
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra);
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra);
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra);

    // Null reaches no writer.
    void SetDbName(const char* dbName);
    void OnQuit();

    // Offers a descriptor to the writers behind `start` through their generic slot; stops at the first
    // that answers exactly 1. Returns that 1, else the last result (0 when no writer follows, when start
    // or desc is null, or when start is not in the chain).
    uint32_t PassLogToNextWriter(CBaseLogWriter* start, const LogRecordDesc* desc, void* extra);

    size_t GetWriterCount() const { return m_WriterChain.size(); }
    CLogMergerLogWriter& GetLogMergerLogWriter() { return m_LogMergerLogWriter; }
    CDataFileLogWriter& GetDataFileLogWriter() { return m_DataFileLogWriter; }
    CFinalLogWriter& GetFinalLogWriter() { return m_FinalLogWriter; }

private:
    template <typename Record> uint32_t WalkChain(int signCode, const Record* record, void* extra);

    CLogMergerLogWriter m_LogMergerLogWriter;
    CDataFileLogWriter m_DataFileLogWriter;
    CFinalLogWriter m_FinalLogWriter;
    std::list<CBaseLogWriter*> m_WriterChain;
};
