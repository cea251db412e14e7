#include "protocol/WireProtocol.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
DataHead MakeHead(const char* sign, uint32_t type, uint32_t len, uint8_t masked = 0)
{
    DataHead h;
    std::memset(&h, 0, sizeof(h));
    std::memcpy(h.m_Sign, sign, 8);
    for (int i = 0; i < 16; ++i)
        h.m_DevMD5[i] = uint8_t(0xA0 + i);
    h.m_LogType = wire::HostToLe32(type);
    h.m_DataLen = wire::HostToLe32(len);
    wire::SetDateTimeWords(h, wire::MakeDateWord(2012, 8, 14), wire::MakeTimeWord(14, 19, 46));
    h.m_Reserved = 0x5A;
    h.m_Masked = masked;
    return h;
}

std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}
} // namespace

// Every field at the offset and width the device protocol fixes.
TEST(WireLayout, FieldOffsets)
{
    struct Row
    {
        const char* name;
        size_t actual, expected;
    };
#define ROW(T, f, off)                                                                                       \
    Row                                                                                                      \
    {                                                                                                        \
#T "::" #f, offsetof(T, f), off                                                                      \
    }
    const Row rows[] = {
        ROW(DataHead, m_Sign, 0),
        ROW(DataHead, m_DevMD5, 8),
        ROW(DataHead, m_LogType, 24),
        ROW(DataHead, m_DataLen, 28),
        ROW(DataHead, m_Date, 32),
        ROW(DataHead, m_Time, 36),
        ROW(DataHead, m_Reserved, 40),
        ROW(DataHead, m_Masked, 41),
        ROW(KeepAliveLog, m_DevIP, 42),
        ROW(KeepAliveLog, m_DevType, 46),
        ROW(KeepAliveLog, m_UpFlux, 50),
        ROW(KeepAliveLog, m_DownFlux, 54),
        ROW(UserLog, m_GroupID, 42),
        ROW(UserLog, m_Action, 46),
        ROW(UserLog, m_Result, 50),
        ROW(UserLog, m_Address, 54),
        ROW(UserLog, m_ServiceType, 58),
        ROW(UserLog, m_ServerIP, 62),
        ROW(UserLog, m_ServerPort, 66),
        ROW(UserLog, m_UserName, 68),
        ROW(UserLog, m_ServerAttr, 268),
        ROW(UserLog, m_AuthMethod, 272),
        ROW(UserLog, m_UpFlux, 276),
        ROW(UserLog, m_DownFlux, 280),
        ROW(UserLog, m_Message, 284),
        ROW(UserLogV2, m_ServerPort, 66),
        ROW(UserLogV2, m_AuthMethod, 272),
        ROW(UserLogV2, m_UpFlux, 276),
        ROW(UserLogV2, m_DownFlux, 280),
        ROW(UserLogV2, m_RawUpFlux, 284),
        ROW(UserLogV2, m_RawDownFlux, 288),
        ROW(UserLogV2, m_Message, 292),
        ROW(UserLogV3, m_UserName, 68),
        ROW(UserLogV3, m_UpFlux, 276),
        ROW(UserLogV3, m_DownFlux, 284),
        ROW(UserLogV3, m_RawUpFlux, 292),
        ROW(UserLogV3, m_RawDownFlux, 300),
        ROW(UserLogV3, m_Message, 308),
        ROW(UserLogV3, m_Reserved2, 820),
        ROW(AuditLog, m_Address, 110),
        ROW(AuditLog, m_Message, 118),
        ROW(AdminLog, m_Action, 46),
        ROW(AdminLog, m_Entity, 50),
        ROW(AdminLog, m_Result, 54),
        ROW(AdminLog, m_Address, 58),
        ROW(AdminLog, m_AdminName, 62),
        ROW(AdminLog, m_Message, 162),
        ROW(AlarmLog, m_AlarmType, 42),
        ROW(AlarmLog, m_Message, 46),
        ROW(SystemLog, m_SysLogType, 46),
        ROW(SystemLog, m_ProcessType, 50),
        ROW(SystemLog, m_Message, 54),
        ROW(LogudtDBLog, m_UpdateType, 42),
        ROW(LogudtDBLog, m_DataMD5, 46),
        ROW(UserAuditFileLog, m_TransWord1, 42),
        ROW(UserAuditFileLog, m_TransWord2, 46),
        ROW(UserAuditFileLog, m_GroupID, 50),
        ROW(UserAuditFileLog, m_UserName, 54),
        ROW(UserAuditFileLog, m_OpType, 154),
        ROW(UserAuditFileLog, m_TransferKind, 158),
        ROW(UserAuditFileLog, m_FileID, 158),
        ROW(UserAuditFileLog, m_FilePath, 162),
        ROW(UserAuditFileLog, m_BlockNo, 162),
        ROW(UserAuditFileLog, m_FileSizeHigh, 682),
        ROW(UserAuditFileLog, m_AllocSizeHigh, 690),
        ROW(UserAuditFileLog, m_BlockSize, 698),
        ROW(UserAuditFileLog, m_TimeOut, 702),
        ROW(UserAuditFileLog, m_CompressMethod, 706),
        ROW(UserAuditFileLog, m_ExtraDataSize, 710),
        ROW(UserAuditFileLog, m_ComprDataSize, 714),
        ROW(UserAuditFileLog, m_ExtraData, 718),
        ROW(UserAuditFileReply, m_TransWord1, 42),
        ROW(UserAuditFileReply, m_TransWord2, 46),
        ROW(UserAuditFileReply, m_Result, 50),
        ROW(UserAuditFileReply, m_Reason, 54),
        ROW(UserAuditFileReply, m_RequestType, 58),
        ROW(UserAuditFileReply, m_FileID, 62),
        ROW(UserAuditFileReply, m_FirstLostBlock, 66),
        ROW(UserAuditFileReply, m_LostBlockCount, 70),
        ROW(UserAuditFileStored, m_GroupID, 42),
        ROW(UserAuditFileStored, m_UserName, 46),
        ROW(UserAuditFileStored, m_FilePath, 146),
        ROW(UserAuditFileStored, m_FileSize, 666),
        ROW(UserAuditFileStored, m_Sha1Hex, 674),
        ROW(KeepAliveReply, m_Zero, 42),
        ROW(LogudtDBReply, m_DataMD5, 42),
    };
#undef ROW
    for (const Row& r : rows)
        EXPECT_EQ(r.actual, r.expected) << r.name;

    EXPECT_EQ(sizeof(UserLog{}.m_UserName), 200u);
    EXPECT_EQ(sizeof(AdminLog{}.m_AdminName), 100u);
    EXPECT_EQ(sizeof(AlarmLog{}.m_Message), 5120u);
    EXPECT_EQ(sizeof(UserAuditFileLog{}.m_FilePath), 520u);
    EXPECT_EQ(sizeof(UserAuditFileStored{}.m_Sha1Hex), 256u);
}

