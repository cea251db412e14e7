#include "writers/DataFileLogWriter.h"

#include "runtime/GlobalSharedData.h"
#include "runtime/ProgramLogRecorder.h"
#include "runtime/Utilities.h"
#include "storage/DataFileManager.h"

#include <cinttypes>
#include <cstring>

namespace
{
const char* const TAG = "[CDataFileLogWriter]";

// A text field of a line: in double quotes, escaped for the loader.
std::string Quoted(const std::string& gbk)
{
    std::string out;
    out.reserve(gbk.size() + 8);
    out.push_back('"');
    EscapeLoadDataField(gbk.data(), gbk.size(), out);
    out.push_back('"');
    return out;
}
} // namespace

CDataFileLogWriter::~CDataFileLogWriter() = default;

int CDataFileLogWriter::Init()
{
    // The lock is a member and exists with the object.
    return 1;
}

void CDataFileLogWriter::UnInit() {}

// ---- Lines ---------------------------------------------------------------------------------------

std::string CDataFileLogWriter::BuildSysLogLine(const SystemLog& record, const std::string& gbkMessage,
                                                const std::string& timeText)
{
    return FormatText("%d\t%d\t", record.m_SysLogType, record.m_ProcessType) + Quoted(gbkMessage) + "\t" +
           Quoted(timeText) + "\r\n";
}

std::string CDataFileLogWriter::BuildUserFlowLogLine(const UserLogV3& record, int32_t userId,
                                                     const std::string& timeText, int64_t recordId)
{
    // Column order of the table: raw down before raw up.
    return FormatText("\"%" PRId64 "\"\t%d\t%u\t%d\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t",
                      recordId, userId, wire::NetToHost32(record.m_ServerIP), record.m_GroupID,
                      record.m_DownFlux, record.m_UpFlux, record.m_RawDownFlux, record.m_RawUpFlux) +
           Quoted(timeText) +
           FormatText("\t%u\t%d\r\n", wire::NetToHost32(record.m_Address),
                      static_cast<int>(wire::NetToHost16(record.m_ServerPort)));
}

std::string CDataFileLogWriter::BuildUserBasicLogLine(const UserLogV3& record, int32_t userId,
                                                      const std::string& gbkName,
                                                      const std::string& gbkMessage,
                                                      const std::string& timeText, int64_t recordId)
{
    return FormatText("\"%" PRId64 "\"\t%d\t", recordId, userId) + Quoted(gbkName) +
           FormatText("\t%d\t%d\t%d\t%u\t", record.m_GroupID, record.m_Action, record.m_Result,
                      wire::NetToHost32(record.m_Address)) +
           Quoted(gbkMessage) + FormatText("\t%d\t", record.m_AuthMethod) + Quoted(timeText) +
           FormatText("\t%u\t%d\r\n", wire::NetToHost32(record.m_ServerIP),
                      static_cast<int>(wire::NetToHost16(record.m_ServerPort)));
}

std::string CDataFileLogWriter::BuildUserSvrLogLine(const UserLogV3& record, int32_t userId,
                                                    const std::string& gbkMessage,
                                                    const std::string& timeText, int64_t recordId)
{
    return FormatText("\"%" PRId64 "\"\t%d\t%d\t%u\t%d\t%d\t", recordId, userId, record.m_GroupID,
                      wire::NetToHost32(record.m_ServerIP),
                      static_cast<int>(wire::NetToHost16(record.m_ServerPort)), record.m_ServiceType) +
           Quoted(timeText) + FormatText("\t%d\t%u\t", record.m_Result, wire::NetToHost32(record.m_Address)) +
           Quoted(gbkMessage) + FormatText("\t%d\r\n", record.m_ServerAttr);
}

// ---- Data files ----------------------------------------------------------------------------------

uint32_t CDataFileLogWriter::GetDataFileID(const char* tableName)
{
    CCSLocker lock(m_Lock);
    auto it = m_DataFileIDs.find(tableName);
    if (it != m_DataFileIDs.end())
        return it->second;
    // Without a database name the lines would have no home; the final writer keeps the record.
    if (m_DbName.empty())
        return 0;
    uint32_t id = CDataFileManager::GetInstance()->AllocDataFileID(m_DbName.c_str(), tableName);
    if (id != 0)
        m_DataFileIDs[tableName] = id;
    return id;
}

int CDataFileLogWriter::WriteDataToDataFile(const std::string& line, const char* tableName)
{
    if (line.empty())
        return 1;
    uint32_t id = GetDataFileID(tableName);
    if (id == 0)
    {
        QB_LOG(PL_WARN, TAG, "[WriteDataToDataFile] Cannot Get DataFile ID\n");
        return 0;
    }
    CDataFileManager* manager = CDataFileManager::GetInstance();
    uint32_t written = manager->WriteDataFileByID(id, line.data(), static_cast<uint32_t>(line.size()));
    if (written == 0)
    {
        // The file is gone or refuses lines: let it go, so that the next line starts a fresh one
        // instead of failing on this identifier for the rest of the connection.
        {
            CCSLocker lock(m_Lock);
            auto it = m_DataFileIDs.find(tableName);
            if (it != m_DataFileIDs.end() && it->second == id)
                m_DataFileIDs.erase(it);
        }
        manager->ReleaseDataFileID(id);
        return 0;
    }
    return written == line.size() ? 1 : 0;
}

// ---- Records -------------------------------------------------------------------------------------

