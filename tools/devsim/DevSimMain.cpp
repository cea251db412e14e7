// devsim: simulated SSL VPN gateways for tests and load generation (see --help).
#include "DevSimOptions.h"
#include "DeviceSession.h"
#include "FileUploader.h"
#include "RecordEncoder.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace devsim;

namespace
{
// Sends the watchdog probe and prints what came back. Mirrors the watchdog: 10 s for an answer,
// at most 1023 bytes read, alive when the first 14 bytes are the tag.
int RunProbe(const CDevSimOptions& opt)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(opt.m_Host.c_str(), std::to_string(opt.m_Port).c_str(), &hints, &res) != 0)
    {
        std::printf("probe=unresolved\n");
        return 1;
    }
    int fd = -1;
    for (addrinfo* ai = res; ai && fd < 0; ai = ai->ai_next)
    {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
        {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0)
    {
        std::printf("probe=connect-failed (%s)\n", std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> rec;
    CRecordEncoder::Probe(rec);
    if (send(fd, rec.data(), rec.size(), MSG_NOSIGNAL) != ssize_t(rec.size()))
    {
        std::printf("probe=send-failed\n");
        close(fd);
        return 1;
    }
    char buf[1024];
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got < 14)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left.count())) <= 0)
            break;
        ssize_t n = recv(fd, buf + got, 1023 - got, 0);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    close(fd);
    std::printf("answer=");
    for (size_t i = 0; i < got && i < 14; ++i)
        std::printf(buf[i] >= 32 && buf[i] < 127 ? "%c" : "\\x%02x",
                    buf[i] >= 32 && buf[i] < 127 ? buf[i] : (unsigned char)buf[i]);
    std::printf("\nanswer_bytes=%zu\n", got);
    const bool ok = got >= 14 && std::memcmp(buf, kProbeTag, 14) == 0;
    std::printf("probe=%s\n", ok ? "ok" : "bad");
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    CDevSimOptions opt;
    if (!opt.Parse(argc, argv))
        return 2;
    if (opt.m_Help)
    {
        CDevSimOptions::PrintUsage(argv[0]);
        return 0;
    }
    if (opt.m_Probe)
        return RunProbe(opt);
    if (!opt.m_Upload.empty())
    {
        CFileUploader uploader(opt);
        bool ok = uploader.Run();
        uploader.PrintReport();
        return ok ? 0 : 1;
    }

    std::vector<std::unique_ptr<CDeviceSession>> sessions;
    for (int i = 0; i < opt.m_Devices; ++i)
        sessions.push_back(std::make_unique<CDeviceSession>(opt, i));
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (auto& s : sessions)
        threads.emplace_back([&s] { s->Run(); });
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    SDeviceStats total;
    int connected = 0, failed = 0;
    for (size_t i = 0; i < sessions.size(); ++i)
    {
        const SDeviceStats& s = sessions[i]->Stats();
        for (int k = 0; k < KIND_COUNT; ++k)
        {
            total.m_Sent[k] += s.m_Sent[k];
            total.m_Acked[k] += s.m_Acked[k];
        }
        total.m_Pushes += s.m_Pushes;
        total.m_GarbageRuns += s.m_GarbageRuns;
        total.m_GarbageBytes += s.m_GarbageBytes;
        total.m_RepliesKeepAlive += s.m_RepliesKeepAlive;
        total.m_RepliesPush += s.m_RepliesPush;
        total.m_BadReplies += s.m_BadReplies;
        total.m_MissingReplies += s.m_MissingReplies;
        total.m_BytesSent += s.m_BytesSent;
        total.m_BytesReceived += s.m_BytesReceived;
        connected += s.m_Connected ? 1 : 0;
        total.m_Connections += s.m_Connections;
        if (s.m_Failed)
        {
            ++failed;
            std::fprintf(stderr, "devsim: device %s: %s\n", opt.DeviceName(int(i)).c_str(),
                         s.m_Error.c_str());
        }
    }
    uint64_t records = 0;
    for (int k = 0; k < KIND_COUNT; ++k)
        records += total.m_Sent[k];

    std::printf("devices=%d\nconnected=%d\nfailed=%d\n", opt.m_Devices, opt.m_Offline ? 0 : connected,
                failed);
    std::printf("connections=%llu\n", (unsigned long long)total.m_Connections);
    std::printf("sent.push=%llu\n", (unsigned long long)total.m_Pushes);
    for (int k = 0; k < KIND_COUNT; ++k)
        std::printf("sent.%s=%llu\n", kKindNames[k], (unsigned long long)total.m_Sent[k]);
    std::printf("sent.records=%llu\n", (unsigned long long)records);
    // Acknowledged: sent before the last keepalive that was answered. sent.* also counts records
    // that were still in this side's buffers, or in the collector's socket, when the connection ended.
    uint64_t acked = 0;
    for (int k = 0; k < KIND_COUNT; ++k)
    {
        std::printf("acked.%s=%llu\n", kKindNames[k], (unsigned long long)total.m_Acked[k]);
        acked += total.m_Acked[k];
    }
    std::printf("acked.records=%llu\n", (unsigned long long)acked);
    std::printf("sent.garbage_runs=%llu\nsent.garbage_bytes=%llu\n", (unsigned long long)total.m_GarbageRuns,
                (unsigned long long)total.m_GarbageBytes);
    std::printf("replies.keepalive=%llu\nreplies.push=%llu\nreplies.bad=%llu\nreplies.missing=%llu\n",
                (unsigned long long)total.m_RepliesKeepAlive, (unsigned long long)total.m_RepliesPush,
                (unsigned long long)total.m_BadReplies, (unsigned long long)total.m_MissingReplies);
    std::printf("bytes.sent=%llu\nbytes.received=%llu\n", (unsigned long long)total.m_BytesSent,
                (unsigned long long)total.m_BytesReceived);
    std::printf("elapsed_s=%.3f\nrecords_per_s=%.0f\nmbytes_per_s=%.1f\n", elapsed,
                elapsed > 0 ? double(records) / elapsed : 0.0,
                elapsed > 0 ? double(total.m_BytesSent) / elapsed / 1e6 : 0.0);
    std::printf("result=%s\n", failed ? "fail" : "ok");
    return failed ? 1 : 0;
}
