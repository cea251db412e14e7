// Live view of the collector: process-wide event counters fed by the record tasks, the log mergers,
// the importers, the writers and the connection limit (read by the info query and the metrics
// endpoint), the start time, and the real-time info functions run on a 1 s timer. The functions are handed in
// by the program on top (today only the disk-space check that publishes ISFULL, on which intake, import and
// statistics hold back).
#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CInfoManager
{
public:
    // Storage order of the counters.
    enum EInfoCounter : uint32_t
    {
        INFO_RECV_LOG = 0,
        INFO_UNSUPPORT_LOG,
        INFO_KEEPALIVE_LOG,
        INFO_USER_LOG,
        INFO_FLUX_LOG,
        INFO_AUDIT_LOG,
        INFO_LOGUDTDB_LOG,
        INFO_ADMIN_LOG,
        INFO_ALARM_LOG,
        INFO_SYS_LOG,
        INFO_MERGED_TOTAL,
        INFO_MERGED_SVR_LOG,
        INFO_MERGED_FLOW_LOG,
        INFO_MERGED_SYS_LOG,
        // Records dropped, by reason: a field outside its range, a length its kind does not have
        // (or a header length no record can have), a device that has not pushed its directory yet
        // (the gate), a device that is not registered, and the disk-full hold.
        INFO_REFUSED_RANGE,
        INFO_REFUSED_BAD_LENGTH,
        INFO_REFUSED_GATE,
        INFO_REFUSED_UNKNOWN_DEVICE,
        INFO_REFUSED_DISK_FULL,
        // Rows the database took: from `load data` of data files, and from batched inserts.
        INFO_ROWS_LOAD_DATA,
        INFO_ROWS_INSERT,
        // Import passes of a data file that failed, and files set aside in the failed directory.
        INFO_IMPORT_FAILED,
        INFO_DATA_FILES_SET_ASIDE,
        // Device connections refused at the connection limit.
        INFO_CONN_REFUSED,
        INFO_COUNTER_COUNT
    };

    // Received records by the record type of their header; types beyond the wire's 16 share the last slot.
    static constexpr uint32_t RECV_TYPE_SLOTS = 17;

    // One real-time function: 0 means it failed (logged by the timer).
    using RealTimeInfoFunc = std::function<int()>;

    static CInfoManager* GetInstance();
    virtual ~CInfoManager();
    CInfoManager(const CInfoManager&) = delete;
    CInfoManager& operator=(const CInfoManager&) = delete;

    // Records the start time and starts the timer thread.
    bool Init();
    // Stops the timer thread; the counters keep their values.
    bool UnInit();
    bool IsInit() const { return m_bInited.load() != 0; }

    // Increments. The 64-bit atomic increment always exists here, so counting works from process start.
    void IncRecvLogCount() { Increment(INFO_RECV_LOG); }
    void IncUnSupportLogCount() { Increment(INFO_UNSUPPORT_LOG); }
    void IncKeepAliveLogCount() { Increment(INFO_KEEPALIVE_LOG); }
    void IncUserLogCount() { Increment(INFO_USER_LOG); }
    void IncFluxLogCount() { Increment(INFO_FLUX_LOG); }
    void IncAuditLogCount() { Increment(INFO_AUDIT_LOG); }
    void IncLogudtDBLogCount() { Increment(INFO_LOGUDTDB_LOG); }
    void IncAdminLogCount() { Increment(INFO_ADMIN_LOG); }
    void IncAlarmLogCount() { Increment(INFO_ALARM_LOG); }
    void IncSysLogCount() { Increment(INFO_SYS_LOG); }
    // Each of these also counts in the merged total.
    void IncMergedSvrLogCount() { IncrementMerged(INFO_MERGED_SVR_LOG); }
    void IncMergedFlowLogCount() { IncrementMerged(INFO_MERGED_FLOW_LOG); }
    void IncMergedSysLogCount() { IncrementMerged(INFO_MERGED_SYS_LOG); }

    void Count(EInfoCounter counter, uint64_t n = 1)
    {
        if (counter < INFO_COUNTER_COUNT && n != 0)
            m_Counters[counter].fetch_add(n, std::memory_order_relaxed);
    }
    void CountReceivedType(uint32_t logType)
    {
        m_RecvByType[logType < RECV_TYPE_SLOTS ? logType : RECV_TYPE_SLOTS - 1].fetch_add(
            1, std::memory_order_relaxed);
    }
    uint64_t GetReceivedType(uint32_t slot) const
    {
        return slot < RECV_TYPE_SLOTS ? m_RecvByType[slot].load(std::memory_order_relaxed) : 0;
    }

    uint64_t GetCounter(EInfoCounter counter) const
    {
        return counter < INFO_COUNTER_COUNT ? m_Counters[counter].load(std::memory_order_relaxed) : 0;
    }

    // Connected devices, stored by the device registry's watcher.
    void SetConnectedNodeCount(uint32_t count) { m_ConnectedNodeCount.store(count); }
    uint32_t GetConnectedNodeCount() const { return m_ConnectedNodeCount.load(); }
    // Device connections holding a slot now, stored by the device registry of connections as it changes.
    void SetOpenConnectionCount(uint32_t count) { m_OpenConnectionCount.store(count); }
    uint32_t GetOpenConnectionCount() const { return m_OpenConnectionCount.load(); }
    // Outcome of the latest attempt to open a database connection (1 connected, 0 failed; 0 before any).
    void SetDatabaseReachable(bool reachable) { m_DatabaseReachable.store(reachable ? 1 : 0); }
    int GetDatabaseReachable() const { return m_DatabaseReachable.load(); }

    // "%04d-%02d-%02d %02d:%02d:%02d" of Init, empty before.
    std::string GetStartTime();
    // Unix seconds of Init, 0 before.
    int64_t GetStartEpoch() const { return m_StartEpoch.load(); }

    // Runs `func` every `periodMs` on the timer; a second function of the same name replaces the first.
    void AddRealTimeInfoFunc(const char* name, uint32_t periodMs, RealTimeInfoFunc func);
    // One timer step: advances every real-time function by one tick and runs those that are due.
    void Exec_RealTimeInfo_Func();

    static constexpr uint32_t TIMER_TICK_MS = 1000;

private:
    CInfoManager() = default;

    void Increment(EInfoCounter counter) { m_Counters[counter].fetch_add(1, std::memory_order_relaxed); }
    void IncrementMerged(EInfoCounter counter)
    {
        Increment(counter);
        Increment(INFO_MERGED_TOTAL);
    }
    uint32_t RealTimeInfoThread();

    struct RealTimeInfoEntry
    {
        RealTimeInfoFunc m_Func;
        uint32_t m_PeriodMs;
        uint32_t m_ElapsedMs;
        std::string m_Name;
    };

    std::atomic<uint32_t> m_ConnectedNodeCount{0};
    std::atomic<uint32_t> m_OpenConnectionCount{0};
    std::atomic<int> m_DatabaseReachable{0};
    std::atomic<int64_t> m_StartEpoch{0};
    std::atomic<uint64_t> m_RecvByType[RECV_TYPE_SLOTS] = {};
    std::string m_StartTime;
    std::atomic<uint64_t> m_Counters[INFO_COUNTER_COUNT] = {};
    std::atomic<int32_t> m_bInited{0};
    platform::CCriticalSection m_Lock; // start time, timer handle
    platform::ThreadHandle m_hTimerThread;
    // Ends the timer at UnInit; the global exit event ends it at process stop.
    platform::CEvent m_TimerStop{true, false};
    platform::CCriticalSection m_FuncLock; // the real-time functions
    std::vector<RealTimeInfoEntry> m_RealTimeInfo;
};
