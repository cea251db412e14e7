#include "core/Utilities.h"

#include "core/BuffManager.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <openssl/evp.h>
#include <vector>

namespace
{
const char HEX_UPPER[] = "0123456789ABCDEF";

inline bool IsGbkLead(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}

inline bool IsGbkTrail(unsigned char c)
{
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// Length of the GBK double-byte character at s[i], or 1 for a single byte.
inline size_t GbkUnitLength(const unsigned char* s, size_t i, size_t len)
{
    return (i + 1 < len && IsGbkLead(s[i]) && IsGbkTrail(s[i + 1])) ? 2 : 1;
}

// Escape of one single-byte character for the SQL escapers, or null if it
// stays as it is. `backslashQuote` selects "\'" over "''" for the quote.
inline const char* SqlEscapeOf(unsigned char c, bool backslashQuote)
{
    if (c == '\\')
        return "\\\\";
    if (c == '\'')
        return backslashQuote ? "\\'" : "''";
    return nullptr;
}

bool NeedsSqlEscape(const unsigned char* s, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        if (s[i] == '\\' || s[i] == '\'')
            return true;
    return false;
}

// One pass over GBK text: double-byte characters are copied whole, so a
// trail byte 0x5C is never taken for a backslash.
void EscapeSqlGbk(std::string& text, bool backslashQuote)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t len = text.size();
    if (!NeedsSqlEscape(s, len))
        return;
    std::string out;
    out.reserve(len + len / 4 + 8);
    for (size_t i = 0; i < len;)
    {
        size_t unit = GbkUnitLength(s, i, len);
        const char* esc = unit == 1 ? SqlEscapeOf(s[i], backslashQuote) : nullptr;
        if (esc)
            out.append(esc, 2);
        else
            out.append(text, i, unit);
        i += unit;
    }
    text.swap(out);
}

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// Length of the well-formed UTF-8 sequence at s (no overlongs, surrogates or
// code points above U+10FFFF), or 0 if it is not one.
size_t Utf8SequenceLength(const unsigned char* s, size_t n)
{
    if (n == 0)
        return 0;
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
    {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    }
    else if (c >= 0xF0 && c <= 0xF4)
    {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    }
    else
        return 0;
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if (s[k] < 0x80 || s[k] > 0xBF)
            return 0;
    return len;
}

// Conversion descriptors are opened once per thread: the conversions run for
// every record.
struct CIconvHandles
{
    iconv_t m_ToGbk = reinterpret_cast<iconv_t>(-1);
    iconv_t m_ToUtf8 = reinterpret_cast<iconv_t>(-1);
    ~CIconvHandles()
    {
        if (m_ToGbk != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_ToGbk);
        if (m_ToUtf8 != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_ToUtf8);
    }
};
thread_local CIconvHandles t_Iconv;

iconv_t GetConverter(bool toGbk)
{
    iconv_t& cd = toGbk ? t_Iconv.m_ToGbk : t_Iconv.m_ToUtf8;
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = toGbk ? iconv_open("GBK", "UTF-8") : iconv_open("UTF-8", "GBK");
    return cd;
}

inline bool IsAscii(const unsigned char* s, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        if (s[i] >= 0x80)
            return false;
    return true;
}

// Converts `in` into out[0, outCap), writing '?' for every character the
// target cannot hold and for every invalid input byte (a well-formed but
// unmappable UTF-8 sequence gives one '?'). Returns the bytes written or -1
// when out of room.
ptrdiff_t ConvertReplacing(iconv_t cd, const char* in, size_t inLen, char* out, size_t outCap, bool fromUtf8)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in);
    size_t il = inLen;
    char* op = out;
    size_t ol = outCap;
    while (il > 0)
    {
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1))
            break;
        size_t skip;
        if (errno == EILSEQ)
        {
            skip = 1;
            if (fromUtf8)
            {
                size_t seq = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(ip), il);
                if (seq > 0)
                    skip = seq;
            }
        }
        else if (errno == EINVAL)
            skip = il; // a sequence cut off at the end
        else
            return -1;
        if (ol == 0)
            return -1;
        *op++ = '?';
        --ol;
        ip += skip;
        il -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return op - out;
}
} // namespace

// ---- Time texts -----------------------------------------------------------

