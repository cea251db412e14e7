// The local info query: the input is one received block as the listener hands it to its dispatcher
// (at most its 1024-byte buffer), answered over a real socket pair.
//
// Checked: a well-formed INFOQRY request of the merge kind gets exactly one 100-byte INFORLY answer,
// anything else gets nothing.
#include "fuzz/FuzzEnv.h"

#include "maintenance/InfoRetrieveTask.h"

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qbfuzz
{
int FuzzInfoQuery(const uint8_t* data, size_t size)
{
    InitFuzzEnv();
    const size_t n = size > static_cast<size_t>(CInfoRetrieveTask::REQUEST_BUFF_SIZE)
                         ? static_cast<size_t>(CInfoRetrieveTask::REQUEST_BUFF_SIZE)
                         : size;
    // The listener's buffer is zeroed before each receive.
    std::vector<char> buffer(CInfoRetrieveTask::REQUEST_BUFF_SIZE, 0);
    if (n > 0)
        std::memcpy(buffer.data(), data, n);

    int pair[2];
    QB_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    static CInfoRetrieveTask s_Task;
    s_Task.DispatchRequest(pair[0], buffer.data(), static_cast<int>(n));

    char reply[512];
    ssize_t got = recv(pair[1], reply, sizeof(reply), 0);
    close(pair[0]);
    close(pair[1]);

    InfoQueryHeader head{};
    bool valid = n >= sizeof(head);
    if (valid)
    {
        std::memcpy(&head, buffer.data(), sizeof(head));
        valid = head.m_HeaderSize == sizeof(InfoQueryHeader) &&
                std::memcmp(head.m_Sign, INFO_QUERY_SIGN, sizeof(head.m_Sign)) == 0 &&
                head.m_QueryType == INFO_QUERY_TYPE_LOGMERGE;
    }
    if (!valid)
    {
        QB_FUZZ_CHECK(got <= 0);
        return 0;
    }
    QB_FUZZ_CHECK(got == static_cast<ssize_t>(sizeof(InfoReplyHeader) + sizeof(InfoLogMergeReplyData)));
    InfoReplyHeader rh;
    std::memcpy(&rh, reply, sizeof(rh));
    QB_FUZZ_CHECK(rh.m_HeaderSize == sizeof(InfoReplyHeader));
    QB_FUZZ_CHECK(std::memcmp(rh.m_Sign, INFO_REPLY_SIGN, sizeof(rh.m_Sign)) == 0);
    QB_FUZZ_CHECK(rh.m_DataSize == sizeof(InfoLogMergeReplyData));
    return 0;
}
} // namespace qbfuzz
