#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/Utilities.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

using qbtest::CTempDir;

bool IsDir(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
} // namespace

// ---- Time texts -----------------------------------------------------------

TEST(UtilitiesTime, PackedWordsToText)
{
    char buf[32];
    ASSERT_TRUE(TranslateDWORDTimeToSZ(0x07DC080E, 0x000E132E, buf, sizeof buf));
    EXPECT_STREQ(buf, "2012-08-14 14:19:46");

    std::string compact;
    ASSERT_TRUE(TranslateDWORDTimeToCompactSZ(0x07DC080E, 0x000E132E, compact));
    EXPECT_EQ(compact, "20120814141946");

    // Year padded with blanks, other fields with zeros.
    ASSERT_TRUE(
        TranslateDWORDTimeToSZ((5u << 16) | (1u << 8) | 2u, (3u << 16) | (4u << 8) | 5u, buf, sizeof buf));
    EXPECT_STREQ(buf, "   5-01-02 03:04:05");
    ASSERT_TRUE(TranslateDWORDTimeToCompactSZ((5u << 16) | (1u << 8) | 2u, 0, compact));
    EXPECT_EQ(compact, "   50102000000");

    // Both ends of four-digit years, and fields too wide for their places, which widen the text.
    auto text = [&](uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s)
    {
        EXPECT_TRUE(
            TranslateDWORDTimeToSZ((y << 16) | (mo << 8) | d, (h << 16) | (mi << 8) | s, buf, sizeof buf));
        return std::string(buf);
    };
    EXPECT_EQ(text(1000, 1, 1, 0, 0, 0), "1000-01-01 00:00:00");
    EXPECT_EQ(text(9999, 12, 31, 23, 59, 59), "9999-12-31 23:59:59");
    EXPECT_EQ(text(999, 1, 1, 0, 0, 0), " 999-01-01 00:00:00");
    EXPECT_EQ(text(10000, 1, 1, 0, 0, 0), "10000-01-01 00:00:00");
    EXPECT_EQ(text(2026, 255, 1, 99, 100, 7), "2026-255-01 99:100:07");
}

TEST(UtilitiesTime, BufferLimits)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0x07DC080E, 0x000E132E, nullptr, 20));
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0x07DC080E, 0x000E132E, buf, 0));
    EXPECT_EQ(buf[0], 'x');
    // Cut to size - 1 characters and terminated, nothing written past size.
    ASSERT_TRUE(TranslateDWORDTimeToSZ(0x07DC080E, 0x000E132E, buf, 5));
    EXPECT_STREQ(buf, "2012");
    EXPECT_EQ(buf[5], 'x');
}

TEST(UtilitiesTime, LeapYears)
{
    EXPECT_FALSE(IsLeapYear(0));
    EXPECT_TRUE(IsLeapYear(4));
    EXPECT_TRUE(IsLeapYear(2012));
    EXPECT_FALSE(IsLeapYear(2013));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2400));
}

// ---- Numbers and bytes ----------------------------------------------------

TEST(UtilitiesBytes, UInt64FromNetworkWords)
{
    EXPECT_EQ(MakeUInt64FromNet(htonl(0x01020304u), htonl(0xA0B0C0D0u)), 0x01020304A0B0C0D0ull);
    EXPECT_EQ(MakeUInt64FromNet(0, htonl(1)), 1ull);
    EXPECT_EQ(MakeUInt64FromNet(htonl(1), 0), 1ull << 32);
}

TEST(UtilitiesBytes, XorBufferIsItsOwnInverse)
{
    unsigned char data[] = {0x00, 0xFF, 0x5A, 0x12};
    XorBuffer(data, 4, 0x5A);
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_EQ(data[1], 0xA5);
    EXPECT_EQ(data[2], 0x00);
    EXPECT_EQ(data[3], 0x48);
    XorBuffer(data, 4, 0x5A);
    EXPECT_EQ(data[1], 0xFF);
    XorBuffer(data, 0, 0x5A);
    XorBuffer(data, -3, 0x5A);
    XorBuffer(nullptr, 4, 0x5A);
    EXPECT_EQ(data[0], 0x00);
}

// ---- SQL escaping ---------------------------------------------------------

