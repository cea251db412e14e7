// A ring whose consumer keeps up goes back to the start of its area early, so that a connection
// touches only the pages its backlog needs; bytes, including a short unread tail, arrive intact.
#include "core/BuffManager.h"
#include "intake/RingCache.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace
{
char Pattern(uint64_t i)
{
    return static_cast<char>((i * 131) ^ (i >> 9) ^ (i >> 17));
}
} // namespace

TEST(RingEarlyWrap, KeptUpRingStaysNearItsStartAndKeepsEveryByte)
{
    qbtest::InitTestInstall();
    ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    CRingCache ring;
    const uint32_t capacity = 10u * 1024 * 1024;
    ASSERT_TRUE(ring.Init(capacity));
    uint32_t free = 0;
    ASSERT_TRUE(ring.GetCanWriteSize(free));
    const char* start = ring.GetWritePtr();

    uint64_t produced = 0, consumed = 0;
    size_t highest = 0;
    // 40 MiB in chunks of 3000 bytes; each round the consumer leaves 0..1999 bytes unread, as a
    // record task does with a record that has not fully arrived.
    for (int round = 0; produced < 40ull * 1024 * 1024; ++round)
    {
        ASSERT_TRUE(ring.GetCanWriteSize(free));
        ASSERT_GE(free, 3000u);
        char* w = ring.GetWritePtr();
        for (uint32_t i = 0; i < 3000; ++i)
            w[i] = Pattern(produced + i);
        ring.CommitWrite(3000);
        produced += 3000;
        highest = std::max(highest, static_cast<size_t>(w + 3000 - start));

        const uint64_t keep = static_cast<uint64_t>(round * 7919) % 2000;
        while (produced - consumed > keep)
        {
            uint32_t readable = 0;
            ASSERT_TRUE(ring.GetCanReadSize(readable));
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(readable, produced - consumed - keep));
            const char* r = ring.GetReadPtr();
            for (uint32_t i = 0; i < n; ++i)
                ASSERT_EQ(r[i], Pattern(consumed + i)) << "stream offset " << consumed + i;
            ring.CommitRead(n);
            consumed += n;
            if (n < readable || n == 0)
                break;
        }
    }
    EXPECT_LT(highest, static_cast<size_t>(CRingCache::EARLY_WRAP_SIZE) + 8192)
        << "the producer went far beyond the early-wrap point";
    ring.UnInit();
    CBuffManager::GetInstance()->UnInit();
}
