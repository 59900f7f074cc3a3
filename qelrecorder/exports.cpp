// The exported functions of libqelrecorder.so (undecorated names).
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "platform/display/display.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/qelrecorder.h"
#include "qelrecorder/record_result.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

#define QELREC_EXPORT extern "C" __attribute__((visibility("default")))

using qelrec::CRecordSettings;

namespace {

std::wstring text(const wchar_t* value) { return value != nullptr ? std::wstring(value) : std::wstring(); }

// Copies `value` with its terminator into a caller's buffer of `capacity`
// characters; a buffer too small gets an empty text and a log line, never a cut
// path.
void copyOut(const wchar_t* what, const std::wstring& value, wchar_t* out, int capacity) {
  if (out == nullptr || capacity <= 0) return;
  if (value.size() + 1 > static_cast<size_t>(capacity)) {
    qelrec::LogErrorW("GetOutputFileNamePath", L"Buffer of %d characters too small for the %s path %s", capacity, what,
                      value);
    out[0] = L'\0';
    return;
  }
  std::wmemcpy(out, value.c_str(), value.size() + 1);
}

}  // namespace

QELREC_EXPORT void SetLogHandler(LogHandlerA narrow, LogHandlerW wide) { qelrec::SetLogHandlers(narrow, wide); }

QELREC_EXPORT void SetMainAppWnd(platform::ui::HWND window) { CRecordSettings::Get().m_hMainAppWnd = window; }

QELREC_EXPORT void SetEncodeParameters(const wchar_t* codec, int fps, int quality, int bitrate,
                                       const wchar_t* extraArgs) {
  CRecordSettings& settings = CRecordSettings::Get();
  settings.SetCodec(text(codec));
  settings.m_fTargetFps = static_cast<float>(fps);
  settings.m_nQuality = quality;
  settings.m_nBitrate = bitrate;
  settings.m_strExtraArgs = text(extraArgs);
}

QELREC_EXPORT void SetTmpOutputDirectory(const wchar_t* folder) {
  CRecordSettings& settings = CRecordSettings::Get();
  const std::wstring wanted = text(folder);
  char16_t field[260];
  if (!wanted.empty()) {
    if (qelrec::WideToU16(wanted, field)) {
      std::memcpy(settings.m_szTmpDir, field, sizeof field);
      settings.m_strRefusedTmpDir.clear();
    } else {
      // Never cut, never another folder: LaunchRecorder reports it again (a
      // host may set its log handler only after this call) and records nothing.
      qelrec::LogErrorW("SetTmpOutputDirectory", L"Output folder longer than 259 characters, not used: %s", wanted);
      settings.m_strRefusedTmpDir = wanted;
    }
  }
  const std::wstring current = qelrec::U16ToWide(settings.m_szTmpDir);
  if (!qelrec::WideToU16(qelrec::VolumeRootOf(current), settings.m_szTmpDrive)) settings.m_szTmpDrive[0] = 0;
  qelrec::CreateDirectoryRecursive(current);
}

QELREC_EXPORT void SetFFMpegPath(const wchar_t* folder) { CRecordSettings::Get().m_strFFmpegDir = text(folder); }

QELREC_EXPORT void SetCaptureAudio(bool capture) { CRecordSettings::Get().m_bCaptureAudio = capture; }

QELREC_EXPORT void SetHotKey(const wchar_t* startStop, const wchar_t* hideShow) {
  CRecordSettings& settings = CRecordSettings::Get();
  settings.m_strStartStopHotKey = text(startStop);
  settings.m_strHideShowHotKey = text(hideShow);
}

QELREC_EXPORT void SetDelayTime(uint64_t milliseconds) { CRecordSettings::Get().m_llDelayMs = milliseconds; }

QELREC_EXPORT void SetDPIMode(int mode) { CRecordSettings::Get().m_nDpiMode = mode; }

// Kept for hosts that call them; the language comes with the skin.
QELREC_EXPORT void SetLanguage(const wchar_t*) {}
QELREC_EXPORT void SetLanguageFolder(const wchar_t*) {}

QELREC_EXPORT void GetOutputFileNamePath(wchar_t* audioOut, int audioCap, wchar_t* videoOut, int videoCap,
                                         int64_t* audioOffsetMs) {
  CRecordSettings& settings = CRecordSettings::Get();
  std::wstring audio = qelrec::U16ToWide(settings.m_szAudioPath);
  std::wstring video = qelrec::U16ToWide(settings.m_szVideoPath);
  int64_t offset = settings.m_llAudioOffsetMs.load();
  // A running recording's files are known before its stop stores them in the
  // settings.
  if (const qelrec::CRecorderDlgUI* dialog = qelrec::CRecorderDlgUI::Running();
      dialog != nullptr && dialog->IsRecording()) {
    qelrec::RecordResult live = dialog->CurrentResults();
    audio = std::move(live.audioPath);
    video = std::move(live.videoPath);
    offset = live.audioOffsetMs;
  }
  copyOut(L"audio", audio, audioOut, audioCap);
  copyOut(L"video", video, videoOut, videoCap);
  if (audioOffsetMs != nullptr) *audioOffsetMs = offset;
}

int qelrec::LaunchRecorderDialog(platform::ui::HWND parent, const std::wstring& skinName, platform::ui::Rect* region,
                                 CapturerMaker makeCapturer) {
  // The dialog writes the region window's final rectangle back into `region`
  // when its OK or close button ends it.
  qelrec::ForgetRecordResults();
  if (const std::wstring refused = CRecordSettings::Get().m_strRefusedTmpDir; !refused.empty()) {
    qelrec::LogErrorW("LaunchRecorder", L"Output folder longer than 259 characters, nothing is recorded: %s", refused);
    CRecordSettings::Destroy();
    return kRecorderFailed;
  }
  // No screen, no recording: a display that cannot be reached is said, never
  // replaced by another picture.
  if (const std::string unavailable = platform::display::UnavailableReason(); !unavailable.empty()) {
    qelrec::LogErrorA("LaunchRecorder", "Cannot record the screen: %s.", unavailable);
    CRecordSettings::Destroy();
    return kRecorderFailed;
  }
  auto dialog = std::make_unique<qelrec::CRecorderDlgUI>(skinName, region, makeCapturer);
  qelrec::CRecorderDlgUI::SetRunning(dialog.get());
  dialog->SetDPI(CRecordSettings::Get().m_nDpiMode);
  // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU; WS_EX_TOPMOST.
  if (dialog->Create(parent, "Qel Recorder", 0x96C80000u, 0x8u, platform::ui::Rect{0, 0, 0, 0}) == nullptr) {
    qelrec::LogErrorA("LaunchRecorder", "The recorder dialog could not be created (skin %S).", skinName);
    qelrec::CRecorderDlgUI::SetRunning(nullptr);
    CRecordSettings::Destroy();
    return kRecorderFailed;
  }
  dialog->CenterWindow();
  const int code = dialog->ShowModal();
  qelrec::CRecorderDlgUI::SetRunning(nullptr);
  return code;
}

QELREC_EXPORT int LaunchRecorder(platform::ui::HWND parent, const wchar_t* skinName, platform::ui::Rect* region) {
  return qelrec::LaunchRecorderDialog(parent, text(skinName), region);
}

QELREC_EXPORT int StopVideoRecorder() {
  // A host closes the dialog after every result record (after one without a
  // usable video the recording failed, and LaunchRecorder says so); a host
  // told to end while a recording runs stops it first (OnHostStop).
  if (qelrec::CRecorderDlgUI* dialog = qelrec::CRecorderDlgUI::Running()) dialog->OnHostStop();
  return 0;
}
