// Disk checks against the limits of Kelv.conf: the free space of the database volume before a write,
// and the periodic check that publishes ISFULL (memory and Kelv.conf), on which intake, import and
// statistics hold back.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

// Free space of the volume of the database data directory against MinFreeSpace (MiB) of Kelv.conf.
// IsDiskSpaceLow is false and HasEnoughDiskSpace false when the free space cannot be queried.
bool IsDiskSpaceLow();
bool HasEnoughDiskSpace(uint64_t bytes);

// Decides whether the database disk is full and publishes ISFULL (memory, and Kelv.conf on change).
// Always 1: a volume that cannot be queried counts as not full. Run by the real-time info timer.
int RealTimeInfo_DiskSpace();
constexpr uint32_t DISK_SPACE_PERIOD_MS = 60000;

// Free bytes of the volume that holds `path`; false when it cannot be queried.
using FreeSpaceQuery = std::function<bool(const std::string& path, uint64_t& freeBytes)>;
// Test hook: replaces the free-space query of RealTimeInfo_DiskSpace; null restores the real one.
void SetFreeSpaceQuery(FreeSpaceQuery query);
