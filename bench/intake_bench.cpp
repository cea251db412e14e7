// Intake in-process: framing, validation and dispatch of a realistic record mix by the record task,
// against a memcpy of the same bytes through the same ring. No socket and no thread switch: the
// benchmark thread plays both the connection thread (filling the receive ring, draining the send ring)
// and the record task (ProcessRingBuffData). The writer chain is not installed, so dispatch ends at the
// chain's entry; the writers have a benchmark of their own.
//
// The stream is devsim's own (--offline --dump): keepalives, logins of the three versions, flux and
// resource accesses, admin, alarm and system logs. The device is registered in a private MariaDB
// (QB_TEST_DB_*) so that records pass the synchronisation gate as on a live connection.
#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "intake/NodeLogRecordTask.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "support/Process.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <unistd.h>

namespace
{
const char* const MIX = "keepalive=1,userv1=1,userv2=1,userv3=4,flux=4,svc=4,admin=1,alarm=1,sys=2";
constexpr int STREAM_RECORDS = 20000;

struct Fixture
{
    std::string m_Stream;
    uint64_t m_Records = 0;
    bool m_Ready = false;
    std::string m_Error;
};

Fixture& Setup()
{
    static Fixture f;
    static bool done = false;
    if (done)
        return f;
    done = true;
    qbtest::InitTestInstall();
    // The shipped log mask (ERROR, WARN, INFO): DEBUG lines are filtered out as in production.
    qbtest::WriteFile(CGlobalSharedData::GetInstance()->GetConfigDir() + "/ProgramLog.conf",
                      "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=1\n[TxtLog]\nEnable=1\n"
                      "MaxLogSize=0\nLogLevel=11\nMaxLogFiles=0\n");
    CConfigManager::GetInstance()->LoadSpicifyConfig("ProgramLog.conf");

    const std::string dump = "/tmp/qb_intake_bench_" + std::to_string(getpid()) + ".bin";
    std::string out;
    int rc = qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--no-push", "--dump", dump,
                                 "--count", std::to_string(STREAM_RECORDS), "--mix", MIX, "--quiet"},
                                {}, 60000, &out);
    f.m_Stream = qbtest::ReadFile(dump);
    unlink(dump.c_str());
    if (rc != 0 || f.m_Stream.empty())
    {
        f.m_Error = "devsim --offline failed: " + out;
        return f;
    }
    // The closing keepalive counts as one more record.
    f.m_Records = STREAM_RECORDS + 1;

    if (!qbtest::HaveTestDatabase())
    {
        f.m_Error = "QB_TEST_DB_* not set (scripts/test-mariadb.sh start DIR)";
        return f;
    }
    const std::string prefix = qbtest::UniqueDbPrefix("ib");
    const std::string global = prefix + "_global", device = prefix + "_dev1";
    CBuffManager::GetInstance()->Init();
    qbtest::UseTestDatabase(global);
    qbtest::PrepareDatabaseService();
    CSQLConnManager::GetInstance()->Init();
    if (!qbtest::CreateGlobalDatabase(global) || !qbtest::CreateDeviceDatabase(device))
    {
        f.m_Error = "cannot create the databases";
        return f;
    }
    const std::string key = qbtest::Md5("secret1");
    MYSQL* conn = qbtest::AdminConnect(global);
    qbtest::AddDevice(conn, "dev1", "secret1", device);
    if (!CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo())
    {
        f.m_Error = "cannot load the device table";
        return f;
    }
    CDeviceRegistry::GetInstance()->InitNodeUseCount(reinterpret_cast<const unsigned char*>(key.data()));
    qbtest::Exec(conn, "drop database `" + device + "`; drop database `" + global + "`");
    mysql_close(conn);
    f.m_Ready = true;
    return f;
}

// Moves the stream through a 10 MiB receive ring in recv-sized pieces; `parse` runs the record task
// after each piece, otherwise the bytes are only consumed.
void Pump(benchmark::State& state, bool parse)
{
    Fixture& f = Setup();
    if (!f.m_Ready)
    {
        state.SkipWithError(f.m_Error.c_str());
        return;
    }
    CRingCache recv, send;
    recv.Init(10 * 1048576);
    send.Init(10 * 1024);
    platform::EnsureThreadMessageQueue();
    CNodeLogRecordTask task;
    task.SetNodeThreadId(platform::GetCurrentThreadId());
    task.SetRingCaches(&recv, &send);
    task.m_bRunning = 1;
    constexpr uint32_t PIECE = 65536;
    uint64_t before = task.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED);
    for (auto _ : state)
    {
        size_t off = 0;
        while (off < f.m_Stream.size())
        {
            uint32_t space = 0;
            if (recv.GetCanWriteSize(space))
            {
                uint32_t n = std::min<uint32_t>({space, PIECE, uint32_t(f.m_Stream.size() - off)});
                std::memcpy(recv.GetWritePtr(), f.m_Stream.data() + off, n);
                recv.CommitWrite(n);
                off += n;
            }
            if (parse)
                task.ProcessRingBuffData();
            else
            {
                uint32_t readable = 0;
                while (recv.GetCanReadSize(readable))
                    recv.CommitRead(readable);
            }
            // The connection thread's side of the replies.
            platform::MSG msg;
            while (platform::PeekMessage(&msg, true))
            {
            }
            uint32_t readable = 0;
            while (send.GetCanReadSize(readable))
                send.CommitRead(readable);
        }
    }
    if (parse)
    {
        uint64_t handled = task.GetCounter(CNodeLogRecordTask::COUNTER_RECEIVED) - before;
        if (handled != f.m_Records * state.iterations())
            state.SkipWithError("the record task did not handle every record");
        if (task.GetCounter(CNodeLogRecordTask::COUNTER_UNSUPPORTED) == 0)
            state.SkipWithError("records did not reach dispatch");
    }
    task.m_bRunning = 0;
    state.SetItemsProcessed(int64_t(state.iterations() * f.m_Records));
    state.SetBytesProcessed(int64_t(state.iterations() * f.m_Stream.size()));
}

void BM_IntakeMemcpyBaseline(benchmark::State& state)
{
    Pump(state, false);
}
BENCHMARK(BM_IntakeMemcpyBaseline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_IntakeFrameCheckDispatch(benchmark::State& state)
{
    Pump(state, true);
}
BENCHMARK(BM_IntakeFrameCheckDispatch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
} // namespace

BENCHMARK_MAIN();
