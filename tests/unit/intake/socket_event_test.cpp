#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace
{
uint64_t ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on an ephemeral loopback port with its event selected
// for accept and close, as the collector's listener sets it up.
struct Listener
{
    SOCKET s = INVALID_SOCKET;
    CSocketEvent event;
    uint16_t port = 0;

    Listener()
    {
        s = CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(Bind(s, Loopback(0)), 0);
        EXPECT_TRUE(WSAEventSelect(s, &event, FD_ACCEPT | FD_CLOSE));
        EXPECT_EQ(Listen(s, SOMAXCONN), 0);
        sockaddr_in local{};
        EXPECT_TRUE(GetSockName(s, &local));
        port = ntohs(local.sin_port);
    }
    ~Listener() { CloseSocket(s); }
};

// A plain blocking client socket.
int ConnectClient(uint16_t port)
{
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    return c;
}

uint32_t Wait(CSocketEvent& e, uint32_t ms)
{
    return WaitForSingleObject(&e, ms);
}

long Enum(SOCKET s, CSocketEvent& e, WSANETWORKEVENTS& ne)
{
    EXPECT_TRUE(WSAEnumNetworkEvents(s, &e, &ne));
    return ne.lNetworkEvents;
}

// An accepted connection with its own event selected for read, write and
// close (the device connection's selection); the first write readiness is
// already consumed.
struct Connection
{
    Listener listener;
    int client = -1;
    SOCKET server = INVALID_SOCKET;
    CSocketEvent event;

    Connection()
    {
        client = ConnectClient(listener.port);
        EXPECT_EQ(Wait(listener.event, 2000), WAIT_OBJECT_0);
        WSANETWORKEVENTS ne{};
        Enum(listener.s, listener.event, ne);
        server = Accept(listener.s, nullptr);
        EXPECT_NE(server, INVALID_SOCKET);
        EXPECT_TRUE(WSAEventSelect(server, &event, FD_READ | FD_WRITE | FD_CLOSE));
        EXPECT_EQ(Wait(event, 2000), WAIT_OBJECT_0);
        EXPECT_EQ(Enum(server, event, ne), FD_WRITE);
    }
    ~Connection()
    {
        if (client >= 0)
            close(client);
        CloseSocket(server);
    }
};
} // namespace

