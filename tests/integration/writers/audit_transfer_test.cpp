// Audit-file uploads against the test database server: whole uploads land byte-identical under the
// upload directory with their usrfileauditlog row, missing blocks are reported and resent, stalled and
// rolled-back transfers leave no file, and names sent by a device never place a file outside the
// upload root.
#include "config/ConfigManager.h"
#include "config/DiskSpace.h"
#include "core/BuffManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "platform/Tick.h"
#include "storage/DeviceRegistry.h"
#include "storage/SQLConnManager.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"
#include "writers/AuditFileManager.h"
#include "writers/AuditFileReception.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <lzo/lzo1b.h>
#include <openssl/evp.h>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
void Digest(const void* data, size_t len, const EVP_MD* md, uint8_t* out)
{
    unsigned int n = 0;
    EVP_Digest(data, len, out, &n, md, nullptr);
}

std::string Hex(const uint8_t* p, size_t n)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i)
    {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

struct Reply
{
    uint32_t m_Type = 0, m_Len = 0;
    int32_t m_Result = -1, m_Reason = -1;
    uint32_t m_FileID = 0, m_First = 0, m_Count = 0;
    bool m_HasStored = false;
    UserAuditFileStored m_Stored{};
};

constexpr const char* STAMP = "20260314092653"; // the time every test record carries
constexpr const char* MONTH = "2026-03";

class AuditTransferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qbtest::HaveTestDatabase())
            GTEST_SKIP() << "QB_TEST_DB_HOST is not set";
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        std::string prefix = qbtest::UniqueDbPrefix("audit");
        m_Global = prefix + "global";
        m_DevDb = prefix + "dev1";
        qbtest::UseTestDatabase(m_Global);
        qbtest::PrepareDatabaseService();
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_TRUE(qbtest::CreateGlobalDatabase(m_Global));
        ASSERT_TRUE(qbtest::CreateDeviceDatabase(m_DevDb));
        MYSQL* admin = qbtest::AdminConnect(m_Global);
        ASSERT_NE(admin, nullptr);
        const char* secret = "audit-device-secret";
        Digest(secret, strlen(secret), EVP_md5(), m_Key);
        std::string hex = Hex(m_Key, 16);
        for (char& c : hex)
            c = static_cast<char>(tolower(c));
        ASSERT_TRUE(
            qbtest::Exec(admin, "insert into dev_node(node_name, secret, md5_secret, db_name, deleted) "
                                "values ('dev1', 'sec', '" +
                                    hex + "', '" + m_DevDb + "', 0)"));
        mysql_close(admin);
        m_Dev = qbtest::AdminConnect(m_DevDb);
        ASSERT_NE(m_Dev, nullptr);
        ASSERT_TRUE(qbtest::Exec(m_Dev, "insert into svpngroup(id,name,pgrpid) values (1,'g1',0)"));
        ASSERT_TRUE(CDeviceRegistry::GetInstance()->GetDabaBaseNodeInfo());
        ASSERT_TRUE(CAuditFileManager::GetInstance()->Init());
        m_Root = CGlobalSharedData::GetInstance()->GetUploadDir();
        m_Reply.assign(sizeof(LogReplyBuffHead) + 4096, 0);
    }

    void TearDown() override
    {
        if (!qbtest::HaveTestDatabase())
            return;
        CAuditFileManager::GetInstance()->UnInit();
        if (m_Dev != nullptr)
            mysql_close(m_Dev);
        CSQLConnManager::GetInstance()->UnInit();
        qbtest::DropDatabase(m_Global);
        qbtest::DropDatabase(m_DevDb);
        std::error_code ec;
        fs::remove_all(m_Root + "/" + m_DevDb, ec);
    }

    std::vector<uint8_t> Record(int32_t op, size_t dataLen = 1)
    {
        std::vector<uint8_t> r(USERAUDITFILE_DATA_OFFSET + std::max<size_t>(dataLen, 1), 0);
        auto& h = *reinterpret_cast<DataHead*>(r.data());
        std::memcpy(h.m_Sign, WIRE_SIGN_1111, 8);
        std::memcpy(h.m_DevMD5, m_Key, 16);
        h.m_LogType = wire::HostToLe32(LOG_TYPE_USERAUDITFILE);
        h.m_DataLen = wire::HostToLe32(static_cast<uint32_t>(r.size()));
        wire::SetDateTimeWords(h, wire::MakeDateWord(2026, 3, 14), wire::MakeTimeWord(9, 26, 53));
        h.m_Masked = m_Masked ? 1 : 0;
        auto& a = As(r);
        a.m_TransWord1 = 0x11223344;
        a.m_TransWord2 = 0x55667788;
        a.m_GroupID = wire::HostToNet32(1);
        std::memcpy(a.m_UserName, m_User.data(), std::min(m_User.size(), sizeof(a.m_UserName)));
        a.m_OpType = static_cast<int32_t>(wire::HostToLe32(static_cast<uint32_t>(op)));
        return r;
    }
    static UserAuditFileLog& As(std::vector<uint8_t>& r)
    {
        return *reinterpret_cast<UserAuditFileLog*>(r.data());
    }

    std::vector<uint8_t> Begin(uint64_t fileSize, uint64_t alloc, uint32_t blockSize, uint32_t kind = 2,
                               uint32_t timeout = 600, const std::string& path = "C:\\docs\\report.bin")
    {
        auto r = Record(AUDITFILE_OP_BEGIN);
        auto& a = As(r);
        a.m_TransferKind = kind;
        std::memcpy(a.m_FilePath, path.data(), std::min(path.size(), sizeof(a.m_FilePath)));
        a.m_FileSizeHigh = wire::HostToNet32(static_cast<uint32_t>(fileSize >> 32));
        a.m_FileSizeLow = wire::HostToNet32(static_cast<uint32_t>(fileSize));
        a.m_AllocSizeHigh = wire::HostToNet32(static_cast<uint32_t>(alloc >> 32));
        a.m_AllocSizeLow = wire::HostToNet32(static_cast<uint32_t>(alloc));
        a.m_BlockSize = wire::HostToNet32(blockSize);
        a.m_TimeOut = wire::HostToNet32(timeout);
        return r;
    }
    // A block as sent: raw, or compressed when compressing makes it smaller (as a device does).
    std::vector<uint8_t> Block(uint32_t id, uint32_t no, const uint8_t* data, size_t len, bool compress)
    {
        std::vector<uint8_t> packed;
        if (compress)
        {
            lzo_init();
            packed.resize(len + len / 16 + 64 + 3);
            std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
            lzo_uint n = packed.size();
            EXPECT_EQ(lzo1b_1_compress(data, len, packed.data(), &n, work.data()), LZO_E_OK);
            packed.resize(n);
            if (packed.size() >= len)
                compress = false;
        }
        const uint8_t* body = compress ? packed.data() : data;
        size_t bodyLen = compress ? packed.size() : len;
        auto r = Record(AUDITFILE_OP_TRANSMISSION, bodyLen);
        auto& a = As(r);
        a.m_FileID = wire::HostToNet32(id);
        a.m_BlockNo = wire::HostToNet32(no);
        a.m_CompressMethod = compress ? AUDITFILE_COMPRESS_LZO1B : AUDITFILE_COMPRESS_NONE;
        a.m_ExtraDataSize = wire::HostToNet32(static_cast<uint32_t>(len));
        a.m_ComprDataSize = wire::HostToNet32(static_cast<uint32_t>(compress ? bodyLen : 0));
        std::memcpy(r.data() + USERAUDITFILE_DATA_OFFSET, body, bodyLen);
        return r;
    }
    std::vector<uint8_t> End(uint32_t id, const uint8_t sha1[20])
    {
        auto r = Record(AUDITFILE_OP_END, 20);
        As(r).m_FileID = wire::HostToNet32(id);
        std::memcpy(r.data() + USERAUDITFILE_DATA_OFFSET, sha1, 20);
        return r;
    }
    std::vector<uint8_t> Rollback(uint32_t id)
    {
        auto r = Record(AUDITFILE_OP_ROLLBACK);
        As(r).m_FileID = wire::HostToNet32(id);
        return r;
    }

    // Offers one step; returns the writer's result and parses the reply (unmasking it when masked).
    uint32_t Send(const std::vector<uint8_t>& r, Reply* reply = nullptr, uint32_t capacity = 4096)
    {
        auto* head = reinterpret_cast<LogReplyBuffHead*>(m_Reply.data());
        head->m_Capacity = capacity;
        head->m_Length = 0xFFFF;
        uint32_t result =
            m_Rx.WriteLog(1, reinterpret_cast<const UserAuditFileLog*>(r.data()), m_Reply.data(), m_DevDb);
        m_LastReplyLen = head->m_Length;
        if (reply == nullptr)
            return result;
        *reply = Reply{};
        if (head->m_Length < USERAUDITFILE_REPLY_LEN)
            return result;
        std::vector<uint8_t> bytes(m_Reply.begin() + sizeof(LogReplyBuffHead),
                                   m_Reply.begin() + sizeof(LogReplyBuffHead) + head->m_Length);
        const auto* req = reinterpret_cast<const DataHead*>(r.data());
        auto* rh = reinterpret_cast<DataHead*>(bytes.data());
        EXPECT_EQ(rh->m_Masked, req->m_Masked);
        EXPECT_EQ(std::memcmp(rh->m_DevMD5, req->m_DevMD5, 16), 0);
        if (rh->m_Masked)
        {
            wire::InvertBody(bytes.data(), USERAUDITFILE_REPLY_LEN);
            if (bytes.size() > USERAUDITFILE_REPLY_LEN)
                wire::InvertBody(bytes.data() + USERAUDITFILE_REPLY_LEN,
                                 bytes.size() - USERAUDITFILE_REPLY_LEN);
        }
        const auto* rep = reinterpret_cast<const UserAuditFileReply*>(bytes.data());
        reply->m_Type = wire::GetLogType(rep->m_Head);
        reply->m_Len = wire::GetDataLen(rep->m_Head);
        // Copies: the reply is packed, and the comparison takes its arguments by reference.
        const uint32_t word1 = rep->m_TransWord1, word2 = rep->m_TransWord2;
        const auto requestType = rep->m_RequestType;
        EXPECT_EQ(word1, 0x11223344u);
        EXPECT_EQ(word2, 0x55667788u);
        EXPECT_EQ(requestType, 12);
        reply->m_Result = rep->m_Result;
        reply->m_Reason = rep->m_Reason;
        reply->m_FileID = wire::NetToHost32(rep->m_FileID);
        reply->m_First = rep->m_FirstLostBlock;
        reply->m_Count = rep->m_LostBlockCount;
        if (bytes.size() == USERAUDITFILE_END_REPLY_LEN)
        {
            reply->m_HasStored = true;
            std::memcpy(&reply->m_Stored, bytes.data() + USERAUDITFILE_REPLY_LEN, USERAUDITFILE_STORED_LEN);
        }
        return result;
    }

    uint32_t BeginOk(uint64_t fileSize, uint64_t alloc, uint32_t blockSize, uint32_t kind = 2,
                     uint32_t timeout = 600)
    {
        Reply rep;
        EXPECT_EQ(Send(Begin(fileSize, alloc, blockSize, kind, timeout), &rep), 1u);
        EXPECT_EQ(rep.m_Type, 13u);
        EXPECT_EQ(rep.m_Len, 75u);
        EXPECT_EQ(rep.m_Result, 0);
        EXPECT_EQ(rep.m_Reason, 0);
        EXPECT_NE(rep.m_FileID, 0u);
        return rep.m_FileID;
    }

    std::string UserDir(const std::string& escaped) const
    {
        return m_Root + "/" + m_DevDb + "/" + MONTH + "/" + escaped;
    }
    std::string Rows(const std::string& where = "1")
    {
        return qbtest::QueryValue(m_Dev, "select count(*) from usrfileauditlog where " + where);
    }
    // Every regular file and link below the upload root, relative to it.
    std::vector<std::string> FilesUnderRoot()
    {
        std::vector<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(m_Root))
            if (!e.is_directory() || e.is_symlink())
                out.push_back(e.path().lexically_relative(m_Root).string());
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string m_Global, m_DevDb, m_Root;
    MYSQL* m_Dev = nullptr;
    uint8_t m_Key[16];
    std::string m_User = "alice";
    bool m_Masked = false;
    CAuditFileReception m_Rx;
    std::vector<uint8_t> m_Reply;
    uint32_t m_LastReplyLen = 0;
};

