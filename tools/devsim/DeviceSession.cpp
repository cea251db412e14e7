#include "DeviceSession.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace devsim
{
namespace
{
constexpr size_t kBatchBytes = 256 * 1024;
constexpr size_t kBatchRecords = 4096;
constexpr size_t kMaxReplyLen = 1 << 20;

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
} // namespace

CDeviceSession::CDeviceSession(const CDevSimOptions& opt, int index)
    : m_Opt(opt), m_Index(index),
      m_SignText(opt.m_Sign == "0500" || (opt.m_Sign == "alt" && index % 2) ? "logs0500" : "logs1111"),
      m_Key{}, m_Plain(m_SignText, m_Key, false), m_Dir(opt.m_Users, opt.m_Groups, opt.m_DirNetOrder),
      m_Rng(opt.m_Seed * 0x9E3779B97F4A7C15ull + uint64_t(index) + 1)
{
    Md5Raw(opt.DeviceSecret(index), m_Key);
    m_Plain = CRecordEncoder(m_SignText, m_Key, false);
    for (int k = 0; k < KIND_COUNT; ++k)
        for (unsigned w = 0; w < opt.m_Mix[k]; ++w)
            m_Schedule.push_back(k);
    // Interleave the schedule so that kinds alternate instead of coming in blocks.
    std::vector<int> spread;
    std::vector<unsigned> left(opt.m_Mix, opt.m_Mix + KIND_COUNT);
    while (spread.size() < m_Schedule.size())
        for (int k = 0; k < KIND_COUNT; ++k)
            if (left[k])
            {
                spread.push_back(k);
                --left[k];
            }
    m_Schedule.swap(spread);
    UpdateClock();
    BuildTemplates();
    std::string error;
    if (!LoadScript(error))
        Fail(error);
}

namespace
{
bool ReadWholeFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

bool FromHex(const std::string& hex, std::string& raw)
{
    raw.clear();
    if (hex.size() % 2)
        return false;
    auto nibble = [](char c) -> int
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < hex.size(); i += 2)
    {
        int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        raw.push_back(char(hi << 4 | lo));
    }
    return true;
}

// A scripted text fills its field as given: NUL bytes stay, and a text as wide as the field has no
// terminator (the shortened copy of PutText would hide the collector's handling of a full field).
void PutRawText(uint8_t* field, size_t width, const std::string& text)
{
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}
} // namespace

