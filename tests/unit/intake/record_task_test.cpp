// The record task on real rings and a real thread: framing of streams fed in arbitrary pieces,
// resynchronisation after garbage and bad lengths, replies through the send ring, the disk-full rules
// and the bounds on memory.
#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "intake/NodeLogRecordTask.h"
#include "platform/MessageQueue.h"
#include "platform/Profile.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "support/TestInstall.h"
#include "support/TestRecords.h"

#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace rectest;

namespace
{
std::string Bytes(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

std::string KeepAliveReplyOf(const std::vector<uint8_t>& request)
{
    uint8_t reply[KEEPALIVE_REPLY_LEN];
    size_t n = wire::BuildKeepAliveReply(As<DataHead>(const_cast<std::vector<uint8_t>&>(request)), reply,
                                         sizeof(reply));
    return std::string(reinterpret_cast<char*>(reply), n);
}

void SetKelvAdv(const char* key, int value)
{
    std::string path = CConfigManager::GetInstance()->GetConfigFilePath("KelvAdv.conf");
    platform::WritePrivateProfileString("SvpnNode", key, std::to_string(value), path);
    CConfigManager::GetInstance()->LoadSpicifyConfig("KelvAdv.conf");
}

// Plays the connection thread: owns both rings, feeds the receive ring from a producer thread and
// drains the send ring when told through thread message 1225.
class CNodeSim
{
public:
    CNodeSim(uint32_t recvCapacity, uint32_t sendCapacity)
    {
        EXPECT_TRUE(m_Recv.Init(recvCapacity));
        EXPECT_TRUE(m_Send.Init(sendCapacity));
        platform::EnsureThreadMessageQueue();
        platform::MSG msg;
        while (platform::PeekMessage(&msg, true))
        {
        }
        m_Task.SetNodeThreadId(platform::GetCurrentThreadId());
        m_Task.SetRingCaches(&m_Recv, &m_Send);
    }
    ~CNodeSim()
    {
        StopTask();
        if (m_Producer.joinable())
            m_Producer.join();
    }

    void StartTask() { ASSERT_TRUE(m_Task.Start()); }
    void StopTask()
    {
        if (m_Task.m_hThread)
        {
            m_Task.m_bRunning = 0;
            m_Task.StopAndWait(20000);
            m_Task.m_hThread.reset();
        }
        m_bStopFeed = true;
    }

    // Writes the stream in pieces of 1..maxPiece bytes on a thread of its own.
    void Feed(std::string stream, uint32_t maxPiece, unsigned seed)
    {
        m_Producer = std::thread(
            [this, stream = std::move(stream), maxPiece, seed]
            {
                std::mt19937 rng(seed);
                size_t off = 0;
                while (off < stream.size() && !m_bStopFeed)
                {
                    uint32_t space = 0;
                    if (!m_Recv.GetCanWriteSize(space))
                    {
                        platform::WaitForSingleObject(m_Recv.GetSpaceEvent(), 50);
                        continue;
                    }
                    uint32_t piece = std::uniform_int_distribution<uint32_t>(1, maxPiece)(rng);
                    piece = std::min<uint32_t>({piece, space, static_cast<uint32_t>(stream.size() - off)});
                    std::memcpy(m_Recv.GetWritePtr(), stream.data() + off, piece);
                    m_Recv.CommitWrite(piece);
                    off += piece;
                    if (rng() % 4 == 0)
                        std::this_thread::yield();
                }
                m_bFed = true;
            });
    }

    // Drains replies until `bytes` arrived or the time is up; returns what arrived.
    std::string Collect(size_t bytes, uint32_t timeoutMs = 20000)
    {
        uint32_t start = platform::GetTickCount();
        do
        {
            platform::WaitForSingleObject(platform::GetThreadMessageWaitable(), 50);
            platform::MSG msg;
            while (platform::PeekMessage(&msg, true))
            {
                if (msg.message == WM_SVPNNODE_DATA_CANSEND)
                    ++m_CanSendMessages;
                else
                    m_Other.push_back(msg);
            }
            Drain();
        } while (m_Out.size() < bytes && platform::GetTickCount() - start < timeoutMs);
        return m_Out;
    }
    void Drain()
    {
        uint32_t n = 0;
        while (m_Send.GetCanReadSize(n))
        {
            m_Out.append(m_Send.GetReadPtr(), n);
            m_Send.CommitRead(n);
        }
    }
    // Waits until the task has seen `records` records.
    bool WaitReceived(uint64_t records, uint32_t timeoutMs = 20000)
    {
        uint32_t start = platform::GetTickCount();
        while (m_Task.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED) < records)
        {
            if (platform::GetTickCount() - start > timeoutMs)
                return false;
            Collect(0, 10);
            platform::Sleep(5);
        }
        return true;
    }

    CRingCache m_Recv, m_Send;
    CNodeLogRecordTask m_Task;
    std::thread m_Producer;
    std::atomic<bool> m_bStopFeed{false}, m_bFed{false};
    std::string m_Out;
    uint32_t m_CanSendMessages = 0;
    std::vector<platform::MSG> m_Other;
};

class RecordTaskTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qbtest::InitTestInstall();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        CConfigManager::GetInstance()->SetIsFull(0);
        m_LogStart = qbtest::ReadTodayLog().size();
    }
    // The program log written since the test began.
    std::string NewLog() { return qbtest::ReadTodayLog().substr(m_LogStart); }
    size_t m_LogStart = 0;
    void TearDown() override
    {
        CConfigManager::GetInstance()->SetIsFull(0);
        SetKelvAdv("DumpInvalidLog", 0);
    }
};

