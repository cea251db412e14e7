#pragma once
#include "support/InstallTree.h"

#include <map>
#include <memory>
#include <mysql.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qbtest
{
// Whether a TCP connection to 127.0.0.1:port is accepted.
bool PortOpen(int port);

// A real collector process on a temporary install tree, pointed at the test
// MariaDB with a global database and device databases of its own.
class CCollectorHarness
{
public:
    CCollectorHarness();
    ~CCollectorHarness();

    // Creates the tree, the global database and `devices` device databases
    // (device i: name "dev<i>", secret "secret<i>", database <prefix>_dev<i>).
    bool Prepare(int devices);
    // Extra configuration before Start: a key of a file in Kelv/Config.
    void SetConfig(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value);
    // Extra environment of the collector process (e.g. the test-only interval
    // divisor "QUILLBARN_TEST_TIME_DIVISOR=60"); `mode` is the collector's switch (its output goes to
    // console.out in the tree).
    bool Start(const std::vector<std::string>& extraEnv = {}, const std::string& mode = "-Console");
    // The collector process of this tree, found by the registry named in its environment (for one that
    // was not started by Start); -1 when none runs.
    pid_t FindPid() const;
    // Orderly stop (StopAll); returns the exit code.
    int Stop();
    // SIGKILL, for crash scenarios.
    void Kill();
    bool IsRunning();

    // Runs devsim against the collector; the report's key=value lines.
    std::map<std::string, std::string> RunDevsim(const std::vector<std::string>& args,
                                                 int* exitCode = nullptr, int timeoutMs = 120000);
    // Runs seqcheck over devices first..last (their databases) with `extra` options; the "total" line's
    // fields, and the whole output as "_output".
    std::map<std::string, std::string> RunSeqCheck(int first, int last, const std::vector<std::string>& extra,
                                                   int* exitCode = nullptr, int timeoutMs = 300000);

    std::string Log();
    std::string DeviceDb(int i) const;
    MYSQL* Db() { return m_Conn; }
    std::string Query(const std::string& sql);
    long long Count(const std::string& sql);
    // Waits until `sql` returns at least `want` (as a number).
    bool WaitCount(const std::string& sql, long long want, int timeoutMs);

    int Port() const { return m_Port; }
    // The running collector's process id (-1 when none).
    pid_t Pid() const { return m_Pid; }
    int InfoPort() const { return m_InfoPort; }
    int MetricsPort() const { return m_MetricsPort; }
    // The install tree (empty before Prepare) and the environment that names it.
    const std::string& Dir() const;
    std::vector<std::string> Env() const;

private:
    std::unique_ptr<CInstallTree> m_Tree;
    std::string m_Prefix, m_GlobalDb;
    std::vector<std::string> m_DeviceDbs;
    int m_Port = 0, m_InfoPort = 0, m_MetricsPort = 0;
    pid_t m_Pid = -1;
    MYSQL* m_Conn = nullptr;
};
} // namespace qbtest
