// The per-type checks of the record task: size rules at their limits, the enforced ranges at their
// edges, masked bodies, the probe and the unsupported types.
#include "intake/NodeLogRecordTask.h"
#include "support/TestInstall.h"
#include "support/TestRecords.h"

#include <gtest/gtest.h>

using namespace rectest;

namespace
{
class RecordCheckTest : public ::testing::Test
{
protected:
    void SetUp() override { qbtest::InitTestInstall(); }

    // Runs one check on a copy of the record (checks restore masked bodies in place).
    int Check(std::vector<uint8_t> record, int (CNodeLogRecordTask::*check)(int))
    {
        m_Last = std::move(record);
        m_Task.SetCurrentRecord(m_Last.data(), static_cast<uint32_t>(m_Last.size()), false);
        return (m_Task.*check)(SIGN_CODE_1111);
    }
    // A record of the given size: the type's layout zero-extended or cut, length field set.
    static std::vector<uint8_t> Resized(std::vector<uint8_t> r, uint32_t len)
    {
        r.resize(len, 0);
        As<DataHead>(r).m_DataLen = wire::HostToLe32(len);
        return r;
    }

    CNodeLogRecordTask m_Task;
    std::vector<uint8_t> m_Last;
};

TEST_F(RecordCheckTest, NoCurrentRecordFailsEveryCheck)
{
    m_Task.SetCurrentRecord(nullptr, 0, false);
    int (CNodeLogRecordTask::*checks[])(int) = {
        &CNodeLogRecordTask::Check_KeepAlive_Log, &CNodeLogRecordTask::Check_User_Log,
        &CNodeLogRecordTask::Check_UserV2_Log,    &CNodeLogRecordTask::Check_UserV3_Log,
        &CNodeLogRecordTask::Check_Audit_Log,     &CNodeLogRecordTask::Check_Admin_Log,
        &CNodeLogRecordTask::Check_Alarm_Log,     &CNodeLogRecordTask::Check_LogudtDB_Log,
        &CNodeLogRecordTask::Check_System_Log,    &CNodeLogRecordTask::Check_UserAuditFile_Log,
        &CNodeLogRecordTask::Check_Record_Present};
    for (auto c : checks)
        EXPECT_EQ((m_Task.*c)(1), 0);
}

TEST_F(RecordCheckTest, ExactSizesAcceptOnlyTheirLength)
{
    struct Case
    {
        std::vector<uint8_t> m_Record;
        int (CNodeLogRecordTask::*m_Check)(int);
    };
    std::vector<Case> cases = {
        {KeepAlive(), &CNodeLogRecordTask::Check_KeepAlive_Log},
        {User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN), &CNodeLogRecordTask::Check_User_Log},
        {User<UserLogV2>(LOG_TYPE_USERV2, USER_LOG_V2_LEN), &CNodeLogRecordTask::Check_UserV2_Log},
        {User<UserLogV3>(LOG_TYPE_USERV3, USER_LOG_V3_LEN), &CNodeLogRecordTask::Check_UserV3_Log},
        {MakeRecord(LOG_TYPE_AUDIT, AUDIT_LOG_LEN), &CNodeLogRecordTask::Check_Audit_Log},
        {MakeRecord(LOG_TYPE_ADMIN, ADMIN_LOG_LEN), &CNodeLogRecordTask::Check_Admin_Log},
        {Alarm(), &CNodeLogRecordTask::Check_Alarm_Log},
        {MakeRecord(LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN), &CNodeLogRecordTask::Check_System_Log},
    };
    for (const Case& c : cases)
    {
        uint32_t len = static_cast<uint32_t>(c.m_Record.size());
        SCOPED_TRACE("length " + std::to_string(len));
        EXPECT_EQ(Check(c.m_Record, c.m_Check), 1);
        EXPECT_EQ(Check(Resized(c.m_Record, len - 1), c.m_Check), 0);
        EXPECT_EQ(Check(Resized(c.m_Record, len + 1), c.m_Check), 0);
    }
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[Check_KeepAlive_Log] Wrong KeepAlive Packge Size = 57\n"), std::string::npos);
    EXPECT_NE(log.find("[Check_User_Log] Wrong User Packge Size = 797 Correct Size = 796\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Check_UserV3_Log] Wrong UserLogV3 Packge Size = 823 Correct = 824\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Check_Alarm_Log] Wrong Alarm Packge Size = 5167\n"), std::string::npos);
}

