// Running the built QelRecorder in tests: a copy of the program in a temporary
// folder beside a chosen recorder library (the host loads the library from its
// own folder), environment variables set for the run, and the output split into
// lines.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qelhost::test {

using qel::test::ScopedEnv;

struct HostRun {
  bool started = false;
  int exitCode = -1;
  std::string output;
  std::vector<std::string> lines;
};

// Runs `program` with `args` to its end (standard output only).
HostRun RunProgram(const std::string& program, const std::vector<std::string>& args);

// A folder holding a copy of QelRecorder and, unless `library` is empty, the
// built library `library` (a file name in the build's program folder) as
// libqelrecorder.so.
class HostFolder {
 public:
  explicit HostFolder(const std::string& library);
  std::string program() const { return dir_.file("QelRecorder"); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  qel::test::TempDir dir_;
};

}  // namespace qelhost::test
