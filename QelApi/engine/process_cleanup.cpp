#include "engine/process_cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "common/process.h"

namespace qel {

void closeProcessByName(const std::string& programPath) {
  if (programPath.empty()) return;
  const std::string imageName = std::filesystem::path(programPath).filename().string();
  if (imageName.empty()) return;
  const pid_t self = ::getpid();
  for (const ProcessEntry& process : listProcesses()) {
    if (process.pid == self || process.pid <= 0) continue;
    if (process.imageName != imageName) continue;
    if (process.commandLine.find(programPath) == std::string::npos) continue;
    // Failures (already gone, not ours to signal) are silent. The process's
    // parent reaps it.
    ::kill(process.pid, SIGKILL);
  }
}

}  // namespace qel
