#include "core/BuffManager.h"
#include "intake/RingCache.h"
#include "platform/Event.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Byte at absolute stream offset i: varies with the low and high bits so
// that a lost, doubled or shifted stretch shows.
inline char PatternByte(uint64_t i)
{
    return static_cast<char>((i * 131) ^ (i >> 9) ^ (i >> 17));
}

class RingCacheTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }

    // Producer side: writes `n` pattern bytes at the write pointer, which
    // must offer a contiguous stretch that large.
    void Produce(CRingCache& ring, uint32_t n)
    {
        uint32_t free = 0;
        ASSERT_TRUE(ring.GetCanWriteSize(free));
        ASSERT_GE(free, n);
        for (uint32_t i = 0; i < n; ++i)
            ring.GetWritePtr()[i] = PatternByte(m_Produced + i);
        ring.CommitWrite(n);
        m_Produced += n;
    }

    // Consumer side: checks `n` readable bytes at the read pointer against
    // the pattern and consumes them.
    void ExpectAndConsume(CRingCache& ring, uint32_t n)
    {
        const char* p = ring.GetReadPtr();
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(p[i], PatternByte(m_Consumed + i)) << "stream offset " << m_Consumed + i;
        ring.CommitRead(n);
        m_Consumed += n;
    }

    // Leaves exactly `tail` unread bytes before the end of the valid data and
    // `wrapped` bytes written after the producer wrapped to the start.
    void BuildWrap(CRingCache& ring, uint32_t tail, uint32_t wrapped)
    {
        const uint32_t first = ring.GetCapacity() - 1 - 1000; // 1000 bytes short of the end
        Produce(ring, first);
        uint32_t readable = 0;
        ASSERT_TRUE(ring.GetCanReadSize(readable));
        ASSERT_EQ(readable, first);
        ExpectAndConsume(ring, first - tail);
        uint32_t free = 0;
        ASSERT_TRUE(ring.GetCanWriteSize(free)); // wraps: 1000 bytes before the end are too few
        EXPECT_EQ(ring.GetWritePtr(), ring.GetAreaStart());
        EXPECT_EQ(ring.GetDataEnd(), ring.GetAreaStart() + first);
        EXPECT_EQ(free, first - tail - 1);
        Produce(ring, wrapped);
    }

    uint64_t m_Produced = 0;
    uint64_t m_Consumed = 0;
};
} // namespace

TEST_F(RingCacheTest, InitLayoutEventsAndRelease)
{
    CBuffManager* buffs = CBuffManager::GetInstance();
    size_t before = buffs->GetBuffCount();
    {
        CRingCache ring;
        EXPECT_FALSE(ring.Init(0));
        uint32_t size = 1;
        EXPECT_FALSE(ring.GetCanWriteSize(size));
        EXPECT_EQ(size, 0u);
        EXPECT_FALSE(ring.GetCanReadSize(size));
        ring.CommitWrite(10); // ignored without a buffer
        ring.CommitRead(10);
        EXPECT_EQ(ring.GetDataEvent(), nullptr);

        ASSERT_TRUE(ring.Init(10000));
        EXPECT_EQ(buffs->GetBuffCount(), before + 1);
        EXPECT_EQ(ring.GetCapacity(), 10000u);
        EXPECT_EQ(ring.GetReadPtr(), ring.GetAreaStart());
        EXPECT_EQ(ring.GetWritePtr(), ring.GetAreaStart());
        EXPECT_EQ(ring.GetDataStart(), ring.GetAreaStart());
        EXPECT_EQ(ring.GetDataEnd(), ring.GetAreaStart() + 10000);
        for (uint32_t i = 0; i < CRingCache::TAIL_GUARD_SIZE; ++i)
            ASSERT_EQ(ring.GetAreaEnd()[i], 0) << i;

        // Space starts signalled, data does not; both reset on release of one waiter.
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_OBJECT_0);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_TIMEOUT);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetDataEvent(), 0), platform::WAIT_TIMEOUT);

        EXPECT_TRUE(ring.GetCanWriteSize(size));
        EXPECT_EQ(size, 9999u); // one byte always stays free
        EXPECT_FALSE(ring.GetCanReadSize(size));
        EXPECT_EQ(size, 0u);

        ring.CommitWrite(0);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetDataEvent(), 0), platform::WAIT_TIMEOUT);
        Produce(ring, 100);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetDataEvent(), 0), platform::WAIT_OBJECT_0);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetDataEvent(), 0), platform::WAIT_TIMEOUT);
        EXPECT_TRUE(ring.GetCanReadSize(size));
        EXPECT_EQ(size, 100u);
        ring.CommitRead(0);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_TIMEOUT);
        // Space is signalled once per look of the producer at the free size, not once per consumed
        // record: a consumer does not pay a system call per record for nobody.
        ExpectAndConsume(ring, 50);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_OBJECT_0)
            << "the producer looked before writing";
        ExpectAndConsume(ring, 50);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_TIMEOUT)
            << "one signal per look";
        Produce(ring, 9000);
        EXPECT_FALSE(ring.GetCanWriteSize(size)) << "99 bytes before the read pointer after the wrap";
        ExpectAndConsume(ring, 10);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_OBJECT_0);
        ExpectAndConsume(ring, 8990);
        EXPECT_EQ(platform::WaitForSingleObject(ring.GetSpaceEvent(), 0), platform::WAIT_TIMEOUT);

        // A second Init replaces the buffer instead of leaking it.
        ASSERT_TRUE(ring.Init(4096));
        EXPECT_EQ(buffs->GetBuffCount(), before + 1);
    }
    EXPECT_EQ(buffs->GetBuffCount(), before) << "the destructor releases the buffer";
}

