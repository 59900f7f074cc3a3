#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <optional>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "common/text_convert.h"
#include "platform/audio/audio_client.h"
#include "platform/audio/sim_audio.h"
#include "platform/core/backing.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/hotkeys.h"
#include "platform/ui/ui_extras.h"
#include "platform/ui/x11_key_grabs.h"
#include "qelrecorder/capture_controller.h"
#include "qelrecorder/hot_keys.h"
#include "qelrecorder/qelrecorder.h"
#include "qelrecorder/record_result.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/screen_recorder.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/recorder_test_util.h"
#include "qelrecorder/x_typist.h"
#include "support/platform_scopes.h"
#include "support/test_support.h"
#include "support/xvfb_server.h"

extern "C" {
void SetEncodeParameters(const wchar_t*, int, int, int, const wchar_t*);
void SetTmpOutputDirectory(const wchar_t*);
void SetFFMpegPath(const wchar_t*);
void SetCaptureAudio(bool);
void SetHotKey(const wchar_t*, const wchar_t*);
void SetDelayTime(uint64_t);
void SetMainAppWnd(platform::ui::HWND);
int LaunchRecorder(platform::ui::HWND, const wchar_t*, platform::ui::Rect*);
int StopVideoRecorder();
void GetOutputFileNamePath(wchar_t*, int, wchar_t*, int, int64_t*);
}

namespace qelrec {
namespace {

using test::pump;

using platform::ui::MOD_ALT;
using platform::ui::MOD_CONTROL;
using platform::ui::MOD_SHIFT;

TEST(HotKeyText, ParsedIntoModifiersAndKey) {
  struct Case {
    const wchar_t* text;
    bool ok;
    uint32_t modifiers;
    uint32_t key;
  };
  const Case cases[] = {
      {L"Control+Alt+F9", true, 3, 120},
      {L"Control+x", true, 2, 88},
      {L"Control+Shift+R", true, 6, 82},
      {L"Alt+Num 5", true, 1, 101},
      {L"F9", true, 0, 120},
      {L"Shift+PageDown", true, 4, 34},
      {L"Control+7", true, 2, 55},
      {L"Ctrl+F9", false, 0, 0},
      {L"Control+", false, 0, 0},
      {L"control+F5", false, 0, 0},
      {L"Control+F13", false, 0, 0},
      {L"Control+#", false, 0, 0},
      {L"", false, 0, 0},
      {L"Alt+num 5", false, 0, 0},
  };
  for (const Case& c : cases) {
    const ParsedHotKey got = ParseHotKey(c.text);
    EXPECT_EQ(got.ok, c.ok) << qel::wideToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(got.modifiers, c.modifiers) << qel::wideToUtf8(c.text);
      EXPECT_EQ(got.key, c.key) << qel::wideToUtf8(c.text);
    }
  }
}

class HotKeyFallbacks : public ::testing::Test {
 protected:
  // Declared first, so the forced backing outlives every window of the test.
  std::optional<qel::test::ScopedBacking> uiBacking_;

