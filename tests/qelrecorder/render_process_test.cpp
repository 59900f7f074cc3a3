#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "common/subprocess.h"
#include "common/text_convert.h"
#include "platform/apps/render_processes.h"
#include "platform/audio/audio_client.h"
#include "platform/audio/sim_audio.h"
#include "platform/core/backing.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/ui_extras.h"
#include "platform/ui/x11_key_grabs.h"
#include "platform/apps/packages.h"
#include "qelrecorder/appx_helpers.h"
#include "qelrecorder/appx_package.h"
#include "qelrecorder/capture_controller.h"
#include "qelrecorder/record_result.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/target_process_locator.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/platform_scopes.h"
#include "support/test_support.h"

namespace qelrec {
namespace {

using test::pump;

TEST(AppxHelpers, ResourceStringsResolveOnlyResourceValues) {
  platform::apps::SetIndirectString("@{Pkg_1.0?ms-resource:///resources/AppName}", "Notes");
  platform::apps::SetIndirectString("@{Pkg_1.0?ms-resource:///Strings/Title}", "Title text");
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"ms-resource:AppName", L"Notes"},
      {L"ms-resource:/Strings/Title", L"Title text"},
      {L"Plain display name", L""},  // not a resource: empty, never the value itself
      {L"ms-resource:Missing", L""},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(ResolveResourceString(L"Pkg_1.0", value), expected) << qel::wideToUtf8(value);
  }
}

TEST(AppxHelpers, LargestScaleLogoAndFolderListing) {
  qel::test::TempDir dir;
  std::filesystem::create_directories(dir.file("Assets/sub.scale-300.png"));  // a folder, not a file
  for (const char* name :
       {"Logo.scale-100.png", "Logo.scale-400.png", "Logo.scale-x.png", ".Logo.scale-900.png", "Other.scale-800.png"}) {
    qel::test::writeFile(dir.file(std::string("Assets/") + name), "png");
  }
  std::wstring path;
  ASSERT_TRUE(ChooseLogoFile(qel::utf8ToWide(dir.path()), L"Assets\\Logo.png", path));
  EXPECT_EQ(path, qel::utf8ToWide(dir.path()) + L"/Assets/Logo.scale-400.png");
  EXPECT_FALSE(ChooseLogoFile(qel::utf8ToWide(dir.path()), L"Assets\\None.png", path));
  const auto files = ListFolderFiles(qel::utf8ToWide(dir.file("Assets")), L"*.scale-*.png");
  ASSERT_EQ(files.size(), 4u);  // no folder, no hidden file
  EXPECT_EQ(files[0], qel::utf8ToWide(dir.file("Assets")) + L"/Logo.scale-100.png");
}

// A packaged application's process: name, logo and colour from its manifest.
TEST(AppxPackageEntry, ManifestGivesNameLogoAndColour) {
  qel::test::TempDir dir;
  std::filesystem::create_directories(dir.file("Assets"));
  qel::test::writeFile(dir.file("Assets/Logo.scale-100.png"), "png");
  qel::test::writeFile(dir.file("Assets/Logo.scale-200.png"), "png");
  const auto manifest = [](const std::string& displayName) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Package xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\" "
           "xmlns:uap=\"http://schemas.microsoft.com/appx/manifest/uap/windows10\">"
           "<Properties><DisplayName>Notes package</DisplayName><Logo>Assets\\Logo.png</Logo></Properties>"
           "<Applications><Application Id=\"App\" Executable=\"notes.exe\">"
           "<uap:VisualElements DisplayName=\"" +
           displayName +
           "\" BackgroundColor=\"#1E90FF\" "
           "Square150x150Logo=\"Assets\\Square.png\"/></Application></Applications></Package>";
  };
  qel::test::writeFile(dir.file("AppXManifest.xml"), manifest("ms-resource:AppName"));
  platform::apps::SetIndirectString("@{Pkg_1.0?ms-resource:///resources/AppName}", "Notes");
  const auto self = static_cast<uint32_t>(getpid());
  platform::apps::SetProcessPackage(self, "Pkg_1.0", dir.path(), "Pkg!App");
  platform::ui::WindowParams params;
  params.parent = platform::ui::HWND_MESSAGE;
  platform::ui::HWND dialogWindow = platform::ui::CreateWindowEx(params);
  CTargetProcessLocator locator(dialogWindow);
  platform::apps::RenderProcessEntry entry{};
  entry.processId = self;
  EXPECT_EQ(locator.GetProcessNameIcon(entry), 0);
  EXPECT_EQ(U16ToWide(entry.displayName), L"Notes");
  EXPECT_EQ(U16ToWide(entry.logoFile), qel::utf8ToWide(dir.path()) + L"/Assets/Logo.scale-200.png");
  EXPECT_EQ(entry.backgroundColor, 0x1E90FFu);
  auto package = CAppxPackage::FromProcess(self);
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(package->m_applicationUserModelId, L"Pkg!App");
  EXPECT_EQ(package->GetManifestProperty(L"DisplayName"), L"Notes package");
  ASSERT_EQ(package->m_applications.size(), 1u);
  EXPECT_EQ(package->m_applications[0].Get(L"Executable"), L"notes.exe");
  EXPECT_EQ(package->m_applications[0].Get(L"Square150x150Logo"), L"Assets\\Square.png");
  EXPECT_EQ(package->m_applications[0].Get(L"MinWidth"), L"");
  // A plain display name in the manifest resolves to nothing: the entry keeps
  // an empty name and the dialog's button is not updated for it.
  qel::test::writeFile(dir.file("AppXManifest.xml"), manifest("Plain name"));
  EXPECT_EQ(locator.GetProcessNameIcon(entry), 0);
  EXPECT_EQ(U16ToWide(entry.displayName), L"");
  platform::apps::ClearPackages();
  platform::ui::DestroyWindow(dialogWindow);
}