bool CDeviceSession::LoadScript(std::string& error)
{
    if (!m_Opt.m_AdminDoc.empty() && !ReadWholeFile(m_Opt.m_AdminDoc, m_AdminDocText))
        return error = "cannot read " + m_Opt.m_AdminDoc, false;
    if (!m_Opt.m_UserDoc.empty() && !ReadWholeFile(m_Opt.m_UserDoc, m_UserDocText))
        return error = "cannot read " + m_Opt.m_UserDoc, false;
    if (m_Opt.m_Records.empty())
        return true;
    std::ifstream in(m_Opt.m_Records);
    if (!in)
        return error = "cannot read " + m_Opt.m_Records, false;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line))
    {
        ++lineNo;
        std::istringstream words(line);
        std::string kind, word;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        std::map<std::string, std::string> f;
        while (words >> word)
        {
            size_t eq = word.find('=');
            if (eq == std::string::npos)
                return error = "line " + std::to_string(lineNo) + ": no '=' in " + word, false;
            f[word.substr(0, eq)] = word.substr(eq + 1);
        }
        bool bad = false;
        auto num = [&](const char* key) -> int64_t
        {
            auto it = f.find(key);
            return it == f.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
        };
        auto text = [&](const char* key)
        {
            std::string raw;
            auto it = f.find(key);
            if (it != f.end() && !FromHex(it->second, raw))
                bad = true;
            return raw;
        };
        SScripted s{KIND_KEEPALIVE, {}, false};
        if (kind == "keepalive")
        {
            m_Plain.KeepAlive(s.m_Bytes, uint32_t(num("ip")), int32_t(num("devtype")), int32_t(num("up")),
                              int32_t(num("down")));
            s.m_Bytes[40] = uint8_t(num("tag")); // the head's reserved byte, echoed in the reply
            s.m_Reply = f.count("reply") == 0 || num("reply") != 0;
        }
        else if (kind == "user")
        {
            const int v = int(num("v"));
            if (v < 1 || v > 3)
                return error = "line " + std::to_string(lineNo) + ": user v must be 1, 2 or 3", false;
            SUserFields u;
            u.m_GroupID = int32_t(num("group"));
            u.m_Action = int32_t(num("action"));
            u.m_Result = int32_t(num("result"));
            u.m_Address = uint32_t(num("ip"));
            u.m_ServiceType = int32_t(num("svc"));
            u.m_ServerIP = uint32_t(num("sip"));
            u.m_ServerPort = uint16_t(num("sport"));
            u.m_ServerAttr = int32_t(num("attr"));
            u.m_AuthMethod = int32_t(num("auth"));
            u.m_UpFlux = num("up");
            u.m_DownFlux = num("down");
            u.m_RawUpFlux = num("rawup");
            u.m_RawDownFlux = num("rawdown");
            s.m_Kind = v == 1 ? KIND_USERV1 : v == 2 ? KIND_USERV2 : KIND_USERV3;
            m_Plain.User(s.m_Bytes, v, u);
            PutRawText(s.m_Bytes.data() + 68, 200, text("name"));
            PutRawText(s.m_Bytes.data() + (v == 1   ? kUserV1MsgOff
                                           : v == 2 ? kUserV2MsgOff
                                                    : kUserV3MsgOff),
                       512, text("msg"));
        }
        else if (kind == "admin")
        {
            s.m_Kind = KIND_ADMIN;
            m_Plain.Admin(s.m_Bytes, int32_t(num("action")), int32_t(num("entity")), int32_t(num("result")),
                          uint32_t(num("ip")), "", "");
            PutRawText(s.m_Bytes.data() + 62, 100, text("name"));
            PutRawText(s.m_Bytes.data() + kAdminMsgOff, 512, text("msg"));
        }
        else if (kind == "audit")
        {
            s.m_Kind = KIND_AUDIT;
            m_Plain.Audit(s.m_Bytes, uint32_t(num("ip")), "");
            PutRawText(s.m_Bytes.data() + kAuditMsgOff, kAuditLen - kAuditMsgOff, text("msg"));
        }
        else if (kind == "alarm")
        {
            s.m_Kind = KIND_ALARM;
            m_Plain.Alarm(s.m_Bytes, int32_t(num("type")), "");
            PutRawText(s.m_Bytes.data() + kAlarmMsgOff, 5120, text("msg"));
        }
        else if (kind == "sys")
        {
            s.m_Kind = KIND_SYS;
            m_Plain.System(s.m_Bytes, int32_t(num("type")), int32_t(num("process")), "");
            PutRawText(s.m_Bytes.data() + kSystemMsgOff, 512, text("msg"));
        }
        else
            return error = "line " + std::to_string(lineNo) + ": unknown kind " + kind, false;
        if (bad)
            return error = "line " + std::to_string(lineNo) + ": a text is not hex", false;
        m_Script.push_back(std::move(s));
    }
    return true;
}

std::string CDeviceSession::AdminDocument() const
{
    return m_Opt.m_AdminDoc.empty() ? m_Dir.AdminDocument() : m_AdminDocText;
}

std::string CDeviceSession::UserDocument() const
{
    return m_Opt.m_UserDoc.empty() ? m_Dir.UserDocument() : m_UserDocText;
}

void CDeviceSession::ExpectKeepAliveReply(const uint8_t* r)
{
    // Its reply will acknowledge everything sent so far.
    std::array<uint64_t, KIND_COUNT> mark;
    std::copy(std::begin(m_Stats.m_Sent), std::end(m_Stats.m_Sent), mark.begin());
    m_AckMarks.push_back(mark);
    // The reply is the request's head with length 46, then four zero bytes.
    std::vector<uint8_t> expect(r, r + kHeadLen);
    PutLe32(expect.data() + 28, uint32_t(kKeepAliveReplyLen));
    expect.resize(kKeepAliveReplyLen, 0);
    if (!m_Expected.empty() && !m_Expected.back().m_IsPush && m_Expected.back().m_Bytes == expect)
        ++m_Expected.back().m_Count;
    else
        m_Expected.push_back({false, std::move(expect), 1});
    ++m_ExpectedTotal;
}