bool TranslateDWORDTimeToSZ(uint32_t date, uint32_t time, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return false;
    const unsigned year = date >> 16, month = (date >> 8) & 0xFF, day = date & 0xFF;
    const unsigned hour = time >> 16, minute = (time >> 8) & 0xFF, second = time & 0xFF;
    // The usual case by hand (every record has a time); anything unusual keeps printf's padding.
    if (size >= 20 && year >= 1000 && year <= 9999 && month < 100 && day < 100 && hour < 100 &&
        minute < 100 && second < 100)
    {
        auto two = [](char* p, unsigned v)
        {
            p[0] = static_cast<char>('0' + v / 10);
            p[1] = static_cast<char>('0' + v % 10);
        };
        two(buffer, year / 100);
        two(buffer + 2, year % 100);
        buffer[4] = '-';
        two(buffer + 5, month);
        buffer[7] = '-';
        two(buffer + 8, day);
        buffer[10] = ' ';
        two(buffer + 11, hour);
        buffer[13] = ':';
        two(buffer + 14, minute);
        buffer[16] = ':';
        two(buffer + 17, second);
        buffer[19] = 0;
        return true;
    }
    snprintf(buffer, size, "%4d-%02d-%02d %02d:%02d:%02d", static_cast<int>(year), static_cast<int>(month),
             static_cast<int>(day), static_cast<int>(hour), static_cast<int>(minute),
             static_cast<int>(second));
    return true;
}

bool TranslateDWORDTimeToCompactSZ(uint32_t date, uint32_t time, std::string& text)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%4d%02d%02d%02d%02d%02d", static_cast<int>(date >> 16),
             static_cast<int>((date >> 8) & 0xFF), static_cast<int>(date & 0xFF),
             static_cast<int>(time >> 16), static_cast<int>((time >> 8) & 0xFF),
             static_cast<int>(time & 0xFF));
    text = buf;
    return true;
}

bool IsLeapYear(int year)
{
    if (year == 0 || year % 4 != 0)
        return false;
    return year % 100 != 0 || year % 400 == 0;
}

// ---- Numbers and bytes ----------------------------------------------------

uint64_t MakeUInt64FromNet(uint32_t high, uint32_t low)
{
    return (static_cast<uint64_t>(ntohl(high)) << 32) | ntohl(low);
}

void XorBuffer(void* bytes, int length, uint8_t key)
{
    if (bytes == nullptr || length <= 0)
        return;
    unsigned char* p = static_cast<unsigned char*>(bytes);
    for (int i = 0; i < length; ++i)
        p[i] ^= key;
}

// ---- SQL and text escaping ------------------------------------------------

void EscapeSqlString(std::string& text)
{
    EscapeSqlGbk(text, false);
}

void EscapeSqlBuffer(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(buffer);
    const size_t len = strnlen(buffer, static_cast<size_t>(size));
    const size_t room = static_cast<size_t>(size) - 1;
    if (len <= room && !NeedsSqlEscape(s, len))
    {
        buffer[len] = '\0';
        return;
    }
    thread_local std::string t_Out;
    t_Out.clear();
    // Whole units only: a cut between the two bytes of "\\" would leave a lone
    // backslash that escapes the closing quote of the statement.
    for (size_t i = 0; i < len;)
    {
        size_t unit = GbkUnitLength(s, i, len);
        const char* esc = unit == 1 ? SqlEscapeOf(s[i], false) : nullptr;
        size_t outUnit = esc ? 2 : unit;
        if (t_Out.size() + outUnit > room)
            break;
        if (esc)
            t_Out.append(esc, 2);
        else
            t_Out.append(buffer + i, unit);
        i += unit;
    }
    memcpy(buffer, t_Out.data(), t_Out.size());
    buffer[t_Out.size()] = '\0';
}

void EscapeSqlBackslash(std::string& text)
{
    EscapeSqlGbk(text, true);
}

void EscapeNewline(std::string& text)
{
    size_t pos = text.find('\n');
    while (pos != std::string::npos)
    {
        text.replace(pos, 1, "\\n");
        pos = text.find('\n', pos + 2);
    }
}

void ReplaceAtParameter(std::string& statement, const char* value)
{
    if (value == nullptr)
        return;
    size_t at = statement.find('@');
    size_t paren = statement.find(')');
    if (at == std::string::npos || paren == std::string::npos || paren < at)
        return;
    statement.replace(at, paren - at, value);
}

