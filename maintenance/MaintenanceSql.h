#pragma once
#include <mysql.h>

// Statement execution shared by the maintenance tasks.
class CMaintenanceSql
{
public:
    // Runs one configured statement and consumes every result it produces.
    // A procedure call answers with more than one result (at least its status
    // result); leaving any of them unread would make the next statement on
    // the same connection fail with "commands out of sync". False when the
    // statement fails, or when a later result of it reports an error; the
    // connection's errno and error text then tell why.
    static bool Run(MYSQL* conn, const char* sql);
    // Consumes every pending result of the last statement; false when one of
    // them reports an error.
    static bool DrainResults(MYSQL* conn);
};