TEST(WireLayout, RecordLengthsByType)
{
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_KEEPALIVE), 58u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_USER), 796u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_AUDIT), 270u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_ADMIN), 674u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_ALARM), 5166u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_SYSTEM), 566u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_USERV2), 804u);
    EXPECT_EQ(wire::FixedRecordLen(LOG_TYPE_USERV3), 824u);
    for (uint32_t t : {5u, 6u, 7u, 9u, 12u, 13u, 14u, 15u, 16u, 0xFFFFFFFFu})
        EXPECT_EQ(wire::FixedRecordLen(t), 0u) << t;
    EXPECT_EQ(USERAUDITFILE_END_REPLY_LEN, 1005u);
}

TEST(WireHead, SignsAndProbeRecognition)
{
    EXPECT_EQ(wire::GetSignCode("logs1111"), SIGN_CODE_1111);
    EXPECT_EQ(wire::GetSignCode("logs0500"), SIGN_CODE_0500);
    EXPECT_EQ(wire::GetSignCode("logs1112"), SIGN_CODE_NONE);
    EXPECT_EQ(wire::GetSignCode("LOGS1111"), SIGN_CODE_NONE);
    EXPECT_STREQ(wire::GetSignText(SIGN_CODE_0500), "logs0500");
    EXPECT_EQ(wire::GetSignText(3), nullptr);

    uint8_t probe[PROBE_RECORD_LEN + 4];
    EXPECT_EQ(wire::BuildProbeRecord(probe, PROBE_RECORD_LEN - 1), 0u);
    ASSERT_EQ(wire::BuildProbeRecord(probe, sizeof(probe)), PROBE_RECORD_LEN);
    std::vector<uint8_t> expected(PROBE_RECORD_LEN, 0);
    std::memcpy(expected.data(), "logs0500KELVDEVPROBE01", 22);
    expected[28] = 58; // m_DataLen, little-endian
    EXPECT_EQ(Bytes(probe, PROBE_RECORD_LEN), expected);
    const auto& head = *reinterpret_cast<const DataHead*>(probe);
    EXPECT_TRUE(wire::IsProbe(head));

    DataHead other = head;
    other.m_LogType = wire::HostToLe32(LOG_TYPE_USER); // the tag only counts on type 0
    EXPECT_FALSE(wire::IsProbe(other));
    other = head;
    other.m_DevMD5[13] = '2';
    EXPECT_FALSE(wire::IsProbe(other));
}

