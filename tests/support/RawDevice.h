#pragma once
// A device as bare bytes: a loopback TCP connection to the collector's device port over which a test
// sends records it built by hand (or cut, or garbage) and reads the replies.
#include <cstdint>
#include <string>

namespace qbtest
{
// A connected loopback socket (receive buffer of `rcvbuf` bytes when given); -1 when refused.
int ConnectLoopback(int port, int rcvbuf = 0);
// Sends every byte; false when the connection broke first.
bool SendAll(int fd, const std::string& bytes);

// "Open": nothing arrived and the connection stays; "closed": end of stream or reset within the time.
enum class PeerState
{
    Open,
    Closed
};
PeerState WatchPeer(int fd, int timeoutMs);
// Milliseconds until the peer closes the connection (whatever it sends before is read and dropped),
// or -1 after timeoutMs.
int MsUntilClosed(int fd, int timeoutMs);

class CRawDevice
{
public:
    explicit CRawDevice(int port, int rcvbuf = 0) : m_Fd(ConnectLoopback(port, rcvbuf)) {}
    ~CRawDevice();
    CRawDevice(const CRawDevice&) = delete;
    CRawDevice& operator=(const CRawDevice&) = delete;

    bool Connected() const { return m_Fd >= 0; }
    int Fd() const { return m_Fd; }
    bool Send(const std::string& bytes) { return SendAll(m_Fd, bytes); }
    // Reads until `bytes` more bytes arrived or the time is up; what arrived.
    std::string Read(size_t bytes, int timeoutMs);

private:
    int m_Fd = -1;
};

// Writes `value` at `at` as the wire does: 4 bytes, least significant first.
void PutLe32(std::string& bytes, size_t at, uint32_t value);

// Records by hand for the device whose secret is `secret`: a head of the given type and stated
// length, a keepalive, and a directory push of `doc` (update type 1 users, 2 administrators).
std::string RawHead(uint32_t type, uint32_t statedLen, const std::string& secret = "secret1");
std::string RawKeepAlive(const std::string& secret = "secret1");
std::string RawPush(int updateType, const std::string& doc, const std::string& secret = "secret1");
} // namespace qbtest
