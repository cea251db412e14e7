#include "support/TestDatabase.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "platform/Profile.h"
#include "platform/ServiceManager.h"
#include "platform/Tick.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <atomic>
#include <cstdlib>
#include <regex>
#include <unistd.h>

namespace qbtest
{
bool RunSqlFile(const std::string& database, const std::string& file)
{
    std::string cmd = "mariadb --no-defaults --protocol=tcp -h" + ShellQuote(EnvText("QB_TEST_DB_HOST")) +
                      " -P" + ShellQuote(EnvText("QB_TEST_DB_PORT")) + " -u" +
                      ShellQuote(EnvText("QB_TEST_DB_USER")) + " -p" +
                      ShellQuote(EnvText("QB_TEST_DB_PASSWORD")) + " " +
                      (database.empty() ? std::string() : ShellQuote(database)) + " < " + ShellQuote(file);
    return system(cmd.c_str()) == 0;
}

bool HaveTestDatabase()
{
    return !EnvText("QB_TEST_DB_HOST").empty();
}

void UseTestDatabase(const std::string& globalDatabase)
{
    InitTestInstall();
    CConfigManager* config = CConfigManager::GetInstance();
    std::string kelv = config->GetConfigFilePath("Kelv.conf");
    platform::WritePrivateProfileString("DatabaseConfig", "DBServer", EnvText("QB_TEST_DB_HOST"), kelv);
    platform::WritePrivateProfileString("DatabaseConfig", "DBUser", EnvText("QB_TEST_DB_USER"), kelv);
    platform::WritePrivateProfileString("DatabaseConfig", "DBPwd", EnvText("QB_TEST_DB_PASSWORD"), kelv);
    platform::WritePrivateProfileString("DatabaseConfig", "DataBase", globalDatabase, kelv);
    platform::WritePrivateProfileString("mysqld", "port", EnvText("QB_TEST_DB_PORT"),
                                        config->GetConfigFilePath("mysql/my.ini"));
    config->LoadConfig();
}

std::string UniqueDbPrefix(const std::string& tag)
{
    static std::atomic<int> counter{0};
    return "qbt_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
}

MYSQL* AdminConnect(const std::string& database)
{
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr)
        return nullptr;
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "gbk");
    if (mysql_real_connect(conn, EnvText("QB_TEST_DB_HOST").c_str(), EnvText("QB_TEST_DB_USER").c_str(),
                           EnvText("QB_TEST_DB_PASSWORD").c_str(),
                           database.empty() ? nullptr : database.c_str(),
                           static_cast<unsigned>(atoi(EnvText("QB_TEST_DB_PORT").c_str())), nullptr,
                           CLIENT_MULTI_STATEMENTS) == nullptr)
    {
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

bool Exec(MYSQL* conn, const std::string& sql)
{
    if (conn == nullptr || mysql_query(conn, sql.c_str()) != 0)
        return false;
    bool ok = true;
    do
    {
        if (MYSQL_RES* res = mysql_store_result(conn))
            mysql_free_result(res);
        else if (mysql_field_count(conn) != 0)
            ok = false;
    } while (mysql_next_result(conn) == 0);
    return ok && mysql_errno(conn) == 0;
}

std::string QueryValue(MYSQL* conn, const std::string& sql, const std::string& fallback)
{
    if (conn == nullptr || mysql_query(conn, sql.c_str()) != 0)
        return fallback;
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        return fallback;
    std::string value = fallback;
    if (MYSQL_ROW row = mysql_fetch_row(res))
        if (row[0] != nullptr)
            value = row[0];
    mysql_free_result(res);
    while (mysql_next_result(conn) == 0)
        if (MYSQL_RES* more = mysql_store_result(conn))
            mysql_free_result(more);
    return value;
}

bool CreateDeviceDatabase(const std::string& name)
{
    MYSQL* conn = AdminConnect();
    bool ok = Exec(conn, "create database `" + name + "` default character set utf8");
    if (conn != nullptr)
        mysql_close(conn);
    return ok && RunSqlFile(name, std::string(QB_SOURCE_DIR) + "/sql/devicedb.sql");
}

bool CreateGlobalDatabase(const std::string& name)
{
    // The shipped script names its own database; take its dev_node table.
    std::string text = ReadFile(std::string(QB_SOURCE_DIR) + "/sql/globaldb.sql");
    std::smatch m;
    static const std::regex table(R"(CREATE TABLE IF NOT EXISTS `dev_node` \([^;]*;)");
    if (!std::regex_search(text, m, table))
        return false;
    MYSQL* conn = AdminConnect();
    bool ok = Exec(conn, "create database `" + name + "` default character set utf8") &&
              Exec(conn, "use `" + name + "`") && Exec(conn, m.str());
    if (conn != nullptr)
        mysql_close(conn);
    return ok;
}

bool AddDevice(MYSQL* global, const std::string& name, const std::string& secret, const std::string& database,
               const std::string& keyHex)
{
    return Exec(global, "insert into dev_node(node_name, secret, md5_secret, db_name, deleted) values ('" +
                            name + "', '" + secret + "', '" + (keyHex.empty() ? Md5Hex(secret) : keyHex) +
                            "', '" + database + "', 0)");
}

bool DropDatabase(const std::string& name)
{
    MYSQL* conn = AdminConnect();
    bool ok = Exec(conn, "drop database if exists `" + name + "`");
    if (conn != nullptr)
        mysql_close(conn);
    return ok;
}

std::string DatabaseServiceStandInCommand()
{
    return "/bin/sh -c \"while kill -0 " + std::to_string(getpid()) + " 2>/dev/null; do sleep 0.2; done\"";
}

void PrepareDatabaseService()
{
    static bool done = []
    {
        const std::string& install = InitTestInstall();
        std::string dir = install + "/scm";
        setenv(platform::kScmDirEnv, dir.c_str(), 1);
        const char* name = "VelmoraSSLSQL";
        if (!platform::IsServiceInstalled(name))
            platform::CreateService(name, name, DatabaseServiceStandInCommand());
        platform::StartService(name);
        atexit([] { platform::ControlServiceStop("VelmoraSSLSQL"); });
        // A process that never reports counts as running after its first second.
        for (int i = 0; i < 50 && platform::QueryServiceState(name) != platform::ServiceState::Running; ++i)
            platform::Sleep(100);
        return true;
    }();
    (void)done;
}
} // namespace qbtest
