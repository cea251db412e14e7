#include "schemalift/SchemaUpgrade.h"

#include "schemalift/UpgradeSql.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace schemalift
{
namespace
{
// The designed statement buffer; a name too long for it is refused rather than cut.
constexpr size_t kStatementSize = 1024;

// A plain identifier goes into "use %s" as it is; anything else is quoted so that a listed
// name can never add statements to this multi-statement connection.
std::string UseStatement(const char* dbName)
{
    bool plain = *dbName != '\0';
    for (const char* p = dbName; *p != '\0'; ++p)
    {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
              c == '$'))
            plain = false;
    }
    if (plain)
        return std::string("use ") + dbName;
    std::string quoted = "use `";
    for (const char* p = dbName; *p != '\0'; ++p)
        quoted += *p == '`' ? std::string("``") : std::string(1, *p);
    return quoted + "`";
}

// One drop-and-create (or alter) step: logs `failure` with the error, or `success` when given.
bool Step(MYSQL* conn, CUpgradeLog& log, const char* sql, const char* failure, const char* success)
{
    if (!RunQuery(conn, sql))
    {
        log.Write(failure, mysql_error(conn));
        return false;
    }
    if (success != nullptr)
        log.Write("%s", success);
    return true;
}

bool AlterUsrBasicLog(MYSQL* conn, CUpgradeLog& log)
{
    return Step(conn, log, "alter table usrbasiclog change auth_method auth_method int",
                "alter usrbasiclog failed (%s)\n", nullptr);
}

bool CreateGenMidUserBwOptFlow(MYSQL* conn, CUpgradeLog& log)
{
    return Step(conn, log, sql::kCreateGenMidUserBwOptFlow,
                "create PROCEDURE GenMid_UserBwOptFlow failed (%s)\n",
                "create PROCEDURE GenMid_UserBwOptFlow success...\n");
}

bool CreateRepairTables(MYSQL* conn, CUpgradeLog& log)
{
    return Step(conn, log, sql::kCreateRepairTables, "modify PROCEDURE repairTables failed (%s)\n",
                "modify PROCEDURE repairTables success...\n");
}

// Earlier cleaning procedures deleted each table in one statement and rebuilt every table, holding the
// collector's loads and inserts for minutes on a big database. The M4.3 step re-creates only CleanByTime,
// and only once; here every database gets the current bodies of both. Only a failure is logged.
void RefreshCleaning(MYSQL* conn, CUpgradeLog& log)
{
    Step(conn, log, sql::kCreateCleanByTime, "modify PROCEDURE CleanByTime failed (%s)\n", nullptr);
    Step(conn, log, sql::kCreateCleanByContent, "modify PROCEDURE CleanByContent failed (%s)\n", nullptr);
}

void WidenAdmin(MYSQL* conn, CUpgradeLog& log)
{
    if (!Step(conn, log, "alter table admin modify Name varchar(64)",
              "modify table admin field Name failed (%s)\n", "modify table admin field Name success...\n"))
        return;
    Step(conn, log, "alter table admin modify password varchar(256)",
         "modify table admin field password failed (%s)\n", "modify table admin field password success...\n");
}

int CreateAuditFileTable(MYSQL* conn, CUpgradeLog& log)
{
    if (!Step(
            conn, log,
            "CREATE TABLE IF NOT EXISTS `usrfileauditlog` ( `record_id` bigint(20) NOT NULL AUTO_INCREMENT, "
            "`user_id` int(11) NOT NULL, `user_name` varchar(100) DEFAULT NULL, `grp_id` int(11) DEFAULT "
            "NULL, "
            "`filename` varchar(256) DEFAULT NULL, `filefullpath` varchar(520) DEFAULT NULL,`dcfilepath` "
            "varchar(520) DEFAULT NULL,`filesize` int(11) DEFAULT NULL,`sha1code` varchar(128) DEFAULT "
            "NULL,`log_time` datetime NOT NULL,PRIMARY KEY `index_record_id` (`record_id`),KEY "
            "`index_user_id` "
            "(`user_id`),KEY `index_user_grp_id` (`grp_id`),KEY `index_log_time` (`log_time`)) ENGINE=MyISAM "
            "DEFAULT CHARSET=utf8;",
            "create usrfileauditlog failed (%s)\n", "create usrfileauditlog success...\n"))
        return -1;
    // Devices send file names of up to 259 characters and 64-bit sizes: a 256-character name
    // or an int(11) size would cut or refuse the collector's inserts.
    if (!Step(conn, log,
              "alter table usrfileauditlog modify `filename` varchar(260) DEFAULT NULL, modify `filesize` "
              "bigint(20) DEFAULT NULL",
              "widen usrfileauditlog failed (%s)\n", nullptr))
        return -1;
    return 0;
}