TEST(SocketEventTest, AcceptIsReportedAgainOnlyAfterAccept)
{
    Listener l;
    ASSERT_NE(l.port, 0);
    EXPECT_EQ(Wait(l.event, 50), WAIT_TIMEOUT);

    int c1 = ConnectClient(l.port);
    int c2 = ConnectClient(l.port);
    ASSERT_EQ(Wait(l.event, 2000), WAIT_OBJECT_0);
    // Manual reset: still signalled until enumerated.
    EXPECT_EQ(Wait(l.event, 0), WAIT_OBJECT_0);
    WSANETWORKEVENTS ne{};
    EXPECT_EQ(Enum(l.s, l.event, ne), FD_ACCEPT);
    EXPECT_EQ(ne.iErrorCode[FD_ACCEPT_BIT], 0);

    // Connections wait, but until accept is called nothing new is recorded
    // and the wait sleeps instead of spinning.
    uint64_t cpu = ThreadCpuMs();
    EXPECT_EQ(Wait(l.event, 300), WAIT_TIMEOUT);
    EXPECT_LT(ThreadCpuMs() - cpu, 100u) << "waiting must not busy-loop";

    sockaddr_in peer{};
    SOCKET a1 = Accept(l.s, &peer);
    ASSERT_NE(a1, INVALID_SOCKET);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_NE(fcntl(a1, F_GETFL) & O_NONBLOCK, 0) << "accepted from an event-selected listener";
    // The second connection is still queued: reported again after the accept.
    ASSERT_EQ(Wait(l.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(l.s, l.event, ne), FD_ACCEPT);
    SOCKET a2 = Accept(l.s, nullptr);
    ASSERT_NE(a2, INVALID_SOCKET);
    EXPECT_EQ(Accept(l.s, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(Wait(l.event, 50), WAIT_TIMEOUT);

    // Enumeration on a socket the event is not selected on fails.
    EXPECT_FALSE(WSAEnumNetworkEvents(a1, &l.event, &ne));
    close(c1);
    close(c2);
    CloseSocket(a1);
    CloseSocket(a2);
}

TEST(SocketEventTest, ReadIsReportedWhileDataWaitsAfterEachRecv)
{
    Connection c;
    WSANETWORKEVENTS ne{};
    EXPECT_EQ(Wait(c.event, 50), WAIT_TIMEOUT) << "write readiness is reported once";

    std::string data(3000, 'x');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    ASSERT_EQ(send(c.client, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(c.server, c.event, ne), FD_READ);
    EXPECT_EQ(ne.iErrorCode[FD_READ_BIT], 0);

    // Unread data does not signal again before the next recv, and does not spin.
    uint64_t cpu = ThreadCpuMs();
    EXPECT_EQ(Wait(c.event, 300), WAIT_TIMEOUT);
    EXPECT_LT(ThreadCpuMs() - cpu, 100u);

    std::string got(3000, '\0');
    ASSERT_EQ(Recv(c.server, &got[0], 1000, 0), 1000);
    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0) << "data remains after a partial recv";
    EXPECT_EQ(Enum(c.server, c.event, ne), FD_READ);
    ASSERT_EQ(Recv(c.server, &got[1000], 2000, 0), 2000);
    EXPECT_EQ(got, data);
    EXPECT_EQ(Recv(c.server, &got[0], 10, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(Wait(c.event, 50), WAIT_TIMEOUT);

    // Deselected: arriving data signals nothing.
    ASSERT_TRUE(WSAEventSelect(c.server, &c.event, 0));
    ASSERT_EQ(send(c.client, "abc", 3, 0), 3);
    EXPECT_EQ(Wait(c.event, 100), WAIT_TIMEOUT);
    // Selected again: the waiting data and write readiness are recorded at once.
    ASSERT_TRUE(WSAEventSelect(c.server, &c.event, FD_READ | FD_WRITE | FD_CLOSE));
    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(c.server, c.event, ne), FD_READ | FD_WRITE);
}

TEST(SocketEventTest, WriteIsReportedAfterSendWouldHaveBlocked)
{
    Connection c;
    WSANETWORKEVENTS ne{};
    int small = 4096;
    ASSERT_EQ(setsockopt(c.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    ASSERT_EQ(setsockopt(c.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)), 0);

    // Fill until the send would block; the peer does not read.
    std::vector<char> chunk(65536, 'w');
    size_t sent = 0;
    for (;;)
    {
        int r = Send(c.server, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (r == SOCKET_ERROR)
        {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            break;
        }
        sent += static_cast<size_t>(r);
        ASSERT_LT(sent, 64u << 20) << "send never blocked";
    }
    EXPECT_EQ(Wait(c.event, 200), WAIT_TIMEOUT) << "no room yet";

    // The peer drains: write readiness comes, once.
    std::vector<char> sink(1 << 16);
    size_t drained = 0;
    while (drained < sent)
    {
        ssize_t r = recv(c.client, sink.data(), sink.size(), 0);
        ASSERT_GT(r, 0);
        drained += static_cast<size_t>(r);
    }
    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(c.server, c.event, ne), FD_WRITE);
    EXPECT_EQ(ne.iErrorCode[FD_WRITE_BIT], 0);
    EXPECT_EQ(Wait(c.event, 100), WAIT_TIMEOUT) << "writable, but no send blocked since";

    // A complete send does not re-enable it; selecting again does.
    ASSERT_EQ(Send(c.server, "ok", 2, 0), 2);
    EXPECT_EQ(Wait(c.event, 100), WAIT_TIMEOUT);
    ASSERT_TRUE(WSAEventSelect(c.server, &c.event, FD_READ | FD_WRITE | FD_CLOSE));
    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(c.server, c.event, ne), FD_WRITE);
}

TEST(SocketEventTest, OrderlyCloseWithPendingBytes)
{
    Connection c;
    WSANETWORKEVENTS ne{};
    std::string data(500, 'p');
    ASSERT_EQ(send(c.client, data.data(), data.size(), 0), 500);
    close(c.client);
    c.client = -1;

    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    platform::Sleep(50); // let the end of stream arrive if the data came first
    long events = Enum(c.server, c.event, ne);
    if (events == FD_READ) // data and close may be seen in two steps
    {
        ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
        events |= Enum(c.server, c.event, ne);
    }
    EXPECT_EQ(events, FD_READ | FD_CLOSE);
    EXPECT_EQ(ne.iErrorCode[FD_CLOSE_BIT], 0) << "orderly close";

    char buf[1000];
    EXPECT_EQ(Recv(c.server, buf, sizeof(buf), 0), 500) << "the bytes sent before the close remain";
    EXPECT_EQ(Recv(c.server, buf, sizeof(buf), 0), 0);

    // Close is reported once; the hung-up socket does not keep the wait busy.
    uint64_t cpu = ThreadCpuMs();
    EXPECT_EQ(Wait(c.event, 300), WAIT_TIMEOUT);
    EXPECT_LT(ThreadCpuMs() - cpu, 100u);
}

TEST(SocketEventTest, AbortiveCloseCarriesResetError)
{
    Connection c;
    WSANETWORKEVENTS ne{};
    linger lg{1, 0};
    ASSERT_EQ(setsockopt(c.client, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
    close(c.client);
    c.client = -1;

    ASSERT_EQ(Wait(c.event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(Enum(c.server, c.event, ne) & FD_CLOSE, FD_CLOSE);
    EXPECT_EQ(ne.iErrorCode[FD_CLOSE_BIT], ECONNRESET);
    uint64_t cpu = ThreadCpuMs();
    EXPECT_EQ(Wait(c.event, 300), WAIT_TIMEOUT);
    EXPECT_LT(ThreadCpuMs() - cpu, 100u);

    // A send on the reset connection fails without a signal.
    EXPECT_EQ(Send(c.server, "x", 1, 0), SOCKET_ERROR);
    EXPECT_NE(WSAGetLastError(), 0);
}

TEST(SocketEventTest, WaitTogetherWithAnEventAndCloseEndsSelection)
{
    Connection c;
    CEvent exitEvent(true, false);
    CWaitable* objects[2] = {&exitEvent, &c.event};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 50), WAIT_TIMEOUT);
    ASSERT_EQ(send(c.client, "hello", 5, 0), 5);
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 2000), WAIT_OBJECT_0 + 1);
    exitEvent.Set();
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 2000), WAIT_OBJECT_0);

    // Closing the socket ends the association; the event then never fires.
    SOCKET s = c.server;
    ASSERT_EQ(CloseSocket(s), 0);
    c.server = INVALID_SOCKET;
    WSANETWORKEVENTS ne{};
    EXPECT_FALSE(WSAEnumNetworkEvents(s, &c.event, &ne));
    EXPECT_EQ(Wait(c.event, 50), WAIT_TIMEOUT);
}

TEST(SocketEventTest, KeepAliveAndReceiveBuffer)
{
    SOCKET s = CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    ASSERT_TRUE(SetKeepAlive(s, 60000, 2000));
    int v = 0;
    socklen_t len = sizeof(v);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &v, &len), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &v, &len), 0);
    EXPECT_EQ(v, 60);
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &v, &len), 0);
    EXPECT_EQ(v, 2);
    ASSERT_TRUE(SetKeepAlive(s, 1500, 1));
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &v, &len), 0);
    EXPECT_EQ(v, 2) << "rounded up to whole seconds";
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &v, &len), 0);
    EXPECT_EQ(v, 1);

    ASSERT_TRUE(SetRecvBufferSize(s, 65536));
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_GE(v, 65536);
    EXPECT_EQ(CloseSocket(s), 0);
    EXPECT_FALSE(SetKeepAlive(s, 1000, 1000));
    EXPECT_EQ(WSAGetLastError(), EBADF);
}