void CDeviceSession::AppendScripted(std::vector<uint8_t>& out, const SScripted& s)
{
    const size_t off = out.size();
    out.insert(out.end(), s.m_Bytes.begin(), s.m_Bytes.end());
    uint8_t* r = out.data() + off;
    if (s.m_Kind == KIND_KEEPALIVE && s.m_Reply)
        ExpectKeepAliveReply(r); // the reply echoes the unmasked head
    if (m_Opt.m_Mask)
    {
        r[41] = 1;
        CRecordEncoder::InvertBody(r, s.m_Bytes.size());
    }
    ++m_Stats.m_Sent[s.m_Kind];
}

CDeviceSession::~CDeviceSession()
{
    if (m_Fd >= 0)
        close(m_Fd);
    if (m_DumpFile)
        std::fclose(m_DumpFile);
}

uint64_t CDeviceSession::Random()
{
    m_Rng ^= m_Rng << 13;
    m_Rng ^= m_Rng >> 7;
    m_Rng ^= m_Rng << 17;
    return m_Rng;
}

void CDeviceSession::UpdateClock()
{
    if (!m_Opt.m_FixedTime.empty())
    {
        std::sscanf(m_Opt.m_FixedTime.c_str(), "%u-%u-%u %u:%u:%u", &m_Clock.m_Year, &m_Clock.m_Month,
                    &m_Clock.m_Day, &m_Clock.m_Hour, &m_Clock.m_Minute, &m_Clock.m_Second);
        return;
    }
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    m_Clock = {unsigned(tm.tm_year + 1900), unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday),
               unsigned(tm.tm_hour),        unsigned(tm.tm_min),     unsigned(tm.tm_sec)};
}

void CDeviceSession::AddUserTemplates(ERecordKind kind, const SUserFields& base, int version, int32_t action)
{
    for (size_t u = 0; u < m_Dir.Users().size(); ++u)
    {
        SUserFields f = base;
        f.m_Action = action;
        f.m_UserName = m_Dir.Users()[u].m_Name;
        f.m_GroupID = m_Dir.Users()[u].m_GroupID;
        f.m_Address = 0xC0A80100u + uint32_t(u % 250) + 1; // 192.168.1.x
        f.m_AuthMethod = int32_t(u % 512);
        if (action == 2)
        {
            f.m_UpFlux = 1000 + int64_t(u);
            f.m_DownFlux = 5000 + int64_t(u);
            f.m_RawUpFlux = f.m_UpFlux + 40;
            f.m_RawDownFlux = f.m_DownFlux + 80;
        }
        STemplate t;
        m_Plain.User(t.m_Bytes, version, f);
        t.m_MsgOffset = version == 1 ? kUserV1MsgOff : version == 2 ? kUserV2MsgOff : kUserV3MsgOff;
        t.m_MsgWidth = 512;
        t.m_Message = f.m_Message;
        m_Templates[kind].push_back(std::move(t));
    }
}