TEST(UtilitiesEscape, SqlStringAscii)
{
    std::string s = "\\'";
    EscapeSqlString(s);
    EXPECT_EQ(s, "\\\\''");

    s = "it's a\\b ''";
    EscapeSqlString(s);
    EXPECT_EQ(s, "it''s a\\\\b ''''");

    s = "plain";
    EscapeSqlString(s);
    EXPECT_EQ(s, "plain");

    s.clear();
    EscapeSqlString(s);
    EXPECT_EQ(s, "");
}

TEST(UtilitiesEscape, SqlStringKeepsGbkTrailBackslash)
{
    // 0x95 0x5C and 0x81 0x5C are single GBK characters whose second byte is '\'.
    std::string s = Bytes({0x95, 0x5C, 0x81, 0x5C});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({0x95, 0x5C, 0x81, 0x5C}));

    // The classic injection: a lead byte followed by an escaped quote. The
    // quote must still come out doubled after the pair.
    s = Bytes({0xBF, 0x5C, '\'', ' ', 'o', 'r', ' ', '1'});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({0xBF, 0x5C, '\'', '\'', ' ', 'o', 'r', ' ', '1'}));

    // A lone backslash after ASCII, or after a complete double-byte character, is doubled.
    s = Bytes({'a', 0x5C});
    EscapeSqlString(s);
    EXPECT_EQ(s, "a\\\\");
    s = Bytes({0xD6, 0xD0, 0x5C});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({0xD6, 0xD0, 0x5C, 0x5C}));

    // A lead byte not followed by a valid trail byte is a single byte: the quote after it is escaped.
    s = Bytes({0x81, '\''});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({0x81, '\'', '\''}));
    s = Bytes({0x81, 0x7F, 0x5C});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({0x81, 0x7F, 0x5C, 0x5C}));
    // Lead byte at the very end.
    s = Bytes({'x', 0xFE});
    EscapeSqlString(s);
    EXPECT_EQ(s, Bytes({'x', 0xFE}));
}

TEST(UtilitiesEscape, SqlBuffer)
{
    char buf[32] = "\\'x";
    EscapeSqlBuffer(buf, sizeof buf);
    EXPECT_STREQ(buf, "\\\\''x");

    // The cut never splits an escape pair: a lone trailing backslash would
    // escape the closing quote of the statement.
    char small[5] = "ab\\c";
    EscapeSqlBuffer(small, sizeof small);
    EXPECT_STREQ(small, "ab\\\\");
    char small2[5] = "abc'";
    EscapeSqlBuffer(small2, sizeof small2);
    EXPECT_STREQ(small2, "abc");

    std::string gbk = Bytes({0x95, 0x5C, '\'', 0});
    char g[8];
    memcpy(g, gbk.data(), gbk.size());
    EscapeSqlBuffer(g, sizeof g);
    EXPECT_EQ(std::string(g), Bytes({0x95, 0x5C, '\'', '\''}));
    // Nor splits a double-byte character.
    char g2[3];
    g2[0] = 'a';
    g2[1] = static_cast<char>(0x95);
    g2[2] = 0;
    char g3[4] = {'a', static_cast<char>(0xD6), static_cast<char>(0xD0), 0};
    EscapeSqlBuffer(g3, 3);
    EXPECT_STREQ(g3, "a");
    EscapeSqlBuffer(g2, 3);
    EXPECT_EQ(std::string(g2), Bytes({'a', 0x95}));

    char one[1] = {'z'};
    EscapeSqlBuffer(one, 1);
    EXPECT_EQ(one[0], '\0');
    char untouched[4] = "a'b";
    EscapeSqlBuffer(untouched, 0);
    EXPECT_STREQ(untouched, "a'b");
    EscapeSqlBuffer(nullptr, 10);
}

TEST(UtilitiesEscape, SqlBackslash)
{
    std::string s = "\\'";
    EscapeSqlBackslash(s);
    EXPECT_EQ(s, "\\\\\\'");
    s = Bytes({0x95, 0x5C, '\'', 0x5C});
    EscapeSqlBackslash(s);
    EXPECT_EQ(s, Bytes({0x95, 0x5C, '\\', '\'', '\\', '\\'}));
}

TEST(UtilitiesEscape, Newline)
{
    std::string s = "a\nb\n\n";
    EscapeNewline(s);
    EXPECT_EQ(s, "a\\nb\\n\\n");
    s = "none";
    EscapeNewline(s);
    EXPECT_EQ(s, "none");
}

