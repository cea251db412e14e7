// Reliability under broken or hostile clients: connections cut inside a record, a device that never
// reads its replies, and senders so slow that they hold every slot. The collector stores only whole
// records, stalls only the client at fault and stays responsive.
#include "ReliabilityLoad.h"

using namespace relload;

// 1,000 connections that each end inside a record (cut at a random byte, half closed with a
// reset): no row from any of them, the collector keeps running, and a complete stream that
// follows is stored in full; resident memory after the connections have gone stays near where it
// was before them.
// A device's records pass the synchronisation gate only while a connection of that device that
// pushed its directory is open. A device connection that stays open (keepalives only) holds that
// for the whole test: without it the gate closed as soon as the first devsim run had left, and
// the cut records would have been dropped by the gate whatever the framing did (and so was the
// complete stream, which is what a busy CI machine showed).
TEST_F(ReliabilityLoad, ConnectionsCutInsideARecordStoreNothing)
{
    const int devices = 4, cutPerDevice = 250, whole = 50;
    Prepare(devices);
    Start(kFast);
    const pid_t holder = HoldSynchronised(1, devices, 240);
    ASSERT_GT(holder, 0);
    const std::string dump = m_C.Dir() + "/cut.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices",
                                  std::to_string(devices), "--no-push", "--seq", "--count",
                                  std::to_string(cutPerDevice + whole), "--mix", "sys=1,alarm=1"},
                                 {}, 60000, &out),
              0)
        << out;
    const long rssBefore = RssKiB(m_Pid);
    const size_t refusedBefore = CountInLog("[AllocSvpnNode] Max Connection.");
    const double t0 = Now();
    std::atomic<int> cut{0}, failed{0}, wholeRefused{0};
    std::atomic<long> rssPeak{rssBefore};
    std::atomic<bool> cutting{true};
    std::thread sampler(
        [&]
        {
            while (cutting)
            {
                rssPeak = std::max(rssPeak.load(), RssKiB(m_Pid));
                usleep(100000);
            }
        });
    std::vector<std::thread> threads;
    for (int d = 1; d <= devices; ++d)
        threads.emplace_back(
            [&, d]
            {
                std::vector<std::string> records =
                    SplitRecords(qbtest::ReadFile(dump + "." + std::to_string(d)));
                if (records.size() != size_t(cutPerDevice + whole + 1))
                {
                    ++failed;
                    return;
                }
                std::mt19937 rng(static_cast<unsigned>(d));
                for (int i = 0; i < cutPerDevice; ++i)
                {
                    const std::string& r = records[size_t(i)];
                    int s = ConnectLoopback(m_C.Port());
                    if (s < 0)
                    {
                        ++failed;
                        continue;
                    }
                    const size_t at = 1 + rng() % (r.size() - 1);
                    (void)SendAll(s, r.substr(0, at));
                    if (i % 2)
                    {
                        linger l{1, 0};
                        setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                    }
                    close(s);
                    ++cut;
                }
                // The rest of the stream, whole, ending with the keepalive whose reply says it was taken.
                // While the cut connections are still being torn down every slot may be taken: a
                // refused connection (closed before any reply, nothing stored) is tried again, as a
                // device would; one that was taken but not answered is not.
                std::string rest;
                for (size_t i = size_t(cutPerDevice); i < records.size(); ++i)
                    rest += records[i];
                const double first = Now();
                for (;;)
                {
                    int s = ConnectLoopback(m_C.Port());
                    char reply[64];
                    size_t got = 0;
                    bool closed = s < 0 || !SendAll(s, rest);
                    if (!closed)
                    {
                        pollfd p{s, POLLIN, 0};
                        while (got < 46 && poll(&p, 1, 30000) > 0)
                        {
                            ssize_t n = recv(s, reply + got, sizeof reply - got, 0);
                            if (n <= 0)
                            {
                                closed = true;
                                break;
                            }
                            got += size_t(n);
                        }
                    }
                    if (s >= 0)
                        close(s);
                    if (got >= 46)
                        break;
                    if (!closed || got > 0 || Now() - first > 60)
                    {
                        ++failed;
                        break;
                    }
                    ++wholeRefused;
                    usleep(200000);
                }
            });
    for (auto& t : threads)
        t.join();
    cutting = false;
    sampler.join();
    const double seconds = Now() - t0;
    const size_t refusedCut = CountInLog("[AllocSvpnNode] Max Connection.") - refusedBefore;
    EXPECT_EQ(failed.load(), 0);
    EXPECT_TRUE(m_C.IsRunning());
    ConnectForImport(1, devices);
    int check = -1;
    auto total =
        m_C.RunSeqCheck(1, devices,
                        {"--first", std::to_string(cutPerDevice + 1), "--expect", std::to_string(whole),
                         "--absent", "1-" + std::to_string(cutPerDevice), "--wait", "60"},
                        &check);
    EXPECT_EQ(check, 0) << total["_output"]
                        << Diagnose(1, 1,
                                    {"--first", std::to_string(cutPerDevice + 1), "--expect",
                                     std::to_string(whole)});
    EXPECT_EQ(total["absent"], "0");
    EXPECT_EQ(total["missing"], "0");
    // Most cut connections must have had a slot and a record task of their own, or this would
    // test only the refusal of surplus connections.
    EXPECT_LE(refusedCut, size_t(devices * cutPerDevice / 10)) << "connections refused at the limit";
    EXPECT_TRUE(m_C.IsRunning());
    kill(holder, SIGKILL);
    qbtest::WaitExit(holder, 10000);
    // Every connection has gone: the rings and tasks of all 1,000 must be given back.
    long rssAfter = RssKiB(m_Pid);
    qbtest::WaitUntil([&] { return (rssAfter = RssKiB(m_Pid)) <= rssBefore + 64 * 1024; }, 20000);
    EXPECT_LE(rssAfter, rssBefore + 64 * 1024) << "resident memory after the connections had gone";
    Figures("cut", "connections_cut=" + std::to_string(cut.load()) +
                       " refused_at_limit=" + std::to_string(refusedCut) + " whole_refused_retries=" +
                       std::to_string(wholeRefused.load()) + " rows_from_cut=" + total["absent"] +
                       " whole_sent=" + std::to_string(devices * whole) + " whole_stored=" + total["D"] +
                       " missing=" + total["missing"] + " duplicates=" + total["duplicates"] + " seconds=" +
                       std::to_string(seconds) + " rss_before_kib=" + std::to_string(rssBefore) +
                       " rss_peak_kib=" + std::to_string(rssPeak.load()) +
                       " rss_after_kib=" + std::to_string(rssAfter));
}

