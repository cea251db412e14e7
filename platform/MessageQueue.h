#pragma once
#include "platform/Event.h"

#include <cstdint>

namespace platform
{
constexpr uint32_t WM_QUIT = 18;

struct MSG
{
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// Per-thread message queues, found by thread id. A thread owns a queue from
// its first queue call (as on the original platform) until it ends.
void EnsureThreadMessageQueue();
void DestroyThreadMessageQueue();
// False when the target thread has no queue.
bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Blocks until a message arrives; false for WM_QUIT.
bool GetMessage(MSG* msg);
// Non-blocking; true when a message was there (and removed if remove is set).
bool PeekMessage(MSG* msg, bool remove);
// Signalled while the calling thread's queue holds a message; lets a thread
// wait for messages and other objects in one wait.
CWaitable* GetThreadMessageWaitable();
} // namespace platform
