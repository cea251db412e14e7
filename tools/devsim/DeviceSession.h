// One simulated device: its connection, its prebuilt records, the stream it sends and the replies it
// checks.
#pragma once

#include "DevSimOptions.h"
#include "DirectoryXml.h"
#include "RecordEncoder.h"

#include <array>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace devsim
{
struct SDeviceStats
{
    uint64_t m_Sent[KIND_COUNT] = {};
    // Records of each kind sent before the last keepalive whose reply came back: what the collector
    // has taken for certain (m_Sent also counts records it may never have read).
    uint64_t m_Acked[KIND_COUNT] = {};
    uint64_t m_Pushes = 0;
    uint64_t m_GarbageRuns = 0;
    uint64_t m_GarbageBytes = 0;
    uint64_t m_RepliesKeepAlive = 0;
    uint64_t m_RepliesPush = 0;
    uint64_t m_BadReplies = 0;
    uint64_t m_MissingReplies = 0;
    uint64_t m_BytesSent = 0;
    uint64_t m_BytesReceived = 0;
    bool m_Connected = false;
    uint64_t m_Connections = 0;
    bool m_Failed = false;
    std::string m_Error;
};

class CDeviceSession
{
public:
    CDeviceSession(const CDevSimOptions& opt, int index);
    ~CDeviceSession();

    // Runs the whole session (online or offline); the result is in Stats().
    void Run();
    const SDeviceStats& Stats() const { return m_Stats; }

private:
    struct STemplate
    {
        std::vector<uint8_t> m_Bytes; // unmasked
        size_t m_MsgOffset = 0;       // 0: no message
        size_t m_MsgWidth = 0;
        std::string m_Message;
    };
    struct SExpected
    {
        bool m_IsPush;
        std::vector<uint8_t> m_Bytes;
        uint64_t m_Count;
    };

    struct SScripted
    {
        int m_Kind;
        std::vector<uint8_t> m_Bytes; // unmasked
        bool m_Reply;                 // keepalive: a reply is expected
    };

    void BuildTemplates();
    bool LoadScript(std::string& error);
    void AppendScripted(std::vector<uint8_t>& out, const SScripted& s);
    void ExpectKeepAliveReply(const uint8_t* record);
    std::string AdminDocument() const;
    std::string UserDocument() const;
    void AddUserTemplates(ERecordKind kind, const SUserFields& base, int version, int32_t action);
    void UpdateClock();
    void AppendRecord(std::vector<uint8_t>& out, int kind, bool numbered = true);
    void AppendKeepAlive(std::vector<uint8_t>& out, bool counted);
    void AppendPush(std::vector<uint8_t>& out, int32_t updateType, const std::string& xml);
    void MaybeGarbage(std::vector<uint8_t>& out);
    int NextKind();
    uint64_t Random();

    bool Connect();
    bool SendBlocking(const std::vector<uint8_t>& data);
    bool WaitForReplies(bool pushOnly);
    bool ReadAndParse();
    void ParseReplies();
    void Fail(const std::string& why);
    void Dump(const std::vector<uint8_t>& data);
    void RunOnline();
    bool StreamOneConnection(double start);
    void RunOffline();
    bool FillBatch(std::vector<uint8_t>& out, double elapsed);
    bool StopFileSeen(double elapsed);

    const CDevSimOptions& m_Opt;
    int m_Index;
    std::string m_SignText;
    uint8_t m_Key[16];
    CRecordEncoder m_Plain; // unmasked encoder for templates
    CDirectoryXml m_Dir;
    std::vector<STemplate> m_Templates[KIND_COUNT];
    std::vector<int> m_Schedule; // weighted round robin over kinds
    size_t m_SchedulePos = 0;
    SLogTime m_Clock;
    uint64_t m_Seq = 0;            // records generated (stream numbering)
    uint64_t m_Generated = 0;      // counted records (excludes pushes and the closing keepalive)
    double m_StopFileChecked = -1; // elapsed time of the last look for --stop-file
    bool m_StopFileSeen = false;
    bool m_StreamDone = false;
    uint64_t m_ConnEnd = 0; // m_Generated at which this connection ends (--reconnect-every)
    bool m_ConnDone = false;
    uint64_t m_Rng;
    int m_Fd = -1;
    std::FILE* m_DumpFile = nullptr;
    std::deque<SExpected> m_Expected;
    // m_Sent as it stood at each keepalive still waiting for its reply, oldest first.
    std::deque<std::array<uint64_t, KIND_COUNT>> m_AckMarks;
    uint64_t m_ExpectedTotal = 0;
    std::vector<uint8_t> m_Rx;
    size_t m_RxPos = 0;
    SDeviceStats m_Stats;
    std::vector<SScripted> m_Script;
    std::string m_AdminDocText, m_UserDocText; // given documents, empty: the built ones
};
} // namespace devsim
