#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace platform
{

// Private-profile (INI) files with the semantics the configuration was designed for:
// section and key names compare without regard to ASCII case; names and values are trimmed of
// blanks; the first matching section and the first matching key in it win; lines starting with ';'
// are comments; CRLF and LF files are both read (a trailing '\r' is not part of any text).
// Every call reads the file again (the files are small), so a change on disk is seen at once.

// Missing file, section or key: `defaultValue`. Otherwise the value parsed as a decimal integer the way
// the original function did: leading blanks, an optional sign, digits up to the first non-digit
// ("12abc" is 12); an empty or non-numeric value is 0.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path);

// The value trimmed of surrounding blanks with one pair of enclosing quotes ("..." or '...') removed,
// cut to `maxLen` characters; `defaultValue` (also cut) when the file, section or key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path,
                                    size_t maxLen = 519);

// The lines of the section as written, trimmed of surrounding blanks; a line holding '=' keeps key and
// value together. Blank lines and ';' comments are skipped. Empty when the section is missing.
std::vector<std::string> GetPrivateProfileSection(const std::string& section, const std::string& path);

// Names of all sections in file order (as written, duplicates included).
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path);

// Sets key = value, creating the file, the section (appended at the end) or the key (after the
// section's last key) as needed; an existing key's line is replaced and every other line is kept
// byte for byte in its place. The file's line ending style (CRLF or LF) is kept. The file is replaced
// atomically, so a concurrent reader sees the old or the new file. The directory must exist.
// Names or values that would break the file's structure (line breaks, a key with '=' or starting with
// '[' or ';', a section with ']') are refused with errno EINVAL.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& path);

// Removes the key's line (true also when there was nothing to remove and the file exists or not).
bool DeletePrivateProfileKey(const std::string& section, const std::string& key, const std::string& path);

// Removes every section whose name `match` accepts, with all its lines.
bool DeletePrivateProfileSectionsIf(const std::string& path,
                                    const std::function<bool(const std::string&)>& match);

// Removes the section (every occurrence of it) with all its lines.
bool DeletePrivateProfileSection(const std::string& section, const std::string& path);

// ASCII case-insensitive equality, as used for section and key names.
bool ProfileNamesEqual(const std::string& a, const std::string& b);

} // namespace platform