TEST(UtilitiesEscape, ReplaceAtParameter)
{
    std::string s = "call CleanBase(@days)";
    ReplaceAtParameter(s, "30");
    EXPECT_EQ(s, "call CleanBase(30)");

    s = "call p(@a, @b)";
    ReplaceAtParameter(s, "7");
    EXPECT_EQ(s, "call p(7)");

    // The first ')' of the whole statement comes before the '@': unchanged.
    s = "select count(*) from t where d < @d)";
    ReplaceAtParameter(s, "1");
    EXPECT_EQ(s, "select count(*) from t where d < @d)");

    s = "call p(1)";
    ReplaceAtParameter(s, "9");
    EXPECT_EQ(s, "call p(1)");
    s = "call p(@x";
    ReplaceAtParameter(s, "9");
    EXPECT_EQ(s, "call p(@x");
    s = "call p(@x)";
    ReplaceAtParameter(s, nullptr);
    EXPECT_EQ(s, "call p(@x)");
    ReplaceAtParameter(s, "");
    EXPECT_EQ(s, "call p()");
}

TEST(UtilitiesEscape, LoadDataField)
{
    std::string out = "pre";
    const std::string in = "a\\b\"c\td\re\nf'";
    EscapeLoadDataField(in.data(), in.size(), out);
    EXPECT_EQ(out, "prea\\\\b\\\"c\\td\\re\\nf'");

    out.clear();
    const std::string gbk = Bytes({0x95, 0x5C, 0x5C, 0x81, 0x5C, '"', 0x00, 'z'});
    EscapeLoadDataField(gbk.data(), gbk.size(), out);
    EXPECT_EQ(out, Bytes({0x95, 0x5C, '\\', '\\', 0x81, 0x5C, '\\', '"', '\\', '0', 'z'}));

    // A lead byte with nothing after it is a byte of its own; text after the last escape is kept.
    out.clear();
    const std::string tail = Bytes({'a', '\t', 'b', 'c', 0x81});
    EscapeLoadDataField(tail.data(), tail.size(), out);
    EXPECT_EQ(out, Bytes({'a', '\\', 't', 'b', 'c', 0x81}));

    out.clear();
    EscapeLoadDataField(nullptr, 5, out);
    EXPECT_EQ(out, "");
}

TEST(UtilitiesEscape, FileName)
{
    EXPECT_EQ(EscapeFileName("a.b"), "a$2Eb");
    EXPECT_EQ(EscapeFileName("Az09"), "Az09");
    EXPECT_EQ(EscapeFileName("../x y"), "$2E$2E$2Fx$20y");
    EXPECT_EQ(EscapeFileName(Bytes({0xD6, 0xD0, '_'})), "$D6$D0$5F");
    EXPECT_EQ(EscapeFileName(""), "");
    EXPECT_EQ(EscapeFileName(static_cast<const char*>(nullptr)), "");
}

// ---- Files and disks ------------------------------------------------------

TEST(UtilitiesFiles, FileSize)
{
    CTempDir dir("qb_util");
    ASSERT_FALSE(dir.Path().empty());
    std::string file = dir.Path() + "/f.bin";
    {
        std::ofstream o(file, std::ios::binary);
        o << std::string(5000, 'q');
    }
    EXPECT_EQ(GetFileSize64(file.c_str()), 5000u);
    EXPECT_EQ(GetFileSize64(dir.Path().c_str()), 0u);
    EXPECT_EQ(GetFileSize64((dir.Path() + "/missing").c_str()), 0u);
    EXPECT_EQ(GetFileSize64(nullptr), 0u);
}

