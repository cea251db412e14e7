#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Free functions shared across the collector. None of them keeps state
// beyond per-thread conversion handles.

// ---- Time texts -----------------------------------------------------------
// Packed words: date = year<<16 | month<<8 | day, time = hour<<16 | minute<<8 | second.

// "%4d-%02d-%02d %02d:%02d:%02d" into at most size-1 characters; false for a
// null buffer or size 0.
bool TranslateDWORDTimeToSZ(uint32_t date, uint32_t time, char* buffer, size_t size);
// "%4d%02d%02d%02d%02d%02d"; always true.
bool TranslateDWORDTimeToCompactSZ(uint32_t date, uint32_t time, std::string& text);
bool IsLeapYear(int year);

// ---- Numbers and bytes ----------------------------------------------------
// Both words arrive in network order.
uint64_t MakeUInt64FromNet(uint32_t high, uint32_t low);
// XORs every byte with `key`; nothing for null or length <= 0.
void XorBuffer(void* bytes, int length, uint8_t key);

// ---- SQL and text escaping ------------------------------------------------
// All SQL text of this system is GBK and is sent after "set names 'gbk'". The
// SQL escapers therefore keep a GBK double-byte character (lead 0x81-0xFE,
// trail 0x40-0x7E or 0x80-0xFE) whole: its trail byte may be 0x5C and must
// not be taken for a backslash.

// "'" -> "''" and "\" -> "\\", for values between single quotes.
void EscapeSqlString(std::string& text);
// The same on a zero-terminated buffer, the result cut to at most size-1
// characters without splitting an escape pair or a double-byte character.
// Nothing for a null buffer or size < 1.
void EscapeSqlBuffer(char* buffer, int size);
// "\" -> "\\" and "'" -> "\'".
void EscapeSqlBackslash(std::string& text);
// Line feed -> the two characters "\n".
void EscapeNewline(std::string& text);
// Replaces the text from the first '@' up to the first ')' of the statement
// by `value` when that ')' lies after the '@'; otherwise, or for a null
// value, nothing changes.
void ReplaceAtParameter(std::string& statement, const char* value);
// Field escaping for data files read by
//   load data ... fields terminated by '\t' enclosed by '"' escaped by '\\'
// Backslash is put before '\', '"'; tab, CR and LF become "\t", "\r", "\n".
// GBK-aware as above. Appends to `out`.
void EscapeLoadDataField(const char* gbk, size_t len, std::string& out);

// Every byte that is not an ASCII letter or digit becomes "$XX" (upper-case
// hex). Null or empty gives an empty text.
std::string EscapeFileName(const char* text);
std::string EscapeFileName(const std::string& text);

// ---- Files and disks ------------------------------------------------------
// 0 for null, a missing file or a directory.
uint64_t GetFileSize64(const char* path);
// The free-space rules (the checks that read Kelv.conf are config/DiskSpace.h): low when free MiB (rounded
// down) <= minFreeMiB; enough when bytes < freeBytes and (freeBytes - bytes) MiB > minFreeMiB.
bool IsDiskSpaceLowFor(uint64_t freeBytes, int minFreeMiB);
bool HasEnoughDiskSpaceFor(uint64_t freeBytes, uint64_t bytes, int minFreeMiB);
// Creates the directory and its missing parents (never "/"). The result is
// that of creating the full path itself: true if it already was a
// directory, false if it existed as anything else or could not be made.
// Failures other than "exists" are logged.
bool CreateDirectoryRecursive(const char* path);

// ---- Digests and hexadecimal ----------------------------------------------
bool MD5File(const char* path, unsigned char digest[16]);
// 32 upper-case hex digits.
void MD5ToHexUpper(const unsigned char digest[16], std::string& text);
// Each byte "%x" (no leading zero): 16 to 32 characters.
void MD5ToHexShort(const unsigned char digest[16], std::string& text);
// 2n upper-case hex digits, no terminator; -1 if n or size < 0 or size < 2n.
int BinToHex(const void* bytes, int n, char* text, int size);
// Pairs of hex digits to bytes; an odd length starts with a byte of one
// digit; non-hex counts as 0. Returns (length+1)/2, or -1 if length or size
// < 0 or size is too small.
int HexToBin(const char* text, int length, void* bytes, int size);

// ---- Character sets (the ANSI code page is GBK) ---------------------------
// What GBK cannot represent (unmappable characters, invalid UTF-8) becomes
// '?'; false only for a null argument or when no converter is available.
bool Utf8ToGbkString(const char* utf8, std::string& text);
bool Utf8ToGbkString(const char* utf8, size_t length, std::string& text);
// GBK to UTF-8 into a zero-terminated buffer from CBuffManager that the
// caller returns with ReleaseByteBuff; `buffer` receives the same pointer.
// Null on a null argument or failure. Invalid GBK bytes become '?'.
char* GbkToUtf8String(const char* ansi, char*& buffer);
// The same into a string, without a registry buffer.
bool GbkToUtf8String(const char* ansi, size_t length, std::string& utf8);
