#include "maintenance/TableRepairTask.h"

#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "maintenance/MaintenanceCalendar.h"
#include "maintenance/MaintenanceSql.h"
#include "platform/Event.h"
#include "platform/Tick.h"
#include "storage/SQLConnManager.h"

#include <cstdio>

#define TRT_TAG "[CTableRepairTask]"

const char CTableRepairTask::REPAIR_TABLES[REPAIR_TABLE_COUNT][REPAIR_NAME_SIZE] = {
    "admin",
    "admingroup",
    "adt_log",
    "alarm_log",
    "ctrl_rights",
    "delay_restart_mysql",
    "dev_info",
    "dev_stat",
    "`devices`",
    "grp_flowrange",
    "grp_flowtrend",
    "midtableinfo",
    "`reportcache`",
    "svpngroup",
    "svpnrc",
    "svpnrcgrp",
    "svpnrole",
    "`svpnrole_grp`",
    "svpnrole_rc",
    "svpnrole_rcgrp",
    "svpnrole_user",
    "svpnuser",
    "svr_bwoptflow",
    "svr_flowrange",
    "svr_flowtrend",
    "svruser_flowrange",
    "syslog",
    "user_bwoptflow",
    "user_flowrange",
    "user_flowtrend",
    "usersvr_flowrange",
    "`usrbasiclog`",
    "usrsvrlog",
    "usrflowlog",
    "usrfileauditlog",
};

CTableRepairTask::~CTableRepairTask() = default;

uint32_t CTableRepairTask::Run()
{
    if (!m_DbName.empty())
        QB_LOG(PL_INFO, TRT_TAG, "[Run] Table Repair Thread For Db = %s Start...\n", m_DbName.c_str());
    CSQLConnManager::SqlThreadInit();

    uint32_t elapsed = 0;
    while (m_bRunning != 0)
    {
        m_ActivityTime = platform::timeGetTime();
        uint32_t ret = WaitForStopOrExit(ScaledInterval(WAIT_MS));
        if (ret != platform::WAIT_TIMEOUT)
            break;
        elapsed += WAIT_MS;
        if (elapsed >= REPAIR_INTERVAL_MS)
        {
            CLongWork busy(this);
            if (IsStrongRepairTime() == 1)
                DoStrongRepairTable();
            else
                DoNonStrongRepairTable();
            elapsed = 0;
        }
    }

    CSQLConnManager::SqlThreadEnd();
    QB_LOG(PL_INFO, TRT_TAG, "[Run] Table Repair Thread For Db = %s Exit.\n", m_DbName.c_str());
    return 0;
}

int CTableRepairTask::IsStrongRepairTime()
{
    const KelvConfig& kelv = CConfigManager::GetInstance()->Kelv();
    return CMaintenanceCalendar::IsStrongRepairDue(CClock::Now(), m_LastStrongRepair,
                                                   kelv.m_StartStrongRepairTime, kelv.m_EndStrongRepairTime)
               ? 1
               : 0;
}

void CTableRepairTask::DoNonStrongRepairTable()
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TRT_TAG, "[DoNonStrongRepairTable] Cannot Alloc SQL Connection.\n");
        return;
    }
    QB_LOG(PL_INFO, TRT_TAG, "[DoNonStrongRepairTable] Non-Strong Repair To Db = %s Begin.\n",
           m_DbName.c_str());
    char statement[1024];
    for (int i = 0; i < REPAIR_TABLE_COUNT; ++i)
    {
        const char* table = REPAIR_TABLES[i];
        snprintf(statement, sizeof(statement), "select * from  %.31s limit 0", table);
        if (CMaintenanceSql::Run(conn, statement))
            continue;
        QB_LOG(PL_ERROR, TRT_TAG,
               "[DoNonStrongRepairTable] Find Table %s.%s Maybe Crash. Errno = %u , ErrStr = %s.\n",
               m_DbName.c_str(), table, mysql_errno(conn), mysql_error(conn));
        snprintf(statement, sizeof(statement), "repair table %.31s", table);
        if (!CMaintenanceSql::Run(conn, statement))
            QB_LOG(PL_ERROR, TRT_TAG,
                   "[DoNonStrongRepairTable] Repair Table %s.%s Fail. Errno = %u , ErrStr = %s.\n",
                   m_DbName.c_str(), table, mysql_errno(conn), mysql_error(conn));
    }
    QB_LOG(PL_INFO, TRT_TAG, "[DoNonStrongRepairTable] Non-Strong Repair For Db = %s End.\n",
           m_DbName.c_str());
    sql->ReleaseSqlConn(conn);
}

void CTableRepairTask::DoStrongRepairTable()
{
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TRT_TAG, "[DoStrongRepairTable] Cannot Alloc SQL Connection.\n");
        return;
    }
    QB_LOG(PL_WARN, TRT_TAG,
           "[DoStrongRepairTable] Strong Repair To Db = %s Begin , MySQL Will Run Into Busy Status And "
           "Datacenter "
           "Maybe No Response...\n",
           m_DbName.c_str());
    std::string repair = CConfigManager::GetInstance()->GetStatisticsCopy().m_RepairTable;
    if (!repair.empty())
    {
        if (CMaintenanceSql::Run(conn, repair.c_str()))
        {
            m_LastStrongRepair = CClock::Now();
            QB_LOG(PL_INFO, TRT_TAG, "[DoStrongRepairTable] Strong Repair For Db = %s Succeed.\n",
                   m_DbName.c_str());
        }
        else
            QB_LOG(PL_ERROR, TRT_TAG,
                   "[DoStrongRepairTable] Cannot Exec Sql = %s ,  Errno = %u , ErrStr = %s.\n",
                   repair.c_str(), mysql_errno(conn), mysql_error(conn));
    }
    QB_LOG(PL_WARN, TRT_TAG, "[DoStrongRepairTable] Strong Repair For Db = %s End.\n", m_DbName.c_str());
    sql->ReleaseSqlConn(conn);
}
