// Ending stray processes of one program: every process, other than the calling
// one, whose image name is the program path's file name and whose command line
// contains the whole path is killed (SIGKILL). Reaping them is left to their
// parents. Reentrant; runs on the caller's thread; failures are silent.
#pragma once

#include <string>

namespace qel {

void closeProcessByName(const std::string& programPath);

}  // namespace qel