TEST_F(RecordCheckTest, MinimumSizesAcceptTheMinimumAndMore)
{
    auto push = MakeRecord(LOG_TYPE_LOGUDTDB, LOGUDTDB_LOG_MIN_LEN);
    EXPECT_EQ(Check(push, &CNodeLogRecordTask::Check_LogudtDB_Log), 1);
    EXPECT_EQ(Check(Resized(push, 77), &CNodeLogRecordTask::Check_LogudtDB_Log), 0);
    EXPECT_EQ(Check(Resized(push, 5000), &CNodeLogRecordTask::Check_LogudtDB_Log), 1);

    auto step = MakeRecord(LOG_TYPE_USERAUDITFILE, USERAUDITFILE_LOG_MIN_LEN);
    As<UserAuditFileLog>(step).m_OpType = AUDITFILE_OP_BEGIN;
    EXPECT_EQ(Check(step, &CNodeLogRecordTask::Check_UserAuditFile_Log), 1);
    EXPECT_EQ(Check(Resized(step, 718), &CNodeLogRecordTask::Check_UserAuditFile_Log), 0);
    EXPECT_EQ(Check(Resized(step, 70000), &CNodeLogRecordTask::Check_UserAuditFile_Log), 1);
    EXPECT_NE(qbtest::ReadTodayLog().find(
                  "[Check_UserAuditFile_Log] Wrong UserAuditFile Packge , Size = 718 Correct At Least 719\n"),
              std::string::npos);
}

TEST_F(RecordCheckTest, UserRangesAtTheirEdges)
{
    struct Field
    {
        int32_t UserLog::*m_Field;
        int32_t m_Min, m_Max;
    };
    const Field fields[] = {{&UserLog::m_Action, 0, 6},
                            {&UserLog::m_Result, 0, 2},
                            {&UserLog::m_ServiceType, 0, 3},
                            {&UserLog::m_ServerAttr, 0, 1},
                            {&UserLog::m_AuthMethod, 0, 511}};
    for (const Field& f : fields)
    {
        for (int32_t v : {f.m_Min - 1, f.m_Min, f.m_Max, f.m_Max + 1})
        {
            auto r = User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN);
            As<UserLog>(r).*(f.m_Field) = v;
            bool inside = v >= f.m_Min && v <= f.m_Max;
            EXPECT_EQ(Check(r, &CNodeLogRecordTask::Check_User_Log), inside ? 1 : 0) << v;
        }
    }
    // The same rules in the version-3 layout, whose counters are wider.
    auto v3 = User<UserLogV3>(LOG_TYPE_USERV3, USER_LOG_V3_LEN);
    As<UserLogV3>(v3).m_AuthMethod = 512;
    EXPECT_EQ(Check(v3, &CNodeLogRecordTask::Check_UserV3_Log), 0);
    As<UserLogV3>(v3).m_AuthMethod = 511;
    As<UserLogV3>(v3).m_Action = -1;
    EXPECT_EQ(Check(v3, &CNodeLogRecordTask::Check_UserV3_Log), 0);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[Check_User_Log] Wrong UserLog Action Type = 4294967295\n"), std::string::npos);
    EXPECT_NE(log.find("[Check_User_Log] Wrong UserLog AuthMethod Type = 512\n"), std::string::npos);
    EXPECT_NE(log.find("[Check_UserV3_Log] Wrong UserLogV3 Action Type = -1\n"), std::string::npos);
}

TEST_F(RecordCheckTest, OldDevicesType1Of804BytesFollowsVersion2Rules)
{
    auto r = User<UserLogV2>(LOG_TYPE_USER, USER_LOG_V2_LEN);
    EXPECT_EQ(Check(r, &CNodeLogRecordTask::Check_User_Log), 1);
    As<UserLogV2>(r).m_Result = 3;
    EXPECT_EQ(Check(r, &CNodeLogRecordTask::Check_User_Log), 0);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[Check_User_Log] Warn: Maybe Old Ver M4.3 Ssllogs!!!\n"), std::string::npos);
    EXPECT_NE(log.find("[Check_UserV2_Log] Wrong UserLogV2 Result Type = 3\n"), std::string::npos);
}

