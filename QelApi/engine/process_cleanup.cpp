#include "engine/process_cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <vector>

#include "common/process.h"

namespace qel {
namespace {

// Reading /proc races with processes that end meanwhile, and a read of a
// vanished process's files can fail with an exception; the next snapshot is
// then a fresh one.
std::vector<ProcessEntry> listProcessesRetrying() {
  constexpr int kAttempts = 5;
  for (int attempt = 1;; ++attempt) {
    try {
      return listProcesses();
    } catch (const std::exception&) {
      if (attempt == kAttempts) return {};
    }
  }
}

}  // namespace

void closeProcessByName(const std::string& programPath) {
  if (programPath.empty()) return;
  const std::string imageName = std::filesystem::path(programPath).filename().string();
  if (imageName.empty()) return;
  const pid_t self = ::getpid();
  for (const ProcessEntry& process : listProcessesRetrying()) {
    if (process.pid == self || process.pid <= 0) continue;
    if (process.imageName != imageName) continue;
    if (process.commandLine.find(programPath) == std::string::npos) continue;
    // Failures (already gone, not ours to signal) are silent. The process's
    // parent reaps it.
    ::kill(process.pid, SIGKILL);
  }
}

}  // namespace qel
