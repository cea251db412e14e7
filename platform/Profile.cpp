#include "platform/Profile.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

namespace platform
{

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NamesEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

enum class LineKind
{
    Other, // blank, comment, or text before the first section
    Section,
    Entry
};

// One physical line of the file and what it means; views point into the owning text.
struct Line
{
    std::string_view raw; // without '\n', '\r' kept so untouched lines are written back unchanged
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name or key
    std::string_view value; // entry value (trimmed)
};

Line Classify(std::string_view raw)
{
    Line line;
    line.raw = raw;
    std::string_view t = Trim(raw);
    if (t.empty() || t.front() == ';')
        return line;
    if (t.front() == '[')
    {
        t.remove_prefix(1);
        size_t close = t.find(']');
        line.kind = LineKind::Section;
        line.name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
        return line;
    }
    line.kind = LineKind::Entry;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos)
    {
        line.name = t;
        return line;
    }
    line.name = Trim(t.substr(0, eq));
    line.value = Trim(t.substr(eq + 1));
    return line;
}

std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        lines.push_back(Classify(std::string_view(text).substr(start, end - start)));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    return lines;
}

// Index range [first, last) of the lines that belong to the first section named `section`
// (header excluded); false when there is no such section.
bool FindSection(const std::vector<Line>& lines, std::string_view section, size_t& header, size_t& end)
{
    for (size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i].kind == LineKind::Section && NamesEqual(lines[i].name, section))
        {
            header = i;
            end = i + 1;
            while (end < lines.size() && lines[end].kind != LineKind::Section)
                ++end;
            return true;
        }
    }
    return false;
}

bool FindEntry(const std::vector<Line>& lines, size_t header, size_t end, std::string_view key, size_t& index)
{
    for (size_t i = header + 1; i < end; ++i)
    {
        if (lines[i].kind == LineKind::Entry && NamesEqual(lines[i].name, key))
        {
            index = i;
            return true;
        }
    }
    return false;
}

// Looks the key up; false when the file, section or key is missing.
bool LookUp(const std::string& section, const std::string& key, const std::string& path, std::string& value)
{
    std::string text;
    if (!ReadWholeFile(path, text))
        return false;
    std::vector<Line> lines = SplitLines(text);
    size_t header, end, index;
    if (!FindSection(lines, Trim(section), header, end) || !FindEntry(lines, header, end, Trim(key), index))
        return false;
    std::string_view v = lines[index].value;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    value.assign(v);
    return true;
}

// Serialises writers of the same directory: in this process through the mutex, across processes
// through a lock on the directory itself (the file cannot carry the lock, it is replaced by rename).
class CDirectoryWriteLock
{
public:
    explicit CDirectoryWriteLock(const std::string& path) : m_Lock(Mutex())
    {
        size_t slash = path.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        m_Fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_Fd >= 0)
        {
            while (::flock(m_Fd, LOCK_EX) != 0 && errno == EINTR)
            {
            }
        }
    }
    ~CDirectoryWriteLock()
    {
        if (m_Fd >= 0)
            ::close(m_Fd); // releases the flock
    }
    CDirectoryWriteLock(const CDirectoryWriteLock&) = delete;
    CDirectoryWriteLock& operator=(const CDirectoryWriteLock&) = delete;

private:
    static std::mutex& Mutex()
    {
        static std::mutex m;
        return m;
    }
    std::lock_guard<std::mutex> m_Lock;
    int m_Fd = -1;
};

bool HasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos || s.find('\0') != std::string_view::npos;
}

// Rewrites the file with `edit` applied to its lines. `edit` returns false to refuse (errno set) and
// may set `changed` to false to skip the write.
bool EditFile(const std::string& path,
              const std::function<bool(std::vector<std::string>& out, const std::vector<Line>& lines,
                                       const std::string& eol, bool& changed)>& edit)
{
    CDirectoryWriteLock lock(path);
    std::string text;
    if (!ReadWholeFile(path, text))
    {
        if (errno != ENOENT)
            return false;
        text.clear();
    }
    std::vector<Line> lines = SplitLines(text);
    // Keep the file's own line ending for the lines we add.
    std::string eol = "\n";
    if (!lines.empty() && !lines.front().raw.empty() && lines.front().raw.back() == '\r')
        eol = "\r\n";
    std::vector<std::string> out;
    bool changed = true;
    if (!edit(out, lines, eol, changed))
        return false;
    if (!changed)
        return true;
    std::string result;
    result.reserve(text.size() + 128);
    for (const std::string& l : out)
    {
        result += l;
        result += '\n';
    }
    return WriteFileAtomic(path, result);
}

std::string RawLine(const Line& l)
{
    return std::string(l.raw);
}

} // namespace