void CDeviceSession::BuildTemplates()
{
    m_Plain.SetTime(m_Clock);
    const uint32_t devIP = 0x0A000000u + uint32_t(m_Opt.m_FirstIndex + m_Index); // 10.x.y.z

    SUserFields login;
    login.m_Result = 0;
    login.m_ServiceType = 0;
    login.m_Message = "user login from devsim";
    SUserFields logout = login;
    logout.m_Message = "user logout from devsim";
    const ERecordKind userKinds[3] = {KIND_USERV1, KIND_USERV2, KIND_USERV3};
    for (int v = 1; v <= 3; ++v)
    {
        AddUserTemplates(userKinds[v - 1], login, v, 0);
        AddUserTemplates(userKinds[v - 1], logout, v, 1);
    }

    SUserFields flux;
    flux.m_ServerIP = 0x0A010203u;
    flux.m_ServerPort = 443;
    flux.m_Message = "flux";
    SUserFields svc;
    svc.m_ServiceType = 2;
    svc.m_ServerIP = 0x0A010204u;
    svc.m_ServerPort = 8080;
    svc.m_ServerAttr = 1;
    svc.m_Result = 1;
    svc.m_Message = "resource access http://10.1.2.4:8080/intranet";
    for (int v = 1; v <= 3; ++v)
    {
        AddUserTemplates(KIND_FLUX, flux, v, 2);
        AddUserTemplates(KIND_SVC, svc, v, 3);
    }

    {
        STemplate t;
        m_Plain.KeepAlive(t.m_Bytes, devIP, m_Index % 3, 123456, 654321);
        m_Templates[KIND_KEEPALIVE].push_back(std::move(t));
    }
    for (const auto& a : m_Dir.Admins())
    {
        STemplate t;
        t.m_Message = "administrator's change of a setting";
        m_Plain.Admin(t.m_Bytes, 1 + a.m_ID % 6, a.m_ID % 16, 0, 0xC0A80002u, a.m_Name, t.m_Message);
        t.m_MsgOffset = kAdminMsgOff;
        t.m_MsgWidth = 512;
        m_Templates[KIND_ADMIN].push_back(std::move(t));
    }
    {
        STemplate t;
        t.m_Message = "configuration audited";
        m_Plain.Audit(t.m_Bytes, 0xC0A80003u, t.m_Message);
        t.m_MsgOffset = kAuditMsgOff;
        t.m_MsgWidth = kAuditLen - kAuditMsgOff;
        m_Templates[KIND_AUDIT].push_back(std::move(t));
    }
    for (int32_t type = 0; type <= 12; type += 4)
    {
        STemplate t;
        t.m_Message = "alarm raised, type " + std::to_string(type);
        m_Plain.Alarm(t.m_Bytes, type, t.m_Message);
        t.m_MsgOffset = kAlarmMsgOff;
        t.m_MsgWidth = 5120;
        m_Templates[KIND_ALARM].push_back(std::move(t));
    }
    for (int32_t level = 0; level <= 4; ++level)
    {
        STemplate t;
        // UTF-8 text beyond ASCII ("system" in Chinese) exercises the character-set conversion.
        t.m_Message = "\xE7\xB3\xBB\xE7\xBB\x9F system message level " + std::to_string(level);
        m_Plain.System(t.m_Bytes, level, 100 * level + 3, t.m_Message);
        t.m_MsgOffset = kSystemMsgOff;
        t.m_MsgWidth = 512;
        m_Templates[KIND_SYS].push_back(std::move(t));
    }
}

int CDeviceSession::NextKind()
{
    int k = m_Schedule[m_SchedulePos];
    if (++m_SchedulePos == m_Schedule.size())
        m_SchedulePos = 0;
    return k;
}

void CDeviceSession::MaybeGarbage(std::vector<uint8_t>& out)
{
    if (m_Opt.m_Garbage <= 0)
        return;
    if (double(Random() % 1000000) >= m_Opt.m_Garbage * 1000000.0)
        return;
    const size_t n = 1 + Random() % 64;
    for (size_t i = 0; i < n; ++i)
    {
        uint8_t b = uint8_t(Random());
        if (b == 'l') // never start something that could read as a sign
            b = 0;
        out.push_back(b);
    }
    ++m_Stats.m_GarbageRuns;
    m_Stats.m_GarbageBytes += n;
}

void CDeviceSession::AppendRecord(std::vector<uint8_t>& out, int kind, bool numbered)
{
    MaybeGarbage(out);
    if (numbered)
        ++m_Seq;
    const auto& variants = m_Templates[kind];
    const STemplate& t = variants[m_Seq % variants.size()];
    const size_t off = out.size();
    out.insert(out.end(), t.m_Bytes.begin(), t.m_Bytes.end());
    uint8_t* r = out.data() + off;
    CRecordEncoder::StampTime(r, m_Clock);
    if (m_Opt.m_Seq && t.m_MsgOffset)
    {
        char tag[64];
        int n = std::snprintf(tag, sizeof(tag), "d%ds%llu ", m_Opt.m_FirstIndex + m_Index,
                              static_cast<unsigned long long>(m_Seq));
        std::string text = std::string(tag, size_t(n)) + t.m_Message;
        PutText(r + t.m_MsgOffset, t.m_MsgWidth, text);
    }
    if (m_Opt.m_Mask)
    {
        r[41] = 1;
        CRecordEncoder::InvertBody(r, t.m_Bytes.size());
    }
    ++m_Stats.m_Sent[kind];
    if (kind == KIND_KEEPALIVE)
        ExpectKeepAliveReply(r);
}

