#include "intake/SvpnNode.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/TaskManager.h"
#include "intake/NodeLogRecordTask.h"
#include "maintenance/DataBaseCleanTask.h"
#include "maintenance/ReportTableGenTask.h"
#include "maintenance/TableRepairTask.h"
#include "platform/MessageQueue.h"
#include "platform/SocketManager.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/LoadDataTask.h"
#include "storage/SQLConnManager.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{
const char* const TAG = "[CSvpnNode]";
constexpr long SELECT_READ_CLOSE = platform::FD_READ | platform::FD_CLOSE;
constexpr long SELECT_ALL = platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE;
constexpr uint32_t CLIENT_MULTI_STATEMENTS_FLAG = 0x10000;

unsigned PointerText(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
} // namespace

CSvpnNode::CSvpnNode() = default;

CSvpnNode::~CSvpnNode()
{
    // The thread normally did all of this already; a node that never ran
    // (or ran only partly) is cleaned up here.
    if (m_pRecordTask)
        m_pRecordTask->Stop();
    for (CTask* task : {m_pLoadDataTask, m_pDataBaseCleanTask, m_pReportTableGenTask, m_pTableRepairTask})
        if (task)
            task->Stop();
    StopAllTask();
    ReleaseTasks();
    ReleaseRingCaches();
    {
        std::lock_guard<std::mutex> lock(m_ThreadLock);
        m_hThread.reset();
    }
    if (m_Socket != platform::INVALID_SOCKET)
        CSocketManager::GetInstance()->ReleaseSocket(m_Socket, 1);
    m_Socket = platform::INVALID_SOCKET;
    m_pNetEvent.reset();
}

void CSvpnNode::SetSocket(platform::SOCKET s)
{
    if (s != platform::INVALID_SOCKET)
        m_Socket = s;
}

bool CSvpnNode::Start()
{
    if (!m_pNetEvent)
    {
        m_pNetEvent.reset(new (std::nothrow) platform::CSocketEvent());
        if (!m_pNetEvent || !m_pNetEvent->IsValid())
        {
            m_pNetEvent.reset();
            return false;
        }
    }
    // A socket that cannot be selected would never report anything.
    if (!platform::WSAEventSelect(m_Socket, m_pNetEvent.get(), SELECT_ALL))
        return false;
    m_bRunning = 1;
    if (!m_hThread)
    {
        platform::ThreadHandle thread = platform::CreateThread([this] { return Run(); });
        if (!thread)
        {
            m_bRunning = 0;
            return false;
        }
        m_ThreadId = thread->GetThreadId();
        std::lock_guard<std::mutex> lock(m_ThreadLock);
        m_hThread = thread;
    }
    return true;
}

uint32_t CSvpnNode::GetRecvRingSize()
{
    int mib = CConfigManager::GetInstance()->KelvAdv().m_SvpnNodeRecvBuffSize;
    if (mib < 1 || mib > 10)
        mib = 10;
    return static_cast<uint32_t>(mib) * 1048576u;
}

uint32_t CSvpnNode::GetSendRingSize()
{
    int kib = CConfigManager::GetInstance()->KelvAdv().m_SvpnNodeSendBuffSize;
    if (kib < 1 || kib > 1024)
        kib = 10;
    uint32_t bytes = static_cast<uint32_t>(kib) * 1024u;
    return bytes < MIN_SEND_RING_SIZE ? MIN_SEND_RING_SIZE : bytes;
}

bool CSvpnNode::InitRingCaches()
{
    return m_RecvCache.Init(GetRecvRingSize()) && m_SendCache.Init(GetSendRingSize());
}

void CSvpnNode::ReleaseRingCaches()
{
    m_RecvCache.UnInit();
    m_SendCache.UnInit();
}

