#include "core/TaskManager.h"
#include "platform/Tick.h"
#include "support/Process.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace
{
class CBlockingTask : public CTask
{
public:
    explicit CBlockingTask(platform::CEvent* release) : m_pRelease(release) {}
    ~CBlockingTask() override { ++s_Destroyed; }
    uint32_t Run() override
    {
        while (m_bRunning && platform::WaitForSingleObject(m_pRelease, 5) == platform::WAIT_TIMEOUT)
        {
        }
        return 7;
    }
    platform::CEvent* m_pRelease;
    static std::atomic<int> s_Destroyed;
};
std::atomic<int> CBlockingTask::s_Destroyed{0};

class CThrowingTask : public CTask
{
public:
    ~CThrowingTask() override { ++s_Destroyed; }
    uint32_t Run() override { throw std::runtime_error("boom"); }
    static std::atomic<int> s_Destroyed;
};
std::atomic<int> CThrowingTask::s_Destroyed{0};

class CUnstartableTask : public CTask
{
public:
    bool Start() override { return false; }
};

class TaskManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CTaskManager::GetInstance()->Init());
    }
    void TearDown() override { CTaskManager::GetInstance()->UnInit(); }
};
} // namespace

TEST_F(TaskManagerTest, TaskThatThrowsIsLoggedThenReapedAndDestroyed)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    auto* task = new CThrowingTask();
    task->m_bAutoDelete = 1;
    int destroyedBefore = CThrowingTask::s_Destroyed;
    ASSERT_TRUE(tm->AddTask(task));
    // The watcher runs every 30 s, shortened for tests by the time divisor.
    uint32_t start = platform::GetTickCount();
    while (CThrowingTask::s_Destroyed == destroyedBefore && platform::GetTickCount() - start < 10000)
        platform::Sleep(10);
    EXPECT_EQ(CThrowingTask::s_Destroyed, destroyedBefore + 1);
    EXPECT_FALSE(tm->IsTaskListed(task));
    std::string log = qbtest::ReadTodayLog();
    size_t err = log.find("[ERROR][TID=");
    ASSERT_NE(log.find("[CTask::_Run]Exception Occur In class (anonymous namespace)::CThrowingTask\n"),
              std::string::npos)
        << log;
    size_t warn =
        log.find("[CTaskManager]Find Task class (anonymous namespace)::CThrowingTask Exit In Exception!\n");
    ASSERT_NE(warn, std::string::npos) << log;
    EXPECT_LT(err, warn) << "ERROR from the thread, then WARN from the watcher";
    EXPECT_FALSE(tm->DelTask(task)) << "a reaped task is not deleted twice";
}

// A task its owner lets go of while it may be ending: handed over while listed, the manager destroys it
// when it ends; once the watcher has unlisted it, the hand-over is refused and the owner still has it.
TEST_F(TaskManagerTest, HandOverDestroysEachTaskExactlyOnce)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    platform::CEvent release(true, false);
    auto* running = new CBlockingTask(&release);
    ASSERT_TRUE(tm->AddTask(running));
    int destroyedBefore = CBlockingTask::s_Destroyed;
    ASSERT_TRUE(tm->HandOverTask(running));
    release.Set();
    EXPECT_TRUE(qbtest::WaitUntil([&] { return CBlockingTask::s_Destroyed == destroyedBefore + 1; }, 10000));

    auto* ended = new CBlockingTask(&release);
    ASSERT_TRUE(tm->AddTask(ended));
    ASSERT_TRUE(qbtest::WaitUntil([&] { return !tm->IsTaskListed(ended); }, 10000)) << "watcher unlists it";
    EXPECT_FALSE(tm->HandOverTask(ended));
    EXPECT_EQ(CBlockingTask::s_Destroyed, destroyedBefore + 1) << "not destroyed by the manager";
    delete ended;
}