void CDeviceSession::AppendPush(std::vector<uint8_t>& out, int32_t updateType, const std::string& xml)
{
    const std::string md5 = Md5Hex(xml, m_Opt.m_Md5Short);
    CRecordEncoder enc(m_SignText, m_Key, m_Opt.m_Mask);
    enc.SetTime(m_Clock);
    const size_t off = enc.Logudt(out, updateType, md5, xml);
    std::vector<uint8_t> expect(out.begin() + long(off), out.begin() + long(off + kHeadLen));
    PutLe32(expect.data() + 28, uint32_t(kPushReplyLen));
    expect.resize(kPushReplyLen, 0);
    std::memcpy(expect.data() + kHeadLen, md5.data(), md5.size());
    m_Expected.push_back({true, std::move(expect), 1});
    ++m_ExpectedTotal;
    ++m_Stats.m_Pushes;
}

void CDeviceSession::Fail(const std::string& why)
{
    if (!m_Stats.m_Failed)
        m_Stats.m_Error = why;
    m_Stats.m_Failed = true;
}

void CDeviceSession::Dump(const std::vector<uint8_t>& data)
{
    if (m_DumpFile && !data.empty() && std::fwrite(data.data(), 1, data.size(), m_DumpFile) != data.size())
        Fail("cannot write the dump file");
}

// Fills out with the next records; false when the stream (or, with --reconnect-every, this
// connection's part of it) has ended, closing keepalive included.
bool CDeviceSession::StopFileSeen(double elapsed)
{
    // A look five times a second is plenty for a run that a controlling program ends.
    if (m_Opt.m_StopFile.empty() || m_StopFileSeen || elapsed - m_StopFileChecked < 0.2)
        return m_StopFileSeen;
    m_StopFileChecked = elapsed;
    m_StopFileSeen = access(m_Opt.m_StopFile.c_str(), F_OK) == 0;
    return m_StopFileSeen;
}

bool CDeviceSession::FillBatch(std::vector<uint8_t>& out, double elapsed)
{
    out.clear();
    if (m_StreamDone || m_ConnDone)
        return false;
    if (!m_Opt.m_Records.empty())
    {
        for (const SScripted& s : m_Script)
            AppendScripted(out, s);
        AppendRecord(out, KIND_KEEPALIVE, false);
        m_StreamDone = true;
        return true;
    }
    const uint64_t count = m_Opt.EffectiveCount();
    bool ended = (count && m_Generated >= count) || (m_Opt.m_Seconds > 0 && elapsed >= m_Opt.m_Seconds) ||
                 StopFileSeen(elapsed);
    uint64_t allowed = kBatchRecords;
    if (m_Opt.m_Rate > 0 && !ended)
    {
        const double due = m_Opt.m_Rate * elapsed;
        allowed = due > double(m_Generated) ? uint64_t(due - double(m_Generated)) : 0;
        if (allowed > kBatchRecords)
            allowed = kBatchRecords;
    }
    if (!ended)
    {
        UpdateClock();
        for (uint64_t i = 0; i < allowed && out.size() < kBatchBytes; ++i)
        {
            if ((count && m_Generated >= count) || (m_ConnEnd && m_Generated >= m_ConnEnd))
                break;
            AppendRecord(out, NextKind());
            ++m_Generated;
        }
        ended = count && m_Generated >= count;
    }
    if (ended)
    {
        // A closing keepalive: its reply tells that the collector has taken everything before it.
        AppendRecord(out, KIND_KEEPALIVE);
        m_StreamDone = true;
    }
    else if (m_ConnEnd && m_Generated >= m_ConnEnd)
    {
        // The same for a connection that is about to be replaced; it takes no sequence number so
        // that the numbers of the stored records stay contiguous.
        AppendRecord(out, KIND_KEEPALIVE, false);
        m_ConnDone = true;
    }
    return true;
}

void CDeviceSession::Run()
{
    if (m_Stats.m_Failed)
        return; // the script or a document could not be read
    if (!m_Opt.m_Dump.empty())
    {
        std::string path = m_Opt.m_Devices == 1
                               ? m_Opt.m_Dump
                               : m_Opt.m_Dump + "." + std::to_string(m_Opt.m_FirstIndex + m_Index);
        m_DumpFile = std::fopen(path.c_str(), "wb");
        if (!m_DumpFile)
        {
            Fail("cannot create dump file " + path);
            return;
        }
    }
    if (m_Opt.m_Offline)
        RunOffline();
    else
        RunOnline();
    if (m_DumpFile)
    {
        if (std::fclose(m_DumpFile) != 0)
            Fail("cannot close the dump file");
        m_DumpFile = nullptr;
    }
}

