// CRecorderDlgUI: the recorder's control dialog, shown modally by
// LaunchRecorder on the host's thread. It shows the hot keys, a countdown, and
// while recording the elapsed time, the measured rate and the size; it starts
// and stops the CScreenRecorder and sends the result record to the host. The
// region window (CRegionSelectWndUI) marks the area to record; the dialog rides
// on its top edge.
//
// Thread safety: everything runs on the dialog's thread, inside its modal loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui/dialog.h"
#include "platform/ui/monitor.h"
#include "qelrecorder/region_window.h"
#include "qelrecorder/screen_recorder.h"
#include "qelrecorder/target_process_locator.h"

namespace qelrec {

inline constexpr uintptr_t kStatusTimer = 256;
inline constexpr uintptr_t kCountdownTimer = 257;

class CRecorderDlgUI : public platform::ui::DialogWindow {
 public:
  // The recordings' screen capturers come from `makeCapturer`.
  CRecorderDlgUI(std::wstring skinName, platform::ui::Rect* hostRegion,
                 CapturerMaker makeCapturer = kScreenCapturerFactory);
  ~CRecorderDlgUI() override;

  // The dialog LaunchRecorder runs (null when none).
  static CRecorderDlgUI* Running();
  static void SetRunning(CRecorderDlgUI* dialog);

  void StartRequest();
  // A stop asked for from outside (the host's StopVideoRecorder: after each
  // record, or when the program is told to end). A running recording stops as
  // the stop hot key stops it, so its files are finished and its record is
  // sent (the host's handler of that record asks again, and the dialog then
  // closes). Otherwise a countdown is dropped and the dialog closes: 0 after a
  // record with a video, -1 after one without, 1 (cancelled) when nothing was
  // recorded.
  void OnHostStop();
  void OnBtnStartRecord();
  void OnBtnStopRecord();
  void OnStatusTimer();
  void OnCountdownTimer();
  void SetIdleLayout(bool idle);
  void CentreOnRegion();
  // Moves the region over the chosen process's window (its frame grown by
  // the region's border), then the dialog onto the region.
  void SnapRegionToTarget();

  // Shows the entry on the target button (null: clears it).
  void UpdateTargetButton(const platform::apps::RenderProcessEntry* entry);

  bool IsRecording() const { return m_bRecording; }
  // The dialog's recorder, made on first need and kept between recordings.
  CScreenRecorder& Recorder();
  // What the running recording has found so far; only while IsRecording.
  RecordResult CurrentResults() const;
  CTargetProcessLocator* Locator() { return m_pLocator.get(); }
  CRegionSelectWndUI* RegionWindow() { return m_pRegionWnd.get(); }

  // The label texts (tests check them as tables).
  static std::string FormatTimeLabel(int64_t elapsedMs, float fps);
  static std::string FormatDiskLabel(int64_t bytes, double freeGiB);
  static int CountdownSeconds(uint64_t delayMs, uint64_t ticks);

 protected:
  std::string SkinFile() const override { return "dlg_recorder.xml"; }
  std::string SkinName() const override;
  void InitWindow() override;
  void Notify(const std::string& type, const std::string& control) override;
  platform::ui::LRESULT HandleCustomMessage(uint32_t msg, platform::ui::WPARAM wParam, platform::ui::LPARAM lParam,
                                            bool& handled) override;
  void OnFinalMessage() override;

 private:
  void CreateRegionWindow();
  // The region window's look and hit test for a recording or for idle.
  void SetFrameRecording(bool recording);
  void SetText(const char* control, const std::string& text);
  void SetVisible(const char* control, bool visible);

  std::wstring m_strSkinName;
  const CapturerMaker m_makeCapturer;
  std::unique_ptr<CScreenRecorder> m_pRecorder;
  std::unique_ptr<CRegionSelectWndUI> m_pRegionWnd;
  std::unique_ptr<CTargetProcessLocator> m_pLocator;
  platform::ui::MonitorInfoEx m_monitorInfo;
  double m_dFreeSpaceGiB = 0.0;
  bool m_bRecording = false;
  bool m_bCaptureAudio = false;
  platform::ui::Rect* m_pHostRegion;
  uint64_t m_targetStartTime = 0;  // start time of the target process at the recording's start
};

// LaunchRecorder: runs the dialog, its capturers made by `makeCapturer`, and
// returns its close code (LaunchRecorderResult).
int LaunchRecorderDialog(platform::ui::HWND parent, const std::wstring& skinName, platform::ui::Rect* region,
                         CapturerMaker makeCapturer = kScreenCapturerFactory);

}  // namespace qelrec