uint32_t CSvpnNode::Run()
{
    platform::EnsureThreadMessageQueue();
    if (!InitRingCaches())
    {
        QB_LOG(PL_ERROR, TAG, "[Run] InitRingCaches Fail\n");
        ReleaseRingCaches();
        DrainThreadMessages();
        return static_cast<uint32_t>(-1);
    }

    m_pRecordTask = new (std::nothrow) CNodeLogRecordTask();
    if (m_pRecordTask == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[Run] Create CNodeLogRecordTask Fail\n");
        ReleaseRingCaches();
        DrainThreadMessages();
        return static_cast<uint32_t>(-1);
    }
    m_pRecordTask->SetNodeThreadId(platform::GetCurrentThreadId());
    m_pRecordTask->SetRingCaches(&m_RecvCache, &m_SendCache);
    m_pRecordTask->SetReceiving(true);
    if (!CTaskManager::GetInstance()->AddTask(m_pRecordTask))
    {
        QB_LOG(PL_ERROR, TAG, "[Run] Start CNodeLogRecordTask Fail\n");
        // Not registered; its thread, if one started, is waited for below.
        ReleaseTasks();
        ReleaseRingCaches();
        DrainThreadMessages();
        return static_cast<uint32_t>(-1);
    }

    platform::CEvent* exitEvent = CGlobalSharedData::GetInstance()->GetExitEvent();
    uint32_t result = 0;
    if (exitEvent == nullptr || !exitEvent->IsValid())
    {
        QB_LOG(PL_ERROR, TAG, "[Run] Get Exit Event Fail\n");
        result = static_cast<uint32_t>(-1);
    }
    else
    {
        CSQLConnManager::SqlThreadInit();
        QB_LOG(PL_INFO, TAG, "[Run] TID = %u Start Working...\n", platform::GetCurrentThreadId());
        try
        {
            RunLoop(exitEvent);
        }
        catch (...)
        {
            QB_LOG(PL_ERROR, TAG, "[Run] Exception Occur In Connection Thread\n");
        }
    }

    // Leaving: stop the tasks, wait for them, release them and the rings. Nothing more is read: the
    // record task handles what the ring holds and ends.
    m_bRunning = 0;
    m_pRecordTask->SetReceiving(false);
    const bool hadImporter = m_pLoadDataTask != nullptr;
    for (CTask* task : {static_cast<CTask*>(m_pRecordTask), m_pLoadDataTask, m_pDataBaseCleanTask,
                        m_pReportTableGenTask, m_pTableRepairTask})
        if (task)
            task->Stop();
    // A record task that waits for room in the send ring sees its stop at once.
    if (platform::CEvent* space = m_SendCache.GetSpaceEvent())
        space->Set();
    StopAllTask();
    ReleaseTasks();
    // The record task has ended, so its writers have queued their last data files.
    if (hadImporter && exitEvent != nullptr &&
        platform::WaitForSingleObject(exitEvent, 0) != platform::WAIT_OBJECT_0)
        StartDrainImport();
    ReleaseRingCaches();
    if (result == 0)
    {
        UpdateDevConnectInfo(0);
        m_pNetEvent.reset();
        CSQLConnManager::SqlThreadEnd();
        QB_LOG(PL_INFO, TAG, "[Run] Exit With WaitRet = %u , Object Pointer = 0x%08x\n", m_LastWaitRet,
               PointerText(this));
    }
    DrainThreadMessages();
    return result;
}

