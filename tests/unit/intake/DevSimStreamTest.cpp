// devsim's byte stream, read back with the collector's layouts: the two independent encoders must agree.
#include "support/DevSimRunner.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <set>

using namespace devsimtest;

namespace
{
std::vector<uint8_t> Md5(const std::string& s)
{
    std::vector<uint8_t> d(16);
    unsigned n = 0;
    EVP_Digest(s.data(), s.size(), d.data(), &n, EVP_md5(), nullptr);
    return d;
}

std::string Field(const char* p, size_t width)
{
    return std::string(p, strnlen(p, width));
}

// The names pushed in the user document, by attribute name="...".
std::set<std::string> PushedNames(const std::string& xml)
{
    std::set<std::string> names;
    for (size_t p = xml.find(" name=\""); p != std::string::npos; p = xml.find(" name=\"", p + 1))
    {
        size_t b = p + 7, e = xml.find('"', b);
        names.insert(xml.substr(b, e - b));
    }
    return names;
}

struct SDumped
{
    SRunResult m_Run;
    std::vector<uint8_t> m_Stream;
    std::vector<SRecord> m_Records;
};

SDumped DumpOffline(const CTempDir& dir, std::vector<std::string> args,
                    const std::string& file = "stream.bin")
{
    SDumped d;
    args.insert(args.begin(), {"--offline", "--dump", dir.Path() + "/" + file});
    d.m_Run = RunDevSim(args, dir.Path());
    d.m_Stream = ReadFile(dir.Path() + "/" + file);
    std::string err;
    EXPECT_TRUE(SplitStream(d.m_Stream, d.m_Records, err)) << err;
    return d;
}

const std::vector<std::string> kBase = {
    "--count", "300", "--seq", "--time", "2013-05-06 07:08:09", "--first-index", "7", "--secret-prefix", "s"};
} // namespace