  void SetUp() override {
    // Registry only, whatever DISPLAY says: no key of the desktop is grabbed.
    uiBacking_.emplace("ui", platform::Backing::Simulated, platform::ui::x11keys::ReselectUiBacking);
    CRecordSettings::Destroy();
    platform::ui::WindowParams params;
    params.parent = platform::ui::HWND_MESSAGE;
    window = platform::ui::CreateWindowEx(params);
  }
  void TearDown() override {
    platform::ui::DestroyWindow(window);
    platform::ui::ClearHotKeysTakenElsewhere();
    CRecordSettings::Destroy();
  }
  platform::ui::HWND window = nullptr;
};

TEST_F(HotKeyFallbacks, TextsOrTheFirstFreeFallback) {
  struct Case {
    const char* what;
    std::wstring startStop;
    std::wstring hideShow;
    std::vector<std::pair<uint32_t, uint32_t>> taken;
    std::wstring shownStartStop;
    std::wstring shownHideShow;
  };
  const Case cases[] = {
      {"empty texts", L"", L"", {}, L"Control+F5", L"Control+F6"},
      {"own texts", L"Control+Shift+R", L"Alt+Num 5", {}, L"Control+Shift+R", L"Alt+Num 5"},
      {"unparsable", L"Ctrl+F9", L"Control+", {}, L"Control+F5", L"Control+F6"},
      {"taken key",
       L"Control+Shift+R",
       L"",
       {{MOD_CONTROL | MOD_SHIFT, 'R'}, {MOD_CONTROL, 116}},
       L"Control+F7",
       L"Control+F6"},
      {"every fallback taken",
       L"",
       L"",
       {{MOD_CONTROL, 116}, {MOD_CONTROL, 118}, {MOD_CONTROL, 120}},
       L"",
       L"Control+F6"},
  };
  for (const Case& c : cases) {
    CRecordSettings::Destroy();
    platform::ui::UnregisterWindowHotKeys(window);
    platform::ui::ClearHotKeysTakenElsewhere();
    for (const auto& [mods, key] : c.taken) platform::ui::SetHotKeyTakenElsewhere(mods, key, true);
    CRecordSettings::Get().m_strStartStopHotKey = c.startStop;
    CRecordSettings::Get().m_strHideShowHotKey = c.hideShow;
    const auto [startStop, hideShow] = RegisterRecorderHotKeys(window);
    EXPECT_EQ(startStop, c.shownStartStop) << c.what;
    EXPECT_EQ(hideShow, c.shownHideShow) << c.what;
  }
}

TEST(DialogTexts, CountdownFromTheFormula) {
  // 2500 ms: 3 on the first tick (2.4 + 0.9), then 2 and 1, 0 on the 25th.
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(2500, 1), 3);
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(2500, 6), 2);
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(2500, 16), 1);
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(2500, 25), 0);
  // 3000 ms: by the formula 3 for ticks 1-9 (the tenth gives 2.9), then 2
  // and 1, and 0 on the 30th, when recording starts.
  for (int t = 1; t <= 9; ++t) EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(3000, t), 3) << t;
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(3000, 10), 2);
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(3000, 20), 1);
  EXPECT_EQ(CRecorderDlgUI::CountdownSeconds(3000, 30), 0);
}

TEST(DialogTexts, TimeAndDiskLabels) {
  EXPECT_EQ(CRecorderDlgUI::FormatTimeLabel((3600 + 120 + 5) * 1000, 30.0f), "01:02:05 - 30 FPS");
  EXPECT_EQ(CRecorderDlgUI::FormatTimeLabel(65 * 1000 + 999, 30.0f), "01:05 - 30 FPS");
  EXPECT_EQ(CRecorderDlgUI::FormatTimeLabel(999, 29.6f), "00:00 - 30 FPS");
  EXPECT_EQ(CRecorderDlgUI::FormatDiskLabel(int64_t{1500} * 1048576, 20.5), "1.46G/20.5G");
  EXPECT_EQ(CRecorderDlgUI::FormatDiskLabel(int64_t{700} * 1048576, 20.5), "700.0M/20.5G");
  EXPECT_EQ(CRecorderDlgUI::FormatDiskLabel(int64_t{999} * 1048576, 1.0), "999.0M/1.0G");
}

// The host's side of LaunchRecorder: a message-only window that keeps each
// record and ends the dialog with StopVideoRecorder, as the host does.
struct Host {
  std::vector<uintptr_t> dwData;
  std::vector<RecordResultData> records;
  platform::ui::HWND hwnd = nullptr;
  Host() {
    platform::ui::WindowParams params;
    params.parent = platform::ui::HWND_MESSAGE;
    params.proc = [this](platform::ui::HWND, uint32_t msg, platform::ui::WPARAM, platform::ui::LPARAM l) {
      if (msg == platform::ui::WM_COPYDATA) {
        const auto* copy = reinterpret_cast<const platform::ui::CopyDataStruct*>(l);
        dwData.push_back(copy->dwData);
        RecordResultData record{};
        if (copy->cbData == sizeof record) std::memcpy(&record, copy->lpData, sizeof record);
        records.push_back(record);
        StopVideoRecorder();
      }
      return platform::ui::LRESULT{1};
    };
    hwnd = platform::ui::CreateWindowEx(params);
  }
  ~Host() { platform::ui::DestroyWindow(hwnd); }
};

class RecorderDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    test::useSimulatedBackings();
    platform::audio::ResetSimAudio();
    platform::ui::ClearShownMessageBoxes();
    CRecordSettings::Destroy();
  }
  void TearDown() override {
    platform::ui::ClearHotKeysTakenElsewhere();
    platform::clearForcedBacking("audio");
    platform::audio::ReselectAudioBacking();
    CRecordSettings::Destroy();
  }
  // What a host sets before LaunchRecorder.
  void hostSettings(const std::wstring& ffmpegDir) {
    SetEncodeParameters(L"libx264", 30, 2, 0, L" -preset ultrafast");
    SetTmpOutputDirectory(qel::utf8ToWide(dir.path()).c_str());
    SetFFMpegPath(ffmpegDir.c_str());
    SetCaptureAudio(true);
    SetMainAppWnd(host.hwnd);
  }
  // Presses keys from another thread while the dialog's loop runs.
  static std::thread pressLater(std::vector<std::pair<int, std::string>> presses) {
    return std::thread([presses] {
      const auto start = std::chrono::steady_clock::now();
      for (const auto& [ms, keys] : presses) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        platform::ui::PressHotKeyText(keys);
      }
    });
  }

  // The dialog's recordings capture a flat grey screen.
  static int launch(const wchar_t* skinName, platform::ui::Rect* region) {
    return LaunchRecorderDialog(nullptr, skinName, region, kGrey);
  }
  static constexpr CapturerMaker kGrey = &test::GreyCapturer<0x80>::Make;

  qel::test::TempDir dir;
  Host host;
};

TEST_F(RecorderDialog, HotKeyStartsAndStopsAndTheHostEndsTheDialog) {
  test::LogCollector log;
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  platform::ui::Rect region{100, 100, 100 + 648, 100 + 488};
  std::thread presser = pressLater({{300, "Control+F5"}, {1800, "Control+F5"}});
  const int code = launch(L"default", &region);
  presser.join();
  EXPECT_EQ(code, 0);
  ASSERT_EQ(host.dwData.size(), 1u) << log.dump();
  EXPECT_EQ(host.dwData[0], 1u);
  const std::string video = qel::wideToUtf8(U16ToWide(host.records[0].szVideoPath));
  const std::string audio = qel::wideToUtf8(U16ToWide(host.records[0].szAudioPath));
  const auto info = qel::test::probe(video);
  ASSERT_TRUE(info.ok) << info.error;
  // The region window's inside: 648 x 488 less a 4-pixel frame on every side.
  EXPECT_EQ(info.width, 640);
  EXPECT_EQ(info.height, 480);
  EXPECT_TRUE(qel::test::probe(audio).ok);
  // Files are named after this program until a playing process is chosen.
  EXPECT_NE(video.find("/test_qelrecorder-"), std::string::npos) << video;
  EXPECT_EQ(log.count("Record started, target FPS: 30.00"), 1);
  // Every setting is back at its default once LaunchRecorder has returned.
  EXPECT_EQ(CRecordSettings::Get().m_hMainAppWnd, nullptr);
  EXPECT_EQ(CRecordSettings::Get().m_strFFmpegDir, L"");
  EXPECT_EQ(CRecordSettings::Get().m_szVideoPath[0], 0);
  EXPECT_EQ(CRecorderDlgUI::Running(), nullptr);
  EXPECT_EQ(StopVideoRecorder(), 0);  // no dialog: nothing happens
}

