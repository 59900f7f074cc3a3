// Full-screen window detection for PowerPoint over the simulated window and
// process tables; the window helpers on a real X server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/full_screen_window_detector.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/window_helpers.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "support/platform_scopes.h"
#include "support/xvfb_server.h"

#include <X11/Xlib.h>  // after GoogleTest: Xlib's macros clash with its names

namespace capture {
namespace {

namespace sim = platform::display::sim;
namespace display = platform::display;
using Entry = DesktopCapturer::SourceEntry;

TEST(SlideShowTitlesTest, DocumentNames) {
  struct Case {
    const char* title;
    const char* editor;
    const char* slideShow;
  } cases[] = {
      {"Quarterly - PowerPoint", "Quarterly", "PowerPoint"},
      {"PowerPoint Slide Show - Quarterly - PowerPoint", "PowerPoint Slide Show", "Quarterly"},
      {"PowerPoint Slide Show -  Quarterly ", "PowerPoint Slide Show", "Quarterly"},
      {"  Plain title  ", "Plain title", "  Plain title  "},
      {"A - B - C - D", "A", "B - C"},
      {"Ends with - ", "Ends with", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SlideShowHandler::documentOfEditor(c.title), c.editor) << c.title;
    EXPECT_EQ(SlideShowHandler::documentOfSlideShow(c.title), c.slideShow) << c.title;
  }
}

class DetectorTest : public testing::Test {
 protected:
  void SetUp() override {
    display::SelectBacking(platform::Backing::Simulated);
    sim::Reset();
  }
};

TEST_F(DetectorTest, HandlerOnlyForPowerPointImages) {
  struct Case {
    const wchar_t* path;
    bool handler;
  } cases[] = {
      {L"C:\\Program Files\\Microsoft Office\\root\\Office16\\POWERPNT.EXE", true},
      {L"D:\\apps\\powerpnt.exe", true},
      {L"/opt/office/PowerPnt.Exe", true},
      {L"POWERPNT.EXE", true},
      {L"C:\\Office\\POWERPNT.EXE.bak", false},
      {L"C:\\Office\\XPOWERPNT.EXE", false},
      {L"C:\\Office\\WINWORD.EXE", false},
  };
  uint32_t pid = 100;
  for (const auto& c : cases) {
    sim::AddProcess(pid, c.path);
    display::Window w = sim::AddWindow({L"Doc - PowerPoint", L"PPTFrameClass", pid, 0});
    EXPECT_EQ(MakeFullScreenAppHandler(w) != nullptr, c.handler);
    ++pid;
  }
  EXPECT_EQ(MakeFullScreenAppHandler(0xDEAD), nullptr);  // no such window
  EXPECT_EQ(sim::OpenProcessHandles(), 0);
}

TEST_F(DetectorTest, ClassNameMustBeExactlyTheEditorClass) {
  struct Case {
    const wchar_t* className;
    bool editor;
  } cases[] = {
      {L"PPTFrameClass", true}, {L"PPTFrameClassX", false}, {L"PPTFrameClassLongerName", false},
      {L"PPTFrameClas", false}, {L"pptframeclass", false},  {L"", false},
  };
  for (const auto& c : cases) {
    display::Window w = sim::AddWindow({L"t", c.className, 1, 0});
    EXPECT_EQ(IsWindowOfClass(w), c.editor);
  }
}

TEST_F(DetectorTest, EditorFindsItsSlideShowInTheSameProcess) {
  sim::AddProcess(50, L"C:\\Office\\POWERPNT.EXE");
  sim::AddProcess(60, L"C:\\Office\\POWERPNT.EXE");
  auto editor = sim::AddWindow({L"Quarterly - PowerPoint", L"PPTFrameClass", 50, display::kStyleMinimizeBox});
  auto otherDoc = sim::AddWindow({L"PowerPoint Slide Show - Budget - PowerPoint", L"screenClass", 50, 0});
  auto framed = sim::AddWindow(
      {L"PowerPoint Slide Show - Quarterly - PowerPoint", L"screenClass", 50, display::kStyleMaximizeBox});
  auto otherProcess = sim::AddWindow({L"PowerPoint Slide Show - Quarterly - PowerPoint", L"screenClass", 60, 0});
  auto show = sim::AddWindow({L"PowerPoint Slide Show - Quarterly - PowerPoint", L"screenClass", 50, 0});
  std::vector<Entry> list;
  for (auto w : {editor, otherDoc, framed, otherProcess, show}) list.push_back({static_cast<int64_t>(w), ""});

  SlideShowHandler handler(editor);
  EXPECT_EQ(handler.FindFullScreenWindow(list, 0), show);
  EXPECT_EQ(handler.FindFullScreenWindow({}, 0), 0u);
  // From a window that is not an editor nothing is found.
  EXPECT_EQ(SlideShowHandler(show).FindFullScreenWindow(list, 0), 0u);
  // Only the editor itself in the list: nothing else of its process.
  EXPECT_EQ(handler.FindFullScreenWindow({{static_cast<int64_t>(editor), ""}}, 0), 0u);

  auto options = CapturerOptions::MakeDefault();
  ASSERT_TRUE(options.full_screen_detector_);
  options.full_screen_detector_->SetWindowList(list);
  EXPECT_EQ(options.full_screen_detector_->FindFullScreenWindow(editor, 0), show);
  EXPECT_FALSE(options.dxgi_allowed_);
  EXPECT_FALSE(options.magnifier_allowed_);
  EXPECT_TRUE(options.desktop_effects_off_);
  EXPECT_TRUE(options.update_notifications_);
  EXPECT_FALSE(options.find_changed_region_);
  EXPECT_FALSE(options.window_cropping_allowed_);
}

TEST_F(DetectorTest, WindowHelpersOnMissingWindows) {
  EXPECT_EQ(WindowProcessId(0xBAD), 0u);
  EXPECT_EQ(WindowTitleUtf8(0xBAD), "");
  EXPECT_EQ(ProcessImagePathOfWindow(0xBAD), "");
  EXPECT_FALSE(IsWindowOfClass(0xBAD));
  auto w = sim::AddWindow({L"\u00c9t\u00e9 - PowerPoint", L"c", 5, 0});
  EXPECT_EQ(WindowTitleUtf8(w), "\xc3\x89t\xc3\xa9 - PowerPoint");
  EXPECT_EQ(ProcessImagePathOfWindow(w), "");  // its process is unknown
  auto other = sim::AddWindow({L"x", L"c", 6, 0});
  auto third = sim::AddWindow({L"y", L"c", 5, 0});
  std::vector<Entry> list{{int64_t(w), "a"}, {int64_t(other), "b"}, {int64_t(third), "c"}};
  EXPECT_EQ(WindowsOfProcess(list, 5, w), (std::vector<Entry>{{int64_t(third), "c"}}));
  EXPECT_EQ(WindowsOfProcess(list, 5, 0), (std::vector<Entry>{{int64_t(w), "a"}, {int64_t(third), "c"}}));
}

TEST(WindowHelpersX11Test, WindowWithOnlyATitleHasItsTitleAndOurProcess) {
  qel::test::XvfbServer server(640, 480);
  if (!server.running()) GTEST_SKIP() << "no X server for this test: " << server.error();
  const qel::test::ScopedDisplayBacking real(platform::Backing::Real, server.display());
  ASSERT_TRUE(real.selected());
  Display* client = XOpenDisplay(server.display().c_str());
  ASSERT_NE(client, nullptr);
  ::Window w = XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 50, 50, 0, 0, 0);
  XStoreName(client, w, "Budget - PowerPoint");
  XSync(client, False);

