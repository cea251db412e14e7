#include "maintenance/MaintenanceSql.h"

bool CMaintenanceSql::DrainResults(MYSQL* conn)
{
    if (conn == nullptr)
        return false;
    for (;;)
    {
        if (MYSQL_RES* res = mysql_use_result(conn))
            mysql_free_result(res);
        else if (mysql_field_count(conn) != 0)
            return false;
        int next = mysql_next_result(conn);
        if (next < 0)
            return true;
        if (next > 0)
            return false;
    }
}

bool CMaintenanceSql::Run(MYSQL* conn, const char* sql)
{
    if (conn == nullptr || sql == nullptr)
        return false;
    if (mysql_query(conn, sql) != 0)
        return false;
    return DrainResults(conn);
}