// After LaunchRecorder has placed its dialog, the dialog rides on the region
// window's top edge (its "windowinit" comes after the centring).
TEST_F(RecorderDialog, LaunchedDialogRidesOnTheRegion) {
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  SetCaptureAudio(false);
  platform::ui::Rect region{100, 100, 748, 588};
  platform::ui::Rect seen{};
  bool found = false;
  std::thread watcher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    platform::ui::HWND dialog = platform::ui::FindWindowByTitle("Start/Stop: Control+F5   Hide/Show: Control+F6");
    found = dialog != nullptr && platform::ui::GetWindowRect(dialog, seen);
    platform::ui::PressHotKeyText("Control+F5");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    platform::ui::PressHotKeyText("Control+F5");
  });
  launch(L"default", &region);
  watcher.join();
  ASSERT_TRUE(found);
  const int width = seen.right - seen.left;
  EXPECT_EQ(seen.left, 100 + (648 - width) / 2);
  EXPECT_EQ(seen.top, 100 + 4);
}

TEST_F(RecorderDialog, StartFailureShowsTheMessageAndSendsAnEmptyRecord) {
  test::LogCollector log;
  hostSettings(L"/nonexistent/ffmpeg/folder");
  platform::ui::Rect region{0, 0, 0, 0};  // centred
  std::thread presser = pressLater({{300, "Control+F5"}});
  const int code = launch(L"default", &region);
  presser.join();
  // The host closed the dialog after a record without video: no success.
  EXPECT_EQ(code, kRecorderFailed);
  ASSERT_EQ(host.dwData.size(), 1u) << log.dump();
  EXPECT_EQ(host.dwData[0], 0u);
  const RecordResultData zero{};
  EXPECT_EQ(std::memcmp(&host.records[0], &zero, sizeof zero), 0);
  const auto boxes = platform::ui::ShownMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Unable to start recording process, please contact customer service for assistance!");
  EXPECT_EQ(boxes[0].caption, "Korvex");
}

// Without its skin the dialog cannot be made: a failure, with no window left
// behind and the settings back at their defaults.
TEST_F(RecorderDialog, MissingSkinIsAFailure) {
  qel::test::TempDir noSkins;
  platform::ui::DialogWindow::SetSkinRoot(noSkins.path() + "/");
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  const int windows = platform::ui::LiveWindowCount();
  platform::ui::Rect region{0, 0, 0, 0};
  EXPECT_EQ(launch(L"skin-blue", &region), kRecorderFailed);
  platform::ui::DialogWindow::SetSkinRoot("");
  EXPECT_EQ(platform::ui::LiveWindowCount(), windows);
  EXPECT_EQ(CRecorderDlgUI::Running(), nullptr);
  EXPECT_EQ(CRecordSettings::Get().m_hMainAppWnd, nullptr);
  EXPECT_TRUE(host.dwData.empty());
}

