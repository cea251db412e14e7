#include "platform/OverlappedFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace
{
std::string TempPath(const char* tag)
{
    char tmpl[] = "/tmp/qb_ovl_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    return dir + "/" + tag;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Slot
{
    std::string m_Data;
    CEvent m_Done{true, true};
    OverlappedRequest m_Req;
};
} // namespace

// Thousands of requests in flight at once, of random lengths at consecutive
// offsets, from two submitting threads: the file holds every byte exactly
// where its request put it.
TEST(OverlappedFile, ManyRequestsLandAtTheirOffsets)
{
    std::string path = TempPath("many.bin");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);

    const int count = 3000;
    std::vector<std::unique_ptr<Slot>> slots;
    std::mt19937 rng(7);
    uint64_t offset = 0;
    std::string expected;
    for (int i = 0; i < count; ++i)
    {
        auto s = std::make_unique<Slot>();
        size_t len = 1 + rng() % 20000;
        s->m_Data.resize(len);
        for (size_t k = 0; k < len; ++k)
            s->m_Data[k] = static_cast<char>('A' + (i + k) % 26);
        s->m_Req.m_Fd = fd;
        s->m_Req.m_Offset = offset;
        s->m_Req.m_pBuffer = s->m_Data.data();
        s->m_Req.m_Length = len;
        s->m_Req.m_pDone = &s->m_Done;
        offset += len;
        expected += s->m_Data;
        slots.push_back(std::move(s));
    }
    // Submit in reverse order from two threads: the offsets alone decide.
    auto submit = [&](int from, int to)
    {
        for (int i = to - 1; i >= from; --i)
            ASSERT_TRUE(StartOverlappedWrite(&slots[static_cast<size_t>(i)]->m_Req));
    };
    std::thread a(submit, 0, count / 2), b(submit, count / 2, count);
    a.join();
    b.join();
    EXPECT_GE(GetOverlappedIoWorkerCount(), 1u);

    std::vector<CWaitable*> events;
    for (auto& s : slots)
        events.push_back(&s->m_Done);
    ASSERT_EQ(WaitForMultipleObjects(static_cast<uint32_t>(events.size()), events.data(), true, 30000),
              WAIT_OBJECT_0);
    for (auto& s : slots)
    {
        size_t bytes = 0;
        ASSERT_TRUE(GetOverlappedResult(&s->m_Req, bytes, false));
        EXPECT_EQ(bytes, s->m_Data.size());
    }
    close(fd);
    std::string got = ReadAll(path);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "file content differs from the requests' data";
}

// The request's life: its event is reset while it is in flight, a request
// still pending cannot be started again, and an error reaches the caller
// as errno with the bytes written before it.
TEST(OverlappedFile, PendingRequestsAndErrors)
{
    std::string path = TempPath("err.bin");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);

    // 64 MiB keeps the worker busy long enough to see the request pending.
    std::string big(64u << 20, 'x');
    CEvent done(true, true);
    OverlappedRequest req;
    req.m_Fd = fd;
    req.m_pBuffer = big.data();
    req.m_Length = big.size();
    req.m_pDone = &done;
    ASSERT_TRUE(StartOverlappedWrite(&req));
    bool sawPending = req.m_bPending.load();
    if (sawPending)
    {
        EXPECT_FALSE(StartOverlappedWrite(&req));
        EXPECT_EQ(errno, EBUSY);
    }
    size_t bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(&req, bytes, true));
    EXPECT_EQ(bytes, big.size());
    EXPECT_TRUE(done.IsSet());
    EXPECT_FALSE(req.m_bPending.load());
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), big.size());
    close(fd);

    // A descriptor opened for reading only: the write fails with EBADF.
    int ro = open(path.c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    const char text[] = "abc";
    OverlappedRequest bad;
    bad.m_Fd = ro;
    bad.m_pBuffer = text;
    bad.m_Length = 3;
    bad.m_pDone = &done;
    ASSERT_TRUE(StartOverlappedWrite(&bad));
    EXPECT_FALSE(GetOverlappedResult(&bad, bytes, true));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(bytes, 0u);
    close(ro);

    OverlappedRequest none;
    EXPECT_FALSE(StartOverlappedWrite(&none));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(StartOverlappedWrite(nullptr));
}

// Stopping drains what is queued; writes after the stop still complete and
// start the workers again.
TEST(OverlappedFile, StopDrainsAndRestartsOnUse)
{
    std::string path = TempPath("stop.bin");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < 200; ++i)
    {
        auto s = std::make_unique<Slot>();
        s->m_Data = std::string(4096, static_cast<char>('a' + i % 26));
        s->m_Req.m_Fd = fd;
        s->m_Req.m_Offset = static_cast<uint64_t>(i) * 4096;
        s->m_Req.m_pBuffer = s->m_Data.data();
        s->m_Req.m_Length = 4096;
        s->m_Req.m_pDone = &s->m_Done;
        ASSERT_TRUE(StartOverlappedWrite(&s->m_Req));
        slots.push_back(std::move(s));
    }
    StopOverlappedIo();
    EXPECT_EQ(GetOverlappedIoWorkerCount(), 0u);
    for (auto& s : slots)
    {
        EXPECT_FALSE(s->m_Req.m_bPending.load()) << "the stop completes every queued request";
        EXPECT_TRUE(s->m_Done.IsSet());
    }

    auto late = std::make_unique<Slot>();
    late->m_Data = "tail";
    late->m_Req.m_Fd = fd;
    late->m_Req.m_Offset = 200u * 4096;
    late->m_Req.m_pBuffer = late->m_Data.data();
    late->m_Req.m_Length = 4;
    late->m_Req.m_pDone = &late->m_Done;
    ASSERT_TRUE(StartOverlappedWrite(&late->m_Req));
    size_t bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(&late->m_Req, bytes, true));
    EXPECT_EQ(bytes, 4u);
    EXPECT_GE(GetOverlappedIoWorkerCount(), 1u);
    close(fd);

    std::string got = ReadAll(path);
    ASSERT_EQ(got.size(), 200u * 4096 + 4);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(got[static_cast<size_t>(i) * 4096 + 100], static_cast<char>('a' + i % 26)) << i;
    EXPECT_EQ(got.substr(200u * 4096), "tail");
}
