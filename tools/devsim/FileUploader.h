// Upload mode of devsim: one device pushes its directories and uploads a file as an audit-file transfer
// (begin, blocks, end), resends what the collector reports missing, and checks every reply.
#pragma once

#include "DevSimOptions.h"
#include "DirectoryXml.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace devsim
{
struct SUploadReport
{
    uint32_t m_FileID = 0;
    uint64_t m_FileSize = 0;
    uint32_t m_Blocks = 0;
    uint32_t m_BlocksSent = 0;
    uint32_t m_BlocksResent = 0;
    uint32_t m_Compressed = 0;
    uint32_t m_Ends = 0;
    std::string m_MissingReports;     // "first+count;..." as the collector reported them
    std::string m_ScriptEnd;          // answer to the end after --upload-blocks: "failed,reason,first,count"
    std::vector<std::string> m_Items; // each scripted block: "no,offset,stated size,wire bytes,fits"
    std::string m_StoredSha1;
    std::string m_StoredPath;
    int32_t m_LastReason = -1;
    bool m_Ok = false;
    std::string m_Error;
};

class CFileUploader
{
public:
    explicit CFileUploader(const CDevSimOptions& opt);
    ~CFileUploader();

    // Runs the whole upload; false on any failure (the report says which).
    bool Run();
    const SUploadReport& Report() const { return m_Report; }
    void PrintReport() const;

    // How many end rounds (each followed by a resend of the reported blocks) are tried.
    static constexpr int MAX_END_ROUNDS = 64;
    static constexpr uint32_t TIME_OUT_SECONDS = 600;

private:
    bool Fail(const std::string& why);
    bool Connect();
    bool SendAll(const std::vector<uint8_t>& rec);
    bool RecvExact(uint8_t* out, size_t n);
    bool Push(int32_t updateType, const std::string& xml);

    std::vector<uint8_t> Record(int32_t op, size_t dataLen) const;
    bool SendBegin();
    bool SendBlock(uint32_t no);
    // The --upload-blocks items, then one end; the answer goes to the report.
    bool SendScriptedBlocks();
    bool SendScriptedBlock(size_t index, const std::string& item);
    bool SendEnd(uint8_t reply[75]);
    // Reads a 75-byte answer (unmasked) into reply; false when it is not a well-formed answer to this step.
    bool ReadAnswer(uint8_t reply[75]);
    bool CheckStored(const uint8_t* stored);

    const CDevSimOptions& m_Opt;
    CDirectoryXml m_Dir;
    std::string m_Sign;
    uint8_t m_Key[16] = {};
    unsigned m_Date = 0, m_Time = 0;
    std::string m_User;
    int32_t m_GroupID = 1;
    std::string m_ClientPath;
    std::vector<uint8_t> m_File;
    uint8_t m_Sha1[20] = {};
    std::set<uint32_t> m_Skip;
    int m_Fd = -1;
    SUploadReport m_Report;
};
} // namespace devsim
