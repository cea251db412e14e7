// Runs build/bin/devsim from the tests beside it and reads its report, and walks device byte streams
// with the collector's own record layouts.
#pragma once

#include "protocol/WireProtocol.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace devsimtest
{
inline std::string DevSimPath()
{
    return qbtest::BinDir() + "/devsim";
}

using qbtest::CTempDir;

inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct SRunResult
{
    int m_Exit = -1;
    std::map<std::string, std::string> m_Report;
    std::string m_Stdout, m_Stderr;

    uint64_t Num(const std::string& key) const
    {
        auto it = m_Report.find(key);
        return it == m_Report.end() ? UINT64_MAX : std::strtoull(it->second.c_str(), nullptr, 10);
    }
};

// Runs devsim with args; stdout and stderr go to files in dir.
inline SRunResult RunDevSim(const std::vector<std::string>& args, const std::string& dir)
{
    SRunResult r;
    const std::string exe = DevSimPath();
    const std::string outPath = dir + "/devsim.out", errPath = dir + "/devsim.err";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0)
    {
        posix_spawn_file_actions_destroy(&fa);
        r.m_Stderr = "cannot start " + exe;
        return r;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
    r.m_Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto out = ReadFile(outPath), err = ReadFile(errPath);
    r.m_Stdout.assign(out.begin(), out.end());
    r.m_Stderr.assign(err.begin(), err.end());
    std::istringstream lines(r.m_Stdout);
    std::string line;
    while (std::getline(lines, line))
    {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            r.m_Report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return r;
}

// One record found in a device stream; body already unmasked when it was sent masked.
struct SRecord
{
    size_t m_Offset;
    size_t m_Skipped; // bytes before the sign
    bool m_WasMasked;
    std::vector<uint8_t> m_Bytes;

    const DataHead& Head() const { return *reinterpret_cast<const DataHead*>(m_Bytes.data()); }
    uint32_t Type() const { return wire::GetLogType(Head()); }
    template <class T> const T& As() const { return *reinterpret_cast<const T*>(m_Bytes.data()); }
};

// Frames a stream like the collector does: scan to the next sign, take m_DataLen bytes. Returns false
// when the stream ends inside a record or carries an impossible length.
inline bool SplitStream(const std::vector<uint8_t>& s, std::vector<SRecord>& out, std::string& error)
{
    size_t pos = 0;
    while (pos < s.size())
    {
        size_t start = pos;
        while (pos + 8 <= s.size() && wire::GetSignCode(s.data() + pos) == SIGN_CODE_NONE)
            ++pos;
        if (pos + 8 > s.size())
        {
            error = "trailing bytes without a sign at " + std::to_string(start);
            return false;
        }
        if (s.size() - pos < DATA_HEAD_LEN)
        {
            error = "truncated head at " + std::to_string(pos);
            return false;
        }
        const auto& h = *reinterpret_cast<const DataHead*>(s.data() + pos);
        const uint32_t len = wire::GetDataLen(h);
        if (len < DATA_HEAD_LEN || s.size() - pos < len)
        {
            error = "bad length " + std::to_string(len) + " at " + std::to_string(pos);
            return false;
        }
        SRecord r{pos, pos - start, h.m_Masked != 0,
                  std::vector<uint8_t>(s.begin() + long(pos), s.begin() + long(pos + len))};
        if (r.m_WasMasked)
            wire::InvertBody(r.m_Bytes.data(), r.m_Bytes.size());
        out.push_back(std::move(r));
        pos += len;
    }
    return true;
}
} // namespace devsimtest
