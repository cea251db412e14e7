// The metrics endpoint's two pure parts: the figures of one scrape rendered in the Prometheus text
// format (version 0.0.4), and the judgement of one HTTP request. Both are free of sockets and of the
// live managers, so they are tested as they are.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One scrape's figures, gathered by the endpoint task from the live managers.
struct MetricsSnapshot
{
    static constexpr uint32_t KIND_SLOTS = 17; // the wire's 16 record types and "other"
    uint64_t m_ReceivedByKind[KIND_SLOTS] = {};
    uint64_t m_RefusedRange = 0;
    uint64_t m_RefusedBadLength = 0;
    uint64_t m_RefusedGate = 0;
    uint64_t m_RefusedUnknownDevice = 0;
    uint64_t m_RefusedDiskFull = 0;
    uint64_t m_RowsLoadData = 0;
    uint64_t m_RowsInsert = 0;
    uint32_t m_BacklogFiles = 0;
    uint64_t m_BacklogBytes = 0;
    int64_t m_BacklogOldestAgeSeconds = 0;
    uint64_t m_ImportsFailed = 0;
    uint64_t m_FilesSetAside = 0;
    uint32_t m_FailedDirFiles = 0;
    uint32_t m_ConnectionsOpen = 0;
    uint64_t m_ConnectionsRefused = 0;
    int m_DatabaseReachable = 0;
    uint64_t m_MergedUser = 0;
    uint64_t m_MergedFlow = 0;
    uint64_t m_MergedSystem = 0;
    uint32_t m_MergeBuffers = 0;
    double m_MergeBufferFill = 0; // 0..1 of all merge buffers together
    uint64_t m_ResidentBytes = 0;
    int64_t m_StartTimeSeconds = 0;
};

// Label value of each record-type slot ("keepalive", "user", ..., "other").
const char* MetricsKindName(uint32_t slot);

// The whole exposition text, every family with its HELP and TYPE lines.
std::string RenderMetrics(const MetricsSnapshot& s);

// What one request gets. The request is the bytes read so far (at most MAX_REQUEST_BYTES).
struct MetricsRequestVerdict
{
    enum EState
    {
        INCOMPLETE, // the header has not ended yet: read on
        SERVE,      // GET /metrics
        REFUSE      // m_Status says why
    };
    EState m_State = INCOMPLETE;
    int m_Status = 0;
};

constexpr size_t METRICS_MAX_REQUEST_BYTES = 8192;

MetricsRequestVerdict JudgeMetricsRequest(const char* data, size_t length);

// The full response of a refusal (status line, a few headers, a one-line body).
std::string MetricsRefusalResponse(int status);
// The response head of a served scrape whose body has `bodyLength` bytes.
std::string MetricsResponseHead(size_t bodyLength);
