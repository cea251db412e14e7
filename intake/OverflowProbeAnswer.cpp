#include "intake/OverflowProbeAnswer.h"

#include "core/ProgramLogRecorder.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "protocol/WireProtocol.h"

#include <cstring>

#define TAG "[COverflowProbeAnswer]"

std::atomic<uint32_t> COverflowProbeAnswer::s_InFlight{0};

bool COverflowProbeAnswer::Offer(platform::SOCKET s)
{
    if (s == platform::INVALID_SOCKET)
        return false;
    if (s_InFlight.fetch_add(1) >= MAX_IN_FLIGHT)
    {
        s_InFlight.fetch_sub(1);
        platform::CloseSocket(s);
        return false;
    }
    platform::ThreadHandle h = platform::CreateThread([s] { return Serve(s); });
    if (!h)
    {
        s_InFlight.fetch_sub(1);
        platform::CloseSocket(s);
        return false;
    }
    return true;
}

uint32_t COverflowProbeAnswer::Serve(platform::SOCKET s)
{
    using namespace wire;
    unsigned char record[PROBE_RECORD_LEN];
    size_t have = 0;
    {
        platform::CSocketEvent event;
        if (event.IsValid() && platform::WSAEventSelect(s, &event, platform::FD_READ | platform::FD_CLOSE))
        {
            const uint32_t start = platform::GetTickCount();
            while (have < sizeof record)
            {
                uint32_t spent = platform::GetTickCount() - start;
                if (spent >= READ_WAIT_MS ||
                    platform::WaitForSingleObject(&event, READ_WAIT_MS - spent) != platform::WAIT_OBJECT_0)
                    break;
                platform::WSANETWORKEVENTS events{};
                platform::WSAEnumNetworkEvents(s, &event, &events);
                int n = platform::Recv(s, reinterpret_cast<char*>(record) + have,
                                       static_cast<int>(sizeof record - have), 0);
                if (n > 0)
                    have += static_cast<size_t>(n);
                else if (n == 0 || platform::WSAGetLastError() != platform::WSAEWOULDBLOCK)
                    break;
            }
            platform::WSAEventSelect(s, &event, 0);
        }
    }
    const DataHead* head = reinterpret_cast<const DataHead*>(record);
    bool isProbe = have == sizeof record &&
                   (std::memcmp(record, "logs0500", 8) == 0 || std::memcmp(record, "logs1111", 8) == 0) &&
                   IsProbe(*head);
    if (isProbe)
    {
        char answer[PROBE_ANSWER_LEN];
        size_t len = BuildProbeAnswer(answer, sizeof answer);
        platform::Send(s, answer, static_cast<int>(len), 0);
        QB_LOG(PL_INFO, TAG, "[Serve] Probe Answered Beyond The Connection Limit\n");
    }
    platform::CloseSocket(s);
    s_InFlight.fetch_sub(1);
    return 0;
}