TEST_F(RingCacheTest, FullRingOffersNoStretch)
{
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    Produce(ring, 8191 - 2047); // 2047 bytes left before the end, read pointer at the start
    uint32_t free = 0;
    EXPECT_FALSE(ring.GetCanWriteSize(free));
    EXPECT_EQ(free, 0u);
    EXPECT_EQ(ring.GetWritePtr(), ring.GetAreaStart() + 8191 - 2047) << "no wrap while nothing was read";

    // After wrapping, the stretch up to the read pointer is reported even
    // when it is below the minimum, but refused.
    ExpectAndConsume(ring, 3000);
    ASSERT_TRUE(ring.GetCanWriteSize(free));
    EXPECT_EQ(free, 2999u);
    Produce(ring, 1000);
    EXPECT_FALSE(ring.GetCanWriteSize(free));
    EXPECT_EQ(free, 1999u);
}

TEST_F(RingCacheTest, TailShorterThanFrontZoneIsMovedInFront)
{
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    BuildWrap(ring, 2047, 300);

    uint32_t readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 2047u + 300u) << "tail and wrapped data read as one stretch";
    EXPECT_EQ(ring.GetReadPtr(), ring.GetAreaStart() - 2047);
    EXPECT_EQ(ring.GetDataStart(), ring.GetAreaStart() - 2047);

    // While the tail sits in the front zone the producer cannot wrap again
    // but may fill up to the end.
    uint32_t free = 0;
    ASSERT_TRUE(ring.GetCanWriteSize(free));
    EXPECT_EQ(free, 8192u - 300u - 1u);
    Produce(ring, 50);

    // Consuming part of the moved tail, then the rest, keeps the order.
    ExpectAndConsume(ring, 1000);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 1047u + 350u);
    ExpectAndConsume(ring, readable);
    EXPECT_FALSE(ring.GetCanReadSize(readable));
    EXPECT_EQ(ring.GetReadPtr(), ring.GetWritePtr());
}

TEST_F(RingCacheTest, TailOfFrontZoneSizeIsReturnedAlone)
{
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    BuildWrap(ring, 2048, 300);
    char* tailStart = ring.GetReadPtr();

    uint32_t readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 2048u) << "only the part before the wrap point";
    EXPECT_EQ(ring.GetReadPtr(), tailStart) << "not moved";
    ExpectAndConsume(ring, 2048);

    // At the wrap point the read pointer returns to the start of the area.
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 300u);
    EXPECT_EQ(ring.GetReadPtr(), ring.GetAreaStart());
    EXPECT_EQ(ring.GetDataEnd(), ring.GetAreaEnd());
    ExpectAndConsume(ring, 300);
}

