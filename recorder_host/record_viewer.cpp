#include "recorder_host/record_viewer.h"

#include <cstring>

#include "common/text_convert.h"
#include "qelrecorder/qelrecorder.h"
#include "recorder_host/host_output.h"
#include "recorder_host/recorder_library.h"
#include "recorder_host/stop_signals.h"

namespace qelhost {

namespace {

// A UTF-16 path field of the record, read no further than the field even when
// its terminator is missing; a lone surrogate becomes U+FFFD.
std::string FieldToUtf8(const char16_t* field, size_t capacity) {
  std::wstring wide;
  for (size_t i = 0; i < capacity && field[i] != 0; ++i) {
    const char32_t unit = field[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < capacity && field[i + 1] >= 0xDC00 && field[i + 1] <= 0xDFFF) {
      wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (field[i + 1] - 0xDC00)));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      wide.push_back(static_cast<wchar_t>(0xFFFD));
    } else {
      wide.push_back(static_cast<wchar_t>(unit));
    }
  }
  return qel::wideToUtf8(wide);
}

std::string PathOrNull(const std::string& path) { return path.empty() ? "null" : path; }

}  // namespace

std::vector<std::string> RecordDataLines(const platform::ui::CopyDataStruct& data) {
  // A record shorter than its layout is not read (it would be read past its end).
  if (data.dwData != 1 || data.lpData == nullptr || data.cbData < sizeof(qelrec::RecordResultData)) {
    return {"RecordData-VideoFile:null", "RecordData-AudioFile:null"};
  }
  qelrec::RecordResultData record;
  std::memcpy(&record, data.lpData, sizeof record);
  const size_t capacity = sizeof record.szVideoPath / sizeof record.szVideoPath[0];
  return {
      "RecordData-VideoFile:" + PathOrNull(FieldToUtf8(record.szVideoPath, capacity)),
      "RecordData-AudioFile:" + PathOrNull(FieldToUtf8(record.szAudioPath, capacity)),
      "RecordData-VideoDuration:" + std::to_string(static_cast<uint64_t>(record.llVideoDurationMs)),
      "RecordData-AudioOffset:" + std::to_string(static_cast<uint64_t>(record.llAudioOffsetMs)),
  };
}

platform::ui::LRESULT RecordViewerWndProc(platform::ui::HWND, uint32_t message, platform::ui::WPARAM,
                                          platform::ui::LPARAM lParam) {
  if (message == platform::ui::WM_COPYDATA) {
    const auto* data = reinterpret_cast<const platform::ui::CopyDataStruct*>(lParam);
    const platform::ui::CopyDataStruct none{0, 0, nullptr};
    for (const std::string& line : RecordDataLines(data != nullptr ? *data : none)) WriteLine(line);
    // One result per recording: the dialog closes so that LaunchRecorder returns.
    if (RecorderLibraryLoaded()) {
      if (auto stop = reinterpret_cast<StopVideoRecorderFn>(FindRecorderExport("StopVideoRecorder"))) stop();
    }
    return 0;
  }
  if (message == kWmStopRequest) {
    // The program is told to end: the recorder stops a running recording as
    // its stop hot key does (its record arrives here as usual), or closes.
    if (RecorderLibraryLoaded()) {
      if (auto stop = reinterpret_cast<StopVideoRecorderFn>(FindRecorderExport("StopVideoRecorder"))) stop();
    }
    return 0;
  }
  if (message == platform::ui::WM_DESTROY) {
    platform::ui::PostQuitMessage(0);
    return 0;
  }
  return 0;
}

platform::ui::HWND CreateRecordViewerWindow() {
  platform::ui::WindowParams params;
  params.parent = platform::ui::HWND_MESSAGE;
  params.title = kRecordViewerWindow;
  params.proc = &RecordViewerWndProc;
  return platform::ui::CreateWindowEx(params);
}

}  // namespace qelhost
