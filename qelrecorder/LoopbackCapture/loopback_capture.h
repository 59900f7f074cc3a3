// CLoopbackCapture: captures the system's audio output through the platform's
// process-loopback activation and work queues, and hands each packet of PCM
// (44100 Hz, stereo, 16-bit) to a sink. One module-wide instance lives across
// recordings.
//
// Thread safety: StartCapture and StopCapture run on the dialog's thread and
// block it until the activation, respectively the stop, has completed; the
// steps run on the work queues (start, stop, finish on the multithreaded queue;
// samples on the shared "Capture" queue, one at a time, under the critical
// section); the sink is only called from the sample handling.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/audio/audio_client.h"
#include "platform/core/critical_section.h"
#include "platform/core/events.h"

namespace qelrec {

enum class LoopbackState { Uninitialized = 0, Error, Initialized, Starting, Capturing, Stopping, Stopped };

using AudioSampleSink = void (*)(int sampleRate, int channels, int bytesPerSample, const uint8_t* data, int byteCount,
                                 void* user);

inline constexpr int32_t kErrorInvalidStateHr = static_cast<int32_t>(0x8007139Fu);

class CLoopbackCapture {
 public:
  // The module-wide instance.
  static CLoopbackCapture& Instance();

  CLoopbackCapture();
  ~CLoopbackCapture();
  CLoopbackCapture(const CLoopbackCapture&) = delete;
  CLoopbackCapture& operator=(const CLoopbackCapture&) = delete;

  // Activates the capture (excluding `processId`'s process tree where the
  // backing can) and queues its start. Every activation outcome completes the
  // wait, so this never blocks for ever; a failure leaves the state Error.
  int32_t StartCapture(uint32_t processId, AudioSampleSink sink, void* user);
  // Stops a capture that is capturing (or failed) and waits until it has; a
  // capture still starting is waited for first, so the sink is never called
  // after this returns. Other states: kErrorInvalidStateHr at once.
  int32_t StopCapture();

  LoopbackState State() const { return m_DeviceState.load(); }
  // Waits (at most `timeoutMs`) until a start has settled (Capturing or Error).
  bool WaitStartSettled(uint32_t timeoutMs) const {
    return !m_hStartSettled || m_hStartSettled->Wait(timeoutMs) == platform::WaitResult::Signaled;
  }
  uint32_t CapturedBytes() const { return m_cbDataSize.load(); }

 private:
  void ActivateCompleted(int32_t result, std::shared_ptr<platform::audio::AudioClient> client);
  void OnStartCapture();
  void OnStopCapture();
  void OnFinishCapture();
  void OnSampleReady();
  int32_t ArmSampleReady();

  platform::audio::WaveFormat m_CaptureFormat{};
  std::shared_ptr<platform::audio::AudioClient> m_AudioClient;
  std::shared_ptr<platform::audio::AudioCaptureClient> m_AudioCaptureClient;
  bool m_SampleReadyArmed = false;
  std::atomic<uint64_t> m_SampleReadyKey{0};
  std::shared_ptr<platform::Event> m_SampleReadyEvent;
  uint32_t m_BufferFrames = 0;
  std::atomic<uint32_t> m_cbDataSize{0};
  uint32_t m_dwQueueID = 0;
  bool m_queueLocked = false;
  std::atomic<LoopbackState> m_DeviceState{LoopbackState::Uninitialized};
  std::atomic<int32_t> m_activateResult{platform::audio::E_UNEXPECTED};
  std::shared_ptr<platform::Event> m_hActivateCompleted;
  std::shared_ptr<platform::Event> m_hCaptureStopped;
  std::shared_ptr<platform::Event> m_hStartSettled;
  std::atomic<AudioSampleSink> m_sink{nullptr};
  std::atomic<void*> m_sinkUser{nullptr};
  platform::CriticalSection m_CritSec;
};

}  // namespace qelrec