// A device that never reads its replies (receive buffer of 1 KiB, no recv): it pushes its
// directory and then sends keepalives until the collector stops taking its bytes. Replies are
// sent without blocking; what the device does not read waits in its connection's 10 KiB send ring,
// and when that is full its record task waits, its receive ring fills and TCP holds the device
// back. Only that connection stalls: four other devices keep their rate (within 10 % of a run
// without the stalled device), lose nothing, the info query answers, and resident memory stays
// flat. When the device closes, its connection is let go.
TEST_F(ReliabilityLoad, DeviceThatNeverReadsRepliesStallsOnlyItself)
{
    const int others = 4, rate = 200, count = Soak() ? 12000 : 1000;
    const int quiet = 2 * others + 1;
    Prepare(quiet);
    Start(kFast);
    auto runOthers = [&](int first, std::map<std::string, std::string>* report, int* code)
    {
        *report = m_C.RunDevsim({"--devices", std::to_string(others), "--first-index", std::to_string(first),
                                 "--rate", std::to_string(rate), "--count", std::to_string(count), "--seq",
                                 "--mix", kBatchMix, "--reply-timeout", "60"},
                                code);
    };
    int codeBase = -1;
    std::map<std::string, std::string> base;
    runOthers(1, &base, &codeBase);
    ASSERT_EQ(codeBase, 0) << base["_output"];

    // The device that does not read: its pushes, then its keepalives again and again.
    const std::string dump = m_C.Dir() + "/noread.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices", "1",
                                  "--first-index", std::to_string(quiet), "--count", "2000", "--mix",
                                  "keepalive=1"},
                                 {}, 60000, &out),
              0)
        << out;
    std::vector<std::string> records = SplitRecords(qbtest::ReadFile(dump));
    ASSERT_GT(records.size(), 3u);
    std::string pushes = records[0] + records[1], keepalives;
    for (size_t i = 2; i < records.size(); ++i)
        keepalives += records[i];
    const int s = ConnectLoopback(m_C.Port(), 1024);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, pushes));
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    std::atomic<long long> offered{0};
    // Sends what the collector takes; false once it has taken nothing for `stallMs`.
    auto offer = [&](int stallMs)
    {
        size_t at = 0;
        double lastProgress = Now();
        while (Now() - lastProgress < stallMs / 1000.0)
        {
            ssize_t n = send(s, keepalives.data() + at, keepalives.size() - at, MSG_NOSIGNAL);
            if (n > 0)
            {
                offered += n;
                at = (at + size_t(n)) % keepalives.size();
                lastProgress = Now();
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            pollfd p{s, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        return true;
    };
    const double stallStart = Now();
    ASSERT_TRUE(offer(3000)) << "the collector closed the connection of the device that does not read";
    const double stallSeconds = Now() - stallStart;
    const long long offeredAtStall = offered.load();
    // Its record task waits for room in the send ring: the device is stalled at the collector.
    EXPECT_TRUE(qbtest::WaitUntil([&] { return CountInLog("Wait SendRingCache Timeout") > 0; }, 30000));

    // Stalled, it costs no processor time: nothing spins on the full send ring or socket.
    const double cpu0 = CpuSeconds(m_Pid), idle0 = Now();
    (void)offer(3000);
    const double stalledCpuShare = (CpuSeconds(m_Pid) - cpu0) / (Now() - idle0);
    EXPECT_LE(stalledCpuShare, 0.25)
        << "share of a processor the collector used while the device was stalled";

    const long rssStalled = RssKiB(m_Pid);
    long rssPeak = rssStalled;
    int codeWith = -1;
    std::map<std::string, std::string> with;
    std::atomic<bool> done{false};
    std::thread sender(
        [&]
        {
            runOthers(others + 1, &with, &codeWith);
            done = true;
        });
    std::string info;
    int infoAnswers = 0, infoAsked = 0;
    while (!done)
    {
        (void)offer(200); // keeps pushing on the stalled connection
        rssPeak = std::max(rssPeak, RssKiB(m_Pid));
        if (infoAsked < 3 && Now() - stallStart > stallSeconds + 1 + infoAsked)
        {
            ++infoAsked;
            info = InfoQuery();
            infoAnswers += info.empty() ? 0 : 1;
        }
    }
    sender.join();
    const long rssEnd = RssKiB(m_Pid);
    EXPECT_EQ(codeWith, 0) << with["_output"];
    EXPECT_EQ(with["replies.keepalive"], with["sent.keepalive"]);
    const double rateBase = atof(base["records_per_s"].c_str()),
                 rateWith = atof(with["records_per_s"].c_str());
    EXPECT_GE(rateWith, 0.9 * rateBase) << "records/s of the other devices: " << rateBase << " alone, "
                                        << rateWith << " beside the device that does not read";
    EXPECT_EQ(infoAnswers, infoAsked) << "info query unanswered while a device did not read";
    EXPECT_GE(infoAsked, 1);
    EXPECT_LE(rssPeak - rssStalled, 32 * 1024) << "resident memory grew while a device did not read";

    // The device goes: its connection ends (which it records in the device's database) and
    // leaves its slot.
    const std::string disconnected =
        "select count(*) from `" + m_C.DeviceDb(quiet) + "`.dev_info where ConnStat = 0";
    const double closedAt = Now();
    close(s);
    EXPECT_TRUE(m_C.WaitCount(disconnected, 1, 30000)) << "the connection of the device that did not read "
                                                          "outlived the device";
    const double letGoSeconds = Now() - closedAt;

    int check = -1;
    auto total = m_C.RunSeqCheck(1, 2 * others, {"--expect", std::to_string(count), "--wait", "60"}, &check);
    EXPECT_EQ(check, 0) << total["_output"];
    EXPECT_EQ(total["missing"], "0");
    EXPECT_EQ(total["duplicates"], "0");
    EXPECT_TRUE(m_C.IsRunning());
    Figures("noread",
            "others=" + std::to_string(others) + " rate=" + std::to_string(rate) +
                "/s count=" + std::to_string(count) + " records_per_s_alone=" + base["records_per_s"] +
                " records_per_s_beside=" + with["records_per_s"] + " noread_bytes_taken_until_stall=" +
                std::to_string(offeredAtStall) + " stall_after_s=" + std::to_string(stallSeconds) +
                " stalled_cpu_share=" + std::to_string(stalledCpuShare) + " noread_bytes_taken_total=" +
                std::to_string(offered.load()) + " info_answers=" + std::to_string(infoAnswers) + "/" +
                std::to_string(infoAsked) + " stored=" + total["D"] + " missing=" + total["missing"] +
                " duplicates=" + total["duplicates"] + " rss_stalled_kib=" + std::to_string(rssStalled) +
                " rss_peak_kib=" + std::to_string(rssPeak) + " rss_end_kib=" + std::to_string(rssEnd) +
                " let_go_after_close_s=" + std::to_string(letGoSeconds));
}

// 64 connections that each send one byte every 2 s (a keepalive, byte by byte) take every slot and
// hold it: the design gives a connection no deadline for its first record, so while they stay, a
// real device is refused (closed at once). The collector stays responsive all the same: the
// watchdog's probe is answered beyond the limit, the info query answers, and memory stays bounded
// (a slot that has received a few bytes costs a few pages of its ring). When the slow connections
// close, a real device gets in at once.
TEST_F(ReliabilityLoad, SlowSendersHoldEverySlotButTheCollectorStaysResponsive)
{
    const int slow = 64, holdSeconds = Soak() ? 60 : 10;
    Prepare(2);
    Start(kFast);
    const std::string dump = m_C.Dir() + "/slow.bin";
    std::string out;
    ASSERT_EQ(qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--offline", "--dump", dump, "--devices", "1",
                                  "--no-push", "--count", "1", "--mix", "keepalive=1"},
                                 {}, 60000, &out),
              0)
        << out;
    const std::string keepalive = qbtest::ReadFile(dump);
    ASSERT_GE(keepalive.size(), 42u);
    const long rssBefore = RssKiB(m_Pid);
    const size_t refusedBefore = CountInLog("[AllocSvpnNode] Max Connection.");

    std::vector<int> sockets;
    for (int i = 0; i < slow; ++i)
    {
        int s = ConnectLoopback(m_C.Port());
        ASSERT_GE(s, 0);
        sockets.push_back(s);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> bytesEach{0};
    std::thread trickle(
        [&]
        {
            for (size_t at = 0; !stop && at < keepalive.size(); ++at)
            {
                for (int s : sockets)
                    (void)send(s, keepalive.data() + at, 1, MSG_NOSIGNAL);
                ++bytesEach;
                for (int i = 0; i < 20 && !stop; ++i)
                    usleep(100000);
            }
        });
    // Every slot is taken once the collector's watcher has counted the connections.
    EXPECT_TRUE(
        qbtest::WaitUntil([&] { return CountInLog("[CSvpnNode][Run] TID =") >= size_t(slow) + 1; }, 20000));
    sleep(2);

    // A real device is refused while they stay.
    const double tryAt = Now();
    int codeRefused = -1;
    auto refused = m_C.RunDevsim({"--devices", "1", "--count", "10", "--reply-timeout", "10"}, &codeRefused);
    const double refusedSeconds = Now() - tryAt;
    EXPECT_NE(codeRefused, 0) << "a device got a slot although slow connections held them all";
    EXPECT_LE(refusedSeconds, 5.0);
    EXPECT_GT(CountInLog("[AllocSvpnNode] Max Connection."), refusedBefore);
    // The watchdog's probe and the info query are answered.
    int codeProbe = -1;
    std::string probeOut;
    const double probeAt = Now();
    codeProbe =
        qbtest::RunProgram({qbtest::BinDir() + "/devsim", "--port", std::to_string(m_C.Port()), "--probe"},
                           {}, 30000, &probeOut);
    const double probeSeconds = Now() - probeAt;
    EXPECT_EQ(codeProbe, 0) << probeOut;
    const std::string info = InfoQuery();
    EXPECT_FALSE(info.empty()) << "info query unanswered while slow connections held every slot";
    long rssHeld = RssKiB(m_Pid);
    while (Now() - tryAt < holdSeconds)
    {
        rssHeld = std::max(rssHeld, RssKiB(m_Pid));
        usleep(250000);
    }
    EXPECT_LE(rssHeld - rssBefore, 64 * 1024) << "resident memory with every slot held by a slow connection";
    stop = true;
    trickle.join();
    EXPECT_TRUE(m_C.IsRunning());

    // They go: a real device gets in at once.
    for (int s : sockets)
        close(s);
    const double closedAt = Now();
    // Admission is timed with a keepalive, whose reply needs no database; a refused connection is
    // closed without one.
    int attempts = 0;
    bool admitted = false;
    while (!admitted && Now() - closedAt < 30)
    {
        ++attempts;
        int s = ConnectLoopback(m_C.Port());
        char reply[64];
        size_t got = 0;
        if (s >= 0 && SendAll(s, keepalive))
        {
            pollfd p{s, POLLIN, 0};
            while (got < 46 && poll(&p, 1, 10000) > 0)
            {
                ssize_t n = recv(s, reply + got, sizeof reply - got, 0);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
        }
        if (s >= 0)
            close(s);
        admitted = got >= 46;
        if (!admitted)
            usleep(50000);
    }
    const double admittedSeconds = Now() - closedAt;
    EXPECT_TRUE(admitted);
    EXPECT_LE(admittedSeconds, 5.0) << "a device got a slot only this long after the slow connections closed";
    int codeIn = -1;
    auto in = m_C.RunDevsim(
        {"--devices", "1", "--count", "10", "--seq", "--mix", kBatchMix, "--reply-timeout", "60"}, &codeIn);
    EXPECT_EQ(codeIn, 0) << in["_output"];
    int check = -1;
    auto total = m_C.RunSeqCheck(1, 1, {"--expect", "10", "--wait", "30"}, &check);
    EXPECT_EQ(check, 0) << total["_output"];
    Figures("slow",
            "slow_connections=" + std::to_string(slow) + " bytes_each=" + std::to_string(bytesEach.load()) +
                " device_refused_after_s=" + std::to_string(refusedSeconds) + " probe_answered=" +
                std::string(codeProbe == 0 ? "yes" : "no") + " probe_s=" + std::to_string(probeSeconds) +
                " info_answered=" + (info.empty() ? "no" : "yes") + " rss_before_kib=" +
                std::to_string(rssBefore) + " rss_held_peak_kib=" + std::to_string(rssHeld) +
                " device_admitted_after_close_s=" + std::to_string(admittedSeconds) + " attempts=" +
                std::to_string(attempts) + " stored=" + total["D"] + " missing=" + total["missing"]);
}