uint32_t CSvpnNode::RunLoop(platform::CWaitable* exitEvent)
{
    platform::CWaitable* objects[2] = {exitEvent, platform::GetThreadMessageWaitable()};
    platform::CWaitable* netObjects[2] = {m_pNetEvent.get(), platform::GetThreadMessageWaitable()};
    while (m_bRunning)
    {
        uint32_t ret = platform::WaitForMultipleObjects(2, objects, false, 0);
        m_LastWaitRet = ret;
        if (ret == platform::WAIT_OBJECT_0 || ret == platform::WAIT_FAILED)
            break;
        // Every queued message is handled on each pass: the record task posts
        // one per reply, and a queue drained more slowly than it is filled
        // would grow without bound.
        bool quit = false;
        if (ret == platform::WAIT_OBJECT_0 + 1)
            while (!quit && platform::PeekMessage(nullptr, false))
                quit = ProcessThreadMessage() == 0;
        if (quit || ProcessThreadMessage() == 0)
            break;

        // A queued message ends the wait too, so that replies leave at once.
        ret = platform::WaitForMultipleObjects(2, netObjects, false, LOOP_WAIT_MS);
        m_LastWaitRet = ret;
        if (ret == platform::WAIT_FAILED)
            break;
        if (ret == platform::WAIT_OBJECT_0 && ProcessNetworkEvent() == 0)
            break;
    }
    return 0;
}

int CSvpnNode::ProcessThreadMessage()
{
    platform::MSG msg{};
    if (!platform::PeekMessage(&msg, true))
        return 1;
    switch (msg.message)
    {
    case platform::WM_QUIT:
        return 0;
    case WM_SVPNNODE_DATASYNC_SUCC:
        OnMsg_SvpnNodeDataSyncSucc(reinterpret_cast<char*>(msg.wParam), reinterpret_cast<char*>(msg.lParam));
        break;
    case WM_SVPNNODE_DATA_CANSEND:
        OnFD_Write();
        break;
    default:
        break;
    }
    return 1;
}

// Messages left when the thread ends: their buffers belong to this thread.
void CSvpnNode::DrainThreadMessages()
{
    platform::MSG msg{};
    while (platform::PeekMessage(&msg, true))
        if (msg.message == WM_SVPNNODE_DATASYNC_SUCC)
        {
            CBuffManager::GetInstance()->ReleaseByteBuff(reinterpret_cast<void*>(msg.wParam));
            CBuffManager::GetInstance()->ReleaseByteBuff(reinterpret_cast<void*>(msg.lParam));
        }
}

int CSvpnNode::ProcessNetworkEvent()
{
    platform::WSANETWORKEVENTS events{};
    if (!platform::WSAEnumNetworkEvents(m_Socket, m_pNetEvent.get(), &events))
    {
        QB_LOG(PL_WARN, TAG, "[ProcessNetworkEvent] WSAEnumNetworkEvents Fail Err = %u\n",
               static_cast<unsigned>(platform::WSAGetLastError()));
        return 0;
    }
    if (events.lNetworkEvents & platform::FD_READ)
    {
        if (events.iErrorCode[platform::FD_READ_BIT] != 0)
            QB_LOG(PL_WARN, TAG, "[ProcessNetworkEvent] FD_READ Fail Err = %u , node = %s\n",
                   static_cast<unsigned>(events.iErrorCode[platform::FD_READ_BIT]), m_DbName.c_str());
        else
            OnFD_Read();
    }
    if (events.lNetworkEvents & platform::FD_WRITE)
    {
        if (events.iErrorCode[platform::FD_WRITE_BIT] != 0)
            QB_LOG(PL_WARN, TAG, "[ProcessNetworkEvent] FD_WRITE Fail Err = %u , node = %s\n",
                   static_cast<unsigned>(events.iErrorCode[platform::FD_WRITE_BIT]), m_DbName.c_str());
        else
            OnFD_Write();
    }
    if (events.lNetworkEvents & platform::FD_CLOSE)
    {
        if (events.iErrorCode[platform::FD_CLOSE_BIT] != 0)
            QB_LOG(PL_WARN, TAG, "[ProcessNetworkEvent] FD_CLOSE Fail Err = %u , node = %s\n",
                   static_cast<unsigned>(events.iErrorCode[platform::FD_CLOSE_BIT]), m_DbName.c_str());
        OnFD_Close();
        return 0;
    }
    return 1;
}

