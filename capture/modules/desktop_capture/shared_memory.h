// Blocks of shared memory that frames can live in, and the factory a client
// may hand a capturer to make them. No client of this system supplies one, but
// the capturers honour one when given.
//
// Thread safety: a block is used like its frame; factories are used by the
// capturer's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace capture {

class SharedMemoryBlock {
 public:
  virtual ~SharedMemoryBlock() = default;
  SharedMemoryBlock(const SharedMemoryBlock&) = delete;
  SharedMemoryBlock& operator=(const SharedMemoryBlock&) = delete;

  void* data() const { return data_; }
  size_t size() const { return size_; }
  // The section handle (an identifier the display layer accepts as the
  // section of a DIB section); 0 when the block has none.
  uint64_t handle() const { return handle_; }

 protected:
  SharedMemoryBlock(void* data, size_t size, uint64_t handle) : data_(data), size_(size), handle_(handle) {}

 private:
  void* data_;
  size_t size_;
  uint64_t handle_;
};

class SharedMemoryBlockFactory {
 public:
  virtual ~SharedMemoryBlockFactory() = default;
  // A block of `size` bytes, or null on failure.
  virtual std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t size) = 0;
};

}  // namespace capture