TEST_F(RecorderDialog, LayoutAndSizeWhileRecordingAndMinutesZeroNeverStops) {
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  SetCaptureAudio(false);
  platform::ui::Rect hostRegion{300, 200, 300 + 400, 200 + 300};
  CRecorderDlgUI dialog(L"default", &hostRegion, kGrey);
  ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0x96C80000u, 0x8u, {0, 0, 0, 0}), nullptr);
  pump(50);  // "windowinit" makes the region window
  // Idle: riding on the region's top edge, centred, at the skin's size.
  platform::ui::Rect r{};
  ASSERT_TRUE(platform::ui::GetWindowRect(dialog.GetHWND(), r));
  EXPECT_EQ(r.left, 300 + (400 - dialog.InitWidth()) / 2);
  EXPECT_EQ(r.top, 200 + 4);
  EXPECT_TRUE(dialog.FindControl("ID_BTN_START_RECORD")->visible);
  EXPECT_FALSE(dialog.FindControl("ID_BTN_STOP_RECORD")->visible);
  EXPECT_EQ(dialog.FindControl("ID_LABEL_RECORDER_HOTKEY")->text, "Start/Stop: Control+F5   Hide/Show: Control+F6");
  // The main layout shows once the user leaves the hint.
  EXPECT_FALSE(dialog.IsReallyVisible("ID_BTN_START_RECORD"));
  dialog.Click("ID_BTN_REGION_MANUAL_SELECT");
  EXPECT_TRUE(dialog.IsReallyVisible("ID_BTN_START_RECORD"));
  dialog.FindControl("IDC_CHECK_RECORD_STOP_IN_MINS")->selected = true;
  dialog.FindControl("ID_EDIT_RECORD_STOP_IN_MINS")->text = "0";
  dialog.Click("ID_BTN_RECORD_MIN_DEC");  // a minus on 0 does nothing
  EXPECT_EQ(dialog.FindControl("ID_EDIT_RECORD_STOP_IN_MINS")->text, "0");
  // A button inside a hidden layout cannot be clicked.
  dialog.FindControl("ID_LAYOUT_RECORDER_MISC")->visible = false;
  dialog.Click("ID_BTN_RECORD_MIN_INC");
  EXPECT_EQ(dialog.FindControl("ID_EDIT_RECORD_STOP_IN_MINS")->text, "0");
  dialog.FindControl("ID_LAYOUT_RECORDER_MISC")->visible = true;

  dialog.Click("ID_BTN_START_RECORD");
  ASSERT_TRUE(dialog.IsRecording());
  // Recording: 245 x 90 at the monitor's top-left corner.
  ASSERT_TRUE(platform::ui::GetWindowRect(dialog.GetHWND(), r));
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right - r.left, 245);
  EXPECT_EQ(r.bottom - r.top, 90);
  EXPECT_FALSE(dialog.FindControl("ID_BTN_START_RECORD")->visible);
  EXPECT_TRUE(dialog.FindControl("ID_LAYOUT_RECORDER_STATUS")->visible);
  // The frame stays where it is while recording, also by its drag handle.
  EXPECT_FALSE(platform::ui::DragWindow(dialog.RegionWindow()->GetHWND(), 310, 210, {0, 0, 400, 300}));
  pump(2000);  // two status ticks with "0 minutes": still recording
  EXPECT_TRUE(dialog.IsRecording());
  EXPECT_NE(dialog.FindControl("ID_LABEL_RECORDER_TIME")->text.find(" FPS"), std::string::npos);
  EXPECT_NE(dialog.FindControl("ID_LABEL_RECORDER_DISK")->text.find("G"), std::string::npos);
  dialog.Click("ID_BTN_STOP_RECORD");
  EXPECT_FALSE(dialog.IsRecording());
  EXPECT_EQ(dialog.FindControl("ID_LABEL_RECORDER_TIME")->text, "00:00");
  ASSERT_EQ(host.dwData.size(), 1u);
  EXPECT_EQ(host.dwData[0], 1u);
  // The OK button hands the region window's rectangle back to the host.
  dialog.Click("ID_BUTTON_OK");
  pump(100);
  EXPECT_EQ(hostRegion.left, 300);
  EXPECT_EQ(hostRegion.right, 700);
}

