#include "DevSimOptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim
{
const char* const kKindNames[KIND_COUNT] = {"keepalive", "userv1", "userv2", "userv3", "flux",
                                            "svc",       "admin",  "audit",  "alarm",  "sys"};

void CDevSimOptions::PrintUsage(const char* prog)
{
    std::printf(
        "NAME\n"
        "    devsim - simulated SSL VPN gateways for the collector's device port\n"
        "SYNOPSIS\n"
        "    %s [options]\n"
        "DESCRIPTION\n"
        "    Simulates SSL VPN gateways streaming log records to the collector's device port.\n"
        "    Each device connects, pushes its administrator and user directories (waiting for each\n"
        "    74-byte push reply), streams a mix of records, ends with a keepalive, waits for every\n"
        "    keepalive reply and closes. A report of what was sent and received is printed at the end.\n"
        "OPTIONS\n"
        "Connection:\n"
        "  --host H              collector address (default 127.0.0.1)\n"
        "  --port P              device port (default 9501)\n"
        "  --devices N           number of devices, one connection and thread each (default 1)\n"
        "  --first-index K       index of the first device (default 1); device i is K..K+N-1\n"
        "  --name-prefix S       device name = S + index (default \"dev\")\n"
        "  --secret-prefix S     device secret = S + index (default \"secret\")\n"
        "  --secret S            the same secret for every device (overrides --secret-prefix)\n"
        "                        the device key in every head is the raw MD5 of the secret\n"
        "  --sign 1111|0500|alt  head sign \"logs1111\", \"logs0500\" or alternating per device (default "
        "1111)\n"
        "\n"
        "Records:\n"
        "  --mix k=w,...         relative weights of record kinds; kinds: keepalive userv1 userv2\n"
        "                        userv3 (logins/logouts of each version), flux (traffic records),\n"
        "                        svc (resource accesses), admin, audit, alarm, sys. Kinds not named\n"
        "                        get weight 0. Default keepalive=1,userv1=1,userv2=1,userv3=4,\n"
        "                        flux=4,svc=4,admin=1,audit=1,alarm=1,sys=2\n"
        "  --count N             records per device, pushes and the closing keepalive excluded\n"
        "                        (default 1000 when --seconds is not given)\n"
        "  --seconds S           stream for S seconds instead (with --count: whichever ends first)\n"
        "  --stop-file PATH      end the stream, as --seconds does, once PATH exists\n"
        "  --rate R              records/s per device; 0 = as fast as possible (default 0)\n"
        "  --mask                send every body inverted, with the head's masked flag set\n"
        "  --garbage P           before each record, with probability P, insert 1..64 random bytes\n"
        "  --seq                 put \"d<device>s<seq>\" at the start of every message text\n"
        "                        (seq = the record's number within its device's stream, from 1)\n"
        "  --reconnect-every N   end the connection after every N records (closing keepalive and\n"
        "                        its replies awaited), connect again and push again; sequence\n"
        "                        numbers run on across connections (closing keepalives take none)\n"
        "  --time \"Y-M-D h:m:s\"  fixed log time in every head (default: the current local time)\n"
        "  --users N             users in the pushed directory (default 4)\n"
        "  --groups N            user groups in the pushed directory (default 2)\n"
        "  --no-push             do not push directories (records then precede any synchronisation)\n"
        "  --md5-short           send the document MD5 in its unpadded \"%%x\" per byte form\n"
        "  --dir-netorder        numeric directory attributes as decimal network-order words\n"
        "  --seed N              random seed for garbage bytes (default 1)\n"
        "  --records FILE        send the records of FILE in order instead of the mix (--count is\n"
        "                        ignored), one a line: a kind, then field=value words; numbers are\n"
        "                        decimal (negative allowed), texts hex (any bytes, NUL included,\n"
        "                        up to the whole field with no terminator). Kinds and fields:\n"
        "                          keepalive devtype up down tag(head byte 40, echoed)\n"
        "                                    reply(1: a reply is expected, default)\n"
        "                          user v(1|2|3) group action result svc attr auth ip sip sport\n"
        "                               up down rawup rawdown name msg\n"
        "                          admin action entity result ip name msg\n"
        "                          audit ip msg     alarm type msg     sys type process msg\n"
        "  --admin-doc FILE      push FILE as the administrator directory instead of the built one\n"
        "  --user-doc FILE       push FILE as the user directory instead of the built one\n"
        "\n"
        "Modes:\n"
        "  --probe               send the watchdog probe, print the answer's first 14 bytes, exit\n"
        "                        0 when they are \"KELVDEVPROBE01\", 1 otherwise\n"
        "  --dump FILE           also write each device's byte stream to FILE (FILE.<index> with\n"
        "                        more than one device)\n"
        "  --offline             do not connect: only build the streams (use with --dump and --count)\n"
        "  --reply-timeout S     seconds to wait for a push reply or the last keepalive replies (default "
        "10)\n"
        "  --quiet               print only the report\n"
        "  --help                this text\n"
        "\n"
        "Audit-file upload (one device):\n"
        "  --upload FILE         push the directories, then upload FILE block by block (begin,\n"
        "                        blocks, end), resend the blocks the collector reports missing and\n"
        "                        check every reply (75-byte answers, 930-byte stored-file record)\n"
        "  --upload-user NAME    user the upload is made for (default: the first pushed user)\n"
        "                        (hex:HEX gives the name's bytes in hexadecimal)\n"
        "  --block-size N        block size in bytes (default 65536)\n"
        "  --compress lzo|none   compress blocks (sent raw when compressing does not help; default lzo)\n"
        "  --skip-blocks 2,3     leave these blocks out of the first pass\n"
        "  --repeat-blocks       send every block twice\n"
        "  --transfer-kind N     2: file data follows (default), 1: no data blocks are sent\n"
        "  --upload-blocks LIST  after the begin send these blocks instead, then one end, and leave the\n"
        "                        transfer open; items NO[:MOD...] separated by commas, NO the block\n"
        "                        number sent (0..4294967295), MOD one of: src=S (carry block S's\n"
        "                        bytes), len=L (L bytes: the file's from src*block size on, then 0x5A),\n"
        "                        lzo, raw, trunc (LZO data cut to half), flip=K (K bits of the LZO\n"
        "                        data flipped), declare=D (uncompressed size stated as D), csize=C\n"
        "                        (compressed size stated as C); each item is reported as\n"
        "                        upload.item.I=NO,offset,stated size,wire bytes,fits (fits: 1 when a\n"
        "                        sound receiver writes it: in the file, the stated size within the block\n"
        "                        size, the data decoding to exactly the stated size)\n"
        "  --upload-finish       after --upload-blocks and their end, upload the file as usual\n"
        "\n"
        "Exit status: 0 when every connection worked and every reply arrived and was right; 1 otherwise;\n"
        "2 for a usage error.\n",
        prog);
}

static bool ParseMix(const char* text, unsigned mix[KIND_COUNT])
{
    for (int k = 0; k < KIND_COUNT; ++k)
        mix[k] = 0;
    std::string s(text);
    size_t pos = 0;
    while (pos < s.size())
    {
        size_t comma = s.find(',', pos);
        std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? s.size() : comma + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        std::string name = item.substr(0, eq);
        unsigned w = eq == std::string::npos ? 1 : unsigned(std::strtoul(item.c_str() + eq + 1, nullptr, 10));
        int found = -1;
        for (int k = 0; k < KIND_COUNT; ++k)
            if (name == kKindNames[k])
                found = k;
        if (found < 0)
        {
            std::fprintf(stderr, "devsim: unknown record kind in --mix: %s\n", name.c_str());
            return false;
        }
        mix[found] = w;
    }
    unsigned total = 0;
    for (int k = 0; k < KIND_COUNT; ++k)
        total += mix[k];
    if (total == 0)
    {
        std::fprintf(stderr, "devsim: --mix gives every kind weight 0\n");
        return false;
    }
    return true;
}

bool CDevSimOptions::Parse(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const char* a = argv[i];
        auto val = [&](const char* name) -> const char*
        {
            if (i + 1 >= argc)
            {
                std::fprintf(stderr, "devsim: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
#define DEVSIM_VALUE(name)                                                                                   \
    const char* v = val(name);                                                                               \
    if (!v)                                                                                                  \
        return false;
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h"))
        {
            m_Help = true;
            return true;
        }
        else if (!std::strcmp(a, "--host"))
        {
            DEVSIM_VALUE(a) m_Host = v;
        }
        else if (!std::strcmp(a, "--port"))
        {
            DEVSIM_VALUE(a) m_Port = uint16_t(std::atoi(v));
        }
        else if (!std::strcmp(a, "--devices"))
        {
            DEVSIM_VALUE(a) m_Devices = std::atoi(v);
        }
        else if (!std::strcmp(a, "--first-index"))
        {
            DEVSIM_VALUE(a) m_FirstIndex = std::atoi(v);
        }
        else if (!std::strcmp(a, "--name-prefix"))
        {
            DEVSIM_VALUE(a) m_NamePrefix = v;
        }
        else if (!std::strcmp(a, "--secret-prefix"))
        {
            DEVSIM_VALUE(a) m_SecretPrefix = v;
        }
        else if (!std::strcmp(a, "--secret"))
        {
            DEVSIM_VALUE(a) m_Secret = v;
        }
        else if (!std::strcmp(a, "--sign"))
        {
            DEVSIM_VALUE(a) m_Sign = v;
        }
        else if (!std::strcmp(a, "--mix"))
        {
            DEVSIM_VALUE(a) if (!ParseMix(v, m_Mix)) return false;
        }
        else if (!std::strcmp(a, "--count"))
        {
            DEVSIM_VALUE(a) m_Count = std::strtoull(v, nullptr, 10);
        }
        else if (!std::strcmp(a, "--stop-file"))
        {
            DEVSIM_VALUE(a) m_StopFile = v;
        }
        else if (!std::strcmp(a, "--seconds"))
        {
            DEVSIM_VALUE(a) m_Seconds = std::atof(v);
        }
        else if (!std::strcmp(a, "--rate"))
        {
            DEVSIM_VALUE(a) m_Rate = std::atof(v);
        }
        else if (!std::strcmp(a, "--mask"))
            m_Mask = true;
        else if (!std::strcmp(a, "--garbage"))
        {
            DEVSIM_VALUE(a) m_Garbage = std::atof(v);
        }
        else if (!std::strcmp(a, "--seq"))
            m_Seq = true;
        else if (!std::strcmp(a, "--reconnect-every"))
        {
            DEVSIM_VALUE(a) m_ReconnectEvery = std::strtoull(v, nullptr, 10);
        }
        else if (!std::strcmp(a, "--time"))
        {
            DEVSIM_VALUE(a) m_FixedTime = v;
        }
        else if (!std::strcmp(a, "--users"))
        {
            DEVSIM_VALUE(a) m_Users = std::atoi(v);
        }
        else if (!std::strcmp(a, "--groups"))
        {
            DEVSIM_VALUE(a) m_Groups = std::atoi(v);
        }
        else if (!std::strcmp(a, "--no-push"))
            m_NoPush = true;
        else if (!std::strcmp(a, "--md5-short"))
            m_Md5Short = true;
        else if (!std::strcmp(a, "--dir-netorder"))
            m_DirNetOrder = true;
        else if (!std::strcmp(a, "--seed"))
        {
            DEVSIM_VALUE(a) m_Seed = std::strtoull(v, nullptr, 10);
        }
        else if (!std::strcmp(a, "--probe"))
            m_Probe = true;
        else if (!std::strcmp(a, "--dump"))
        {
            DEVSIM_VALUE(a) m_Dump = v;
        }
        else if (!std::strcmp(a, "--offline"))
            m_Offline = true;
        else if (!std::strcmp(a, "--reply-timeout"))
        {
            DEVSIM_VALUE(a) m_ReplyTimeout = std::atof(v);
        }
        else if (!std::strcmp(a, "--quiet"))
            m_Quiet = true;
        else if (!std::strcmp(a, "--records"))
        {
            DEVSIM_VALUE(a) m_Records = v;
        }
        else if (!std::strcmp(a, "--admin-doc"))
        {
            DEVSIM_VALUE(a) m_AdminDoc = v;
        }
        else if (!std::strcmp(a, "--user-doc"))
        {
            DEVSIM_VALUE(a) m_UserDoc = v;
        }
        else if (!std::strcmp(a, "--upload"))
        {
            DEVSIM_VALUE(a) m_Upload = v;
        }
        else if (!std::strcmp(a, "--upload-user"))
        {
            DEVSIM_VALUE(a) m_UploadUser = v;
        }
        else if (!std::strcmp(a, "--block-size"))
        {
            DEVSIM_VALUE(a) m_BlockSize = uint32_t(std::strtoul(v, nullptr, 10));
        }
        else if (!std::strcmp(a, "--compress"))
        {
            DEVSIM_VALUE(a) if (!std::strcmp(v, "lzo")) m_CompressLzo = true;
            else if (!std::strcmp(v, "none")) m_CompressLzo = false;
            else
            {
                std::fprintf(stderr, "devsim: --compress must be lzo or none\n");
                return false;
            }
        }
        else if (!std::strcmp(a, "--skip-blocks"))
        {
            DEVSIM_VALUE(a) m_SkipBlocks = v;
        }
        else if (!std::strcmp(a, "--repeat-blocks"))
            m_RepeatBlocks = true;
        else if (!std::strcmp(a, "--upload-blocks"))
        {
            DEVSIM_VALUE(a) m_UploadBlocks = v;
        }
        else if (!std::strcmp(a, "--upload-finish"))
            m_UploadFinish = true;
        else if (!std::strcmp(a, "--transfer-kind"))
        {
            DEVSIM_VALUE(a) m_TransferKind = uint32_t(std::strtoul(v, nullptr, 10));
        }
        else
        {
            std::fprintf(stderr, "devsim: unknown option %s (see --help)\n", a);
            return false;
        }
#undef DEVSIM_VALUE
    }
    if (m_Devices < 1 || m_Devices > 4096)
    {
        std::fprintf(stderr, "devsim: --devices must be 1..4096\n");
        return false;
    }
    if (m_Sign != "1111" && m_Sign != "0500" && m_Sign != "alt")
    {
        std::fprintf(stderr, "devsim: --sign must be 1111, 0500 or alt\n");
        return false;
    }
    if (m_Garbage < 0 || m_Garbage > 1 || m_Rate < 0)
    {
        std::fprintf(stderr, "devsim: --garbage must be 0..1 and --rate not negative\n");
        return false;
    }
    if (m_Users < 1 || m_Users > 10000)
    {
        std::fprintf(stderr, "devsim: --users must be 1..10000\n");
        return false;
    }
    if (m_Offline && m_Seconds > 0 && m_Count == 0)
    {
        std::fprintf(stderr, "devsim: --offline needs --count, not --seconds\n");
        return false;
    }
    if (!m_Upload.empty() && (m_BlockSize == 0 || m_BlockSize > 4u * 1024 * 1024))
    {
        std::fprintf(stderr, "devsim: --block-size must be 1..4194304\n");
        return false;
    }
    if (!m_FixedTime.empty())
    {
        unsigned y, mo, d, h, mi, s;
        if (std::sscanf(m_FixedTime.c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) != 6)
        {
            std::fprintf(stderr, "devsim: --time wants \"YYYY-MM-DD HH:MM:SS\"\n");
            return false;
        }
    }
    return true;
}
} // namespace devsim
