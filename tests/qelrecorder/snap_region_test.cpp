// The target button snaps the region onto the chosen playing program's
// window: the program's own first visible window without owner, else its
// parent's, up the process tree; a minimised window is restored first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "platform/apps/render_processes.h"
#include "platform/core/backing.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/x11_key_grabs.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/recorder_test_util.h"
#include "qelrecorder/target_window.h"
#include "support/platform_scopes.h"
#include "support/xvfb_server.h"

// Xlib's macros clash with GoogleTest's names: last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <optional>

namespace qelrec {
namespace {

// The region and target tests look at the loop more often.
void pump(int ms) { test::pump(ms, 5); }

namespace sim = platform::display::sim;
using platform::display::Rect;
using platform::display::WindowPlacement;

// A real child that "plays audio"; the test process is its parent.
class Player {
 public:
  Player() {
    qel::SpawnOptions options;
    options.stdoutMode = qel::ChildOutput::Null;
    options.stderrMode = qel::ChildOutput::Null;
    std::string error;
    if (process_.start({"sleep", "30"}, options, error)) pid_ = static_cast<uint32_t>(process_.pid());
  }
  ~Player() {
    if (pid_ != 0) {
      process_.kill();
      process_.wait();
    }
  }
  uint32_t pid() const { return pid_; }

 private:
  qel::Subprocess process_;
  uint32_t pid_ = 0;
};

class SnapRegion : public ::testing::Test {
 protected:
  // Declared first, so the forced backing outlives every window of the test.
  std::optional<qel::test::ScopedBacking> uiBacking_;

  void SetUp() override {
    uiBacking_.emplace("ui", platform::Backing::Simulated, platform::ui::x11keys::ReselectUiBacking);
    platform::display::SelectBacking(platform::Backing::Simulated);
    sim::Reset();
    CRecordSettings::Destroy();
    CRecordSettings::Get().m_bCaptureAudio = true;  // the picker runs with audio only
  }
  void TearDown() override {
    platform::apps::SetRenderProcesses({});
    sim::Reset();
    CRecordSettings::Destroy();
  }
  // A dialog whose picker holds `pid` as its chosen process.
  void OpenDialogPicking(uint32_t pid) {
    dialog_ = std::make_unique<CRecorderDlgUI>(L"default", &hostRegion_);
    ASSERT_NE(dialog_->Create(nullptr, "Qel Recorder", 0, 0, {0, 0, 0, 0}), nullptr);
    pump(20);  // "windowinit": the region window
    platform::apps::SetRenderProcesses({pid});
    dialog_->Locator()->OnTimer();
    pump(20);  // the list reaches the dialog
    dialog_->Click("ID_BTN_REGION_MANUAL_SELECT");
    ASSERT_EQ(dialog_->FindControl("ID_BTN_TARGET_PROCESS")->tag, pid);
  }
  platform::ui::Rect RegionRect() {
    platform::ui::Rect r{};
    platform::ui::GetWindowRect(dialog_->RegionWindow()->GetHWND(), r);
    return r;
  }
  void CloseDialog() {
    dialog_->Close(1);
    pump(20);
    dialog_.reset();
  }