// Every record of a default-mix stream, checked field by field against the layouts and ranges.
TEST(DevSimStream, RecordsMatchTheLayouts)
{
    CTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    SDumped d = DumpOffline(dir, kBase);
    ASSERT_EQ(d.m_Run.m_Exit, 0) << d.m_Run.m_Stderr;
    EXPECT_EQ(d.m_Run.Num("bytes.sent"), d.m_Stream.size());
    ASSERT_GE(d.m_Records.size(), 3u);

    const std::vector<uint8_t> key = Md5("s7");
    std::map<uint32_t, uint64_t> perType;
    std::set<std::string> users, admins;
    uint64_t expectSeq = 1;
    for (size_t i = 0; i < d.m_Records.size(); ++i)
    {
        const SRecord& r = d.m_Records[i];
        SCOPED_TRACE("record " + std::to_string(i) + " type " + std::to_string(r.Type()));
        const DataHead& h = r.Head();
        EXPECT_EQ(r.m_Skipped, 0u);
        EXPECT_FALSE(r.m_WasMasked);
        EXPECT_EQ(wire::GetSignCode(h.m_Sign), SIGN_CODE_1111);
        EXPECT_EQ(std::vector<uint8_t>(h.m_DevMD5, h.m_DevMD5 + 16), key);
        char time[32];
        wire::FormatRecordTime(h, time, sizeof(time));
        EXPECT_STREQ(time, "2013-05-06 07:08:09");
        EXPECT_EQ(h.m_Masked, 0);
        ++perType[r.Type()];

        if (i < 2)
        {
            // The directory pushes come first: administrators, then users.
            ASSERT_EQ(r.Type(), LOG_TYPE_LOGUDTDB);
            const auto& p = r.As<LogudtDBLog>();
            EXPECT_EQ(p.m_UpdateType, int32_t(i == 0 ? UPDATE_TYPE_ADMIN : UPDATE_TYPE_USER));
            const std::string xml(r.m_Bytes.begin() + LOGUDTDB_LOG_MIN_LEN, r.m_Bytes.end());
            char hex[33];
            wire::DigestToHexLower(Md5(xml).data(), hex);
            EXPECT_EQ(std::string(p.m_DataMD5, 32), hex);
            if (i == 0)
            {
                EXPECT_EQ(xml.find("<velmofile>"), xml.find("?>") + 3);
                EXPECT_NE(xml.find("<filecontent>"), std::string::npos);
                EXPECT_NE(xml.find("<CtrlManager>"), std::string::npos);
                EXPECT_NE(xml.find("<CtrlGroup>"), std::string::npos);
                admins = PushedNames(xml.substr(0, xml.find("<CtrlGroup>")));
            }
            else
            {
                EXPECT_NE(xml.find("<content>"), std::string::npos);
                EXPECT_NE(xml.find("<svpnuser>"), std::string::npos);
                EXPECT_NE(xml.find("<svpngroup>"), std::string::npos);
                EXPECT_NE(xml.find("grpid=\""), std::string::npos);
                users = PushedNames(xml.substr(xml.find("<svpnuser>")));
            }
            continue;
        }

        ASSERT_NE(wire::FixedRecordLen(r.Type()), 0u);
        EXPECT_EQ(wire::GetDataLen(h), wire::FixedRecordLen(r.Type()));
        EXPECT_EQ(r.m_Bytes.size(), wire::FixedRecordLen(r.Type()));
        const std::string tag = "d7s" + std::to_string(expectSeq++) + " ";
        std::string message;
        switch (r.Type())
        {
        case LOG_TYPE_KEEPALIVE:
        {
            const auto& k = r.As<KeepAliveLog>();
            EXPECT_TRUE(RANGE_KEEPALIVE_DEVTYPE.Contains(k.m_DevType));
            EXPECT_EQ(wire::NetToHost32(k.m_DevIP), 0x0A000007u);
            EXPECT_GE(k.m_UpFlux, 0);
            EXPECT_GE(k.m_DownFlux, 0);
            break;
        }
        case LOG_TYPE_USER:
        case LOG_TYPE_USERV2:
        case LOG_TYPE_USERV3:
        {
            const auto& u = r.As<UserLogCommon>();
            EXPECT_TRUE(RANGE_USER_ACTION.Contains(u.m_Action));
            EXPECT_TRUE(RANGE_USER_RESULT.Contains(u.m_Result));
            EXPECT_TRUE(RANGE_USER_SERVICETYPE.Contains(u.m_ServiceType));
            EXPECT_TRUE(RANGE_USER_SERVERATTR.Contains(u.m_ServerAttr));
            EXPECT_TRUE(RANGE_USER_AUTHMETHOD.Contains(u.m_AuthMethod));
            EXPECT_EQ(users.count(Field(u.m_UserName, 200)), 1u) << Field(u.m_UserName, 200);
            EXPECT_EQ(wire::NetToHost32(u.m_Address) >> 8, 0xC0A801u);
            int64_t up, down, rawUp, rawDown;
            if (r.Type() == LOG_TYPE_USER)
            {
                const auto& v = r.As<UserLog>();
                up = rawUp = v.m_UpFlux;
                down = rawDown = v.m_DownFlux;
                message = Field(v.m_Message, 512);
            }
            else if (r.Type() == LOG_TYPE_USERV2)
            {
                const auto& v = r.As<UserLogV2>();
                up = v.m_UpFlux, down = v.m_DownFlux, rawUp = v.m_RawUpFlux, rawDown = v.m_RawDownFlux;
                message = Field(v.m_Message, 512);
            }
            else
            {
                const auto& v = r.As<UserLogV3>();
                up = v.m_UpFlux, down = v.m_DownFlux, rawUp = v.m_RawUpFlux, rawDown = v.m_RawDownFlux;
                message = Field(v.m_Message, 512);
            }
            if (u.m_Action == USER_ACTION_FLUX)
            {
                // Flux records with all counters below 1 would be dropped: devsim never sends them.
                EXPECT_GE(up, 1);
                EXPECT_GE(down, 1);
                EXPECT_GE(rawUp, up);
                EXPECT_GE(rawDown, down);
            }
            if (u.m_Action == USER_ACTION_RESOURCE)
            {
                EXPECT_NE(u.m_ServerIP, 0u);
                EXPECT_EQ(wire::NetToHost16(u.m_ServerPort), 8080);
            }
            ++perType[1000 + uint32_t(u.m_Action)];
            break;
        }
        case LOG_TYPE_ADMIN:
        {
            const auto& a = r.As<AdminLog>();
            EXPECT_TRUE(RANGE_ADMIN_ACTION.Contains(a.m_Action));
            EXPECT_TRUE(RANGE_ADMIN_ENTITY.Contains(a.m_Entity));
            EXPECT_TRUE(RANGE_ADMIN_RESULT.Contains(a.m_Result));
            EXPECT_EQ(admins.count(Field(a.m_AdminName, 100)), 1u) << Field(a.m_AdminName, 100);
            message = Field(a.m_Message, 512);
            break;
        }
        case LOG_TYPE_AUDIT:
            message = Field(r.As<AuditLog>().m_Message, AUDIT_LOG_LEN - 118);
            EXPECT_NE(r.As<AuditLog>().m_Address, 0u);
            break;
        case LOG_TYPE_ALARM:
            EXPECT_TRUE(RANGE_ALARM_TYPE.Contains(r.As<AlarmLog>().m_AlarmType));
            message = Field(r.As<AlarmLog>().m_Message, 5120);
            break;
        case LOG_TYPE_SYSTEM:
            EXPECT_TRUE(RANGE_SYSTEM_LOGTYPE.Contains(r.As<SystemLog>().m_SysLogType));
            EXPECT_TRUE(RANGE_SYSTEM_PROCESSTYPE.Contains(r.As<SystemLog>().m_ProcessType));
            message = Field(r.As<SystemLog>().m_Message, 512);
            break;
        default:
            ADD_FAILURE() << "unexpected type";
        }
        if (r.Type() != LOG_TYPE_KEEPALIVE)
        {
            EXPECT_EQ(message.compare(0, tag.size(), tag), 0) << message << " vs " << tag;
        }
    }
    EXPECT_GE(users.size(), 4u);
    EXPECT_EQ(admins.size(), 2u);

    // The stream ends with a keepalive, and the report counts what the stream holds.
    EXPECT_EQ(d.m_Records.back().Type(), LOG_TYPE_KEEPALIVE);
    EXPECT_EQ(d.m_Run.Num("sent.push"), perType[LOG_TYPE_LOGUDTDB]);
    EXPECT_EQ(d.m_Run.Num("sent.keepalive"), perType[LOG_TYPE_KEEPALIVE]);
    EXPECT_EQ(d.m_Run.Num("sent.admin"), perType[LOG_TYPE_ADMIN]);
    EXPECT_EQ(d.m_Run.Num("sent.audit"), perType[LOG_TYPE_AUDIT]);
    EXPECT_EQ(d.m_Run.Num("sent.alarm"), perType[LOG_TYPE_ALARM]);
    EXPECT_EQ(d.m_Run.Num("sent.sys"), perType[LOG_TYPE_SYSTEM]);
    EXPECT_EQ(d.m_Run.Num("sent.flux"), perType[1000 + USER_ACTION_FLUX]);
    EXPECT_EQ(d.m_Run.Num("sent.svc"), perType[1000 + USER_ACTION_RESOURCE]);
    EXPECT_EQ(d.m_Run.Num("sent.records"), 301u); // --count plus the closing keepalive
    EXPECT_GT(perType[LOG_TYPE_USER], 0u);
    EXPECT_GT(perType[LOG_TYPE_USERV2], 0u);
    EXPECT_GT(perType[LOG_TYPE_USERV3], 0u);
}

