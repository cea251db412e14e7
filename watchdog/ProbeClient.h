#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A TCP client socket for the watchdog's probe: non-blocking connect, then bounded waits for
// writability and for data. Failures report errno values.
class CProbeClient
{
public:
    CProbeClient() = default;
    ~CProbeClient();
    CProbeClient(const CProbeClient&) = delete;
    CProbeClient& operator=(const CProbeClient&) = delete;

    bool Create();
    bool SetNonBlocking();
    // 0 when connected or in progress (EINPROGRESS counts as started), else the errno of the attempt.
    int Connect(const std::string& ipv4, uint16_t port);
    // True when the connection is established within timeoutMs (a connection that failed is not
    // writable: its error is taken, as the original's select never listed it among writable sockets).
    bool WaitWritable(uint32_t timeoutMs);
    // True when data (or the peer's close) is there to read within timeoutMs.
    bool WaitReadable(uint32_t timeoutMs);
    // Sends all bytes unless the connection fails; the count sent, or -1.
    long Send(const void* data, size_t len, uint32_t timeoutMs);
    // One receive of at most len bytes; the count, 0 at the peer's close, -1 on error.
    long Recv(void* buf, size_t len);
    void Close();
    int GetLastError() const { return m_LastError; }

private:
    bool Wait(short events, uint32_t timeoutMs);
    int m_Fd = -1;
    int m_LastError = 0;
};
