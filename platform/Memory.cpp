#include "platform/Memory.h"

#include <climits>
#include <cstdio>
#include <malloc.h>
#include <unistd.h>

namespace platform
{

bool MapLargeBlocksDirectly(size_t threshold)
{
    if (threshold == 0 || threshold > static_cast<size_t>(INT_MAX))
        return false;
    // Setting the threshold explicitly also turns off its growth on free.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): called once by the entry point, before any thread starts
    return mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold)) == 1;
}

uint64_t GetResidentBytes()
{
    FILE* f = std::fopen("/proc/self/statm", "re");
    if (f == nullptr)
        return 0;
    unsigned long long size = 0, resident = 0;
    const int read = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    const long page = sysconf(_SC_PAGESIZE);
    if (read != 2 || page <= 0)
        return 0;
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(page);
}

} // namespace platform
