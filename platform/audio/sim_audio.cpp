#include "platform/audio/sim_audio.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/audio/packet_client.h"
#include "platform/core/clock.h"

namespace platform::audio {

namespace {

std::mutex knobsMutex;
SimAudioKnobs knobs;
std::atomic<uint64_t> produced{0};

// A tone in packets, each due at start + delay + k x packet length on the
// platform clock. With the fake clock on, packets come when a test moves it.
class SimClient : public PacketClient {
 public:
  explicit SimClient(const SimAudioKnobs& k) : knobs_(k) {
    if (knobs_.packetFrames == 0) knobs_.packetFrames = 441;
    SetBufferFailureAfter(knobs_.bufferFailureAfterPackets);
  }
  ~SimClient() override { StopGenerator(); }

  HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t, int64_t, const WaveFormat& format) override {
    const HRESULT hr = CheckFormat(shareMode, streamFlags, format);
    if (Failed(hr)) return hr;
    if (Failed(knobs_.initializeResult)) return knobs_.initializeResult;
    initialized_ = true;
    return S_OK;
  }

  HRESULT Start() override {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    if (Failed(knobs_.startResult)) return knobs_.startResult;
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return S_OK;
    running_ = true;
    startNs_ = platform::monotonicNanos();
    // The listener may still run after removal: it holds the wake-up state,
    // never the client.
    listener_ = platform::fakeclock::addListener([sync = sync_](int64_t) {
      std::lock_guard<std::mutex> guard(sync->mutex);
      sync->wake.notify_all();
    });
    generator_ = std::thread([this] { Generate(); });
    return S_OK;
  }

  HRESULT Stop() override {
    StopGenerator();
    return S_OK;
  }

 private:
  void StopGenerator() {
    std::thread generator;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_) return;
      running_ = false;
      wake_.notify_all();
      generator = std::move(generator_);
    }
    platform::fakeclock::removeListener(listener_);
    if (generator.joinable()) generator.join();
  }

  void Generate() {
    const int64_t packetNs = static_cast<int64_t>(knobs_.packetFrames) * 1000000000 / 44100;
    const int64_t firstNs = static_cast<int64_t>(knobs_.firstPacketDelayMs) * 1000000;
    uint64_t next = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
      const int64_t now = platform::monotonicNanos();
      const int64_t due = startNs_ + firstNs + static_cast<int64_t>(next) * packetNs;
      if (!knobs_.noPackets && now >= due) {
        lock.unlock();
        Push(Tone(next));
        ++produced;
        ++next;
        lock.lock();
        continue;
      }
      if (knobs_.noPackets || platform::fakeclock::enabled()) {
        wake_.wait(lock);  // a stop, or the fake clock moved
      } else {
        wake_.wait_for(lock, std::chrono::nanoseconds(due - now));
      }
    }
  }

  std::vector<uint8_t> Tone(uint64_t index) const {
    const uint32_t frames = knobs_.packetFrames;
    std::vector<uint8_t> packet(static_cast<size_t>(frames) * kBlockAlign);
    const double step = 2.0 * M_PI * knobs_.toneHz / 44100.0;
    for (uint32_t f = 0; f < frames; ++f) {
      const uint64_t n = index * frames + f;
      const auto sample = static_cast<int16_t>(std::lround(8000.0 * std::sin(step * static_cast<double>(n))));
      for (int c = 0; c < 2; ++c) {
        packet[f * kBlockAlign + c * 2] = static_cast<uint8_t>(sample & 0xFF);
        packet[f * kBlockAlign + c * 2 + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
      }
    }
    return packet;
  }

  SimAudioKnobs knobs_;
  bool initialized_ = false;
  struct Sync {
    std::mutex mutex;
    std::condition_variable wake;
  };
  std::shared_ptr<Sync> sync_ = std::make_shared<Sync>();
  std::mutex& mutex_ = sync_->mutex;
  std::condition_variable& wake_ = sync_->wake;
  bool running_ = false;
  int64_t startNs_ = 0;
  int listener_ = -1;
  std::thread generator_;
};

}  // namespace

void SetSimAudioKnobs(const SimAudioKnobs& k) {
  std::lock_guard<std::mutex> lock(knobsMutex);
  knobs = k;
}

SimAudioKnobs GetSimAudioKnobs() {
  std::lock_guard<std::mutex> lock(knobsMutex);
  return knobs;
}

void ResetSimAudio() {
  SetSimAudioKnobs(SimAudioKnobs{});
  produced = 0;
}

uint64_t SimPacketsProduced() { return produced.load(); }

std::shared_ptr<AudioClient> MakeSimClient() { return std::make_shared<SimClient>(GetSimAudioKnobs()); }

}  // namespace platform::audio
