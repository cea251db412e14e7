#pragma once

#include <string>

namespace platform
{

// A registry kept in one INI file: each section is a key path such as
// "HKLM\Software\Velmora\SSL\DC", each entry a string value of that key. The file is named by the
// environment variable QUILLBARN_REGISTRY (default /etc/quillbarn/registry.ini), read on every call.
// Key paths and value names compare without regard to case; '/' in a key path is taken as '\' and
// trailing separators are ignored. The empty value name is the key's default value (stored as "@").
// Values are stored in quotes so that surrounding blanks survive; line breaks cannot be stored.

std::string RegistryFilePath();

bool RegGetString(const std::string& keyPath, const std::string& valueName, std::string& out);

// Creates the file and its directory when missing.
bool RegSetString(const std::string& keyPath, const std::string& valueName, const std::string& value);

// True when the value is gone afterwards (also when it was never there).
bool RegDeleteValue(const std::string& keyPath, const std::string& valueName);

// Removes the key with all its values and all its subkeys.
bool RegDeleteKey(const std::string& keyPath);

} // namespace platform
