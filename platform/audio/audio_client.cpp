#include "platform/audio/audio_client.h"

#include <mutex>
#include <optional>
#include <thread>

#include "platform/audio/packet_client.h"
#include "platform/audio/sim_audio.h"
#include "platform/core/backing.h"

namespace platform::audio {

namespace {

std::mutex backingMutex;
std::optional<bool> useReal;

// Real unless forced: whether a server answers is the activation's business,
// and its failure is the user's to see.
bool realChosen() {
  std::lock_guard<std::mutex> lock(backingMutex);
  if (!useReal) useReal = chooseBacking("audio", [] { return true; }) == Backing::Real;
  return *useReal;
}

}  // namespace

bool UsingRealAudio() { return realChosen(); }

void ReselectAudioBacking() {
  std::lock_guard<std::mutex> lock(backingMutex);
  useReal.reset();
}

std::string LastSoundServerError() { return LastPulseError(); }

void PrepareCaptureStandby() {
  if (realChosen()) PreparePulseStandby();
}

void ReleaseCaptureStandby() { ReleasePulseStandby(); }

HRESULT ActivateAudioInterfaceAsync(const std::string& device, const ActivationParams& params,
                                    ActivationHandler handler) {
  if (!handler || device != kProcessLoopbackDevice || params.activationType != 1) return E_INVALIDARG;
  const bool real = realChosen();
  const HRESULT result = real ? S_OK : GetSimAudioKnobs().activationResult;
  // The result arrives on a thread of the audio system, never on the caller's.
  try {
    std::thread([handler = std::move(handler), result, real] {
      std::shared_ptr<AudioClient> client;
      if (!Failed(result)) client = real ? MakePulseClient() : MakeSimClient();
      handler(result, client);
    }).detach();
  } catch (const std::system_error&) {
    return E_FAIL;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------

HRESULT PacketClient::CheckFormat(int shareMode, uint32_t streamFlags, const WaveFormat& format) {
  if (shareMode != 0 || (streamFlags & kStreamFlagsLoopback) == 0) return E_INVALIDARG;
  if (format.formatTag != 1 || format.channels != 2 || format.samplesPerSec != 44100 || format.bitsPerSample != 16 ||
      format.blockAlign != kBlockAlign) {
    return AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  return S_OK;
}

HRESULT PacketClient::GetBufferSize(uint32_t* frames) {
  if (frames == nullptr) return E_INVALIDARG;
  *frames = bufferFrames_;
  return S_OK;
}

std::shared_ptr<AudioCaptureClient> PacketClient::GetCaptureClient() { return shared_from_this(); }

HRESULT PacketClient::SetEventHandle(const std::shared_ptr<platform::Event>& event) {
  if (!event) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  event_ = event;
  return S_OK;
}

void PacketClient::Push(std::vector<uint8_t> packet, uint32_t flags) {
  if (packet.size() < kBlockAlign) return;
  packet.resize(packet.size() / kBlockAlign * kBlockAlign);
  std::shared_ptr<platform::Event> event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(Packet{std::move(packet), flags});
    event = event_;
  }
  if (event) event->Set();
}

uint64_t PacketClient::PacketsTaken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return taken_;
}

HRESULT PacketClient::GetNextPacketSize(uint32_t* frames) {
  if (frames == nullptr) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  *frames = packets_.empty() ? 0 : static_cast<uint32_t>(packets_.front().bytes.size() / kBlockAlign);
  return S_OK;
}

HRESULT PacketClient::GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags) {
  if (data == nullptr || frames == nullptr) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  if (bufferFailureAfter_ >= 0 && taken_ >= static_cast<uint64_t>(bufferFailureAfter_)) return AUDCLNT_E_BUFFER_ERROR;
  if (holding_ || packets_.empty()) {
    *data = nullptr;
    *frames = 0;
    return holding_ ? E_UNEXPECTED : S_OK;
  }
  current_ = std::move(packets_.front().bytes);
  const uint32_t packetFlags = packets_.front().flags;
  packets_.pop_front();
  holding_ = true;
  ++taken_;
  *data = current_.data();
  *frames = static_cast<uint32_t>(current_.size() / kBlockAlign);
  if (flags != nullptr) *flags = packetFlags;
  return S_OK;
}

HRESULT PacketClient::ReleaseBuffer(uint32_t /*frames*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!holding_) return E_UNEXPECTED;
  holding_ = false;
  return S_OK;
}

}  // namespace platform::audio