TEST_F(TaskManagerTest, AddTaskOfUnstartableTaskLeavesListUnchanged)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    size_t before = tm->GetTaskCount();
    CUnstartableTask task;
    EXPECT_FALSE(tm->AddTask(&task));
    EXPECT_FALSE(tm->AddTask(nullptr));
    EXPECT_EQ(tm->GetTaskCount(), before);
}

TEST_F(TaskManagerTest, WaitAllOverSixtyFiveTasksReturnsOnlyWhenAllEnded)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    constexpr int N = 65;
    std::vector<std::unique_ptr<platform::CEvent>> releases;
    std::vector<CTask*> tasks;
    for (int i = 0; i < N; ++i)
    {
        releases.push_back(std::make_unique<platform::CEvent>(true, false));
        tasks.push_back(new CBlockingTask(releases.back().get()));
        ASSERT_TRUE(tm->AddTask(tasks.back()));
    }
    EXPECT_EQ(tm->WaitForMultiTask(tasks.data(), N, true, 50), platform::WAIT_TIMEOUT);
    for (int i = 0; i < N - 1; ++i)
        releases[i]->Set();
    EXPECT_EQ(tm->WaitForMultiTask(tasks.data(), N, true, 100), platform::WAIT_TIMEOUT)
        << "one of 65 still runs";
    EXPECT_EQ(tm->WaitForMultiTask(tasks.data(), N, false, 1000), platform::WAIT_OBJECT_0)
        << "wait-any: the first ended one";
    releases[N - 1]->Set();
    int destroyedBefore = CBlockingTask::s_Destroyed;
    EXPECT_EQ(tm->WaitForMultiTask(tasks.data(), N, true, 5000), platform::WAIT_OBJECT_0);
    // The watcher then removes every ended task; without auto-delete they stay ours.
    uint32_t start = platform::GetTickCount();
    while (tm->GetTaskCount() != 0 && platform::GetTickCount() - start < 10000)
        platform::Sleep(10);
    EXPECT_EQ(tm->GetTaskCount(), 0u);
    EXPECT_EQ(CBlockingTask::s_Destroyed, destroyedBefore);
    for (CTask* t : tasks)
    {
        EXPECT_EQ(t->m_Status, CTask::STATUS_FINISHED);
        EXPECT_FALSE(tm->DelTask(t));
        delete t;
    }
}

TEST_F(TaskManagerTest, StopAllClearsRunningFlagsAndSingleWaitWarnsForUnlisted)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    platform::CEvent never(true, false);
    auto* listed = new CBlockingTask(&never);
    ASSERT_TRUE(tm->AddTask(listed));
    CBlockingTask unlisted(&never);
    ASSERT_TRUE(unlisted.Start());
    EXPECT_EQ(tm->WaitForSingleTask(&unlisted, 20), platform::WAIT_TIMEOUT) << "still waits on its thread";
    unlisted.Stop();
    EXPECT_EQ(tm->WaitForSingleTask(&unlisted, 5000), platform::WAIT_OBJECT_0);
    CBlockingTask noThread(&never);
    EXPECT_EQ(tm->WaitForSingleTask(&noThread, 0), platform::WAIT_FAILED);

    tm->StopAllTask();
    EXPECT_EQ(tm->WaitForSingleTask(listed, 5000), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(tm->DelTask(listed));
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(
        log.find("[CTaskManager::WaitForSingleTask]class (anonymous namespace)::CBlockingTask Does Not In "
                 "The TaskManager\n"),
        std::string::npos);
    EXPECT_NE(log.find("Invalid Thread Handle In class (anonymous namespace)::CBlockingTask\n"),
              std::string::npos);
}

TEST(TaskManagerUninitialised, OperationsReturnAtOnce)
{
    CTaskManager* tm = CTaskManager::GetInstance();
    CBlockingTask task(nullptr);
    EXPECT_FALSE(tm->AddTask(&task));
    EXPECT_FALSE(tm->RemoveTask(&task));
    EXPECT_EQ(tm->WaitForAllTask(10), 0u);
    EXPECT_EQ(tm->WaitForSingleTask(nullptr, 0), platform::WAIT_FAILED);
}
