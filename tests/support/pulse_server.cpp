#include "support/pulse_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace qelrec::test {

namespace {

bool waitForSocket(const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  struct stat info {};
  while (std::chrono::steady_clock::now() < deadline) {
    if (::stat(path.c_str(), &info) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

PulseServer::~PulseServer() { Stop(); }

bool PulseServer::Start() {
  const std::string runtime = dir_.file("runtime");
  const std::string home = dir_.file("home");
  std::filesystem::create_directories(runtime);
  std::filesystem::create_directories(home);
  ::chmod(runtime.c_str(), 0700);
  // The server and every client started from here see the private folders.
  if (const char* old = std::getenv("PULSE_SERVER")) {
    hadPulseServer_ = true;
    savedPulseServer_ = old;
  }
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::unsetenv("PULSE_SERVER");
  qel::SpawnOptions options;
  options.stdoutMode = qel::ChildOutput::Null;
  options.stderrMode = qel::ChildOutput::Null;
  if (!server_.start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--log-target=stderr", "-L",
                      "module-null-sink sink_name=qeltest", "-L", "module-native-protocol-unix"},
                     options, error_)) {
    error_ = "pulseaudio cannot be started: " + error_;
    return false;
  }
  const std::string socket = runtime + "/pulse/native";
  if (!waitForSocket(socket, std::chrono::seconds(10))) {
    error_ = "pulseaudio did not open " + socket;
    Stop();
    return false;
  }
  ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
  return true;
}

void PulseServer::Kill() {
  if (server_.pid() > 0) {
    server_.kill();
    server_.wait();
  }
}

void PulseServer::Stop() {
  Kill();
  if (hadPulseServer_) {
    ::setenv("PULSE_SERVER", savedPulseServer_.c_str(), 1);
  } else {
    ::unsetenv("PULSE_SERVER");
  }
}

std::unique_ptr<qel::Subprocess> PlayIntoTestSink(const std::string& wavPath, int latencyMs) {
  auto player = std::make_unique<qel::Subprocess>();
  qel::SpawnOptions options;
  options.stdoutMode = qel::ChildOutput::Null;
  options.stderrMode = qel::ChildOutput::Null;
  std::string error;
  // A short latency makes the null sink render in small blocks, so its monitor
  // delivers at an even pace rather than in seconds-long bursts.
  std::vector<std::string> argv{"paplay", "--device=qeltest"};
  if (latencyMs > 0) argv.push_back("--latency-msec=" + std::to_string(latencyMs));
  argv.push_back(wavPath);
  if (!player->start(argv, options, error)) return nullptr;
  return player;
}

double DominantFrequency(const std::string& path, double fromSeconds, double toSeconds) {
  const qel::CapturedRun run = qel::runAndCapture(
      {qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-ss", std::to_string(fromSeconds), "-to",
       std::to_string(toSeconds), "-ac", "1", "-f", "s16le", "-acodec", "pcm_s16le", "-"},
      false);
  if (!run.started || run.exitCode != 0 || run.output.size() < 4) return 0;
  // The distances between upward zero crossings, averaged over their middle
  // half: gaps the sound server leaves under load (silence) change a few
  // distances, which fall outside it.
  const size_t count = run.output.size() / 2;
  std::vector<size_t> periods;
  size_t lastUp = 0;
  bool seenUp = false;
  int16_t previous = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t sample;
    std::memcpy(&sample, run.output.data() + 2 * i, 2);
    if (i > 0 && previous < 0 && sample >= 0) {
      if (seenUp) periods.push_back(i - lastUp);
      lastUp = i;
      seenUp = true;
    }
    previous = sample;
  }
  if (periods.size() < 10) return 0;
  std::sort(periods.begin(), periods.end());
  double sum = 0;
  size_t used = 0;
  for (size_t i = periods.size() / 4; i < periods.size() * 3 / 4; ++i, ++used) sum += static_cast<double>(periods[i]);
  return used == 0 ? 0 : 44100.0 / (sum / static_cast<double>(used));
}

}  // namespace qelrec::test
