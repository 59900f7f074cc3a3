// The real backing of the audio layer: the monitor of the default PulseAudio
// sink, read through the threaded main loop of libpulse.
//
// libpulse finds the server the usual way and never spawns one: PULSE_SERVER,
// else the PULSE_SERVER property of the X11 root window or client.conf's
// default-server, else the user's socket $XDG_RUNTIME_DIR/pulse/native and
// then the system-wide socket. PipeWire's PulseAudio service answers there too.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/packet_client.h"

namespace platform::audio {

namespace {

constexpr const char* kClientName = "qelrecorder";
constexpr int kConnectTimeoutMs = 2000;
// Bounds the wait for the monitor stream of a server that answers slowly.
constexpr int kStreamTimeoutMs = 5000;
// 10 ms packets: the server renders in blocks that short while the stream is
// open, so the sound reaches the capture within a packet's time.
constexpr uint32_t kPacketFrames = 441;

std::mutex errorMutex;
std::string lastError;

void SetLastPulseError(const std::string& reason) {
  std::string where;
  if (const char* server = std::getenv("PULSE_SERVER"); server != nullptr && *server != '\0') {
    where = std::string("PULSE_SERVER=") + server;
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    where = std::string("unix:") + runtime + "/pulse/native or the system socket";
  } else {
    where = "the system socket (XDG_RUNTIME_DIR is not set)";
  }
  std::lock_guard<std::mutex> lock(errorMutex);
  lastError = "PulseAudio at " + where + ": " + reason;
}

// Owns a threaded main loop and a connected context.
class PulseConnection {
 public:
  PulseConnection() = default;
  ~PulseConnection() { Close(); }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects to the server the environment names (never spawning one); false
  // when it is not ready within `timeoutMs`, with the reason in error().
  bool Open(int timeoutMs) {
    Close();
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return Fail("no main loop");
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) return Fail("no context");
    pa_context_set_state_callback(context_, &PulseConnection::OnContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return Fail(pa_strerror(pa_context_errno(context_)));
    }
    if (pa_threaded_mainloop_start(loop_) < 0) return Fail("the main loop does not start");
    started_ = true;
    Lock lock(loop_);
    const bool settled = WaitFor(
        [this] {
          const pa_context_state_t state = pa_context_get_state(context_);
          return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeoutMs);
    if (!settled) return Fail("no answer within " + std::to_string(timeoutMs) + " ms");
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) return Fail(pa_strerror(pa_context_errno(context_)));
    return true;
  }

  void Close() {
    if (loop_ != nullptr && started_) pa_threaded_mainloop_stop(loop_);
    if (context_ != nullptr) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
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

  // With the loop locked: waits until `done` holds, at most `timeoutMs`. A
  // timer of the loop wakes the wait at the deadline, so a server that never
  // answers cannot hold it.
  template <typename Done>
  bool WaitFor(Done done, int timeoutMs) {
    struct Deadline {
      pa_threaded_mainloop* loop;
      bool passed;
    } deadline{loop_, false};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
          auto* d = static_cast<Deadline*>(user);
          d->passed = true;
          pa_threaded_mainloop_signal(d->loop, 0);
        },
        &deadline);
    while (!done() && !deadline.passed) pa_threaded_mainloop_wait(loop_);
    if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return done();
  }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  const std::string& error() const { return error_; }

  struct Lock {
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    pa_threaded_mainloop* loop;
  };

 private:
  bool Fail(const std::string& reason) {
    error_ = reason;
    return false;
  }

  static void OnContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseConnection*>(self)->loop_, 0);
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool started_ = false;
  std::string error_;
};

class PulseClient : public PacketClient {
 public:
  ~PulseClient() override {
    StopFiller();
    Disconnect();
  }

