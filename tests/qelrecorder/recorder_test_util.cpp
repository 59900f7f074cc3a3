#include "qelrecorder/recorder_test_util.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/subprocess.h"
#include "common/text_convert.h"
#include "platform/apps/render_processes.h"
#include "platform/audio/audio_client.h"
#include "platform/core/backing.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/window.h"
#include "platform/ui/x11_key_grabs.h"
#include "support/test_support.h"

namespace qelrec::test {

namespace {
std::atomic<LogCollector*> active{nullptr};
}

LogCollector::LogCollector() {
  active = this;
  SetLogHandlers(&LogCollector::narrow, &LogCollector::wide);
}

LogCollector::~LogCollector() {
  SetLogHandlers(nullptr, nullptr);
  active = nullptr;
}

void LogCollector::narrow(const char* level, const char* function, const char* message) {
  if (LogCollector* c = active.load()) c->add(level, function, message);
}

void LogCollector::wide(const char* level, const char* function, const wchar_t* message) {
  if (LogCollector* c = active.load()) c->add(level, function, qel::wideToUtf8(message));
}

void LogCollector::add(const char* level, const char* function, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level ? level : "INFO", function ? function : "", std::move(text)});
}

std::vector<LogLine> LogCollector::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int LogCollector::count(const std::string& part, const std::string& level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& line : lines_) {
    if (line.text.find(part) != std::string::npos && (level.empty() || line.level == level)) ++n;
  }
  return n;
}

std::string LogCollector::dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& line : lines_) out += line.level + " [" + line.function + "] " + line.text + "\n";
  return out;
}

int countVideoFrames(const std::string& path) {
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffprobePath(), "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "default=nokey=1:noprint_wrappers=1", path},
                         false);
  if (!run.started || run.exitCode != 0) return -1;
  return std::atoi(run.output.c_str());
}

std::vector<std::string> decodeLumaPlanes(const std::string& path, int width, int height,
                                          const std::vector<int>& frames) {
  std::string select;
  for (int n : frames) select += (select.empty() ? "" : "+") + std::string("eq(n\\,") + std::to_string(n) + ")";
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-vf", "select=" + select,
                          "-vsync", "0", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"},
                         false);
  std::vector<std::string> out;
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t each = luma + 2 * (luma / 4);
  if (!run.started || run.exitCode != 0 || run.output.size() != each * frames.size()) return out;
  for (size_t i = 0; i < frames.size(); ++i) out.push_back(run.output.substr(i * each, luma));
  return out;
}

void useSimulatedBackings() {
  qel::blockSigpipeInThisThread();
  platform::forceBacking("ui", platform::Backing::Simulated);
  platform::ui::x11keys::ReselectUiBacking();
  platform::display::SelectBacking(platform::Backing::Simulated);
  platform::display::sim::Reset();
  platform::forceBacking("audio", platform::Backing::Simulated);
  platform::audio::ReselectAudioBacking();
  platform::forceBacking("apps", platform::Backing::Simulated);
  platform::apps::ReselectRenderBacking();
}

void pump(int ms, int stepMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::ui::Msg msg{};
  while (std::chrono::steady_clock::now() < end) {
    while (platform::ui::PeekMessage(msg)) platform::ui::DispatchMessage(msg);
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
}

}  // namespace qelrec::test
