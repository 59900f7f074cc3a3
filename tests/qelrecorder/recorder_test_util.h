// Helpers shared by the recorder's tests: a log collector for both handler
// families, frame counting / decoding with the real ffprobe and ffmpeg, a
// capturer of a flat grey screen and the dialog's message loop.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/desktop_frame.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec::test {

struct LogLine {
  std::string level;  // "INFO" for the null level
  std::string function;
  std::string text;  // UTF-8, also for wide messages
};

// Installs itself as both log handlers for its lifetime and keeps every line.
class LogCollector {
 public:
  LogCollector();
  ~LogCollector();
  LogCollector(const LogCollector&) = delete;
  LogCollector& operator=(const LogCollector&) = delete;

  std::vector<LogLine> lines() const;
  // Lines whose text contains `part` (any level when `level` is empty).
  int count(const std::string& part, const std::string& level = "") const;
  std::string dump() const;

 private:
  static void narrow(const char* level, const char* function, const char* message);
  static void wide(const char* level, const char* function, const wchar_t* message);
  void add(const char* level, const char* function, std::string text);

  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

// Frames in the first video stream as ffprobe decodes them (-count_frames); -1
// when ffprobe fails.
int countVideoFrames(const std::string& path);

// Decodes the given frame numbers of a width x height video and returns their
// luma planes (width x height bytes each, in the order asked, values as coded).
std::vector<std::string> decodeLumaPlanes(const std::string& path, int width, int height,
                                          const std::vector<int>& frames);

// A test capturer of a flat screen of one grey level.
template <uint8_t Level>
class GreyCapturer : public capture::DesktopCapturer {
 public:
  void BeginCapture(Callback* callback) override { callback_ = callback; }
  bool ChooseSource(int64_t) override { return true; }
  void CaptureFrame() override {
    auto frame = std::make_unique<capture::HeapDesktopFrame>(capture::DesktopExtent{1920, 1080});
    std::memset(frame->data(), Level, static_cast<size_t>(frame->stride()) * 1080);
    callback_->OnCaptureResult(capture::CaptureResult::Success, std::move(frame));
  }
  static std::unique_ptr<capture::DesktopCapturer> Make(const capture::CapturerOptions&) {
    return std::make_unique<GreyCapturer>();
  }

 private:
  Callback* callback_ = nullptr;
};

// Puts the windows, the display, the sound and the list of playing programs on
// their simulated backings (the display emptied) and keeps SIGPIPE from ending
// this thread.
void useSimulatedBackings();

// Runs the window message loop for `ms` milliseconds on this thread, looking
// for messages every `stepMs`.
void pump(int ms, int stepMs = 10);

}  // namespace qelrec::test