TEST(UtilitiesFiles, CreateDirectoryRecursive)
{
    CTempDir dir("qb_util");
    ASSERT_FALSE(dir.Path().empty());
    std::string nested = dir.Path() + "/a/b/c";
    ASSERT_TRUE(CreateDirectoryRecursive(nested.c_str()));
    EXPECT_TRUE(IsDir(dir.Path() + "/a"));
    EXPECT_TRUE(IsDir(dir.Path() + "/a/b"));
    EXPECT_TRUE(IsDir(nested));
    // An existing directory is success.
    EXPECT_TRUE(CreateDirectoryRecursive(nested.c_str()));
    EXPECT_TRUE(CreateDirectoryRecursive((dir.Path() + "/a/").c_str()));
    // A trailing separator on a new path.
    EXPECT_TRUE(CreateDirectoryRecursive((dir.Path() + "/a/d/").c_str()));
    EXPECT_TRUE(IsDir(dir.Path() + "/a/d"));
    EXPECT_TRUE(CreateDirectoryRecursive("/"));

    // An existing file of that name, or a file in the way, fails.
    std::string file = dir.Path() + "/a/file";
    {
        std::ofstream o(file);
        o << "x";
    }
    qbtest::InitTestInstall();
    EXPECT_FALSE(CreateDirectoryRecursive(file.c_str()));
    // "Already exists" is not worth a log line.
    EXPECT_EQ(qbtest::ReadTodayLog().find("Cannot Create Dir = " + file + " "), std::string::npos);
    EXPECT_FALSE(CreateDirectoryRecursive((file + "/sub/deeper").c_str()));
    EXPECT_FALSE(IsDir(file));
    // Each level that cannot be made is logged, and the deeper ones are still tried.
    std::string log = qbtest::ReadTodayLog();
    EXPECT_NE(log.find("[ERROR][TID="), std::string::npos);
    EXPECT_NE(log.find("[CreateDirectoryRecursive]Cannot Create Dir = " + file +
                       "/sub Err = " + std::to_string(ENOTDIR) + "\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[CreateDirectoryRecursive]Cannot Create Dir = " + file + "/sub/deeper Err = "),
              std::string::npos);

    EXPECT_FALSE(CreateDirectoryRecursive(nullptr));
    EXPECT_FALSE(CreateDirectoryRecursive(""));
}

TEST(UtilitiesFiles, DiskSpaceRules)
{
    const uint64_t MiB = 1ull << 20;
    // Exactly MinFreeSpace MiB free counts as low; a byte short of the next MiB still does.
    EXPECT_TRUE(IsDiskSpaceLowFor(100 * MiB, 100));
    EXPECT_TRUE(IsDiskSpaceLowFor(101 * MiB - 1, 100));
    EXPECT_FALSE(IsDiskSpaceLowFor(101 * MiB, 100));
    EXPECT_TRUE(IsDiskSpaceLowFor(0, 0));
    EXPECT_FALSE(IsDiskSpaceLowFor(MiB, 0));
    EXPECT_FALSE(IsDiskSpaceLowFor(0, -1));
    EXPECT_FALSE(IsDiskSpaceLowFor(~0ull, 2147483647));

    // Enough: what remains after the write must exceed MinFreeSpace MiB.
    EXPECT_TRUE(HasEnoughDiskSpaceFor(200 * MiB, 99 * MiB, 100));
    EXPECT_FALSE(HasEnoughDiskSpaceFor(200 * MiB, 100 * MiB, 100));
    EXPECT_FALSE(HasEnoughDiskSpaceFor(200 * MiB, 99 * MiB + 1, 100));
    // Asking for all of the free space or more is never enough.
    EXPECT_FALSE(HasEnoughDiskSpaceFor(200 * MiB, 200 * MiB, 0));
    EXPECT_FALSE(HasEnoughDiskSpaceFor(200 * MiB, 300 * MiB, 0));
    EXPECT_FALSE(HasEnoughDiskSpaceFor(0, 0, -5));
    EXPECT_TRUE(HasEnoughDiskSpaceFor(MiB, 0, 0));
    EXPECT_FALSE(HasEnoughDiskSpaceFor(MiB - 1, 0, 0));
}

// ---- Digests and hexadecimal ----------------------------------------------

