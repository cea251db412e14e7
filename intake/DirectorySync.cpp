// CNodeLogRecordTask, part three: directory synchronisation. A device pushes its administrators, users
// and groups as an XML document; the push is saved to a temp file, its digest verified, the directory
// applied to the device database and the registry's caches, and the push answered. Database records are
// dropped until their device has pushed (the gate): a push counts its connection in, and a record that
// finds its device counted by another connection counts its own connection in too.
#include "intake/NodeLogRecordTask.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/InfoManager.h"
#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "intake/LogudtSqlBuilder.h"
#include "platform/MessageQueue.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <tinyxml.h>
#include <unistd.h>

namespace
{
constexpr const char* TAG = "[CNodeLogRecordTask]";
constexpr uint32_t CLIENT_MULTI_STATEMENTS_FLAG = 0x10000;
constexpr const char* SET_NAMES_GBK = "set   names   'gbk'";
constexpr const char* BUFF_SOURCE_FILE = "modules/BuffManager";
constexpr int BUFF_SOURCE_LINE = 27;

std::string KeyToUpperHex(const uint8_t key[16])
{
    char text[33] = {};
    BinToHex(key, 16, text, sizeof(text));
    return text;
}

std::string KeyToLowerHex(const uint8_t key[16])
{
    std::string text = KeyToUpperHex(key);
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Synchronisation gate and database name
// ---------------------------------------------------------------------------------------------

void CNodeLogRecordTask::MarkUseCounted(const uint8_t* devMD5)
{
    memcpy(m_UseCountedMD5, devMD5, sizeof(m_UseCountedMD5));
    m_bUseCounted = true;
}

int CNodeLogRecordTask::CheckSyncReady(const uint8_t* devMD5)
{
    if (m_bSyncReady)
        return 1;
    if (devMD5 == nullptr)
        return 0;
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    if (devReg->GetNodeUseCount(devMD5) == 0)
    {
        // Every caller drops the record on 0: counted here by why.
        std::string dbName;
        CInfoManager::GetInstance()->Count(devReg->GetDbNameByMD5(devMD5, dbName)
                                               ? CInfoManager::INFO_REFUSED_GATE
                                               : CInfoManager::INFO_REFUSED_UNKNOWN_DEVICE);
        return 0;
    }
    // A connection counts the device in use once (an administrator push may have counted it already)
    // and gives back at its end exactly that one use.
    if (!m_bUseCounted)
    {
        devReg->IncNodeUseCount(devMD5);
        MarkUseCounted(devMD5);
    }
    m_bSyncReady = 1;
    if (SetDbName(devMD5) == 0)
    {
        CInfoManager::GetInstance()->Count(CInfoManager::INFO_REFUSED_UNKNOWN_DEVICE);
        return 0;
    }
    return 1;
}

int CNodeLogRecordTask::SetDbName(const uint8_t* devMD5)
{
    if (devMD5 == nullptr)
        return 0;
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    const std::string keyText = KeyToLowerHex(devMD5);
    {
        CCSLocker lock(devReg->GetDevTableLock());
        m_DbName.clear();
        for (const DevNodeInfo& node : devReg->GetDevNodeList())
        {
            QB_LOG(PL_DEBUG, TAG, "[SetDbName] Compare MD5 %s With %s\n", node.m_MD5Text.c_str(),
                   keyText.c_str());
            if (node.m_MD5Text == keyText)
            {
                m_DbName = node.m_DbName;
                break;
            }
        }
    }
    if (m_DbName.empty())
    {
        QB_LOG(PL_ERROR, TAG, "[SetDbName] Current MD5 = %s Does Not In The DevNode List\n", keyText.c_str());
        return 0;
    }
    m_LogsWriterManager.SetDbName(m_DbName.c_str());
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The push handler and its steps
// ---------------------------------------------------------------------------------------------

int CNodeLogRecordTask::Deal_LogudtDB_Log(int)
{
    CountRecord(COUNTER_LOGUDTDB);
    if (m_pCurrentRecord == nullptr || m_pRecvRing == nullptr)
        return 0;
    DirectoryPush push;
    push.m_pRecord = reinterpret_cast<const LogudtDBLog*>(m_pCurrentRecord);
    const int32_t kind = push.m_pRecord->m_UpdateType;
    push.m_Kind = (kind >= 0 && kind < UPDATE_TYPE_LIMIT) ? kind : UPDATE_TYPE_LIMIT;

    if (!SaveDirectoryPush(push) || !VerifyDirectoryPush(push) || !ApplyDirectoryPush(push))
        return 0;
    ReplyDirectoryPush(push);
    ConsumeCurrentRecord();
    return 1;
}

void CNodeLogRecordTask::DropDirectoryPush(const DirectoryPush& push)
{
    // A push refused before it is applied leaves no document behind: keys are device text, and one
    // connection naming ever new keys would otherwise fill the disk until it closes.
    unlink(push.m_FileName.c_str());
    if (!push.m_bListed)
        m_TempFiles.pop_back();
}

bool CNodeLogRecordTask::SaveDirectoryPush(DirectoryPush& push)
{
    // A push of a kind this collector does not know still gets its document inside the temporary
    // directory, where the start-up clean finds it.
    static const char* const PREFIXES[] = {"/AdminInfo", "/UserInfo", "/DeviceInfo", "/"};
    char suffix[32];
    snprintf(suffix, sizeof(suffix), "_%u.xml", platform::GetCurrentThreadId());
    push.m_FileName = CGlobalSharedData::GetInstance()->GetTempDir() + PREFIXES[push.m_Kind] +
                      KeyToUpperHex(push.m_pRecord->m_Head.m_DevMD5) + suffix;
    // The same name comes back for every push of this kind and device on this thread: listed once.
    push.m_bListed = false;
    for (const TempFileInfo& f : m_TempFiles)
        push.m_bListed = push.m_bListed || f.m_FileName == push.m_FileName;
    if (!push.m_bListed)
        m_TempFiles.push_back(TempFileInfo{push.m_FileName, true});

    int fd = open(push.m_FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Create File = %s Err = %u\n",
               push.m_FileName.c_str(), static_cast<unsigned>(errno));
        return false;
    }
    const uint32_t total = m_CurrentLen - LOGUDTDB_LOG_MIN_LEN;
    const uint8_t* doc = m_pCurrentRecord + LOGUDTDB_LOG_MIN_LEN;
    uint32_t written = 0;
    while (written < total)
    {
        ssize_t n = write(fd, doc + written, total - written);
        if (n <= 0)
        {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        written += static_cast<uint32_t>(n);
    }
    close(fd);
    // A short document still goes on: its digest decides.
    if (written != total)
        QB_LOG(PL_WARN, TAG,
               "[Deal_LogudtDB_Log] Cannot Write All Logudt Data To File. Total = %u , Real Write = %u\n",
               total, written);
    return true;
}

bool CNodeLogRecordTask::VerifyDirectoryPush(DirectoryPush& push)
{
    unsigned char digest[16];
    if (!MD5File(push.m_FileName.c_str(), digest))
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Compute Logudt Data MD5\n");
        return false;
    }
    // Devices write each byte as "%02x" or as "%x"; the reply names the form that matched.
    char padded[33], unpadded[33], sent[32];
    wire::DigestToHexLower(digest, padded);
    wire::DigestToHexShort(digest, unpadded);
    for (size_t i = 0; i < sizeof(sent); ++i)
        sent[i] = static_cast<char>(tolower(static_cast<unsigned char>(push.m_pRecord->m_DataMD5[i])));
    const char* matched = nullptr;
    if (std::memcmp(padded, sent, sizeof(sent)) == 0)
        matched = padded;
    else if (std::memcmp(unpadded, sent, sizeof(sent)) == 0)
        matched = unpadded;
    if (matched == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Local Logudt Data MD5 Not The Same As Server Send\n");
        DropDirectoryPush(push);
        return false;
    }
    static_assert(sizeof(push.m_Matched) == sizeof(padded) && sizeof(push.m_Matched) == sizeof(unpadded));
    std::memcpy(push.m_Matched, matched, sizeof(push.m_Matched));
    return true;
}

bool CNodeLogRecordTask::ApplyDirectoryPush(const DirectoryPush& push)
{
    const uint8_t* devMD5 = push.m_pRecord->m_Head.m_DevMD5;
    if (!SetDbName(devMD5))
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Error Occur While Call Function SetDbName\n");
        DropDirectoryPush(push);
        return false;
    }

    int synced;
    if (push.m_Kind == UPDATE_TYPE_ADMIN)
        synced = ProcessLogudtAdminInfo(push.m_FileName.c_str());
    else if (push.m_Kind == UPDATE_TYPE_USER || push.m_Kind == UPDATE_TYPE_DEVICE)
        synced = ProcessLogudtUserInfo(push.m_FileName.c_str());
    else
        synced = ProcessLogudtUnknownInfo(push.m_FileName.c_str());
    if (synced == 0)
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Error Occur While Sync Logudt Data To DB\n");
        return false;
    }

