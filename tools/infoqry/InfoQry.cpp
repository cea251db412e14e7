// infoqry [port]: asks the collector on 127.0.0.1 (port 9509 by default) for its merge statistics and
// prints them in words, then the data files that never loaded and wait in the install tree's
// Kelv/DataFile/Failed (counted here: the reply's layout stays as it is). Exit code 0 with an
// answer, 1 without one, 2 for a bad argument.
#include "core/GlobalSharedData.h"
#include "platform/FileSystem.h"
#include "protocol/InfoQueryProtocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int REPLY_TIMEOUT_MS = 5000;

const char* OnOff(uint32_t v)
{
    return v != 0 ? "on" : "off";
}

// Reads exactly n bytes within the time-out; false on close, error or time-out.
bool ReadAll(int fd, char* out, size_t n)
{
    size_t got = 0;
    while (got < n)
    {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, REPLY_TIMEOUT_MS);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t k = recv(fd, out + got, n - got, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

// Files in <dir>/<database>/<table>/, where the collector sets aside data files that failed to load.
unsigned CountFailedDataFiles(const std::string& dir)
{
    unsigned count = 0;
    for (const std::string& db : platform::ListDirectory(dir, "*", false))
        for (const std::string& table : platform::ListDirectory(dir + "/" + db, "*", false))
            count += static_cast<unsigned>(
                platform::ListDirectory(dir + "/" + db + "/" + table, "*", true).size());
    return count;
}
} // namespace

int main(int argc, char** argv)
{
    long port = INFO_QUERY_DEFAULT_PORT;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))
    {
        std::printf(
            "NAME\n"
            "    infoqry - print the live counters of a running collector\n"
            "SYNOPSIS\n"
            "    infoqry [PORT]\n"
            "DESCRIPTION\n"
            "    Asks the collector on 127.0.0.1 at PORT (ListenPort of [InfoRetrieve] in KelvAdv.conf,\n"
            "    default %u) for its counters and prints them in words: records received and merged,\n"
            "    merge buffers and their fill, merging per kind, and the data files waiting in\n"
            "    Kelv/DataFile/Failed of the install tree (found as the collector finds it).\n"
            "ENVIRONMENT\n"
            "    QUILLBARN_REGISTRY   the file-backed registry naming the install tree\n"
            "EXIT STATUS\n"
            "    0 on an answer, 1 when the collector did not answer, 2 for a usage error.\n",
            INFO_QUERY_DEFAULT_PORT);
        return 0;
    }
    if (argc > 2)
    {
        std::fprintf(stderr, "usage: infoqry [port]   (default %u)\n", INFO_QUERY_DEFAULT_PORT);
        return 2;
    }
    if (argc == 2)
    {
        char* end = nullptr;
        port = std::strtol(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || port < 1 || port > 65535)
        {
            std::fprintf(stderr, "infoqry: invalid port '%s'\n", argv[1]);
            return 2;
        }
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        std::perror("infoqry: socket");
        return 1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        std::fprintf(stderr, "infoqry: cannot connect to 127.0.0.1:%ld: %s\n", port, std::strerror(errno));
        close(fd);
        return 1;
    }

    InfoQueryHeader query{};
    query.m_HeaderSize = sizeof(InfoQueryHeader);
    std::memcpy(query.m_Sign, INFO_QUERY_SIGN, sizeof(query.m_Sign));
    query.m_QueryType = INFO_QUERY_TYPE_LOGMERGE;
    if (send(fd, &query, sizeof(query), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(query)))
    {
        std::fprintf(stderr, "infoqry: cannot send the query: %s\n", std::strerror(errno));
        close(fd);
        return 1;
    }

    InfoReplyHeader head{};
    InfoLogMergeReplyData data{};
    bool ok = ReadAll(fd, reinterpret_cast<char*>(&head), sizeof(head));
    if (ok && (head.m_HeaderSize != sizeof(head) || std::memcmp(head.m_Sign, INFO_REPLY_SIGN, 8) != 0 ||
               head.m_DataSize != sizeof(data)))
    {
        std::fprintf(stderr, "infoqry: unexpected reply header (size %u, data size %u)\n", head.m_HeaderSize,
                     head.m_DataSize);
        close(fd);
        return 1;
    }
    ok = ok && ReadAll(fd, reinterpret_cast<char*>(&data), sizeof(data));
    close(fd);
    if (!ok)
    {
        std::fprintf(stderr, "infoqry: no complete reply from 127.0.0.1:%ld\n", port);
        return 1;
    }

    std::printf("Log merging:            %s\n", OnOff(data.m_GlobalEnableLogMerge));
    std::printf("Records received:       %" PRIu64 "\n", data.m_RecvLogCount.Get());
    std::printf("Records merged:         %" PRIu64 "\n", data.m_MergedTotal.Get());
    std::printf("Merge buffers:          %u\n", data.m_BuffCount);
    std::printf("Buffer capacity:        %u bytes\n", data.m_BuffCapacity);
    std::printf("Buffer fill:            %u%%\n", data.m_FillPercent);
    std::printf("Resource access merge:  %s, %" PRIu64 " merged\n", OnOff(data.m_UserLogEnableLogMerge),
                data.m_MergedSvrLogCount.Get());
    std::printf("Flow merge:             %s, %" PRIu64 " merged\n", OnOff(data.m_FlowLogEnableLogMerge),
                data.m_MergedFlowLogCount.Get());
    std::printf("System log merge:       %s, %" PRIu64 " merged\n", OnOff(data.m_SysLogEnableLogMerge),
                data.m_MergedSysLogCount.Get());
    // The install tree as the collector finds it: the registry's install path, else two levels above
    // this program.
    std::string install = CGlobalSharedData::ComputeInstallDir(platform::ExecutablePath());
    if (install.empty())
        std::printf("Failed data files:      unknown (no install directory)\n");
    else
    {
        std::string failed = install + "/Kelv/DataFile/Failed";
        std::printf("Failed data files:      %u (in %s)\n", CountFailedDataFiles(failed), failed.c_str());
    }
    return 0;
}
