// A private Xvfb server for tests that need a real X server. It picks a free
// display number itself (-displayfd) and is killed and reaped with the object.
//
// Thread safety: one owner.
#pragma once

#include <string>
#include <vector>

#include "common/subprocess.h"

namespace qel::test {

class XvfbServer {
 public:
  // Starts Xvfb with one screen of `width` x `height` at 24 bits, and
  // `extraArguments` after the others (for example "-auth", a cookie file).
  // On failure `running()` is false and `error()` says why (for a test skip).
  XvfbServer(int width, int height, const std::vector<std::string>& extraArguments = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return !display_.empty(); }
  const std::string& error() const { return error_; }
  // ":N"
  const std::string& display() const { return display_; }
  pid_t pid() const { return process_.pid(); }
  // Ends the server now (a test of a lost connection).
  void kill();

 private:
  qel::Subprocess process_;
  std::string display_;
  std::string error_;
};

}  // namespace qel::test