void CDeviceSession::RunOffline()
{
    std::vector<uint8_t> batch;
    if (!m_Opt.m_NoPush)
    {
        AppendPush(batch, 0, AdminDocument());
        AppendPush(batch, 1, UserDocument());
        Dump(batch);
        m_Stats.m_BytesSent += batch.size();
    }
    while (FillBatch(batch, 0))
    {
        Dump(batch);
        m_Stats.m_BytesSent += batch.size();
    }
    m_Expected.clear();
    m_ExpectedTotal = 0;
}

bool CDeviceSession::Connect()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string port = std::to_string(m_Opt.m_Port);
    if (int rc = getaddrinfo(m_Opt.m_Host.c_str(), port.c_str(), &hints, &res); rc != 0)
    {
        Fail(std::string("cannot resolve host: ") + gai_strerror(rc));
        return false;
    }
    int err = 0;
    for (addrinfo* ai = res; ai; ai = ai->ai_next)
    {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0)
        {
            err = errno;
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        {
            m_Fd = fd;
            break;
        }
        err = errno;
        close(fd);
    }
    freeaddrinfo(res);
    if (m_Fd < 0)
    {
        Fail(std::string("cannot connect: ") + std::strerror(err));
        return false;
    }
    int one = 1;
    setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    int buf = 4 * 1024 * 1024;
    setsockopt(m_Fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    m_Stats.m_Connected = true;
    ++m_Stats.m_Connections;
    return true;
}

