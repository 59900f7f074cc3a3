// Internal: the MD5 message digest (RFC 1321).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tool::text_internal {

std::array<uint8_t, 16> Md5Digest(const void* data, std::size_t size);

}  // namespace tool::text_internal
