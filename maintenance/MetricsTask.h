// The metrics endpoint: answers GET /metrics on 127.0.0.1 ([Metrics] ListenPort of KelvAdv.conf,
// 0 turns it off) in the Prometheus text format. Clients are served one at a time on the task's own
// thread; a request is read into one fixed 8 KiB buffer within a short time-out and answered once,
// then the connection is closed, so a slow or hostile client costs no memory and holds the endpoint
// for two seconds at most.
#pragma once
#include "core/Task.h"
#include "maintenance/MetricsText.h"
#include "platform/Socket.h"

#include <cstdint>

class CMetricsTask : public CTask
{
public:
    CMetricsTask() = default;
    ~CMetricsTask() override;

    uint32_t Run() override;

    // The live figures of this moment.
    static MetricsSnapshot Collect();

    // Test hook: listen on this port instead of [Metrics] ListenPort.
    void SetListenPortOverride(int port)
    {
        m_PortOverride = port;
        m_bPortOverride = true;
    }

    static constexpr uint32_t BIND_RETRY_MS = 5000;
    // One pass of the listener's wait: the stop request is seen within it.
    static constexpr uint32_t POLL_SLICE_MS = 200;
    // Reading a request and sending its answer each get this long.
    static constexpr uint32_t REQUEST_TIMEOUT_MS = 2000;

private:
    bool ShouldStop();
    void Serve(platform::SOCKET s);
    // Waits for `events` on `s` in slices, ending early on stop: 1 ready, 0 time-out or stop.
    int WaitSocket(platform::SOCKET s, short events, uint32_t timeoutMs);
    // Sends all of `data` within the time-out; false when the client did not take it.
    bool SendAll(platform::SOCKET s, const char* data, size_t length);

    platform::SOCKET m_ListenSocket = platform::INVALID_SOCKET;
    int m_PortOverride = 0;
    bool m_bPortOverride = false;
    char m_Request[METRICS_MAX_REQUEST_BYTES];
};