uint32_t CDataFileLogWriter::WriteLog(int, const SystemLog* record, void*)
{
    if (record == nullptr)
        return 0;
    std::string timeText, message;
    if (!RecordTimeText(record->m_Head, timeText))
        return 0;
    if (!RecordTextToGbk(record->m_Message, sizeof(record->m_Message), message))
        return 0;
    return WriteDataToDataFile(BuildSysLogLine(*record, message, timeText), "syslog") != 0 ? 1 : 0;
}

uint32_t CDataFileLogWriter::WriteLog(int, const UserLogV3* record, void*)
{
    if (record == nullptr)
        return 0;
    std::string timeText;
    if (!RecordTimeText(record->m_Head, timeText))
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call TranslateDWORDTimeToSZ().\n");
        return 0;
    }
    const int64_t recordId = MakeRecordId();
    std::string userName;
    if (!RecordTextToGbk(record->m_UserName, sizeof(record->m_UserName), userName))
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call Utf8ToGbkString().\n");
        return 0;
    }
    int32_t userId = 0;
    const std::string dbName = GetDbName();
    if (!CGlobalSharedData::GetInstance()->GetUserInfoEx(dbName.empty() ? nullptr : dbName.c_str(),
                                                         record->m_Head.m_DevMD5, userName.c_str(), userId,
                                                         record->m_GroupID))
    {
        std::string rawName(record->m_UserName, strnlen(record->m_UserName, sizeof(record->m_UserName)));
        QB_LOG(PL_WARN, TAG,
               "[WriteLog] Fail To Call GSD.GetUserInfoEx().UserGroupID = %d , RawName = %s , "
               "UserNameConverted = "
               "%s\n",
               record->m_GroupID, rawName.c_str(), userName.c_str());
        return 0;
    }

    int result = 0;
    switch (record->m_Action)
    {
    case USER_ACTION_FLUX:
        result = BuildUserFlowLog(*record, userId, timeText, recordId);
        if (result == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserFlowLog().\n");
        break;
    case USER_ACTION_RESOURCE:
    {
        if (record->m_ServerIP == 0)
            return 0;
        int basic = BuildUserBasicLog(*record, userId, userName, timeText, recordId);
        if (basic == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        int svr = BuildUserSvrLog(*record, userId, timeText, recordId);
        if (svr == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
        result = basic != 0 && svr != 0 ? 1 : 0;
        break;
    }
    default:
        result = BuildUserBasicLog(*record, userId, userName, timeText, recordId);
        if (result == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        break;
    }
    return result != 0 ? 1 : 0;
}

int CDataFileLogWriter::BuildUserFlowLog(const UserLogV3& record, int32_t userId, const std::string& timeText,
                                         int64_t recordId)
{
    return WriteDataToDataFile(BuildUserFlowLogLine(record, userId, timeText, recordId), "usrflowlog");
}

int CDataFileLogWriter::BuildUserBasicLog(const UserLogV3& record, int32_t userId, const std::string& gbkName,
                                          const std::string& timeText, int64_t recordId)
{
    std::string message;
    if (!RecordTextToGbk(record.m_Message, sizeof(record.m_Message), message))
        return 0;
    return WriteDataToDataFile(BuildUserBasicLogLine(record, userId, gbkName, message, timeText, recordId),
                               "usrbasiclog");
}

int CDataFileLogWriter::BuildUserSvrLog(const UserLogV3& record, int32_t userId, const std::string& timeText,
                                        int64_t recordId)
{
    std::string message;
    if (!RecordTextToGbk(record.m_Message, sizeof(record.m_Message), message))
        return 0;
    return WriteDataToDataFile(BuildUserSvrLogLine(record, userId, message, timeText, recordId), "usrsvrlog");
}

uint32_t CDataFileLogWriter::WriteLog(int signCode, const UserLogV2* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CDataFileLogWriter::WriteLog(int signCode, const UserLog* record, void*)
{
    if (record == nullptr)
        return 0;
    UserLogV3 v3;
    ConvertToUserLogV3(*record, v3);
    return WriteLog(signCode, &v3, nullptr);
}

uint32_t CDataFileLogWriter::WriteLog(const LogRecordDesc* desc, void* extra)
{
    if (desc == nullptr || desc->m_pRecord == nullptr)
        return 0;
    if (desc->m_LogType < int32_t(LOG_TYPE_USER) || desc->m_LogType > int32_t(LOG_TYPE_USERV3))
        return 0;
    switch (desc->m_LogType)
    {
    case LOG_TYPE_USER:
    case LOG_TYPE_SYSTEM:
    case LOG_TYPE_USERV2:
    case LOG_TYPE_USERV3:
        return DispatchToTypedSlot(desc, extra);
    default:
        return 0;
    }
}

void CDataFileLogWriter::SetDbName(const char* dbName)
{
    CCSLocker lock(m_Lock);
    std::string name = dbName != nullptr ? dbName : "";
    if (name == m_DbName)
        return;
    // Files of the earlier name belong to that database: let them go to its import.
    CDataFileManager* manager = CDataFileManager::GetInstance();
    for (auto& entry : m_DataFileIDs)
        manager->ReleaseDataFileID(entry.second);
    m_DataFileIDs.clear();
    m_DbName = name;
}

std::string CDataFileLogWriter::GetDbName()
{
    CCSLocker lock(m_Lock);
    return m_DbName;
}

void CDataFileLogWriter::OnQuit()
{
    CCSLocker lock(m_Lock);
    CDataFileManager* manager = CDataFileManager::GetInstance();
    for (auto& entry : m_DataFileIDs)
        manager->ReleaseDataFileID(entry.second);
    m_DataFileIDs.clear();
}
