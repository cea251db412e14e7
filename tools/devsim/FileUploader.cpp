#include "FileUploader.h"

#include "RecordEncoder.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <lzo/lzo1b.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace devsim
{
namespace
{
constexpr uint32_t kAuditType = 12;
constexpr uint32_t kAnswerType = 13;
constexpr uint32_t kStoredType = 14;
constexpr size_t kDataOff = 718;
constexpr size_t kAnswerLen = 75;
constexpr size_t kStoredLen = 930;
constexpr uint32_t kWord1 = 0xA1B2C3D4, kWord2 = 0x01020304;

void PutBe64(uint8_t* p, uint64_t v)
{
    PutBe32(p, uint32_t(v >> 32));
    PutBe32(p + 4, uint32_t(v));
}
uint32_t GetBe32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
std::string HexUpper(const uint8_t* p, size_t n)
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
} // namespace

CFileUploader::CFileUploader(const CDevSimOptions& opt)
    : m_Opt(opt), m_Dir(opt.m_Users, opt.m_Groups, opt.m_DirNetOrder)
{
    m_Sign = opt.m_Sign == "0500" ? "logs0500" : "logs1111";
    Md5Raw(opt.DeviceSecret(0), m_Key);
    m_User = opt.m_UploadUser.empty() ? m_Dir.Users().front().m_Name : opt.m_UploadUser;
    if (m_User.rfind("hex:", 0) == 0)
    {
        // Any bytes, NUL included, as the user name.
        std::string raw;
        for (size_t i = 4; i + 1 < m_User.size(); i += 2)
            raw.push_back(char(std::stoi(m_User.substr(i, 2), nullptr, 16)));
        m_User = raw;
    }
    m_GroupID = m_Dir.Users().front().m_GroupID;
    for (const auto& u : m_Dir.Users())
        if (u.m_Name == m_User)
            m_GroupID = u.m_GroupID;
    unsigned y, mo, d, h, mi, s;
    if (!opt.m_FixedTime.empty() &&
        std::sscanf(opt.m_FixedTime.c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) == 6)
    {
    }
    else
    {
        time_t now = time(nullptr);
        tm t{};
        localtime_r(&now, &t);
        y = unsigned(t.tm_year + 1900), mo = unsigned(t.tm_mon + 1), d = unsigned(t.tm_mday);
        h = unsigned(t.tm_hour), mi = unsigned(t.tm_min), s = unsigned(t.tm_sec);
    }
    m_Date = y << 16 | mo << 8 | d;
    m_Time = h << 16 | mi << 8 | s;
    size_t slash = opt.m_Upload.find_last_of('/');
    m_ClientPath = "C:\\Users\\" + m_User + "\\Upload\\" +
                   (slash == std::string::npos ? opt.m_Upload : opt.m_Upload.substr(slash + 1));
    size_t pos = 0;
    const std::string& skip = opt.m_SkipBlocks;
    while (pos < skip.size())
    {
        size_t comma = skip.find(',', pos);
        std::string item = skip.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (!item.empty())
            m_Skip.insert(uint32_t(std::strtoul(item.c_str(), nullptr, 10)));
        pos = comma == std::string::npos ? skip.size() : comma + 1;
    }
}

CFileUploader::~CFileUploader()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

bool CFileUploader::Fail(const std::string& why)
{
    if (m_Report.m_Error.empty())
        m_Report.m_Error = why;
    m_Report.m_Ok = false;
    return false;
}

bool CFileUploader::Connect()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(m_Opt.m_Host.c_str(), std::to_string(m_Opt.m_Port).c_str(), &hints, &res) != 0)
        return Fail("cannot resolve host");
    for (addrinfo* ai = res; ai && m_Fd < 0; ai = ai->ai_next)
    {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            m_Fd = fd;
        else if (fd >= 0)
            close(fd);
    }
    freeaddrinfo(res);
    if (m_Fd < 0)
        return Fail(std::string("cannot connect: ") + std::strerror(errno));
    int one = 1;
    setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return true;
}