TEST_F(RecordCheckTest, OtherRangesAtTheirEdges)
{
    auto admin = MakeRecord(LOG_TYPE_ADMIN, ADMIN_LOG_LEN);
    for (auto [v, ok] : {std::pair{-1, 0}, {0, 1}, {15, 1}, {16, 0}})
    {
        As<AdminLog>(admin).m_Entity = v;
        EXPECT_EQ(Check(admin, &CNodeLogRecordTask::Check_Admin_Log), ok) << v;
    }
    auto sys = MakeRecord(LOG_TYPE_SYSTEM, SYSTEM_LOG_LEN);
    for (auto [v, ok] : {std::pair{-1, 0}, {0, 1}, {603, 1}, {604, 0}})
    {
        As<SystemLog>(sys).m_ProcessType = v;
        EXPECT_EQ(Check(sys, &CNodeLogRecordTask::Check_System_Log), ok) << v;
    }
    for (auto [v, ok] : {std::pair{-1, 0}, {0, 1}, {12, 1}, {13, 0}})
        EXPECT_EQ(Check(Alarm(v), &CNodeLogRecordTask::Check_Alarm_Log), ok) << v;
    for (auto [v, ok] : {std::pair{-1, 0}, {0, 1}, {2, 1}, {3, 0}})
        EXPECT_EQ(Check(KeepAlive(v), &CNodeLogRecordTask::Check_KeepAlive_Log), ok) << v;

    // Only the upper bound of the push kind is tested.
    auto push = MakeRecord(LOG_TYPE_LOGUDTDB, 100);
    for (auto [v, ok] : {std::pair{-7, 1}, {2, 1}, {3, 0}})
    {
        As<LogudtDBLog>(push).m_UpdateType = v;
        EXPECT_EQ(Check(push, &CNodeLogRecordTask::Check_LogudtDB_Log), ok) << v;
    }

    auto step = MakeRecord(LOG_TYPE_USERAUDITFILE, 800);
    for (auto [v, ok] : {std::pair{0, 0}, {1, 1}, {4, 1}, {5, 0}})
    {
        As<UserAuditFileLog>(step).m_OpType = v;
        EXPECT_EQ(Check(step, &CNodeLogRecordTask::Check_UserAuditFile_Log), ok) << v;
    }
    As<UserAuditFileLog>(step).m_OpType = 2;
    As<UserAuditFileLog>(step).m_ExtraDataSize = wire::HostToNet32(0x7FFFFFFE);
    EXPECT_EQ(Check(step, &CNodeLogRecordTask::Check_UserAuditFile_Log), 1);
    As<UserAuditFileLog>(step).m_ExtraDataSize = wire::HostToNet32(0x7FFFFFFF);
    EXPECT_EQ(Check(step, &CNodeLogRecordTask::Check_UserAuditFile_Log), 0);
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[Check_UserAuditFile_Log] Wrong UserAuditFile ExtraDataSize = 2147483647\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Check_LogudtDB_Log] Wrong LogudtDB UpdateType Type = 3\n"), std::string::npos);
    EXPECT_NE(log.find("[Check_KeepAlive_Log] Wrong KeepAlive Packge DevType\n"), std::string::npos);
}

TEST_F(RecordCheckTest, MaskedRecordIsJudgedLikeItsUnmaskedTwin)
{
    std::vector<std::pair<std::vector<uint8_t>, int (CNodeLogRecordTask::*)(int)>> cases = {
        {User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN), &CNodeLogRecordTask::Check_User_Log},
        {User<UserLog>(LOG_TYPE_USER, USER_LOG_LEN, 7), &CNodeLogRecordTask::Check_User_Log},
        {User<UserLogV2>(LOG_TYPE_USER, USER_LOG_V2_LEN), &CNodeLogRecordTask::Check_User_Log},
        {Alarm(12), &CNodeLogRecordTask::Check_Alarm_Log},
        {Alarm(13), &CNodeLogRecordTask::Check_Alarm_Log},
        {KeepAlive(2), &CNodeLogRecordTask::Check_KeepAlive_Log},
    };
    for (auto& [plain, check] : cases)
    {
        int expected = Check(plain, check);
        std::vector<uint8_t> masked = plain;
        Mask(masked);
        EXPECT_EQ(Check(masked, check), expected);
        // The body is restored in place exactly once (the 804-byte path runs two checks); the head keeps
        // its masked flag.
        std::vector<uint8_t> restored = m_Last;
        EXPECT_EQ(As<DataHead>(restored).m_Masked, 1);
        As<DataHead>(restored).m_Masked = 0;
        EXPECT_EQ(restored, plain);
    }
}

TEST_F(RecordCheckTest, ProbePassesAtAnyLength)
{
    EXPECT_EQ(Check(Probe(), &CNodeLogRecordTask::Check_KeepAlive_Log), 1);
    EXPECT_EQ(Check(Probe(42), &CNodeLogRecordTask::Check_KeepAlive_Log), 1);
    EXPECT_EQ(Check(Probe(900), &CNodeLogRecordTask::Check_KeepAlive_Log), 1);
    // Without the tag a 42-byte keepalive is too short.
    auto shortKeepAlive = Resized(KeepAlive(), 42);
    EXPECT_EQ(Check(shortKeepAlive, &CNodeLogRecordTask::Check_KeepAlive_Log), 0);
}
} // namespace
