// The running processes as /proc shows them: name, command line, parent,
// session and state of each. Used to find programs by name (strays of an
// earlier run to end, a program playing sound) and to check on children.
//
// Thread safety: reentrant free functions; a listing is a snapshot that may be
// out of date the moment it returns.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qel {

// One running process as /proc shows it.
struct ProcessEntry {
  pid_t pid = 0;
  std::string imageName;    // file name of the executable (comm, or argv[0]'s name)
  std::string commandLine;  // arguments joined by single blanks
  pid_t parentPid = 0;      // 0 when the parent lies outside this pid namespace
  pid_t sessionId = 0;
  char state = '?';  // 'R', 'S', 'Z'... as /proc/<pid>/stat gives it
};

// Lists the running processes from /proc. Processes that vanish while being read
// are skipped.
std::vector<ProcessEntry> listProcesses();
// The one process `pid`, nullopt when there is none (or it vanished meanwhile).
std::optional<ProcessEntry> readProcess(pid_t pid);

}  // namespace qel