    // The first push since start marks the device synchronised (count 1);
    // a push while another connection of the device is counted adds this one.
    if (!m_bUseCounted)
    {
        CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
        if (devReg->GetNodeUseCount(devMD5) == 0)
            devReg->InitNodeUseCount(devMD5);
        else
            devReg->IncNodeUseCount(devMD5);
        MarkUseCounted(devMD5);
    }
    return true;
}

void CNodeLogRecordTask::ReplyDirectoryPush(const DirectoryPush& push)
{
    uint8_t reply[LOGUDTDB_REPLY_LEN];
    size_t n = wire::BuildLogudtDBReply(push.m_pRecord->m_Head, push.m_Matched, reply, sizeof(reply));
    WriteDataToSendCache(reply, static_cast<uint32_t>(n));

    // The connection thread learns the database of its device (it takes both buffers).
    CBuffManager* buffs = CBuffManager::GetInstance();
    char* dbName = buffs->AllocByteBuff(m_DbName.size() + 1, BUFF_SOURCE_FILE, BUFF_SOURCE_LINE);
    char* key = buffs->AllocByteBuff(17, BUFF_SOURCE_FILE, BUFF_SOURCE_LINE);
    if (dbName == nullptr || key == nullptr)
    {
        buffs->ReleaseByteBuff(dbName);
        buffs->ReleaseByteBuff(key);
        return;
    }
    std::memcpy(dbName, m_DbName.c_str(), m_DbName.size() + 1);
    std::memcpy(key, push.m_pRecord->m_Head.m_DevMD5, 16);
    if (!platform::PostThreadMessage(m_NodeThreadId, WM_SVPNNODE_DATASYNC_SUCC,
                                     reinterpret_cast<uintptr_t>(dbName), reinterpret_cast<intptr_t>(key)))
    {
        QB_LOG(PL_ERROR, TAG, "[Deal_LogudtDB_Log] Cannot Post Message To Svpn Node Thread Err = %u",
               static_cast<unsigned>(errno));
        // Nobody will receive them.
        buffs->ReleaseByteBuff(dbName);
        buffs->ReleaseByteBuff(key);
    }
}

