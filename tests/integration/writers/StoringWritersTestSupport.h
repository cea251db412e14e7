// Shared pieces of the storing-writer tests: a registered device with its databases on the test server,
// records in wire layout, row queries, and a loopback relay in front of the server that can be cut.
#pragma once

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "platform/Profile.h"
#include "platform/Tick.h"
#include "protocol/WireProtocol.h"
#include "storage/DataFileManager.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "writers/QuillbarnLogsWriterManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sqlwtest
{
using Row = std::vector<std::string>;

inline std::vector<Row> Rows(MYSQL* conn, const std::string& sql)
{
    std::vector<Row> out;
    if (mysql_query(conn, sql.c_str()) != 0)
    {
        ADD_FAILURE() << sql << ": " << mysql_error(conn);
        return out;
    }
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        return out;
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res))
    {
        Row row;
        for (unsigned i = 0; i < n; ++i)
            row.push_back(r[i] != nullptr ? r[i] : "NULL");
        out.push_back(row);
    }
    mysql_free_result(res);
    return out;
}

inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes)
    {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// Wire records. Dates and times travel as packed big-endian words.
struct RecordMaker
{
    uint8_t m_Key[16];

    void Head(DataHead& h, uint32_t type, uint32_t len, uint32_t date = wire::MakeDateWord(2012, 5, 1),
              uint32_t time = wire::MakeTimeWord(8, 9, 10)) const
    {
        std::memset(&h, 0, sizeof(h));
        std::memcpy(h.m_Sign, WIRE_SIGN_1111, 8);
        std::memcpy(h.m_DevMD5, m_Key, 16);
        h.m_LogType = wire::HostToLe32(type);
        h.m_DataLen = wire::HostToLe32(len);
        wire::SetDateTimeWords(h, date, time);
    }
    static void Text(char* field, size_t size, const std::string& utf8)
    {
        std::memset(field, 0, size);
        std::memcpy(field, utf8.data(), std::min(size, utf8.size()));
    }
    SystemLog System(int level, int process, const std::string& message, uint32_t date = 0) const
    {
        SystemLog r;
        Head(r.m_Head, LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN);
        if (date != 0)
            wire::SetDateTimeWords(r.m_Head, date, wire::MakeTimeWord(8, 9, 10));
        r.m_Reserved1 = 0;
        r.m_SysLogType = level;
        r.m_ProcessType = process;
        Text(r.m_Message, sizeof(r.m_Message), message);
        return r;
    }
    AlarmLog Alarm(int type, const std::string& message) const
    {
        AlarmLog r;
        Head(r.m_Head, LOG_TYPE_ALARM, ALARM_LOG_LEN);
        r.m_AlarmType = type;
        Text(r.m_Message, sizeof(r.m_Message), message);
        return r;
    }
    UserLogV3 User(int action, const std::string& name, int group, const std::string& message) const
    {
        UserLogV3 r;
        std::memset(&r, 0, sizeof(r));
        Head(r.m_Head, LOG_TYPE_USERV3, USER_LOG_V3_LEN);
        r.m_GroupID = group;
        r.m_Action = action;
        r.m_Result = 1;
        r.m_Address = wire::HostToNet32(0x01020304);
        r.m_ServiceType = 2;
        r.m_ServerIP = wire::HostToNet32(0x0A000001);
        r.m_ServerPort = wire::HostToNet16(443);
        Text(r.m_UserName, sizeof(r.m_UserName), name);
        r.m_ServerAttr = 1;
        r.m_AuthMethod = 300;
        r.m_UpFlux = 5000000000LL;
        r.m_DownFlux = 7;
        r.m_RawUpFlux = 6000000000LL;
        r.m_RawDownFlux = 9;
        Text(r.m_Message, sizeof(r.m_Message), message);
        return r;
    }
    KeepAliveLog KeepAlive(int32_t up, int32_t down, int second) const
    {
        KeepAliveLog r;
        Head(r.m_Head, LOG_TYPE_KEEPALIVE, KEEPALIVE_LOG_LEN, wire::MakeDateWord(2012, 5, 1),
             wire::MakeTimeWord(8, 9, second));
        r.m_DevIP = wire::HostToNet32(0xC0A80101);
        r.m_DevType = 1;
        r.m_UpFlux = up;
        r.m_DownFlux = down;
        return r;
    }
};

// Loopback relay to the test server that can be cut (listener closed, every relayed connection reset)
// and restored on the same port: the server seen as gone and back.
class CTcpRelay
{
public:
    explicit CTcpRelay(uint16_t upstream) : m_Upstream(upstream) {}
    ~CTcpRelay() { Stop(); }

    bool Start()
    {
        m_Listen = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_Port);
        if (bind(m_Listen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(m_Listen, 16) != 0)
            return false;
        socklen_t len = sizeof(a);
        getsockname(m_Listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_Port = ntohs(a.sin_port);
        m_bRun = true;
        m_Acceptor = std::thread([this] { AcceptLoop(); });
        return true;
    }
    void Stop()
    {
        if (!m_bRun.exchange(false))
            return;
        m_Acceptor.join();
        close(m_Listen);
        m_Listen = -1;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            for (int s : m_Sockets)
                shutdown(s, SHUT_RDWR);
        }
        for (std::thread& t : m_Pumps)
            t.join();
        m_Pumps.clear();
        for (int s : m_Sockets)
            close(s);
        m_Sockets.clear();
    }
    uint16_t GetPort() const { return m_Port; }

private:
    void AcceptLoop()
    {
        while (m_bRun)
        {
            pollfd p{m_Listen, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            int client = accept(m_Listen, nullptr, nullptr);
            if (client < 0)
                continue;
            int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(m_Upstream);
            if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            {
                close(client);
                close(server);
                continue;
            }
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Sockets.push_back(client);
            m_Sockets.push_back(server);
            m_Pumps.emplace_back([client, server] { Pump(client, server); });
        }
    }
    static void Pump(int a, int b)
    {
        char buf[16384];
        for (;;)
        {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (poll(p, 2, 1000) < 0)
                break;
            bool end = false;
            for (int i = 0; i < 2 && !end; ++i)
            {
                if (p[i].revents == 0)
                    continue;
                ssize_t n = recv(p[i].fd, buf, sizeof(buf), 0);
                if (n <= 0 || send(p[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    end = true;
            }
            if (end)
                break;
        }
        shutdown(a, SHUT_RDWR);
        shutdown(b, SHUT_RDWR);
    }

    uint16_t m_Upstream;
    uint16_t m_Port = 0;
    int m_Listen = -1;
    std::atomic<bool> m_bRun{false};
    std::thread m_Acceptor;
    std::mutex m_Lock;
    std::vector<int> m_Sockets;
    std::vector<std::thread> m_Pumps;
};

// A registered device with a global and a device database on the test server, its directory loaded
// into the device registry, merging off so that records reach the storing writers directly.
class StoringWriterTest : public ::testing::Test
{
protected:
    static constexpr int GROUP = 5;
    static constexpr int ALICE_ID = 42;
    static constexpr int GBK_USER_ID = 43;
    static constexpr int ADMIN_ID = 7;
    static constexpr int ADMIN_GROUP = 3;
    // A user whose GBK name has 0x5C trail bytes (乗俓僜).
    const std::string m_GbkUser = "\xE4\xB9\x97\xE4\xBF\x93\xE5\x83\x9C";

    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        m_Prefix = qbtest::UniqueDbPrefix("sqlw");
        m_Global = m_Prefix + "global";
        m_DevDb = m_Prefix + "dev";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        SetOption("KelvAdv.conf", "Global", "EnableLogMerge", "0");
        CBuffManager::GetInstance()->Init();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        m_Dev = qbtest::AdminConnect(m_DevDb);
        ASSERT_NE(m_Dev, nullptr);
        ASSERT_TRUE(qbtest::Exec(m_Dev, "set names gbk"));

        for (int i = 0; i < 16; ++i)
            m_Rec.m_Key[i] = static_cast<uint8_t>(0xA0 + i * 3 + getpid() % 7);
        char keyText[33];
        wire::DigestToHexLower(m_Rec.m_Key, keyText);
        MYSQL* global = qbtest::AdminConnect(m_Global);
        ASSERT_NE(global, nullptr);
        ASSERT_TRUE(qbtest::AddDevice(global, "gw", "s", m_DevDb, std::string(keyText, 32)));
        mysql_close(global);
        // The directory as a push leaves it; the GBK name is sent as GBK text on a gbk connection.
        ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into svpngroup(id, name, pgrpid) values (5, 'g', 0)"));
        ASSERT_TRUE(
            qbtest::Exec(m_Dev, "insert into svpnuser(id, name, grpid) values (42, 'alice', 5), (43, '" +
                                    std::string("\x81\x5C\x82\x5C\x83\x5C") + "', 5)"));
        ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into admin(id, Name, pgrpid) values (7, 'root', 3)"));
        ASSERT_TRUE(CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo());
    }

    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        if (m_bInstalled)
        {
            m_Chain.OnQuit();
            m_Chain.UnInstallLogWriterChain();
        }
        CDataFileManager::GetInstance()->UnInit();
        CSQLConnManager::GetInstance()->UnInit();
        if (m_Dev != nullptr)
            mysql_close(m_Dev);
        qbtest::DropDatabase(m_DevDb);
        qbtest::DropDatabase(m_Global);
        std::string cmd =
            "rm -rf '" + CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + m_Prefix + "'*";
        (void)system(cmd.c_str());
    }

    static void SetOption(const char* file, const char* section, const char* key, const std::string& value)
    {
        CConfigManager* config = CConfigManager::GetInstance();
        platform::WritePrivateProfileString(section, key, value, config->GetConfigFilePath(file));
        config->LoadConfig(file);
    }

    void Install(const char* dbName)
    {
        m_Chain.InstallLogWriterChain();
        m_bInstalled = true;
        if (dbName != nullptr)
            m_Chain.SetDbName(dbName);
    }
    void Quit()
    {
        m_Chain.OnQuit();
        m_Chain.UnInstallLogWriterChain();
        m_bInstalled = false;
    }
    CFinalLogWriter& Final() { return m_Chain.GetFinalLogWriter(); }

    std::string Count(const std::string& table)
    {
        return qbtest::QueryValue(m_Dev, "select count(*) from " + table, "?");
    }
    std::vector<Row> Query(const std::string& sql) { return Rows(m_Dev, sql); }

    // Starts the data-file manager and waits for its start-up scan of the data-file tree: a scan still
    // running when a writer releases its files would queue them a second time.
    void StartDataFiles()
    {
        auto scans = []
        {
            std::string log = qbtest::ReadTodayLog();
            size_t n = 0;
            for (size_t p = log.find("[DoImportOnStart] DataFile Will Import"); p != std::string::npos;
                 p = log.find("[DoImportOnStart] DataFile Will Import", p + 1))
                ++n;
            return n;
        };
        size_t before = scans();
        ASSERT_TRUE(CDataFileManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::WaitUntil([&] { return scans() > before; }));
    }

    // Loads every data file the writers released for this device, as the device's importer does.
    void ImportReleasedFiles()
    {
        CDataFileManager* m = CDataFileManager::GetInstance();
        MYSQL* conn = CSQLConnManager::GetInstance()->AllocSqlConn(m_DevDb.c_str(), CLIENT_LOCAL_FILES);
        ASSERT_NE(conn, nullptr);
        std::string db = m_DevDb, file, table;
        while (m->GetImportInfo(db, file, table) == 1)
        {
            EXPECT_TRUE(m->ImportDataFile(conn, table.c_str(), file.c_str(), 1)) << file;
            m->DeleteImportedDataFile(file);
            m->RemoveImportInfo(db.c_str(), table.c_str(), file.c_str());
            db = m_DevDb;
        }
        CSQLConnManager::GetInstance()->ReleaseSqlConn(conn);
    }

    std::string m_Prefix, m_Global, m_DevDb;
    MYSQL* m_Dev = nullptr;
    RecordMaker m_Rec{};
    CQuillbarnLogsWriterManager m_Chain;
    bool m_bInstalled = false;
};
} // namespace sqlwtest
