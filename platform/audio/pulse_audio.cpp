// The real backing of the audio layer: the monitor of the default PulseAudio
// sink, read through the threaded main loop of libpulse.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/audio/packet_client.h"

namespace platform::audio {

namespace {

constexpr const char* kClientName = "qelrecorder";

// Owns a threaded main loop and a connected context.
class PulseConnection {
 public:
  PulseConnection() = default;
  ~PulseConnection() { Close(); }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects to the server the environment names (never spawning one); false
  // when it is not ready within `timeoutMs`.
  bool Open(int timeoutMs) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(context_, &PulseConnection::OnContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (pa_threaded_mainloop_start(loop_) < 0) return false;
    started_ = true;
    Lock lock(loop_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) return true;
      if (!PA_CONTEXT_IS_GOOD(state) || std::chrono::steady_clock::now() >= deadline) return false;
      // Woken by the state callback; the deadline is checked at each change.
      pa_threaded_mainloop_wait(loop_);
    }
  }

  void Close() {
    if (loop_ != nullptr && started_) pa_threaded_mainloop_stop(loop_);
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    if (loop_ != nullptr) {
      pa_threaded_mainloop_free(loop_);
      loop_ = nullptr;
    }
    started_ = false;
  }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  struct Lock {
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    pa_threaded_mainloop* loop;
  };

 private:
  static void OnContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseConnection*>(self)->loop_, 0);
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool started_ = false;
};

class PulseClient : public PacketClient {
 public:
  ~PulseClient() override {
    if (connection_.loop() != nullptr && stream_ != nullptr) {
      {
        PulseConnection::Lock lock(connection_.loop());
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
      }
      pa_threaded_mainloop_stop(connection_.loop());
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
  }

  HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t, int64_t, const WaveFormat& format) override {
    HRESULT hr = CheckFormat(shareMode, streamFlags, format);
    if (Failed(hr)) return hr;
    if (!connection_.Open(2000)) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    PulseConnection::Lock lock(connection_.loop());
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 2};
    stream_ = pa_stream_new(connection_.context(), "loopback", &spec, nullptr);
    if (stream_ == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    pa_stream_set_state_callback(stream_, &PulseClient::OnStreamState, this);
    pa_stream_set_read_callback(stream_, &PulseClient::OnRead, this);
    pa_buffer_attr attr;
    std::memset(&attr, 0xFF, sizeof attr);  // server defaults, but 10 ms fragments
    attr.fragsize = 441 * kBlockAlign;
    // The stream runs from here on and packets are kept only once started:
    // uncorking a monitor stream later costs about a second before data flows.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream_, "@DEFAULT_MONITOR@", &attr, flags) < 0) {
      return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    while (true) {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return AUDCLNT_E_SERVICE_NOT_RUNNING;
      pa_threaded_mainloop_wait(connection_.loop());
    }
    initialized_ = true;
    return S_OK;
  }

  HRESULT Start() override { return SetCapturing(true); }
  HRESULT Stop() override { return SetCapturing(false); }

 private:
  // A server that has gone leaves nothing to start or stop: the capture simply
  // receives no more packets.
  HRESULT SetCapturing(bool capturing) {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    PulseConnection::Lock lock(connection_.loop());
    capturing_ = capturing;
    return S_OK;
  }

  static void OnStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseClient*>(self)->connection_.loop(), 0);
  }

  // On the main loop's thread.
  static void OnRead(pa_stream* stream, size_t, void* user) {
    auto* self = static_cast<PulseClient*>(user);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (self->capturing_) {
        // A hole (no data, only a length) is silence of that length.
        std::vector<uint8_t> packet(bytes, 0);
        if (data != nullptr) std::memcpy(packet.data(), data, bytes);
        self->Push(std::move(packet));
      }
      pa_stream_drop(stream);
    }
  }

  PulseConnection connection_;
  pa_stream* stream_ = nullptr;
  bool initialized_ = false;
  bool capturing_ = false;  // read and written on the main loop's thread or under its lock
};

}  // namespace

std::shared_ptr<AudioClient> MakePulseClient() { return std::make_shared<PulseClient>(); }

bool PulseServerReachable() {
  PulseConnection probe;
  return probe.Open(1500);
}

}  // namespace platform::audio
