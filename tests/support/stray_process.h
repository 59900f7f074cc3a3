// Stray processes for tests of the start-up sweep: a program whose parent has
// gone, the way a killed or daemonising program leaves its children behind.
//
// A StrayProcess is started by a short-lived middle process that leaves its
// session first (setsid, as a program that daemonises does), starts the
// program and exits. The kernel then hands the program to the nearest
// sub-reaper; the test process makes itself one for the stray's lifetime, so
// the stray is its child again and the test reaps it and sees how it ended,
// whatever the machine's init or the test harness does with orphans.
//
// Thread safety: one test thread owns a StrayProcess.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qel::test {

class StrayProcess {
 public:
  // Starts argv[0] (a path) with its arguments; its standard handles are
  // /dev/null. pid() is 0 when that failed.
  explicit StrayProcess(const std::vector<std::string>& argv);
  // Kills and reaps a stray that is still running; restores this process's
  // sub-reaper setting.
  ~StrayProcess();
  StrayProcess(const StrayProcess&) = delete;
  StrayProcess& operator=(const StrayProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reaps the stray once it has ended within `timeout`: its exit code, or
  // 128 + signal number when a signal ended it; nullopt while it runs.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = 0;
  bool reaped_ = false;
  int wasSubreaper_ = 0;
};

}  // namespace qel::test