std::vector<uint8_t> MixedFile(size_t blocks, size_t blockSize)
{
    std::vector<uint8_t> f(blocks * blockSize - 12345); // the last block is short
    std::mt19937 rng(5);
    const char* text = "Quarterly figures, gateway upload, audit copy. ";
    for (size_t b = 0; b < blocks; ++b)
    {
        size_t start = b * blockSize, end = std::min(f.size(), start + blockSize);
        for (size_t i = start; i < end; ++i)
            f[i] = (b % 3 == 1) ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(text[i % 48]);
    }
    return f;
}
} // namespace

TEST_F(AuditTransferTest, WholeUploadLandsByteIdenticalWithItsRowMaskedOrNot)
{
    const uint32_t bs = 256 * 1024;
    const auto file = MixedFile(14, bs); // about 3.5 MiB, every third block incompressible
    uint8_t sha1[20];
    Digest(file.data(), file.size(), EVP_sha1(), sha1);
    const std::string utf8Path =
        "C:\\Users\\\xE5\xBC\xA0\xE4\xB8\x89\\\xE6\x8A\xA5\xE5\x91\x8A.docx"; // 张三\报告.docx

    for (bool masked : {false, true})
    {
        SCOPED_TRACE(masked ? "masked" : "unmasked");
        m_Masked = masked;
        Reply rep;
        ASSERT_EQ(Send(Begin(file.size(), file.size(), bs, 2, 600, utf8Path), &rep), 1u);
        ASSERT_EQ(rep.m_Result, 0);
        uint32_t id = rep.m_FileID;
        for (uint32_t b = 0; b * bs < file.size(); ++b)
        {
            size_t len = std::min<size_t>(bs, file.size() - size_t(b) * bs);
            EXPECT_EQ(Send(Block(id, b, file.data() + size_t(b) * bs, len, true)), 1u);
            EXPECT_EQ(m_LastReplyLen, 0u) << "a block is never answered";
        }
        ASSERT_EQ(Send(End(id, sha1), &rep), 1u);
        EXPECT_EQ(m_LastReplyLen, USERAUDITFILE_END_REPLY_LEN);
        EXPECT_EQ(rep.m_Type, 13u);
        EXPECT_EQ(rep.m_Result, 0);
        EXPECT_EQ(rep.m_Reason, 0);
        EXPECT_EQ(rep.m_FileID, id);
        ASSERT_TRUE(rep.m_HasStored);
        EXPECT_EQ(wire::GetLogType(rep.m_Stored.m_Head), 14u);
        EXPECT_EQ(wire::GetDataLen(rep.m_Stored.m_Head), 930u);
        EXPECT_EQ(rep.m_Stored.m_FileSize, file.size());
        EXPECT_EQ(std::string(rep.m_Stored.m_Sha1Hex), Hex(sha1, 20));
        EXPECT_EQ(std::string(rep.m_Stored.m_FilePath), utf8Path);
        EXPECT_EQ(std::string(rep.m_Stored.m_UserName), "alice");
        EXPECT_EQ(wire::NetToHost32(rep.m_Stored.m_GroupID), 1u);
    }

    // Two files of the same second for the same user: the second carries _1.
    std::string dir = UserDir("alice");
    for (const char* name : {"20260314092653.dat", "20260314092653_1.dat"})
    {
        auto stored = qbtest::ReadFile(dir + "/" + name);
        ASSERT_EQ(stored.size(), file.size()) << name;
        EXPECT_TRUE(std::memcmp(stored.data(), file.data(), file.size()) == 0) << name;
    }
    EXPECT_EQ(Rows(), "2");
    ASSERT_TRUE(qbtest::Exec(m_Dev, "set names utf8"));
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select dcfilepath from usrfileauditlog order by record_id limit 1"),
              "/UploadFiles/" + m_DevDb + "/2026-03/alice/20260314092653.dat");
    EXPECT_EQ(
        qbtest::QueryValue(m_Dev, "select dcfilepath from usrfileauditlog order by record_id desc limit 1"),
        "/UploadFiles/" + m_DevDb + "/2026-03/alice/20260314092653_1.dat");
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select filename from usrfileauditlog limit 1"),
              "\xE6\x8A\xA5\xE5\x91\x8A.docx");
    EXPECT_EQ(qbtest::QueryValue(m_Dev, "select filefullpath from usrfileauditlog limit 1"), utf8Path);
    EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                 "select concat(user_name,'|',grp_id,'|',filesize,'|',sha1code,'|',log_time) "
                                 "from usrfileauditlog limit 1"),
              "alice|1|" + std::to_string(file.size()) + "|" + Hex(sha1, 20) + "|2026-03-14 09:26:53");
    EXPECT_EQ(qbtest::QueryValue(m_Dev,
                                 "select count(*) from usrfileauditlog u join svpnuser s on s.id=u.user_id "
                                 "where s.name='alice'"),
              "2");
    EXPECT_EQ(CAuditFileManager::GetInstance()->GetAuditFileInfoCount(), 0u);
}