// The numbered steps of M4.3; stops at the first failure (its message is logged).
bool RunM43Steps(MYSQL* conn, CUpgradeLog& log)
{
    if (!Step(conn, log,
              "alter table usrflowlog add raw_dw_flux bigint(20) DEFAULT NULL AFTER up_flux;alter table "
              "usrflowlog "
              "add raw_up_flux bigint(20) DEFAULT NULL AFTER raw_dw_flux",
              "alter usrflowlog failed (%s)\n", "alter usrflowlog success...\n"))
        return false;
    if (!AlterUsrBasicLog(conn, log))
        return false;
    if (!Step(conn, log, sql::kCreateSvrBwOptFlow, "create table svr_bwoptflow failed (%s)\n",
              "create table svr_bwoptflow success...\n"))
        return false;
    if (!Step(conn, log, sql::kCreateUserBwOptFlow, "create table user_bwoptflow failed (%s)\n",
              "create table user_bwoptflow success...\n"))
        return false;
    if (!Step(conn, log, sql::kCreateGenMidSvrBwOptFlow, "create PROCEDURE failed (%s)\n",
              "create PROCEDURE GenMid_SvrBWOptFlow success...\n"))
        return false;
    if (!CreateGenMidUserBwOptFlow(conn, log))
        return false;
    if (!Step(conn, log, sql::kCreateGenMidManual, "modify PROCEDURE GenMid_Manual failed (%s)\n",
              "modify PROCEDURE GenMid_Manual success...\n"))
        return false;
    if (!Step(conn, log, sql::kCreateCleanByTime, "modify PROCEDURE CleanByTime failed (%s)\n",
              "modify PROCEDURE CleanByTime success...\n"))
        return false;
    if (!CreateRepairTables(conn, log))
        return false;
    if (!Step(conn, log, sql::kCreateGetMidTabLastUpdateTime,
              "modify FUNCTION getMidTabLastUpdateTime failed (%s)\n",
              "modify FUNCTION getMidTabLastUpdateTime success...\n"))
        return false;
    if (!Step(conn, log, sql::kCreateRebuildView, "modify PROCEDURE RebuildView failed (%s)\n",
              "modify PROCEDURE RebuildView success...\n"))
        return false;
    log.Write("after veiw...\n");
    if (!Step(conn, log, sql::kCreateGetDeviceFlowTrend, "modify PROCEDURE GetDeviceFlowTrend failed (%s)\n",
              "modify PROCEDURE GetDeviceFlowTrend success...\n"))
        return false;
    return true;
}
} // namespace

MYSQL* Connect(const char* host, const char* user, const char* password, const char* database, int port,
               char* error, unsigned errorSize)
{
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr)
    {
        snprintf(error, errorSize, "%s", "out of memory");
        return nullptr;
    }
    if (mysql_real_connect(conn, host, user, password, database, static_cast<unsigned>(port), nullptr,
                           kClientMultiStatements) == nullptr)
    {
        snprintf(error, errorSize, "%s", mysql_error(conn));
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

bool RunQuery(MYSQL* conn, const char* sql)
{
    bool ok = mysql_query(conn, sql) == 0;
    if (!ok)
        return false;
    // A multi-statement query reports only its first statement's error here; the others show
    // up while its results are walked, which also leaves the connection ready for the next one.
    for (;;)
    {
        MYSQL_RES* res = mysql_store_result(conn);
        if (res != nullptr)
            mysql_free_result(res);
        int next = mysql_next_result(conn);
        if (next == -1)
            return true;
        if (next > 0)
            return false;
    }
}

int UpgradeToM43(const char* host, const char* user, const char* password, const char* dbName, int port,
                 CUpgradeLog& log)
{
    char error[512];
    MYSQL* conn = Connect(host, user, password, "information_schema", port, error, sizeof(error));
    if (conn == nullptr)
    {
        log.Write("Error connecting to database:%s\n", error);
        return -1;
    }

    std::string escaped(strlen(dbName) * 2 + 1, '\0');
    escaped.resize(mysql_real_escape_string(conn, escaped.data(), dbName, strlen(dbName)));
    char statement[kStatementSize];
    int n = snprintf(statement, sizeof(statement),
                     "select * from columns where table_name='usrflowlog' and column_name='raw_dw_flux' and "
                     "table_schema='%s'",
                     escaped.c_str());
    if (n < 0 || static_cast<size_t>(n) >= sizeof(statement) || mysql_query(conn, statement) != 0)
    {
        log.Write("Query failed (%s)\n", n >= 0 && static_cast<size_t>(n) < sizeof(statement)
                                             ? mysql_error(conn)
                                             : "database name too long");
        mysql_close(conn);
        return -1;
    }
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
    {
        log.Write("Couldn't get result from %s\n", dbName);
        mysql_close(conn);
        return -1;
    }
    my_ulonglong rows = mysql_num_rows(res);
    mysql_free_result(res);
    if (rows == 1)
    {
        log.Write("%s is already Version M4.3\n", dbName);
        mysql_close(conn);
        return 0;
    }

    if (!RunQuery(conn, UseStatement(dbName).c_str()))
    {
        log.Write("Query failed (%s)\n", mysql_error(conn));
        mysql_close(conn);
        return -1;
    }
    if (!RunM43Steps(conn, log))
    {
        mysql_close(conn);
        return -1;
    }
    if (!RunQuery(conn, "call `RebuildView`(9);call `RebuildView`(10) "))
    {
        log.Write("call RebuildView failed (%s)\n", mysql_error(conn));
        mysql_close(conn);
        return -1;
    }
    // The separator is an ideographic comma in the product's code page (GBK A1 A2).
    log.Write("call RebuildView 9\xA1\xA2"
              "10 success...\n");
    mysql_close(conn);
    return 0;
}

int UpgradeToM57(const char* host, const char* user, const char* password, const char* dbName, int port,
                 CUpgradeLog& log)
{
    if (host == nullptr || user == nullptr || password == nullptr || dbName == nullptr)
        return -1;
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr)
    {
        log.Write("Cannot Init Mysql\n");
        return -1;
    }
    if (mysql_real_connect(conn, host, user, password, dbName, static_cast<unsigned>(port), nullptr,
                           kClientMultiStatements) == nullptr)
    {
        log.Write("Error connecting to database:%s\n", mysql_error(conn));
        mysql_close(conn);
        return -1;
    }
    // Every step is repeatable and runs whatever happened to the others.
    AlterUsrBasicLog(conn, log);
    CreateGenMidUserBwOptFlow(conn, log);
    WidenAdmin(conn, log);
    CreateRepairTables(conn, log);
    RefreshCleaning(conn, log);
    int result = CreateAuditFileTable(conn, log);
    mysql_close(conn);
    return result;
}
} // namespace schemalift