bool CDeviceSession::ReadAndParse()
{
    uint8_t buf[65536];
    for (;;)
    {
        ssize_t n = recv(m_Fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0)
        {
            m_Stats.m_BytesReceived += uint64_t(n);
            m_Rx.insert(m_Rx.end(), buf, buf + n);
            continue;
        }
        if (n == 0)
        {
            ParseReplies();
            Fail("connection closed by the collector");
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        const int err = errno;
        ParseReplies(); // replies that came before the failure still acknowledge their records
        Fail(std::string("receive failed: ") + std::strerror(err));
        return false;
    }
    ParseReplies();
    return !m_Stats.m_Failed;
}

void CDeviceSession::ParseReplies()
{
    while (m_Rx.size() - m_RxPos >= kHeadLen)
    {
        const uint8_t* p = m_Rx.data() + m_RxPos;
        if (std::memcmp(p, "logs1111", 8) != 0 && std::memcmp(p, "logs0500", 8) != 0)
        {
            ++m_Stats.m_BadReplies;
            Fail("reply stream does not start with a sign");
            m_RxPos = m_Rx.size();
            break;
        }
        const uint32_t len = GetLe32(p + 28);
        if (len < kHeadLen || len > kMaxReplyLen)
        {
            ++m_Stats.m_BadReplies;
            Fail("reply with impossible length " + std::to_string(len));
            m_RxPos = m_Rx.size();
            break;
        }
        if (m_Rx.size() - m_RxPos < len)
            break;
        if (m_Expected.empty())
        {
            ++m_Stats.m_BadReplies;
            Fail("unexpected reply of type " + std::to_string(GetLe32(p + 24)) + " length " +
                 std::to_string(len));
        }
        else
        {
            SExpected& e = m_Expected.front();
            if (len != e.m_Bytes.size() || std::memcmp(p, e.m_Bytes.data(), len) != 0)
            {
                ++m_Stats.m_BadReplies;
                size_t at = 0;
                while (at < len && at < e.m_Bytes.size() && p[at] == e.m_Bytes[at])
                    ++at;
                Fail(std::string("wrong ") + (e.m_IsPush ? "push" : "keepalive") + " reply: length " +
                     std::to_string(len) + ", first difference at byte " + std::to_string(at));
            }
            else if (e.m_IsPush)
                ++m_Stats.m_RepliesPush;
            else
            {
                ++m_Stats.m_RepliesKeepAlive;
                if (!m_AckMarks.empty())
                    std::copy(m_AckMarks.front().begin(), m_AckMarks.front().end(), m_Stats.m_Acked);
            }
            if (!e.m_IsPush && !m_AckMarks.empty())
                m_AckMarks.pop_front();
            --m_ExpectedTotal;
            if (--e.m_Count == 0)
                m_Expected.pop_front();
        }
        m_RxPos += len;
    }
    if (m_RxPos == m_Rx.size())
    {
        m_Rx.clear();
        m_RxPos = 0;
    }
    else if (m_RxPos > (1u << 20))
    {
        m_Rx.erase(m_Rx.begin(), m_Rx.begin() + long(m_RxPos));
        m_RxPos = 0;
    }
}

bool CDeviceSession::SendBlocking(const std::vector<uint8_t>& data)
{
    size_t done = 0;
    while (done < data.size())
    {
        pollfd pfd{m_Fd, POLLOUT | POLLIN, 0};
        if (poll(&pfd, 1, 1000) < 0 && errno != EINTR)
        {
            Fail(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR))
            if (!ReadAndParse())
                return false;
        if (pfd.revents & POLLOUT)
        {
            ssize_t n = send(m_Fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
            {
                done += size_t(n);
                m_Stats.m_BytesSent += uint64_t(n);
            }
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            {
                Fail(std::string("send failed: ") + std::strerror(errno));
                return false;
            }
        }
    }
    return true;
}

// Waits until every expected reply (or, with pushOnly, every expected push reply) has arrived.
bool CDeviceSession::WaitForReplies(bool pushOnly)
{
    const double deadline = Now() + m_Opt.m_ReplyTimeout;
    auto pending = [&]
    {
        if (!pushOnly)
            return m_ExpectedTotal > 0;
        for (const auto& e : m_Expected)
            if (e.m_IsPush)
                return true;
        return false;
    };
    while (pending())
    {
        const double left = deadline - Now();
        if (left <= 0)
        {
            m_Stats.m_MissingReplies += m_ExpectedTotal;
            Fail(std::string("timed out waiting for ") + (pushOnly ? "the push reply" : "keepalive replies"));
            return false;
        }
        pollfd pfd{m_Fd, POLLIN, 0};
        int rc = poll(&pfd, 1, int(left * 1000) + 1);
        if (rc < 0 && errno != EINTR)
        {
            Fail(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (rc > 0 && !ReadAndParse())
        {
            m_Stats.m_MissingReplies += m_ExpectedTotal;
            return false;
        }
    }
    return !m_Stats.m_Failed;
}

void CDeviceSession::RunOnline()
{
    const double start = Now();
    for (;;)
    {
        if (!Connect())
            return;
        m_ConnDone = false;
        m_ConnEnd = m_Opt.m_ReconnectEvery ? m_Generated + m_Opt.m_ReconnectEvery : 0;
        if (!StreamOneConnection(start))
            return;
        if (m_StreamDone)
            return;
    }
}

// Pushes, streams this connection's records, waits for the replies and closes; false on failure.
bool CDeviceSession::StreamOneConnection(double start)
{
    std::vector<uint8_t> batch;
    if (!m_Opt.m_NoPush)
    {
        const int32_t kinds[2] = {0, 1};
        const std::string docs[2] = {AdminDocument(), UserDocument()};
        for (int i = 0; i < 2; ++i)
        {
            batch.clear();
            AppendPush(batch, kinds[i], docs[i]);
            Dump(batch);
            if (!SendBlocking(batch) || !WaitForReplies(true))
                return false;
        }
    }
    size_t pos = 0;
    batch.clear();
    for (;;)
    {
        if (pos == batch.size())
        {
            pos = 0;
            if (!FillBatch(batch, Now() - start))
                break;
            Dump(batch);
        }
        pollfd pfd{m_Fd, short(POLLIN | (pos < batch.size() ? POLLOUT : 0)), 0};
        int rc = poll(&pfd, 1, pos < batch.size() ? 1000 : 2);
        if (rc < 0 && errno != EINTR)
        {
            Fail(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR))
            if (!ReadAndParse())
                return false;
        if (pfd.revents & POLLOUT)
        {
            ssize_t n = send(m_Fd, batch.data() + pos, batch.size() - pos, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
            {
                pos += size_t(n);
                m_Stats.m_BytesSent += uint64_t(n);
            }
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            {
                Fail(std::string("send failed: ") + std::strerror(errno));
                return false;
            }
        }
    }
    const bool ok = WaitForReplies(false);
    shutdown(m_Fd, SHUT_WR);
    close(m_Fd);
    m_Fd = -1;
    return ok;
}
} // namespace devsim