void EscapeLoadDataField(const char* gbk, size_t len, std::string& out)
{
    if (gbk == nullptr)
        return;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(gbk);
    // Bytes that need no escape are copied a run at a time: this runs for every text of every record.
    size_t run = 0;
    for (size_t i = 0; i < len;)
    {
        if (GbkUnitLength(s, i, len) == 2)
        {
            i += 2;
            continue;
        }
        const char* esc = nullptr;
        switch (s[i])
        {
        case '\\':
            esc = "\\\\";
            break;
        case '"':
            esc = "\\\"";
            break;
        case '\t':
            esc = "\\t";
            break;
        case '\r':
            esc = "\\r";
            break;
        case '\n':
            esc = "\\n";
            break;
        case '\0':
            esc = "\\0";
            break;
        default:
            ++i;
            continue;
        }
        out.append(gbk + run, i - run);
        out.append(esc, 2);
        run = ++i;
    }
    out.append(gbk + run, len - run);
}

std::string EscapeFileName(const char* text)
{
    std::string out;
    if (text == nullptr)
        return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    {
        unsigned char c = *p;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            out.push_back(static_cast<char>(c));
        else
        {
            out.push_back('$');
            out.push_back(HEX_UPPER[c >> 4]);
            out.push_back(HEX_UPPER[c & 0x0F]);
        }
    }
    return out;
}

std::string EscapeFileName(const std::string& text)
{
    return EscapeFileName(text.c_str());
}

// ---- Files and disks ------------------------------------------------------

uint64_t GetFileSize64(const char* path)
{
    if (path == nullptr)
        return 0;
    if (platform::IsDirectory(path))
        return 0;
    uint64_t size = 0;
    if (!platform::GetFileSize64(path, size))
        return 0;
    return size;
}

bool IsDiskSpaceLowFor(uint64_t freeBytes, int minFreeMiB)
{
    return static_cast<int64_t>(freeBytes >> 20) <= static_cast<int64_t>(minFreeMiB);
}

bool HasEnoughDiskSpaceFor(uint64_t freeBytes, uint64_t bytes, int minFreeMiB)
{
    if (bytes >= freeBytes)
        return false;
    return static_cast<int64_t>((freeBytes - bytes) >> 20) > static_cast<int64_t>(minFreeMiB);
}

bool CreateDirectoryRecursive(const char* path)
{
    if (path == nullptr || *path == '\0')
        return false;
    std::string full(path);
    while (full.size() > 1 && full.back() == '/')
        full.pop_back();
    if (platform::IsDirectory(full))
        return true;

    // Shortest first; the root "/" is never created, doubled separators add no level.
    std::vector<std::string> dirs;
    for (size_t pos = full.find('/'); pos != std::string::npos; pos = full.find('/', pos + 1))
    {
        if (pos == 0 || full[pos - 1] == '/')
            continue;
        dirs.push_back(full.substr(0, pos));
    }
    dirs.push_back(full);

    bool result = false;
    for (size_t i = 0; i < dirs.size(); ++i)
    {
        errno = 0;
        bool ok = platform::CreateDirectory(dirs[i]);
        if (!ok)
        {
            int err = errno;
            if (err != EEXIST)
                QB_LOG(PL_ERROR, "[CreateDirectoryRecursive]", "Cannot Create Dir = %s Err = %u\n",
                       dirs[i].c_str(), static_cast<unsigned>(err));
        }
        if (i + 1 == dirs.size())
            result = ok;
    }
    return result;
}

// ---- Digests and hexadecimal ----------------------------------------------

bool MD5File(const char* path, unsigned char digest[16])
{
    if (path == nullptr || digest == nullptr)
        return false;
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
    unsigned char block[4096];
    while (ok)
    {
        size_t n = fread(block, 1, sizeof block, f);
        if (n > 0 && EVP_DigestUpdate(ctx, block, n) != 1)
            ok = false;
        if (n < sizeof block)
        {
            if (ferror(f))
                ok = false;
            break;
        }
    }
    unsigned int outLen = 0;
    if (ok)
        ok = EVP_DigestFinal_ex(ctx, digest, &outLen) == 1 && outLen == 16;
    EVP_MD_CTX_free(ctx);
    fclose(f);
    return ok;
}

void MD5ToHexUpper(const unsigned char digest[16], std::string& text)
{
    text.clear();
    if (digest == nullptr)
        return;
    text.reserve(32);
    for (int i = 0; i < 16; ++i)
    {
        text.push_back(HEX_UPPER[digest[i] >> 4]);
        text.push_back(HEX_UPPER[digest[i] & 0x0F]);
    }
}