bool CSvpnNode::RecvOnce(uint32_t freeSize, bool warnOnError)
{
    int r = CSocketManager::Recv(m_Socket, m_RecvCache.GetWritePtr(), static_cast<int>(freeSize), 0);
    if (r <= 0)
    {
        unsigned error = r == 0 ? 0u : static_cast<unsigned>(platform::WSAGetLastError());
        if (warnOnError)
        {
            if (error != 0 && error != static_cast<unsigned>(platform::WSAEWOULDBLOCK))
                QB_LOG(PL_WARN, TAG, "[OnFD_Read] socket %d , recv Fail Err = %u\n", m_Socket, error);
        }
        else if (error != static_cast<unsigned>(platform::WSAEWOULDBLOCK))
            QB_LOG(PL_INFO, TAG, "[OnFD_Read] socket %d , recv Fail Err = %u\n", m_Socket, error);
        return false;
    }
    m_RecvCache.CommitWrite(static_cast<uint32_t>(r));
    QB_LOG(PL_DEBUG, TAG, "[OnFD_Read] socket %d recv %d byte(s) data\n", m_Socket, r);
    return true;
}

void CSvpnNode::OnFD_Read()
{
    // Reads while the ring has room. When it is full, reading stops (TCP pushes back on the device)
    // until the record task frees space. After every wait the room is looked at again before the
    // next wait: waiting for the space event with room in hand hung the connection for good once
    // the record task had read everything and waited for the rest of a record.
    platform::CWaitable* others[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(),
                                      platform::GetThreadMessageWaitable()};
    bool waited = false;
    while (m_bRunning)
    {
        uint32_t freeSize = 0;
        uint32_t ret = m_RecvCache.WaitCanWrite(freeSize, 2, others, RING_FULL_WAIT_MS);
        if (ret == platform::WAIT_OBJECT_0)
        {
            if (!RecvOnce(freeSize, !waited))
                return;
            continue;
        }
        waited = true;
        m_LastWaitRet = ret;
        if (ret == platform::WAIT_FAILED)
        {
            QB_LOG(PL_ERROR, TAG, "[OnFD_Read] Wait Event Fail Err = %u\n", static_cast<unsigned>(errno));
            return;
        }
        if (ret == platform::WAIT_TIMEOUT)
        {
            QB_LOG(PL_WARN, TAG,
                   "[OnFD_Read] Wait For RingBuff Not Full TimeOut! Maybe Your System Is Busy.\n");
            // The record task may be waiting for room in the send ring while
            // the device has started reading again: push the replies on.
            OnFD_Write();
            if (m_pRecordTask == nullptr || !m_pRecordTask->IsAlive())
            {
                m_bRunning = 0;
                QB_LOG(PL_WARN, TAG, "[OnFD_Read] CNodeLogRecordTask Exit In This CSvpnNode!\n");
            }
            // A device that stopped reading and then went away: the record task waits for room in
            // the send ring, which its replies can no longer leave, and this thread for room in the
            // receive ring, which the record task can no longer free. Without this the connection
            // held its slot and its rings for good. Its task still handles what the ring holds.
            uint32_t pending = 0;
            if (m_bRunning && m_bPeerGone && m_SendCache.GetCanReadSize(pending))
            {
                m_bRunning = 0;
                QB_LOG(PL_WARN, TAG, "[OnFD_Read] Device Gone With %u Reply Bytes Unsent And The Ring Full\n",
                       pending);
            }
            continue;
        }
        if (ret == platform::WAIT_OBJECT_0 + 1)
            return;
        if (ProcessThreadMessage() == 0)
        {
            m_bRunning = 0;
            return;
        }
    }
}

