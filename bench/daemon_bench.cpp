// The daemon's request path against a bare WebSocket echo server of the same
// shape (echo_server.h), in one run: round-trip latency (p50, p99) and
// throughput of "ping" and of "gettaskstate", with 1 and with 32 clients, each
// client a connection that sends one request and waits for its reply; and
// the cost of a whole connection ("connect+ping": connect, upgrade, one
// "ping", close), one client opening one connection after another.
//
// Both servers run in-process with their default thread counts. The daemon
// is the real one (engine, server, its own folders and ffmpeg links in a
// temporary folder). Before measuring, the store is filled to 1000 tasks
// (--tasks), see FillTaskStore: each of the 32 client connections starts one
// task through "starttask" over the wire, whose one command fails at once
// (its input does not exist), so the engine runs it and leaves its error
// report as the task's status text. Each client then asks "gettaskstate" for
// its task, so every reply is the engine's status text with "sid" and
// "taskId" appended, looked up among all stored tasks. The echo server gets
// the same request texts and sends them back.
//
// Rows run interleaved (echo, daemon, daemon, echo, ...) for --rounds rounds
// of --seconds each after a short warm-up; latencies are pooled over the
// rounds, throughput is the median of the rounds.
//
// Every daemon figure is reported beside its ratio to the echo server's of the
// same row and run, and the goals are ratios too: absolute times say more
// about how busy the machine is than about the daemon, while both servers
// meet the same load, interleaved.
//
// Run: <build>/bin/daemon_bench [--seconds=1] [--rounds=3] [--tasks=1000]
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>

#include "QelDaemon/daemon_app.h"
#include "QelDaemon/daemon_settings.h"
#include "QelDaemon/task_store.h"
#include "bench/echo_server.h"

namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kMaxClients = 32;

// Goals for "gettaskstate" with 32 clients, against the echo server of the
// same run: the daemon's p99 latency at most twice the echo's, its throughput
// at least half the echo's.
constexpr double kMaxP99Ratio = 2.0;
constexpr double kMinRateRatio = 0.5;

struct Options {
  double seconds = 1.0;
  int rounds = 3;
  int tasks = 1000;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      const std::string prefix = std::string("--") + name + "=";
      return arg.rfind(prefix, 0) == 0 ? argv[i] + prefix.size() : nullptr;
    };
    if (const char* v = value("seconds")) {
      options.seconds = std::atof(v);
    } else if (const char* r = value("rounds")) {
      options.rounds = std::atoi(r);
    } else if (const char* t = value("tasks")) {
      options.tasks = std::atoi(t);
    } else {
      throw std::runtime_error("unknown argument " + arg + " (--seconds=S --rounds=N --tasks=N)");
    }
  }
  if (options.seconds <= 0 || options.rounds < 1 || options.tasks < kMaxClients) {
    throw std::runtime_error("--seconds must be positive, --rounds at least 1, --tasks at least 32");
  }
  return options;
}