// A mixed stream through a small ring: records wrap at every possible place, alarm records are longer
// than the 2048-byte tail that the ring joins by itself, garbage sits between some records.
TEST_F(RecordTaskTest, MixedStreamInArbitraryPiecesIsFramedOnce)
{
    CNodeSim node(16 * 1024, 64 * 1024);
    std::mt19937 rng(7);
    std::string stream, expected;
    uint64_t records = 0, keepalives = 0, alarms = 0, unsupported = 0;
    for (int i = 0; i < 300; ++i)
    {
        if (i % 7 == 3)
        {
            std::string garbage(rng() % 3000 + 1, '\0');
            for (char& c : garbage)
                c = static_cast<char>('A' + rng() % 20);
            stream += garbage;
        }
        auto ka = KeepAlive(i % 3);
        if (i % 2)
            Mask(ka);
        stream += Bytes(ka);
        expected += KeepAliveReplyOf(ka);
        ++records, ++keepalives;

        auto alarm = Alarm(i % 13);
        if (i % 3 == 0)
            Mask(alarm);
        stream += Bytes(alarm);
        ++records, ++alarms;

        if (i % 10 == 0)
        {
            stream += Bytes(Probe());
            expected += std::string(PROBE_TAG, PROBE_ANSWER_LEN);
            ++records, ++keepalives;
            for (uint32_t type : {6u, 7u, 9u, 13u, 14u, 15u, 99u})
            {
                stream += Bytes(MakeRecord(type, 60 + type, TestKey(), 2));
                ++records, ++unsupported;
            }
            auto emptyFlux = User<UserLogV3>(LOG_TYPE_USERV3, USER_LOG_V3_LEN, USER_ACTION_FLUX);
            As<UserLogV3>(emptyFlux).m_UpFlux = 0;
            As<UserLogV3>(emptyFlux).m_DownFlux = 0;
            stream += Bytes(emptyFlux);
            ++records;
        }
    }

    node.StartTask();
    node.Feed(stream, 3000, 11);
    std::string out = node.Collect(expected.size());
    ASSERT_TRUE(node.WaitReceived(records))
        << "received " << node.m_Task.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED) << " of " << records
        << ", replies " << node.m_Out.size() << " of " << expected.size() << ", fed " << node.m_bFed;
    node.StopTask();
    node.Drain();

    EXPECT_EQ(node.m_Out.size(), expected.size());
    EXPECT_TRUE(node.m_Out == expected) << "replies differ from the expected sequence";
    CNodeLogRecordTask& t = node.m_Task;
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED), records);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_KEEPALIVE), keepalives);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_ALARM), alarms);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_UNSUPPORTED), unsupported);
    EXPECT_GE(node.m_CanSendMessages, 1u);
    // The device is not registered: its key is remembered from its keepalives, nothing else.
    EXPECT_EQ(std::memcmp(t.GetDevMD5(), TestKey(), 16), 0);
    EXPECT_FALSE(t.IsSyncReady());
    EXPECT_EQ(CDeviceRegistry::GetInstance()->GetNodeUseCount(TestKey()), 0);
    // Never more than one record of linear buffer.
    EXPECT_LE(t.GetLinearBuffSize(), static_cast<size_t>(ALARM_LOG_LEN));

    std::string log = NewLog();
    EXPECT_NE(log.find("[Deal_Alarm_Log] Sync Not Ready , Drop Packge!\n"), std::string::npos);
    EXPECT_NE(log.find("[ProcessLogData] Need To Call RingCache2LinearityBuff To Make Buff Linearity."),
              std::string::npos)
        << "the stream never exercised the copy-out of a wrapping record";
    EXPECT_NE(log.find("[Deal_UnSupport_Log] UnSupport Type = 99 DataSize = 159\n"), std::string::npos);
}