void CSvpnNode::OnFD_Write()
{
    uint32_t readable = 0;
    if (m_Socket == platform::INVALID_SOCKET || !m_SendCache.GetCanReadSize(readable))
        return;
    int sent = CSocketManager::Send(m_Socket, m_SendCache.GetReadPtr(), static_cast<int>(readable), 0);
    if (sent < 0)
    {
        int error = platform::WSAGetLastError();
        QB_LOG(PL_WARN, TAG, "[OnFD_Write] send Fail Err = %u\n", static_cast<unsigned>(error));
        // The socket buffer is full: the next write readiness goes on.
        if (error == platform::WSAEWOULDBLOCK)
            platform::WSAEventSelect(m_Socket, m_pNetEvent.get(), SELECT_ALL);
        // Reset, broken pipe: the device is gone and no reply will leave again.
        else if (error != EINTR && error != ENOBUFS && error != ENOMEM)
            m_bPeerGone = true;
        return;
    }
    m_SendCache.CommitRead(static_cast<uint32_t>(sent));
    // Write readiness is wanted while anything is left, also the part of a
    // reply behind the ring's wrap point.
    uint32_t rest = 0;
    m_SendCache.GetCanReadSize(rest);
    platform::WSAEventSelect(m_Socket, m_pNetEvent.get(), rest == 0 ? SELECT_READ_CLOSE : SELECT_ALL);
    QB_LOG(PL_DEBUG, TAG, "[OnFD_Write] socket %d send %d byte(s) data\n", m_Socket, sent);
}

void CSvpnNode::OnFD_Close()
{
    QB_LOG(PL_INFO, TAG, "Socket %d Recv OnFD_Close!\n", m_Socket);
    CSocketManager::GetInstance()->ReleaseSocket(m_Socket, 1);
    m_Socket = platform::INVALID_SOCKET;
}

void CSvpnNode::OnMsg_SvpnNodeDataSyncSucc(char* dbName, char* devKey)
{
    QB_LOG(PL_INFO, TAG, "[OnMsg_SvpnNodeDataSyncSucc] Receive Sync Succeed Message!\n");
    if (dbName != nullptr && devKey != nullptr)
    {
        m_DbName = dbName;
        std::memcpy(m_DevMD5, devKey, sizeof(m_DevMD5));
    }
    UpdateDevConnectInfo(1);
    Start_LoadDataTask();
    Start_DataBaseCleanTask();
    Start_ReportTableGenTask();
    Start_TableRepairTask();
    if (dbName != nullptr)
        CBuffManager::GetInstance()->ReleaseByteBuff(dbName);
    if (devKey != nullptr)
        CBuffManager::GetInstance()->ReleaseByteBuff(devKey);
}

// ---------------------------------------------------------------------------
// Maintenance tasks

// The one place where the maintenance tasks of a synchronised device are
// created: bulk import, cleaning, report tables and table repair, each given
// the device's database name. Until those tasks are part of the collector
// nothing is created, and the Start_ operations report that.
CTask* CSvpnNode::CreateMaintenanceTask(EMaintenanceKind kind, const std::string& dbName)
{
    switch (kind)
    {
    case TASK_LOAD_DATA:
        return new (std::nothrow) CLoadDataTask(dbName.c_str());
    case TASK_DATABASE_CLEAN:
        return new (std::nothrow) CDataBaseCleanTask(dbName.c_str());
    case TASK_REPORT_TABLE_GEN:
        return new (std::nothrow) CReportTableGenTask(dbName.c_str());
    case TASK_TABLE_REPAIR:
        return new (std::nothrow) CTableRepairTask(dbName.c_str());
    default:
        return nullptr;
    }
}

void CSvpnNode::StartMaintenanceTask(CTask*& slot, EMaintenanceKind kind, const char* name,
                                     const char* allocError, const char* startError)
{
    (void)name;
    if (slot != nullptr)
        return;
    slot = CreateMaintenanceTask(kind, m_DbName);
    if (slot == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "%s", allocError);
        return;
    }
    // The pointer is kept on failure and released with the others.
    if (!CTaskManager::GetInstance()->AddTask(slot))
        QB_LOG(PL_ERROR, TAG, "%s", startError);
}