// The log time: two big-endian words, printed with a blank-padded four-place year.
TEST(WireHead, RecordTimeText)
{
    uint8_t raw[42] = {};
    const uint8_t dateTime[8] = {0x07, 0xDC, 0x08, 0x0E, 0x00, 0x0E, 0x13, 0x2E};
    std::memcpy(raw + 32, dateTime, 8);
    DataHead h;
    std::memcpy(&h, raw, sizeof(h));
    EXPECT_EQ(wire::GetDateWord(h), 0x07DC080Eu);
    EXPECT_EQ(wire::GetTimeWord(h), 0x000E132Eu);
    char buf[32];
    ASSERT_TRUE(wire::FormatRecordTime(h, buf, sizeof(buf)));
    EXPECT_STREQ(buf, "2012-08-14 14:19:46");

    wire::SetDateTimeWords(h, wire::MakeDateWord(999, 1, 2), wire::MakeTimeWord(3, 4, 5));
    ASSERT_TRUE(wire::FormatRecordTime(h, buf, sizeof(buf)));
    EXPECT_STREQ(buf, " 999-01-02 03:04:05");
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&h) + 32, 8),
              (std::vector<uint8_t>{0x03, 0xE7, 0x01, 0x02, 0x00, 0x03, 0x04, 0x05}));

    ASSERT_TRUE(wire::FormatRecordTime(h, buf, 5)); // cut, still terminated
    EXPECT_STREQ(buf, " 999");
    EXPECT_FALSE(wire::FormatRecordTime(h, nullptr, 10));
    EXPECT_FALSE(wire::FormatRecordTime(h, buf, 0));
}

TEST(WireByteOrder, NetworkWordsAndMasking)
{
    const uint8_t be[4] = {0x0A, 0x01, 0x02, 0x03};
    uint32_t w;
    std::memcpy(&w, be, 4);
    EXPECT_EQ(wire::NetToHost32(w), 0x0A010203u);
    uint16_t p;
    const uint8_t port[2] = {0x01, 0xBB};
    std::memcpy(&p, port, 2);
    EXPECT_EQ(wire::NetToHost16(p), 443);
    EXPECT_EQ(wire::MakeUInt64FromNetWords(wire::HostToNet32(1), wire::HostToNet32(2)), 0x100000002ull);
    EXPECT_EQ(wire::NetToHost64(wire::HostToNet64(0x0102030405060708ull)), 0x0102030405060708ull);

    // Masking inverts exactly the body, for every length (word loop and byte tail).
    for (size_t len : {size_t(0), size_t(42), size_t(43), size_t(50), size_t(58), size_t(5166)})
    {
        std::vector<uint8_t> rec(len + 3, 0);
        for (size_t i = 0; i < rec.size(); ++i)
            rec[i] = uint8_t(i * 7);
        std::vector<uint8_t> orig = rec;
        wire::InvertBody(rec.data(), len);
        for (size_t i = 0; i < rec.size(); ++i)
            ASSERT_EQ(rec[i], (i >= 42 && i < len) ? uint8_t(~orig[i]) : orig[i]) << len << " @" << i;
        wire::InvertBody(rec.data(), len);
        EXPECT_EQ(rec, orig);
    }
}

