#pragma once
#include "intake/RingCache.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <mysql.h>

class CNodeLogRecordTask;
class CTask;

// One connected device: the accepted socket, the thread that does all its
// socket I/O, the receive and send rings shared with the device's record
// task, and the device's maintenance tasks once it has synchronised.
class CSvpnNode
{
public:
    CSvpnNode();
    virtual ~CSvpnNode();
    CSvpnNode(const CSvpnNode&) = delete;
    CSvpnNode& operator=(const CSvpnNode&) = delete;

    void SetSocket(platform::SOCKET s);
    bool Start();

    // Handles one queued thread message; 0 after the quit message.
    int ProcessThreadMessage();
    int ProcessNetworkEvent();
    void OnFD_Read();
    void OnFD_Write();
    void OnFD_Close();
    void OnMsg_SvpnNodeDataSyncSucc(char* dbName, char* devKey);

    void UpdateDevConnectInfo(uint32_t state);
    bool GetTableLogCount(MYSQL* conn, const char* table, int64_t& count);
    void Start_LoadDataTask();
    // After the connection closed: one task that imports the data files it left, then ends.
    void StartDrainImport();
    void Start_DataBaseCleanTask();
    void Start_ReportTableGenTask();
    void Start_TableRepairTask();
    void StopAllTask();

    platform::ThreadHandle GetThreadHandle() const
    {
        std::lock_guard<std::mutex> lock(m_ThreadLock);
        return m_hThread;
    }
    uint32_t GetThreadId() const { return m_ThreadId; }
    platform::SOCKET GetSocket() const { return m_Socket; }
    const std::string& GetDbName() const { return m_DbName; }
    bool IsRunning() const { return m_bRunning != 0; }

    // Receive ring of SvpnNodeRecvBuffSize MiB (1..10, else 10), send ring
    // of SvpnNodeSendBuffSize KiB (1..1024, else 10).
    static uint32_t GetRecvRingSize();
    static uint32_t GetSendRingSize();

    static constexpr uint32_t LOOP_WAIT_MS = 100;
    static constexpr uint32_t RING_FULL_WAIT_MS = 2000;
    static constexpr uint32_t STOP_TASKS_WAIT_MS = 30000;
    static constexpr uint32_t SQL_READ_TIMEOUT = 3000;
    // A send ring smaller than this could never offer the 2048-byte stretch
    // a reply is written into.
    static constexpr uint32_t MIN_SEND_RING_SIZE = 4096;

private:
    // The maintenance tasks a synchronised device runs.
    enum EMaintenanceKind
    {
        TASK_LOAD_DATA,
        TASK_DATABASE_CLEAN,
        TASK_REPORT_TABLE_GEN,
        TASK_TABLE_REPAIR,
    };

    uint32_t Run();
    uint32_t RunLoop(platform::CWaitable* exitEvent);
    bool InitRingCaches();
    void ReleaseTasks();
    void ReleaseRingCaches();
    void DrainThreadMessages();
    void StartMaintenanceTask(CTask*& slot, EMaintenanceKind kind, const char* name, const char* allocError,
                              const char* startError);
    static CTask* CreateMaintenanceTask(EMaintenanceKind kind, const std::string& dbName);
    // Receives once into the receive ring's free stretch; false when the
    // reading has to end (error, end of stream or would block).
    bool RecvOnce(uint32_t freeSize, bool warnOnError);

    // Cleared by the node's own thread when the connection ends and read by the node manager's watcher.
    std::atomic<uint32_t> m_bRunning{0};
    // The watcher reads the handle while the listener thread sets it.
    mutable std::mutex m_ThreadLock;
    platform::ThreadHandle m_hThread;
    uint32_t m_ThreadId = 0;
    platform::SOCKET m_Socket = platform::INVALID_SOCKET;
    std::unique_ptr<platform::CSocketEvent> m_pNetEvent;
    CRingCache m_RecvCache;
    CRingCache m_SendCache;
    uint32_t m_PeerAddr = 0;
    uint32_t m_ConnState = 0;
    std::string m_DbName;
    uint8_t m_DevMD5[16] = {};
    CNodeLogRecordTask* m_pRecordTask = nullptr;
    CTask* m_pLoadDataTask = nullptr;
    CTask* m_pDataBaseCleanTask = nullptr;
    CTask* m_pReportTableGenTask = nullptr;
    CTask* m_pTableRepairTask = nullptr;
    uint32_t m_LastWaitRet = 0;
    // A send failed for good (reset, broken pipe): no reply will leave again.
    bool m_bPeerGone = false;
};