// A masked stream is the plain stream with each body inverted and the flag set; garbage only adds bytes
// between records, which a collector skips to the next sign.
TEST(DevSimStream, MaskingAndGarbageLeaveTheRecordsIntact)
{
    CTempDir dir;
    SDumped plain = DumpOffline(dir, kBase, "plain.bin");
    std::vector<std::string> masked = kBase;
    masked.push_back("--mask");
    SDumped m = DumpOffline(dir, masked, "masked.bin");
    std::vector<std::string> garbage = kBase;
    garbage.insert(garbage.end(), {"--garbage", "0.5", "--seed", "3", "--mask"});
    SDumped g = DumpOffline(dir, garbage, "garbage.bin");
    ASSERT_EQ(plain.m_Run.m_Exit, 0);
    ASSERT_EQ(m.m_Run.m_Exit, 0);
    ASSERT_EQ(g.m_Run.m_Exit, 0);

    EXPECT_EQ(m.m_Stream.size(), plain.m_Stream.size());
    EXPECT_NE(m.m_Stream, plain.m_Stream);
    ASSERT_EQ(m.m_Records.size(), plain.m_Records.size());
    ASSERT_EQ(g.m_Records.size(), plain.m_Records.size());
    uint64_t skipped = 0;
    for (size_t i = 0; i < plain.m_Records.size(); ++i)
    {
        EXPECT_TRUE(m.m_Records[i].m_WasMasked) << i;
        std::vector<uint8_t> unmasked = m.m_Records[i].m_Bytes;
        ASSERT_EQ(unmasked[41], 1);
        unmasked[41] = 0;
        EXPECT_EQ(unmasked, plain.m_Records[i].m_Bytes) << "record " << i;
        std::vector<uint8_t> fromGarbage = g.m_Records[i].m_Bytes;
        fromGarbage[41] = 0;
        EXPECT_EQ(fromGarbage, plain.m_Records[i].m_Bytes) << "record " << i;
        skipped += g.m_Records[i].m_Skipped;
    }
    EXPECT_GT(g.m_Run.Num("sent.garbage_runs"), 50u);
    EXPECT_EQ(skipped, g.m_Run.Num("sent.garbage_bytes"));
    EXPECT_EQ(g.m_Stream.size(), plain.m_Stream.size() + skipped);
}

