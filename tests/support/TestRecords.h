// Records in wire layout for the record-task and directory-push tests, and device texts that have
// broken escaping before.
#pragma once
#include "protocol/WireProtocol.h"

#include <cstring>
#include <string>
#include <vector>

namespace rectest
{
// U+4E57: its GBK form is 0x81 0x5C, a trail byte that looks like a backslash.
inline const std::string GBK_5C_CHAR_UTF8 = "\xE4\xB9\x97";
// A directory name made to break out of an SQL literal.
inline const std::string TRICKY_NAME = "o'brien \"x\" a\\b " + GBK_5C_CHAR_UTF8 + "');drop table svpnuser;--";

inline void FillHead(DataHead& h, uint32_t type, uint32_t len, const uint8_t key[16], int signCode = 1)
{
    std::memcpy(h.m_Sign, signCode == 2 ? WIRE_SIGN_0500 : WIRE_SIGN_1111, WIRE_SIGN_LEN);
    std::memcpy(h.m_DevMD5, key, 16);
    h.m_LogType = wire::HostToLe32(type);
    h.m_DataLen = wire::HostToLe32(len);
    wire::SetDateTimeWords(h, wire::MakeDateWord(2026, 3, 14), wire::MakeTimeWord(9, 26, 53));
    h.m_Reserved = 0x5A;
    h.m_Masked = 0;
}

inline const uint8_t* TestKey()
{
    static const uint8_t key[16] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    return key;
}

// A record of `len` bytes (at least a head) of the given type, body zeroed.
inline std::vector<uint8_t> MakeRecord(uint32_t type, uint32_t len, const uint8_t* key = TestKey(),
                                       int sign = 1)
{
    std::vector<uint8_t> r(len < DATA_HEAD_LEN ? DATA_HEAD_LEN : len, 0);
    FillHead(*reinterpret_cast<DataHead*>(r.data()), type, len, key, sign);
    return r;
}

template <typename T> T& As(std::vector<uint8_t>& r)
{
    return *reinterpret_cast<T*>(r.data());
}

inline std::vector<uint8_t> KeepAlive(int32_t devType = 1, const uint8_t* key = TestKey())
{
    auto r = MakeRecord(LOG_TYPE_KEEPALIVE, KEEPALIVE_LOG_LEN, key);
    auto& k = As<KeepAliveLog>(r);
    k.m_DevIP = wire::HostToNet32(0x0A000001);
    k.m_DevType = devType;
    k.m_UpFlux = 100;
    k.m_DownFlux = 200;
    return r;
}

inline std::vector<uint8_t> Probe(uint32_t len = PROBE_RECORD_LEN)
{
    std::vector<uint8_t> r(PROBE_RECORD_LEN, 0);
    wire::BuildProbeRecord(r.data(), r.size());
    r.resize(len, 0);
    As<DataHead>(r).m_DataLen = wire::HostToLe32(len);
    return r;
}

template <typename T> std::vector<uint8_t> User(uint32_t type, uint32_t len, int32_t action = 1)
{
    auto r = MakeRecord(type, len);
    auto& u = As<T>(r);
    u.m_Action = action;
    u.m_Result = 1;
    u.m_ServiceType = 2;
    u.m_ServerAttr = 1;
    u.m_AuthMethod = 300;
    u.m_ServerIP = wire::HostToNet32(0xC0A80102);
    u.m_ServerPort = wire::HostToNet16(443);
    std::strcpy(u.m_UserName, "alice");
    std::strcpy(u.m_Message, "hello");
    u.m_UpFlux = 5;
    u.m_DownFlux = 6;
    return r;
}

inline std::vector<uint8_t> Alarm(int32_t alarmType = 3)
{
    auto r = MakeRecord(LOG_TYPE_ALARM, ALARM_LOG_LEN);
    As<AlarmLog>(r).m_AlarmType = alarmType;
    std::strcpy(As<AlarmLog>(r).m_Message, "disk warning");
    return r;
}

inline void Mask(std::vector<uint8_t>& r)
{
    As<DataHead>(r).m_Masked = 1;
    wire::InvertBody(r.data(), r.size());
}
} // namespace rectest
