#include "schemalift/SchemaLift.h"

#include "schemalift/SchemaUpgrade.h"
#include "schemalift/UpgradeLog.h"

#include <ctime>

using schemalift::CUpgradeLog;

extern "C" SCHEMALIFT_API int SCHEMALIFT_CALL update_velmo_dc(const char* host, const char* user,
                                                              const char* password, const char* database,
                                                              int port, const char* logPath)
{
    return schemalift::UpgradeAll(host, user, password, database, port, logPath, nullptr);
}

int schemalift::UpgradeAll(const char* host, const char* user, const char* password, const char* database,
                           int port, const char* logPath, const UpgradeProgress& progress)
{
    CUpgradeLog log;
    log.Open(logPath);
    time_t now = time(nullptr);
    char when[64] = "";
    ctime_r(&now, when);
    log.Write("\n%s~~~~~~~~~~~~Start to update DB to M4.3~~~~~~~~~~~~\n", when);

    char error[512];
    MYSQL* conn = schemalift::Connect(host, user, password, database, port, error, sizeof(error));
    if (conn == nullptr)
    {
        log.Write("Error connecting to database:%s\n", error);
        log.Close();
        return -1;
    }
    if (mysql_query(conn, "select db_name from dev_node") != 0)
    {
        log.Write("Query failed (%s)\n", mysql_error(conn));
        mysql_close(conn);
        log.Close();
        return -1;
    }
    MYSQL_RES* devices = mysql_store_result(conn);
    if (devices == nullptr)
    {
        log.Write("Couldn't get result from %s\n", database != nullptr ? database : "");
        mysql_close(conn);
        log.Close();
        return -1;
    }

    // One database's failure is logged and the walk goes on.
    size_t count = static_cast<size_t>(mysql_num_rows(devices));
    size_t index = 0;
    while (MYSQL_ROW row = mysql_fetch_row(devices))
    {
        const char* dbName = row[0];
        ++index;
        if (dbName == nullptr)
            continue;
        log.Write("--------------------------------\nstart to update %s ...\n", dbName);
        bool ok = true;
        if (schemalift::UpgradeToM43(host, user, password, dbName, port, log) == -1)
        {
            log.Write("update %s to M5.0 failed!\n", dbName);
            ok = false;
        }
        else
            log.Write("update %s to M5.0 success!\n", dbName);
        if (schemalift::UpgradeToM57(host, user, password, dbName, port, log) == -1)
        {
            log.Write("update %s to M5.7 failed!\n", dbName);
            ok = false;
        }
        else
            log.Write("update %s to M5.7 success!\n", dbName);
        if (progress)
            progress(index, count, dbName, ok);
    }
    mysql_free_result(devices);

    if (!schemalift::RunQuery(conn, "use velmoglobaldb"))
        log.Write("Query failed (%s)\n", mysql_error(conn));
    else if (schemalift::RunQuery(conn, "alter table sys_adt modify sys_adt_pass varchar(256)"))
        log.Write("Alter sys_adt Table Succeed...");
    else
        log.Write("Alter sys_adt Table Fail Err = %s", mysql_error(conn));

    mysql_close(conn);
    log.Close();
    return 0;
}
