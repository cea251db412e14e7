#pragma once
#include "runtime/Task.h"

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

    static constexpr uint32_t IMPORT_CYCLE_MS = 10000;

private:
    // One pass over the entries of this database; failed entries are freed
    // again at its end.
    void ImportPass();

    std::string m_DbName;
    MYSQL* m_pConn = nullptr;
};
