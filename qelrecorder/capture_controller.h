// The capture side of a recording. CDesktopCaptureController owns the screen
// capturer for one monitor, a periodic multimedia timer at the target frame
// rate, the pacing counter CFrameRate and the CVideoStreamWriter whose ring
// carries the converted pictures to ffmpeg. Each tick decides how many output
// frames the moment stands for (a constant-frame-rate resampler), claims a ring
// slot and has the capturer deliver one frame synchronously to
// CCaptureCallback, which converts the region of that frame to I420 into the
// slot.
//
// Thread safety: construction, Init, Start and destruction run on the dialog's
// thread; ticks (CaptureFrame, OnCaptureResult) on the timer's thread, one at a
// time. The two meet through the idle event and the writer's ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "platform/core/events.h"
#include "platform/ui/monitor.h"
#include "platform/ui/window.h"
#include "qelrecorder/record_config.h"
#include "qelrecorder/recording_results.h"
#include "qelrecorder/video_stream_writer.h"

namespace qelrec {

// Posted to the owner window (SetOwner) when the capture has ended for good:
// the screen's source is gone. The owner stops the recording.
inline constexpr uint32_t WM_CAPTURE_ENDED = 0x5401;

inline constexpr HRESULT DISP_E_BUFFERTOOSMALL = static_cast<HRESULT>(0x80020013u);
inline constexpr HRESULT E_FAIL_HR = static_cast<HRESULT>(0x80004005u);

// Makes the screen capturer of a controller: the capture layer's factory, or
// a capturer of the tests.
using CapturerMaker = std::unique_ptr<capture::DesktopCapturer> (*)(const capture::CapturerOptions&);
inline constexpr CapturerMaker kScreenCapturerFactory = &capture::DesktopCapturer::MakeScreenCapturer;

// Output frames per timer tick: the performance counter between ticks gives the
// timer's measured rate; target / measured accumulates and its whole part is the
// repeat count of the tick's picture.
class CFrameRate {
 public:
  CFrameRate();  // reads the counter frequency ("InitFreqUnits")
  void Reset();
  // The repeat count for a tick at counter value `now` (0: the tick stands for
  // no output frame); updates `measuredFps` when its whole part changed.
  unsigned Tick(int64_t now, float targetFps, std::atomic<float>& measuredFps);

  uint32_t m_frequency = 0;
  // Written on the timer's thread, read by the dialog's status timer.
  std::atomic<int64_t> m_lastTick{0};
  float m_accumulator = 0.0f;
  std::atomic<int64_t> m_startTick{0};
};

class CDesktopCaptureController;

class CCaptureCallback : public capture::DesktopCapturer::Callback {
 public:
  explicit CCaptureCallback(CDesktopCaptureController* controller) : m_pController(controller) {}
  ~CCaptureCallback() override = default;
  void OnCaptureResult(capture::CaptureResult result, std::unique_ptr<capture::DesktopFrame> frame) override;

 private:
  CDesktopCaptureController* m_pController;
};

class CDesktopCaptureController {
 public:
  // `region` relative to the monitor's top-left corner; an odd width loses its
  // right column, an odd height its bottom row. The recording is made as
  // `config` says, with a capturer from `makeCapturer`; the measured rate and
  // the writer's findings go to `results`, which outlives the controller.
  CDesktopCaptureController(const platform::ui::Rect& region, RecordConfig config, RecordingResults& results,
                            CapturerMaker makeCapturer = kScreenCapturerFactory);
  virtual ~CDesktopCaptureController();
  CDesktopCaptureController(const CDesktopCaptureController&) = delete;
  CDesktopCaptureController& operator=(const CDesktopCaptureController&) = delete;

  void Init(const platform::ui::MonitorInfoEx& monitor);
  // The window told when the capture ends for good (null: nobody).
  void SetOwner(platform::ui::HWND owner) { m_hOwnerWnd = owner; }
  bool CaptureEnded() const { return m_bCaptureEnded.load(); }
  // Starts the timer, ffmpeg and the writer thread; false (logged) on failure.
  bool Start();
  HRESULT StartVideoStreamWriter();
  bool CaptureFrame();
  static void CaptureTimerProc(uint32_t timerId, void* user);

  // The stop of CScreenRecorder: no tick runs after this, the ring is drained,
  // the writer stopped and deleted, then the capturer.
  void StopCapture();

  // Handed to each writer the controller makes, before its thread starts (tests).
  void SetPictureObserver(CVideoStreamWriter::PictureObserver observer) { m_observer = std::move(observer); }

  const platform::ui::Rect& Region() const { return m_rcRegion; }
  CVideoStreamWriter* Writer() { return m_pVideoWriter.get(); }
  CFrameRate* FrameRate() { return m_pFrameRate.get(); }

 private:
  friend class CCaptureCallback;

  platform::ui::Rect m_rcRegion;
  const RecordConfig m_config;
  RecordingResults& m_results;
  const CapturerMaker m_makeCapturer;
  uint32_t m_uTimerId = 0;
  std::unique_ptr<CVideoStreamWriter> m_pVideoWriter;
  std::unique_ptr<CFrameRate> m_pFrameRate;
  std::unique_ptr<capture::DesktopCapturer> m_pCapturer;
  std::shared_ptr<CCaptureCallback> m_spCallback;
  capture::VideoFrame* m_pTargetFrame = nullptr;
  platform::Event m_hIdleEvent{true, true};
  bool m_bOutsideLogged = false;  // one log line per run of frames without the region
  platform::ui::HWND m_hOwnerWnd = nullptr;
  std::atomic<bool> m_bCaptureEnded{false};
  CVideoStreamWriter::PictureObserver m_observer;
};

}  // namespace qelrec
