// Helpers shared by the recorder's tests: a log collector for both handler
// families and frame counting / decoding with the real ffprobe and ffmpeg.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "qelrecorder/recorder_log.h"

namespace qelrec::test {

struct LogLine {
  std::string level;  // "INFO" for the null level
  std::string function;
  std::string text;   // UTF-8, also for wide messages
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

}  // namespace qelrec::test