// GetOutputFileNamePath answers from the running recording while it runs (the
// settings get its files only at the stop), and from the stored files after
// the stop.
TEST_F(RecorderDialog, OutputFileNamePathFollowsTheRunningRecording) {
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  platform::ui::Rect hostRegion{300, 200, 300 + 400, 200 + 300};
  CRecorderDlgUI dialog(L"default", &hostRegion, kGrey);
  ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0x96C80000u, 0x8u, {0, 0, 0, 0}), nullptr);
  // What LaunchRecorder does for the dialog it runs.
  CRecorderDlgUI::SetRunning(&dialog);
  struct Unset {
    ~Unset() { CRecorderDlgUI::SetRunning(nullptr); }
  } unset;
  pump(50);  // "windowinit" makes the region window
  dialog.Click("ID_BTN_REGION_MANUAL_SELECT");
  wchar_t audio[260];
  wchar_t video[260];
  int64_t offset = -1;
  GetOutputFileNamePath(audio, 260, video, 260, &offset);
  EXPECT_EQ(std::wstring(video), L"") << "nothing recorded yet";

  dialog.Click("ID_BTN_START_RECORD");
  ASSERT_TRUE(dialog.IsRecording());
  pump(1500);
  const RecordResult live = dialog.CurrentResults();
  GetOutputFileNamePath(audio, 260, video, 260, &offset);
  EXPECT_FALSE(live.videoPath.empty());
  EXPECT_EQ(std::wstring(video), live.videoPath);
  EXPECT_EQ(std::wstring(audio), live.audioPath);
  EXPECT_EQ(offset, live.audioOffsetMs);
  EXPECT_EQ(U16ToWide(CRecordSettings::Get().m_szVideoPath), L"") << "stored only at the stop";

  dialog.Click("ID_BTN_STOP_RECORD");
  ASSERT_FALSE(dialog.IsRecording());
  const CRecordSettings& settings = CRecordSettings::Get();
  GetOutputFileNamePath(audio, 260, video, 260, &offset);
  EXPECT_EQ(std::wstring(video), U16ToWide(settings.m_szVideoPath));
  EXPECT_EQ(std::wstring(video), live.videoPath) << "the same file";
  EXPECT_EQ(std::wstring(audio), U16ToWide(settings.m_szAudioPath));
  EXPECT_EQ(offset, settings.m_llAudioOffsetMs.load());
  dialog.Click("ID_BUTTON_OK");
  pump(100);
}

TEST_F(RecorderDialog, StatusBeforeTheFirstTickShowsZero) {
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  SetCaptureAudio(false);
  SetEncodeParameters(L"libx264", 1, 2, 0, L" -preset ultrafast");  // first tick after a second
  platform::ui::Rect hostRegion{0, 0, 328, 248};
  CRecorderDlgUI dialog(L"default", &hostRegion, kGrey);
  ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0, 0, {0, 0, 0, 0}), nullptr);
  pump(50);
  dialog.Click("ID_BTN_REGION_MANUAL_SELECT");
  dialog.Click("ID_BTN_START_RECORD");
  ASSERT_TRUE(dialog.IsRecording());
  dialog.OnStatusTimer();  // no tick yet: nothing to divide, nothing shown
  EXPECT_EQ(dialog.FindControl("ID_LABEL_RECORDER_TIME")->text, "00:00");
  dialog.Click("ID_BTN_STOP_RECORD");
  dialog.Close(1);
  pump(50);
}

TEST_F(RecorderDialog, CountdownStartsTheRecordingOnItsLastTick) {
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  SetCaptureAudio(false);
  SetDelayTime(500);
  platform::ui::Rect hostRegion{0, 0, 320, 240};
  CRecorderDlgUI dialog(L"default", &hostRegion, kGrey);
  // Shown from the start, as LaunchRecorder makes it.
  ASSERT_NE(dialog.Create(nullptr, "Qel Recorder", 0x96C80000u, 0x8u, {0, 0, 0, 0}), nullptr);
  ASSERT_TRUE(dialog.IsVisible());
  pump(50);
  platform::ui::PressHotKey(MOD_CONTROL, 116);
  pump(50);
  EXPECT_FALSE(dialog.IsRecording());
  EXPECT_TRUE(dialog.FindControl("ID_LAYOUT_RECORDER_DELAY_MAIN")->visible);
  pump(900);
  EXPECT_TRUE(dialog.IsRecording());
  EXPECT_EQ(dialog.FindControl("ID_LABEL_RECORDER_DELAY")->text, "Recording will start in 0 seconds.");
  EXPECT_FALSE(dialog.FindControl("ID_LAYOUT_RECORDER_DELAY_MAIN")->visible);
  platform::ui::PressHotKey(MOD_CONTROL, 117);  // hide/show
  pump(50);
  EXPECT_FALSE(dialog.IsVisible());
  platform::ui::PressHotKey(MOD_CONTROL, 116);  // stops while hidden
  pump(50);
  EXPECT_FALSE(dialog.IsRecording());
  EXPECT_FALSE(dialog.IsVisible());
  dialog.Close(1);
  pump(50);
}

