// Command-line front end of libschemalift for installers and operators:
//   schemalift-cli HOST USER PASSWORD DATABASE PORT LOGPATH
// The exit code is the function's result (0, or 255 for -1). A PASSWORD of "-" is read from
// the first line of standard input, which keeps it out of the process list. One line per device
// database (its place, name and result) and a summary go to standard output; the details stay in
// LOGPATH.
#include "schemalift/SchemaLift.h"
#include "schemalift/SchemaUpgrade.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace
{
int Usage()
{
    std::cerr << "usage: schemalift-cli HOST USER PASSWORD DATABASE PORT LOGPATH\n"
                 "  Upgrades the global database and every device database listed in DATABASE.dev_node.\n"
                 "  PASSWORD \"-\" reads the password from the first line of standard input.\n";
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h"))
    {
        std::cout
            << "NAME\n"
               "    schemalift-cli - upgrade the collector's databases to the current schema\n"
               "SYNOPSIS\n"
               "    schemalift-cli HOST USER PASSWORD DATABASE PORT LOGPATH\n"
               "DESCRIPTION\n"
               "    Runs the upgrade of libschemalift's update_velmo_dc: the global database DATABASE and\n"
               "    every device database listed in DATABASE.dev_node, logging to LOGPATH. Prints one line\n"
               "    per device database (n of N, name, result) and a summary. A PASSWORD of \"-\" is read\n"
               "    from the first line of standard input (out of the process list).\n"
               "EXIT STATUS\n"
               "    The function's result: 0, or 255 for -1; 2 for a usage error.\n";
        return 0;
    }
    if (argc != 7)
        return Usage();
    errno = 0;
    char* end = nullptr;
    long port = strtol(argv[5], &end, 10);
    if (errno != 0 || end == argv[5] || *end != '\0' || port < 0 || port > INT_MAX)
        return Usage();
    std::string password = argv[3];
    if (password == "-")
    {
        if (!std::getline(std::cin, password))
            password.clear();
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
    }
    size_t done = 0;
    size_t failed = 0;
    auto progress = [&](size_t index, size_t count, const char* dbName, bool ok)
    {
        ++done;
        if (!ok)
            ++failed;
        printf("schemalift-cli: %zu of %zu %s %s\n", index, count, dbName, ok ? "upgraded" : "FAILED");
        fflush(stdout);
    };
    int result = schemalift::UpgradeAll(argv[1], argv[2], password.c_str(), argv[4], static_cast<int>(port),
                                        argv[6], progress);
    if (result != 0)
        printf("schemalift-cli: the device list of %s could not be read (see %s)\n", argv[4], argv[6]);
    else
        printf("schemalift-cli: %zu database(s) upgraded, %zu failed (details in %s)\n", done - failed,
               failed, argv[6]);
    return result == -1 ? 255 : result;
}
