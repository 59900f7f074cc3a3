// Test helper: sends the library's log to a file in a temporary folder for the
// life of the object and reads back what was written.
#pragma once

#include <string>

#include "support/test_support.h"
#include "tool/logger.h"

namespace tool_test {

class LogCapture {
 public:
  LogCapture() : path_(dir_.file("capture.log")) { SetLogTarget(path_); }
  ~LogCapture() { SetLogTarget(""); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    try {
      return qel::test::readFile(path_);
    } catch (...) {
      return std::string();
    }
  }
  bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }

 private:
  qel::test::TempDir dir_;
  std::string path_;
};

}  // namespace tool_test
