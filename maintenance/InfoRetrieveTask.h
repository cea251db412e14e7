// Listener of the local info query: answers INFOQRY requests on 127.0.0.1 with the merge statistics.
// Clients are served one at a time on the task's own thread, each through one fixed 1024-byte buffer,
// so a slow or hostile client costs no memory; replies are single non-blocking sends that are not
// retried.
#pragma once
#include "core/Task.h"
#include "platform/Socket.h"
#include "protocol/InfoQueryProtocol.h"

#include <cstdint>

class CInfoRetrieveTask : public CTask
{
public:
    CInfoRetrieveTask() = default;
    ~CInfoRetrieveTask() override;

    uint32_t Run() override;

    // 1 when the global exit event is set.
    int WaitExit(uint32_t timeoutMs);
    // Accepts one client and serves it until it leaves; 0 when accept failed (the listener ends).
    int DoAcceptService(platform::SOCKET listenSocket);
    int DoService(platform::SOCKET s);
    // Up to `length` bytes within the time-out: the count, 0 on time-out or close, -1 on a failed recv.
    int RecvData(platform::SOCKET s, char* buffer, int length, long seconds, long microseconds, int& closed);
    // Each received block is one whole request; nothing is answered for a malformed one.
    int DispatchRequest(platform::SOCKET s, const char* buffer, int length);
    int DoLogMergeInfoRequest(platform::SOCKET s, const char* buffer, int length);

    // Test hook: listen on this port instead of [InfoRetrieve] ListenPort (0 exercises the invalid port).
    void SetListenPortOverride(int port)
    {
        m_PortOverride = port;
        m_bPortOverride = true;
    }

    static constexpr int REQUEST_BUFF_SIZE = 1024;
    static constexpr uint32_t SELECT_TIMEOUT_MS = 5000;
    static constexpr uint32_t REPLY_HEADER_RESERVED1 = 1;
    static constexpr uint32_t REPLY_TYPE_LOGMERGE = 1;
    static constexpr uint32_t REPLY_DATA_VERSION = 1;

private:
    platform::SOCKET m_ListenSocket = platform::INVALID_SOCKET;
    int m_PortOverride = 0;
    bool m_bPortOverride = false;
    // The reply block; only this task's thread fills and sends it.
    InfoLogMergeReplyData m_ReplyData{};
};