// Devices differ by sign and key; each writes its own stream file.
TEST(DevSimStream, DevicesSignsAndMix)
{
    CTempDir dir;
    SRunResult run = RunDevSim({"--offline", "--dump", dir.Path() + "/s", "--devices", "2", "--sign", "alt",
                                "--count", "40", "--mix", "keepalive=1,alarm=1", "--no-push"},
                               dir.Path());
    ASSERT_EQ(run.m_Exit, 0) << run.m_Stderr;
    EXPECT_EQ(run.Num("sent.push"), 0u);
    EXPECT_EQ(run.Num("sent.alarm"), 40u);
    EXPECT_EQ(run.Num("sent.keepalive"), 42u);
    for (int dev = 1; dev <= 2; ++dev)
    {
        std::vector<SRecord> recs;
        std::string err;
        ASSERT_TRUE(SplitStream(ReadFile(dir.Path() + "/s." + std::to_string(dev)), recs, err)) << err;
        ASSERT_EQ(recs.size(), 41u);
        const auto key = Md5("secret" + std::to_string(dev));
        for (const auto& r : recs)
        {
            EXPECT_EQ(wire::GetSignCode(r.Head().m_Sign), dev == 1 ? SIGN_CODE_1111 : SIGN_CODE_0500);
            EXPECT_EQ(std::vector<uint8_t>(r.Head().m_DevMD5, r.Head().m_DevMD5 + 16), key);
            EXPECT_TRUE(r.Type() == LOG_TYPE_KEEPALIVE || r.Type() == LOG_TYPE_ALARM);
        }
        EXPECT_EQ(recs[0].Type(), LOG_TYPE_KEEPALIVE); // kinds alternate by weight
        EXPECT_EQ(recs[1].Type(), LOG_TYPE_ALARM);
    }

    // The unpadded digest form, and a usage error.
    SRunResult shortMd5 =
        RunDevSim({"--offline", "--dump", dir.Path() + "/m", "--count", "1", "--md5-short", "--users", "40"},
                  dir.Path());
    ASSERT_EQ(shortMd5.m_Exit, 0);
    std::vector<SRecord> recs;
    std::string err;
    ASSERT_TRUE(SplitStream(ReadFile(dir.Path() + "/m"), recs, err)) << err;
    for (int i = 0; i < 2; ++i)
    {
        const std::string xml(recs[i].m_Bytes.begin() + 78, recs[i].m_Bytes.end());
        char hex[33];
        wire::DigestToHexShort(Md5(xml).data(), hex);
        EXPECT_EQ(std::string(recs[i].As<LogudtDBLog>().m_DataMD5, 32), std::string(hex, 32));
    }
    EXPECT_EQ(RunDevSim({"--mix", "bogus=1"}, dir.Path()).m_Exit, 2);
}
