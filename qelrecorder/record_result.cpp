#include "qelrecorder/record_result.h"

#include <sys/stat.h>

#include <atomic>
#include <cstring>

#include "common/text_convert.h"
#include "platform/ui/window.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

namespace qelrec {

namespace {

RecordResultData resultRecord;
std::atomic<SentRecord> lastSent{SentRecord::kNone};

}  // namespace

uintptr_t NotifyRecordResult(const char* tag) {
  CRecordSettings& settings = CRecordSettings::Get();
  std::memset(&resultRecord, 0, sizeof resultRecord);
  platform::ui::CopyDataStruct copy{0, sizeof(RecordResultData), &resultRecord};

  const std::wstring video = U16ToWide(settings.m_szVideoPath);
  const std::wstring audio = U16ToWide(settings.m_szAudioPath);
  struct stat info {};
  const bool written = !video.empty() && ::stat(qel::wideToUtf8(video).c_str(), &info) == 0 && info.st_size > 0;
  if (written && !settings.m_bVideoComplete.load()) {
    // The file holds what ffmpeg wrote before it stopped or was ended: kept on
    // disk and named here, but no recording to report.
    LogErrorW(tag, L"The video file %s was not finished by ffmpeg; the recording failed.", video);
  } else if (written) {
    // Both fields hold the path with its terminator or nothing: a path that
    // does not fit is reported, never cut.
    if (!WideToU16(video, resultRecord.szVideoPath) || !WideToU16(audio, resultRecord.szAudioPath)) {
      LogErrorW(tag, L"Output path does not fit the result record: %s | %s", video, audio);
      std::memset(&resultRecord, 0, sizeof resultRecord);
    } else {
      LogInfoW(tag, L"Notify parent window (0x%x) to muxing audio/video", settings.m_hMainAppWnd);
      resultRecord.llAudioOffsetMs = settings.m_llAudioOffsetMs.load();
      resultRecord.llVideoDurationMs = settings.m_llVideoDurationMs.load();
      copy.dwData = 1;
    }
  }
  lastSent = copy.dwData == 1 ? SentRecord::kVideo : SentRecord::kNoVideo;
  platform::ui::SendMessage(settings.m_hMainAppWnd, platform::ui::WM_COPYDATA, 0,
                            reinterpret_cast<platform::ui::LPARAM>(&copy));
  return copy.dwData;
}

SentRecord LastSentRecord() { return lastSent.load(); }

void ForgetRecordResults() { lastSent = SentRecord::kNone; }

}  // namespace qelrec
