// CRecordSettings: the recorder's one process-wide settings object. The host's
// setters fill it before a recording; the dialog takes a RecordConfig from it
// when a recording starts and stores the recording's RecordResult in it when
// the recording stops (measured rate, audio offset, video duration, the two
// output paths), where the exports and the host's record read them. It is
// deleted when the dialog is destroyed; the next access makes a fresh one with
// the defaults.
//
// Thread safety: made on first use (an atomic hand-over, so a late first use
// from two threads is harmless); the setters run on the host's thread before
// any recording thread starts; the dialog reads and writes it on that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/ui/window.h"
#include "qelrecorder/record_config.h"
#include "qelrecorder/recording_results.h"

namespace qelrec {

class CRecordSettings {
 public:
  // The settings, made with the defaults when there are none.
  static CRecordSettings& Get();
  // Deletes the settings (the dialog's destruction); the next Get starts over.
  static void Destroy();

  CRecordSettings();
  virtual ~CRecordSettings() = default;
  CRecordSettings(const CRecordSettings&) = delete;
  CRecordSettings& operator=(const CRecordSettings&) = delete;

  // Codec name as the ffmpeg -c:v argument (UTF-8 here, the active code page).
  void SetCodec(const std::wstring& codec);

  // What a recording started now is made with.
  RecordConfig TakeConfig() const;
  // A recording's results, as the exports and the result record read them.
  void StoreResults(const RecordResult& result);

  int m_nDpiMode = 0;
  float m_fTargetFps;
  std::atomic<float> m_fMeasuredFps{0.0f};
  std::string m_strCodec = "libx264";
  std::wstring m_strExtraArgs;
  int m_nBitrate = 0;
  char16_t m_szFileSuffix[64] = {};
  char16_t m_szProcessName[260] = {};
  std::atomic<int64_t> m_llAudioOffsetMs{0};
  std::atomic<int64_t> m_llVideoDurationMs{0};
  std::wstring m_strFFmpegDir;
  bool m_bCaptureAudio = true;
  std::wstring m_strStartStopHotKey;
  std::wstring m_strHideShowHotKey;
  uint64_t m_llDelayMs = 0;
  int m_nQuality = 2;
  char16_t m_szTmpDir[260] = {};
  // A folder SetTmpOutputDirectory could not take (too long for the setting):
  // LaunchRecorder refuses to record rather than record into m_szTmpDir, which
  // is another folder. Empty when the last folder asked for was taken.
  std::wstring m_strRefusedTmpDir;
  // On this platform the "drive" of the output folder is the root of the file
  // system that holds it (the free-space display asks that file system).
  char16_t m_szTmpDrive[260] = {};
  char16_t m_szVideoPath[260] = {};
  // True when ffmpeg finished the video file (it ended by itself, with 0,
  // after its input was closed); a file ffmpeg did not finish is never
  // reported as a recording.
  std::atomic<bool> m_bVideoComplete{false};
  char16_t m_szAudioPath[260] = {};
  platform::ui::HWND m_hMainAppWnd = nullptr;
};

// The system's temporary folder with a trailing separator ($TMPDIR, else /tmp/);
// "/tmp/" when $TMPDIR would not fit the 259 characters of the setting.
std::wstring DefaultTempFolder();

}  // namespace qelrec
