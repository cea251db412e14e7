// Process set-up shared by the fuzz targets and their corpus replay: a throw-away install tree (the
// shipped configuration, a registry file naming it, the program log off so that millions of inputs
// cost no log lines) and the process-wide managers the targets touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qbfuzz
{
// Idempotent; returns the install directory. Records of at most 1 MiB are accepted.
const std::string& InitFuzzEnv();
// Removes every file of the temporary directory (directory pushes leave their documents there).
void CleanTempDir();

// One entry point per target: 0 always (findings abort through the sanitizers or QB_FUZZ_CHECK).
int FuzzFraming(const uint8_t* data, size_t size);
int FuzzXmlPush(const uint8_t* data, size_t size);
int FuzzLzo1bBlock(const uint8_t* data, size_t size);
int FuzzInfoQuery(const uint8_t* data, size_t size);

struct FuzzTarget
{
    const char* m_Name;
    int (*m_Fn)(const uint8_t*, size_t);
};
// The targets by the names of their corpus directories (framing, xmlpush, lzo1b, infoqry).
const FuzzTarget* FindTarget(const std::string& name);

// An invariant of the code under test did not hold: report and abort, so that the fuzzer keeps the input.
[[noreturn]] void CheckFailed(const char* what, const char* file, int line);
} // namespace qbfuzz

#define QB_FUZZ_CHECK(cond)                                                                                  \
    do                                                                                                       \
    {                                                                                                        \
        if (!(cond))                                                                                         \
            ::qbfuzz::CheckFailed(#cond, __FILE__, __LINE__);                                                \
    } while (0)
