#pragma once
// Small helpers every test folder uses: waits, counting in texts, local times, digests, quoting,
// temporary directories.
#include <ctime>
#include <functional>
#include <map>
#include <string>

namespace qbtest
{
// Polls `condition` every 10 ms until it holds or `timeoutMs` have passed (measured on the monotonic
// clock, however long the condition itself takes); true when it held.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// How often `what` stands in `text` (occurrences that do not overlap; 0 for an empty `what`).
size_t CountOf(const std::string& text, const std::string& what);

// The epoch second of a local date and time (daylight saving as the zone has it on that day).
time_t LocalEpoch(int year, int month, int day, int hour, int minute, int second = 0);

// The MD5 digest of `text`: its 16 bytes, or 32 lower-case hexadecimal digits.
std::string Md5(const std::string& text);
std::string Md5Hex(const std::string& text);

// `text` between single quotes for /bin/sh.
std::string ShellQuote(const std::string& text);
// An environment variable, or "" when it is not set.
std::string EnvText(const char* name);
// `text` as an XML attribute value: markup characters as entities, control characters as
// character references (a literal tab or line end in an attribute is read back as a space).
std::string XmlAttr(const std::string& text);

// The body of GET `path` on 127.0.0.1:`port`; empty unless the answer is a 200.
std::string HttpGet(int port, const std::string& path);

// The sum of the samples of a metric family in a Prometheus text scrape (0 when it has none).
double MetricSum(const std::string& text, const std::string& family);

// The key=value words after the first `marker` in `text` (seqcheck's "total " line, for one); empty
// when `marker` is not there.
std::map<std::string, std::string> KeyValuesAfter(const std::string& text, const std::string& marker);

// A new directory /tmp/<stem>_XXXXXX; "" on failure.
std::string MakeTempDir(const std::string& stem);
// Removes a directory below /tmp with everything in it (anything else is left alone).
void RemoveTree(const std::string& dir);

// A temporary directory that goes with its owner.
class CTempDir
{
public:
    explicit CTempDir(const std::string& stem = "qb_tmp") : m_Path(MakeTempDir(stem)) {}
    ~CTempDir() { RemoveTree(m_Path); }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
};
} // namespace qbtest