// ---------------------------------------------------------------------------------------------
// Writing the directory
// ---------------------------------------------------------------------------------------------

int CNodeLogRecordTask::ExecSql(const char* sql, MYSQL* conn)
{
    if (sql == nullptr || conn == nullptr)
        return 0;
    if (mysql_query(conn, sql) != 0)
    {
        QB_LOG(PL_ERROR, TAG, "[ExecSql] Fail To Exec Sql = %s ErrNo = %u\n", sql, mysql_errno(conn));
        return 0;
    }
    // A statement text may hold several statements on a multi-statement connection: drain them all.
    do
    {
        MYSQL_RES* res = mysql_store_result(conn);
        if (res != nullptr)
            mysql_free_result(res);
    } while (mysql_next_result(conn) == 0);
    return 1;
}

void CNodeLogRecordTask::ExecUpdateSql(MYSQL* conn)
{
    if (conn == nullptr)
        return;
    for (const std::string& sql : CConfigManager::GetInstance()->GetUpdateSqlCopy())
        ExecSql(sql.c_str(), conn);
}

int CNodeLogRecordTask::ProcessLogudtUserInfo(const char* fileName)
{
    if (fileName == nullptr || m_DbName.empty())
        return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS_FLAG);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Cannot Alloc SqlConn\n");
    }
    else
    {
        ExecSql(SET_NAMES_GBK, conn);
        TiXmlDocument doc;
        const TiXmlElement* root = nullptr;
        if (!CLogudtSqlBuilder::LoadDocument(doc, fileName))
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Fail To Load %s TiXmlDocument\n", fileName);
        else if ((root = doc.FirstChildElement()) == nullptr)
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Fail To Get Root Elem\n");
        else if (!CLogudtSqlBuilder::NameBeginsWith(root->Value(), "content"))
            QB_LOG(PL_ERROR, TAG, "[ProcessLogudtUserInfo] Root Value Not Corrent! Current Value = %s\n",
                   root->Value());
        else
        {
            CLogudtSqlBuilder builder(CConfigManager::GetInstance()->GetLogudtCopy());
            std::vector<std::string> statements;
            builder.BuildUserInfoStatements(root, statements);
            for (const std::string& s : statements)
                ExecSql(s.c_str(), conn);
        }

        ExecUpdateSql(conn);
        CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
        DevNodeInfo* node = nullptr;
        if (devReg->FindNodeInfoIter(m_DbName.c_str(), nullptr, node) &&
            devReg->GetSpecifyDevNodeUserInfo(conn, node) && devReg->GetSpecifyDevNodeGroupInfo(conn, node))
            QB_LOG(PL_DEBUG, TAG, "[ProcessLogudtUserInfo] Update User Info Succeed.\n");
        sql->ReleaseSqlConn(conn);
    }
    m_bSyncReady = 1;
    return 1;
}

