// The region window as the user handles it: a see-through frame (white is
// its colour key) dragged by its handle or sized by its borders, the dialog
// following on the frame's top edge, and nothing moving while recording.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <optional>

#include "common/text_convert.h"
#include "platform/core/backing.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/x11_key_grabs.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"
#include "support/platform_scopes.h"

namespace qelrec {
namespace {

// The region and target tests look at the loop more often.
void pump(int ms) { test::pump(ms, 5); }

namespace ui = platform::ui;

class RegionWindow : public ::testing::Test {
 protected:
  // Declared first, so the forced backing outlives every window of the test.
  std::optional<qel::test::ScopedBacking> uiBacking_;

  void SetUp() override {
    uiBacking_.emplace("ui", platform::Backing::Simulated, platform::ui::x11keys::ReselectUiBacking);
    platform::display::SelectBacking(platform::Backing::Simulated);
    platform::display::sim::Reset();
    CRecordSettings::Destroy();
    CRecordSettings& s = CRecordSettings::Get();
    s.m_bCaptureAudio = false;
    s.m_strFFmpegDir = qel::utf8ToWide(qel::test::binDir());
    s.m_strExtraArgs = L" -preset ultrafast";
    WideToU16(qel::utf8ToWide(out.path()), s.m_szTmpDir);
    dialog = std::make_unique<CRecorderDlgUI>(L"default", &hostRegion);
    ASSERT_NE(dialog->Create(nullptr, "Qel Recorder", 0, 0, {0, 0, 0, 0}), nullptr);
    pump(20);
    region = dialog->RegionWindow();
    ASSERT_NE(region, nullptr);
  }
  void TearDown() override {
    dialog->Close(1);
    pump(20);
    dialog.reset();
    CRecordSettings::Destroy();
  }
  ui::Rect Rect(ui::HWND w) {
    ui::Rect r{};
    ui::GetWindowRect(w, r);
    return r;
  }
  void ExpectDialogOn(const ui::Rect& r, const char* what) {
    const ui::Rect d = Rect(dialog->GetHWND());
    EXPECT_EQ(d.left, r.left + (r.right - r.left - dialog->InitWidth()) / 2) << what;
    EXPECT_EQ(d.top, r.top + 4) << what;
  }

  qel::test::TempDir out;
  ui::Rect hostRegion{100, 100, 500, 400};
  std::unique_ptr<CRecorderDlgUI> dialog;
  CRegionSelectWndUI* region = nullptr;
};

TEST_F(RegionWindow, SeeThroughFrameWithTheSkinsImageFolder) {
  EXPECT_NE(ui::GetWindowExStyle(region->GetHWND()) & ui::WS_EX_LAYERED, 0u);
  ui::LayeredAttributes layered;
  ASSERT_TRUE(ui::GetLayeredWindowAttributes(region->GetHWND(), &layered));
  EXPECT_EQ(layered.colorKey, 0xFFFFFFu);
  EXPECT_EQ(layered.alpha, 255);
  EXPECT_EQ(layered.flags, ui::LWA_COLORKEY);
  const std::string folder = qel::wideToUtf8(GetModuleDirectory()) + "skins/default";
  EXPECT_EQ(region->DefaultAttribute("ImageFolder"), folder);
  EXPECT_EQ(dialog->DefaultAttribute("ImageFolder"), folder);
}

TEST_F(RegionWindow, DraggedByItsHandleSizedByItsBordersAndTheDialogFollows) {
  // On the handle (a band along the top inside the frame): a move, with the move pointer.
  const ui::Rect moved{300, 200, 700, 500};
  ASSERT_TRUE(ui::DragWindow(region->GetHWND(), 250, 110, moved));
  EXPECT_EQ(ui::CurrentCursorShape(), ui::IDC_SIZEALL);
  pump(20);  // the posted WM_REGION_WND_MOVED
  ExpectDialogOn(moved, "after the move");
  // The handle follows the window's width: its right end moved along.
  EXPECT_TRUE(ui::DragWindow(region->GetHWND(), 690, 210, {310, 200, 710, 500}));
  // On the right border: a resize, with the system's pointer.
  const ui::Rect sized{310, 200, 910, 600};
  ASSERT_TRUE(ui::DragWindow(region->GetHWND(), 708, 350, sized));
  EXPECT_EQ(ui::CurrentCursorShape(), ui::IDC_ARROW);
  pump(20);
  ExpectDialogOn(sized, "after the resize");
  // Inside the frame, away from the handle: nothing moves.
  EXPECT_FALSE(ui::DragWindow(region->GetHWND(), 600, 400, {0, 0, 100, 100}));
  EXPECT_EQ(Rect(region->GetHWND()).left, 310);
}

TEST_F(RegionWindow, NeitherMovedNorSizedWhileRecording) {
  dialog->Click("ID_BTN_REGION_MANUAL_SELECT");
  dialog->Click("ID_BTN_START_RECORD");
  ASSERT_TRUE(dialog->IsRecording());
  const ui::Rect before = Rect(region->GetHWND());
  for (const auto& [x, y] : {std::pair{250, 110}, std::pair{498, 300}, std::pair{101, 101}}) {
    EXPECT_FALSE(ui::DragWindow(region->GetHWND(), x, y, {0, 0, 640, 480})) << x << "," << y;
  }
  const ui::Rect after = Rect(region->GetHWND());
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.right, before.right);
  dialog->Click("ID_BTN_STOP_RECORD");
  // Idle again: the handle moves the frame.
  EXPECT_TRUE(ui::DragWindow(region->GetHWND(), 250, 110, {120, 100, 520, 400}));
}

}  // namespace
}  // namespace qelrec
