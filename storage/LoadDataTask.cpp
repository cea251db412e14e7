#include "storage/LoadDataTask.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/Tick.h"
#include "storage/DataFileManager.h"
#include "storage/SQLConnManager.h"

#include <vector>

#define LDT_TAG "[CLoadDataTask]"

CLoadDataTask::~CLoadDataTask()
{
    if (m_pConn != nullptr)
    {
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConn);
        m_pConn = nullptr;
    }
}

uint32_t CLoadDataTask::Run()
{
    CSQLConnManager::SqlThreadInit();
    QB_LOG(PL_INFO, LDT_TAG, "[Run] LoadDataTask For DB = %s Start...\n", m_DbName.c_str());
    if (m_bDrainOnly)
    {
        CLongWork busy(this);
        Drain();
    }
    while (m_bRunning == 1 && !m_bDrainOnly)
    {
        m_ActivityTime = platform::timeGetTime();
        uint32_t ret = WaitForStopOrExit(ScaledInterval(IMPORT_CYCLE_MS));
        if (ret != platform::WAIT_TIMEOUT || m_bRunning != 1)
            break;
        if (m_DbName.empty())
        {
            QB_LOG(PL_ERROR, LDT_TAG, "[Run] DataBase Name Not Specify! Cannot Import DataFile\n");
            continue;
        }
        if (CConfigManager::GetInstance()->Kelv().m_IsFull != 0)
        {
            QB_LOG(PL_WARN, LDT_TAG, "[Run] Import Calcel Due To Not Enough DiskSpace.Try Import Later...\n");
            continue;
        }
        CLongWork busy(this);
        ImportPass();
    }
    if (m_pConn != nullptr)
    {
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConn);
        m_pConn = nullptr;
    }
    CSQLConnManager::SqlThreadEnd();
    QB_LOG(PL_INFO, LDT_TAG, "[Run] LoadDataTask For DB = %s Exit. Pointer = 0x%08x\n", m_DbName.c_str(),
           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
    return 0;
}

void CLoadDataTask::Drain()
{
    if (m_DbName.empty() || CConfigManager::GetInstance()->Kelv().m_IsFull != 0)
        return;
    // Until a pass imports nothing: the queue is empty, or the server is away and the files wait
    // for the device's next connection or the next start, as before.
    int total = 0;
    for (;;)
    {
        if (m_bRunning != 1 || WaitForStopOrExit(0) != platform::WAIT_TIMEOUT)
            break;
        int imported = ImportPass();
        if (imported == 0)
            break;
        total += imported;
    }
    QB_LOG(PL_INFO, LDT_TAG, "[Run] DB = %s Imported %d DataFile(s) Left By The Closed Connection\n",
           m_DbName.c_str(), total);
}

int CLoadDataTask::ImportPass()
{
    int imported = 0;
    CDataFileManager* manager = CDataFileManager::GetInstance();
    struct Entry
    {
        std::string m_Table, m_File;
    };
    // Every entry that could not be imported in this pass; all are freed at
    // its end so that the next cycle retries them.
    std::vector<Entry> failed;
    while (m_bRunning == 1)
    {
        std::string dbName = m_DbName;
        std::string dataFile, tableName;
        if (manager->GetImportInfo(dbName, dataFile, tableName) != 1)
        {
            QB_LOG(PL_DEBUG, LDT_TAG, "[Run] No DataFile Need Import. DBName = %s\n", m_DbName.c_str());
            break;
        }
        if (m_pConn == nullptr)
        {
            m_pConn = CSQLConnManager::GetInstance()->AllocSqlConn(m_DbName.c_str(), CLIENT_LOCAL_FILES);
            if (m_pConn == nullptr)
            {
                QB_LOG(PL_ERROR, LDT_TAG, "[Run] Cannot Alloc SQL Connection.\n");
                failed.push_back({tableName, dataFile});
                break;
            }
        }
        ImportError error;
        if (manager->ImportDataFile(m_pConn, tableName.c_str(), dataFile.c_str(), 1, &error))
        {
            manager->RemoveImportInfo(m_DbName.c_str(), tableName.c_str(), dataFile.c_str());
            QB_LOG(PL_INFO, LDT_TAG, "[Run] DB = %s Succeed To Import DataFile = %s\n", m_DbName.c_str(),
                   dataFile.c_str());
            manager->DeleteImportedDataFile(dataFile);
            ++imported;
            continue;
        }
        bool reachable = mysql_ping(m_pConn) == 0;
        // A file that keeps failing while the server answers is set aside
        // after a few passes instead of being tried for ever.
        if (reachable &&
            manager->CountFailedImport(m_DbName.c_str(), tableName.c_str(), dataFile.c_str(), error))
            continue;
        failed.push_back({tableName, dataFile});
        // With the server gone every further file would fail the same way
        // (three attempts and a repair each): leave them for the next cycle.
        if (!reachable)
        {
            QB_LOG(PL_WARN, LDT_TAG, "[Run] MySQL Not Reachable. DB = %s , Import Put Off To Next Cycle\n",
                   m_DbName.c_str());
            break;
        }
    }
    if (m_pConn != nullptr)
    {
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConn);
        m_pConn = nullptr;
    }
    for (const Entry& e : failed)
        manager->ResetImportInfoFlag(m_DbName.c_str(), e.m_Table.c_str(), e.m_File.c_str());
    return imported;
}
