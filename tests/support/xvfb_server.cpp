#include "support/xvfb_server.h"

#include <chrono>
#include <filesystem>

namespace qel::test {

XvfbServer::XvfbServer(int width, int height, const std::vector<std::string>& extraArguments) {
  const char* candidates[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
  std::string program;
  for (const char* c : candidates)
    if (std::filesystem::exists(c)) program = c;
  if (program.empty()) {
    error_ = "Xvfb is not installed";
    return;
  }
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Pipe;
  options.stderrMode = ChildOutput::Null;
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // -displayfd 1: the server picks a free display number and writes it to stdout.
  std::vector<std::string> argv{program, "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  if (!process_.start(argv, options, error_)) {
    error_ = "Xvfb did not start: " + error_;
    return;
  }
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    ReadStatus status = process_.readSome(out, std::chrono::milliseconds(100));
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
  }
  size_t end = out.find('\n');
  if (end == std::string::npos || end == 0) {
    error_ = "Xvfb did not report a display number";
    kill();
    return;
  }
  display_ = ":" + out.substr(0, end);
}

XvfbServer::~XvfbServer() { kill(); }

void XvfbServer::kill() {
  if (process_.running()) {
    process_.kill();
    process_.wait();
  }
}

}  // namespace qel::test
