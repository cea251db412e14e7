#include "core/GlobalSharedData.h"

#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/Tick.h"

#include <cstdlib>

CGlobalSharedData* CGlobalSharedData::GetInstance()
{
    static CGlobalSharedData* instance = new CGlobalSharedData();
    return instance;
}

std::string CGlobalSharedData::ComputeInstallDir(const std::string& executablePath)
{
    std::string value;
    if (platform::RegGetString(REG_KEY, REG_VALUE, value) && !value.empty())
    {
        if (value.size() > 519)
            value.resize(519);
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        return value;
    }
    // The executable's directory without its last directory.
    std::string dir = executablePath;
    for (int i = 0; i < 2; ++i)
    {
        size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos)
            return std::string();
        dir.resize(slash);
    }
    return dir.empty() ? std::string("/") : dir;
}

bool CGlobalSharedData::Init()
{
    if (m_bInit)
        return true;
    m_InstallDir = ComputeInstallDir(platform::ExecutablePath());
    m_KelvDir = m_InstallDir + "/Kelv";
    m_LogDir = m_KelvDir + "/Log";
    m_DumpDir = m_KelvDir + "/Dump";
    m_ConfigDir = m_KelvDir + "/Config";
    m_DataFileDir = m_KelvDir + "/DataFile";
    m_TempDir = m_KelvDir + "/Temp";
    m_UploadDir = m_InstallDir + "/htdocs/UploadFiles";
    srand(platform::GetTickCount());
    m_Sequence = static_cast<uint32_t>(rand());
    m_bInit = m_ExitEvent.IsValid() && !m_InstallDir.empty();
    return m_bInit;
}

uint32_t CGlobalSharedData::WaitForExit(uint32_t timeoutMs)
{
    if (!m_bInit)
        return platform::WAIT_FAILED;
    return platform::WaitForSingleObject(&m_ExitEvent, timeoutMs);
}

void CGlobalSharedData::SetServiceHooks(std::function<void(uint32_t)> reportStatus,
                                        std::function<void()> postQuit)
{
    CCSLocker lock(m_ServiceHookLock);
    m_ReportStatus = std::move(reportStatus);
    m_PostQuit = std::move(postQuit);
}

void CGlobalSharedData::ReportServiceStatus(uint32_t state)
{
    std::function<void(uint32_t)> report;
    {
        CCSLocker lock(m_ServiceHookLock);
        report = m_ReportStatus;
    }
    if (report)
        report(state);
}

void CGlobalSharedData::PostServiceQuit()
{
    std::function<void()> post;
    {
        CCSLocker lock(m_ServiceHookLock);
        post = m_PostQuit;
    }
    if (post)
        post();
}

void CGlobalSharedData::SetListeningHook(std::function<void()> listening)
{
    CCSLocker lock(m_ServiceHookLock);
    m_Listening = std::move(listening);
}

void CGlobalSharedData::ReportListening()
{
    std::function<void()> listening;
    {
        CCSLocker lock(m_ServiceHookLock);
        listening = m_Listening;
    }
    if (listening)
        listening();
}
