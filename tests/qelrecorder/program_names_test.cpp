// Names and pictures of the playing programs: the .desktop entry of the
// executable gives the icon and the description (what a version resource
// gives elsewhere), else the file name is the name; the target button shows
// the logo or the icon by handle as image texts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "common/text_convert.h"
#include "platform/apps/render_processes.h"
#include "platform/apps/shell_info.h"
#include "platform/core/backing.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/x11_key_grabs.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/target_process_locator.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"
#include "support/platform_scopes.h"

namespace qelrec {
namespace {

std::string desktopFile(const std::string& name, const std::string& exec, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra +
         "[Desktop Action New]\nName=Not this one\nExec=other\n";
}

class ProgramNames : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::apps::SetDesktopEntryFolders({folder.path()});
    qel::SpawnOptions options;
    options.stdoutMode = qel::ChildOutput::Null;
    options.stderrMode = qel::ChildOutput::Null;
    std::string error;
    ASSERT_TRUE(sleeper.start({"sleep", "30"}, options, error)) << error;
    platform::ui::WindowParams params;
    params.parent = platform::ui::HWND_MESSAGE;
    dialogWindow = platform::ui::CreateWindowEx(params);
  }
  void TearDown() override {
    sleeper.kill();
    sleeper.wait();
    platform::ui::DestroyWindow(dialogWindow);
    platform::apps::SetRenderProcesses({});
    platform::apps::SetDesktopEntryFolders({});
  }
  // The sleeper as the locator's one entry, named afresh (the list empties
  // first, so the tick sees a new count).
  platform::apps::RenderProcessEntry EntryOf(CTargetProcessLocator& locator) {
    platform::apps::SetRenderProcesses({});
    locator.OnTimer();
    platform::apps::SetRenderProcesses({static_cast<uint32_t>(sleeper.pid())});
    locator.OnTimer();
    platform::apps::RenderProcessEntry entry{};
    EXPECT_TRUE(locator.Entry(0, &entry));
    return entry;
  }

  qel::test::TempDir folder;
  qel::Subprocess sleeper;
  platform::ui::HWND dialogWindow = nullptr;
};

TEST_F(ProgramNames, DesktopEntryGivesNameAndIconElseTheFileName) {
  const struct {
    const char* what;
    std::string file;  // "" = no .desktop file
    std::wstring name;
    std::string icon;
  } cases[] = {
      {"Exec program", desktopFile("Sleeper", "/usr/bin/sleep %U", "Icon=sleeper-icon\n"), L"Sleeper", "sleeper-icon"},
      {"quoted Exec", desktopFile("Quoted", "\"/opt/x y/sleep\" --now"), L"Quoted", "application-x-executable"},
      {"TryExec", desktopFile("Tried", "env A=1 launcher", "TryExec=sleep\n"), L"Tried", "application-x-executable"},
      {"Hidden entry", desktopFile("Gone", "sleep", "Hidden=true\n"), L"sleep", "application-x-executable"},
      {"another program", desktopFile("Other", "sleeper"), L"sleep", "application-x-executable"},
      {"no entry", "", L"sleep", "application-x-executable"},
  };
  const int before = platform::apps::LiveIconCount();
  {
    CTargetProcessLocator locator(dialogWindow);
    for (const auto& c : cases) {
      qel::test::writeFile(folder.file("app.desktop"), c.file);
      const platform::apps::RenderProcessEntry entry = EntryOf(locator);
      EXPECT_EQ(U16ToWide(entry.displayName), c.name) << c.what;
      ASSERT_NE(entry.icon, 0u) << c.what;
      EXPECT_EQ(platform::apps::IconName(entry.icon), c.icon) << c.what;
      EXPECT_EQ(entry.logoFile[0], 0) << c.what;
    }
  }
  // Every icon, also those entries gave up, ends with the locator.
  EXPECT_EQ(platform::apps::LiveIconCount(), before);
}

