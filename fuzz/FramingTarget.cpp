// Framing and validation of a device stream: the input is a byte stream as a device (or an attacker)
// sends it, and it also chooses the receive ring's size and where the stream is cut into reads. A real
// record task consumes the ring on a thread of its own while this thread plays the connection: it
// writes the pieces, drains the replies and answers the task's messages.
//
// Checked after every input: the stream is consumed to its end (a marker keepalive behind it is
// answered), every reply is a whole probe answer or keepalive reply, and the copy-out buffer never
// grew beyond one record of the largest accepted size.
#include "fuzz/FuzzEnv.h"

#include "config/ConfigManager.h"
#include "intake/NodeLogRecordTask.h"
#include "intake/RingCache.h"
#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "protocol/WireProtocol.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qbfuzz
{
namespace
{
constexpr uint32_t SEND_RING_BYTES = 64 * 1024;
constexpr uint32_t STALL_LIMIT_MS = 20000;
constexpr char MARKER_KEY[] = "QBFUZZ-MARKER";

void DrainMessages()
{
    platform::MSG msg;
    while (platform::PeekMessage(&msg, true))
    {
    }
}

// Zeros enough to complete any record the stream leaves open: a record can only start at a sign, and
// it is no longer than the length its head gives (read with the zeros that follow, as the task will).
size_t FlushLength(const std::string& stream)
{
    const uint32_t maxLen = CNodeLogRecordTask::GetMaxRecordSize();
    size_t flush = 0;
    for (const char* sign : {WIRE_SIGN_1111, WIRE_SIGN_0500})
    {
        for (size_t p = stream.find(sign, 0, WIRE_SIGN_LEN); p != std::string::npos;
             p = stream.find(sign, p + 1, WIRE_SIGN_LEN))
        {
            uint8_t len[4] = {};
            for (size_t i = 0; i < 4; ++i)
                if (p + 28 + i < stream.size())
                    len[i] = static_cast<uint8_t>(stream[p + 28 + i]);
            uint32_t dataLen = len[0] | len[1] << 8 | len[2] << 16 | static_cast<uint32_t>(len[3]) << 24;
            // A length out of range still consumes the whole head.
            flush =
                std::max<size_t>(flush, dataLen <= maxLen ? std::max(dataLen, DATA_HEAD_LEN) : DATA_HEAD_LEN);
        }
    }
    return flush;
}

// Replies: only probe answers and keepalive replies can come back from a device that never synchronised.
void CheckReplies(const std::string& out, const uint8_t* markerKey)
{
    size_t off = 0;
    bool marker = false;
    while (off < out.size())
    {
        if (out.compare(off, PROBE_ANSWER_LEN, PROBE_TAG, PROBE_ANSWER_LEN) == 0)
        {
            off += PROBE_ANSWER_LEN;
            continue;
        }
        QB_FUZZ_CHECK(out.size() - off >= KEEPALIVE_REPLY_LEN);
        DataHead h;
        std::memcpy(&h, out.data() + off, sizeof(h));
        QB_FUZZ_CHECK(wire::GetDataLen(h) == KEEPALIVE_REPLY_LEN);
        QB_FUZZ_CHECK(wire::GetLogType(h) == LOG_TYPE_KEEPALIVE);
        for (uint32_t i = DATA_HEAD_LEN; i < KEEPALIVE_REPLY_LEN; ++i)
            QB_FUZZ_CHECK(out[off + i] == 0);
        QB_FUZZ_CHECK(!marker); // nothing can follow the marker's reply
        marker = std::memcmp(h.m_DevMD5, markerKey, 16) == 0;
        off += KEEPALIVE_REPLY_LEN;
    }
    QB_FUZZ_CHECK(marker);
}
} // namespace

int FuzzFraming(const uint8_t* data, size_t size)
{
    InitFuzzEnv();
    if (size < 3)
        return 0;
    static uint32_t s_Run = 0;
    ++s_Run;

    // Control bytes: ring size, read pattern, disk-full flag.
    const uint32_t ringBytes = 4096u + (data[0] % 16u) * 4096u;
    const size_t pieceCount = 1 + data[1] % 8;
    const bool diskFull = (data[2] & 0x80) != 0;
    size_t pos = 3;
    std::vector<uint32_t> pieces;
    for (size_t i = 0; i < pieceCount && pos < size; ++i, ++pos)
        pieces.push_back(data[pos] == 0 ? 65536u : data[pos]);
    if (pieces.empty())
        pieces.push_back(4096);

    // The stream, then enough zeros to complete any record it left open, then the marker.
    std::string stream(reinterpret_cast<const char*>(data + pos), size - pos);
    stream.append(FlushLength(stream), '\0');
    uint8_t markerKey[16] = {};
    std::memcpy(markerKey, MARKER_KEY, sizeof(MARKER_KEY) - 1);
    std::memcpy(markerKey + 14, &s_Run, 2);
    std::vector<uint8_t> marker(KEEPALIVE_LOG_LEN, 0);
    DataHead& mh = *reinterpret_cast<DataHead*>(marker.data());
    std::memcpy(mh.m_Sign, WIRE_SIGN_1111, WIRE_SIGN_LEN);
    std::memcpy(mh.m_DevMD5, markerKey, 16);
    mh.m_LogType = wire::HostToLe32(LOG_TYPE_KEEPALIVE);
    mh.m_DataLen = wire::HostToLe32(KEEPALIVE_LOG_LEN);
    stream.append(reinterpret_cast<const char*>(marker.data()), marker.size());

    CConfigManager::GetInstance()->SetIsFull(diskFull ? 1 : 0);
    platform::EnsureThreadMessageQueue();
    DrainMessages();
    CRingCache recv, send;
    QB_FUZZ_CHECK(recv.Init(ringBytes));
    QB_FUZZ_CHECK(send.Init(SEND_RING_BYTES));
    CNodeLogRecordTask task;
    task.SetNodeThreadId(platform::GetCurrentThreadId());
    task.SetRingCaches(&recv, &send);
    task.m_bRunning = 1;

    // The task's own loop without its writer chain: no device is synchronised here, so no record
    // reaches a writer except keepalives, which the chain would only count.
    platform::CEvent stop(true, false);
    std::thread consumer(
        [&]
        {
            platform::CWaitable* handles[2] = {&stop, recv.GetDataEvent()};
            while (task.m_bRunning)
            {
                task.ProcessRingBuffData();
                if (platform::WaitForMultipleObjects(2, handles, false, CNodeLogRecordTask::WAIT_DATA_MS) ==
                    platform::WAIT_OBJECT_0)
                    break;
            }
        });

    std::string out;
    auto drainSend = [&]
    {
        uint32_t n = 0;
        while (send.GetCanReadSize(n))
        {
            out.append(send.GetReadPtr(), n);
            send.CommitRead(n);
        }
        DrainMessages();
    };

    size_t off = 0, piece = 0;
    uint32_t start = platform::GetTickCount();
    while (off < stream.size())
    {
        uint32_t space = 0;
        if (!recv.GetCanWriteSize(space))
        {
            drainSend();
            // A record that fills the ring waits for the task's next timed attempt (every 5 s) to be copied
            // out; wake the task now instead, as if that time had passed.
            recv.GetDataEvent()->Set();
            platform::WaitForSingleObject(recv.GetSpaceEvent(), 1);
            QB_FUZZ_CHECK(platform::GetTickCount() - start < STALL_LIMIT_MS);
            continue;
        }
        uint32_t n = std::min<size_t>({pieces[piece++ % pieces.size()], space, stream.size() - off});
        std::memcpy(recv.GetWritePtr(), stream.data() + off, n);
        recv.CommitWrite(n);
        off += n;
        drainSend();
    }
    // The marker's reply ends the output.
    const std::string markerReply(reinterpret_cast<const char*>(markerKey), 16);
    while (out.size() < KEEPALIVE_REPLY_LEN ||
           out.compare(out.size() - KEEPALIVE_REPLY_LEN + 8, 16, markerReply) != 0)
    {
        QB_FUZZ_CHECK(platform::GetTickCount() - start < STALL_LIMIT_MS);
        platform::Sleep(0);
        drainSend();
    }

    task.m_bRunning = 0;
    stop.Set();
    consumer.join();
    drainSend();
    CheckReplies(out, markerKey);
    QB_FUZZ_CHECK(task.GetLinearBuffSize() <= CNodeLogRecordTask::GetMaxRecordSize());
    CConfigManager::GetInstance()->SetIsFull(0);
    CleanTempDir();
    return 0;
}
} // namespace qbfuzz