  std::vector<Entry> screens;
  std::vector<std::string> names;
  ASSERT_TRUE(ListActiveScreens(&screens, &names));
  ASSERT_EQ(screens.size(), 1u);  // Xvfb's one monitor
  EXPECT_EQ(screens[0].id, 0);
  EXPECT_EQ(VirtualScreenRect(), (DesktopRect{0, 0, 640, 480}));
  std::wstring key;
  ASSERT_TRUE(LookUpScreenDeviceKey(0, &key));
  EXPECT_EQ(ScreenRectById(0, key), (DesktopRect{0, 0, 640, 480}));

  std::vector<Entry> list;
  for (display::Window id : display::EnumWindows()) list.push_back({static_cast<int64_t>(id), ""});
  auto mine = WindowsOfProcess(list, static_cast<uint32_t>(getpid()), 0);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(static_cast<::Window>(mine[0].id), w);
  EXPECT_EQ(WindowTitleUtf8(w), "Budget - PowerPoint");
  EXPECT_EQ(WindowProcessId(w), static_cast<uint32_t>(getpid()));
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(ProcessImagePathOfWindow(w), std::string(self, static_cast<size_t>(n)));
  EXPECT_FALSE(IsWindowOfClass(w));
  EXPECT_EQ(MakeFullScreenAppHandler(w), nullptr);  // the test program is not PowerPoint
  XCloseDisplay(client);
}

}  // namespace
}  // namespace capture
