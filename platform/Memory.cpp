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
    return mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold)) == 1;
}

} // namespace platform
