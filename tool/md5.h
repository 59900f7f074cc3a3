// Internal: the MD5 message digest (RFC 1321), of one buffer or of data fed in
// pieces (a file read chunk by chunk never has to be held whole).
//
// Thread safety: an Md5 is used by one thread at a time; the free functions
// are stateless.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tool::text_internal {

using Md5Value = std::array<uint8_t, 16>;

class Md5 {
 public:
  Md5();
  // Feeds the next `size` bytes; pieces of any size give the digest of their
  // concatenation.
  void Update(const void* data, std::size_t size);
  // The digest of everything fed. The object is spent afterwards.
  Md5Value Final();

 private:
  uint32_t state_[4];
  uint64_t length_ = 0;  // bytes fed so far
  uint8_t pending_[64];  // the start of a block not yet complete
  std::size_t pending_size_ = 0;
};

Md5Value Md5Digest(const void* data, std::size_t size);

// The first `length` (at most 32) lower-case hexadecimal digits of `digest`;
// empty for a length of 0 or less.
std::string Md5Text(const Md5Value& digest, int length);

}  // namespace tool::text_internal
