#include "qelrecorder/screen_recorder.h"

#include <unistd.h>

#include "platform/audio/audio_client.h"
#include "platform/core/clock.h"
#include "platform/core/modules.h"
#include "platform/core/os_version.h"
#include "qelrecorder/LoopbackCapture/loopback_capture.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec {

namespace {

platform::OsVersionInfoEx ReadOsVersion() {
  platform::OsVersionInfoEx info{};
  info.size = sizeof info;
  platform::ModuleHandle ntdll = platform::LoadModule("ntdll.dll");
  if (ntdll == nullptr) return platform::OsVersionInfoEx{};
  using RtlGetVersionFn = int32_t (*)(platform::OsVersionInfoEx*);
  auto fn = reinterpret_cast<RtlGetVersionFn>(platform::GetModuleEntry(ntdll, "RtlGetVersion"));
  if (fn == nullptr || fn(&info) != 0) info = platform::OsVersionInfoEx{};
  platform::FreeModule(ntdll);
  return info;
}

}  // namespace

bool IsSupportAudioCapture() {
  const platform::OsVersionInfoEx v = ReadOsVersion();
  if (v.majorVersion > 10) return true;
  LogInfoA("IsSupportAudioCapture", "OS Version: %d", v.buildNumber);
  return v.majorVersion == 10 && v.buildNumber >= 19041;
}

CScreenRecorder::~CScreenRecorder() {
  m_pAudioCapturer.reset();
  m_pCaptureController.reset();
}

void CScreenRecorder::Init(const RecordConfig& config, platform::ui::HWND owner,
                           const platform::ui::MonitorInfoEx& monitor, const platform::ui::Rect& region,
                           uint32_t targetPid, bool captureAudio) {
  m_hOwnerWnd = owner;
  m_dwTargetPid = targetPid;
  const platform::ui::Rect relative{region.left - monitor.rcMonitor.left, region.top - monitor.rcMonitor.top,
                                    region.right - monitor.rcMonitor.left, region.bottom - monitor.rcMonitor.top};
  m_pCaptureController = std::make_unique<CDesktopCaptureController>(relative, config, m_results, m_makeCapturer);
  m_pCaptureController->SetOwner(owner);
  m_pCaptureController->Init(monitor);
  if (!captureAudio || !IsSupportAudioCapture()) return;
  m_pAudioCapturer = std::make_unique<CAudioCapturer>(config, m_results);
}

bool CScreenRecorder::StartRecording(const RecordConfig& config, platform::ui::HWND owner,
                                     const platform::ui::MonitorInfoEx& monitor, const platform::ui::Rect& region,
                                     uint32_t targetPid, bool captureAudio) {
  // Results of an earlier recording must not be reported for this one.
  m_results.Clear();
  Init(config, owner, monitor, region, targetPid, captureAudio);
  if (m_pAudioCapturer) {
    m_pAudioCapturer->m_dwTargetPid = targetPid;
    m_pAudioCapturer->m_llVideoStartNs = platform::monotonicNanos();
    m_results.audioOffsetMs = 0;
    const int32_t hr = CLoopbackCapture::Instance().StartCapture(static_cast<uint32_t>(::getpid()),
                                                                 &CAudioCapturer::OnAudioData, m_pAudioCapturer.get());
    if (hr == platform::audio::AUDCLNT_E_SERVICE_NOT_RUNNING) {
      // No sound server: the screen is still worth recording, and the missing
      // sound is said rather than made up.
      LogWarnA("CRecorderDlgUI::OnBtnStartRecord", "No sound server was reached (%s); recording without audio.",
               platform::audio::LastSoundServerError().c_str());
      CLoopbackCapture::Instance().StopCapture();
      m_pAudioCapturer.reset();
    } else if (hr < 0) {
      LogErrorA("CRecorderDlgUI::OnBtnStartRecord", "Audio capture failed to start: 0x%x", hr);
      return false;
    }
  }
  return m_pCaptureController->Start();
}

RecordResult CScreenRecorder::Stop() {
  if (m_pCaptureController) {
    LogInfoA("CScreenRecorder::Stop", "stop m_pCaptureController...");
    m_pCaptureController->StopCapture();
    m_pCaptureController.reset();
  }
  if (m_pAudioCapturer) {
    LogInfoA("CScreenRecorder::Stop", "stop m_pAudioCapturer...");
    LogInfoA("CAudioCapturer::Stop", "routing back to default device");
    CLoopbackCapture::Instance().StopCapture();
    CFlacEncoder* encoder = m_pAudioCapturer->Encoder();
    if (!encoder->finish()) {
      LogErrorA("CAudioCapturer::Stop", "FLAC__stream_encoder_finish fail, %s", encoder->get_state().as_cstring());
    }
    LogInfoA("CAudioCapturer::Stop", "success.");
    m_pAudioCapturer.reset();
    // The next recording of this dialog starts with the sound flowing.
    platform::audio::PrepareCaptureStandby();
  }
  m_bRecording = false;
  return m_results.Snapshot();
}

}  // namespace qelrec