// On an X server the keys are grabbed there: a Control+F5 typed through the
// XTEST extension starts the recording, a second one stops it.
TEST_F(RecorderDialog, ControlF5OnTheXServerStartsAndStops) {
  qel::test::XvfbServer xvfb(1024, 768);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  const qel::test::ScopedEnv display("DISPLAY", xvfb.display());
  const qel::test::ScopedBacking realUi("ui", platform::Backing::Real, platform::ui::x11keys::ReselectUiBacking);
  ASSERT_TRUE(platform::ui::x11keys::Active());
  test::LogCollector log;
  hostSettings(qel::utf8ToWide(qel::test::binDir()));
  std::thread typist([display = xvfb.display()] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    test::TypeControlF5(display);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    test::TypeControlF5(display);
  });
  platform::ui::Rect region{0, 0, 328, 248};
  const int code = launch(L"default", &region);
  typist.join();
  EXPECT_EQ(code, 0);
  ASSERT_EQ(host.dwData.size(), 1u) << log.dump();
  EXPECT_EQ(host.dwData[0], 1u);
  EXPECT_GT(test::countVideoFrames(qel::wideToUtf8(U16ToWide(host.records[0].szVideoPath))), 10);
}

// Key presses from the X server while keys are registered and dropped: the
// registry and the grabber never wait for each other.
TEST_F(HotKeyFallbacks, PressesWhileRegisteringNeverDeadlock) {
  qel::test::XvfbServer xvfb(640, 480);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  const qel::test::ScopedEnv display("DISPLAY", xvfb.display());
  const qel::test::ScopedBacking realUi("ui", platform::Backing::Real, platform::ui::x11keys::ReselectUiBacking);
  ASSERT_TRUE(platform::ui::x11keys::Active());
  ASSERT_TRUE(platform::ui::RegisterHotKey(window, kHotKeyStartStop, MOD_CONTROL, 116));
  std::atomic<bool> done{false};
  std::thread typist([&] {
    do test::TypeControlF5(xvfb.display());
    while (!done.load());
  });
  for (int round = 0; round < 300; ++round) {
    ASSERT_TRUE(platform::ui::RegisterHotKey(window, 7, MOD_ALT, 'Q')) << round;
    ASSERT_TRUE(platform::ui::UnregisterHotKey(window, 7)) << round;
  }
  done = true;
  typist.join();
  // On a loaded machine the rounds can end before the server has passed on a
  // single press: wait for the first one rather than reading what came so far.
  platform::ui::Msg msg{};
  int presses = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (presses == 0 && std::chrono::steady_clock::now() < end) {
    while (platform::ui::PeekMessage(msg)) presses += msg.message == platform::ui::WM_HOTKEY;
    if (presses == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(presses, 0);
  platform::ui::UnregisterWindowHotKeys(window);
}

// The lock keys change the modifiers the server reports: a Control+F5 typed
// with NumLock on still arrives.
TEST_F(HotKeyFallbacks, KeyArrivesWithNumLockOn) {
  qel::test::XvfbServer xvfb(640, 480);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  const qel::test::ScopedEnv display("DISPLAY", xvfb.display());
  const qel::test::ScopedBacking realUi("ui", platform::Backing::Real, platform::ui::x11keys::ReselectUiBacking);
  ASSERT_TRUE(platform::ui::x11keys::Active());
  ASSERT_TRUE(platform::ui::RegisterHotKey(window, kHotKeyStartStop, MOD_CONTROL, 116));
  ASSERT_TRUE(test::TypeControlF5(xvfb.display(), true));
  int presses = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  platform::ui::Msg msg{};
  while (presses == 0 && std::chrono::steady_clock::now() < end) {
    while (platform::ui::PeekMessage(msg)) {
      presses += msg.message == platform::ui::WM_HOTKEY && msg.wParam == kHotKeyStartStop;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(presses, 1);
  platform::ui::UnregisterWindowHotKeys(window);
}

// Timer ticks while the window's thread is busy make one message, not a pile.
// The thread is "busy" while a taken WM_TIMER is not yet delivered; how many
// ticks run meanwhile is up to the machine (a loaded one may run none for a
// while), so the test waits for ticks, never for a set time.
TEST_F(HotKeyFallbacks, WindowTimerTicksDoNotPileUp) {
  ASSERT_TRUE(platform::ui::SetTimer(window, 5, 10));
  platform::ui::Msg msg{};
  platform::ui::Msg tick{};
  // Takes the queued WM_TIMERs without delivering them: waits (up to 10 s) for
  // the first, then lets twenty periods more pass while it waits undelivered.
  const auto takeTicks = [&] {
    int taken = 0;
    const auto drain = [&] {
      while (platform::ui::PeekMessage(msg)) {
        if (msg.message != platform::ui::WM_TIMER) continue;
        tick = msg;
        ++taken;
      }
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (drain(); taken == 0 && std::chrono::steady_clock::now() < deadline; drain()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    drain();
    return taken;
  };
  EXPECT_EQ(takeTicks(), 1);
  platform::ui::DispatchMessage(tick);
  EXPECT_EQ(takeTicks(), 1) << "delivering the message lets the next tick post again";
  platform::ui::KillTimer(window, 5);
}

// A grabber whose X server has gone is replaced when the backing is chosen
// again: keys can be had on the new server.
TEST_F(HotKeyFallbacks, GrabberOfALostServerIsReplaced) {
  // The real backing stays forced from the first server to the second.
  std::optional<qel::test::ScopedBacking> realUi;
  {
    qel::test::XvfbServer first(640, 480);
    if (!first.running()) GTEST_SKIP() << first.error();
    const qel::test::ScopedEnv display("DISPLAY", first.display());
    realUi.emplace("ui", platform::Backing::Real, platform::ui::x11keys::ReselectUiBacking);
    ASSERT_TRUE(platform::ui::RegisterHotKey(window, 1, MOD_CONTROL, 116));
    platform::ui::UnregisterWindowHotKeys(window);
    first.kill();
  }
  qel::test::XvfbServer second(640, 480);
  if (!second.running()) GTEST_SKIP() << second.error();
  const qel::test::ScopedEnv display("DISPLAY", second.display());
  platform::ui::x11keys::ReselectUiBacking();
  EXPECT_TRUE(platform::ui::RegisterHotKey(window, 1, MOD_CONTROL, 116));
  platform::ui::UnregisterWindowHotKeys(window);
}

// A key another X client has grabbed is taken: the next fallback is used.
TEST_F(HotKeyFallbacks, KeyGrabbedByAnotherXClientIsTaken) {
  qel::test::XvfbServer xvfb(640, 480);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  const qel::test::ScopedEnv display("DISPLAY", xvfb.display());
  const qel::test::ScopedBacking realUi("ui", platform::Backing::Real, platform::ui::x11keys::ReselectUiBacking);
  ASSERT_TRUE(platform::ui::x11keys::Active());
  test::ControlF5Holder other(xvfb.display());
  ASSERT_TRUE(other.holding());
  const auto [startStop, hideShow] = RegisterRecorderHotKeys(window);
  EXPECT_EQ(startStop, L"Control+F7");
  EXPECT_EQ(hideShow, L"Control+F6");
  platform::ui::UnregisterWindowHotKeys(window);
}

}  // namespace
}  // namespace qelrec
