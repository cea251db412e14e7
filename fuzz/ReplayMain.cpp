// Replays inputs through a fuzz target without libFuzzer: every file of the given directories (or the
// given files) once, in name order. Used by ctest on the committed corpus and to reproduce a finding
// with the ordinary build:  fuzz_replay TARGET PATH...
#include "fuzz/FuzzEnv.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h"))
    {
        printf("NAME\n"
               "    fuzz_replay - run fuzz inputs through a fuzz target without libFuzzer\n"
               "SYNOPSIS\n"
               "    fuzz_replay framing|xmlpush|lzo1b|infoqry PATH...\n"
               "DESCRIPTION\n"
               "    Feeds every file named, or found below a directory named, to the target once, so that a\n"
               "    finding of scripts/fuzz.sh replays with the ordinary build.\n"
               "EXIT STATUS\n"
               "    0 when every input ran, 2 for a usage error; a crash is the target's own.\n");
        return 0;
    }
    if (argc < 3)
    {
        fprintf(stderr, "usage: fuzz_replay framing|xmlpush|lzo1b|infoqry PATH...\n");
        return 2;
    }
    const qbfuzz::FuzzTarget* target = qbfuzz::FindTarget(argv[1]);
    if (target == nullptr)
    {
        fprintf(stderr, "fuzz_replay: unknown target %s\n", argv[1]);
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i)
    {
        struct stat st
        {
        };
        if (stat(argv[i], &st) != 0)
        {
            fprintf(stderr, "fuzz_replay: cannot read %s\n", argv[i]);
            return 2;
        }
        if (!S_ISDIR(st.st_mode))
        {
            files.push_back(argv[i]);
            continue;
        }
        DIR* d = opendir(argv[i]);
        while (dirent* e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.')
                files.push_back(std::string(argv[i]) + "/" + e->d_name);
        if (d)
            closedir(d);
    }
    std::sort(files.begin(), files.end());
    qbfuzz::InitFuzzEnv();
    for (const std::string& f : files)
    {
        std::ifstream in(f, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        target->m_Fn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // A closing line ctest's log and a person both read.
    printf("fuzz_replay %s: %zu inputs replayed, 0 findings\n", argv[1], files.size());
    return files.empty() ? 1 : 0;
}
