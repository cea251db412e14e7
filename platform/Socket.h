#pragma once
#include "platform/Event.h"

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>

namespace platform
{
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
// "The operation would block": the code the design's callers test for.
constexpr int WSAEWOULDBLOCK = EWOULDBLOCK;

// Network event bits and their indices in the error-code array.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS
{
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};

// Error of the last socket call of this thread (an errno value; 0 after
// success). Kept apart from errno so that logging in between does not lose it.
int WSAGetLastError();
void WSASetLastError(int error);

// Thin wrappers over the socket calls. Every descriptor is close-on-exec.
// Send never raises SIGPIPE: a broken connection is an EPIPE error.
SOCKET CreateSocket(int af, int type, int protocol);
int CloseSocket(SOCKET s);
// The accepted socket is non-blocking when the listening one is (as an
// event-selected listener's accepted sockets are).
SOCKET Accept(SOCKET s, sockaddr_in* peer);
int Bind(SOCKET s, const sockaddr_in& addr);
int Listen(SOCKET s, int backlog);
int Connect(SOCKET s, const sockaddr_in& addr);
int Recv(SOCKET s, char* buffer, int length, int flags);
int Send(SOCKET s, const char* buffer, int length, int flags);
bool SetNonBlocking(SOCKET s, bool nonBlocking);
bool SetRecvBufferSize(SOCKET s, int bytes);
// Lets a listener bind its port while connections of an earlier listener
// on it are still in TIME_WAIT (it does not let two listeners share a port).
bool SetReuseAddress(SOCKET s, bool on);
// Keepalive with the idle time and probe interval in milliseconds (rounded
// up to whole seconds) and ten probes.
bool SetKeepAlive(SOCKET s, uint32_t idleMs, uint32_t intervalMs);
bool GetPeerName(SOCKET s, sockaddr_in* peer);
bool GetSockName(SOCKET s, sockaddr_in* local);

// A network event object: selected on one socket for a set of network
// events, it is signalled while one of them is recorded and not yet
// enumerated (manual reset: enumeration clears it). Recording follows the
// rules applications of event-selected sockets rely on:
//  - FD_ACCEPT: a connection waits; again after each Accept.
//  - FD_READ: data waits; again after each Recv (so while data remains).
//  - FD_WRITE: the socket can send; once after selection, and again only
//    after a Send would have blocked (or sent less than asked).
//  - FD_CLOSE: once, on an orderly or abortive close, with the error code
//    of the close (0 for orderly); FD_READ comes with it while bytes remain.
// Selecting again clears what was recorded and enables every selected event.
class CSocketEvent : public CWaitable
{
public:
    CSocketEvent();
    ~CSocketEvent() override;
    CSocketEvent(const CSocketEvent&) = delete;
    CSocketEvent& operator=(const CSocketEvent&) = delete;

    bool IsValid() const { return m_SignalFd >= 0; }
    SOCKET GetSocket() const;
    long GetSelectedEvents() const;

    // Waits on the socket for what is enabled, or on an internal descriptor
    // when something is recorded (ready) or nothing can come (never ready).
    int GetWaitFd() const override;
    short GetWaitPollEvents() const override;
    bool TryAcquire() override;

private:
    friend bool WSAEventSelect(SOCKET s, CSocketEvent* event, long networkEvents);
    friend bool WSAEnumNetworkEvents(SOCKET s, CSocketEvent* event, WSANETWORKEVENTS* events);
    friend struct SocketEventAccess;

    void UpdateLocked();
    void SetSignalLocked(bool set);
    void Reenable(long bits, int ioError);
    void DetachLocked();

    mutable std::mutex m_Lock;
    int m_SignalFd;
    bool m_bSignalled = false;
    SOCKET m_Socket = INVALID_SOCKET;
    long m_Selected = 0;
    long m_Enabled = 0;
    long m_Recorded = 0;
    int m_ErrorCode[FD_MAX_EVENTS] = {};
    bool m_bListening = false;
    bool m_bCloseReported = false;
    bool m_bPeerClosed = false; // no more data can arrive
    bool m_bHangUp = false;     // the socket reports hang-up or an error forever
    int m_IoError = 0;          // last hard error a Recv or Send saw
    short m_WaitEvents = 0;
};

// Associates the event with the socket for the given events (0 removes the
// association) and makes the socket non-blocking. A socket has at most one
// event; closing it through CloseSocket ends the association.
bool WSAEventSelect(SOCKET s, CSocketEvent* event, long networkEvents);
// Reports and clears the recorded events of the socket; the error codes are
// those of the events reported. False when the event is not selected on s.
bool WSAEnumNetworkEvents(SOCKET s, CSocketEvent* event, WSANETWORKEVENTS* events);
} // namespace platform