  platform::ui::Rect hostRegion_{100, 100, 500, 400};
  std::unique_ptr<CRecorderDlgUI> dialog_;
};

TEST_F(SnapRegion, OwnVisibleMainWindowGrownByTheBorder) {
  Player player;
  ASSERT_NE(player.pid(), 0u);
  const uint32_t pid = player.pid();
  // Skipped: hidden, or owned by another window (a dialog of the program).
  const auto hidden = sim::AddWindow({L"hidden", L"c", pid, 0});
  sim::SetWindowPlacement(hidden, WindowPlacement{Rect{0, 0, 50, 50}, 0, false, false});
  const auto owned = sim::AddWindow({L"owned", L"c", pid, 0});
  sim::SetWindowPlacement(owned, WindowPlacement{Rect{10, 10, 60, 60}, hidden, true, false});
  const auto main = sim::AddWindow({L"main", L"c", pid, 0});
  sim::SetWindowPlacement(main, WindowPlacement{Rect{200, 150, 1000, 750}, 0, true, false});
  EXPECT_EQ(FindTargetWindow(pid), main);

  OpenDialogPicking(pid);
  dialog_->Click("ID_BTN_TARGET_PROCESS");
  const platform::ui::Rect r = RegionRect();
  EXPECT_EQ(r.left, 196);
  EXPECT_EQ(r.top, 146);
  EXPECT_EQ(r.right, 1004);
  EXPECT_EQ(r.bottom, 754);
  EXPECT_TRUE(dialog_->RegionWindow()->IsVisible());
  // The dialog rides on the region's top edge again.
  platform::ui::Rect d{};
  ASSERT_TRUE(platform::ui::GetWindowRect(dialog_->GetHWND(), d));
  EXPECT_EQ(d.left, 196 + (808 - dialog_->InitWidth()) / 2);
  EXPECT_EQ(d.top, 150);
  // The window found is kept in the entry.
  platform::apps::RenderProcessEntry entry{};
  ASSERT_TRUE(dialog_->Locator()->Entry(0, &entry));
  EXPECT_EQ(entry.window, static_cast<uint32_t>(main));
  CloseDialog();
}

// A helper process without a window of its own: the window of its parent
// (here the test process) is taken, restored when it was minimised.
TEST_F(SnapRegion, ParentWindowWhenTheProcessHasNoneAndMinimisedIsRestored) {
  Player player;
  ASSERT_NE(player.pid(), 0u);
  const auto parent = sim::AddWindow({L"app", L"c", static_cast<uint32_t>(getpid()), 0});
  sim::SetWindowPlacement(parent, WindowPlacement{Rect{40, 30, 840, 630}, 0, true, true});
  EXPECT_EQ(platform::apps::ParentProcessId(player.pid()), static_cast<uint32_t>(getpid()));

  OpenDialogPicking(player.pid());
  dialog_->Click("ID_BTN_TARGET_PROCESS");
  EXPECT_FALSE(sim::GetWindowPlacement(parent)->minimized);
  const platform::ui::Rect r = RegionRect();
  EXPECT_EQ(r.left, 36);
  EXPECT_EQ(r.top, 26);
  EXPECT_EQ(r.right, 844);
  EXPECT_EQ(r.bottom, 634);
  CloseDialog();
}

TEST_F(SnapRegion, NoWindowUpTheTreeLeavesTheRegion) {
  Player player;
  ASSERT_NE(player.pid(), 0u);
  EXPECT_EQ(FindTargetWindow(player.pid()), 0u);
  OpenDialogPicking(player.pid());
  dialog_->Click("ID_BTN_TARGET_PROCESS");
  const platform::ui::Rect r = RegionRect();
  EXPECT_EQ(r.left, hostRegion_.left);
  EXPECT_EQ(r.top, hostRegion_.top);
  EXPECT_EQ(r.right, hostRegion_.right);
  EXPECT_EQ(r.bottom, hostRegion_.bottom);
  platform::apps::RenderProcessEntry entry{};
  ASSERT_TRUE(dialog_->Locator()->Entry(0, &entry));
  EXPECT_EQ(entry.window, 0u);
  CloseDialog();
}

// On an X server: windows carry their process in _NET_WM_PID. The playing
// child's only window is a dialog of another window, so the walk goes on to
// the parent (this test), whose window a test client made.
TEST(SnapRegionX11, WindowOfTheProcessTreeFromTheServer) {
  qel::test::XvfbServer xvfb(1024, 768);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  Player player;
  ASSERT_NE(player.pid(), 0u);
  Display* client = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(client, nullptr);
  const qel::test::ScopedDisplayBacking real(platform::Backing::Real, xvfb.display());
  ASSERT_TRUE(real.selected());
  const ::Window root = DefaultRootWindow(client);
  const Atom pidAtom = XInternAtom(client, "_NET_WM_PID", False);
  const auto setPid = [&](::Window w, uint32_t pid) {
    const unsigned long value = pid;
    XChangeProperty(client, w, pidAtom, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&value), 1);
  };
  const ::Window app = XCreateSimpleWindow(client, root, 120, 80, 500, 300, 0, 0, 0);
  setPid(app, static_cast<uint32_t>(getpid()));
  const ::Window childDialog = XCreateSimpleWindow(client, root, 10, 10, 100, 60, 0, 0, 0);
  setPid(childDialog, player.pid());
  XSetTransientForHint(client, childDialog, app);
  XMapWindow(client, app);
  XMapWindow(client, childDialog);
  XSync(client, False);

  EXPECT_EQ(FindTargetWindow(player.pid()), platform::display::Window{app});
  Rect frame;
  ASSERT_TRUE(platform::display::GetWindowFrameBounds(app, &frame));
  EXPECT_EQ(frame, (Rect{120, 80, 620, 380}));

  XCloseDisplay(client);
}

}  // namespace
}  // namespace qelrec