// A synchronous WebSocket client on its own connection.
class Client {
 public:
  explicit Client(uint16_t port) {
    tcp::socket& socket = ws_.next_layer();
    socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
    socket.set_option(tcp::no_delay(true));
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
    ws_.text(true);
  }
  ~Client() {
    beast::error_code ec;
    ws_.close(websocket::close_code::normal, ec);
  }
  void send(const std::string& text) { ws_.write(net::buffer(text)); }
  // One "ping" round trip: keeps an idle connection answering the server's
  // keep-alive pings (they are answered while reading).
  void touch() {
    send(R"({"sid":3,"op":"ping"})");
    receive();
  }
  const std::string& receive() {
    buffer_.consume(buffer_.size());
    ws_.read(buffer_);
    text_.assign(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    return text_;
  }
  // Reads time out after `seconds` (set-up only: a read that times out ends the run).
  void limitReads(int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

 private:
  net::io_context ioc_;
  websocket::stream<tcp::socket> ws_{ioc_};
  beast::flat_buffer buffer_;
  std::string text_;
};

// The in-process daemon.
class BenchDaemon {
 public:
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
  ~BenchDaemon() {
    app_.shutdown();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  uint16_t port() const { return app_.port(); }
  const std::string& root() const { return root_; }
  qel::TaskStore& tasks() { return app_.state().tasks; }

 private:
  std::string root_;
  qel::DaemonApp app_;
};

std::string Quote(const std::string& text) { return "\"" + text + "\""; }  // paths here need no escapes

uint64_t FailingTaskId(int client) { return 7000000 + static_cast<uint64_t>(client); }

// A task whose one command fails at once: its input does not exist. The
// engine runs it and leaves its error report as the task's status text.
std::string FailingTask(const std::string& root, uint64_t taskId) {
  const std::string missing = fmt::format("{}/missing-{}.mp4", root, taskId);
  const std::string out = fmt::format("{}/out-{}.mp4", root, taskId);
  return fmt::format(
      R"({{"sid":1,"op":"starttask","taskId":{},"operations":[{{"input":[{{"type":1,"value":{}}}],"transform":"-c copy","output":[{{"type":1,"value":{}}}]}}]}})",
      taskId, Quote(missing), Quote(out));
}

// The stored tasks. The tasks the clients ask about go the whole real way:
// each client starts one through "starttask" over its connection, the engine
// runs it (its command fails at once) and reports its status, and the client
// waits for its completion notice. The engine takes a few hundred
// milliseconds per task, so the other stored tasks are put into the store
// in-process, through the calls the "starttask" handler and the engine's
// callbacks make (a record, then a status text taken from a real report), as
// tasks of connections that have closed. They go in before the clients'
// tasks, which thus come last in start order.
std::atomic<bool> filled{false};

void FillTaskStore(BenchDaemon& daemon, std::vector<std::unique_ptr<Client>>& clients, int tasks) {
  const int count = static_cast<int>(clients.size());
  qel::TaskStore& store = daemon.tasks();
  std::vector<std::string> failures(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int c = 0; c < count; ++c) {
    threads.emplace_back([&, c] {
      try {
        Client& client = *clients[static_cast<size_t>(c)];
        client.limitReads(300);
        if (c == 0) {
          // The first client's task runs before the others are started: its
          // report is the status text of the in-process records.
          client.send(FailingTask(daemon.root(), FailingTaskId(c)));
          while (client.receive().rfind(R"({"sid":1,"taskId":)", 0) != 0) {
          }
          const std::optional<qel::TaskRecord> record = store.find(FailingTaskId(c));
          if (!record || record->lastProgress.empty()) throw std::runtime_error("the failed task has no status");
          for (int n = 0; n < tasks - count; ++n) {
            const uint64_t id = 8000000 + static_cast<uint64_t>(n);
            store.append(id, 1, nullptr);
            store.setProgress(id, record->lastProgress.c_str());
          }
          filled.store(true);
        } else {
          while (!filled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          client.send(FailingTask(daemon.root(), FailingTaskId(c)));
          // "starttask" answers only when it is refused; the completion notice comes later.
          const std::string reply = client.receive();
          if (reply.rfind(R"({"sid":1,"taskId":)", 0) != 0) throw std::runtime_error("unexpected message: " + reply);
        }
        client.limitReads(0);
        // A connection that reads nothing for 20 s misses the server's
        // keep-alive ping and is dropped: stay in touch until all are done.
        done.fetch_add(1);
        while (done.load() < count) {
          std::this_thread::sleep_for(std::chrono::seconds(1));
          client.touch();
        }
      } catch (const std::exception& e) {
        failures[static_cast<size_t>(c)] = e.what();
        filled.store(true);
        done.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) {
    if (!failure.empty()) throw std::runtime_error("filling the task store: " + failure);
  }
  if (store.size() != static_cast<size_t>(tasks)) {
    throw std::runtime_error(fmt::format("{} tasks stored, {} expected", store.size(), tasks));
  }
}

struct Row {
  std::string request;  // "ping" or "gettaskstate"
  int clients = 1;
  // Each client opens a new connection for every request and closes it after
  // the reply: what setting up a connection costs.
  bool connectEach = false;
};

struct Sample {
  std::vector<int64_t> latencies;   // ns, pooled over the rounds
  std::vector<double> throughputs;  // replies per second, one per round
};

// One measured round: every client thread runs `once` again and again for
// `seconds` after a warm-up, timing each run; `once` returns false with the
// wrong reply in its argument.
void RunRound(int count, const std::function<bool(int, std::string&)>& once, double seconds, Sample& sample) {
  std::vector<std::vector<int64_t>> latencies(static_cast<size_t>(count));
  std::vector<uint64_t> done(static_cast<size_t>(count), 0);
  std::atomic<bool> failed{false};
  std::string failure;
  std::barrier sync(count);
  const auto warmUp = std::chrono::milliseconds(200);
  const auto measured = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < count; ++c) {
    threads.emplace_back([&, c] {
      std::vector<int64_t>& mine = latencies[static_cast<size_t>(c)];
      mine.reserve(200000);
      std::string wrong;
      sync.arrive_and_wait();
      const Clock::time_point begin = Clock::now();
      const Clock::time_point measureFrom = begin + warmUp;
      const Clock::time_point end = measureFrom + measured;
      for (Clock::time_point now = begin; now < end;) {
        const bool right = once(c, wrong);
        const Clock::time_point after = Clock::now();
        if (!right) {
          if (!failed.exchange(true)) failure = wrong;
          break;
        }
        if (now >= measureFrom) mine.push_back((after - now).count());
        now = after;
      }
      done[static_cast<size_t>(c)] = mine.size();
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (failed) throw std::runtime_error("wrong reply: " + failure);
  uint64_t total = 0;
  for (int c = 0; c < count; ++c) {
    total += done[static_cast<size_t>(c)];
    sample.latencies.insert(sample.latencies.end(), latencies[static_cast<size_t>(c)].begin(),
                            latencies[static_cast<size_t>(c)].end());
  }
  sample.throughputs.push_back(static_cast<double>(total) / seconds);
}

// One request on a client's open connection.
std::function<bool(int, std::string&)> RoundTrip(std::vector<std::unique_ptr<Client>>& clients,
                                                 const std::vector<std::string>& requests,
                                                 std::function<bool(int, const std::string&)> check) {
  return [&clients, &requests, check = std::move(check)](int c, std::string& wrong) {
    Client& client = *clients[static_cast<size_t>(c)];
    client.send(requests[static_cast<size_t>(c)]);
    const std::string& reply = client.receive();
    if (check(c, reply)) return true;
    wrong = reply;
    return false;
  };
}

// A whole connection: connect, upgrade, one request, close.
std::function<bool(int, std::string&)> Connection(uint16_t port, const std::vector<std::string>& requests,
                                                  std::function<bool(int, const std::string&)> check) {
  return [port, &requests, check = std::move(check)](int c, std::string& wrong) {
    Client client(port);
    client.send(requests[static_cast<size_t>(c)]);
    const std::string& reply = client.receive();
    if (check(c, reply)) return true;
    wrong = reply;
    return false;
  };
}

double Percentile(std::vector<int64_t>& values, double p) {
  if (values.empty()) return 0;
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return static_cast<double>(values[index]) / 1000.0;  // microseconds
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string RequestText(const std::string& request, int client) {
  if (request == "ping") return fmt::format(R"({{"sid":{},"op":"ping"}})", client + 10);
  return fmt::format(R"({{"sid":{},"op":"gettaskstate","taskId":{}}})", client + 10, FailingTaskId(client));
}

bool DaemonReplyIsRight(const std::string& request, int client, const std::string& reply) {
  if (request == "ping") return reply == fmt::format(R"({{"sid":{},"pong":"ok"}})", client + 10);
  // The engine's error report (not the daemon's template, which starts with
  // "sid") with the two members at its end.
  const std::string tail = fmt::format(R"(,"sid":{},"taskId":{}}})", client + 10, FailingTaskId(client));
  return reply.rfind(R"({"error":true,)", 0) == 0 && reply.size() > tail.size() &&
         reply.compare(reply.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    BenchDaemon daemon;
    qel::bench::EchoServer echo;
    std::string error;
    if (!echo.start(0, error)) throw std::runtime_error("echo server: " + error);

    std::vector<std::unique_ptr<Client>> daemonClients;
    for (int c = 0; c < kMaxClients; ++c) daemonClients.push_back(std::make_unique<Client>(daemon.port()));
    const Clock::time_point fillStart = Clock::now();
    FillTaskStore(daemon, daemonClients, options.tasks);
    std::printf("%d tasks stored, %d of them started and run through the daemon, in %.1f s\n", options.tasks,
                kMaxClients, std::chrono::duration<double>(Clock::now() - fillStart).count());
    std::vector<std::unique_ptr<Client>> echoClients;
    for (int c = 0; c < kMaxClients; ++c) echoClients.push_back(std::make_unique<Client>(echo.port()));
    {
      Client& first = *daemonClients[0];
      first.send(RequestText("gettaskstate", 0));
      const std::string reply = first.receive();
      std::printf("gettaskstate reply (%zu bytes): %s\n", reply.size(), reply.c_str());
    }

    const unsigned cores = std::thread::hardware_concurrency();
    std::printf(
        "%d stored tasks; server threads: %u each (one per core, at least two); %d rounds x %.1f s per row "
        "and server, interleaved\n\n",
        options.tasks, std::max(2u, cores), options.rounds, options.seconds);
    std::printf("%-13s %7s  %-6s %9s %9s %10s   %s\n", "request", "clients", "server", "p50 us", "p99 us", "req/s",
                "daemon / echo: p50, p99, req/s");

    const Row rows[] = {{"ping", 1}, {"ping", 32}, {"gettaskstate", 1}, {"gettaskstate", 32}, {"ping", 1, true}};
    bool goalsMet = true;
    for (const Row& row : rows) {
      Sample echoSample;
      Sample daemonSample;
      std::vector<std::string> requests;
      for (int c = 0; c < row.clients; ++c) requests.push_back(RequestText(row.request, c));
      auto echoCheck = [&requests](int c, const std::string& r) { return r == requests[static_cast<size_t>(c)]; };
      auto daemonCheck = [&row](int c, const std::string& r) { return DaemonReplyIsRight(row.request, c, r); };
      const auto echoOnce =
          row.connectEach ? Connection(echo.port(), requests, echoCheck) : RoundTrip(echoClients, requests, echoCheck);
      const auto daemonOnce = row.connectEach ? Connection(daemon.port(), requests, daemonCheck)
                                              : RoundTrip(daemonClients, requests, daemonCheck);
      for (int round = 0; round < options.rounds; ++round) {
        for (auto& client : daemonClients) client->touch();
        for (auto& client : echoClients) client->touch();
        auto runEcho = [&] { RunRound(row.clients, echoOnce, options.seconds, echoSample); };
        auto runDaemon = [&] { RunRound(row.clients, daemonOnce, options.seconds, daemonSample); };
        if (round % 2 == 0) {
          runEcho();
          runDaemon();
        } else {
          runDaemon();
          runEcho();
        }
      }
      const double echoRate = Median(echoSample.throughputs);
      const double daemonRate = Median(daemonSample.throughputs);
      const double echoP50 = Percentile(echoSample.latencies, 0.5);
      const double echoP99 = Percentile(echoSample.latencies, 0.99);
      const double daemonP50 = Percentile(daemonSample.latencies, 0.5);
      const double daemonP99 = Percentile(daemonSample.latencies, 0.99);
      const std::string name = row.connectEach ? "connect+" + row.request : row.request;
      std::printf("%-13s %7d  %-6s %9.1f %9.1f %10.0f\n", name.c_str(), row.clients, "echo", echoP50, echoP99,
                  echoRate);
      const double p99Ratio = daemonP99 / echoP99;
      const double rateRatio = daemonRate / echoRate;
      std::printf("%-13s %7d  %-6s %9.1f %9.1f %10.0f   %.2f x, %.2f x, %.0f %%\n", name.c_str(), row.clients, "daemon",
                  daemonP50, daemonP99, daemonRate, daemonP50 / echoP50, p99Ratio, 100.0 * rateRatio);
      if (row.request == "gettaskstate" && row.clients == 32) {
        const bool latencyMet = p99Ratio <= kMaxP99Ratio;
        const bool rateMet = rateRatio >= kMinRateRatio;
        std::printf("  goal: p99 at most %.0f x echo's: %s; throughput at least %.0f %% of echo's: %s\n", kMaxP99Ratio,
                    latencyMet ? "met" : "MISSED", 100.0 * kMinRateRatio, rateMet ? "met" : "MISSED");
        goalsMet = goalsMet && latencyMet && rateMet;
      }
    }
    echoClients.clear();
    daemonClients.clear();
    echo.stop();
    return goalsMet ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daemon_bench: %s\n", e.what());
    return 2;
  }
}