TEST(WireRanges, BoundsAreInclusiveAndSigned)
{
    EXPECT_TRUE(RANGE_KEEPALIVE_DEVTYPE.Contains(2));
    EXPECT_FALSE(RANGE_KEEPALIVE_DEVTYPE.Contains(3));
    EXPECT_FALSE(RANGE_USER_ACTION.Contains(-1));
    EXPECT_TRUE(RANGE_USER_ACTION.Contains(6));
    EXPECT_FALSE(RANGE_USER_ACTION.Contains(7));
    EXPECT_TRUE(RANGE_USER_AUTHMETHOD.Contains(511));
    EXPECT_FALSE(RANGE_USER_AUTHMETHOD.Contains(512));
    EXPECT_TRUE(RANGE_ADMIN_ENTITY.Contains(15));
    EXPECT_FALSE(RANGE_ADMIN_ENTITY.Contains(16));
    EXPECT_TRUE(RANGE_ALARM_TYPE.Contains(12));
    EXPECT_FALSE(RANGE_ALARM_TYPE.Contains(13));
    EXPECT_TRUE(RANGE_SYSTEM_PROCESSTYPE.Contains(603));
    EXPECT_FALSE(RANGE_SYSTEM_PROCESSTYPE.Contains(604));
    EXPECT_FALSE(RANGE_AUDITFILE_OPTYPE.Contains(0));
    EXPECT_TRUE(RANGE_AUDITFILE_OPTYPE.Contains(4));
    EXPECT_FALSE(RANGE_AUDITFILE_OPTYPE.Contains(int32_t(0x80000001u)));
}

TEST(WireDigest, HexForms)
{
    const uint8_t d[16] = {0x0A, 0x00, 0xFF, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAB, 0xCD, 0xEF};
    char padded[33], shortForm[33];
    wire::DigestToHexLower(d, padded);
    wire::DigestToHexShort(d, shortForm);
    EXPECT_STREQ(padded, "0a00ff10010203040506070809abcdef");
    EXPECT_STREQ(shortForm, "a0ff10123456789abcdef");
    for (size_t i = std::strlen(shortForm); i < 33; ++i)
        EXPECT_EQ(shortForm[i], 0);
}

TEST(WireReplies, KeepAliveAndPushCopyTheHead)
{
    const DataHead req = MakeHead("logs0500", LOG_TYPE_KEEPALIVE, 58, 1);
    uint8_t out[128];
    std::memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(wire::BuildKeepAliveReply(req, out, 45), 0u);
    EXPECT_EQ(out[0], 0xEE);
    ASSERT_EQ(wire::BuildKeepAliveReply(req, out, sizeof(out)), 46u);
    std::vector<uint8_t> expected = Bytes(&req, 42);
    expected[28] = 46;
    expected.insert(expected.end(), 4, 0); // the zero body is not masked even for a masked request
    EXPECT_EQ(Bytes(out, 46), expected);
    EXPECT_EQ(out[46], 0xEE);

    const DataHead push = MakeHead("logs1111", LOG_TYPE_LOGUDTDB, 1000, 1);
    ASSERT_EQ(wire::BuildLogudtDBReply(push, "a0ff10123456789abcdef", out, sizeof(out)), 74u);
    expected = Bytes(&push, 42);
    expected[28] = 74;
    expected[29] = 0;
    const std::string md5 = "a0ff10123456789abcdef";
    expected.insert(expected.end(), md5.begin(), md5.end());
    expected.resize(74, 0);
    EXPECT_EQ(Bytes(out, 74), expected);
    EXPECT_EQ(wire::GetLogType(*reinterpret_cast<DataHead*>(out)), LOG_TYPE_LOGUDTDB);

    // A 32-character text fills the field without a terminator; longer input is cut.
    ASSERT_EQ(wire::BuildLogudtDBReply(push, "0123456789abcdef0123456789abcdefXYZ", out, 74), 74u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + 42, 32), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(wire::BuildLogudtDBReply(push, "x", out, 73), 0u);

    ASSERT_EQ(wire::BuildProbeAnswer(out, 14), 14u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 14), "KELVDEVPROBE01");
    EXPECT_EQ(wire::BuildProbeAnswer(out, 13), 0u);
}