TEST_F(AuditTransferTest, MissingBlocksAreReportedAndAResendCompletes)
{
    std::vector<uint8_t> file(16384);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    uint8_t sha1[20];
    Digest(file.data(), file.size(), EVP_sha1(), sha1);
    uint32_t id = BeginOk(16384, 16384, 4096);
    for (uint32_t b : {0u, 1u, 3u})
        Send(Block(id, b, file.data() + b * 4096, 4096, b != 1));
    Reply rep;
    EXPECT_EQ(Send(End(id, sha1), &rep), 1u);
    EXPECT_EQ(m_LastReplyLen, 75u);
    EXPECT_EQ(rep.m_Result, 1);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    EXPECT_EQ(rep.m_FileID, id);
    EXPECT_EQ(rep.m_First, 2u);
    EXPECT_EQ(rep.m_Count, 1u);
    EXPECT_EQ(Rows(), "0");

    Send(Block(id, 2, file.data() + 2 * 4096, 4096, true));
    EXPECT_EQ(Send(End(id, sha1), &rep), 1u);
    EXPECT_EQ(rep.m_Result, 0);
    EXPECT_EQ(m_LastReplyLen, USERAUDITFILE_END_REPLY_LEN);
    EXPECT_EQ(qbtest::ReadFile(UserDir("alice") + "/" + STAMP + ".dat"),
              std::string(file.begin(), file.end()));
    EXPECT_EQ(Rows(), "1");
}

