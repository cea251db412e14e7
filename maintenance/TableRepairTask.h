#pragma once
#include "core/Clock.h"
#include "core/Task.h"

#include <cstdint>
#include <string>

// Checks one device database every hour: normally probes each table of a
// fixed list and repairs the ones that fail; on Saturdays, in the configured
// night window and once that day, runs the configured strong repair instead.
class CTableRepairTask : public CTask
{
public:
    CTableRepairTask() = default;
    explicit CTableRepairTask(const char* dbName) { SetDbName(dbName); }
    ~CTableRepairTask() override;

    uint32_t Run() override;

    void DoNonStrongRepairTable();
    void DoStrongRepairTable();
    // 1 when a strong repair is due now.
    int IsStrongRepairTime();

    void SetDbName(const char* dbName) { m_DbName = dbName != nullptr ? dbName : ""; }
    const std::string& GetDbName() const { return m_DbName; }
    const LocalTime& GetLastStrongRepair() const { return m_LastStrongRepair; }
    void SetLastStrongRepair(const LocalTime& time) { m_LastStrongRepair = time; }

    static constexpr int REPAIR_TABLE_COUNT = 35;
    static constexpr int REPAIR_NAME_SIZE = 32;
    // Four names carry their identifier quotes and are used exactly so.
    static const char REPAIR_TABLES[REPAIR_TABLE_COUNT][REPAIR_NAME_SIZE];

    static constexpr uint32_t WAIT_MS = 5000;
    static constexpr uint32_t REPAIR_INTERVAL_MS = 3600000;

private:
    std::string m_DbName;
    // All zero until the first successful strong repair.
    LocalTime m_LastStrongRepair{};
};
