// Decompression of compressed audit-file blocks: streams made by the LZO1B compressor round-trip, and
// hand-made streams give each of the decoder's failure codes instead of reading or writing out of
// bounds.
#include "writers/AuditFileReception.h"

#include <cstring>
#include <gtest/gtest.h>
#include <lzo/lzo1b.h>
#include <random>
#include <vector>

namespace
{
std::vector<uint8_t> Compress(const std::vector<uint8_t>& in, bool best)
{
    EXPECT_EQ(lzo_init(), LZO_E_OK);
    std::vector<uint8_t> out(in.size() + in.size() / 16 + 64 + 3);
    std::vector<uint8_t> work(LZO1B_999_MEM_COMPRESS > LZO1B_MEM_COMPRESS ? LZO1B_999_MEM_COMPRESS
                                                                          : LZO1B_MEM_COMPRESS);
    lzo_uint n = out.size();
    int r = best ? lzo1b_999_compress(in.data(), in.size(), out.data(), &n, work.data())
                 : lzo1b_1_compress(in.data(), in.size(), out.data(), &n, work.data());
    EXPECT_EQ(r, LZO_E_OK);
    out.resize(n);
    return out;
}

std::vector<uint8_t> TextBlock(size_t n)
{
    const char* words[] = {"audit ", "file ", "block ", "gateway ", "upload ", "\r\n"};
    std::vector<uint8_t> v;
    std::mt19937 rng(7);
    while (v.size() < n)
    {
        const char* w = words[rng() % 6];
        v.insert(v.end(), w, w + strlen(w));
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> RandomBlock(size_t n)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(11);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

int Decode(const std::vector<uint8_t>& in, size_t cap, std::vector<uint8_t>& out)
{
    out.assign(cap + 16, 0xEE); // guard bytes past the limit must stay untouched
    size_t n = cap;
    int r = CAuditFileReception::DecompressBlock(in.data(), in.size(), out.data(), n);
    for (size_t i = cap; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xEE) << "wrote past the output limit at " << i;
    out.resize(n);
    return r;
}
} // namespace

TEST(AuditDecompress, CompressorOutputRoundTrips)
{
    for (bool best : {false, true})
    {
        for (const auto& block : {TextBlock(65536), RandomBlock(65536), TextBlock(1),
                                  std::vector<uint8_t>(4096, 0), RandomBlock(300000)})
        {
            auto packed = Compress(block, best);
            std::vector<uint8_t> out;
            ASSERT_EQ(Decode(packed, block.size(), out), 0);
            EXPECT_EQ(out, block);
        }
    }
}

TEST(AuditDecompress, HandMadeStreams)
{
    std::vector<uint8_t> out;
    // Literal "abc", a three-byte copy from three back, end marker.
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c', 0x42, 0x00, 0x21, 0, 0}, 100, out), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcabc");

    // -4: a literal run longer than the input; a lone end token without its distance.
    EXPECT_EQ(Decode({0x0a, 'a', 'b', 'c'}, 100, out), LZO_E_INPUT_OVERRUN);
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c', 0x21, 0}, 100, out), LZO_E_INPUT_OVERRUN);
    // -5: more output than the limit allows.
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c', 0x42, 0x00, 0x21, 0, 0}, 4, out), LZO_E_OUTPUT_OVERRUN);
    // -6: a copy from before the start of the output.
    EXPECT_EQ(Decode({0x01, 'a', 0x40, 0x05, 0x21, 0, 0}, 100, out), LZO_E_LOOKBEHIND_OVERRUN);
    EXPECT_EQ(Decode({0x80, 0x00, 0x21, 0, 0}, 100, out), LZO_E_LOOKBEHIND_OVERRUN);
    // -7: the input ends without the end marker.
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c'}, 100, out), LZO_E_EOF_NOT_FOUND);
    // -8: bytes after the end marker.
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c', 0x21, 0, 0, 0x00}, 100, out), LZO_E_INPUT_NOT_CONSUMED);
}

TEST(AuditDecompress, DamagedCompressorOutputFailsWithinItsBounds)
{
    auto block = TextBlock(20000);
    auto packed = Compress(block, false);
    std::vector<uint8_t> out;
    auto cut = packed;
    cut.resize(cut.size() - 3); // end marker gone
    EXPECT_EQ(Decode(cut, block.size(), out), LZO_E_EOF_NOT_FOUND);
    cut.resize(cut.size() / 2);
    int r = Decode(cut, block.size(), out);
    EXPECT_TRUE(r == LZO_E_INPUT_OVERRUN || r == LZO_E_EOF_NOT_FOUND) << r;
    // Output limit below the block: refused, nothing beyond the limit touched (checked in Decode).
    EXPECT_EQ(Decode(packed, block.size() - 1, out), LZO_E_OUTPUT_OVERRUN);
    // Flipped bytes anywhere: any result, but never a write past the limit.
    std::mt19937 rng(3);
    for (int i = 0; i < 500; ++i)
    {
        auto bad = packed;
        bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        Decode(bad, block.size(), out);
    }
}
