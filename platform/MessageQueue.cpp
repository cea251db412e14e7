#include "platform/MessageQueue.h"

#include "platform/Tick.h"

#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform
{
namespace
{
// Readable while messages wait; waiting never consumes it, reading does.
class CQueueSignal : public CWaitable
{
public:
    CEvent m_Event{true, false};
    int GetWaitFd() const override { return m_Event.GetWaitFd(); }
    bool TryAcquire() override { return m_Event.IsSet(); }
};

struct Queue
{
    std::mutex m_Lock;
    std::deque<MSG> m_Messages;
    CQueueSignal m_Signal;
};

std::mutex g_RegistryLock;
std::unordered_map<uint32_t, std::shared_ptr<Queue>>& Registry()
{
    static auto* registry = new std::unordered_map<uint32_t, std::shared_ptr<Queue>>();
    return *registry;
}

// Unregisters the queue when its thread ends, however the thread was started.
struct QueueOwner
{
    std::shared_ptr<Queue> m_Queue;
    uint32_t m_ThreadId = 0;
    ~QueueOwner()
    {
        if (!m_Queue)
            return;
        std::lock_guard<std::mutex> lock(g_RegistryLock);
        auto it = Registry().find(m_ThreadId);
        if (it != Registry().end() && it->second == m_Queue)
            Registry().erase(it);
    }
};
thread_local QueueOwner t_Owner;

Queue& OwnQueue()
{
    EnsureThreadMessageQueue();
    return *t_Owner.m_Queue;
}

bool Pop(Queue& q, MSG* msg, bool remove)
{
    std::lock_guard<std::mutex> lock(q.m_Lock);
    if (q.m_Messages.empty())
        return false;
    if (msg)
        *msg = q.m_Messages.front();
    if (remove)
    {
        q.m_Messages.pop_front();
        if (q.m_Messages.empty())
            q.m_Signal.m_Event.Reset();
    }
    return true;
}
} // namespace

void EnsureThreadMessageQueue()
{
    if (t_Owner.m_Queue)
        return;
    t_Owner.m_Queue = std::make_shared<Queue>();
    t_Owner.m_ThreadId = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_RegistryLock);
    Registry()[t_Owner.m_ThreadId] = t_Owner.m_Queue;
}

void DestroyThreadMessageQueue()
{
    if (!t_Owner.m_Queue)
        return;
    {
        std::lock_guard<std::mutex> lock(g_RegistryLock);
        auto it = Registry().find(t_Owner.m_ThreadId);
        if (it != Registry().end() && it->second == t_Owner.m_Queue)
            Registry().erase(it);
    }
    t_Owner.m_Queue.reset();
}

bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    std::shared_ptr<Queue> q;
    {
        std::lock_guard<std::mutex> lock(g_RegistryLock);
        auto it = Registry().find(threadId);
        if (it == Registry().end())
            return false;
        q = it->second;
    }
    std::lock_guard<std::mutex> lock(q->m_Lock);
    q->m_Messages.push_back({message, wParam, lParam});
    q->m_Signal.m_Event.Set();
    return true;
}

bool GetMessage(MSG* msg)
{
    Queue& q = OwnQueue();
    MSG local{};
    while (!Pop(q, &local, true))
        WaitForSingleObject(&q.m_Signal, INFINITE);
    if (msg)
        *msg = local;
    return local.message != WM_QUIT;
}

bool PeekMessage(MSG* msg, bool remove)
{
    return Pop(OwnQueue(), msg, remove);
}

CWaitable* GetThreadMessageWaitable()
{
    return &OwnQueue().m_Signal;
}
} // namespace platform
