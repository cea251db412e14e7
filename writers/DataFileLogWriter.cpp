#include "writers/DataFileLogWriter.h"

#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "storage/DataFileManager.h"
#include "storage/DeviceRegistry.h"

#include <charconv>
#include <cinttypes>
#include <cstring>

namespace
{
const char* const TAG = "[CDataFileLogWriter]";

// Builds a line by appending to one buffer. printf and a temporary string per field cost more
// than everything else on a record's way into its file.
class CLine
{
public:
    explicit CLine(std::string& out) : m_Out(out) {}

    CLine& Num(int64_t value)
    {
        char buffer[24];
        std::to_chars_result r = std::to_chars(buffer, buffer + sizeof(buffer), value);
        m_Out.append(buffer, r.ptr);
        return *this;
    }
    // A number the loader reads as a quoted text field.
    CLine& QuotedNum(int64_t value)
    {
        m_Out.push_back('"');
        Num(value);
        m_Out.push_back('"');
        return *this;
    }
    // A text field: in double quotes, escaped for the loader.
    CLine& Quoted(const std::string& gbk)
    {
        m_Out.push_back('"');
        EscapeLoadDataField(gbk.data(), gbk.size(), m_Out);
        m_Out.push_back('"');
        return *this;
    }
    CLine& Tab()
    {
        m_Out.push_back('\t');
        return *this;
    }
    void End() { m_Out.append("\r\n", 2); }

private:
    std::string& m_Out;
};

int64_t Host32(uint32_t netValue)
{
    return wire::NetToHost32(netValue);
}
int64_t Host16(uint16_t netValue)
{
    return wire::NetToHost16(netValue);
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

void CDataFileLogWriter::AppendSysLogLine(std::string& out, const SystemLog& record,
                                          const std::string& gbkMessage, const std::string& timeText)
{
    CLine(out)
        .Num(record.m_SysLogType)
        .Tab()
        .Num(record.m_ProcessType)
        .Tab()
        .Quoted(gbkMessage)
        .Tab()
        .Quoted(timeText)
        .End();
}

void CDataFileLogWriter::AppendUserFlowLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                               const std::string& timeText, int64_t recordId)
{
    // Column order of the table: raw down before raw up.
    CLine(out)
        .QuotedNum(recordId)
        .Tab()
        .Num(userId)
        .Tab()
        .Num(Host32(record.m_ServerIP))
        .Tab()
        .Num(record.m_GroupID)
        .Tab()
        .Num(record.m_DownFlux)
        .Tab()
        .Num(record.m_UpFlux)
        .Tab()
        .Num(record.m_RawDownFlux)
        .Tab()
        .Num(record.m_RawUpFlux)
        .Tab()
        .Quoted(timeText)
        .Tab()
        .Num(Host32(record.m_Address))
        .Tab()
        .Num(Host16(record.m_ServerPort))
        .End();
}

void CDataFileLogWriter::AppendUserBasicLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                                const std::string& gbkName, const std::string& gbkMessage,
                                                const std::string& timeText, int64_t recordId)
{
    CLine(out)
        .QuotedNum(recordId)
        .Tab()
        .Num(userId)
        .Tab()
        .Quoted(gbkName)
        .Tab()
        .Num(record.m_GroupID)
        .Tab()
        .Num(record.m_Action)
        .Tab()
        .Num(record.m_Result)
        .Tab()
        .Num(Host32(record.m_Address))
        .Tab()
        .Quoted(gbkMessage)
        .Tab()
        .Num(record.m_AuthMethod)
        .Tab()
        .Quoted(timeText)
        .Tab()
        .Num(Host32(record.m_ServerIP))
        .Tab()
        .Num(Host16(record.m_ServerPort))
        .End();
}

void CDataFileLogWriter::AppendUserSvrLogLine(std::string& out, const UserLogV3& record, int32_t userId,
                                              const std::string& gbkMessage, const std::string& timeText,
                                              int64_t recordId)
{
    CLine(out)
        .QuotedNum(recordId)
        .Tab()
        .Num(userId)
        .Tab()
        .Num(record.m_GroupID)
        .Tab()
        .Num(Host32(record.m_ServerIP))
        .Tab()
        .Num(Host16(record.m_ServerPort))
        .Tab()
        .Num(record.m_ServiceType)
        .Tab()
        .Quoted(timeText)
        .Tab()
        .Num(record.m_Result)
        .Tab()
        .Num(Host32(record.m_Address))
        .Tab()
        .Quoted(gbkMessage)
        .Tab()
        .Num(record.m_ServerAttr)
        .End();
}

// ---- Data files ----------------------------------------------------------------------------------

bool CDataFileLogWriter::GetDataFileID(const char* tableName, uint32_t& id)
{
    CCSLocker lock(m_Lock);
    auto it = m_DataFileIDs.find(tableName);
    if (it != m_DataFileIDs.end())
    {
        id = it->second;
        return true;
    }
    // Without a database name the lines would have no home; the final writer keeps the record.
    if (m_DbName.empty())
        return false;
    id = CDataFileManager::GetInstance()->AllocDataFileID(m_DbName.c_str(), tableName);
    if (id != 0)
        m_DataFileIDs[tableName] = id;
    return true;
}