  // Opens the monitor stream. Its packets are kept only between Start and
  // Stop: a stream opened ahead (a standby) runs and drops them meanwhile, so
  // that the server already renders in short blocks when the capture starts.
  HRESULT Connect() {
    Disconnect();
    {
      std::lock_guard<std::mutex> lock(fillMutex_);
      lost_ = false;
    }
    if (!connection_.Open(kConnectTimeoutMs)) {
      SetLastPulseError(connection_.error());
      return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    PulseConnection::Lock lock(connection_.loop());
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 2};
    stream_ = pa_stream_new(connection_.context(), "loopback", &spec, nullptr);
    if (stream_ == nullptr) {
      SetLastPulseError(pa_strerror(pa_context_errno(connection_.context())));
      return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    pa_stream_set_state_callback(stream_, &PulseClient::OnStreamState, this);
    pa_stream_set_read_callback(stream_, &PulseClient::OnRead, this);
    pa_buffer_attr attr;
    std::memset(&attr, 0xFF, sizeof attr);  // server defaults, but short fragments
    attr.fragsize = kPacketFrames * kBlockAlign;
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream_, "@DEFAULT_MONITOR@", &attr, flags) < 0 ||
        !connection_.WaitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; }, kStreamTimeoutMs) ||
        pa_stream_get_state(stream_) != PA_STREAM_READY) {
      SetLastPulseError(std::string("no monitor of the default output: ") +
                        pa_strerror(pa_context_errno(connection_.context())));
      return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return S_OK;
  }

  HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t, int64_t, const WaveFormat& format) override {
    HRESULT hr = CheckFormat(shareMode, streamFlags, format);
    if (Failed(hr)) return hr;
    // A standby that is still connected is used as it is.
    if (!StreamReady()) hr = Connect();
    initialized_ = !Failed(hr);
    return hr;
  }

  HRESULT Start() override {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    StopFiller();
    {
      std::lock_guard<std::mutex> lock(fillMutex_);
      fillerStop_ = false;
      startedAt_ = std::chrono::steady_clock::now();
    }
    capturing_ = true;
    filler_ = std::thread([this] { FillAfterLoss(); });
    return S_OK;
  }

  HRESULT Stop() override {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    capturing_ = false;
    StopFiller();
    return S_OK;
  }

 private:
  bool StreamReady() {
    if (stream_ == nullptr || connection_.loop() == nullptr) return false;
    PulseConnection::Lock lock(connection_.loop());
    return pa_stream_get_state(stream_) == PA_STREAM_READY;
  }

  void Disconnect() {
    if (connection_.loop() != nullptr && stream_ != nullptr) {
      {
        PulseConnection::Lock lock(connection_.loop());
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
      }
      pa_threaded_mainloop_stop(connection_.loop());
    }
    if (stream_ != nullptr) {
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
    connection_.Close();
  }

  void StopFiller() {
    {
      std::lock_guard<std::mutex> lock(fillMutex_);
      fillerStop_ = true;
    }
    fillWake_.notify_all();
    if (filler_.joinable()) filler_.join();
  }

  // The server gone (killed, restarted): a hole from here to the stop, which
  // the filler turns into silence.
  void OnLost() {
    {
      std::lock_guard<std::mutex> lock(fillMutex_);
      if (lost_) return;
      lost_ = true;
      lostAt_ = std::chrono::steady_clock::now();
    }
    fillWake_.notify_all();
  }

  // On a thread of its own from Start to Stop: once the server is lost,
  // silence in packets at the pace of the output, from the loss (or the
  // start, when the server went before it) until the stop.
  void FillAfterLoss() {
    std::unique_lock<std::mutex> lock(fillMutex_);
    fillWake_.wait(lock, [this] { return fillerStop_ || lost_; });
    if (fillerStop_) return;
    const auto from = std::max(lostAt_, startedAt_);
    const std::vector<uint8_t> silence(static_cast<size_t>(kPacketFrames) * kBlockAlign, 0);
    uint64_t filled = 0;
    uint32_t flags = kBufferFlagsDataDiscontinuity | kBufferFlagsSilent;
    while (!fillerStop_) {
      const auto elapsed = std::chrono::steady_clock::now() - from;
      const auto due = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) *
                       44100 / 1000000;
      lock.unlock();
      for (; filled + kPacketFrames <= due; filled += kPacketFrames) {
        Push(silence, flags);
        flags = kBufferFlagsSilent;
      }
      lock.lock();
      fillWake_.wait_for(lock, std::chrono::milliseconds(10), [this] { return fillerStop_; });
    }
  }

  static void OnStreamState(pa_stream* stream, void* user) {
    auto* self = static_cast<PulseClient*>(user);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) self->OnLost();
    pa_threaded_mainloop_signal(self->connection_.loop(), 0);
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
  std::atomic<bool> capturing_{false};

  std::mutex fillMutex_;
  std::condition_variable fillWake_;
  bool fillerStop_ = true;
  bool lost_ = false;
  std::chrono::steady_clock::time_point lostAt_;
  std::chrono::steady_clock::time_point startedAt_;
  std::thread filler_;
};

// The standby stream: opened on a thread of its own, taken by the next
// activation. Never destroyed (a thread may still be opening at exit).
struct Standby {
  std::mutex mutex;
  std::thread opening;
  std::shared_ptr<PulseClient> client;
};

Standby& standby() {
  static Standby* instance = new Standby;
  return *instance;
}

std::shared_ptr<PulseClient> TakeStandby() {
  Standby& s = standby();
  std::thread opening;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    opening = std::move(s.opening);
  }
  if (opening.joinable()) opening.join();
  std::lock_guard<std::mutex> lock(s.mutex);
  return std::move(s.client);
}

}  // namespace

std::shared_ptr<AudioClient> MakePulseClient() {
  if (std::shared_ptr<PulseClient> prepared = TakeStandby()) return prepared;
  return std::make_shared<PulseClient>();
}

void PreparePulseStandby() {
  Standby& s = standby();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.opening.joinable() || s.client) return;
  s.opening = std::thread([] {
    auto client = std::make_shared<PulseClient>();
    if (Failed(client->Connect())) return;  // the activation tries again and reports
    Standby& st = standby();
    std::lock_guard<std::mutex> guard(st.mutex);
    st.client = std::move(client);
  });
}

void ReleasePulseStandby() { TakeStandby().reset(); }

std::string LastPulseError() {
  std::lock_guard<std::mutex> lock(errorMutex);
  return lastError;
}

}  // namespace platform::audio