TEST(UtilitiesDigest, MD5OfFiles)
{
    CTempDir dir("qb_util");
    ASSERT_FALSE(dir.Path().empty());
    unsigned char digest[16];
    std::string empty = dir.Path() + "/empty";
    std::ofstream(empty).close();
    ASSERT_TRUE(MD5File(empty.c_str(), digest));
    std::string hex;
    MD5ToHexUpper(digest, hex);
    EXPECT_EQ(hex, "D41D8CD98F00B204E9800998ECF8427E");

    // Larger than one read block, with a partial last block.
    std::string big = dir.Path() + "/big";
    {
        std::ofstream o(big, std::ios::binary);
        for (int i = 0; i < 10000; ++i)
            o.put(static_cast<char>(i & 0xFF));
    }
    ASSERT_TRUE(MD5File(big.c_str(), digest));
    std::string expected;
    {
        std::string cmd = "md5sum '" + big + "'";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[128] = {};
        ASSERT_NE(fgets(line, sizeof line, p), nullptr);
        pclose(p);
        expected.assign(line, 32);
        for (char& c : expected)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    MD5ToHexUpper(digest, hex);
    EXPECT_EQ(hex, expected);

    EXPECT_FALSE(MD5File((dir.Path() + "/missing").c_str(), digest));
    EXPECT_FALSE(MD5File(nullptr, digest));
}

TEST(UtilitiesDigest, HexForms)
{
    unsigned char d[16] = {0x0A, 0xFF, 0x00, 0x10, 0x01, 0x23, 0x45, 0x67,
                           0x89, 0xAB, 0xCD, 0xEF, 0x0F, 0xF0, 0x7E, 0x80};
    std::string s;
    MD5ToHexUpper(d, s);
    EXPECT_EQ(s, "0AFF001001234567"
                 "89ABCDEF0FF07E80");
    MD5ToHexShort(d, s);
    EXPECT_EQ(s, "aff010123456789abcdefff07e80");
    EXPECT_EQ(s[0], 'a');

    unsigned char zeros[16] = {};
    MD5ToHexShort(zeros, s);
    EXPECT_EQ(s, std::string(16, '0'));
}

TEST(UtilitiesDigest, BinToHex)
{
    const unsigned char b[] = {0x00, 0x9F, 0xA0, 0xFF};
    char text[9];
    memset(text, '#', sizeof text);
    EXPECT_EQ(BinToHex(b, 4, text, 8), 8);
    EXPECT_EQ(std::string(text, 9), "009FA0FF#"); // no terminator written
    EXPECT_EQ(BinToHex(b, 4, text, 7), -1);
    EXPECT_EQ(BinToHex(b, -1, text, 8), -1);
    EXPECT_EQ(BinToHex(b, 1, text, -1), -1);
    EXPECT_EQ(BinToHex(b, 0, text, 0), 0);
    EXPECT_EQ(BinToHex(b, 0x40000000, text, 8), -1); // 2n does not fit an int
}

TEST(UtilitiesDigest, HexToBin)
{
    unsigned char out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(HexToBin("abc", 3, out, 2), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xBC);
    EXPECT_EQ(out[2], 0xEE);

    EXPECT_EQ(HexToBin("00fFA0", 6, out, 3), 3);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xA0);

    // Non-hex digits count as 0.
    EXPECT_EQ(HexToBin("zz1g", 4, out, 8), 2);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x10);

    EXPECT_EQ(HexToBin("abc", 3, out, 1), -1);
    EXPECT_EQ(HexToBin("abc", -1, out, 8), -1);
    EXPECT_EQ(HexToBin("abc", 3, out, -1), -1);
    EXPECT_EQ(HexToBin("", 0, out, 0), 0);

    // Round trip.
    const unsigned char src[] = {0x12, 0x00, 0xFE, 0x5C};
    char hex[8];
    ASSERT_EQ(BinToHex(src, 4, hex, 8), 8);
    ASSERT_EQ(HexToBin(hex, 8, out, 8), 4);
    EXPECT_EQ(memcmp(out, src, 4), 0);
}

// ---- Character sets -------------------------------------------------------

TEST(UtilitiesCharset, Utf8ToGbk)
{
    std::string gbk;
    ASSERT_TRUE(Utf8ToGbkString("\xE4\xB8\xAD\xE6\x96\x87", gbk)); // 中文
    EXPECT_EQ(gbk, Bytes({0xD6, 0xD0, 0xCE, 0xC4}));

    ASSERT_TRUE(Utf8ToGbkString("user=\xE5\xBC\xA0\xE4\xB8\x89;", gbk)); // 张三
    EXPECT_EQ(gbk, "user=" + Bytes({0xD5, 0xC5, 0xC8, 0xFD}) + ";");

    ASSERT_TRUE(Utf8ToGbkString("plain ascii", gbk));
    EXPECT_EQ(gbk, "plain ascii");
    ASSERT_TRUE(Utf8ToGbkString("", gbk));
    EXPECT_EQ(gbk, "");
    EXPECT_FALSE(Utf8ToGbkString(nullptr, gbk));
}

