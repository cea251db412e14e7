#pragma once
#include <mysql.h>
#include <string>

namespace qbtest
{
// The private test server named by QB_TEST_DB_HOST/PORT/USER/PASSWORD
// (scripts/test-mariadb.sh start). Tests that need it skip when it is unset.
bool HaveTestDatabase();

// Points the test install tree at the test server: DBServer, DBUser, DBPwd
// and DataBase of Kelv.conf, port of mysql/my.ini; then reloads the
// configuration. Calls InitTestInstall first.
void UseTestDatabase(const std::string& globalDatabase);

// A database-name prefix unique to this process and call, so that tests
// running in parallel against the same server stay apart.
std::string UniqueDbPrefix(const std::string& tag);

// A connection of the test's own, outside the collector's connection
// manager, for fixtures and checks (multi statements on). Null on failure.
MYSQL* AdminConnect(const std::string& database = std::string());
// Runs one statement (or several) and discards any result; false on error.
bool Exec(MYSQL* conn, const std::string& sql);
// First column of the first row, or `fallback` when there is none / on error.
std::string QueryValue(MYSQL* conn, const std::string& sql, const std::string& fallback = std::string());

// Feeds an SQL file (DELIMITER blocks allowed) to `database` (none: "") through the command-line
// client.
bool RunSqlFile(const std::string& database, const std::string& file);

// Creates `name` with the shipped device schema (sql/devicedb.sql, through
// the command-line client, which understands its DELIMITER blocks).
bool CreateDeviceDatabase(const std::string& name);
// Creates `name` with the shipped global schema's dev_node table.
bool CreateGlobalDatabase(const std::string& name);
bool DropDatabase(const std::string& name);
// Registers a device in the dev_node table of the global database `global` is connected to; its key
// is the MD5 of the secret unless `keyHex` (32 lower-case digits) says otherwise.
bool AddDevice(MYSQL* global, const std::string& name, const std::string& secret, const std::string& database,
               const std::string& keyHex = std::string());

// Makes CSQLConnManager::Init work in a test process, which runs in service
// mode: a private service-manager directory (QUILLBARN_SCM_DIR) in which the
// database service is registered as a stand-in process that ends with the
// test process, started and given time to count as running. Once per process.
void PrepareDatabaseService();
// The stand-in's command line (used again by tests that re-register it).
std::string DatabaseServiceStandInCommand();
} // namespace qbtest
