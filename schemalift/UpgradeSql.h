#pragma once

// Statement texts of the upgrade. The table and routine definitions are the current device
// schema's (sql/devicedb.sql) with the routines' comments left out, as the command-line client
// sends them, so that an upgraded database and a freshly created one store the same bodies.
namespace schemalift::sql
{
extern const char* const kCreateSvrBwOptFlow;
extern const char* const kCreateUserBwOptFlow;
extern const char* const kCreateGenMidSvrBwOptFlow;
extern const char* const kCreateGenMidUserBwOptFlow;
extern const char* const kCreateGenMidManual;
extern const char* const kCreateCleanByTime;
extern const char* const kCreateCleanByContent;
extern const char* const kCreateRepairTables;
extern const char* const kCreateGetMidTabLastUpdateTime;
extern const char* const kCreateRebuildView;
extern const char* const kCreateGetDeviceFlowTrend;
} // namespace schemalift::sql