bool CFileUploader::SendAll(const std::vector<uint8_t>& rec)
{
    std::vector<uint8_t> bytes = rec;
    if (m_Opt.m_Mask)
    {
        bytes[41] = 1;
        CRecordEncoder::InvertBody(bytes.data(), bytes.size());
    }
    size_t done = 0;
    while (done < bytes.size())
    {
        ssize_t n = send(m_Fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail(std::string("send failed: ") + std::strerror(errno));
        done += size_t(n);
    }
    return true;
}

bool CFileUploader::RecvExact(uint8_t* out, size_t n)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(m_Opt.m_ReplyTimeout);
    size_t got = 0;
    while (got < n)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Fail("no reply within the reply time-out");
        pollfd pfd{m_Fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left.count())) <= 0)
            continue;
        ssize_t r = recv(m_Fd, out + got, n - got, 0);
        if (r <= 0)
            return Fail("connection closed while waiting for a reply");
        got += size_t(r);
    }
    return true;
}

bool CFileUploader::Push(int32_t updateType, const std::string& xml)
{
    CRecordEncoder enc(m_Sign, m_Key, m_Opt.m_Mask);
    std::vector<uint8_t> rec;
    enc.Logudt(rec, updateType, Md5Hex(xml, false), xml);
    size_t done = 0;
    while (done < rec.size())
    {
        ssize_t n = send(m_Fd, rec.data() + done, rec.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return Fail("send failed during the directory push");
        done += size_t(n);
    }
    uint8_t reply[kPushReplyLen];
    if (!RecvExact(reply, sizeof(reply)))
        return false;
    if (GetLe32(reply + 28) != kPushReplyLen)
        return Fail("bad directory push reply");
    return true;
}

std::vector<uint8_t> CFileUploader::Record(int32_t op, size_t dataLen) const
{
    std::vector<uint8_t> r(kDataOff + (dataLen == 0 ? 1 : dataLen), 0);
    uint8_t* p = r.data();
    std::memcpy(p, m_Sign.data(), 8);
    std::memcpy(p + 8, m_Key, 16);
    PutLe32(p + 24, kAuditType);
    PutLe32(p + 28, uint32_t(r.size()));
    PutBe32(p + 32, m_Date);
    PutBe32(p + 36, m_Time);
    PutLe32(p + 42, kWord1);
    PutLe32(p + 46, kWord2);
    PutBe32(p + 50, uint32_t(m_GroupID));
    PutText(p + 54, 100, m_User);
    PutLe32(p + 154, uint32_t(op));
    return r;
}

bool CFileUploader::ReadAnswer(uint8_t reply[75])
{
    if (!RecvExact(reply, kAnswerLen))
        return false;
    if (m_Opt.m_Mask)
    {
        if (reply[41] == 0)
            return Fail("answer to a masked step is not masked");
        CRecordEncoder::InvertBody(reply, kAnswerLen);
    }
    if (std::memcmp(reply, m_Sign.data(), 8) != 0 || std::memcmp(reply + 8, m_Key, 16) != 0 ||
        GetLe32(reply + 24) != kAnswerType || GetLe32(reply + 28) != kAnswerLen ||
        GetLe32(reply + 42) != kWord1 || GetLe32(reply + 46) != kWord2 || GetLe32(reply + 58) != kAuditType)
        return Fail("malformed audit-file answer");
    return true;
}

bool CFileUploader::SendBegin()
{
    auto r = Record(1, 0);
    uint8_t* p = r.data();
    PutLe32(p + 158, m_Opt.m_TransferKind);
    PutText(p + 162, 520, m_ClientPath);
    PutBe64(p + 682, m_File.size());
    PutBe64(p + 690, m_File.size());
    PutBe32(p + 698, m_Opt.m_BlockSize);
    PutBe32(p + 702, TIME_OUT_SECONDS);
    if (!SendAll(r))
        return false;
    uint8_t reply[kAnswerLen];
    if (!ReadAnswer(reply))
        return false;
    m_Report.m_LastReason = int32_t(GetLe32(reply + 54));
    if (GetLe32(reply + 50) != 0)
        return Fail("begin refused, reason " + std::to_string(m_Report.m_LastReason));
    m_Report.m_FileID = GetBe32(reply + 62);
    return true;
}

bool CFileUploader::SendBlock(uint32_t no)
{
    const size_t bs = m_Opt.m_BlockSize;
    const size_t start = size_t(no) * bs;
    if (start >= m_File.size())
        return true;
    const size_t len = std::min(bs, m_File.size() - start);
    const uint8_t* data = m_File.data() + start;
    std::vector<uint8_t> packed;
    bool compressed = false;
    if (m_Opt.m_CompressLzo)
    {
        static std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
        packed.resize(len + len / 16 + 64 + 3);
        lzo_uint n = packed.size();
        if (lzo1b_1_compress(data, len, packed.data(), &n, work.data()) == LZO_E_OK && n < len)
        {
            packed.resize(n);
            compressed = true;
        }
    }
    const size_t bodyLen = compressed ? packed.size() : len;
    auto r = Record(2, bodyLen);
    uint8_t* p = r.data();
    PutBe32(p + 158, m_Report.m_FileID);
    PutBe32(p + 162, no);
    PutLe32(p + 706, compressed ? 3 : 0);
    PutBe32(p + 710, uint32_t(len));
    PutBe32(p + 714, uint32_t(compressed ? bodyLen : 0));
    std::memcpy(p + kDataOff, compressed ? packed.data() : data, bodyLen);
    m_Report.m_Compressed += compressed ? 1 : 0;
    ++m_Report.m_BlocksSent;
    return SendAll(r);
}

bool CFileUploader::SendEnd(uint8_t reply[75])
{
    auto r = Record(3, 20);
    PutBe32(r.data() + 158, m_Report.m_FileID);
    PutBe32(r.data() + 710, 20);
    std::memcpy(r.data() + kDataOff, m_Sha1, 20);
    if (!SendAll(r))
        return false;
    ++m_Report.m_Ends;
    return ReadAnswer(reply);
}

bool CFileUploader::SendScriptedBlock(size_t index, const std::string& item)
{
    const uint64_t bs = m_Opt.m_BlockSize;
    std::vector<std::string> fields;
    for (size_t pos = 0; pos <= item.size();)
    {
        size_t colon = item.find(':', pos);
        fields.push_back(item.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos));
        pos = colon == std::string::npos ? item.size() + 1 : colon + 1;
    }
    auto number = [&](const std::string& text, uint64_t& out)
    {
        char* end = nullptr;
        errno = 0;
        out = std::strtoull(text.c_str(), &end, 10);
        return !text.empty() && errno == 0 && *end == '\0';
    };
    uint64_t no = 0;
    if (!number(fields[0], no) || no > 0xFFFFFFFFu)
        return Fail("bad block number in --upload-blocks item " + item);
    uint64_t src = no, len = 0, declare = 0, csize = 0, flips = 0;
    bool hasLen = false, hasDeclare = false, hasCsize = false, trunc = false;
    int compress = -1; // -1: as --compress says (and only when it helps)
    for (size_t i = 1; i < fields.size(); ++i)
    {
        const std::string& f = fields[i];
        const size_t eq = f.find('=');
        const std::string key = f.substr(0, eq), value = eq == std::string::npos ? "" : f.substr(eq + 1);
        uint64_t v = 0;
        if (key == "lzo" || key == "raw")
            compress = key == "lzo";
        else if (key == "trunc")
            trunc = true;
        else if (!number(value, v))
            return Fail("bad modifier in --upload-blocks item " + item);
        else if (key == "src")
            src = v;
        else if (key == "len" && v <= 64u * 1024 * 1024)
            len = v, hasLen = true;
        else if (key == "flip")
            flips = v;
        else if (key == "declare" && v <= 0xFFFFFFFFu)
            declare = v, hasDeclare = true;
        else if (key == "csize" && v <= 0xFFFFFFFFu)
            csize = v, hasCsize = true;
        else
            return Fail("bad modifier in --upload-blocks item " + item);
    }

    // The bytes: the file's from src * block size on, then a filler (which compresses very well).
    const uint64_t start = src * bs;
    if (!hasLen)
        len = start < m_File.size() ? std::min<uint64_t>(bs, m_File.size() - start) : bs;
    std::vector<uint8_t> data(len, 0x5A);
    if (start < m_File.size())
        std::memcpy(data.data(), m_File.data() + start, std::min<uint64_t>(len, m_File.size() - start));

    std::vector<uint8_t> packed;
    bool lzo = compress == 1 || (compress == -1 && m_Opt.m_CompressLzo);
    if (lzo)
    {
        static std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
        packed.resize(len + len / 16 + 64 + 3);
        lzo_uint n = packed.size();
        if (lzo1b_1_compress(data.data(), len, packed.data(), &n, work.data()) != LZO_E_OK)
            return Fail("lzo1b_1_compress failed");
        packed.resize(n);
        if (compress == -1 && n >= len)
            lzo = false;
    }
    std::vector<uint8_t>& body = lzo ? packed : data;
    if (trunc)
        body.resize(body.size() / 2);
    std::mt19937 rng(uint32_t(index + 1));
    for (uint64_t k = 0; k < flips && !body.empty(); ++k)
        body[rng() % body.size()] ^= uint8_t(1u << (rng() % 8));
    const uint32_t stated = uint32_t(hasDeclare ? declare : len);
    const uint32_t statedCompressed = uint32_t(hasCsize ? csize : lzo ? body.size() : 0);

    // Whether a sound receiver writes (some of) it: inside the file, no larger than a block, and its data
    // giving exactly the stated size.
    const uint64_t offset = no * bs;
    bool fits = stated > 0 && stated <= bs && offset < m_File.size();
    if (fits && !lzo)
        fits = stated <= body.size();
    else if (fits)
    {
        std::vector<uint8_t> out(stated);
        lzo_uint n = stated;
        fits = statedCompressed <= body.size() &&
               lzo1b_decompress_safe(body.data(), statedCompressed, out.data(), &n, nullptr) == LZO_E_OK &&
               n == stated;
    }
    m_Report.m_Items.push_back(std::to_string(no) + "," + std::to_string(offset) + "," +
                               std::to_string(stated) + "," + std::to_string(body.size()) + "," +
                               (fits ? "1" : "0"));

    auto r = Record(2, body.size());
    uint8_t* p = r.data();
    PutBe32(p + 158, m_Report.m_FileID);
    PutBe32(p + 162, uint32_t(no));
    PutLe32(p + 706, lzo ? 3 : 0);
    PutBe32(p + 710, stated);
    PutBe32(p + 714, statedCompressed);
    if (!body.empty())
        std::memcpy(p + kDataOff, body.data(), body.size());
    m_Report.m_Compressed += lzo ? 1 : 0;
    ++m_Report.m_BlocksSent;
    return SendAll(r);
}