// Sign search, bad lengths and incomplete records, one step at a time on the test thread.
class RecordFramingTest : public RecordTaskTest
{
protected:
    void SetUp() override
    {
        RecordTaskTest::SetUp();
        m_Node = std::make_unique<CNodeSim>(64 * 1024, 64 * 1024);
        m_Node->m_Task.m_bRunning = 1;
    }
    void Put(const std::string& bytes)
    {
        uint32_t space = 0;
        ASSERT_TRUE(m_Node->m_Recv.GetCanWriteSize(space));
        ASSERT_GE(space, bytes.size());
        std::memcpy(m_Node->m_Recv.GetWritePtr(), bytes.data(), bytes.size());
        m_Node->m_Recv.CommitWrite(static_cast<uint32_t>(bytes.size()));
    }
    uint32_t Readable()
    {
        uint32_t n = 0;
        m_Node->m_Recv.GetCanReadSize(n);
        return n;
    }
    std::unique_ptr<CNodeSim> m_Node;
};

TEST_F(RecordFramingTest, BadLengthsConsumeExactlyTheHead)
{
    const uint32_t max = CNodeLogRecordTask::GetMaxRecordSize();
    EXPECT_EQ(max, 5u * 1048576u); // the shipped MaxPackgeSize
    for (uint32_t len : {41u, max + 1, 0u, 0xFFFFFFFFu})
    {
        auto head = MakeRecord(LOG_TYPE_KEEPALIVE, 42);
        As<DataHead>(head).m_DataLen = wire::HostToLe32(len);
        Put(Bytes(head) + std::string(100, 'x'));
        ASSERT_EQ(m_Node->m_Task.FindDataHead(Readable()), SIGN_CODE_1111);
        char* before = m_Node->m_Recv.GetReadPtr();
        EXPECT_EQ(m_Node->m_Task.ProcessLogData(SIGN_CODE_1111), 1);
        EXPECT_EQ(m_Node->m_Recv.GetReadPtr() - before, 42) << len;
        m_Node->m_Recv.CommitRead(Readable());
    }
    std::string log = NewLog();
    EXPECT_NE(log.find("[ProcessLogData] Recv Error DataHead m_DataLen = 41\n"), std::string::npos);
    EXPECT_NE(log.find("[ProcessLogData] Recv Error DataHead m_DataLen = 5242881\n"), std::string::npos);
    EXPECT_EQ(m_Node->m_Task.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED), 0u);
}

TEST_F(RecordFramingTest, IncompleteRecordWaitsWithoutConsuming)
{
    auto alarm = Alarm();
    Put(Bytes(alarm).substr(0, 1000));
    ASSERT_EQ(m_Node->m_Task.FindDataHead(Readable()), SIGN_CODE_1111);
    char* before = m_Node->m_Recv.GetReadPtr();
    EXPECT_EQ(m_Node->m_Task.ProcessLogData(SIGN_CODE_1111), 0);
    EXPECT_EQ(m_Node->m_Recv.GetReadPtr(), before);
    Put(Bytes(alarm).substr(1000));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(Readable(), 0u);
    EXPECT_EQ(m_Node->m_Task.GetCounter(CNodeLogRecordTask::COUNTER_ALARM), 1u);
    EXPECT_EQ(m_Node->m_Task.GetLinearBuffSize(), 0u) << "a contiguous record must be parsed in place";

    // A record announcing the largest accepted length: waited for, nothing allocated for it yet.
    auto big = MakeRecord(LOG_TYPE_LOGUDTDB, 42);
    As<DataHead>(big).m_DataLen = wire::HostToLe32(CNodeLogRecordTask::GetMaxRecordSize());
    Put(Bytes(big));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(Readable(), 42u);
    EXPECT_EQ(m_Node->m_Task.GetLinearBuffSize(), 0u);
}