void MD5ToHexShort(const unsigned char digest[16], std::string& text)
{
    static const char HEX_LOWER[] = "0123456789abcdef";
    text.clear();
    if (digest == nullptr)
        return;
    text.reserve(32);
    for (int i = 0; i < 16; ++i)
    {
        if (digest[i] >= 0x10)
            text.push_back(HEX_LOWER[digest[i] >> 4]);
        text.push_back(HEX_LOWER[digest[i] & 0x0F]);
    }
}

int BinToHex(const void* bytes, int n, char* text, int size)
{
    if (n < 0 || size < 0 || static_cast<int64_t>(size) < 2 * static_cast<int64_t>(n))
        return -1;
    if (n == 0)
        return 0;
    if (bytes == nullptr || text == nullptr)
        return -1;
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
    {
        text[2 * i] = HEX_UPPER[b[i] >> 4];
        text[2 * i + 1] = HEX_UPPER[b[i] & 0x0F];
    }
    return 2 * n;
}

int HexToBin(const char* text, int length, void* bytes, int size)
{
    if (length < 0 || size < 0)
        return -1;
    int count = static_cast<int>((static_cast<int64_t>(length) + 1) / 2);
    if (size < count)
        return -1;
    if (length == 0)
        return 0;
    if (text == nullptr || bytes == nullptr)
        return -1;
    unsigned char* out = static_cast<unsigned char*>(bytes);
    int i = 0, o = 0;
    if (length % 2 != 0)
        out[o++] = static_cast<unsigned char>(HexValue(text[i++]));
    for (; i < length; i += 2)
        out[o++] = static_cast<unsigned char>((HexValue(text[i]) << 4) | HexValue(text[i + 1]));
    return count;
}

// ---- Character sets -------------------------------------------------------

bool Utf8ToGbkString(const char* utf8, std::string& text)
{
    if (utf8 == nullptr)
        return false;
    return Utf8ToGbkString(utf8, strlen(utf8), text);
}

bool Utf8ToGbkString(const char* utf8, size_t length, std::string& text)
{
    if (utf8 == nullptr)
        return false;
    if (IsAscii(reinterpret_cast<const unsigned char*>(utf8), length))
    {
        text.assign(utf8, length);
        return true;
    }
    iconv_t cd = GetConverter(true);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // GBK never needs more bytes than UTF-8 for the same text, and each
    // replaced sequence gives one '?': the input length is enough room. The
    // caller's string keeps its capacity between calls.
    text.resize(length);
    ptrdiff_t n = ConvertReplacing(cd, utf8, length, text.data(), length, true);
    if (n < 0)
    {
        text.clear();
        return false;
    }
    text.resize(static_cast<size_t>(n));
    return true;
}

bool GbkToUtf8String(const char* ansi, size_t length, std::string& utf8)
{
    if (ansi == nullptr)
        return false;
    if (IsAscii(reinterpret_cast<const unsigned char*>(ansi), length))
    {
        utf8.assign(ansi, length);
        return true;
    }
    iconv_t cd = GetConverter(false);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // A GBK byte pair becomes at most three UTF-8 bytes, a single byte at most three.
    size_t cap = length * 3;
    utf8.resize(cap);
    ptrdiff_t n = ConvertReplacing(cd, ansi, length, utf8.data(), cap, false);
    if (n < 0)
    {
        utf8.clear();
        return false;
    }
    utf8.resize(static_cast<size_t>(n));
    return true;
}

char* GbkToUtf8String(const char* ansi, char*& buffer)
{
    buffer = nullptr;
    if (ansi == nullptr)
        return nullptr;
    size_t length = strlen(ansi);
    size_t cap = length * 3;
    char* out = CBuffManager::GetInstance()->AllocByteBuff(cap + 1, "modules/BuffManager", 27);
    if (out == nullptr)
        return nullptr;
    ptrdiff_t n;
    if (IsAscii(reinterpret_cast<const unsigned char*>(ansi), length))
    {
        memcpy(out, ansi, length);
        n = static_cast<ptrdiff_t>(length);
    }
    else
    {
        iconv_t cd = GetConverter(false);
        n = cd == reinterpret_cast<iconv_t>(-1) ? -1 : ConvertReplacing(cd, ansi, length, out, cap, false);
    }
    if (n < 0)
    {
        CBuffManager::GetInstance()->ReleaseByteBuff(out);
        return nullptr;
    }
    out[n] = '\0';
    buffer = out;
    return out;
}
