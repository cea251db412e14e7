// The simulator's own encoder of device records. It writes every field at its byte offset with an
// explicit byte order and shares no code with the collector, so that a layout mistake on either side
// shows up as a disagreement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim
{
constexpr size_t kHeadLen = 42;
constexpr size_t kKeepAliveLen = 58;
constexpr size_t kUserV1Len = 796;
constexpr size_t kUserV2Len = 804;
constexpr size_t kUserV3Len = 824;
constexpr size_t kAuditLen = 270;
constexpr size_t kAdminLen = 674;
constexpr size_t kAlarmLen = 5166;
constexpr size_t kSystemLen = 566;
constexpr size_t kLogudtFixedLen = 78;
constexpr size_t kKeepAliveReplyLen = 46;
constexpr size_t kPushReplyLen = 74;
constexpr size_t kProbeLen = 58;
constexpr char kProbeTag[] = "KELVDEVPROBE01";

// Offsets of the message text per record, used to stamp sequence tags into prebuilt records.
constexpr size_t kUserV1MsgOff = 284;
constexpr size_t kUserV2MsgOff = 292;
constexpr size_t kUserV3MsgOff = 308;
constexpr size_t kAdminMsgOff = 162;
constexpr size_t kAuditMsgOff = 118;
constexpr size_t kAlarmMsgOff = 46;
constexpr size_t kSystemMsgOff = 54;

inline void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void PutLe64(uint8_t* p, uint64_t v)
{
    PutLe32(p, uint32_t(v));
    PutLe32(p + 4, uint32_t(v >> 32));
}
inline void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void PutBe16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline uint32_t GetLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct SLogTime
{
    unsigned m_Year = 2024, m_Month = 1, m_Day = 1, m_Hour = 0, m_Minute = 0, m_Second = 0;
};

// Fields of a user record (all three versions); addresses and ports in host order.
struct SUserFields
{
    int32_t m_GroupID = 0;
    int32_t m_Action = 0;
    int32_t m_Result = 0;
    uint32_t m_Address = 0;
    int32_t m_ServiceType = 0;
    uint32_t m_ServerIP = 0;
    uint16_t m_ServerPort = 0;
    std::string m_UserName;
    int32_t m_ServerAttr = 0;
    int32_t m_AuthMethod = 0;
    int64_t m_UpFlux = 0, m_DownFlux = 0, m_RawUpFlux = 0, m_RawDownFlux = 0;
    std::string m_Message;
};

class CRecordEncoder
{
public:
    // signText: "logs1111" or "logs0500"; key: the 16 raw bytes of the device key.
    CRecordEncoder(const std::string& signText, const uint8_t key[16], bool masked);

    void SetTime(const SLogTime& t) { m_Time = t; }

    // Each appends one complete record (masked when the encoder masks) and returns its offset in out.
    size_t KeepAlive(std::vector<uint8_t>& out, uint32_t devIP, int32_t devType, int32_t up,
                     int32_t down) const;
    size_t User(std::vector<uint8_t>& out, int version, const SUserFields& f) const;
    size_t Admin(std::vector<uint8_t>& out, int32_t action, int32_t entity, int32_t result, uint32_t address,
                 const std::string& adminName, const std::string& message) const;
    size_t Audit(std::vector<uint8_t>& out, uint32_t address, const std::string& message) const;
    size_t Alarm(std::vector<uint8_t>& out, int32_t alarmType, const std::string& message) const;
    size_t System(std::vector<uint8_t>& out, int32_t sysLogType, int32_t processType,
                  const std::string& message) const;
    // md5Text goes into the 32-byte field as given (NUL-padded).
    size_t Logudt(std::vector<uint8_t>& out, int32_t updateType, const std::string& md5Text,
                  const std::string& xml) const;

    // The watchdog's probe record.
    static void Probe(std::vector<uint8_t>& out);

    // Writes the head's date and time words (big-endian) at rec+32.
    static void StampTime(uint8_t* rec, const SLogTime& t);
    // Inverts the body bytes 42..len-1.
    static void InvertBody(uint8_t* rec, size_t len);

    bool IsMasked() const { return m_Masked; }

private:
    uint8_t* Begin(std::vector<uint8_t>& out, uint32_t type, size_t len, size_t& offset) const;
    void Finish(std::vector<uint8_t>& out, size_t offset, size_t len) const;

    std::string m_Sign;
    uint8_t m_Key[16];
    bool m_Masked;
    SLogTime m_Time;
};

// Text helpers shared by the simulator.
void PutText(uint8_t* field, size_t width, const std::string& text);
std::string Md5Hex(const std::string& data, bool shortForm);
void Md5Raw(const std::string& data, uint8_t out[16]);
} // namespace devsim
