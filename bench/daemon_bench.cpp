// The daemon's request path over a live loopback WebSocket connection: the
// round trip of one "ping" (client write, server read, dispatch, reply queued
// and written, client read), alone and with several clients at once, and the
// throughput of pipelined pings on one connection.
//
// The daemon runs in-process (real engine, real server, its own folders and
// ffmpeg links in a temporary folder); the clients are plain synchronous Beast
// clients, one per benchmark thread.
//
// Run: <build>/bin/daemon_bench
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "QelDaemon/daemon_app.h"
#include "QelDaemon/daemon_settings.h"

namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// One daemon for the whole run, started on first use.
class BenchDaemon {
 public:
  static BenchDaemon& instance() {
    static BenchDaemon daemon;
    return daemon;
  }
  uint16_t port() const { return app_.port(); }
  ~BenchDaemon() {
    app_.shutdown();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

 private:
  BenchDaemon() {
    char pattern[] = "/tmp/qel-daemon-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    // Private ffmpeg links: ending stray ffmpeg processes of this folder at
    // start-up touches nothing else that runs on the machine.
    const std::string bin = root_ + "/bin";
    fs::create_directories(bin);
    fs::create_symlink(std::string(QEL_TEST_BIN_DIR) + "/ffmpeg", bin + "/ffmpeg");
    fs::create_symlink(std::string(QEL_TEST_BIN_DIR) + "/ffprobe", bin + "/ffprobe");
    qel::DaemonSettings settings;
    settings.logLevel = "notice";
    settings.logFolder = root_;
    settings.tempFolder = root_;
    settings.thumbnailFolder = root_;
    settings.ffmpegFolder = bin;
    settings.instanceId = qel::MakeInstanceId();
    std::string error;
    if (!app_.startEngine(settings)) throw std::runtime_error("the engine did not start");
    if (!app_.startServer(0, error)) throw std::runtime_error("the server did not start: " + error);
  }

  std::string root_;
  qel::DaemonApp app_;
};

class Client {
 public:
  explicit Client(uint16_t port) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
    ws_.text(true);
  }
  ~Client() {
    beast::error_code ec;
    ws_.close(websocket::close_code::normal, ec);
  }
  void send(const std::string& text) { ws_.write(net::buffer(text)); }
  std::string receive() {
    buffer_.consume(buffer_.size());
    ws_.read(buffer_);
    return beast::buffers_to_string(buffer_.data());
  }

 private:
  net::io_context ioc_;
  websocket::stream<tcp::socket> ws_{ioc_};
  beast::flat_buffer buffer_;
};

const std::string kPing = "{\"sid\":1,\"op\":\"ping\"}";
const std::string kPong = "{\"sid\":1,\"pong\":\"ok\"}";

// One request, one reply: the time per iteration is the round-trip latency.
void BM_PingRoundTrip(benchmark::State& state) {
  Client client(BenchDaemon::instance().port());
  for (auto _ : state) {
    client.send(kPing);
    if (client.receive() != kPong) {
      state.SkipWithError("wrong reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PingRoundTrip)->UseRealTime()->Threads(1)->Threads(8)->Threads(32);

// `depth` requests in flight on one connection: replies per second.
void BM_PingPipelined(benchmark::State& state) {
  const int depth = static_cast<int>(state.range(0));
  Client client(BenchDaemon::instance().port());
  for (auto _ : state) {
    for (int i = 0; i < depth; ++i) client.send(kPing);
    for (int i = 0; i < depth; ++i) {
      if (client.receive() != kPong) {
        state.SkipWithError("wrong reply");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * depth);
}
BENCHMARK(BM_PingPipelined)->UseRealTime()->Arg(16)->Arg(128);

// The same request mix as the load test: a task-state look-up goes through
// the task store, a log-level query through the engine.
void BM_MixedRoundTrip(benchmark::State& state) {
  Client client(BenchDaemon::instance().port());
  const std::string requests[] = {kPing, "{\"sid\":2,\"op\":\"gettaskstate\",\"taskId\":42}",
                                  "{\"sid\":3,\"op\":\"getloglevel\"}"};
  size_t n = 0;
  for (auto _ : state) {
    client.send(requests[n++ % 3]);
    client.receive();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MixedRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