int CDataFileLogWriter::WriteDataToDataFile(const std::string& line, const char* tableName)
{
    if (line.empty())
        return 1;
    uint32_t id = 0;
    if (!GetDataFileID(tableName, id))
    {
        QB_LOG(PL_WARN, TAG, "[WriteDataToDataFile] Cannot Get DataFile ID\n");
        return 0;
    }
    // The manager had no file to give (a full table of files, a directory it cannot make).
    if (id == 0)
    {
        QB_LOG(PL_WARN, TAG, "[WriteDataToDataFile] Invalid DataFile ID = %u\n", id);
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

namespace
{
// Per thread, so that a record costs no allocation once the strings have grown to their size.
struct CScratch
{
    std::string m_Line;
    std::string m_Time;
    std::string m_Name;
    std::string m_Message;
};

CScratch& Scratch()
{
    thread_local CScratch scratch;
    return scratch;
}
} // namespace

uint32_t CDataFileLogWriter::WriteLog(int, const SystemLog* record, void*)
{
    if (record == nullptr)
        return 0;
    CScratch& s = Scratch();
    if (!RecordTimeText(record->m_Head, s.m_Time))
        return 0;
    if (!RecordTextToGbk(record->m_Message, sizeof(record->m_Message), s.m_Message))
        return 0;
    s.m_Line.clear();
    AppendSysLogLine(s.m_Line, *record, s.m_Message, s.m_Time);
    return WriteDataToDataFile(s.m_Line, "syslog") != 0 ? 1 : 0;
}

uint32_t CDataFileLogWriter::WriteLog(int, const UserLogV3* record, void*)
{
    if (record == nullptr)
        return 0;
    CScratch& s = Scratch();
    if (!RecordTimeText(record->m_Head, s.m_Time))
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call TranslateDWORDTimeToSZ().\n");
        return 0;
    }
    const int64_t recordId = MakeRecordId();
    if (!RecordTextToGbk(record->m_UserName, sizeof(record->m_UserName), s.m_Name))
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call Utf8ToGbkString().\n");
        return 0;
    }
    int32_t userId = 0;
    const std::string dbName = GetDbName();
    if (!CDeviceRegistry::GetInstance()->GetUserInfoEx(dbName.empty() ? nullptr : dbName.c_str(),
                                                       record->m_Head.m_DevMD5, s.m_Name.c_str(), userId,
                                                       record->m_GroupID))
    {
        std::string rawName(record->m_UserName, strnlen(record->m_UserName, sizeof(record->m_UserName)));
        QB_LOG(PL_WARN, TAG,
               "[WriteLog] Fail To Call GSD.GetUserInfoEx().UserGroupID = %d , RawName = %s , "
               "UserNameConverted = "
               "%s\n",
               record->m_GroupID, rawName.c_str(), s.m_Name.c_str());
        return 0;
    }

    // Every action but flux writes the message, a resource access into two tables: converted once.
    if (record->m_Action != USER_ACTION_FLUX &&
        !RecordTextToGbk(record->m_Message, sizeof(record->m_Message), s.m_Message))
    {
        QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    int result = 0;
    switch (record->m_Action)
    {
    case USER_ACTION_FLUX:
        result = BuildUserFlowLog(*record, userId, s.m_Time, recordId);
        if (result == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserFlowLog().\n");
        break;
    case USER_ACTION_RESOURCE:
    {
        if (record->m_ServerIP == 0)
            return 0;
        int basic = BuildUserBasicLog(*record, userId, s.m_Name, s.m_Message, s.m_Time, recordId);
        if (basic == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        int svr = BuildUserSvrLog(*record, userId, s.m_Message, s.m_Time, recordId);
        if (svr == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
        result = basic != 0 && svr != 0 ? 1 : 0;
        break;
    }
    default:
        result = BuildUserBasicLog(*record, userId, s.m_Name, s.m_Message, s.m_Time, recordId);
        if (result == 0)
            QB_LOG(PL_WARN, TAG, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        break;
    }
    return result != 0 ? 1 : 0;
}

int CDataFileLogWriter::BuildUserFlowLog(const UserLogV3& record, int32_t userId, const std::string& timeText,
                                         int64_t recordId)
{
    CScratch& s = Scratch();
    s.m_Line.clear();
    AppendUserFlowLogLine(s.m_Line, record, userId, timeText, recordId);
    return WriteDataToDataFile(s.m_Line, "usrflowlog");
}

int CDataFileLogWriter::BuildUserBasicLog(const UserLogV3& record, int32_t userId, const std::string& gbkName,
                                          const std::string& gbkMessage, const std::string& timeText,
                                          int64_t recordId)
{
    CScratch& s = Scratch();
    s.m_Line.clear();
    AppendUserBasicLogLine(s.m_Line, record, userId, gbkName, gbkMessage, timeText, recordId);
    return WriteDataToDataFile(s.m_Line, "usrbasiclog");
}

int CDataFileLogWriter::BuildUserSvrLog(const UserLogV3& record, int32_t userId,
                                        const std::string& gbkMessage, const std::string& timeText,
                                        int64_t recordId)
{
    CScratch& s = Scratch();
    s.m_Line.clear();
    AppendUserSvrLogLine(s.m_Line, record, userId, gbkMessage, timeText, recordId);
    return WriteDataToDataFile(s.m_Line, "usrsvrlog");
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