int CNodeLogRecordTask::ProcessLogudtAdminInfo(const char* fileName)
{
    if (fileName == nullptr || m_DbName.empty())
        return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* conn = sql->AllocSqlConn(m_DbName.c_str(), CLIENT_MULTI_STATEMENTS_FLAG);
    if (conn == nullptr)
    {
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Cannot Alloc SqlConn\n");
        QB_LOG(PL_WARN, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Fail.\n");
        return 1;
    }
    ExecSql(SET_NAMES_GBK, conn);
    TiXmlDocument doc;
    const TiXmlElement* root = nullptr;
    if (!CLogudtSqlBuilder::LoadDocument(doc, fileName))
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Fail To Load %s TiXmlDocument\n", fileName);
    else if ((root = doc.FirstChildElement()) == nullptr)
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Fail To Get Root Elem\n");
    else if (!CLogudtSqlBuilder::NameBeginsWith(root->Value(), "velmofile"))
        QB_LOG(PL_ERROR, TAG, "[ProcessLogudtAdminInfo] Root Value Not Corrent! Current Value = %s\n",
               root->Value());
    else
    {
        CLogudtSqlBuilder builder(CConfigManager::GetInstance()->GetLogudtCopy());
        for (const TiXmlElement* content = root->FirstChildElement(); content != nullptr;
             content = content->NextSiblingElement())
        {
            if (!CLogudtSqlBuilder::NameBeginsWith(content->Value(), "filecontent"))
                continue;
            for (const TiXmlElement* e = content->FirstChildElement(); e != nullptr;
                 e = e->NextSiblingElement())
            {
                const char* table = nullptr;
                if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlManager"))
                    table = "Admin";
                else if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlGroup"))
                    table = "admingroup";
                if (table == nullptr || builder.FindTable(table) == nullptr)
                    continue;
                std::vector<std::string> statements;
                builder.BuildTableStatements(table, e, statements);
                for (const std::string& s : statements)
                    ExecSql(s.c_str(), conn);
            }
        }
    }

    ExecUpdateSql(conn);
    CDeviceRegistry* devReg = CDeviceRegistry::GetInstance();
    DevNodeInfo* node = nullptr;
    if (devReg->FindNodeInfoIter(m_DbName.c_str(), nullptr, node) &&
        devReg->GetSpecifyDevNodeAdminInfo(conn, node))
        QB_LOG(PL_DEBUG, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Succeed.\n");
    else
        QB_LOG(PL_WARN, TAG, "[ProcessLogudtAdminInfo] Update Admin Info Fail.\n");
    sql->ReleaseSqlConn(conn);
    return 1;
}

int CNodeLogRecordTask::ProcessLogudtUnknownInfo(const char* fileName)
{
    if (fileName == nullptr)
        return 0;
    QB_LOG(PL_WARN, TAG, "[ProcessLogudtUnknownInfo] Unknown Update Type. FileName = %s\n", fileName);
    return 1;
}
