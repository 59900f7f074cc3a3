#include "recorder_host/host_run.h"

#include <filesystem>
#include <sstream>

#include "common/process.h"

namespace qelhost::test {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

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
