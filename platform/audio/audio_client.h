// Process-loopback audio: activation of a capture of the system's audio output,
// the audio client that is initialised and started, and the capture client the
// packets are read from. Two backings, chosen once per process (see
// platform/core/backing.h, layer "audio"): the sound server's output (the
// monitor of the default PulseAudio sink, 44100 Hz, stereo, 16-bit; the whole
// output, since the server has no per-process-tree exclusion), unless
// QEL_BACKING=sim asks for a synthetic tone in packets whose behaviour tests
// set (sim_audio.h). A packet that the sound server reports as a hole becomes
// silence of its length, and a server lost during a capture leaves silence
// from then on, in packets at the pace of the output, up to the stop.
//
// Thread safety: an AudioClient and its capture client are used by the
// capture's work items one at a time; packets arrive on the backing's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/work_queue.h"
#include "platform/core/events.h"

namespace platform::audio {

struct WaveFormat {
  uint16_t formatTag;  // 1 = PCM
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t cbSize;
};

// The 12-byte activation parameters of a process-loopback capture.
struct ActivationParams {
  uint32_t activationType;  // 1 = process loopback
  uint32_t targetProcessId;
  uint32_t processLoopbackMode;  // 1 = exclude the target's process tree
};
static_assert(sizeof(ActivationParams) == 12);

inline constexpr const char* kProcessLoopbackDevice = "VAD\\Process_Loopback";
inline constexpr uint32_t kStreamFlagsLoopback = 0x00020000;
inline constexpr uint32_t kStreamFlagsEventCallback = 0x00040000;
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = static_cast<HRESULT>(0x88890008u);
inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = static_cast<HRESULT>(0x88890001u);
inline constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = static_cast<HRESULT>(0x88890010u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = static_cast<HRESULT>(0x88890018u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004u);

// Flags of a packet (GetBuffer): the first packet after a break in the
// source's data, and a packet of silence the layer made up.
inline constexpr uint32_t kBufferFlagsDataDiscontinuity = 0x1;
inline constexpr uint32_t kBufferFlagsSilent = 0x2;

class AudioCaptureClient {
 public:
  virtual ~AudioCaptureClient() = default;
  // Frames in the next packet; 0 when none waits.
  virtual HRESULT GetNextPacketSize(uint32_t* frames) = 0;
  // The next packet (valid until ReleaseBuffer) and its kBufferFlags.
  virtual HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags) = 0;
  virtual HRESULT ReleaseBuffer(uint32_t frames) = 0;
};

class AudioClient {
 public:
  virtual ~AudioClient() = default;
  virtual HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t periodicity,
                             const WaveFormat& format) = 0;
  virtual HRESULT GetBufferSize(uint32_t* frames) = 0;
  virtual std::shared_ptr<AudioCaptureClient> GetCaptureClient() = 0;
  // The event set whenever a packet arrives.
  virtual HRESULT SetEventHandle(const std::shared_ptr<platform::Event>& event) = 0;
  virtual HRESULT Start() = 0;
  virtual HRESULT Stop() = 0;
};

// Called once, on another thread, with the activation's result and (on
// success) the client.
using ActivationHandler = std::function<void(HRESULT result, std::shared_ptr<AudioClient> client)>;

// Starts the activation; the handler runs later on another thread. A failure
// returned here means the handler never runs.
HRESULT ActivateAudioInterfaceAsync(const std::string& device, const ActivationParams& params,
                                    ActivationHandler handler);

// Whether the layer serves the sound server (else the simulation). The sound
// server it is, unless QEL_BACKING=sim (or a test) forces the simulation: a
// server that cannot be reached fails the activation (the client's Initialize
// gives AUDCLNT_E_SERVICE_NOT_RUNNING), never turns into the synthetic tone.
bool UsingRealAudio();
// Chooses the backing again (tests that force one after the first use).
void ReselectAudioBacking();

// Why the last attempt to reach the sound server failed: the address tried
// and the reason, for the line that tells the user. Empty before any failure.
std::string LastSoundServerError();

// A sound server renders ahead of time, as far as its streams let it (about
// 2 s when nothing asks for less), and a monitor stream opened at the start of
// a capture receives nothing until the server renders again: the first second
// or two of the sound would be lost. A standby stream opened ahead of the
// capture (when the recorder's dialog opens, and again after each capture)
// makes the server render in short blocks from then on, and the next
// activation takes it over. Prepare returns at once (the stream opens on a
// thread of its own); Release drops a standby that was not taken. Both do
// nothing under the simulated backing.
void PrepareCaptureStandby();
void ReleaseCaptureStandby();

}  // namespace platform::audio