TEST_F(RecordFramingTest, GarbageBeforeASignIsSkippedSilentlyAndASplitSignSurvives)
{
    // Garbage ending in the first half of a sign: the half must not be thrown away with the garbage.
    auto ka = KeepAlive();
    std::string garbage(3000, 'g');
    Put(garbage + Bytes(ka).substr(0, 4));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_LT(Readable(), 8u);
    Put(Bytes(ka).substr(4));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(Readable(), 0u);
    EXPECT_EQ(m_Node->m_Task.GetCounter(CNodeLogRecordTask::COUNTER_KEEPALIVE), 1u);
    EXPECT_EQ(m_Node->Collect(KEEPALIVE_REPLY_LEN, 2000), KeepAliveReplyOf(ka));
    // DumpInvalidLog is 0: no dump lines.
    EXPECT_EQ(NewLog().find("67 67 67 67"), std::string::npos);
}

TEST_F(RecordFramingTest, DumpOfSkippedBytes)
{
    SetKelvAdv("DumpInvalidLog", 1);
    std::string garbage = "0123456789abcdef\tXY";
    Put(garbage + Bytes(KeepAlive()));
    m_Node->m_Task.ProcessRingBuffData();
    std::string log = NewLog();
    size_t at = log.find("30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 0123456789abcdef\r\n");
    ASSERT_NE(at, std::string::npos) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    EXPECT_NE(log.find("09 58 59                                         XY\r\n"), std::string::npos);
    EXPECT_EQ(m_Node->m_Task.GetCounter(CNodeLogRecordTask::COUNTER_KEEPALIVE), 1u);
}

TEST_F(RecordFramingTest, ProbeIsAnsweredWithItsFourteenBytes)
{
    Put(Bytes(Probe()) + Bytes(Probe(42)));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(m_Node->Collect(28, 2000), std::string("KELVDEVPROBE01KELVDEVPROBE01"));
    // A probe leaves no device identity behind.
    const uint8_t zero[16] = {};
    EXPECT_EQ(std::memcmp(m_Node->m_Task.GetDevMD5(), zero, 16), 0);
}

TEST_F(RecordFramingTest, KeepAliveReplyIsTheHeadWithLength46AndFourZeros)
{
    auto ka = KeepAlive(2);
    Mask(ka);
    Put(Bytes(ka));
    m_Node->m_Task.ProcessRingBuffData();
    std::string reply = m_Node->Collect(KEEPALIVE_REPLY_LEN, 2000);
    ASSERT_EQ(reply.size(), 46u);
    std::string head = Bytes(ka).substr(0, 42);
    uint32_t len46 = wire::HostToLe32(46);
    head.replace(28, 4, reinterpret_cast<const char*>(&len46), 4);
    EXPECT_EQ(reply.substr(0, 42), head);
    EXPECT_EQ(reply.substr(42), std::string(4, '\0'));
    EXPECT_EQ(m_Node->m_Task.GetDevType(), 2);
}

TEST_F(RecordFramingTest, DiskFullAnswersKeepAlivesAndDropsLogsUnchecked)
{
    CConfigManager::GetInstance()->SetIsFull(1);
    auto ka = KeepAlive();
    auto badUser = User<UserLog>(LOG_TYPE_USER, 797); // would fail its size check
    Put(Bytes(ka) + Bytes(badUser));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(Readable(), 0u);
    EXPECT_EQ(m_Node->Collect(KEEPALIVE_REPLY_LEN, 2000), KeepAliveReplyOf(ka));
    EXPECT_EQ(m_Node->m_Task.GetCounter(CNodeLogRecordTask::COUNTER_UNSUPPORTED), 2u);
    std::string log = NewLog();
    EXPECT_NE(log.find("[DispatchLog] Disk Full!.\n"), std::string::npos);
    EXPECT_NE(log.find("[DispatchLog] Dispatch Process Log Type = 0 Fail!!!\n"), std::string::npos);
    EXPECT_EQ(log.find("Wrong User Packge Size = 797"), std::string::npos);
}

