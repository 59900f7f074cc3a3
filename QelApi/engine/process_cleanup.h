// Ending stray processes of one program: every process, other than the calling
// one, whose image name is the program path's file name, whose command line
// contains the whole path and whose parent has gone (see isStrayProcess) is
// killed (SIGKILL). Live work of other programs started from the same folder
// (a second service on another port, a recorder) is left alone. Reaping the
// strays is left to their adoptive parents. Reentrant; runs on the caller's
// thread; failures are silent.
#pragma once

#include <string>

#include "common/process_table.h"

namespace qel {

void closeProcessByName(const std::string& programPath);

// True when `process` has lost the parent that started it. `parent` is its
// current parent as /proc shows it (nullopt when that could not be read).
bool isStrayProcess(const ProcessEntry& process, const std::optional<ProcessEntry>& parent);

}  // namespace qel
