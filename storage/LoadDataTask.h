#pragma once
#include "core/Task.h"

#include <cstdint>
#include <string>

#include <mysql.h>

// The per-device importer: every cycle loads the queued data files of one
// device database into it. Created by the device connection once the device
// has synchronised, registered with the task manager.
class CLoadDataTask : public CTask
{
public:
    CLoadDataTask() = default;
    explicit CLoadDataTask(const char* dbName) { SetDbName(dbName); }
    ~CLoadDataTask() override;

    uint32_t Run() override;

    // Null stores an empty name (the task then only reports it every cycle).
    void SetDbName(const char* dbName) { m_DbName = dbName != nullptr ? dbName : ""; }
    const std::string& GetDbName() const { return m_DbName; }

    // A task that imports what is queued for its database at once and then ends, started when a
    // device's connection closes: without it the files that connection closed would wait for the
    // device's next connection or the next start of the collector.
    void SetDrainOnly(bool drainOnly) { m_bDrainOnly = drainOnly; }

    static constexpr uint32_t IMPORT_CYCLE_MS = 10000;

private:
    // One pass over the entries of this database; failed entries are freed
    // again at its end. Returns the number of files imported.
    int ImportPass();
    void Drain();

    std::string m_DbName;
    MYSQL* m_pConn = nullptr;
    bool m_bDrainOnly = false;
};
