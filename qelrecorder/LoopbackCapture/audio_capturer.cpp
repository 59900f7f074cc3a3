#include "qelrecorder/LoopbackCapture/audio_capturer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/text_convert.h"
#include "platform/core/clock.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec {

namespace {
constexpr const char* kInitTag = "CAudioCapturer::InitEncoder";
}

CAudioCapturer::CAudioCapturer(RecordConfig config, RecordingResults& results)
    : m_config(std::move(config)), m_results(results), m_pFlacEncoder(std::make_unique<CFlacEncoder>()) {}

CAudioCapturer::~CAudioCapturer() = default;

uint64_t CAudioCapturer::Blocks() const {
  std::lock_guard<std::mutex> lock(m_blocksMutex);
  return m_nBlocks;
}

bool CAudioCapturer::WaitForBlocks(uint64_t blocks, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_blocksMutex);
  return m_blocksChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_nBlocks >= blocks; });
}

void CAudioCapturer::InitEncoder(int sampleRate, int channels) {
  CFlacEncoder& encoder = *m_pFlacEncoder;
  bool ok = encoder.set_verify(false);
  ok = encoder.set_compression_level(5) && ok;
  ok = encoder.set_channels(static_cast<uint32_t>(channels)) && ok;
  ok = encoder.set_bits_per_sample(16) && ok;
  ok = encoder.set_sample_rate(static_cast<uint32_t>(sampleRate)) && ok;
  if (!ok) {
    LogErrorA(kInitTag, "set encoder params.");
    return;
  }
  std::wstring path;
  if (!MakeOutputFileName(m_config, path, L"flac")) return;  // logged there
  FILE* file = std::fopen(qel::wideToUtf8(path).c_str(), "w+be");
  if (file == nullptr) {
    LogErrorA(kInitTag, "creating file failed: %d", errno);
    return;
  }
  // The encoder owns the file from here (also when init fails, since it keeps
  // it for its clean-up) and closes it in finish.
  const FLAC__StreamEncoderInitStatus status = encoder.init(file);
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    LogErrorA(kInitTag, "initializing encoder failed: %s", FLAC__StreamEncoderInitStatusString[status]);
    return;
  }
  m_results.SetAudioPath(path);
}

void CAudioCapturer::OnAudioData(int sampleRate, int channels, int bytesPerSample, const uint8_t* data, int byteCount,
                                 void* user) {
  if (sampleRate <= 0 || channels <= 0 || bytesPerSample <= 0 || user == nullptr) return;
  auto* self = static_cast<CAudioCapturer*>(user);
  if (self->Blocks() == 0) {
    self->InitEncoder(sampleRate, channels);
    self->m_llFirstBlockNs = platform::monotonicNanos();
    self->m_results.audioOffsetMs = (self->m_llFirstBlockNs - self->m_llVideoStartNs) / 1000000;
  }
  const int frames = byteCount / (channels * bytesPerSample);
  if (frames > 0 && data != nullptr && bytesPerSample == 2) {
    std::vector<FLAC__int32> samples(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    }
    // Refused by the encoder when no file was opened; the offset is kept.
    self->m_pFlacEncoder->process_interleaved(samples.data(), static_cast<uint32_t>(frames));
  }
  {
    std::lock_guard<std::mutex> lock(self->m_blocksMutex);
    ++self->m_nBlocks;
  }
  self->m_blocksChanged.notify_all();
}

}  // namespace qelrec