bool CFileUploader::SendScriptedBlocks()
{
    const std::string& list = m_Opt.m_UploadBlocks;
    size_t index = 0;
    for (size_t pos = 0; pos < list.size(); ++index)
    {
        size_t comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? list.size() : comma + 1;
        if (!SendScriptedBlock(index, item))
            return false;
    }
    // Blocks get no answer; the end's answer comes after all of them were taken.
    uint8_t reply[kAnswerLen];
    if (!SendEnd(reply))
        return false;
    const uint32_t failed = GetLe32(reply + 50);
    m_Report.m_LastReason = int32_t(GetLe32(reply + 54));
    m_Report.m_ScriptEnd = std::to_string(failed) + "," + std::to_string(m_Report.m_LastReason) + "," +
                           std::to_string(GetLe32(reply + 66)) + "," + std::to_string(GetLe32(reply + 70));
    if (GetBe32(reply + 62) != m_Report.m_FileID)
        return Fail("answer to the end names another file id");
    if (failed == 0)
    {
        // Complete after all: the stored-file record follows; the transfer is over.
        uint8_t stored[kStoredLen];
        if (!RecvExact(stored, kStoredLen))
            return false;
        if (m_Opt.m_Mask)
            CRecordEncoder::InvertBody(stored, kStoredLen);
        return CheckStored(stored);
    }
    return true;
}

