// The producer's wait for room in the receive ring against a consumer that has read everything and
// waits for the rest of a record: the state in which a connection once stopped for good.
#include "core/BuffManager.h"
#include "intake/RingCache.h"
#include "platform/Event.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

inline uint8_t StreamByte(uint64_t i)
{
    return static_cast<uint8_t>((i * 151) ^ (i >> 8) ^ (i >> 19));
}

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class RingProducerWait : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }

    void Produce(CRingCache& ring, uint32_t n)
    {
        uint32_t free = 0;
        ASSERT_EQ(ring.WaitCanWrite(free, 0, nullptr, 0), platform::WAIT_OBJECT_0);
        ASSERT_GE(free, n);
        for (uint32_t i = 0; i < n; ++i)
            ring.GetWritePtr()[i] = static_cast<char>(StreamByte(m_Produced + i));
        ring.CommitWrite(n);
        m_Produced += n;
    }

    // Copies what is readable into `dest` the way the record task copies out a wrapped record.
    uint32_t CopyOut(CRingCache& ring, uint8_t* dest, uint32_t want)
    {
        uint32_t copied = 0;
        uint32_t readable = 0;
        while (copied < want && ring.GetCanReadSize(readable))
        {
            uint32_t n = std::min(readable, want - copied);
            std::memcpy(dest + copied, ring.GetReadPtr(), n);
            ring.CommitRead(n);
            copied += n;
        }
        return copied;
    }

    uint64_t m_Produced = 0;
};
} // namespace

// The ring as it was found hung: a short tail had been moved into the front zone, the reader had
// then caught up with the writer in the middle of the area and was waiting for the rest of a
// 5166-byte record. No read is coming, so the space event stays clear; the producer has plenty of
// room and must take it at once instead of waiting for that event.
TEST_F(RingProducerWait, ReaderCaughtUpInsideWrappedRecordDoesNotStopTheProducer)
{
    CRingCache ring;
    const uint32_t capacity = 64 * 1024;
    ASSERT_TRUE(ring.Init(capacity));
    char* const start = ring.GetAreaStart();

    // Fill to 1000 bytes short of the end; everything but a 1379-byte tail is read.
    Produce(ring, capacity - 1 - 1000);
    uint32_t readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    ring.CommitRead(readable - 1379);
    // The producer wraps (1000 bytes are too few) and the record begun in the tail goes on at the start.
    Produce(ring, 2000);
    EXPECT_EQ(ring.GetWritePtr(), start + 2000);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(ring.GetDataStart(), start - 1379) << "tail moved into the front zone";
    EXPECT_EQ(readable, 1379u + 2000u);

    // The consumer copies out the 3379 bytes of the 5166-byte record that have arrived.
    std::vector<uint8_t> record(5166);
    const uint64_t recordAt = m_Produced - 3379;
    ASSERT_EQ(CopyOut(ring, record.data(), 5166), 3379u);
    ASSERT_EQ(ring.GetReadPtr(), ring.GetWritePtr()) << "reader caught up, waiting for data";
    ASSERT_FALSE(ring.GetCanReadSize(readable));

    // Whatever the space event held from before is gone by now; no read will set it again.
    platform::WaitForSingleObject(ring.GetSpaceEvent(), 0);
    EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_TIMEOUT);

    // The producer's look finds the room at once.
    uint32_t free = 0;
    auto t0 = Clock::now();
    ASSERT_EQ(ring.WaitCanWrite(free, 0, nullptr, 5000), platform::WAIT_OBJECT_0);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(free, capacity - 2000u - 1u);

    // The rest of the record arrives in two pieces; the consumer's copy completes it byte for byte.
    Produce(ring, 1000);
    Produce(ring, 787);
    ASSERT_EQ(CopyOut(ring, record.data() + 3379, 5166 - 3379), 5166u - 3379u);
    for (uint32_t i = 0; i < record.size(); ++i)
        ASSERT_EQ(record[i], StreamByte(recordAt + i)) << "record byte " << i;
}

