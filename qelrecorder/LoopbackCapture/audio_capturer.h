// CAudioCapturer: the sink of the loopback capture for one recording. On the
// first block it opens the FLAC output file (extension "flac") and notes the
// audio offset (first block minus video start, in milliseconds, on the platform
// clock); every block is encoded by its CFlacEncoder. The file's path and the
// offset go to the recording's results.
//
// Thread safety: OnAudioData runs on the capture queue only; the recorder reads
// the encoder after the capture has stopped.
#pragma once

#include <FLAC++/encoder.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qelrecorder/record_config.h"
#include "qelrecorder/recording_results.h"

namespace qelrec {

class CFlacEncoder : public FLAC::Encoder::File {};

class CAudioCapturer {
 public:
  // Names its file as `config` says; `results` outlives the capturer.
  CAudioCapturer(RecordConfig config, RecordingResults& results);
  virtual ~CAudioCapturer();
  CAudioCapturer(const CAudioCapturer&) = delete;
  CAudioCapturer& operator=(const CAudioCapturer&) = delete;

  // The loopback capture's sink; `user` is the capturer.
  static void OnAudioData(int sampleRate, int channels, int bytesPerSample, const uint8_t* data, int byteCount,
                          void* user);

  CFlacEncoder* Encoder() { return m_pFlacEncoder.get(); }
  uint64_t Blocks() const;
  // Waits (at most `timeoutMs`) until `blocks` blocks have arrived (tests).
  bool WaitForBlocks(uint64_t blocks, int timeoutMs) const;

  uint32_t m_dwTargetPid = 0;
  int64_t m_llVideoStartNs = 0;
  int64_t m_llFirstBlockNs = 0;

 private:
  void InitEncoder(int sampleRate, int channels);

  const RecordConfig m_config;
  RecordingResults& m_results;
  std::unique_ptr<CFlacEncoder> m_pFlacEncoder;
  uint64_t m_nBlocks = 0;
  mutable std::mutex m_blocksMutex;
  mutable std::condition_variable m_blocksChanged;
};

}  // namespace qelrec