// Real child processes that "play audio".
struct Children {
  std::vector<std::unique_ptr<qel::Subprocess>> procs;
  std::vector<uint32_t> pids;
  explicit Children(int n) {
    for (int i = 0; i < n; ++i) {
      auto p = std::make_unique<qel::Subprocess>();
      qel::SpawnOptions options;
      options.stdoutMode = qel::ChildOutput::Null;
      options.stderrMode = qel::ChildOutput::Null;
      std::string error;
      if (!p->start({"sleep", "30"}, options, error)) continue;
      pids.push_back(static_cast<uint32_t>(p->pid()));
      procs.push_back(std::move(p));
    }
  }
};

// A process is followed by its start time too: an id that a later process
// took counts as the end of the one that was chosen.
TEST(TargetProcess, EndedWhenGoneUnreapedOrItsIdReused) {
  Children kids(1);
  ASSERT_EQ(kids.pids.size(), 1u);
  const uint32_t pid = kids.pids[0];
  const uint64_t started = platform::apps::ProcessStartTime(pid);
  ASSERT_NE(started, 0u);
  EXPECT_FALSE(platform::apps::ProcessEndedSince(pid, started));
  EXPECT_TRUE(platform::apps::ProcessEndedSince(pid, started + 1)) << "the id belongs to another process";
  kids.procs[0]->kill();
  // Killed but not reaped yet: a zombie has ended.
  for (int i = 0; i < 100 && !platform::apps::ProcessEnded(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(platform::apps::ProcessEndedSince(pid, started));
  kids.procs[0]->wait();
  EXPECT_TRUE(platform::apps::ProcessEndedSince(pid, started));
}

TEST(TargetProcessLocator, NamesFromProcAndSelectionClampedWhenTheListShrinks) {
  Children kids(3);
  ASSERT_EQ(kids.pids.size(), 3u);
  platform::ui::WindowParams params;
  params.parent = platform::ui::HWND_MESSAGE;
  platform::ui::HWND dialog = platform::ui::CreateWindowEx(params);
  {
    CTargetProcessLocator locator(dialog);
    const qel::test::ScopedRenderProcesses playing(kids.pids);
    locator.OnTimer();
    ASSERT_EQ(locator.Count(), 3);
    platform::apps::RenderProcessEntry entry{};
    ASSERT_TRUE(locator.Entry(2, &entry));
    EXPECT_EQ(entry.processId, kids.pids[2]);
    EXPECT_EQ(U16ToWide(entry.displayName), L"sleep");
    EXPECT_NE(U16ToWide(entry.imagePath).find(L"sleep"), std::wstring::npos);
    locator.SetSelected(2);
    // The list shrinks to one, whose process is another one in slot 0.
    platform::apps::SetRenderProcesses({kids.pids[1]});
    locator.OnTimer();
    EXPECT_EQ(locator.Count(), 1);
    EXPECT_EQ(locator.Selected(), 0);
    ASSERT_TRUE(locator.Entry(0, &entry));
    EXPECT_EQ(entry.processId, kids.pids[1]);
    // Same count, another process in the slot: it is named again.
    platform::apps::SetRenderProcesses({static_cast<uint32_t>(getpid())});
    locator.OnTimer();
    ASSERT_TRUE(locator.Entry(0, &entry));
    EXPECT_EQ(U16ToWide(entry.displayName), L"test_qelrecorder");
    // A failing library keeps the previous state and posts nothing.
    platform::fail("apps.TSV_EnumerateRenderProcess", platform::Fault{});
    platform::apps::SetRenderProcesses({});
    locator.OnTimer();
    EXPECT_EQ(locator.Count(), 1);
    platform::resetFaults();
  }
  platform::ui::DestroyWindow(dialog);
}

// Three real children play; the next button cycles them; the files are named
// after the chosen one; the recording stops by itself when it ends.
TEST(RecorderDialogPicker, NextButtonCyclesNamesTheFilesAndAutoStops) {
  test::useSimulatedBackings();
  // The simulated sound output is forced for this test only.
  const qel::test::ScopedBacking simulatedAudio("audio", platform::Backing::Simulated,
                                                platform::audio::ReselectAudioBacking);
  qel::test::TempDir dir;
  CRecordSettings::Destroy();
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(qel::utf8ToWide(dir.path()), s.m_szTmpDir);
  s.m_strFFmpegDir = qel::utf8ToWide(qel::test::binDir());
  s.m_strExtraArgs = L" -preset ultrafast";
  std::vector<uintptr_t> sent;
  platform::ui::WindowParams params;
  params.parent = platform::ui::HWND_MESSAGE;
  params.proc = [&](platform::ui::HWND, uint32_t msg, platform::ui::WPARAM, platform::ui::LPARAM l) {
    if (msg == platform::ui::WM_COPYDATA)
      sent.push_back(reinterpret_cast<const platform::ui::CopyDataStruct*>(l)->dwData);
    return platform::ui::LRESULT{1};
  };
  s.m_hMainAppWnd = platform::ui::CreateWindowEx(params);

  Children kids(3);
  ASSERT_EQ(kids.pids.size(), 3u);
  const qel::test::ScopedRenderProcesses playing(kids.pids);
  platform::ui::Rect hostRegion{0, 0, 328, 248};
  {
    CRecorderDlgUI dialog(L"default", &hostRegion, &test::GreyCapturer<0x40>::Make);
    ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0, 0, {0, 0, 0, 0}), nullptr);
    pump(1300);  // the locator's first tick
    dialog.Click("ID_BTN_REGION_MANUAL_SELECT");
    platform::ui::Control* target = dialog.FindControl("ID_BTN_TARGET_PROCESS");
    EXPECT_EQ(target->tag, kids.pids[0]);
    EXPECT_EQ(target->tooltip, "sleep");
    EXPECT_TRUE(dialog.FindControl("ID_LAYOUT_RECORDER_NEXT")->visible);
    std::vector<uintptr_t> cycle;
    for (int i = 0; i < 4; ++i) {
      dialog.Click("ID_BTN_TARGET_NEXT");
      cycle.push_back(target->tag);
    }
    EXPECT_EQ(cycle, (std::vector<uintptr_t>{kids.pids[1], kids.pids[2], kids.pids[0], kids.pids[1]}));

    dialog.FindControl("IDC_CHECK_RECORD_AUTO_STOP")->selected = true;
    dialog.Click("ID_BTN_START_RECORD");
    ASSERT_TRUE(dialog.IsRecording());
    EXPECT_EQ(U16ToWide(CRecordSettings::Get().m_szProcessName), L"sleep");
    // A list posted before the start and delivered after it: no picking
    // while recording.
    platform::ui::PostMessage(dialog.GetHWND(), WM_RENDER_PROCESSES_UPDATED, 3, 0);
    pump(50);
    EXPECT_FALSE(dialog.FindControl("ID_LAYOUT_RECORDER_NEXT")->visible);
    pump(1000);
    kids.procs[1]->kill();  // the chosen program ends
    pump(2000);
    EXPECT_FALSE(dialog.IsRecording()) << "auto-stop when the chosen process ends";
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], 1u);
    const std::string video = qel::wideToUtf8(U16ToWide(CRecordSettings::Get().m_szVideoPath));
    EXPECT_NE(video.find("/sleep-"), std::string::npos) << video;
    dialog.Close(1);
    pump(50);
  }
  CRecordSettings::Destroy();
}

}  // namespace
}  // namespace qelrec