// A full ring: the producer waits, and the first read that frees room wakes it (not the time-out).
// Repeated with the read racing the producer's look.
TEST_F(RingProducerWait, FullRingWakesTheProducerOnTheRead)
{
    CRingCache ring;
    const uint32_t capacity = 8192;
    ASSERT_TRUE(ring.Init(capacity));
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round)
    {
        // Fill: the free stretch left is under 2048 bytes.
        uint32_t free = 0;
        while (ring.GetCanWriteSize(free))
            Produce(ring, free);
        ASSERT_LT(free, CRingCache::MIN_WRITE_SIZE);

        std::atomic<uint32_t> ret{0xDEAD};
        std::atomic<uint32_t> got{0};
        std::atomic<long long> waitedMs{0};
        std::thread producer(
            [&]
            {
                uint32_t size = 0;
                auto t0 = Clock::now();
                ret = ring.WaitCanWrite(size, 0, nullptr, 10000);
                waitedMs = MsSince(t0);
                got = size;
            });
        if (round % 3 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        // Read everything that is there (at most two stretches around the wrap).
        uint32_t readable = 0;
        while (ring.GetCanReadSize(readable))
            ring.CommitRead(readable);
        producer.join();
        ASSERT_EQ(ret.load(), platform::WAIT_OBJECT_0) << "round " << round;
        ASSERT_GE(got.load(), CRingCache::MIN_WRITE_SIZE) << "round " << round;
        ASSERT_LT(waitedMs.load(), 5000) << "woken by the time-out, not by the read, round " << round;
    }
}

// Other waitables end the wait with their own result; a space event left over from an earlier
// read is no room; the room is looked at once more when the time is up.
TEST_F(RingProducerWait, OtherEventsTimeOutAndLeftoverSpaceEvent)
{
    CRingCache ring;
    uint32_t free = 0;
    EXPECT_EQ(ring.WaitCanWrite(free, 0, nullptr, 10), platform::WAIT_FAILED) << "ring not set up";
    ASSERT_TRUE(ring.Init(8192));
    while (ring.GetCanWriteSize(free))
        Produce(ring, free);

    platform::CEvent exitEvent(true, false), message(false, false);
    platform::CWaitable* others[2] = {&exitEvent, &message};

    // The space event is set from the start; a full ring still times out after the whole wait.
    auto t0 = Clock::now();
    EXPECT_EQ(ring.WaitCanWrite(free, 2, others, 300), platform::WAIT_TIMEOUT);
    EXPECT_GE(MsSince(t0), 250);
    EXPECT_LT(free, CRingCache::MIN_WRITE_SIZE);

    message.Set();
    EXPECT_EQ(ring.WaitCanWrite(free, 2, others, 5000), platform::WAIT_OBJECT_0 + 2);
    exitEvent.Set();
    EXPECT_EQ(ring.WaitCanWrite(free, 2, others, 5000), platform::WAIT_OBJECT_0 + 1);

    // Room wins over a signalled other object: reading goes on while there is room.
    uint32_t readable = 0;
    while (ring.GetCanReadSize(readable))
        ring.CommitRead(readable);
    EXPECT_EQ(ring.WaitCanWrite(free, 2, others, 5000), platform::WAIT_OBJECT_0);
    EXPECT_GE(free, CRingCache::MIN_WRITE_SIZE);
}

