// Aligned heap blocks for the I420 planes (64-byte aligned, so the conversion
// and the pipe writes run on whole cache lines).
//
// Thread safety: reentrant.
#pragma once

#include <cstddef>

namespace capture {

// A block of `size` bytes aligned to `alignment`, to be freed with
// AlignedRelease. Null when `size` is 0 or `alignment` is 0 or not a power of
// two. A failed allocation ends the process through the fatal check reporter.
void* AlignedMalloc(size_t size, size_t alignment);
// Frees a block of AlignedMalloc; null does nothing.
void AlignedRelease(void* block);

}  // namespace capture
