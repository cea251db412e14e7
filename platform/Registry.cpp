#include "platform/Registry.h"

#include "platform/FileSystem.h"
#include "platform/Profile.h"

#include <cerrno>
#include <cstdlib>

namespace platform
{

namespace
{

const char kDefaultRegistryFile[] = "/etc/quillbarn/registry.ini";
// Longer than any value the system reads (at most 519 characters); GetPrivateProfileString needs a limit.
const size_t kMaxValueLength = 65536;

std::string NormaliseKey(const std::string& keyPath)
{
    std::string k = keyPath;
    for (char& c : k)
        if (c == '/')
            c = '\\';
    while (!k.empty() && (k.back() == '\\' || k.back() == ' '))
        k.pop_back();
    size_t start = k.find_first_not_of(" \\");
    return start == std::string::npos ? std::string() : k.substr(start);
}

std::string ValueKey(const std::string& valueName)
{
    return valueName.empty() ? "@" : valueName;
}

bool ValidValueName(const std::string& valueName)
{
    if (valueName.empty())
        return true; // the default value
    if (valueName.find_first_of("=\r\n") != std::string::npos || valueName[0] == '[' || valueName[0] == ';')
        return false;
    return valueName.find_first_not_of(" \t") != std::string::npos;
}

} // namespace

std::string RegistryFilePath()
{
    const char* env = std::getenv("QUILLBARN_REGISTRY");
    return (env != nullptr && *env != 0) ? std::string(env) : std::string(kDefaultRegistryFile);
}

bool RegGetString(const std::string& keyPath, const std::string& valueName, std::string& out)
{
    std::string key = NormaliseKey(keyPath);
    if (key.empty())
        return false;
    std::string path = RegistryFilePath();
    // A line break never appears in a stored value, so it marks "missing".
    std::string a = GetPrivateProfileString(key, ValueKey(valueName), "\n", path, kMaxValueLength);
    if (a == "\n")
        return false;
    out = a;
    return true;
}

bool RegSetString(const std::string& keyPath, const std::string& valueName, const std::string& value)
{
    std::string key = NormaliseKey(keyPath);
    if (key.empty() || !ValidValueName(valueName))
    {
        errno = EINVAL;
        return false;
    }
    std::string path = RegistryFilePath();
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !CreateDirectories(path.substr(0, slash)))
        return false;
    return WritePrivateProfileString(key, ValueKey(valueName), "\"" + value + "\"", path);
}

bool RegDeleteValue(const std::string& keyPath, const std::string& valueName)
{
    std::string key = NormaliseKey(keyPath);
    if (key.empty())
    {
        errno = EINVAL;
        return false;
    }
    return DeletePrivateProfileKey(key, ValueKey(valueName), RegistryFilePath());
}

bool RegDeleteKey(const std::string& keyPath)
{
    std::string key = NormaliseKey(keyPath);
    if (key.empty())
    {
        errno = EINVAL;
        return false;
    }
    return DeletePrivateProfileSectionsIf(RegistryFilePath(),
                                          [&](const std::string& name)
                                          {
                                              std::string n = NormaliseKey(name);
                                              if (ProfileNamesEqual(n, key))
                                                  return true;
                                              return n.size() > key.size() && n[key.size()] == '\\' &&
                                                     ProfileNamesEqual(n.substr(0, key.size()), key);
                                          });
}

} // namespace platform
