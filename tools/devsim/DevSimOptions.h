// Command line of devsim.
#pragma once

#include <cstdint>
#include <string>

namespace devsim
{
enum ERecordKind
{
    KIND_KEEPALIVE,
    KIND_USERV1,
    KIND_USERV2,
    KIND_USERV3,
    KIND_FLUX,
    KIND_SVC,
    KIND_ADMIN,
    KIND_AUDIT,
    KIND_ALARM,
    KIND_SYS,
    KIND_COUNT
};
extern const char* const kKindNames[KIND_COUNT];

struct CDevSimOptions
{
    std::string m_Host = "127.0.0.1";
    uint16_t m_Port = 9501;
    int m_Devices = 1;
    int m_FirstIndex = 1;
    std::string m_NamePrefix = "dev";
    std::string m_SecretPrefix = "secret";
    std::string m_Secret; // non-empty: the same secret for every device
    unsigned m_Mix[KIND_COUNT] = {1, 1, 1, 4, 4, 4, 1, 1, 1, 2};
    double m_Rate = 0;      // records/s per device, 0 = flat out
    uint64_t m_Count = 0;   // records per device (0 with no --seconds: 1000)
    double m_Seconds = 0;   // stream for this long instead of a count
    std::string m_StopFile; // stream until this file exists (a run of unknown length)
    bool m_Mask = false;
    double m_Garbage = 0; // probability of garbage before a record
    bool m_Seq = false;
    uint64_t m_ReconnectEvery = 0; // > 0: a new connection after this many records
    bool m_Probe = false;
    bool m_NoPush = false;
    bool m_Md5Short = false;
    bool m_DirNetOrder = false;
    int m_Users = 4;
    int m_Groups = 2;
    std::string m_Sign = "1111"; // 1111, 0500 or alt
    std::string m_Dump;
    bool m_Offline = false;
    std::string m_FixedTime; // "YYYY-MM-DD HH:MM:SS"
    double m_ReplyTimeout = 10;
    uint64_t m_Seed = 1;
    bool m_Quiet = false;
    // Scripted mode: the records of FILE, one a line, instead of the mix; pushes of given documents.
    std::string m_Records;
    std::string m_AdminDoc;
    std::string m_UserDoc;

    // Upload mode: push the directories, then upload one file as an audit-file transfer.
    std::string m_Upload;     // the file; empty = no upload
    std::string m_UploadUser; // empty: the first user of the pushed directory
    uint32_t m_BlockSize = 65536;
    bool m_CompressLzo = true;   // --compress lzo|none
    std::string m_SkipBlocks;    // "2,3": left out of the first pass
    bool m_RepeatBlocks = false; // every block sent twice
    uint32_t m_TransferKind = 2; // 2: file data follows, 1: no data blocks
    // Scripted blocks ("NO[:MOD...],..."): sent after the begin in this order, then one end; the
    // transfer is left open unless m_UploadFinish.
    std::string m_UploadBlocks;
    bool m_UploadFinish = false; // after the scripted blocks and their end, upload the file as usual

    // Parses argv; on error prints a message and returns false. --help prints usage and sets m_Help.
    bool Parse(int argc, char** argv);
    bool m_Help = false;
    static void PrintUsage(const char* prog);

    std::string DeviceName(int i) const { return m_NamePrefix + std::to_string(m_FirstIndex + i); }
    std::string DeviceSecret(int i) const
    {
        return m_Secret.empty() ? m_SecretPrefix + std::to_string(m_FirstIndex + i) : m_Secret;
    }
    uint64_t EffectiveCount() const
    {
        return (m_Count == 0 && m_Seconds <= 0 && m_StopFile.empty()) ? 1000 : m_Count;
    }
};
} // namespace devsim
