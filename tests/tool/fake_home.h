// Test helper: points HOME at a temporary folder holding Documents (and unsets
// the XDG folder variables) for the whole test program, before any removal
// builds the process's set of protected folders. Removal tests then never have
// the real home in that set, and nothing outside temporary folders is touched.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tool_test {

class FakeHomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = std::make_unique<qel::test::TempDir>();
    home_ = root_->file("home");
    ::mkdir(home_.c_str(), 0755);
    ::mkdir((home_ + "/Documents").c_str(), 0755);
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
  }
  void TearDown() override { root_.reset(); }

  static const std::string& root() { return instance()->root_->path(); }
  static const std::string& home() { return instance()->home_; }
  static FakeHomeEnvironment* instance() {
    static FakeHomeEnvironment* const environment =
        static_cast<FakeHomeEnvironment*>(::testing::AddGlobalTestEnvironment(new FakeHomeEnvironment));
    return environment;
  }

 private:
  std::unique_ptr<qel::test::TempDir> root_;
  std::string home_;
};

}  // namespace tool_test
