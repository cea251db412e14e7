#pragma once
#include "platform/Event.h"

#include <string>

namespace platform
{
// A named event other processes can set: a FIFO at a path. The owner creates
// it and waits on it; SetNamedEvent from any process signals the owner, and
// fails when no process owns an event of that name. Create fails with EBUSY
// when a live process owns the path already; a FIFO left behind by an owner
// that died is taken over.
class CNamedEvent : public CWaitable
{
public:
    CNamedEvent() = default;
    ~CNamedEvent() override;
    CNamedEvent(const CNamedEvent&) = delete;
    CNamedEvent& operator=(const CNamedEvent&) = delete;

    bool Create(const std::string& path);
    void Close();
    int GetWaitFd() const override { return m_ReadFd; }
    // Consumes the signals received so far.
    bool TryAcquire() override;

private:
    std::string m_Path;
    int m_ReadFd = -1;
    int m_KeepWriterFd = -1; // keeps the FIFO from reporting hang-up between writers
};

bool SetNamedEvent(const std::string& path);
// Sets every owned event in `dir` called `name` or `name`.<digits>; the number of owners reached.
int SetNamedEvents(const std::string& dir, const std::string& name);
} // namespace platform
