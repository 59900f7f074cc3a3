// Internal: reading a PE (Windows executable or library) image held in memory:
// its machine type and the fixed file version of its version resource. Every
// offset and size read from the image is checked in 64-bit arithmetic before
// use, so a damaged or hostile file gives "none", never a read out of bounds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tool::system_internal {

// The COFF machine field, or 0 (with the log lines of the library) when the
// image holds no PE header.
uint16_t PeMachineType(std::string_view image);

// dwFileVersionMS << 32 | dwFileVersionLS of the first RT_VERSION resource.
std::optional<uint64_t> PeFileVersion(std::string_view image);

}  // namespace tool::system_internal
