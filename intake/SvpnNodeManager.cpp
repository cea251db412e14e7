#include "intake/SvpnNodeManager.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "intake/SvpnNode.h"
#include "storage/DeviceRegistry.h"

#include <algorithm>
#include <new>
#include <vector>

namespace
{
const char* const TAG = "[CSvpnNodeManager]";

unsigned PointerText(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
} // namespace

CSvpnNodeManager* CSvpnNodeManager::GetInstance()
{
    static CSvpnNodeManager* instance = new CSvpnNodeManager();
    return instance;
}

bool CSvpnNodeManager::Init()
{
    m_WatcherStop.Reset();
    m_bInit = 1;
    m_hCheckThread = platform::CreateThread([this] { return SvpnNodeCheckProcess(); });
    if (!m_hCheckThread)
    {
        m_bInit = 0;
        return false;
    }
    return true;
}

bool CSvpnNodeManager::UnInit()
{
    m_bInit = 0;
    m_WatcherStop.Set();
    if (m_hCheckThread)
    {
        if (platform::WaitForSingleObject(m_hCheckThread.get(), UNINIT_WAIT_MS) != platform::WAIT_OBJECT_0)
            platform::TerminateThread(m_hCheckThread, 0);
        m_hCheckThread.reset();
    }
    return true;
}

uint32_t CSvpnNodeManager::GetMaxConnection()
{
    int max = CConfigManager::GetInstance()->KelvAdv().m_MaxConnection;
    return max >= 1 && max <= 64 ? static_cast<uint32_t>(max) : DEFAULT_MAX_CONNECTION;
}

CSvpnNode* CSvpnNodeManager::AllocSvpnNode()
{
    if (!IsInit())
        return nullptr;
    bool atLimit = false;
    {
        CCSLocker lock(m_Lock);
        atLimit = m_NodeCount >= GetMaxConnection();
    }
    // Connections that have ended hold their slot until the watcher's next pass (up to 5 s);
    // a device that reconnects at once would be refused meanwhile. Release them now instead.
    if (atLimit)
        ReleaseEndedNodes();
    {
        CCSLocker lock(m_Lock);
        if (m_NodeCount >= GetMaxConnection())
        {
            QB_LOG(PL_WARN, TAG, "[AllocSvpnNode] Max Connection.\n");
            CInfoManager::GetInstance()->Count(CInfoManager::INFO_CONN_REFUSED);
            return nullptr;
        }
    }
    // Only the listener thread creates nodes, so the limit holds although
    // the test and the insertion take the lock separately.
    CSvpnNode* node = nullptr;
    try
    {
        node = new CSvpnNode();
        CCSLocker lock(m_Lock);
        m_Nodes.push_back(node);
        ++m_NodeCount;
        CInfoManager::GetInstance()->SetOpenConnectionCount(static_cast<uint32_t>(m_NodeCount));
    }
    catch (...)
    {
        delete node;
        return nullptr;
    }
    return node;
}

bool CSvpnNodeManager::ReleaseSvpnNode(CSvpnNode* node)
{
    if (node == nullptr || !IsInit())
        return false;
    {
        CCSLocker lock(m_Lock);
        auto it = std::find(m_Nodes.begin(), m_Nodes.end(), node);
        if (it == m_Nodes.end())
            QB_LOG(PL_WARN, TAG, "[ReleaseSvpnNode] Specify SvpnNode Does Not In The SvpnNode Manager\n");
        else
        {
            m_Nodes.erase(it);
            --m_NodeCount;
            CInfoManager::GetInstance()->SetOpenConnectionCount(static_cast<uint32_t>(m_NodeCount));
        }
    }
    QB_LOG(PL_WARN, TAG, "[ReleaseSvpnNode] Release SvpnNode Object = 0x%08x\n", PointerText(node));
    delete node;
    return true;
}

uint32_t CSvpnNodeManager::WaitForAllSvpnNode(uint32_t timeoutMs)
{
    if (!IsInit())
        return 0;
    // The handles are shared, so they outlive a node the watcher destroys
    // meanwhile.
    std::vector<platform::ThreadHandle> handles;
    {
        CCSLocker lock(m_Lock);
        for (CSvpnNode* node : m_Nodes)
            if (platform::ThreadHandle h = node->GetThreadHandle())
                handles.push_back(h);
    }
    if (handles.empty())
        return platform::WAIT_OBJECT_0;
    std::vector<platform::CWaitable*> objects;
    for (const platform::ThreadHandle& h : handles)
        objects.push_back(h.get());
    return platform::WaitForMultipleObjects(static_cast<uint32_t>(objects.size()), objects.data(), true,
                                            timeoutMs);
}

uint32_t CSvpnNodeManager::GetConnectedNodeCount() const
{
    return CInfoManager::GetInstance()->GetConnectedNodeCount();
}

size_t CSvpnNodeManager::GetSvpnNodeCount()
{
    CCSLocker lock(m_Lock);
    return m_NodeCount;
}

uint32_t CSvpnNodeManager::ReleaseEndedNodes()
{
    // Nodes whose thread has ended leave the list under the lock and are
    // destroyed outside it (destruction takes the socket registry's lock).
    std::vector<CSvpnNode*> ended;
    uint32_t running = 0;
    {
        CCSLocker lock(m_Lock);
        for (auto it = m_Nodes.begin(); it != m_Nodes.end();)
        {
            platform::ThreadHandle h = (*it)->GetThreadHandle();
            if (h && h->HasEnded())
            {
                ended.push_back(*it);
                it = m_Nodes.erase(it);
                --m_NodeCount;
                CInfoManager::GetInstance()->SetOpenConnectionCount(static_cast<uint32_t>(m_NodeCount));
            }
            else
            {
                ++running;
                ++it;
            }
        }
    }
    for (CSvpnNode* node : ended)
    {
        QB_LOG(PL_INFO, TAG, "[SvpnNodeCheckProcess] Release A SvpnNode. Node = %s ,  Object = 0x%08x\n",
               node->GetDbName().c_str(), PointerText(node));
        delete node;
    }
    return running;
}

uint32_t CSvpnNodeManager::SvpnNodeCheckProcess()
{
    platform::CWaitable* objects[2] = {CGlobalSharedData::GetInstance()->GetExitEvent(), &m_WatcherStop};
    for (;;)
    {
        uint32_t ret = platform::WaitForMultipleObjects(2, objects, false, ScaledInterval(CHECK_INTERVAL_MS));
        if (ret != platform::WAIT_TIMEOUT || !IsInit())
        {
            QB_LOG(PL_DEBUG, TAG, "[SvpnNodeCheckProcess] Exit With Wait Code = %u", ret);
            return 0;
        }

        uint32_t running = ReleaseEndedNodes();

        bool inUse = running > 0 && CDeviceRegistry::GetInstance()->IsAnyNodeInUse();
        CGlobalSharedData::GetInstance()->ReportServiceStatus(inUse ? SERVICE_RUNNING : SERVICE_PAUSED);
        CInfoManager::GetInstance()->SetConnectedNodeCount(static_cast<uint32_t>(running));
    }
}