TEST_F(AuditTransferTest, BlocksOutOfOrderNeverCoverAHole)
{
    std::vector<uint8_t> file(16384, 'x');
    uint8_t sha1[20] = {};
    uint32_t id = BeginOk(16384, 16384, 4096);
    Send(Block(id, 3, file.data(), 4096, false));
    Send(Block(id, 1, file.data(), 4096, false));
    Reply rep;
    Send(End(id, sha1), &rep);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    EXPECT_EQ(rep.m_First, 0u);
    EXPECT_EQ(rep.m_Count, 1u);
    Send(Block(id, 0, file.data(), 4096, false));
    Send(End(id, sha1), &rep);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    EXPECT_EQ(rep.m_First, 2u);
    // A repeated block changes nothing.
    Send(Block(id, 1, file.data(), 4096, false));
    Send(End(id, sha1), &rep);
    EXPECT_EQ(rep.m_First, 2u);
    Send(Block(id, 2, file.data(), 4096, false));
    Send(End(id, sha1), &rep);
    EXPECT_EQ(rep.m_Result, 0);
    EXPECT_EQ(Rows(), "1");
}

TEST_F(AuditTransferTest, KindOneCompletesAtOnceWithoutAFile)
{
    uint8_t sha1[20];
    Digest("x", 1, EVP_sha1(), sha1);
    uint32_t id = BeginOk(5000, 5000, 4096, 1);
    Reply rep;
    EXPECT_EQ(Send(End(id, sha1), &rep), 1u);
    EXPECT_EQ(rep.m_Result, 0);
    EXPECT_TRUE(rep.m_HasStored);
    EXPECT_EQ(rep.m_Stored.m_FileSize, 5000u);
    EXPECT_FALSE(fs::exists(m_Root + "/" + m_DevDb));
    EXPECT_EQ(Rows("filesize=5000 and dcfilepath=''"), "1");
}

