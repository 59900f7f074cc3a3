#include "qelrecorder/capture_controller.h"

#include <libyuv.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/screen_list.h"
#include "common/text_convert.h"
#include "platform/core/clock.h"
#include "platform/core/mm_timer.h"
#include "platform/core/os_version.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

namespace qelrec {

// ---------------------------------------------------------------------------
// CFrameRate

CFrameRate::CFrameRate() {
  const int64_t frequency = platform::QueryPerformanceFrequency();
  if (frequency <= 0 || frequency > std::numeric_limits<uint32_t>::max()) {
    LogWarnA("CFrameRate::InitFreqUnits", "QueryPerformanceFrequency FAILED!");
    m_frequency = 0;
  } else {
    m_frequency = static_cast<uint32_t>(frequency);
  }
}

void CFrameRate::Reset() {
  m_lastTick = 0;
  m_accumulator = 0.0f;
  m_startTick = platform::QueryPerformanceCounter();
}

unsigned CFrameRate::Tick(int64_t now, float targetFps, std::atomic<float>& measuredFps) {
  const int64_t last = m_lastTick.load();
  const int64_t delta = now - last;
  if (last == 0 || delta <= 0) {
    m_lastTick = now;
    return 1;
  }
  m_lastTick = now;
  const double measured = static_cast<double>(m_frequency) / static_cast<double>(delta);
  if (static_cast<int64_t>(measured) != static_cast<int64_t>(measuredFps.load())) {
    measuredFps = static_cast<float>(measured);
  }
  const double step = measured > 0 ? targetFps / measured : 0.0;
  const double acc = m_accumulator + step;
  const auto n = static_cast<unsigned>(acc);
  m_accumulator = static_cast<float>(acc - n);
  return n;
}

// ---------------------------------------------------------------------------
// CDesktopCaptureController

CDesktopCaptureController::CDesktopCaptureController(const platform::ui::Rect& region, RecordConfig config,
                                                     RecordingResults& results, CapturerMaker makeCapturer)
    : m_rcRegion(region),
      m_config(std::move(config)),
      m_results(results),
      m_makeCapturer(makeCapturer),
      m_pFrameRate(std::make_unique<CFrameRate>()) {
  // I420 needs even sizes: an odd width loses its right column, an odd height
  // its bottom row.
  if ((m_rcRegion.right - m_rcRegion.left) % 2 != 0) --m_rcRegion.right;
  if ((m_rcRegion.bottom - m_rcRegion.top) % 2 != 0) --m_rcRegion.bottom;
  m_spCallback = std::make_shared<CCaptureCallback>(this);
}

CDesktopCaptureController::~CDesktopCaptureController() {
  // A timer still running would tick into a controller being destroyed.
  if (m_uTimerId != 0) {
    platform::TimeKillEvent(m_uTimerId);
    m_uTimerId = 0;
  }
  m_hIdleEvent.Wait();
  m_pCapturer.reset();
  m_spCallback.reset();
  m_pFrameRate.reset();
  m_pVideoWriter.reset();
}

void CDesktopCaptureController::Init(const platform::ui::MonitorInfoEx& monitor) {
  constexpr const char* kTag = "CDesktopCaptureController::Init";
  capture::CapturerOptions options = capture::CapturerOptions::MakeDefault();
  if (platform::IsOsVersionAtLeast(6, 2)) {
    options.dxgi_allowed_ = true;
    LogInfoA(kTag, "Create desktop capture controller with DXGI");
  }
  m_pCapturer = m_makeCapturer != nullptr ? m_makeCapturer(options) : nullptr;

  std::vector<capture::DesktopCapturer::SourceEntry> screens;
  std::vector<std::string> names;
  int64_t screenId = 0;
  if (capture::ListActiveScreens(&screens, &names)) {
    const std::string wanted = qel::wideToUtf8(U16ToWide(monitor.szDevice));
    for (size_t i = 0; i < screens.size() && i < names.size(); ++i) {
      if (names[i] == wanted) {
        screenId = screens[i].id;
        break;
      }
    }
  }
  LogInfoA(kTag, "Capturer started with screen %d", screenId);
  if (!m_pCapturer) {
    LogErrorA(kTag, "No screen capturer could be made.");
    return;
  }
  m_pCapturer->ChooseSource(screenId);
  // Only the region is converted: a capturer that can read just that part
  // spares the display's server the rest of the monitor.
  m_pCapturer->SetReadRegion(
      capture::DesktopRect::MakeLTRB(m_rcRegion.left, m_rcRegion.top, m_rcRegion.right, m_rcRegion.bottom));
  m_pCapturer->BeginCapture(m_spCallback.get());
}

bool CDesktopCaptureController::Start() {
  LogInfoA("CDesktopCaptureController::Start", "Begin desktop screen capture...");
  m_pVideoWriter = std::make_unique<CVideoStreamWriter>(m_config, m_results);
  if (m_observer) m_pVideoWriter->SetPictureObserver(m_observer);
  const float fps = m_config.targetFps;
  // 1000 / rate truncated; a rate of 0 or less (or one so small that the period
  // does not fit) asks for the largest period, which the timer refuses.
  uint32_t period = std::numeric_limits<uint32_t>::max();
  if (fps > 0.0f) {
    const float p = 1000.0f / fps;
    if (p < 4294967296.0f) period = static_cast<uint32_t>(p);
  }
  m_uTimerId = platform::TimeSetEvent(period, 0, &CDesktopCaptureController::CaptureTimerProc, this,
                                      platform::TimerKind::Periodic);
  if (m_uTimerId == 0) {
    LogErrorA("CDesktopCaptureController::Start", "Capture timer could not be started (period %u ms).", period);
    return false;
  }
  return StartVideoStreamWriter() >= 0;
}

HRESULT CDesktopCaptureController::StartVideoStreamWriter() {
  constexpr const char* kTag = "CDesktopCaptureController::StartVideoStreamWriter";
  if (m_pVideoWriter->EncoderRunning()) return S_OK;
  const int width = m_rcRegion.right - m_rcRegion.left;
  const int height = m_rcRegion.bottom - m_rcRegion.top;
  if (!(width > 8 && height > 8)) {
    LogWarnW(kTag, L"Video Window Size TOO SMALL.");
    return DISP_E_BUFFERTOOSMALL;
  }
  m_pFrameRate->Reset();
  // An encoder that did not start is a failed start: a recording never runs
  // with nothing behind it.
  const int init = m_pVideoWriter->Init(width, height);
  if (init != 0) {
    const HRESULT hr = init < 0 ? init : E_FAIL_HR;
    LogErrorW(kTag, L"Cant init video stream writer. Error=0x%x.", hr);
    return hr;
  }
  const HRESULT hr = m_pVideoWriter->Start();
  if (hr < 0) {
    LogErrorW(kTag, L"Cant create video stream writer thread. Error=0x%x.", hr);
    return hr;
  }
  return S_OK;
}

void CDesktopCaptureController::CaptureTimerProc(uint32_t, void* user) {
  auto* self = static_cast<CDesktopCaptureController*>(user);
  self->m_hIdleEvent.Reset();
  self->CaptureFrame();
  self->m_hIdleEvent.Set();
}

bool CDesktopCaptureController::CaptureFrame() {
  if (!m_pVideoWriter || !m_pVideoWriter->EncoderRunning() || m_bCaptureEnded.load()) return false;
  const unsigned n = m_pFrameRate->Tick(platform::QueryPerformanceCounter(), m_config.targetFps, m_results.measuredFps);
  if (n == 0) return true;
  m_pTargetFrame = m_pVideoWriter->ClaimSlot(static_cast<int>(n));
  if (m_pTargetFrame == nullptr) return false;
  if (m_pCapturer) m_pCapturer->CaptureFrame();
  return true;
}

void CDesktopCaptureController::StopCapture() {
  // A tick waiting for ring space (ffmpeg reads nothing) must give up, or
  // killing the timer would wait for it for ever.
  if (m_pVideoWriter) m_pVideoWriter->BeginStop();
  if (m_uTimerId != 0) {
    platform::TimeKillEvent(m_uTimerId);
    m_uTimerId = 0;
  }
  m_hIdleEvent.Wait();
  // Without a writer (the start failed before it) there is nothing to drain.
  if (m_pVideoWriter) {
    if (m_pVideoWriter->ThreadRunning() && !m_pVideoWriter->WaitDrained(kWriterStopWaitMs)) {
      LogErrorA("CScreenRecorder::Stop", "ffmpeg took no picture for %u ms; it is ended and its file is not finished.",
                kWriterStopWaitMs);
      m_pVideoWriter->EndEncoder();
    }
    m_pVideoWriter->Stop();
    m_pVideoWriter.reset();
  }
  m_pCapturer.reset();
}

// ---------------------------------------------------------------------------
// CCaptureCallback

void CCaptureCallback::OnCaptureResult(capture::CaptureResult result, std::unique_ptr<capture::DesktopFrame> frame) {
  CDesktopCaptureController& c = *m_pController;
  if (result != capture::CaptureResult::Success || !frame) {
    LogWarnW("CCaptureCallback::OnCaptureResult", L"Capture frame failed with error: %d", static_cast<int>(result));
    // The screen is gone for good (its X server was lost): no tick captures
    // any more, and the owner stops the recording, which finishes the video
    // recorded so far.
    if (result == capture::CaptureResult::PermanentError && !c.m_bCaptureEnded.exchange(true)) {
      LogErrorA("CCaptureCallback::OnCaptureResult",
                "The screen can no longer be captured; the recording ends with what was captured.");
      if (c.m_hOwnerWnd != nullptr) platform::ui::PostMessage(c.m_hOwnerWnd, WM_CAPTURE_ENDED, 0, 0);
    }
    return;
  }
  const platform::ui::Rect& r = c.m_rcRegion;
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  const int frameWidth = frame->size().width;
  const int frameHeight = frame->size().height;
  if (r.left < 0 || r.top < 0 || r.left + width > frameWidth || r.top + height > frameHeight) {
    // A region partly off its monitor gives no picture; said once per run of
    // such frames, so a recording of nothing shows in the log.
    if (!c.m_bOutsideLogged) {
      LogWarnA("CCaptureCallback::OnCaptureResult",
               "Capture region (%d,%d %dx%d) is not inside the frame (%dx%d); frames dropped.", r.left, r.top, width,
               height, frameWidth, frameHeight);
      c.m_bOutsideLogged = true;
    }
    return;
  }
  c.m_bOutsideLogged = false;
  if (c.m_pTargetFrame == nullptr) return;
  capture::RefPtr<capture::PlanarI420Buffer> buffer = c.m_pTargetFrame->GetBuffer();
  // libyuv walks the source rows at width x 4 bytes: the frame's stride in
  // pixels is the width it is given, so padded rows stay aligned.
  const int sourceWidth = frame->stride() / capture::DesktopFrame::kBytesPerPixel;
  const int converted = libyuv::ConvertToI420(
      frame->data(), 0, buffer->planeY(), buffer->pitchY(), buffer->planeU(), buffer->pitchU(), buffer->planeV(),
      buffer->pitchV(), r.left, r.top, sourceWidth, frameHeight, width, height, libyuv::kRotate0, libyuv::FOURCC_ARGB);
  if (converted == 0 && c.m_pVideoWriter->ThreadRunning()) c.m_pVideoWriter->CommitSlot();
}

}  // namespace qelrec
