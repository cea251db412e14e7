#include "core/BuffManager.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{
class BuffManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }
    void TearDown() override { CBuffManager::GetInstance()->Init(); }
};
} // namespace

TEST_F(BuffManagerTest, AllocZeroFilledAndRegistered)
{
    CBuffManager* mgr = CBuffManager::GetInstance();
    size_t before = mgr->GetBuffCount();

    EXPECT_EQ(mgr->AllocByteBuff(0, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(mgr->GetBuffCount(), before);

    // Large enough to come from fresh pages and small enough to reuse freed
    // heap memory: both must read as zero.
    for (size_t size : {size_t(1), size_t(37), size_t(4096), size_t(1) << 20})
    {
        char* dirty = mgr->AllocByteBuff(size, __FILE__, __LINE__);
        ASSERT_NE(dirty, nullptr);
        std::fill(dirty, dirty + size, '\xAB');
        ASSERT_TRUE(mgr->ReleaseByteBuff(dirty));

        char* p = mgr->AllocByteBuff(size, "modules/BuffManager", 27);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(mgr->GetBuffCount(), before + 1);
        size_t nonZero = 0;
        for (size_t i = 0; i < size; ++i)
            nonZero += p[i] != 0;
        EXPECT_EQ(nonZero, 0u) << "size " << size;
        EXPECT_TRUE(mgr->ReleaseByteBuff(p));
        EXPECT_EQ(mgr->GetBuffCount(), before);
    }
}

TEST_F(BuffManagerTest, ReleaseOfUnknownPointer)
{
    CBuffManager* mgr = CBuffManager::GetInstance();
    EXPECT_FALSE(mgr->ReleaseByteBuff(nullptr));

    size_t before = mgr->GetBuffCount();
    char* p = mgr->AllocByteBuff(64, __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    char* keep = mgr->AllocByteBuff(64, __FILE__, __LINE__);
    ASSERT_NE(keep, nullptr);
    EXPECT_TRUE(mgr->ReleaseByteBuff(p));
    char warning[96];
    snprintf(warning, sizeof warning, "[WARN][TID=");
    char text[96];
    snprintf(text, sizeof text, "[CBuffManager][ReleaseByteBuff] 0x%lx Not In BuffManager\n",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    EXPECT_EQ(qbtest::ReadTodayLog().find(text), std::string::npos) << "no warning for the first release";
    // The second release is reported, not freed again (the heap stays sound:
    // under the sanitizer build a second free would abort here).
    EXPECT_TRUE(mgr->ReleaseByteBuff(p));
    std::string log = qbtest::ReadTodayLog();
    size_t at = log.find(text);
    ASSERT_NE(at, std::string::npos) << log;
    size_t lineStart = log.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    EXPECT_NE(log.substr(lineStart, at - lineStart).find(warning), std::string::npos);
    EXPECT_EQ(mgr->GetBuffCount(), before + 1);
    // A pointer the registry never handed out is left alone too.
    int onStack = 0;
    EXPECT_TRUE(mgr->ReleaseByteBuff(&onStack));
    EXPECT_EQ(mgr->GetBuffCount(), before + 1);
    EXPECT_TRUE(mgr->ReleaseByteBuff(keep));
    EXPECT_EQ(mgr->GetBuffCount(), before);
}

TEST_F(BuffManagerTest, NothingWorksAfterUnInit)
{
    CBuffManager* mgr = CBuffManager::GetInstance();
    char* held = mgr->AllocByteBuff(16, __FILE__, __LINE__);
    ASSERT_NE(held, nullptr);
    size_t count = mgr->GetBuffCount();

    ASSERT_TRUE(mgr->UnInit());
    EXPECT_EQ(mgr->AllocByteBuff(16, __FILE__, __LINE__), nullptr);
    EXPECT_FALSE(mgr->ReleaseByteBuff(held));
    // Buffers still registered are neither freed nor forgotten.
    EXPECT_EQ(mgr->GetBuffCount(), count);
    held[0] = 1;

    ASSERT_TRUE(mgr->Init());
    EXPECT_TRUE(mgr->Init()); // again: harmless
    EXPECT_TRUE(mgr->ReleaseByteBuff(held));
    EXPECT_EQ(mgr->GetBuffCount(), count - 1);
}

TEST_F(BuffManagerTest, ConcurrentAllocAndRelease)
{
    CBuffManager* mgr = CBuffManager::GetInstance();
    size_t before = mgr->GetBuffCount();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Buffers cross threads: each thread releases what its neighbour allocated.
    std::vector<std::vector<char*>> made(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 500; ++i)
                {
                    char* p = mgr->AllocByteBuff(static_cast<size_t>(1 + (i % 200)), __FILE__, __LINE__);
                    if (p == nullptr)
                        ++failures;
                    else
                        made[t].push_back(p);
                }
            });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mgr->GetBuffCount(), before + 2000);
    threads.clear();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (char* p : made[(t + 1) % 4])
                    if (!mgr->ReleaseByteBuff(p))
                        ++failures;
            });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mgr->GetBuffCount(), before);
}