TEST_F(AuditTransferTest, UserNamesBecomeEscapedDirectories)
{
    m_User = "a b";
    BeginOk(10, 10, 4096);
    EXPECT_TRUE(fs::is_regular_file(UserDir("a$20b") + "/" + STAMP + ".dat"));
    EXPECT_EQ(fs::file_size(UserDir("a$20b") + "/" + STAMP + ".dat"), 10u) << "sized to the allocation";
}

TEST_F(AuditTransferTest, RollbackDeletesTheFileAndForgetsTheTransfer)
{
    uint32_t id = BeginOk(8192, 8192, 4096);
    std::vector<uint8_t> data(4096, 'r');
    Send(Block(id, 0, data.data(), data.size(), false));
    std::string path = UserDir("alice") + "/" + STAMP + ".dat";
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(Send(Rollback(id)), 1u);
    EXPECT_EQ(m_LastReplyLen, 0u);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(CAuditFileManager::GetInstance()->GetAuditFileInfoCount(), 0u);
    // Later steps of that transfer find nothing.
    EXPECT_EQ(Send(Block(id, 1, data.data(), data.size(), false)), 0u);
    Reply rep;
    EXPECT_EQ(Send(End(id, data.data()), &rep), 0u);
    EXPECT_EQ(rep.m_Result, 1);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NOT_ACCEPTABLE);
    EXPECT_EQ(Send(Rollback(id)), 0u);
}

TEST_F(AuditTransferTest, StalledTransferIsClearedByTheCheckThread)
{
    ASSERT_GT(TestTimeDivisor(), 1u) << "the test install shortens the check interval";
    uint32_t id = BeginOk(8192, 8192, 4096, 2, 1);
    uint32_t kept = BeginOk(8192, 8192, 4096, 2, 600);
    std::string path = UserDir("alice") + "/" + STAMP + ".dat";
    ASSERT_TRUE(fs::exists(path));
    uint32_t start = platform::GetTickCount();
    while (fs::exists(path) && platform::GetTickCount() - start < 8000)
        platform::Sleep(20);
    EXPECT_FALSE(fs::exists(path));
    // Not before its time-out: idle seconds must exceed one.
    EXPECT_GE(platform::GetTickCount() - start, 1900u);
    EXPECT_EQ(CAuditFileManager::GetInstance()->GetAuditFileInfoCount(), 1u);
    EXPECT_TRUE(fs::exists(UserDir("alice") + "/" + STAMP + "_1.dat"));
    std::vector<uint8_t> data(10, 1);
    EXPECT_EQ(Send(Block(id, 0, data.data(), data.size(), false)), 0u);
    EXPECT_NE(qbtest::ReadTodayLog().find("[AuditFileCheckProcess] ID = " + std::to_string(id)),
              std::string::npos);
    (void)kept;
}

