#include "support/RawDevice.h"

#include "support/TestHelpers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qbtest
{
namespace
{
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void PutLe32(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

int ConnectLoopback(int port, int rcvbuf)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size())
    {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

PeerState WatchPeer(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) == 0)
        return PeerState::Open;
    char b;
    ssize_t r = recv(fd, &b, 1, MSG_DONTWAIT);
    return r > 0 || (r < 0 && errno == EAGAIN) ? PeerState::Open : PeerState::Closed;
}

int MsUntilClosed(int fd, int timeoutMs)
{
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(timeoutMs);
    char buf[256];
    for (;;)
    {
        int left = MsLeft(end);
        if (left <= 0)
            return -1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) > 0 && recv(fd, buf, sizeof buf, 0) <= 0)
            return static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
}

CRawDevice::~CRawDevice()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

std::string CRawDevice::Read(size_t bytes, int timeoutMs)
{
    std::string out;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < bytes && Clock::now() < end)
    {
        pollfd p{m_Fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(end)) <= 0)
            break;
        char buf[4096];
        ssize_t n = recv(m_Fd, buf, std::min(sizeof(buf), bytes - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string RawHead(uint32_t type, uint32_t statedLen, const std::string& secret)
{
    std::string h = "logs1111" + Md5(secret);
    h.resize(42, '\0');
    PutLe32(h, 24, type);
    PutLe32(h, 28, statedLen);
    // 2026-03-14 as the device packs a date.
    h[32] = 0x07;
    h[33] = static_cast<char>(0xEA);
    h[34] = 3;
    h[35] = 14;
    return h;
}

std::string RawKeepAlive(const std::string& secret)
{
    std::string r = RawHead(0, 58, secret);
    r.resize(58, '\0');
    PutLe32(r, 46, 1);
    return r;
}

std::string RawPush(int updateType, const std::string& doc, const std::string& secret)
{
    std::string r = RawHead(5, static_cast<uint32_t>(78 + doc.size()), secret);
    r.resize(78, '\0');
    PutLe32(r, 42, static_cast<uint32_t>(updateType));
    std::string md5 = Md5Hex(doc);
    std::memcpy(&r[46], md5.data(), 32);
    return r + doc;
}
} // namespace qbtest
