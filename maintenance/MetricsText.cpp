#include "maintenance/MetricsText.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <strings.h>

namespace
{
const char* const KIND_NAMES[MetricsSnapshot::KIND_SLOTS] = {
    "keepalive", "user",    "audit",   "admin",      "alarm",  "directory", "type6",  "type7", "system",
    "type9",     "user_v2", "user_v3", "audit_file", "type13", "type14",    "type15", "other"};

void Family(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const char* labelName, const char* labelValue, uint64_t value)
{
    char text[32];
    snprintf(text, sizeof(text), "%" PRIu64, value);
    out += name;
    if (labelName != nullptr)
    {
        out += '{';
        out += labelName;
        out += "=\"";
        out += labelValue;
        out += "\"}";
    }
    out += ' ';
    out += text;
    out += '\n';
}

void Single(std::string& out, const char* name, const char* type, const char* help, uint64_t value)
{
    Family(out, name, type, help);
    Sample(out, name, nullptr, nullptr, value);
}

void SignedSingle(std::string& out, const char* name, const char* help, int64_t value)
{
    Family(out, name, "gauge", help);
    char text[32];
    snprintf(text, sizeof(text), "%" PRId64, value);
    out += name;
    out += ' ';
    out += text;
    out += '\n';
}

const char* ReasonPhrase(int status)
{
    switch (status)
    {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

MetricsRequestVerdict Refuse(int status)
{
    return MetricsRequestVerdict{MetricsRequestVerdict::REFUSE, status};
}

// The value of header `name` in `head` (the lines after the request line), empty when absent.
std::string_view HeaderValue(std::string_view head, std::string_view name)
{
    size_t pos = 0;
    while (pos < head.size())
    {
        size_t end = head.find('\n', pos);
        if (end == std::string_view::npos)
            end = head.size();
        std::string_view line = head.substr(pos, end - pos);
        pos = end + 1;
        size_t colon = line.find(':');
        if (colon != name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0)
            continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        return value;
    }
    return {};
}
} // namespace

const char* MetricsKindName(uint32_t slot)
{
    return slot < MetricsSnapshot::KIND_SLOTS ? KIND_NAMES[slot] : "other";
}

std::string RenderMetrics(const MetricsSnapshot& s)
{
    std::string out;
    out.reserve(6144);

    Family(out, "quillbarn_records_received_total", "counter",
           "Records cut from device streams, by the record type of their header.");
    for (uint32_t k = 0; k < MetricsSnapshot::KIND_SLOTS; ++k)
        Sample(out, "quillbarn_records_received_total", "kind", KIND_NAMES[k], s.m_ReceivedByKind[k]);

    Family(out, "quillbarn_records_refused_total", "counter",
           "Records dropped: a field out of range, a length the kind does not have (or a header length no "
           "record can have), the device not synchronised yet (gate), the device not registered, or the disk "
           "full.");
    Sample(out, "quillbarn_records_refused_total", "reason", "range", s.m_RefusedRange);
    Sample(out, "quillbarn_records_refused_total", "reason", "bad_length", s.m_RefusedBadLength);
    Sample(out, "quillbarn_records_refused_total", "reason", "gate", s.m_RefusedGate);
    Sample(out, "quillbarn_records_refused_total", "reason", "unknown_device", s.m_RefusedUnknownDevice);
    Sample(out, "quillbarn_records_refused_total", "reason", "disk_full", s.m_RefusedDiskFull);

    Family(out, "quillbarn_rows_stored_total", "counter",
           "Rows the database took, by path: load data of data files, or batched inserts.");
    Sample(out, "quillbarn_rows_stored_total", "path", "load_data", s.m_RowsLoadData);
    Sample(out, "quillbarn_rows_stored_total", "path", "insert", s.m_RowsInsert);

    Single(out, "quillbarn_data_file_backlog_files", "gauge", "Data files waiting for import.",
           s.m_BacklogFiles);
    Single(out, "quillbarn_data_file_backlog_bytes", "gauge", "Bytes of the data files waiting for import.",
           s.m_BacklogBytes);
    SignedSingle(out, "quillbarn_data_file_backlog_oldest_age_seconds",
                 "Age of the oldest data file waiting for import (0 when none waits).",
                 s.m_BacklogOldestAgeSeconds);
    Single(out, "quillbarn_imports_failed_total", "counter", "Import passes of a data file that failed.",
           s.m_ImportsFailed);
    Single(out, "quillbarn_data_files_set_aside_total", "counter",
           "Data files moved to the failed directory after failed import passes.", s.m_FilesSetAside);
    Single(out, "quillbarn_failed_dir_files", "gauge", "Data files waiting in the failed directory.",
           s.m_FailedDirFiles);

    Single(out, "quillbarn_connections_open", "gauge", "Device connections holding a slot.",
           s.m_ConnectionsOpen);
    Single(out, "quillbarn_connections_refused_total", "counter",
           "Device connections refused at the connection limit.", s.m_ConnectionsRefused);
    Single(out, "quillbarn_database_reachable", "gauge",
           "1 when the latest attempt to open a database connection succeeded, else 0.",
           static_cast<uint64_t>(s.m_DatabaseReachable != 0 ? 1 : 0));

    Family(out, "quillbarn_records_merged_total", "counter",
           "Records folded into another by the log mergers.");
    Sample(out, "quillbarn_records_merged_total", "kind", "user", s.m_MergedUser);
    Sample(out, "quillbarn_records_merged_total", "kind", "flow", s.m_MergedFlow);
    Sample(out, "quillbarn_records_merged_total", "kind", "system", s.m_MergedSystem);
    Single(out, "quillbarn_merge_buffers", "gauge", "Merge buffers in use.", s.m_MergeBuffers);
    Family(out, "quillbarn_merge_buffer_fill_ratio", "gauge", "Fill of all merge buffers together (0 to 1).");
    char fill[32];
    snprintf(fill, sizeof(fill), "%.6g", s.m_MergeBufferFill);
    out += "quillbarn_merge_buffer_fill_ratio ";
    out += fill;
    out += '\n';

    Single(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
           s.m_ResidentBytes);
    SignedSingle(out, "process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
                 s.m_StartTimeSeconds);
    return out;
}

MetricsRequestVerdict JudgeMetricsRequest(const char* data, size_t length)
{
    const std::string_view text(data, length);
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string_view::npos)
        return length >= METRICS_MAX_REQUEST_BYTES ? Refuse(431) : MetricsRequestVerdict{};

    // The request line is judged as soon as it is whole: a wrong method or path waits for nothing more.
    std::string_view line = text.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return Refuse(400);
    const std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (method.empty() || target.empty() || version.substr(0, 7) != "HTTP/1.")
        return Refuse(400);
    if (method != "GET")
        return Refuse(405);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics")
        return Refuse(404);

    size_t headEnd = text.find("\r\n\r\n");
    size_t headLength = headEnd == std::string_view::npos ? headEnd : headEnd + 4;
    if (headEnd == std::string_view::npos && (headEnd = text.find("\n\n")) != std::string_view::npos)
        headLength = headEnd + 2;
    if (headEnd == std::string_view::npos)
        return length >= METRICS_MAX_REQUEST_BYTES ? Refuse(431) : MetricsRequestVerdict{};

    // A body is never read; one that would take the request past the limit is refused for its size.
    const std::string_view contentLength =
        HeaderValue(text.substr(lineEnd + 1, headEnd - lineEnd), "Content-Length");
    if (!contentLength.empty())
    {
        const std::string value(contentLength);
        char* end = nullptr;
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || value[0] == '-')
            return Refuse(400);
        if (n > METRICS_MAX_REQUEST_BYTES || headLength + n > METRICS_MAX_REQUEST_BYTES)
            return Refuse(413);
    }
    return MetricsRequestVerdict{MetricsRequestVerdict::SERVE, 200};
}

std::string MetricsRefusalResponse(int status)
{
    const char* phrase = ReasonPhrase(status);
    const std::string body = std::to_string(status) + " " + phrase + "\n";
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + phrase + "\r\n";
    if (status == 405)
        out += "Allow: GET\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
    return out;
}

std::string MetricsResponseHead(size_t bodyLength)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
           std::to_string(bodyLength) + "\r\nConnection: close\r\n\r\n";
}
