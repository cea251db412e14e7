#pragma once
#include "platform/CriticalSection.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <set>

// Creates, records and closes the sockets of the collector.
class CSocketManager
{
public:
    static CSocketManager* GetInstance();
    virtual ~CSocketManager() = default;

    bool Init();
    // Sockets still recorded are left open.
    bool UnInit();

    // Type 1: TCP stream, type 2: UDP datagram, other types with protocol 0;
    // IPv4. The invalid socket on failure or when not initialised.
    platform::SOCKET AllocSocket(int type);
    // Records an accepted socket.
    bool AddSocket(platform::SOCKET s);
    // Forgets the socket and, when `close` is non-zero, closes it (also when
    // it was not recorded).
    bool ReleaseSocket(platform::SOCKET s, int close);

    size_t GetSocketCount();
    bool IsSocketRecorded(platform::SOCKET s);

    static bool SetRecvBufferSize(platform::SOCKET s, int bytes);
    static bool SetKeepAlive(platform::SOCKET s, uint32_t idleMs, uint32_t intervalMs);
    // Do nothing and return 0 for socket 0, the invalid socket, a null
    // buffer or length 0.
    static int Recv(platform::SOCKET s, char* buffer, int length, int flags);
    static int Send(platform::SOCKET s, const char* buffer, int length, int flags);

    // The collector's local services (info query, metrics) listen on 127.0.0.1 only.
    // A recorded TCP socket, non-blocking and with address reuse, so that a restarted collector gets its
    // port back while earlier connections are in TIME_WAIT. What fails is logged as the service's own
    // "[Run]" lines under `moduleTag`; INVALID_SOCKET when no socket could be had.
    platform::SOCKET AllocLoopbackListener(const char* moduleTag);
    enum class ELoopbackStep
    {
        LISTENING,
        BIND_FAILED,
        LISTEN_FAILED
    };
    // One pass of starting to listen on 127.0.0.1:port: binds unless `bound`, then listens. A socket whose
    // bind failed is never listened on (the kernel would bind it to every interface on a random port);
    // the caller tries again on a later pass, when the port may be free.
    static ELoopbackStep ListenOnLoopback(platform::SOCKET s, uint16_t port, bool& bound);

private:
    CSocketManager() = default;
    bool IsInit() const { return m_bInit.load() != 0; }

    std::set<platform::SOCKET> m_Sockets;
    platform::CCriticalSection m_Lock;
    std::atomic<int32_t> m_bInit{0};
};