// A slot whose process has gone is named again and keeps nothing of the
// process it showed before (its icon lives on until the locator ends).
TEST_F(ProgramNames, SlotOfAnEndedProcessKeepsNothingOfIt) {
  qel::test::writeFile(folder.file("app.desktop"), desktopFile("Sleeper", "sleep", "Icon=sleeper-icon\n"));
  const int before = platform::apps::LiveIconCount();
  {
    CTargetProcessLocator locator(dialogWindow);
    platform::apps::RenderProcessEntry entry = EntryOf(locator);
    ASSERT_NE(entry.icon, 0u);
    ASSERT_EQ(U16ToWide(entry.displayName), L"Sleeper");
    sleeper.kill();
    sleeper.wait();
    entry = EntryOf(locator);
    EXPECT_EQ(entry.displayName[0], 0);
    EXPECT_EQ(entry.icon, 0u);
    EXPECT_EQ(entry.logoFile[0], 0);
    EXPECT_EQ(entry.backgroundColor, 0u);
    EXPECT_EQ(platform::apps::LiveIconCount(), before + 1);
  }
  EXPECT_EQ(platform::apps::LiveIconCount(), before);
}

TEST_F(ProgramNames, TargetButtonImageTexts) {
  qel::test::ScopedBacking uiBacking("ui", platform::Backing::Simulated, platform::ui::x11keys::ReselectUiBacking);
  platform::display::SelectBacking(platform::Backing::Simulated);
  platform::display::sim::Reset();
  CRecordSettings::Destroy();
  CRecordSettings::Get().m_bCaptureAudio = false;
  test::LogCollector log;
  platform::ui::Rect hostRegion{0, 0, 400, 300};
  CRecorderDlgUI dialog(L"default", &hostRegion);
  ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0, 0, {0, 0, 0, 0}), nullptr);
  platform::ui::Control* button = dialog.FindControl("ID_BTN_TARGET_PROCESS");
  ASSERT_NE(button, nullptr);

  const platform::apps::HICON icon = platform::apps::GetFileIcon("/usr/bin/sleep");
  platform::apps::RenderProcessEntry entry{};
  entry.processId = 4242;
  entry.icon = icon;
  WideToU16(L"Sleeper", entry.displayName);
  dialog.UpdateTargetButton(&entry);
  EXPECT_EQ(button->image, "file='%H:" + std::to_string(icon) + "' source='0,0,32,32' dest='0,0,32,32'");
  EXPECT_EQ(button->tooltip, "Sleeper");
  EXPECT_EQ(button->tag, 4242u);
  EXPECT_EQ(button->bkColor, 0u);

  platform::fail("apps.GetIconInfo", platform::Fault{platform::kAnyTarget, 0, 1, 1402});
  entry.processId = 4243;
  dialog.UpdateTargetButton(&entry);
  EXPECT_EQ(button->image, "file='%H:" + std::to_string(icon) + "' source='0,0,56,56' dest='0,0,32,32'");
  EXPECT_EQ(log.count("GetIconInfo failed: 1402", "ERROR"), 1) << log.dump();
  EXPECT_EQ(button->tag, 4243u);
  platform::resetFaults();

  // A logo wins over the icon, on the entry's colour made opaque.
  WideToU16(L"/opt/notes/Assets/Logo.scale-200.png", entry.logoFile);
  entry.backgroundColor = 0x1E90FF;
  dialog.UpdateTargetButton(&entry);
  EXPECT_EQ(button->image, "file='/opt/notes/Assets/Logo.scale-200.png' dest='0,0,32,32'");
  EXPECT_EQ(button->bkColor, 0xFF1E90FFu);

  // Without a picture, or without a name, the button stays as it was.
  platform::apps::RenderProcessEntry bare{};
  bare.processId = 7;
  WideToU16(L"Bare", bare.displayName);
  dialog.UpdateTargetButton(&bare);
  platform::apps::RenderProcessEntry nameless{};
  nameless.processId = 8;
  nameless.icon = icon;
  dialog.UpdateTargetButton(&nameless);
  EXPECT_EQ(button->tag, 4243u);
  EXPECT_EQ(button->tooltip, "Sleeper");

  dialog.UpdateTargetButton(nullptr);
  EXPECT_EQ(button->image, "");
  EXPECT_EQ(button->tooltip, "");
  EXPECT_EQ(button->tag, 0u);
  platform::apps::DestroyIcon(icon);
  dialog.Close(1);
  platform::ui::Msg msg{};
  while (platform::ui::PeekMessage(msg)) platform::ui::DispatchMessage(msg);
  CRecordSettings::Destroy();
}

}  // namespace
}  // namespace qelrec
