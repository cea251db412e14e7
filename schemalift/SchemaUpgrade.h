#pragma once
#include "schemalift/UpgradeLog.h"

#include <cstddef>
#include <functional>
#include <mysql.h>

namespace schemalift
{
// Client flag of every upgrade connection: several statements per query (drop + create).
constexpr unsigned long kClientMultiStatements = 0x10000;

// Opens a connection with the upgrade's flags; null (and the error text in `error`) on failure.
MYSQL* Connect(const char* host, const char* user, const char* password, const char* database, int port,
               char* error, unsigned errorSize);

// Runs one (multi-statement) query and walks all its results. Returns false when any of its
// statements failed; mysql_error then names that statement's error.
bool RunQuery(MYSQL* conn, const char* sql);

// Steps up to M4.3 (raw flux columns, bandwidth tables and routines) unless the database has
// them already. 0 or -1.
int UpgradeToM43(const char* host, const char* user, const char* password, const char* dbName, int port,
                 CUpgradeLog& log);

// Repeatable steps of M5.0/M5.7; returns the result of the audit-file table step (0 or -1).
int UpgradeToM57(const char* host, const char* user, const char* password, const char* dbName, int port,
                 CUpgradeLog& log);
// Called after each device database: its place (1-based) of `count`, its name, and whether both steps
// succeeded. The front end prints it; the library's export passes none.
using UpgradeProgress = std::function<void(size_t index, size_t count, const char* dbName, bool ok)>;

// The whole upgrade behind update_velmo_dc, with an optional progress callback.
int UpgradeAll(const char* host, const char* user, const char* password, const char* database, int port,
               const char* logPath, const UpgradeProgress& progress);
} // namespace schemalift
