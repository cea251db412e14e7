// First writer of the chain: holds user flux, resource-access and other user records in the merge
// buffers of its own CLogMerger and releases them, merged, to the writers behind it on the merger's
// write thread. System records are taken (and only counted) when their merging is on.
#pragma once

#include "writers/BaseLogWriter.h"

class CLogMerger;

class CLogMergerLogWriter : public CBaseLogWriter
{
public:
    CLogMergerLogWriter() = default;
    ~CLogMergerLogWriter() override;

    // Allocates the merger and starts it; 0 without one (every record then goes on unmerged).
    int Init() override;
    void UnInit() override;

    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra) override;
    // Types 1, 8 and 10 only.
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra) override;

    // Releases every held record and ends the merger's threads.
    void OnQuit() override;

    bool HasMerger() const { return m_pLogMerger != nullptr; }
    CLogMerger* GetLogMerger() const { return m_pLogMerger; }

private:
    // Whether a record could be taken at all (merger present with buffers, or merging just enabled).
    bool CanMerge() const;

    CLogMerger* m_pLogMerger = nullptr;
};
