// RecordingResults: what a running recording has found out so far, written by
// its threads (the capture timer: the measured rate; ffmpeg's reader: the video
// duration; the audio queue: the audio file and offset; the dialog's thread:
// the video file and whether ffmpeg finished it). The recorder owns one per
// recording and hands a plain copy, RecordResult, to its caller, which is the
// one that stores it in the settings.
//
// Thread safety: every member may be written and read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace qelrec {

struct RecordResult {
  float measuredFps = 0.0f;
  int64_t audioOffsetMs = 0;
  int64_t videoDurationMs = 0;
  std::wstring videoPath;
  std::wstring audioPath;
  bool videoComplete = false;  // ffmpeg finished the video file
};

class RecordingResults {
 public:
  std::atomic<float> measuredFps{0.0f};
  std::atomic<int64_t> audioOffsetMs{0};
  std::atomic<int64_t> videoDurationMs{0};
  std::atomic<bool> videoComplete{false};

  void SetVideoPath(std::wstring path) {
    std::lock_guard<std::mutex> lock(m_paths);
    m_videoPath = std::move(path);
  }
  void SetAudioPath(std::wstring path) {
    std::lock_guard<std::mutex> lock(m_paths);
    m_audioPath = std::move(path);
  }
  std::wstring VideoPath() const {
    std::lock_guard<std::mutex> lock(m_paths);
    return m_videoPath;
  }
  std::wstring AudioPath() const {
    std::lock_guard<std::mutex> lock(m_paths);
    return m_audioPath;
  }
  // Back to nothing found, for the next recording.
  void Clear() {
    measuredFps = 0.0f;
    audioOffsetMs = 0;
    videoDurationMs = 0;
    videoComplete = false;
    SetVideoPath(std::wstring());
    SetAudioPath(std::wstring());
  }
  RecordResult Snapshot() const {
    RecordResult r;
    r.measuredFps = measuredFps.load();
    r.audioOffsetMs = audioOffsetMs.load();
    r.videoDurationMs = videoDurationMs.load();
    r.videoComplete = videoComplete.load();
    r.videoPath = VideoPath();
    r.audioPath = AudioPath();
    return r;
  }

 private:
  mutable std::mutex m_paths;
  std::wstring m_videoPath;
  std::wstring m_audioPath;
};

}  // namespace qelrec
