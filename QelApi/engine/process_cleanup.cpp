#include "engine/process_cleanup.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/unique_fd.h"

namespace qel {
namespace {

// Signals the process behind `pidfd`, or `pid` where the kernel has no pidfds.
void killProcess(int pidfd, pid_t pid) {
  if (pidfd >= 0) {
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
  } else {
    ::kill(pid, SIGKILL);
  }
}

bool matches(const ProcessEntry& process, const std::string& imageName, const std::string& programPath) {
  return process.imageName == imageName && process.commandLine.find(programPath) != std::string::npos;
}

}  // namespace

// The children this system starts die with the thread that started them (the
// process layer sets their parent-death signal), so a program that is still
// running from our folder belongs to someone alive: another service on
// another port, a recorder, a user's own run. Only a process whose parent
// has gone is left over, and the kernel has handed it to init or to the
// nearest sub-reaper (a session manager, a supervisor, a test harness).
// /proc does not tell a sub-reaper from any other parent, so adoption is
// recognised by what it leaves behind:
// - the parent is pid 1, the init of this pid namespace; or
// - the process sits in another session than its parent and does not lead
//   that session. A child is forked into its parent's session and leaves it
//   only through setsid(), which makes it the leader of the new one; so such
//   a process was not forked by its present parent but adopted.
// A stray adopted by a sub-reaper of its own session looks like live work
// and is spared: ending another program's work is the worse mistake. A
// parent outside this pid namespace (ppid 0) is alive somewhere else.
bool isStrayProcess(const ProcessEntry& process, const std::optional<ProcessEntry>& parent) {
  if (process.parentPid == 1) return true;
  if (process.parentPid <= 0 || !parent || parent->pid != process.parentPid) return false;
  const bool leadsItsSession = process.sessionId == process.pid;
  return !leadsItsSession && process.sessionId != parent->sessionId;
}

void closeProcessByName(const std::string& programPath) {
  if (programPath.empty()) return;
  const std::string imageName = std::filesystem::path(programPath).filename().string();
  if (imageName.empty()) return;
  const pid_t self = ::getpid();
  for (const ProcessEntry& listed : listProcesses()) {
    if (listed.pid == self || listed.pid <= 1) continue;
    if (!matches(listed, imageName, programPath)) continue;
    // The checks below are made on the process behind the pidfd, so a pid
    // reused since the listing is never the one signalled.
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, listed.pid, 0)));
    if (!pidfd && errno != ENOSYS) continue;  // gone already
    const std::optional<ProcessEntry> process = readProcess(listed.pid);
    if (process && process->state != 'Z' && matches(*process, imageName, programPath) &&
        isStrayProcess(*process, readProcess(process->parentPid))) {
      killProcess(pidfd.get(), process->pid);
    }
  }
}

}  // namespace qel