TEST_F(AuditTransferTest, RefusedBeginsAnswerWithTheirReason)
{
    // A reply buffer one byte short: logged, nothing answered.
    EXPECT_EQ(Send(Begin(10, 10, 4096), nullptr, 74), 0u);
    EXPECT_EQ(m_LastReplyLen, 0u);
    EXPECT_NE(qbtest::ReadTodayLog().find(
                  "[OnBeginUserAuditFile] Buff To Small , CurSize = 74 , RequireSize = 75\n"),
              std::string::npos);
    // An end needs room for both records.
    EXPECT_EQ(Send(End(1, m_Key), nullptr, 1004), 0u);
    EXPECT_EQ(m_LastReplyLen, 0u);

    // Unknown group: the user cannot be found or made.
    Reply rep;
    auto b = Begin(10, 10, 4096);
    As(b).m_GroupID = wire::HostToNet32(77);
    EXPECT_EQ(Send(b, &rep), 0u);
    EXPECT_EQ(rep.m_Result, 1);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NOT_ACCEPTABLE);
    // A device key that is not this writer's database.
    b = Begin(10, 10, 4096);
    std::memset(reinterpret_cast<DataHead*>(b.data())->m_DevMD5, 0x42, 16);
    EXPECT_EQ(Send(b, &rep), 0u);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NOT_ACCEPTABLE);
    // More than the disk holds.
    EXPECT_EQ(Send(Begin(1ull << 62, 1ull << 62, 4096), &rep), 0u);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_DISK);
    // No entry survives a refused begin, and no file was made.
    EXPECT_EQ(CAuditFileManager::GetInstance()->GetAuditFileInfoCount(), 0u);
    EXPECT_FALSE(fs::exists(UserDir("alice")) && !fs::is_empty(UserDir("alice")));
}

// One device cannot fill the registry all devices share, nor keep a transfer open for more than a day.
TEST_F(AuditTransferTest, OneDeviceHoldsOnlyItsShareOfOpenTransfers)
{
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    std::vector<uint32_t> ids;
    ids.push_back(BeginOk(10, 10, 4096, 2, 0xFFFFFFFFu));
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(ids[0]);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->m_TimeOut, CAuditFileManager::MAX_TRANSFER_TIMEOUT_S);
    manager->UnLockAuditFileInfoByFileID(ids[0]);
    while (ids.size() < CAuditFileManager::MAX_AUDIT_FILE_INFOS_PER_DEVICE)
        ids.push_back(BeginOk(10, 10, 4096));

    Reply rep;
    EXPECT_EQ(Send(Begin(10, 10, 4096), &rep), 0u);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NO_ENTRY) << "this device's share is full";
    // Another device still gets an entry (and is then refused for its key, not for room).
    auto other = Begin(10, 10, 4096);
    std::memset(reinterpret_cast<DataHead*>(other.data())->m_DevMD5, 0x42, 16);
    EXPECT_EQ(Send(other, &rep), 0u);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NOT_ACCEPTABLE);
    for (uint32_t id : ids)
        Send(Rollback(id));
    EXPECT_EQ(manager->GetAuditFileInfoCount(), 0u);
}

// The name is the path's last component even when a character of it ends in the byte '\\' in GBK.
TEST_F(AuditTransferTest, NameWithABackslashTrailByteIsKeptWhole)
{
    Reply rep;
    ASSERT_EQ(Send(Begin(10, 10, 4096, 2, 600, "C:\\docs\\\xE4\xB9\x97report.bin"), &rep), 1u);
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    AuditFileInfo* info = manager->LockAuditFileInfoByFileID(rep.m_FileID);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->m_FileName, "\x81\x5Creport.bin"); // GBK of the name
    manager->UnLockAuditFileInfoByFileID(rep.m_FileID);
    Send(Rollback(rep.m_FileID));
}

TEST_F(AuditTransferTest, BlocksThatDoNotFitTheirRecordOrTransferAreRefused)
{
    uint32_t id = BeginOk(16384, 16384, 4096);
    std::vector<uint8_t> data(4096, 'd');
    // Raw block claiming more bytes than the record carries.
    auto r = Block(id, 0, data.data(), 100, false);
    As(r).m_ExtraDataSize = wire::HostToNet32(4096);
    EXPECT_EQ(Send(r), 1u);
    // Compressed size beyond the record.
    r = Block(id, 1, data.data(), 4096, true);
    As(r).m_ComprDataSize = wire::HostToNet32(wire::NetToHost32(As(r).m_ComprDataSize) + 50);
    EXPECT_EQ(Send(r), 1u);
    // Larger than the block size.
    std::vector<uint8_t> big(8192, 'b');
    EXPECT_EQ(Send(Block(id, 2, big.data(), big.size(), true)), 1u);
    // Garbage in place of compressed data, and an unknown method.
    r = Block(id, 3, data.data(), 4096, true);
    r[USERAUDITFILE_DATA_OFFSET + 1] ^= 0x5A;
    r.back() ^= 0xFF;
    EXPECT_EQ(Send(r), 1u);
    r = Block(id, 3, data.data(), 4096, false);
    As(r).m_CompressMethod = 1;
    EXPECT_EQ(Send(r), 1u);
    // Offset beyond the allocation.
    EXPECT_EQ(Send(Block(id, 5, data.data(), 4096, false)), 1u);

    // None of them counts: every block is still missing.
    Reply rep;
    Send(End(id, m_Key), &rep);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    EXPECT_EQ(rep.m_First, 0u);
    EXPECT_EQ(rep.m_Count, 4u);
    auto log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[DoWriteAuditFileData] Data Decompress Fail.\n"), std::string::npos);
    EXPECT_NE(
        log.find("[DoWriteAuditFileData] File Offset = 20480 Too Large, FileID = " + std::to_string(id)),
        std::string::npos);
    // The file holds no byte of the refused blocks.
    EXPECT_EQ(qbtest::ReadFile(UserDir("alice") + "/" + STAMP + ".dat"), std::string(16384, '\0'));
}

