#include "support/PrivateServer.h"

#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <csignal>
#include <cstdlib>
#include <sstream>

namespace qbtest
{
CPrivateServer::CPrivateServer()
{
    for (const char* n : {"QB_TEST_DB_HOST", "QB_TEST_DB_PORT", "QB_TEST_DB_USER", "QB_TEST_DB_PASSWORD",
                          "QB_TEST_DB_SOCKET", "QB_TEST_DB_DIR"})
        if (const char* v = getenv(n))
            m_Saved[n] = v;
    m_Dir = MakeTempDir("qb_privdb");
}

CPrivateServer::~CPrivateServer()
{
    Script("stop");
    for (const auto& [k, v] : m_Saved)
        setenv(k.c_str(), v.c_str(), 1);
    RemoveTree(m_Dir);
}

bool CPrivateServer::Start()
{
    std::string out;
    if (Script("start", &out) != 0)
        return false;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("export ", 0) == 0)
        {
            size_t eq = line.find('=');
            setenv(line.substr(7, eq - 7).c_str(), line.substr(eq + 1).c_str(), 1);
        }
    return true;
}

bool CPrivateServer::Stop()
{
    return Script("stop") == 0;
}

void CPrivateServer::Kill()
{
    pid_t pid = atoi(ReadFile(m_Dir + "/mysqld.pid").c_str());
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    WaitUntil([&] { return kill(pid, 0) != 0; }, 10000);
}

int CPrivateServer::Script(const char* command, std::string* output)
{
    std::string o;
    int code =
        RunProgram({"/bin/bash", std::string(QB_SOURCE_DIR) + "/scripts/test-mariadb.sh", command, m_Dir}, {},
                   120000, &o);
    if (output)
        *output = o;
    return code;
}
} // namespace qbtest
