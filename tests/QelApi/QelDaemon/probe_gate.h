// The two FIFOs of the gated stand-in (helpers/gated_ffprobe.cpp) for one
// program of a program folder (ffprobe unless named otherwise), held open by
// the test: the stand-in reports its start on one and waits on the other until
// release(). Read-write opens never block and keep each FIFO open on both
// sides.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace qel::test {

class ProbeGate {
 public:
  explicit ProbeGate(const std::string& folder, const std::string& program = "ffprobe") {
    const std::string ready = folder + "/" + program + "-ready";
    const std::string gate = folder + "/" + program + "-gate";
    EXPECT_EQ(::mkfifo(ready.c_str(), 0600), 0);
    EXPECT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    ready_ = ::open(ready.c_str(), O_RDWR | O_CLOEXEC);
    gate_ = ::open(gate.c_str(), O_RDWR | O_CLOEXEC);
  }
  ProbeGate(const ProbeGate&) = delete;
  ProbeGate& operator=(const ProbeGate&) = delete;
  ~ProbeGate() {
    release();
    if (ready_ >= 0) ::close(ready_);
  }

  // True once a probe has started (and is now waiting on the gate).
  bool waitStarted(std::chrono::milliseconds timeout) {
    pollfd fd{ready_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) != 1) return false;
    char byte = 0;
    return ::read(ready_, &byte, 1) == 1;
  }

  // Lets every waiting probe (and every later one) answer.
  void release() {
    if (gate_ >= 0) ::close(gate_);
    gate_ = -1;
  }

 private:
  int ready_ = -1;
  int gate_ = -1;
};

}  // namespace qel::test
