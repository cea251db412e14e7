#include "support/CollectorHarness.h"

#include "platform/FileSystem.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace qbtest
{
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

CCollectorHarness::CCollectorHarness() = default;

CCollectorHarness::~CCollectorHarness()
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
}

const std::string& CCollectorHarness::Dir() const
{
    static const std::string none;
    return m_Tree ? m_Tree->Dir() : none;
}

std::vector<std::string> CCollectorHarness::Env() const
{
    return m_Tree ? m_Tree->Env() : std::vector<std::string>();
}

void CCollectorHarness::SetConfig(const std::string& file, const std::string& section, const std::string& key,
                                  const std::string& value)
{
    m_Tree->SetConfig(file, section, key, value);
}

bool CCollectorHarness::Prepare(int devices)
{
    if (!HaveTestDatabase())
        return false;
    m_Tree = std::make_unique<CInstallTree>(SInstallTreeOptions().Stem("qb_e2e"));
    m_Tree->WriteRegistry();

    m_Prefix = UniqueDbPrefix("e2e");
    m_GlobalDb = m_Prefix + "_global";
    m_Port = FreeTcpPort();
    m_InfoPort = FreeTcpPort();
    m_MetricsPort = FreeTcpPort();
    SetConfig("Kelv.conf", "DatabaseConfig", "DBServer", EnvText("QB_TEST_DB_HOST"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DBUser", EnvText("QB_TEST_DB_USER"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DBPwd", EnvText("QB_TEST_DB_PASSWORD"));
    SetConfig("Kelv.conf", "DatabaseConfig", "DataBase", m_GlobalDb);
    SetConfig("Kelv.conf", "DatabaseConfig", "Port", std::to_string(m_Port));
    SetConfig("KelvAdv.conf", "InfoRetrieve", "ListenPort", std::to_string(m_InfoPort));
    SetConfig("KelvAdv.conf", "Metrics", "ListenPort", std::to_string(m_MetricsPort));
    SetConfig("ProgramLog.conf", "TxtLog", "LogLevel", "11");
    SetConfig("ProgramLog.conf", "TxtLog", "MaxLogSize", "0");
    m_Tree->WriteMySqlIni(EnvText("QB_TEST_DB_PORT"));

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
        if (!AddDevice(m_Conn, "dev" + std::to_string(i), "secret" + std::to_string(i), db))
            return false;
    }
    return true;
}

bool CCollectorHarness::Start(const std::vector<std::string>& extraEnv, const std::string& mode)
{
    std::vector<std::string> env = Env();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    m_Pid = Spawn({BinDir() + "/Quillbarn", mode}, env, Dir() + "/console.out");
    return WaitUntil([this] { return PortOpen(m_Port); }, 20000);
}

pid_t CCollectorHarness::FindPid() const
{
    if (!m_Tree)
        return -1;
    // Tests run side by side with other collectors: this one names this tree's registry.
    const std::string want = std::string(1, '\0') + Env()[0] + std::string(1, '\0');
    for (const std::string& name : platform::ListDirectory("/proc", "[0-9]*", false))
    {
        if (ReadFile("/proc/" + name + "/comm") != "Quillbarn\n")
            continue;
        std::string env = std::string(1, '\0') + ReadFile("/proc/" + name + "/environ");
        if (env.find(want) != std::string::npos)
            return atoi(name.c_str());
    }
    return -1;
}

int CCollectorHarness::Stop()
{
    if (m_Pid <= 0)
        return -1;
    RunProgram({BinDir() + "/Quillbarn", "-StopAll"}, Env(), 20000);
    int code = WaitExit(m_Pid, 60000);
    m_Pid = -1;
    return code;
}

void CCollectorHarness::Kill()
{
    if (m_Pid <= 0)
        return;
    kill(m_Pid, SIGKILL);
    WaitExit(m_Pid, 10000);
    m_Pid = -1;
}

bool CCollectorHarness::IsRunning()
{
    if (m_Pid <= 0)
        return false;
    if (WaitExit(m_Pid, 0) == -1)
        return true;
    m_Pid = -1;
    return false;
}

std::map<std::string, std::string> CCollectorHarness::RunDevsim(const std::vector<std::string>& args,
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

std::map<std::string, std::string> CCollectorHarness::RunSeqCheck(int first, int last,
                                                                  const std::vector<std::string>& extra,
                                                                  int* exitCode, int timeoutMs)
{
    std::vector<std::string> argv = {BinDir() + "/seqcheck"};
    for (int i = first; i <= last; ++i)
    {
        argv.push_back("--device");
        argv.push_back(std::to_string(i) + "=" + DeviceDb(i));
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string out;
    const int code = RunProgram(argv, {}, timeoutMs, &out);
    if (exitCode)
        *exitCode = code;
    std::map<std::string, std::string> total = KeyValuesAfter(out, "total ");
    total["_output"] = out;
    return total;
}

std::string CCollectorHarness::Log()
{
    return m_Tree ? m_Tree->ReadLogs() : std::string();
}

std::string CCollectorHarness::DeviceDb(int i) const
{
    return m_DeviceDbs.at(static_cast<size_t>(i - 1));
}

std::string CCollectorHarness::Query(const std::string& sql)
{
    return QueryValue(m_Conn, sql, "<error>");
}

long long CCollectorHarness::Count(const std::string& sql)
{
    return atoll(Query(sql).c_str());
}

bool CCollectorHarness::WaitCount(const std::string& sql, long long want, int timeoutMs)
{
    return WaitUntil([&] { return Count(sql) >= want; }, timeoutMs);
}
} // namespace qbtest
