#include "recorder_host/host_run.h"

#include <filesystem>
#include <sstream>

#include "common/subprocess.h"

namespace qelhost::test {

HostRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const qel::CapturedRun run = qel::runAndCapture(argv, false, std::chrono::seconds(120));
  HostRun result;
  result.started = run.started;
  result.exitCode = run.exitCode;
  result.output = run.output;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) result.lines.push_back(line);
  return result;
}

HostFolder::HostFolder(const std::string& library) {
  namespace fs = std::filesystem;
  fs::copy_file(qel::test::binDir() + "/QelRecorder", program());
  fs::permissions(program(), fs::perms::owner_all);
  if (!library.empty()) fs::copy_file(qel::test::binDir() + "/" + library, dir_.file("libqelrecorder.so"));
}

}  // namespace qelhost::test
