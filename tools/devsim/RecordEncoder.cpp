#include "RecordEncoder.h"

#include <cstring>
#include <openssl/evp.h>

namespace devsim
{
void PutText(uint8_t* field, size_t width, const std::string& text)
{
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width - 1);
}

void Md5Raw(const std::string& data, uint8_t out[16])
{
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, EVP_md5(), nullptr);
}

std::string Md5Hex(const std::string& data, bool shortForm)
{
    uint8_t d[16];
    Md5Raw(data, d);
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d)
    {
        if (!shortForm || (b >> 4))
            s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

CRecordEncoder::CRecordEncoder(const std::string& signText, const uint8_t key[16], bool masked)
    : m_Sign(signText), m_Masked(masked)
{
    std::memcpy(m_Key, key, 16);
}

void CRecordEncoder::StampTime(uint8_t* rec, const SLogTime& t)
{
    PutBe16(rec + 32, uint16_t(t.m_Year));
    rec[34] = uint8_t(t.m_Month);
    rec[35] = uint8_t(t.m_Day);
    PutBe16(rec + 36, uint16_t(t.m_Hour));
    rec[38] = uint8_t(t.m_Minute);
    rec[39] = uint8_t(t.m_Second);
}

void CRecordEncoder::InvertBody(uint8_t* rec, size_t len)
{
    for (size_t i = kHeadLen; i < len; ++i)
        rec[i] = uint8_t(~rec[i]);
}

uint8_t* CRecordEncoder::Begin(std::vector<uint8_t>& out, uint32_t type, size_t len, size_t& offset) const
{
    offset = out.size();
    out.resize(offset + len, 0);
    uint8_t* r = out.data() + offset;
    std::memcpy(r, m_Sign.data(), 8);
    std::memcpy(r + 8, m_Key, 16);
    PutLe32(r + 24, type);
    PutLe32(r + 28, uint32_t(len));
    StampTime(r, m_Time);
    r[40] = 0;
    r[41] = m_Masked ? 1 : 0;
    return r;
}

void CRecordEncoder::Finish(std::vector<uint8_t>& out, size_t offset, size_t len) const
{
    if (m_Masked)
        InvertBody(out.data() + offset, len);
}

size_t CRecordEncoder::KeepAlive(std::vector<uint8_t>& out, uint32_t devIP, int32_t devType, int32_t up,
                                 int32_t down) const
{
    size_t off;
    uint8_t* r = Begin(out, 0, kKeepAliveLen, off);
    PutBe32(r + 42, devIP);
    PutLe32(r + 46, uint32_t(devType));
    PutLe32(r + 50, uint32_t(up));
    PutLe32(r + 54, uint32_t(down));
    Finish(out, off, kKeepAliveLen);
    return off;
}

size_t CRecordEncoder::User(std::vector<uint8_t>& out, int version, const SUserFields& f) const
{
    const uint32_t type = version == 1 ? 1 : version == 2 ? 10 : 11;
    const size_t len = version == 1 ? kUserV1Len : version == 2 ? kUserV2Len : kUserV3Len;
    size_t off;
    uint8_t* r = Begin(out, type, len, off);
    PutLe32(r + 42, uint32_t(f.m_GroupID));
    PutLe32(r + 46, uint32_t(f.m_Action));
    PutLe32(r + 50, uint32_t(f.m_Result));
    PutBe32(r + 54, f.m_Address);
    PutLe32(r + 58, uint32_t(f.m_ServiceType));
    PutBe32(r + 62, f.m_ServerIP);
    PutBe16(r + 66, f.m_ServerPort);
    PutText(r + 68, 200, f.m_UserName);
    PutLe32(r + 268, uint32_t(f.m_ServerAttr));
    PutLe32(r + 272, uint32_t(f.m_AuthMethod));
    if (version == 3)
    {
        PutLe64(r + 276, uint64_t(f.m_UpFlux));
        PutLe64(r + 284, uint64_t(f.m_DownFlux));
        PutLe64(r + 292, uint64_t(f.m_RawUpFlux));
        PutLe64(r + 300, uint64_t(f.m_RawDownFlux));
        PutText(r + kUserV3MsgOff, 512, f.m_Message);
    }
    else
    {
        PutLe32(r + 276, uint32_t(f.m_UpFlux));
        PutLe32(r + 280, uint32_t(f.m_DownFlux));
        if (version == 2)
        {
            PutLe32(r + 284, uint32_t(f.m_RawUpFlux));
            PutLe32(r + 288, uint32_t(f.m_RawDownFlux));
            PutText(r + kUserV2MsgOff, 512, f.m_Message);
        }
        else
        {
            PutText(r + kUserV1MsgOff, 512, f.m_Message);
        }
    }
    Finish(out, off, len);
    return off;
}

size_t CRecordEncoder::Admin(std::vector<uint8_t>& out, int32_t action, int32_t entity, int32_t result,
                             uint32_t address, const std::string& adminName, const std::string& message) const
{
    size_t off;
    uint8_t* r = Begin(out, 3, kAdminLen, off);
    PutLe32(r + 42, 0);
    PutLe32(r + 46, uint32_t(action));
    PutLe32(r + 50, uint32_t(entity));
    PutLe32(r + 54, uint32_t(result));
    PutBe32(r + 58, address);
    PutText(r + 62, 100, adminName);
    PutText(r + kAdminMsgOff, 512, message);
    Finish(out, off, kAdminLen);
    return off;
}

size_t CRecordEncoder::Audit(std::vector<uint8_t>& out, uint32_t address, const std::string& message) const
{
    size_t off;
    uint8_t* r = Begin(out, 2, kAuditLen, off);
    PutBe32(r + 110, address);
    PutText(r + kAuditMsgOff, kAuditLen - kAuditMsgOff, message);
    Finish(out, off, kAuditLen);
    return off;
}

size_t CRecordEncoder::Alarm(std::vector<uint8_t>& out, int32_t alarmType, const std::string& message) const
{
    size_t off;
    uint8_t* r = Begin(out, 4, kAlarmLen, off);
    PutLe32(r + 42, uint32_t(alarmType));
    PutText(r + kAlarmMsgOff, 5120, message);
    Finish(out, off, kAlarmLen);
    return off;
}

size_t CRecordEncoder::System(std::vector<uint8_t>& out, int32_t sysLogType, int32_t processType,
                              const std::string& message) const
{
    size_t off;
    uint8_t* r = Begin(out, 8, kSystemLen, off);
    PutLe32(r + 46, uint32_t(sysLogType));
    PutLe32(r + 50, uint32_t(processType));
    PutText(r + kSystemMsgOff, 512, message);
    Finish(out, off, kSystemLen);
    return off;
}

size_t CRecordEncoder::Logudt(std::vector<uint8_t>& out, int32_t updateType, const std::string& md5Text,
                              const std::string& xml) const
{
    const size_t len = kLogudtFixedLen + xml.size();
    size_t off;
    uint8_t* r = Begin(out, 5, len, off);
    PutLe32(r + 42, uint32_t(updateType));
    std::memset(r + 46, 0, 32);
    std::memcpy(r + 46, md5Text.data(), md5Text.size() < 32 ? md5Text.size() : 32);
    std::memcpy(r + kLogudtFixedLen, xml.data(), xml.size());
    Finish(out, off, len);
    return off;
}

void CRecordEncoder::Probe(std::vector<uint8_t>& out)
{
    const size_t off = out.size();
    out.resize(off + kProbeLen, 0);
    uint8_t* r = out.data() + off;
    std::memcpy(r, "logs0500", 8);
    std::memcpy(r + 8, kProbeTag, 14);
    PutLe32(r + 24, 0);
    PutLe32(r + 28, uint32_t(kProbeLen));
}
} // namespace devsim