void CSvpnNode::StartDrainImport()
{
    if (m_DbName.empty())
        return;
    CLoadDataTask* task = new (std::nothrow) CLoadDataTask(m_DbName.c_str());
    if (task == nullptr)
        return;
    task->SetDrainOnly(true);
    // Nobody waits for it: the task manager destroys it once it has ended.
    task->m_bAutoDelete = 1;
    if (!CTaskManager::GetInstance()->AddTask(task))
    {
        QB_LOG(PL_ERROR, TAG, "[Start_LoadDataTask] Cannot Start LoadDataTask.\n");
        delete task;
    }
}

void CSvpnNode::Start_LoadDataTask()
{
    StartMaintenanceTask(m_pLoadDataTask, TASK_LOAD_DATA, "LoadDataTask",
                         "[Start_LoadDataTask] Cannot Alloc Memory For LoadDataTask.\n",
                         "[Start_LoadDataTask] Cannot Start LoadDataTask.\n");
}

void CSvpnNode::Start_DataBaseCleanTask()
{
    StartMaintenanceTask(m_pDataBaseCleanTask, TASK_DATABASE_CLEAN, "DataBaseCleanTask",
                         "[Start_DataBaseCleanTask] Cannot Alloc Memory For DataBaseCleanTask.\n",
                         "[Start_DataBaseCleanTask] Cannot Start DataBaseCleanTask.\n");
}

void CSvpnNode::Start_ReportTableGenTask()
{
    StartMaintenanceTask(m_pReportTableGenTask, TASK_REPORT_TABLE_GEN, "ReportTableGenTask",
                         "[Start_ReportTableGenTask] Cannot Alloc Memory For ReportTableGenTask.\n",
                         "[Start_ReportTableGenTask] Cannot Start ReportTableGenTask.\n");
}

void CSvpnNode::Start_TableRepairTask()
{
    StartMaintenanceTask(m_pTableRepairTask, TASK_TABLE_REPAIR, "TableRepairTask",
                         "[Start_TableRepairTask] Cannot Alloc Memory For TableRepairTask.\n",
                         "[Start_TableRepairTask] Cannot Start TableRepairTask.\n");
}

void CSvpnNode::StopAllTask()
{
    CTask* tasks[5];
    uint32_t count = 0;
    for (CTask* task : {static_cast<CTask*>(m_pRecordTask), m_pLoadDataTask, m_pDataBaseCleanTask,
                        m_pReportTableGenTask, m_pTableRepairTask})
        if (task != nullptr)
            tasks[count++] = task;
    if (count == 0)
        return;
    uint32_t ret = CTaskManager::GetInstance()->WaitForMultiTask(tasks, count, true, STOP_TASKS_WAIT_MS);
    QB_LOG(PL_DEBUG, TAG, "[StopAllTask] Wait All Task Ret = %u.\n", ret);
    for (uint32_t i = 0; i < count; ++i)
        if (tasks[i]->IsAlive())
        {
            std::string name = tasks[i]->GetClassName();
            CCSLocker lock(CGlobalSharedData::GetInstance()->GetTypeNameLock());
            QB_LOG(PL_WARN, TAG,
                   "[StopAllTask] Task Still Running! Node = %s , Task Name = %s ,  Pointer = 0x%08x\n",
                   m_DbName.c_str(), name.c_str(), PointerText(tasks[i]));
        }
}