bool CFileUploader::CheckStored(const uint8_t* stored)
{
    if (GetLe32(stored + 24) != kStoredType || GetLe32(stored + 28) != kStoredLen)
        return Fail("malformed stored-file record");
    uint64_t size = uint64_t(GetLe32(stored + 666)) | uint64_t(GetLe32(stored + 670)) << 32;
    m_Report.m_StoredSha1.assign(reinterpret_cast<const char*>(stored + 674),
                                 strnlen((const char*)stored + 674, 256));
    m_Report.m_StoredPath.assign(reinterpret_cast<const char*>(stored + 146),
                                 strnlen((const char*)stored + 146, 520));
    if (size != m_File.size())
        return Fail("stored-file record names another size");
    if (m_Report.m_StoredSha1 != HexUpper(m_Sha1, 20))
        return Fail("stored-file record names another SHA-1");
    if (m_Report.m_StoredPath != m_ClientPath)
        return Fail("stored-file record names another path");
    if (std::string(reinterpret_cast<const char*>(stored + 46), strnlen((const char*)stored + 46, 100)) !=
        m_User)
        return Fail("stored-file record names another user");
    return true;
}

bool CFileUploader::Run()
{
    std::ifstream in(m_Opt.m_Upload, std::ios::binary);
    if (!in)
        return Fail("cannot read " + m_Opt.m_Upload);
    m_File.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    m_Report.m_FileSize = m_File.size();
    unsigned int n = 0;
    EVP_Digest(m_File.data(), m_File.size(), m_Sha1, &n, EVP_sha1(), nullptr);
    if (lzo_init() != LZO_E_OK)
        return Fail("lzo_init failed");
    if (!Connect())
        return false;
    if (!m_Opt.m_NoPush && (!Push(0, m_Dir.AdminDocument()) || !Push(1, m_Dir.UserDocument())))
        return false;
    if (!SendBegin())
        return false;
    if (!m_Opt.m_UploadBlocks.empty())
    {
        if (!SendScriptedBlocks())
            return false;
        if (!m_Opt.m_UploadFinish || m_Report.m_ScriptEnd.rfind("0,", 0) == 0)
        {
            m_Report.m_Ok = true;
            return true;
        }
    }

    const bool data = m_Opt.m_TransferKind == 2;
    const uint32_t blocks = data ? uint32_t((m_File.size() + m_Opt.m_BlockSize - 1) / m_Opt.m_BlockSize) : 0;
    m_Report.m_Blocks = blocks;
    for (uint32_t b = 0; b < blocks; ++b)
    {
        if (m_Skip.count(b))
            continue;
        for (int rep = 0; rep < (m_Opt.m_RepeatBlocks ? 2 : 1); ++rep)
            if (!SendBlock(b))
                return false;
    }
    for (int round = 0; round < MAX_END_ROUNDS; ++round)
    {
        uint8_t reply[kAnswerLen];
        if (!SendEnd(reply))
            return false;
        const uint32_t failed = GetLe32(reply + 50);
        m_Report.m_LastReason = int32_t(GetLe32(reply + 54));
        if (GetBe32(reply + 62) != m_Report.m_FileID)
            return Fail("answer to the end names another file id");
        if (failed == 0)
        {
            uint8_t stored[kStoredLen];
            if (!RecvExact(stored, kStoredLen))
                return false;
            if (m_Opt.m_Mask)
                CRecordEncoder::InvertBody(stored, kStoredLen);
            if (!CheckStored(stored))
                return false;
            m_Report.m_Ok = true;
            return true;
        }
        if (m_Report.m_LastReason != 5)
            return Fail("end refused, reason " + std::to_string(m_Report.m_LastReason));
        const uint32_t first = GetLe32(reply + 66), count = GetLe32(reply + 70);
        if (!m_Report.m_MissingReports.empty())
            m_Report.m_MissingReports += ";";
        m_Report.m_MissingReports += std::to_string(first) + "+" + std::to_string(count);
        if (count == 0 || first >= blocks)
            return Fail("the collector reports blocks that do not exist");
        for (uint32_t b = first; b < first + count && b < blocks; ++b)
        {
            if (!SendBlock(b))
                return false;
            ++m_Report.m_BlocksResent;
        }
    }
    return Fail("still incomplete after " + std::to_string(MAX_END_ROUNDS) + " ends");
}

