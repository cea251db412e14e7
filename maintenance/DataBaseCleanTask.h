#pragma once
#include "core/Clock.h"
#include "core/Task.h"

#include <cstdint>
#include <string>

// Keeps one device database in check once a day, inside the configured hour
// window: by age or by size, with the statements of statistics.conf. Created
// by the device connection once the device has synchronised.
class CDataBaseCleanTask : public CTask
{
public:
    CDataBaseCleanTask() = default;
    explicit CDataBaseCleanTask(const char* dbName) { SetDbName(dbName); }
    ~CDataBaseCleanTask() override;

    uint32_t Run() override;

    // 1 when the cleaning counts as done for today.
    int CleanDataBaseByTime();
    int CleanDataBaseByContent();
    // Sum of the sizes of the files in the database's directory below the
    // server's data directory (sub-directories are not descended).
    bool GetDataBaseSize(uint64_t& bytes);
    // 1 inside the window when no cleaning has succeeded on this day yet.
    int IsCleanTime();

    void SetDbName(const char* dbName) { m_DbName = dbName != nullptr ? dbName : ""; }
    const std::string& GetDbName() const { return m_DbName; }
    const LocalTime& GetLastCleanDate() const { return m_LastCleanDate; }
    void SetLastCleanDate(const LocalTime& date) { m_LastCleanDate = date; }

    // The argument given to the by-age statement for a cut-off date.
    static std::string FormatCutOffArgument(int year, int month, int day);
    // The name of a database's directory as the server writes it: letters, digits and '_' as they
    // are, every other character as '@' and four hexadecimal digits of its code point; with
    // `lowerCase` (lower_case_table_names=1) the name is lower-cased first.
    static std::string ServerDirectoryName(const std::string& dbName, bool lowerCase);

    static constexpr uint32_t WAIT_MS = 10000;
    static constexpr uint32_t CHECK_INTERVAL_MS = 600000;
    static constexpr int CLEAN_BY_CONTENT = 0;
    static constexpr int CLEAN_BY_TIME = 1;

private:
    std::string m_DbName;
    // All zero until the first successful cleaning.
    LocalTime m_LastCleanDate{};
};
