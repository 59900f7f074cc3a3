// CScreenRecorder: the recording engine behind the dialog. For one recording
// it builds a CDesktopCaptureController for the chosen region of one monitor
// and, when audio is wanted and the system is new enough, a CAudioCapturer; it
// stops both in a fixed order (video before audio). A recording is made with
// the RecordConfig its caller passes at the start, and its stop returns what it
// found (RecordResult); the recorder itself never touches the settings.
//
// Thread safety: every member runs on the dialog's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ui/monitor.h"
#include "platform/ui/window.h"
#include "qelrecorder/LoopbackCapture/audio_capturer.h"
#include "qelrecorder/capture_controller.h"

namespace qelrec {

// True when the system reports Windows 10 build 19041 or later (or a later
// major version); logs "OS Version: %d" for major versions up to 10.
bool IsSupportAudioCapture();

class CScreenRecorder {
 public:
  // Every recording's screen capturer comes from `makeCapturer`.
  explicit CScreenRecorder(CapturerMaker makeCapturer = kScreenCapturerFactory) : m_makeCapturer(makeCapturer) {}
  virtual ~CScreenRecorder();
  CScreenRecorder(const CScreenRecorder&) = delete;
  CScreenRecorder& operator=(const CScreenRecorder&) = delete;

  // `region` in screen coordinates.
  void Init(const RecordConfig& config, platform::ui::HWND owner, const platform::ui::MonitorInfoEx& monitor,
            const platform::ui::Rect& region, uint32_t targetPid, bool captureAudio);
  // Stops whatever runs (video, then audio); safe when nothing was started.
  // Returns what the recording found (paths, duration, offset, measured rate).
  RecordResult Stop();

  // The start of a recording as the dialog does it: clears the results of an
  // earlier recording, Init, then the audio capture (offset cleared, video
  // start noted) and the capture controller. False when either fails (logged);
  // the caller then shows its message and calls Stop.
  bool StartRecording(const RecordConfig& config, platform::ui::HWND owner, const platform::ui::MonitorInfoEx& monitor,
                      const platform::ui::Rect& region, uint32_t targetPid, bool captureAudio);

  CDesktopCaptureController* Controller() { return m_pCaptureController.get(); }
  CAudioCapturer* AudioCapturer() { return m_pAudioCapturer.get(); }
  // What the running recording has found so far (the last one's after a stop).
  const RecordingResults& Results() const { return m_results; }

  uint32_t m_dwTargetPid = 0;
  bool m_bRecording = false;
  platform::ui::HWND m_hOwnerWnd = nullptr;

 private:
  const CapturerMaker m_makeCapturer;
  // Declared before the parts that write into it, so it outlives them.
  RecordingResults m_results;
  std::unique_ptr<CDesktopCaptureController> m_pCaptureController;
  std::unique_ptr<CAudioCapturer> m_pAudioCapturer;
};

}  // namespace qelrec