// Blocks past the size the begin declared: one right behind the end is refused, one across the end
// writes only the part inside; the file never grows beyond the declared size, not even while the
// transfer is open, and the upload still completes.
TEST_F(AuditTransferTest, BlocksPastTheDeclaredSizeNeverGrowTheFile)
{
    const uint64_t size = 10000; // two whole blocks and one of 1808 bytes
    uint32_t id = BeginOk(size, size, 4096);
    const std::string path = UserDir("alice") + "/" + STAMP + ".dat";
    std::vector<uint8_t> file(size), junk(4096, 'J');
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>(i * 7 + i / 251);
    auto fileSize = [&] { return fs::file_size(path); };
    // 4096 bytes where 1808 are left, raw and compressed.
    EXPECT_EQ(Send(Block(id, 2, junk.data(), junk.size(), false)), 1u);
    EXPECT_EQ(Send(Block(id, 2, junk.data(), junk.size(), true)), 1u);
    Reply rep;
    Send(End(id, m_Key), &rep); // finishes the write in flight
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    EXPECT_EQ(rep.m_First, 0u);
    EXPECT_EQ(rep.m_Count, 2u);
    EXPECT_EQ(fileSize(), size);
    EXPECT_TRUE(qbtest::ReadFile(path).substr(8192) == std::string(1808, 'J')) << "the 1808 bytes inside";
    // Right behind the end (a file of whole blocks): refused, nothing written.
    uint32_t whole = BeginOk(8192, 8192, 4096);
    const std::string wholePath = UserDir("alice") + "/" + STAMP + "_1.dat";
    EXPECT_EQ(Send(Block(whole, 2, junk.data(), junk.size(), false)), 1u);
    Send(End(whole, m_Key), &rep);
    EXPECT_EQ(rep.m_First, 0u);
    EXPECT_EQ(rep.m_Count, 2u);
    EXPECT_EQ(fs::file_size(wholePath), 8192u);
    EXPECT_TRUE(qbtest::ReadFile(wholePath) == std::string(8192, '\0')) << "the refused block wrote";
    EXPECT_NE(qbtest::ReadTodayLog().find("[DoWriteAuditFileData] File Offset = 8192 Too Large, FileID = " +
                                          std::to_string(whole)),
              std::string::npos);
    Send(Rollback(whole));

    // The real blocks complete the first upload, byte for byte.
    for (uint32_t b = 0; b < 3; ++b)
        Send(Block(id, b, file.data() + b * 4096, std::min<size_t>(4096, size - b * 4096), true));
    uint8_t sha1[20];
    Digest(file.data(), file.size(), EVP_sha1(), sha1);
    Send(End(id, sha1), &rep);
    EXPECT_EQ(rep.m_Result, 0);
    EXPECT_TRUE(qbtest::ReadFile(path) == std::string(file.begin(), file.end())) << "the stored file differs";
}

TEST_F(AuditTransferTest, OpenTransfersDoNotKeepLargeBlockBuffers)
{
    // Eight transfers with 8 MiB blocks, one block each (a tiny record: the block compresses well),
    // all left open: once a block is written its buffer is given back, so no more than the write in
    // flight holds block-sized memory.
    const uint32_t blockSize = 8u << 20;
    std::vector<uint8_t> block(blockSize);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i / 4096);
    std::vector<uint32_t> ids;
    for (int t = 0; t < 8; ++t)
    {
        uint32_t id = BeginOk(2ull * blockSize, 2ull * blockSize, blockSize);
        ASSERT_EQ(Send(Block(id, 0, block.data(), block.size(), true)), 1u);
        ids.push_back(id);
    }
    CAuditFileManager* manager = CAuditFileManager::GetInstance();
    size_t held = 0, largest = 0;
    for (uint32_t id : ids)
    {
        AuditFileInfo* info = manager->LockAuditFileInfoByFileID(id);
        ASSERT_NE(info, nullptr);
        held += info->m_WriteBuff.capacity();
        largest = std::max(largest, info->m_WriteBuff.capacity());
        manager->UnLockAuditFileInfoByFileID(id);
    }
    EXPECT_LE(held, size_t(blockSize) + 8 * (1u << 20)) << "block buffers kept by idle transfers";
    EXPECT_EQ(manager->GetBufferBytes(), held) << "bytes counted against the bound on all block buffers";
    // The blocks arrived whole: the missing block of each is the second.
    for (uint32_t id : ids)
    {
        Reply rep;
        Send(End(id, m_Key), &rep);
        EXPECT_EQ(rep.m_First, 1u);
        EXPECT_EQ(rep.m_Count, 1u);
        Send(Rollback(id));
    }
    std::printf("[figures] open_transfers=8 block=8MiB held_bytes=%zu largest=%zu\n", held, largest);
}

