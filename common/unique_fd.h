// One owned file descriptor: closed when its owner goes, handed on by move.
// Header-only so that every deliverable can hold its descriptors this way,
// whatever it links.
//
// Thread safety: like an int; one owner at a time.
#pragma once

#include <unistd.h>

#include <utility>

namespace qel {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  // The descriptor, -1 when none is held; it stays owned.
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it; the caller owns it from then on.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held (errors of close are of no use here: the descriptor is
  // gone either way) and takes `fd` instead.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace qel
