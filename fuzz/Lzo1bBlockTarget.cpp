// Compressed audit-file blocks: the input is a block as a device sends it (method 3), preceded by the
// size the block claims once decompressed; odd first bytes instead give data to compress and restore.
//
// Checked: the decoder never writes past the claimed size (the output buffer is exactly that large),
// reports success or one of its documented codes, and restores what the compressor produced.
#include "fuzz/FuzzEnv.h"

#include "writers/AuditFileReception.h"

#include <cstring>
#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>
#include <vector>

namespace qbfuzz
{
namespace
{
constexpr size_t MAX_CLAIMED = 1u << 20;
}

int FuzzLzo1bBlock(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint8_t mode = data[0];
    uint32_t claimed =
        (static_cast<uint32_t>(data[1]) << 16 | static_cast<uint32_t>(data[2]) << 8 | data[3]) %
        (MAX_CLAIMED + 1);
    const uint8_t* in = data + 4;
    const size_t inLen = size - 4;

    if (mode & 1)
    {
        // Round trip: what the device's compressor makes comes back byte for byte.
        static bool s_LzoReady = lzo_init() == LZO_E_OK;
        QB_FUZZ_CHECK(s_LzoReady);
        std::vector<uint8_t> packed(inLen + inLen / 16 + 64 + 3);
        std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
        lzo_uint packedLen = packed.size();
        QB_FUZZ_CHECK(lzo1b_1_compress(in, inLen, packed.data(), &packedLen, work.data()) == LZO_E_OK);
        std::vector<uint8_t> out(inLen + 1); // never empty: an empty vector has no buffer to name
        size_t outLen = inLen;
        QB_FUZZ_CHECK(CAuditFileReception::DecompressBlock(packed.data(), packedLen, out.data(), outLen) ==
                      0);
        QB_FUZZ_CHECK(outLen == inLen);
        QB_FUZZ_CHECK(inLen == 0 || std::memcmp(out.data(), in, inLen) == 0);
        return 0;
    }

    // A heap buffer of exactly the claimed size: one byte more written is a sanitizer report.
    std::vector<uint8_t> out(claimed == 0 ? 1 : claimed);
    size_t outLen = claimed;
    int r = CAuditFileReception::DecompressBlock(in, inLen, claimed == 0 ? nullptr : out.data(), outLen);
    // 0, or -1 (no buffer) and -4..-8 from the decoder.
    QB_FUZZ_CHECK(r == 0 || r == -1 || (r <= -4 && r >= -8));
    QB_FUZZ_CHECK(outLen <= claimed);
    return 0;
}
} // namespace qbfuzz
