#pragma once
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>

// A connection that finds every device slot taken is not a device session,
// but it may be the watchdog's probe: answering it keeps a busy collector from
// being killed and restarted for being busy. Each such connection gets a short
// look of its own thread: a probe record is answered with the tag, anything
// else (or nothing within the wait) is closed. Few of them run at once, so a
// flood of surplus connections is closed at once as before.
class COverflowProbeAnswer
{
public:
    // Takes the socket (closes it in every case). False when too many surplus
    // connections are being looked at already; it was closed at once then.
    static bool Offer(platform::SOCKET s);
    // Surplus connections being looked at now.
    static uint32_t InFlight() { return s_InFlight.load(); }

    static constexpr uint32_t MAX_IN_FLIGHT = 4;
    // Longest wait for the probe's bytes; the watchdog sends them at once
    // after connecting from the same host. Short, so that a surplus device
    // connection is still closed well within a second.
    static constexpr uint32_t READ_WAIT_MS = 500;

private:
    static uint32_t Serve(platform::SOCKET s);
    static std::atomic<uint32_t> s_InFlight;
};
