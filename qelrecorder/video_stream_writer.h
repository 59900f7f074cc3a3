// CVideoStreamWriter: turns the capture controller's pictures into a raw I420
// stream on the standard input of an ffmpeg child, which encodes it into the
// recording's video file (extension "h264"). It owns an eight-slot ring of I420
// frames, filled on the capture timer's thread and drained by a writer thread
// of its own, and the CCmdEncoder that runs ffmpeg and reports its progress.
//
// Ring rule: slot m_nWriteIndex belongs to the producer until it is committed;
// the m_nFillCount slots from m_nReadIndex on belong to the writer thread. The
// producer claims a slot (ClaimSlot, waiting while all eight are full), converts
// into it and commits it (CommitSlot); the writer writes each slot's picture
// its repeat count times and releases it.
//
// Thread safety: Init, Start, Stop and the destructor run on the dialog's
// thread; ClaimSlot and CommitSlot on one producer thread; the writer thread is
// internal. EncodedBytes may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/api/video/video_frame.h"
#include "platform/core/events.h"
#include "platform/core/thread.h"
#include "qelrecorder/record_config.h"
#include "qelrecorder/recording_results.h"
#include "qelrecorder/redirector.h"

namespace qelrec {

// Result codes in the system's HRESULT form.
using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT kErrorNotEnoughResources = static_cast<HRESULT>(0x8007009Bu);
inline constexpr int kWaitTimeout = 258;
HRESULT HResultFromWin32(uint32_t code);

inline constexpr int kRingSlots = 8;
inline constexpr uint32_t kWriterStopWaitMs = 15000;

// Default video bit rate in kbit/s from the quality row, the codec and the
// region's height (see the table in the .cpp).
int GetVideoBitrateKbps(int quality, const std::string& codec, int height);

// The ffmpeg command line for a region of width x height; false, with an error
// log line, when the codec is neither "libx264" nor "libx265" (exact case), when
// a path holds a double quote, or when the text would exceed 1023 characters.
bool BuildEncoderCommandLine(const std::wstring& ffmpegFolder, int width, int height, int fps, const std::string& codec,
                             int bitrateKbps, const std::wstring& extraArgs, const std::wstring& outputPath,
                             std::wstring& commandLine);

class CVideoStreamWriter {
 public:
  // Encodes as `config` says; the video file, its duration and whether ffmpeg
  // finished it go to `results`, which outlives the writer.
  CVideoStreamWriter(RecordConfig config, RecordingResults& results);
  virtual ~CVideoStreamWriter();
  CVideoStreamWriter(const CVideoStreamWriter&) = delete;
  CVideoStreamWriter& operator=(const CVideoStreamWriter&) = delete;

  // Prepares the ring for even width and height above 8 and starts ffmpeg.
  // 0 when ffmpeg started, 1 when it did not (an error has been logged).
  int Init(int width, int height);

  // Starts the writer thread unless it runs: clears the stop flag, makes the
  // data event (auto-reset, clear) and the space event (manual-reset, set).
  // S_OK, or the failure code (logged) when no thread can be made.
  HRESULT Start();

  // Ends the writer thread and ffmpeg (which finishes the file). 0 when the
  // thread ended, kWaitTimeout when it did not within 15000 ms (ffmpeg is then
  // killed so the thread can end), 1 when no thread was started (the encoder is
  // closed all the same); a second call returns 0. Notes in the results
  // whether ffmpeg finished the file.
  int Stop();

  // The stop has begun: a producer waiting for space gives up (ClaimSlot
  // returns null), so the capture timer can be killed even while ffmpeg reads
  // nothing. Any thread.
  void BeginStop();
  // The writer's time-out ran out while ffmpeg read nothing: ends ffmpeg now
  // (its file is not finished), so the writer thread's write fails and it ends.
  void EndEncoder();

  // Producer side. ClaimSlot waits while the ring is full and returns the frame
  // of the slot at the write index with its repeat count set; null (after the
  // warning "WaitForNextFrame FAILED") when the writer thread does not run, and
  // null without a warning once BeginStop was called and the ring is full.
  capture::VideoFrame* ClaimSlot(int repeat);
  // Commits the claimed slot when the writer thread runs.
  void CommitSlot();
  // Waits until the writer has taken every committed slot (or stopped); false
  // when `timeoutMs` passed first (ffmpeg does not read its input).
  bool WaitDrained(uint32_t timeoutMs = platform::kInfinite);

  bool ThreadRunning() const { return m_dwThreadId.load() != 0; }
  // ffmpeg runs (or ran and was not yet closed).
  bool EncoderRunning() const { return m_pEncoder != nullptr && m_pEncoder->HasProcess(); }
  int64_t EncodedBytes() const { return m_llEncodedBytes.load(); }
  int FillCount() const { return m_nFillCount.load(); }
  const std::wstring& CommandLine() const { return m_strCommandLine; }

  static void OnEncoderProgress(void* writer, int64_t bytes, int milliseconds);

  // Sees every picture (Y, U, V back to back) on the writer thread just before
  // it is written, once per repeat (tests). Set before Start.
  using PictureObserver = std::function<void(const uint8_t* picture, size_t bytes)>;
  void SetPictureObserver(PictureObserver observer) { m_observer = std::move(observer); }

 private:
  void ThreadBody();
  void WritePicture(int slot);
  // Closes ffmpeg so that it finishes the file, notes whether it did, and
  // deletes the encoder.
  void CloseEncoder();

  const RecordConfig m_config;
  RecordingResults& m_results;
  platform::ThreadHandle m_hThread;
  std::atomic<platform::ThreadId> m_dwThreadId{0};
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bStopping{false};
  std::unique_ptr<platform::Event> m_hDataEvent;
  std::unique_ptr<platform::Event> m_hSpaceEvent;
  std::atomic<int64_t> m_llEncodedBytes{0};
  std::shared_ptr<capture::VideoFrame> m_frames[kRingSlots];
  int m_nRepeat[kRingSlots] = {};
  int m_nReadIndex = 0;
  std::atomic<int> m_nWriteIndex{0};
  std::atomic<int> m_nFillCount{0};
  std::unique_ptr<CCmdEncoder> m_pEncoder;
  std::wstring m_strCommandLine;
  std::string m_copyBlock;  // used only when a buffer's planes are not one block
  PictureObserver m_observer;
};

}  // namespace qelrec
