#pragma once
// A MariaDB of one test alone, which it may stop and kill (scripts/test-mariadb.sh in a temporary
// directory). Start points QB_TEST_DB_* at it; the values they had are restored when it goes.
#include <map>
#include <string>

namespace qbtest
{
class CPrivateServer
{
public:
    CPrivateServer();
    ~CPrivateServer();
    CPrivateServer(const CPrivateServer&) = delete;
    CPrivateServer& operator=(const CPrivateServer&) = delete;

    bool Start();
    bool Stop();
    // SIGKILL of the server; waits until it is gone.
    void Kill();

private:
    int Script(const char* command, std::string* output = nullptr);

    std::string m_Dir;
    std::map<std::string, std::string> m_Saved;
};
} // namespace qbtest