bool ProfileNamesEqual(const std::string& a, const std::string& b)
{
    return NamesEqual(a, b);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path)
{
    std::string value;
    if (!LookUp(section, key, path, value))
        return defaultValue;
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i]))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+'))
        negative = value[i++] == '-';
    uint32_t n = 0; // wraps on overflow like the 32-bit original
    while (i < value.size() && value[i] >= '0' && value[i] <= '9')
        n = n * 10u + static_cast<uint32_t>(value[i++] - '0');
    if (negative)
        n = 0u - n;
    return static_cast<int>(n);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path, size_t maxLen)
{
    std::string value;
    if (!LookUp(section, key, path, value))
        value = defaultValue;
    if (value.size() > maxLen)
        value.resize(maxLen);
    return value;
}

std::vector<std::string> GetPrivateProfileSection(const std::string& section, const std::string& path)
{
    std::vector<std::string> result;
    std::string text;
    if (!ReadWholeFile(path, text))
        return result;
    std::vector<Line> lines = SplitLines(text);
    size_t header, end;
    if (!FindSection(lines, Trim(section), header, end))
        return result;
    for (size_t i = header + 1; i < end; ++i)
        if (lines[i].kind == LineKind::Entry)
            result.emplace_back(Trim(lines[i].raw));
    return result;
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path)
{
    std::vector<std::string> result;
    std::string text;
    if (!ReadWholeFile(path, text))
        return result;
    for (const Line& l : SplitLines(text))
        if (l.kind == LineKind::Section)
            result.emplace_back(l.name);
    return result;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& path)
{
    std::string_view sec = Trim(section);
    std::string_view k = Trim(key);
    if (sec.empty() || k.empty() || HasLineBreak(sec) || sec.find(']') != std::string_view::npos ||
        HasLineBreak(k) || k.find('=') != std::string_view::npos || k.front() == '[' || k.front() == ';' ||
        HasLineBreak(value))
    {
        errno = EINVAL;
        return false;
    }
    return EditFile(
        path,
        [&](std::vector<std::string>& out, const std::vector<Line>& lines, const std::string& eol, bool&)
        {
            std::string cr = eol.size() == 2 ? "\r" : "";
            size_t header, end, index;
            out.reserve(lines.size() + 2);
            if (!FindSection(lines, sec, header, end))
            {
                for (const Line& l : lines)
                    out.push_back(RawLine(l));
                out.push_back("[" + std::string(sec) + "]" + cr);
                out.push_back(std::string(k) + "=" + value + cr);
                return true;
            }
            if (FindEntry(lines, header, end, k, index))
            {
                for (size_t i = 0; i < lines.size(); ++i)
                {
                    if (i != index)
                    {
                        out.push_back(RawLine(lines[i]));
                        continue;
                    }
                    // Keep the key as spelled in the file and the line's own ending.
                    std::string_view raw = lines[i].raw;
                    std::string lineCr = (!raw.empty() && raw.back() == '\r') ? "\r" : "";
                    out.push_back(std::string(lines[i].name) + "=" + value + lineCr);
                }
                return true;
            }
            // New key after the section's last entry, so trailing comments and blank lines stay where
            // they are, in front of the next section.
            size_t after = header;
            for (size_t i = header + 1; i < end; ++i)
                if (lines[i].kind == LineKind::Entry)
                    after = i;
            for (size_t i = 0; i < lines.size(); ++i)
            {
                out.push_back(RawLine(lines[i]));
                if (i == after)
                    out.push_back(std::string(k) + "=" + value + cr);
            }
            return true;
        });
}

bool DeletePrivateProfileKey(const std::string& section, const std::string& key, const std::string& path)
{
    if (!FileExists(path))
        return true;
    return EditFile(
        path,
        [&](std::vector<std::string>& out, const std::vector<Line>& lines, const std::string&, bool& changed)
        {
            size_t header, end, index;
            if (!FindSection(lines, Trim(section), header, end) ||
                !FindEntry(lines, header, end, Trim(key), index))
            {
                changed = false;
                return true;
            }
            for (size_t i = 0; i < lines.size(); ++i)
                if (i != index)
                    out.push_back(RawLine(lines[i]));
            return true;
        });
}

bool DeletePrivateProfileSectionsIf(const std::string& path,
                                    const std::function<bool(const std::string&)>& match)
{
    if (!FileExists(path))
        return true;
    return EditFile(
        path,
        [&](std::vector<std::string>& out, const std::vector<Line>& lines, const std::string&, bool& changed)
        {
            changed = false;
            bool dropping = false;
            for (const Line& l : lines)
            {
                if (l.kind == LineKind::Section)
                {
                    dropping = match(std::string(l.name));
                    changed = changed || dropping;
                }
                if (!dropping)
                    out.push_back(RawLine(l));
            }
            return true;
        });
}

bool DeletePrivateProfileSection(const std::string& section, const std::string& path)
{
    std::string sec(Trim(section));
    return DeletePrivateProfileSectionsIf(path,
                                          [&](const std::string& name) { return NamesEqual(name, sec); });
}

} // namespace platform