void CFileUploader::PrintReport() const
{
    const SUploadReport& r = m_Report;
    std::printf("upload.file=%s\nupload.user=%s\nupload.file_size=%llu\nupload.file_id=%u\n",
                m_Opt.m_Upload.c_str(), m_User.c_str(), (unsigned long long)r.m_FileSize, r.m_FileID);
    std::printf(
        "upload.blocks=%u\nupload.blocks_sent=%u\nupload.blocks_compressed=%u\nupload.blocks_resent=%u\n",
        r.m_Blocks, r.m_BlocksSent, r.m_Compressed, r.m_BlocksResent);
    std::printf("upload.ends=%u\nupload.missing=%s\nupload.last_reason=%d\n", r.m_Ends,
                r.m_MissingReports.c_str(), r.m_LastReason);
    std::printf("upload.sha1=%s\nupload.stored_sha1=%s\n", HexUpper(m_Sha1, 20).c_str(),
                r.m_StoredSha1.c_str());
    for (size_t i = 0; i < r.m_Items.size(); ++i)
        std::printf("upload.item.%zu=%s\n", i, r.m_Items[i].c_str());
    if (!r.m_ScriptEnd.empty())
        std::printf("upload.script_end=%s\n", r.m_ScriptEnd.c_str());
    if (!r.m_Error.empty())
        std::printf("upload.error=%s\n", r.m_Error.c_str());
    std::printf("result=%s\n", r.m_Ok ? "ok" : "fail");
}
} // namespace devsim
