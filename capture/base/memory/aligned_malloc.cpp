#include "capture/base/memory/aligned_malloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "capture/base/checks.h"

namespace capture {
namespace {
// The raw pointer is kept whole in front of the aligned block (a 32-bit slot
// would cut a 64-bit pointer and free the wrong address).
constexpr size_t kHeader = sizeof(void*);
}  // namespace

void* AlignedMalloc(size_t size, size_t alignment) {
  if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
  void* memory_pointer = nullptr;
  if (size <= std::numeric_limits<size_t>::max() - alignment - kHeader) {
    memory_pointer = std::malloc(size + alignment + kHeader - 1);
  }
  CAPTURE_CHECK_AT("../../base/memory/aligned_malloc", 66, memory_pointer, "Couldn't allocate memory in AlignedMalloc");
  uintptr_t raw = reinterpret_cast<uintptr_t>(memory_pointer);
  uintptr_t aligned = (raw + kHeader - 1 + alignment) & ~(uintptr_t{alignment} - 1);
  std::memcpy(reinterpret_cast<void*>(aligned - kHeader), &memory_pointer, kHeader);
  return reinterpret_cast<void*>(aligned);
}

void AlignedRelease(void* block) {
  if (block == nullptr) return;
  void* raw = nullptr;
  std::memcpy(&raw, static_cast<char*>(block) - kHeader, kHeader);
  std::free(raw);
}

}  // namespace capture