void CSvpnNode::ReleaseTasks()
{
    CTaskManager* manager = CTaskManager::GetInstance();
    if (m_pRecordTask != nullptr)
    {
        // The record task works on this node's rings: it must have ended
        // before they are released, so it is waited for, not abandoned.
        if (m_pRecordTask->m_hThread && m_pRecordTask->IsAlive())
            platform::WaitForSingleObject(m_pRecordTask->m_hThread.get(), platform::INFINITE);
        manager->RemoveTask(m_pRecordTask);
        delete m_pRecordTask;
        m_pRecordTask = nullptr;
    }
    for (CTask** slot :
         {&m_pLoadDataTask, &m_pDataBaseCleanTask, &m_pReportTableGenTask, &m_pTableRepairTask})
    {
        CTask* task = *slot;
        if (task == nullptr)
            continue;
        // A running task is handed to the task manager, which destroys it once it has ended; one that
        // has ended (and may have been unlisted meanwhile) is destroyed here.
        if (!task->m_hThread || !task->IsAlive() || !manager->HandOverTask(task))
        {
            manager->RemoveTask(task);
            delete task;
        }
        *slot = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Connection record in the device database

void CSvpnNode::UpdateDevConnectInfo(uint32_t state)
{
    if (state == m_ConnState)
        return;
    m_ConnState = state;
    if (m_DbName.empty())
        return;
    // Another live connection of the same device keeps it connected.
    if (state == 0 && CDeviceRegistry::GetInstance()->GetNodeUseCount(m_DevMD5) != 0)
        return;
    if (m_PeerAddr == 0)
    {
        sockaddr_in peer{};
        if (!platform::GetPeerName(m_Socket, &peer))
        {
            QB_LOG(PL_ERROR, TAG, "[UpdateDevConnectInfo] Cannot Get Peer Info Err = %u\n",
                   static_cast<unsigned>(platform::WSAGetLastError()));
            return;
        }
        m_PeerAddr = ntohl(peer.sin_addr.s_addr);
    }

    LocalTime now = CClock::Now();
    char timeText[64];
    snprintf(timeText, sizeof(timeText), "%4d-%02d-%02d %02d:%02d:%02d", now.m_Year, now.m_Month, now.m_Day,
             now.m_Hour, now.m_Minute, now.m_Second);

    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS_FLAG);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[UpdateDevConnectInfo] Cannot Alloc SQL Connection.\n");
        return;
    }
    unsigned int readTimeout = SQL_READ_TIMEOUT;
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &readTimeout);

    int64_t total = 0;
    for (const char* table : {"usrsvrlog", "usrflowlog", "usrbasiclog", "alarm_log", "adt_log"})
    {
        int64_t count = 0;
        if (GetTableLogCount(conn, table, count))
            total += count;
    }

    char query[512];
    snprintf(
        query, sizeof(query),
        "insert into dev_info(`dev_ip`,`TotalLog`,`lastupdateTime`,`ConnStat`)  values (%u,%lld,'%s',%d)",
        m_PeerAddr, static_cast<long long>(total), timeText, static_cast<int>(state));
    if (mysql_query(conn, query) != 0)
        QB_LOG(PL_ERROR, TAG,
               "[UpdateDevConnectInfo] Cannot Update Device Info SqlErrno = %u , SqlErrStr = %s\n",
               mysql_errno(conn), mysql_error(conn));
    else
    {
        do
        {
            if (MYSQL_RES* res = mysql_store_result(conn))
                mysql_free_result(res);
        } while (mysql_next_result(conn) == 0);
    }
    sql->ReleaseSqlConn(conn);
}

bool CSvpnNode::GetTableLogCount(MYSQL* conn, const char* table, int64_t& count)
{
    count = 0;
    if (conn == nullptr || table == nullptr)
        return false;
    char query[256];
    snprintf(query, sizeof(query), "select count(*) from %s", table);
    if (mysql_query(conn, query) != 0)
    {
        QB_LOG(PL_ERROR, TAG, "[GetTableLogCount] Cannot Get Log Count Of Table = %s\n", table);
        return false;
    }
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        return false;
    MYSQL_ROW row = mysql_fetch_row(res);
    bool ok = row != nullptr && row[0] != nullptr;
    if (ok)
    {
        char text[64];
        snprintf(text, sizeof(text), "%.63s", row[0]);
        QB_LOG(PL_INFO, TAG, "[GetTableLogCount] Succeed Get %s.%s Log Count = %s\n", m_DbName.c_str(), table,
               text);
        count = strtoll(text, nullptr, 10);
    }
    mysql_free_result(res);
    return ok;
}