TEST(UtilitiesCharset, UnmappableAndInvalidBecomeQuestionMarks)
{
    std::string gbk;
    // An emoji has no GBK form: one '?' for the whole character.
    ASSERT_TRUE(Utf8ToGbkString("a\xF0\x9F\x98\x80"
                                "b",
                                gbk));
    EXPECT_EQ(gbk, "a?b");
    // Invalid bytes: one '?' each, the rest of the record survives.
    ASSERT_TRUE(Utf8ToGbkString("x\xFF\xFEy\xE4\xB8\xAD", gbk));
    EXPECT_EQ(gbk, "x??y" + Bytes({0xD6, 0xD0}));
    // A lone continuation byte, an overlong '/', an encoded surrogate.
    ASSERT_TRUE(Utf8ToGbkString("\x80|\xC0\xAF|\xED\xA0\x80", gbk));
    EXPECT_EQ(gbk, "?|??|???");
    // A character cut off at the end of the text.
    ASSERT_TRUE(Utf8ToGbkString("ok\xE4\xB8", gbk));
    EXPECT_EQ(gbk, "ok?");
    // Embedded NUL with an explicit length.
    const char withNul[] = {'a', 0, '\xE4', '\xB8', '\xAD'};
    ASSERT_TRUE(Utf8ToGbkString(withNul, sizeof withNul, gbk));
    EXPECT_EQ(gbk, Bytes({'a', 0, 0xD6, 0xD0}));
}

TEST(UtilitiesCharset, GbkToUtf8AndRoundTrip)
{
    const std::string utf8 =
        "\xE6\x97\xA5\xE5\xBF\x97 log \xE2\x82\xAC \xE6\x98\x9E\xE4\xB9\x97"; // 日志 log € 昞乗
    std::string gbk;
    ASSERT_TRUE(Utf8ToGbkString(utf8.c_str(), gbk));
    // The last two characters are GBK 0x95 0x5C and 0x81 0x5C.
    EXPECT_EQ(gbk.substr(gbk.size() - 4), Bytes({0x95, 0x5C, 0x81, 0x5C}));

    std::string back;
    ASSERT_TRUE(GbkToUtf8String(gbk.data(), gbk.size(), back));
    EXPECT_EQ(back, utf8);

    CBuffManager* mgr = CBuffManager::GetInstance();
    ASSERT_TRUE(mgr->Init());
    size_t before = mgr->GetBuffCount();
    char* buffer = reinterpret_cast<char*>(1);
    char* p = GbkToUtf8String(gbk.c_str(), buffer);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, buffer);
    EXPECT_EQ(std::string(p), utf8);
    EXPECT_EQ(mgr->GetBuffCount(), before + 1);
    EXPECT_TRUE(mgr->ReleaseByteBuff(p));
    EXPECT_EQ(mgr->GetBuffCount(), before);

    EXPECT_EQ(GbkToUtf8String(nullptr, buffer), nullptr);
    EXPECT_EQ(buffer, nullptr);

    // Invalid GBK: a lead byte without a trail gives '?', the quote after it survives.
    ASSERT_TRUE(GbkToUtf8String("\x81'x\xFF", 4, back));
    EXPECT_EQ(back, "?'x?");
}

TEST(UtilitiesCharset, ConvertersPerThread)
{
    // Each thread opens its own converters; results agree under concurrency.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [t, &failures]
            {
                std::string gbk, back;
                for (int i = 0; i < 2000; ++i)
                {
                    std::string in = "\xE4\xB8\xAD" + std::to_string(i) + "\xF0\x9F\x98\x80\xE6\x96\x87";
                    if (!Utf8ToGbkString(in.c_str(), gbk) ||
                        gbk != Bytes({0xD6, 0xD0}) + std::to_string(i) + "?" + Bytes({0xCE, 0xC4}))
                        ++failures[t];
                    if (!GbkToUtf8String(gbk.data(), gbk.size(), back) ||
                        back != "\xE4\xB8\xAD" + std::to_string(i) + "?\xE6\x96\x87")
                        ++failures[t];
                }
            });
    for (auto& th : threads)
        th.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}