TEST_F(RingCacheTest, RecordStartingExactlyAtWrapPoint)
{
    // Two records back to back: the first ends where the producer wrapped,
    // the second starts at the start of the area. Both come out once, whole.
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    const uint32_t first = 8192 - 1 - 1000;
    Produce(ring, 4000); // consumed below so that the producer can wrap
    uint32_t readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    ExpectAndConsume(ring, 4000);
    Produce(ring, first - 4000); // record A: 3191 bytes ending at the wrap point
    Produce(ring, 1500);         // wraps, record B at the start

    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, first - 4000) << "record A alone";
    ExpectAndConsume(ring, readable);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 1500u);
    EXPECT_EQ(ring.GetReadPtr(), ring.GetAreaStart());
    ExpectAndConsume(ring, 1500);

    // The same with nothing left before the wrap point when it happens.
    ASSERT_TRUE(ring.Init(8192));
    m_Produced = m_Consumed = 0;
    Produce(ring, first);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    ExpectAndConsume(ring, first);
    Produce(ring, 700);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 700u);
    EXPECT_EQ(ring.GetReadPtr(), ring.GetAreaStart());
    ExpectAndConsume(ring, 700);
}

TEST_F(RingCacheTest, DataLongerThanContiguousPartIsCopiedInPieces)
{
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    BuildWrap(ring, 3000, 500);

    // A reader that needs 3500 bytes sees only 3000 contiguous ones, and the
    // size does not grow however often it asks.
    std::string linear;
    uint32_t readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 3000u);
    ASSERT_TRUE(ring.GetCanReadSize(readable));
    EXPECT_EQ(readable, 3000u);
    while (linear.size() < 3500 && ring.GetCanReadSize(readable))
    {
        uint32_t take = std::min<uint32_t>(readable, 3500 - static_cast<uint32_t>(linear.size()));
        linear.append(ring.GetReadPtr(), take);
        ring.CommitRead(take);
    }
    ASSERT_EQ(linear.size(), 3500u);
    for (size_t i = 0; i < linear.size(); ++i)
        ASSERT_EQ(linear[i], PatternByte(m_Consumed + i)) << i;
    EXPECT_FALSE(ring.GetCanReadSize(readable));
}

TEST_F(RingCacheTest, ProducerConsumerMoveHundredMegabytes)
{
    // A small ring of odd size, random chunk sizes on both sides and partial
    // consumption so that wraps, short tails and long tails all happen.
    constexpr uint64_t TOTAL = 100ull << 20;
    CRingCache ring;
    ASSERT_TRUE(ring.Init(12347));
    std::atomic<bool> failed{false};
    std::atomic<uint64_t> tailMoves{0};

    std::thread producer(
        [&]
        {
            std::mt19937 rng(7);
            uint64_t produced = 0;
            while (produced < TOTAL && !failed)
            {
                uint32_t free = 0;
                if (!ring.GetCanWriteSize(free))
                {
                    platform::WaitForSingleObject(ring.GetSpaceEvent(), 200);
                    continue;
                }
                uint32_t n = std::uniform_int_distribution<uint32_t>(1, free)(rng);
                n = static_cast<uint32_t>(std::min<uint64_t>(n, TOTAL - produced));
                char* w = ring.GetWritePtr();
                for (uint32_t i = 0; i < n; ++i)
                    w[i] = PatternByte(produced + i);
                ring.CommitWrite(n);
                produced += n;
            }
        });

    std::mt19937 rng(11);
    uint64_t consumed = 0;
    while (consumed < TOTAL)
    {
        uint32_t readable = 0;
        if (!ring.GetCanReadSize(readable))
        {
            ASSERT_NE(platform::WaitForSingleObject(ring.GetDataEvent(), 5000), platform::WAIT_TIMEOUT)
                << "stalled at " << consumed;
            continue;
        }
        if (ring.GetReadPtr() < ring.GetAreaStart())
            ++tailMoves;
        uint32_t n = std::uniform_int_distribution<uint32_t>(1, readable)(rng);
        const char* r = ring.GetReadPtr();
        for (uint32_t i = 0; i < n; ++i)
            if (r[i] != PatternByte(consumed + i))
            {
                failed = true;
                producer.join();
                FAIL() << "mismatch at stream offset " << consumed + i;
            }
        ring.CommitRead(n);
        consumed += n;
    }
    producer.join();
    EXPECT_EQ(consumed, TOTAL);
    EXPECT_GT(tailMoves.load(), 0u) << "short tails were moved into the front zone";
    for (uint32_t i = 0; i < CRingCache::TAIL_GUARD_SIZE; ++i)
        ASSERT_EQ(ring.GetAreaEnd()[i], 0) << "guard byte " << i;
}