TEST_F(AuditTransferTest, BlocksBeyondFourGiBLandAtTheirOffset)
{
    const uint64_t alloc = (5ull << 30);
    if (!HasEnoughDiskSpace(alloc))
        GTEST_SKIP() << "the data disk cannot reserve 5 GiB";
    const uint32_t bs = 1 << 20;
    std::vector<uint8_t> data(bs, 'H');
    const uint32_t block = 4100; // 4100 MiB: past 4 GiB
    uint32_t id = BeginOk(alloc, alloc, bs);
    Send(Block(id, block, data.data(), data.size(), true));
    Reply rep;
    Send(End(id, m_Key), &rep); // finishes the write, reports blocks missing
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_BLOCKS_MISSING);
    std::string path = UserDir("alice") + "/" + STAMP + ".dat";
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char at[2] = {};
    EXPECT_EQ(pread(fd, at, 2, static_cast<off_t>(uint64_t(block) * bs) - 1), 2);
    EXPECT_EQ(at[0], 0);
    EXPECT_EQ(at[1], 'H');
    // What a 32-bit product would have hit.
    EXPECT_EQ(pread(fd, at, 1, static_cast<off_t>((uint64_t(block) * bs) & 0xFFFFFFFFu)), 1);
    EXPECT_EQ(at[0], 0);
    ::close(fd);
    Send(Rollback(id));
}

TEST_F(AuditTransferTest, HostileNamesStayBelowTheUploadRoot)
{
    std::string outside = fs::path(m_Root).parent_path().string() + "/outside_target";
    fs::create_directories(outside);
    // A link planted where a user directory would be.
    fs::create_directories(m_Root + "/" + m_DevDb + "/" + MONTH);
    fs::create_directory_symlink(outside, UserDir("evil"));

    std::vector<std::string> names = {
        "../",  "..", "/",     "../../../../tmp/x", std::string(300, 'L'), std::string("ab\0/../x", 8),
        "evil", ".",  "a/b\\c"};
    int accepted = 0;
    for (const std::string& name : names)
    {
        m_User = name;
        auto b = Begin(4, 4, 4096, 2, 600, "..\\..\\..\\" + name + "/../../etc/passwd");
        Reply rep;
        if (Send(b, &rep) == 1 && rep.m_Result == 0)
        {
            ++accepted;
            std::vector<uint8_t> data = {'o', 'k', '!', '\n'};
            Send(Block(rep.m_FileID, 0, data.data(), data.size(), false));
            Reply end;
            uint8_t sha1[20] = {};
            Send(End(rep.m_FileID, sha1), &end);
            EXPECT_EQ(end.m_Result, 0) << name;
        }
    }
    // An empty name is refused; it has no user.
    m_User = "";
    Reply rep;
    EXPECT_EQ(Send(Begin(4, 4, 4096), &rep), 0u);
    EXPECT_EQ(rep.m_Reason, AUDITFILE_REASON_NOT_ACCEPTABLE);

    EXPECT_TRUE(fs::is_empty(outside)) << "nothing written through the planted link";
    EXPECT_EQ(accepted, int(names.size()) - 1) << "only the name behind the link is refused";
    const std::regex safe(m_DevDb + "/2026-03/[A-Za-z0-9$]+/" + STAMP + "(_[0-9]+)?\\.dat");
    int files = 0;
    for (const std::string& rel : FilesUnderRoot())
    {
        if (rel == m_DevDb + "/2026-03/evil")
            continue; // the planted link itself
        EXPECT_TRUE(std::regex_match(rel, safe)) << rel;
        ++files;
    }
    EXPECT_EQ(files, accepted);
    EXPECT_TRUE(fs::is_regular_file(UserDir("$2E$2E$2F") + "/" + STAMP + ".dat"));
    EXPECT_TRUE(fs::is_regular_file(UserDir("ab") + "/" + STAMP + ".dat")) << "the name ends at its NUL";
    EXPECT_TRUE(fs::is_regular_file(UserDir(std::string(100, 'L')) + "/" + STAMP + ".dat"))
        << "the 100-byte field bounds the name";
    fs::remove_all(outside);
}