TEST(WireReplies, AuditFileReplyAndStoredRecord)
{
    std::vector<uint8_t> reqBytes(USERAUDITFILE_LOG_MIN_LEN + 20, 0);
    auto& req = *reinterpret_cast<UserAuditFileLog*>(reqBytes.data());
    req.m_Head = MakeHead("logs1111", LOG_TYPE_USERAUDITFILE, uint32_t(reqBytes.size()));
    const uint8_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(&req.m_TransWord1, words, 8);

    uint8_t out[USERAUDITFILE_END_REPLY_LEN];
    EXPECT_EQ(
        wire::BuildUserAuditFileReply(req, 1, AUDITFILE_REASON_BLOCKS_MISSING, 0x01020304, 2, 1, out, 74),
        0u);
    ASSERT_EQ(
        wire::BuildUserAuditFileReply(req, 1, AUDITFILE_REASON_BLOCKS_MISSING, 0x01020304, 2, 1, out, 75),
        75u);
    std::vector<uint8_t> expected = Bytes(&req.m_Head, 42);
    expected[24] = 13;
    expected[28] = 75;
    expected[29] = 0; // the request was 739 bytes long
    expected.insert(expected.end(), words, words + 8);
    const uint8_t tail[] = {1,    0,    0,    0, 5, 0, 0, 0, 12, 0, 0, 0, 0x01,
                            0x02, 0x03, 0x04, 2, 0, 0, 0, 1, 0,  0, 0, 0};
    expected.insert(expected.end(), tail, tail + sizeof(tail));
    EXPECT_EQ(Bytes(out, 75), expected);

    // Masked request: same reply with every body byte inverted, head untouched.
    req.m_Head.m_Masked = 1;
    ASSERT_EQ(
        wire::BuildUserAuditFileReply(req, 1, AUDITFILE_REASON_BLOCKS_MISSING, 0x01020304, 2, 1, out, 75),
        75u);
    expected[41] = 1;
    for (size_t i = 42; i < 75; ++i)
        expected[i] = uint8_t(~expected[i]);
    EXPECT_EQ(Bytes(out, 75), expected);

    // Stored-file record.
    req.m_Head.m_Masked = 0;
    char userName[100] = "alice";
    uint8_t sha1[20];
    for (int i = 0; i < 20; ++i)
        sha1[i] = uint8_t(i * 13);
    const uint32_t rawGroup = wire::HostToNet32(7);
    EXPECT_EQ(wire::BuildUserAuditFileStored(req.m_Head, rawGroup, userName, "C:\\a\\b.txt", 123456789012ull,
                                             sha1, out, 929),
              0u);
    ASSERT_EQ(wire::BuildUserAuditFileStored(req.m_Head, rawGroup, userName, "C:\\a\\b.txt", 123456789012ull,
                                             sha1, out, 930),
              930u);
    const auto& st = *reinterpret_cast<const UserAuditFileStored*>(out);
    EXPECT_EQ(wire::GetLogType(st.m_Head), 14u);
    EXPECT_EQ(wire::GetDataLen(st.m_Head), 930u);
    EXPECT_EQ(out[42], 0);
    EXPECT_EQ(out[45], 7); // group id copied as it travels
    EXPECT_STREQ(st.m_UserName, "alice");
    EXPECT_STREQ(st.m_FilePath, "C:\\a\\b.txt");
    EXPECT_EQ(Bytes(out + 666, 8), (std::vector<uint8_t>{0x14, 0x1A, 0x99, 0xBE, 0x1C, 0, 0, 0}));
    EXPECT_EQ(std::string(st.m_Sha1Hex), "000D1A2734414E5B6875828F9CA9B6C3D0DDEAF7");
    for (size_t i = 674 + 40; i < 930; ++i)
        ASSERT_EQ(out[i], 0) << i;

    // A path longer than the field keeps a terminator.
    std::string longPath(600, 'p');
    ASSERT_EQ(
        wire::BuildUserAuditFileStored(req.m_Head, rawGroup, userName, longPath.c_str(), 1, sha1, out, 930),
        930u);
    EXPECT_EQ(std::strlen(reinterpret_cast<const UserAuditFileStored*>(out)->m_FilePath), 519u);
}
