#pragma once

#include <cstddef>
#include <cstdint>

namespace platform
{

// Blocks of at least `threshold` bytes get pages of their own from the system and give them back
// as soon as they are freed; their zero fill costs nothing until a page is touched. Without this
// the C library raises its threshold to the size of the first such block freed, after which the
// 10 MiB receive rings of short connections came from the heap: each was zero-filled in full
// (10 MiB resident per connection, however little it received) and, once freed, stayed with the
// allocator (hundreds of MiB after 1,000 connections). Call once, before threads start.
constexpr size_t LARGE_BLOCK_THRESHOLD = size_t{1024} * 1024;
bool MapLargeBlocksDirectly(size_t threshold = LARGE_BLOCK_THRESHOLD);

// Resident set size of this process in bytes (/proc/self/statm); 0 when it cannot be read.
uint64_t GetResidentBytes();

} // namespace platform
