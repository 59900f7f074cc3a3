// GetWindowHandleByPID on a private Xvfb: a probe process maps top-level
// windows with and without child windows; the test itself restacks them and,
// acting as a window manager, puts one into a frame of its own.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/test_support.h"
#include "support/xvfb_server.h"
#include "tool/process_info.h"

namespace {

using tool::GetWindowHandleByPID;

void* HandleOf(Window window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

// The probe program and the windows it made, bottom first.
struct Probe {
  qel::Subprocess process;
  std::vector<Window> windows;
  uint64_t pid() const { return static_cast<uint64_t>(process.pid()); }
};

class WindowOfProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb_.running()) GTEST_SKIP() << xvfb_.error();
    displayEnv_.emplace("DISPLAY", xvfb_.display());
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
    displayEnv_.reset();
  }

  // Starts the probe with `specs` and waits (generously) for its window ids.
  std::unique_ptr<Probe> Start(const std::vector<std::string>& specs) {
    auto probe = std::make_unique<Probe>();
    std::vector<std::string> argv{qel::test::binDir() + "/tool_window_probe"};
    argv.insert(argv.end(), specs.begin(), specs.end());
    qel::SpawnOptions options;
    options.stderrMode = qel::ChildOutput::Null;
    std::string error;
    EXPECT_TRUE(probe->process.start(argv, options, error)) << error;
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::count(out.begin(), out.end(), '\n') < static_cast<long>(specs.size()) &&
           std::chrono::steady_clock::now() < deadline) {
      if (probe->process.readSome(out, std::chrono::milliseconds(100)) == qel::ReadStatus::EndOfFile) break;
    }
    std::istringstream lines(out);
    for (unsigned long id; lines >> id;) probe->windows.push_back(id);
    EXPECT_EQ(probe->windows.size(), specs.size()) << out;
    return probe;
  }

  qel::test::XvfbServer xvfb_{320, 240};
  // DISPLAY names the test's server while set; put back as it was, also when a test changes it.
  std::optional<qel::test::ScopedEnv> displayEnv_;
  Display* display_ = nullptr;
};

// The owner comes from _NET_WM_PID, else from the X server's client record;
// the window must have a child window.
TEST_F(WindowOfProcess, TopLevelWindowWithAChildByItsOwner) {
  const struct {
    const char* layout;
    bool found;
  } cases[] = {
      {"child+pid", true},
      {"child", true},  // no _NET_WM_PID: the X-Resource extension names the client
      {"bare+pid", false},
      {"bare", false},
  };
  for (const auto& c : cases) {
    auto probe = Start({c.layout});
    if (probe->windows.size() != 1) continue;
    EXPECT_EQ(GetWindowHandleByPID(probe->pid()), c.found ? HandleOf(probe->windows[0]) : nullptr) << c.layout;
  }
  EXPECT_EQ(GetWindowHandleByPID(0), nullptr);
}

// From the top of the stacking order down: the highest window of the process
// that has a child window.
TEST_F(WindowOfProcess, HighestWindowWithAChild) {
  auto probe = Start({"child+pid", "child+pid", "bare+pid"});
  ASSERT_EQ(probe->windows.size(), 3u);
  EXPECT_EQ(GetWindowHandleByPID(probe->pid()), HandleOf(probe->windows[1]));
  XRaiseWindow(display_, probe->windows[0]);
  XSync(display_, False);
  EXPECT_EQ(GetWindowHandleByPID(probe->pid()), HandleOf(probe->windows[0]));
  // Another process's window on top changes nothing.
  auto other = Start({"child+pid"});
  ASSERT_EQ(other->windows.size(), 1u);
  EXPECT_EQ(GetWindowHandleByPID(probe->pid()), HandleOf(probe->windows[0]));
  EXPECT_EQ(GetWindowHandleByPID(other->pid()), HandleOf(other->windows[0]));
}

// Under a window manager the root's child is the manager's frame; the
// program's window inside it (the one with WM_STATE) is the answer.
TEST_F(WindowOfProcess, ProgramWindowInsideAManagerFrame) {
  auto probe = Start({"child+pid"});
  ASSERT_EQ(probe->windows.size(), 1u);
  const Window client = probe->windows[0];
  const Window root = DefaultRootWindow(display_);
  const Window frame = XCreateSimpleWindow(display_, root, 0, 0, 240, 200, 0, 0, 0);
  const Window border = XCreateSimpleWindow(display_, frame, 0, 20, 220, 170, 0, 0, 0);
  XMapWindow(display_, border);
  XReparentWindow(display_, client, border, 0, 0);
  const Atom wmState = XInternAtom(display_, "WM_STATE", False);
  const unsigned long state[2] = {NormalState, None};
  XChangeProperty(display_, client, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(state), 2);
  XMapWindow(display_, frame);
  XSync(display_, False);
  EXPECT_EQ(GetWindowHandleByPID(probe->pid()), HandleOf(client));
}

TEST_F(WindowOfProcess, NoDisplayNoWindow) {
  auto probe = Start({"child+pid"});
  ASSERT_EQ(probe->windows.size(), 1u);
  ::unsetenv("DISPLAY");
  EXPECT_EQ(GetWindowHandleByPID(probe->pid()), nullptr);
}

}  // namespace
