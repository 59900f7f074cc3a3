// Internal: which mounted file systems count as the machine's local disks, and
// which of them has the most free space.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tool::filesystem_internal {

// Mount points of /proc/self/mounts backed by a block device (or an overlay or
// ZFS data set), in the table's order, each once.
std::vector<std::string> LocalDiskMounts();

// The mount with the most bytes free to the caller (statvfs); "" when none has any.
std::string MostFreeMount(const std::vector<std::string>& mounts);

// The entry with strictly the most free bytes; the earlier one wins a tie, and
// no entry with 0 free bytes is chosen.
std::string PickMostFree(const std::vector<std::pair<std::string, uint64_t>>& candidates);

}  // namespace tool::filesystem_internal
