#include "platform/Memory.h"

#include <climits>
#include <malloc.h>

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

} // namespace platform