TEST_F(RecordFramingTest, UnregisteredDeviceRecordsAreDroppedAtTheGate)
{
    auto user = User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN);
    auto flux = User<UserLogV2>(LOG_TYPE_USERV2, USER_LOG_V2_LEN, USER_ACTION_FLUX);
    Put(Bytes(user) + Bytes(flux) + Bytes(MakeRecord(LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN)));
    m_Node->m_Task.ProcessRingBuffData();
    EXPECT_EQ(Readable(), 0u);
    CNodeLogRecordTask& t = m_Node->m_Task;
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_USER), 1u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_FLUX), 1u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_SYSTEM), 1u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_UNSUPPORTED), 0u);
    EXPECT_FALSE(t.IsSyncReady());
    std::string log = NewLog();
    EXPECT_NE(log.find("[Deal_User_Log] Sync Not Ready , Drop Packge!\n"), std::string::npos);
    EXPECT_NE(log.find("[Deal_UserV2_Log] Sync Not Ready , Drop Packge!\n"), std::string::npos);
    EXPECT_NE(log.find("[Deal_System_Log] Sync Not Ready , Drop Packge!\n"), std::string::npos);
}

// A task told to end (orderly stop, closed connection) still handles every whole record it had read,
// also one that wraps around the ring end and is longer than the tail the ring joins by itself; only
// the incomplete last record stays.
TEST_F(RecordFramingTest, WholeRecordsLeftInTheRingAreHandledWhenTheTaskEnds)
{
    // The ring's contents start 3000 bytes before its end: the first alarm wraps, and its part before
    // the end is longer than the front zone, so it must be copied out.
    const uint32_t capacity = 64 * 1024;
    Put(std::string(capacity - 3000, 'g'));
    m_Node->m_Recv.CommitRead(Readable());
    std::string stream;
    uint64_t whole = 0;
    for (int i = 0; i < 6; ++i)
    {
        stream +=
            Bytes(Alarm(i)) + Bytes(KeepAlive(i % 3)) + Bytes(MakeRecord(LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN));
        whole += 3;
    }
    const std::string partial = Bytes(Alarm(1)).substr(0, 700);
    stream += partial;
    for (size_t off = 0; off < stream.size();)
    {
        uint32_t space = 0;
        ASSERT_TRUE(m_Node->m_Recv.GetCanWriteSize(space));
        uint32_t n = std::min<uint32_t>(space, static_cast<uint32_t>(stream.size() - off));
        std::memcpy(m_Node->m_Recv.GetWritePtr(), stream.data() + off, n);
        m_Node->m_Recv.CommitWrite(n);
        off += n;
    }
    ASSERT_LT(m_Node->m_Recv.GetWritePtr(), m_Node->m_Recv.GetReadPtr()) << "the stream did not wrap";

    CNodeLogRecordTask& t = m_Node->m_Task;
    t.m_bRunning = 0; // stopped before it looked at the ring
    EXPECT_EQ(t.Run(), 0u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED), whole);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_ALARM), 6u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_KEEPALIVE), 6u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_SYSTEM), 6u);
    EXPECT_EQ(m_Node->m_Recv.GetTotalReadSize(), partial.size());
    EXPECT_NE(NewLog().find("[DrainReceiveRing] Unhandled Bytes = 700 , Records Handled At The End = 18 "),
              std::string::npos);
}

// An orderly stop reaches the record task before the connection thread has stopped reading: what
// that thread still puts into the ring until it says it has stopped is handled as well.
TEST_F(RecordFramingTest, BytesReadAfterTheStopUntilTheConnectionEndsAreHandled)
{
    CNodeLogRecordTask& t = m_Node->m_Task;
    t.SetReceiving(true);
    Put(Bytes(Alarm(1)) + Bytes(KeepAlive(1)));
    std::thread connection(
        [&]
        {
            platform::Sleep(300);
            Put(Bytes(MakeRecord(LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN)) + Bytes(Alarm(2)));
            platform::Sleep(100);
            t.SetReceiving(false);
        });
    t.m_bRunning = 0;
    uint32_t t0 = platform::GetTickCount();
    EXPECT_EQ(t.Run(), 0u);
    connection.join();
    EXPECT_GE(platform::GetTickCount() - t0, 350u) << "the task did not wait for the connection";
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED), 4u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_ALARM), 2u);
    EXPECT_EQ(t.GetCounter(CNodeLogRecordTask::COUNTER_SYSTEM), 1u);
    EXPECT_EQ(m_Node->m_Recv.GetTotalReadSize(), 0u);
}

TEST_F(RecordFramingTest, TaskWithoutRingsRefusesToRun)
{
    CNodeLogRecordTask task;
    EXPECT_EQ(task.Run(), static_cast<uint32_t>(-1));
    EXPECT_NE(NewLog().find("[Run] Invalid Param\n"), std::string::npos);
}
} // namespace
