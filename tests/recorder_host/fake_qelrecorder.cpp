// A stand-in for libqelrecorder.so that the host tests put beside a copy of
// QelRecorder. It writes every call it receives, with its arguments, to the file
// named by FAKE_RECORDER_LOG; its LaunchRecorder logs two messages through the
// host's handlers, sends a result record with a video file and no audio file
// and then one without a usable video file, and returns FAKE_RECORDER_RESULT.
// Built in variants that lack one export (FAKE_WITHOUT_SET_HOT_KEY,
// FAKE_WITHOUT_LAUNCH_RECORDER).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text_convert.h"
#include "platform/ui/window.h"
#include "qelrecorder/qelrecorder.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

LogHandlerA narrowHandler = nullptr;
LogHandlerW wideHandler = nullptr;
platform::ui::HWND hostWindow = nullptr;
int stopCalls = 0;

void Note(const std::string& line) {
  const char* path = std::getenv("FAKE_RECORDER_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "ae")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string U8(const wchar_t* text) { return qel::wideToUtf8(text); }

[[maybe_unused]] void Put16(char16_t* field, const std::u16string& text) {
  std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

[[maybe_unused]] void SendRecord(uintptr_t dwData, const qelrec::RecordResultData& record) {
  platform::ui::CopyDataStruct data{dwData, sizeof record, &record};
  platform::ui::SendMessage(hostWindow, platform::ui::WM_COPYDATA, 0, reinterpret_cast<platform::ui::LPARAM>(&data));
  Note("after record " + std::to_string(dwData) + ": StopVideoRecorder calls " + std::to_string(stopCalls));
}

}  // namespace

FAKE_EXPORT void SetEncodeParameters(const wchar_t* codec, int fps, int quality, int bitrate, const wchar_t* extra) {
  Note("SetEncodeParameters codec=" + U8(codec) + " fps=" + std::to_string(fps) +
       " quality=" + std::to_string(quality) + " bitrate=" + std::to_string(bitrate) + " extra=[" + U8(extra) + "]");
}
FAKE_EXPORT void SetTmpOutputDirectory(const wchar_t* folder) { Note("SetTmpOutputDirectory [" + U8(folder) + "]"); }
FAKE_EXPORT void SetFFMpegPath(const wchar_t* folder) { Note("SetFFMpegPath [" + U8(folder) + "]"); }
FAKE_EXPORT void SetCaptureAudio(bool capture) { Note(std::string("SetCaptureAudio ") + (capture ? "1" : "0")); }
#ifndef FAKE_WITHOUT_SET_HOT_KEY
FAKE_EXPORT void SetHotKey(const wchar_t* startStop, const wchar_t* hideShow) {
  Note("SetHotKey [" + U8(startStop) + "] [" + U8(hideShow) + "]");
}
#endif
FAKE_EXPORT void SetDelayTime(uint64_t ms) { Note("SetDelayTime " + std::to_string(ms)); }
FAKE_EXPORT void SetLogHandler(LogHandlerA narrow, LogHandlerW wide) {
  narrowHandler = narrow;
  wideHandler = wide;
  Note(std::string("SetLogHandler ") + (narrow != nullptr && wide != nullptr ? "both" : "missing"));
}
FAKE_EXPORT void SetMainAppWnd(platform::ui::HWND window) {
  hostWindow = window;
  Note(std::string("SetMainAppWnd ") + (platform::ui::IsMessageOnlyWindow(window) ? "message-only " : "other ") +
       platform::ui::GetWindowTitle(window));
}
FAKE_EXPORT int StopVideoRecorder() {
  ++stopCalls;
  return 0;
}
#ifndef FAKE_WITHOUT_LAUNCH_RECORDER
FAKE_EXPORT int LaunchRecorder(platform::ui::HWND parent, const wchar_t* skin, platform::ui::Rect* region) {
  Note("LaunchRecorder parent=" + std::string(parent == hostWindow ? "host window" : "other") + " skin=" + U8(skin) +
       " region=" + std::to_string(region->left) + "," + std::to_string(region->top) + "," +
       std::to_string(region->right) + "," + std::to_string(region->bottom));
  // Texts that look like formats must reach the host's output as they are.
  narrowHandler(nullptr, "Fake::Narrow", "100% done, %s %d %n");
  wideHandler("WARN", "Fake::Wide", L"wide \u00e9\u4e2d %S 50%");
  qelrec::RecordResultData record{};
  Put16(record.szVideoPath, u"/rec/vid\u00e9o \U0001F600.h264");
  record.llAudioOffsetMs = 120;
  record.llVideoDurationMs = 3033;
  SendRecord(1, record);
  SendRecord(0, qelrec::RecordResultData{});
  const char* result = std::getenv("FAKE_RECORDER_RESULT");
  return result != nullptr ? std::atoi(result) : 0;
}
#endif