// A connection thread and a record task over a 1 MiB ring, without a socket: the producer writes
// pieces of random size whenever it has room (as the connection thread does with what recv gives),
// the consumer takes whole length-prefixed records in place, waits while a record is still growing,
// and copies out a record whose contiguous part stopped growing. Records of 16..6000 bytes, and
// consumer pauses that fill the ring, run through every wrap kind; neither side may stall.
TEST_F(RingProducerWait, StreamOfRecordsNeverStallsEitherSide)
{
    CRingCache ring;
    ASSERT_TRUE(ring.Init(1024 * 1024));
    platform::CEvent stop(true, false);
    const uint64_t total = 48ull * 1024 * 1024;

    // The stream: records of [4-byte length][body], body bytes from the stream position.
    std::vector<uint8_t> stream;
    stream.reserve(total + 8192);
    std::mt19937 rng(7);
    while (stream.size() < total)
    {
        uint32_t len = (rng() % 4 == 0) ? 5166 : 16 + rng() % 5985;
        uint8_t head[4];
        std::memcpy(head, &len, 4);
        stream.insert(stream.end(), head, head + 4);
        for (uint32_t i = 4; i < len; ++i)
            stream.push_back(StreamByte(stream.size()));
    }

    std::atomic<bool> producerStalled{false};
    std::thread producer(
        [&]
        {
            std::mt19937 r(9);
            platform::CWaitable* others[1] = {&stop};
            size_t pos = 0;
            while (pos < stream.size())
            {
                uint32_t free = 0;
                uint32_t ret = ring.WaitCanWrite(free, 1, others, 10000);
                if (ret != platform::WAIT_OBJECT_0)
                {
                    producerStalled = ret == platform::WAIT_TIMEOUT;
                    return;
                }
                uint32_t n = std::min<size_t>({free, 1 + r() % 9000, stream.size() - pos});
                std::memcpy(ring.GetWritePtr(), stream.data() + pos, n);
                ring.CommitWrite(n);
                pos += n;
            }
        });

    platform::CWaitable* handles[2] = {&stop, ring.GetDataEvent()};
    size_t consumed = 0;
    uint32_t lastReadable = 0;
    std::vector<uint8_t> linear(6000);
    bool stalled = false;
    uint32_t records = 0, copiedOut = 0;
    // Like the record task, the consumer looks again after a short wait even without a data event: a
    // record whose rest lies at the ring's start arrives with no further write once the stream has
    // ended. A stall is ten seconds without a byte taken.
    size_t progressAt = 0;
    auto progressTime = Clock::now();
    auto waitData = [&]
    {
        platform::WaitForMultipleObjects(2, handles, false, 200);
        if (consumed != progressAt)
        {
            progressAt = consumed;
            progressTime = Clock::now();
        }
        else if (MsSince(progressTime) > 10000)
            stalled = true;
    };
    while (consumed < stream.size() && !stalled)
    {
        uint32_t readable = 0;
        ring.GetCanReadSize(readable);
        if (readable < 4)
        {
            waitData();
            continue;
        }
        uint32_t len = 0;
        std::memcpy(&len, ring.GetReadPtr(), 4);
        if (std::memcmp(ring.GetReadPtr(), stream.data() + consumed, 4) != 0)
        {
            ADD_FAILURE() << "record length wrong at stream offset " << consumed;
            break;
        }
        const uint8_t* rec = nullptr;
        if (readable >= len)
        {
            rec = reinterpret_cast<const uint8_t*>(ring.GetReadPtr());
            lastReadable = 0;
        }
        else if (lastReadable < readable)
        {
            lastReadable = readable;
            waitData();
            continue;
        }
        else
        {
            lastReadable = 0;
            uint32_t copied = 0;
            while (copied < len && !stalled)
            {
                uint32_t n = 0;
                if (!ring.GetCanReadSize(n))
                {
                    waitData();
                    continue;
                }
                n = std::min(n, len - copied);
                std::memcpy(linear.data() + copied, ring.GetReadPtr(), n);
                ring.CommitRead(n);
                copied += n;
            }
            if (stalled)
                break;
            rec = linear.data();
            ++copiedOut;
        }
        if (std::memcmp(rec, stream.data() + consumed, len) != 0)
        {
            ADD_FAILURE() << "record at stream offset " << consumed << " differs";
            break;
        }
        if (rec != linear.data())
            ring.CommitRead(len);
        consumed += len;
        // Now and then the record task is slow (a database round trip): the ring fills up.
        if (++records % 997 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop.Set();
    producer.join();
    EXPECT_FALSE(stalled) << "consumer waited 10 s for data at stream offset " << consumed;
    EXPECT_FALSE(producerStalled.load()) << "producer waited 10 s for room";
    EXPECT_EQ(consumed, stream.size());
    EXPECT_GT(copiedOut, 0u) << "no record was copied out around a wrap";
}
