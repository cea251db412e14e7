#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/NamedEvent.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace platform;

TEST(EventWait, ManualAndAutoResetSemantics)
{
    CEvent manual(true, false);
    EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_TIMEOUT);
    manual.Set();
    EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_OBJECT_0) << "manual reset stays set";
    manual.Reset();
    EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_TIMEOUT);

    CEvent autoReset(false, true);
    EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_TIMEOUT) << "auto reset releases one waiter";
    autoReset.Set();
    autoReset.Set();
    EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_TIMEOUT) << "two sets are one signal";
}

TEST(EventWait, WaitAnyReturnsLowestSignalledIndexAndTimesOut)
{
    std::vector<std::unique_ptr<CEvent>> events;
    std::vector<CWaitable*> objects;
    for (int i = 0; i < 100; ++i)
    {
        events.push_back(std::make_unique<CEvent>(true, false));
        objects.push_back(events.back().get());
    }
    uint32_t start = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(100, objects.data(), false, 50), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - start, 45u);
    events[97]->Set();
    events[70]->Set();
    EXPECT_EQ(WaitForMultipleObjects(100, objects.data(), false, 0), WAIT_OBJECT_0 + 70);
    EXPECT_EQ(WaitForMultipleObjects(0, objects.data(), false, 0), WAIT_FAILED);
    objects[3] = nullptr;
    EXPECT_EQ(WaitForMultipleObjects(100, objects.data(), false, 0), WAIT_FAILED);
}

TEST(EventWait, WaitAllNeedsEveryObjectAndTakesAutoResetOnlyWhenAllAreSet)
{
    CEvent a(false, true), b(true, false);
    CWaitable* objects[2] = {&a, &b};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(a.IsSet()) << "a failed wait-all must not consume the auto-reset event";
    ThreadHandle t = CreateThread(
        [&b]
        {
            Sleep(30);
            b.Set();
            return 0u;
        });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(a.IsSet());
    EXPECT_TRUE(b.IsSet());
    WaitForSingleObject(t.get(), INFINITE);
}

TEST(Threads, HandleSignalsAtEndAndKeepsExitCode)
{
    CEvent go(true, false);
    ThreadHandle t = CreateThread(
        [&go]
        {
            WaitForSingleObject(&go, INFINITE);
            return 42u;
        });
    ASSERT_TRUE(t);
    EXPECT_NE(t->GetThreadId(), 0u);
    EXPECT_NE(t->GetThreadId(), GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(t.get(), 20), WAIT_TIMEOUT);
    go.Set();
    EXPECT_EQ(WaitForSingleObject(t.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(t->GetExitCode(), 42u);
    EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
}

TEST(Threads, AThreadThatWillNotStopIsAbandonedNotKilled)
{
    auto release = std::make_shared<CEvent>(true, false);
    ThreadHandle t = CreateThread(
        [release]
        {
            WaitForSingleObject(release.get(), INFINITE);
            return 0u;
        });
    EXPECT_FALSE(TerminateThread(t, 0xFFFFFFFF));
    EXPECT_TRUE(t->IsAbandoned());
    EXPECT_EQ(t->GetExitCode(), 0xFFFFFFFFu);
    release->Set();
    EXPECT_EQ(WaitForSingleObject(t.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(t->GetExitCode(), 0xFFFFFFFFu);
}

TEST(MessageQueues, PostedMessagesArriveInOrderAndQuitEndsTheLoop)
{
    std::atomic<uint32_t> tid{0};
    CEvent ready(true, false);
    std::vector<uint32_t> got;
    ThreadHandle t = CreateThread(
        [&]
        {
            EnsureThreadMessageQueue();
            tid = GetCurrentThreadId();
            ready.Set();
            MSG msg;
            while (GetMessage(&msg))
                got.push_back(msg.message + static_cast<uint32_t>(msg.wParam));
            return 0u;
        });
    WaitForSingleObject(&ready, INFINITE);
    EXPECT_TRUE(PostThreadMessage(tid, 1124, 1, 0));
    EXPECT_TRUE(PostThreadMessage(tid, 1225, 0, 0));
    EXPECT_TRUE(PostThreadMessage(tid, WM_QUIT, 0, 0));
    EXPECT_EQ(WaitForSingleObject(t.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(got, (std::vector<uint32_t>{1125, 1225}));
    EXPECT_FALSE(PostThreadMessage(tid, 1124, 0, 0)) << "the queue goes with its thread";
}

TEST(MessageQueues, QueueIsWaitableBesideEvents)
{
    CEvent other(true, false);
    CWaitable* objects[2] = {&other, GetThreadMessageWaitable()};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), 1225, 0, 0));
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
    MSG msg;
    EXPECT_TRUE(PeekMessage(&msg, true));
    EXPECT_EQ(msg.message, 1225u);
    EXPECT_FALSE(PeekMessage(&msg, true));
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_TIMEOUT);
}

TEST(NamedEvents, SetReachesOnlyAnOwner)
{
    std::string path = ::testing::TempDir() + "qb_named_event_" + std::to_string(getpid());
    EXPECT_FALSE(SetNamedEvent(path)) << "nobody owns it yet";
    CNamedEvent ev;
    ASSERT_TRUE(ev.Create(path));
    EXPECT_EQ(WaitForSingleObject(&ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetNamedEvent(path));
    EXPECT_EQ(WaitForSingleObject(&ev, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(&ev, 0), WAIT_TIMEOUT);
    ev.Close();
    EXPECT_FALSE(SetNamedEvent(path));
}

TEST(Ticks, MonotonicMillisecondsIn32Bits)
{
    uint32_t a = GetTickCount();
    Sleep(20);
    uint32_t b = GetTickCount();
    EXPECT_GE(b - a, 19u);
    EXPECT_LT(b - a, 2000u);
    EXPECT_EQ(static_cast<uint32_t>(GetTickCount64()) - GetTickCount() < 10u, true);
}
