#include "CollectorHarness.h"

#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace qbtest
{
namespace
{
std::string Md5Hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i)
    {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

bool PortOpen(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(s);
    return ok;
}
} // namespace

CollectorHarness::CollectorHarness() = default;

CollectorHarness::~CollectorHarness()
{
    if (m_Pid > 0)
        Kill();
    // QB_KEEP_TREES keeps the databases beside the trees, for a look after a failure.
    if (m_Conn && getenv("QB_KEEP_TREES") != nullptr)
    {
        mysql_close(m_Conn);
        m_Conn = nullptr;
    }
    if (m_Conn)
    {
        for (const std::string& db : m_DeviceDbs)
            Exec(m_Conn, "drop database if exists `" + db + "`");
        Exec(m_Conn, "drop database if exists `" + m_GlobalDb + "`");
        mysql_close(m_Conn);
    }
    if (!m_Dir.empty() && getenv("QB_KEEP_TREES") == nullptr)
    {
        std::string cmd = "rm -rf '" + m_Dir + "'";
        (void)system(cmd.c_str());
    }
}

std::vector<std::string> CollectorHarness::Env() const
{
    return {"QUILLBARN_REGISTRY=" + m_Dir + "/registry.ini", "QUILLBARN_SCM_DIR=" + m_Dir + "/scm"};
}

void CollectorHarness::SetConfig(const std::string& file, const std::string& section, const std::string& key,
                                 const std::string& value)
{
    platform::WritePrivateProfileString(section, key, value, m_Dir + "/Kelv/Config/" + file);
}

bool CollectorHarness::Prepare(int devices)
{
    if (!HaveTestDatabase())
        return false;
    char tmpl[] = "/tmp/qb_e2e_XXXXXX";
    m_Dir = mkdtemp(tmpl);
    for (const char* sub : {"/bin", "/Kelv", "/Kelv/Config", "/Kelv/Log", "/Kelv/DataFile", "/Kelv/Temp",
                            "/Kelv/Dump", "/htdocs", "/htdocs/UploadFiles", "/mysql", "/scm"})
        platform::CreateDirectory(m_Dir + sub);
    std::string confSrc = std::string(QB_SOURCE_DIR) + "/conf";
    for (const std::string& f : platform::ListDirectory(confSrc, "*", true))
        platform::CopyFile(confSrc + "/" + f, m_Dir + "/Kelv/Config/" + f, false);
    WriteFile(m_Dir + "/registry.ini", "[HKLM\\Software\\Velmora\\SSL\\DC]\nInstallPath=\"" + m_Dir + "\"\n");

    m_Prefix = UniqueDbPrefix("e2e");
    m_GlobalDb = m_Prefix + "_global";
    m_Port = FreeTcpPort();
    m_InfoPort = FreeTcpPort();
    SetConfig("Kelv.conf", "DatabaseConfig", "DBServer", getenv("QB_TEST_DB_HOST"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DBUser", getenv("QB_TEST_DB_USER"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DBPwd", getenv("QB_TEST_DB_PASSWORD"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DataBase", m_GlobalDb);
    SetConfig("Kelv.conf", "DatabaseConfig", "Port", std::to_string(m_Port));
    SetConfig("KelvAdv.conf", "InfoRetrieve", "ListenPort", std::to_string(m_InfoPort));
    SetConfig("ProgramLog.conf", "TxtLog", "LogLevel", "11");
    SetConfig("ProgramLog.conf", "TxtLog", "MaxLogSize", "0");
    WriteFile(m_Dir + "/mysql/my.ini", std::string("[mysqld]\nport=") + getenv("QB_TEST_DB_PORT") +
                                           "\nbasedir=/usr\ndatadir=" + m_Dir + "/mysql\n");

    if (!CreateGlobalDatabase(m_GlobalDb))
        return false;
    m_Conn = AdminConnect(m_GlobalDb);
    if (!m_Conn)
        return false;
    for (int i = 1; i <= devices; ++i)
    {
        std::string db = m_Prefix + "_dev" + std::to_string(i);
        if (!CreateDeviceDatabase(db))
            return false;
        m_DeviceDbs.push_back(db);
        std::string secret = "secret" + std::to_string(i);
        if (!Exec(m_Conn, "insert into `" + m_GlobalDb +
                              "`.dev_node(node_name, secret, md5_secret, db_name, deleted) values ('dev" +
                              std::to_string(i) + "', '" + secret + "', '" + Md5Hex(secret) + "', '" + db +
                              "', 0)"))
            return false;
    }
    return true;
}

bool CollectorHarness::Start(const std::vector<std::string>& extraEnv)
{
    std::vector<std::string> env = Env();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    m_Pid = Spawn({BinDir() + "/Quillbarn", "-Console"}, env, m_Dir + "/console.out");
    return WaitUntil(20000, [this] { return PortOpen(m_Port); });
}

int CollectorHarness::Stop()
{
    if (m_Pid <= 0)
        return -1;
    RunProgram({BinDir() + "/Quillbarn", "-StopAll"}, Env(), 20000);
    int code = WaitExit(m_Pid, 60000);
    m_Pid = -1;
    return code;
}

void CollectorHarness::Kill()
{
    if (m_Pid <= 0)
        return;
    kill(m_Pid, SIGKILL);
    WaitExit(m_Pid, 10000);
    m_Pid = -1;
}

bool CollectorHarness::IsRunning()
{
    if (m_Pid <= 0)
        return false;
    if (WaitExit(m_Pid, 0) == -1)
        return true;
    m_Pid = -1;
    return false;
}

std::map<std::string, std::string> CollectorHarness::RunDevsim(const std::vector<std::string>& args,
                                                               int* exitCode, int timeoutMs)
{
    std::vector<std::string> argv = {BinDir() + "/devsim", "--port", std::to_string(m_Port), "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    int code = RunProgram(argv, {}, timeoutMs, &out);
    if (exitCode)
        *exitCode = code;
    std::map<std::string, std::string> report;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
    {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    report["_output"] = out;
    return report;
}

std::string CollectorHarness::Log()
{
    std::string all;
    for (const std::string& f : platform::ListDirectory(m_Dir + "/Kelv/Log", "LogFile_*.log", true))
        all += ReadFile(m_Dir + "/Kelv/Log/" + f);
    return all;
}

std::string CollectorHarness::DeviceDb(int i) const
{
    return m_DeviceDbs.at(static_cast<size_t>(i - 1));
}

std::string CollectorHarness::Query(const std::string& sql)
{
    return QueryValue(m_Conn, sql, "<error>");
}

long long CollectorHarness::Count(const std::string& sql)
{
    return atoll(Query(sql).c_str());
}

bool CollectorHarness::WaitCount(const std::string& sql, long long want, int timeoutMs)
{
    return WaitUntil(timeoutMs, [&] { return Count(sql) >= want; });
}
} // namespace qbtest
