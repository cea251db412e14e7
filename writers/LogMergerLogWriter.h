// First writer of the chain: holds user flux, resource-access and system records in merge buffers and
// releases them, merged, to the writers behind it.
//
// The merge buffers are not in this build yet: every slot answers 0, so each record goes on to the
// data-file writer. The slots that will take records are already the overridden ones.
#pragma once

#include "writers/BaseLogWriter.h"

class CLogMergerLogWriter : public CBaseLogWriter
{
public:
    CLogMergerLogWriter() = default;
    ~CLogMergerLogWriter() override;

    int Init() override;
    void UnInit() override;

    using CBaseLogWriter::WriteLog;
    uint32_t WriteLog(int signCode, const SystemLog* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV3* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLogV2* record, void* extra) override;
    uint32_t WriteLog(int signCode, const UserLog* record, void* extra) override;
    // Types 1, 8 and 10 only.
    uint32_t WriteLog(const LogRecordDesc* desc, void* extra) override;

    void OnQuit() override;

    // Whether merge buffers exist for this writer; without them nothing is taken.
    bool HasMerger() const { return m_bHasMerger; }

private:
    bool m_bHasMerger = false;
};
