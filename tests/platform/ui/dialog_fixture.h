// The fixture of the dialog tests (the window layer's and the run script's):
// a simulated display and skins written by the test. Outside an anonymous
// namespace so that both files' tests share the one suite, "Dialogs".
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/backing.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/dialog.h"
#include "support/test_support.h"

namespace platform::ui {

// A dialog of a skin written by the test, keeping the clicks it receives.
class TestDialog : public DialogWindow {
 public:
  TestDialog(std::string file, std::string closeOn) : file_(std::move(file)), closeOn_(std::move(closeOn)) {}
  std::vector<std::string> clicks;

 protected:
  std::string SkinFile() const override { return file_; }
  void Notify(const std::string& type, const std::string& control) override {
    if (type != "click") return;
    clicks.push_back(control);
    if (control == closeOn_) Close(0);
  }

 private:
  std::string file_;
  std::string closeOn_;
};

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    display::SelectBacking(Backing::Simulated);
    display::sim::Reset();
    DialogWindow::SetSkinRoot(skins.path() + "/");
    std::filesystem::create_directories(skins.file("default"));
    qel::test::writeFile(skins.file("default/a.xml"),
                         "<Window size=\"300,100\"><Button name=\"OK\"/><Button name=\"ONLY_A\"/></Window>");
    qel::test::writeFile(skins.file("default/b.xml"), "<Window size=\"200,80\"><Button name=\"OK\"/></Window>");
  }
  void TearDown() override {
    DialogWindow::SetSkinRoot("");
    display::sim::Reset();
  }
  qel::test::TempDir skins;
};

}  // namespace platform::ui
