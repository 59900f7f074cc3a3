#include "engine/hardware_support.h"

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "commands/vocabulary.h"
#include "common/command_line.h"
#include "common/command_quote.h"
#include "common/subprocess.h"
#include "base/log.h"

namespace qel {
namespace {

// The answer is published (base/hardware_flags.h) before `probed` is set, so a
// reader that sees `probed` also sees the whole answer (the compression
// operation reads it from another thread without any lock).
std::atomic<bool> gProbed{false};
// Held for the whole probe: two concurrent "gethwaccel" callers must not run two
// probes that overwrite the same test clip.
std::mutex gProbeMutex;

// A hardware test is a five-second clip; a healthy encoder finishes within
// seconds. The bound only protects the caller from a wedged driver.
constexpr auto kHardwareTestTimeout = std::chrono::minutes(2);

struct VendorTest {
  std::uint8_t HardwareSupport::*flag;
  const char* vendor;     // key of H264EncoderByVendor
  const char* inputPart;  // options before the test clip
};

// Order matters only for the order in which the children run.
constexpr VendorTest kVendorTests[] = {
    {&HardwareSupport::nvidia, "nvidia", " -y -v quiet -i "},
    {&HardwareSupport::amd, "amd", " -y -v quiet -i "},
    {&HardwareSupport::intel, "intel", " -y -v quiet -i "},
    {&HardwareSupport::apple, "apple", " -y -v quiet -hwaccel videotoolbox -i "},
};

// " -c:v h264_nvenc -f null -": the vendor's encoder text already carries a
// blank on each side.
std::string encoderPart(const VendorTest& test) {
  const std::optional<std::string_view> encoder = h264EncoderForVendor(test.vendor);
  return fmt::format(" -c:v{}-f null -", encoder.value_or(" "));
}

// A folder of the probe's own inside `parent`, made with mkdtemp (mode 0700,
// a fresh name): the test clip never lands on a name that another user, another
// instance or a planted link holds in the shared temporary folder. Removed with
// everything in it when the probe ends.
class PrivateFolder {
 public:
  explicit PrivateFolder(const std::string& parent) {
    std::string pattern = (std::filesystem::path(parent) / "qel-hw-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = std::move(pattern);
  }
  ~PrivateFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

HardwareSupport probeOnce(const std::string& ffmpegPath, const std::string& tempFolder, ChildGroup* calls) {
  const PrivateFolder folder(tempFolder);
  if (folder.path().empty()) {
    // An unwritable temporary folder: nothing can be tested, and the next call tries again.
    return cachedHardwareSupport();
  }
  const std::string clip = (std::filesystem::path(folder.path()) / kHardwareTestClipName).string();
  const std::optional<std::string> program = quoteForCommand(ffmpegPath);
  const std::optional<std::string> quotedClip = quoteForCommand(clip);
  if (!program || !quotedClip) {
    logText(kLogError,
            "[probeHardwareEncoders]:cannot quote the ffmpeg or test clip path: " + ffmpegPath + ", " + clip);
    return cachedHardwareSupport();
  }

  std::string output;
  const std::string makeClip = fmt::format(
      "{} -y -v quiet -f lavfi -i testsrc=duration=5:size=320x240:rate=25:decimals=4 "
      "-vcodec libx264 -r:v 25 {}",
      *program, *quotedClip);
  if (!runCommandCapture(makeClip, output, calls)) {
    // Without a clip nothing can be tested; keep `probed` false so the next
    // caller tries again (ffmpeg may be installed or the folder fixed by then).
    return cachedHardwareSupport();
  }

  HardwareSupport support;
  for (const VendorTest& test : kVendorTests) {
    const std::string command = fmt::format("{}{}{}{}", *program, test.inputPart, *quotedClip, encoderPart(test));
    if (runCommandCapture(command, output, calls)) support.*test.flag = 1;
  }
  if (calls != nullptr && calls->cancelled()) {
    return cachedHardwareSupport();
  }
  publishHardwareSupport(support);
  gProbed.store(true, std::memory_order_release);
  return support;
}

}  // namespace

HardwareSupport probeHardwareEncoders(const std::string& ffmpegPath, const std::string& tempFolder, ChildGroup* calls) {
  if (gProbed.load(std::memory_order_acquire)) return cachedHardwareSupport();
  std::lock_guard lock(gProbeMutex);
  // Another caller may have finished the probe while this one waited.
  if (gProbed.load(std::memory_order_acquire)) return cachedHardwareSupport();
  return probeOnce(ffmpegPath, tempFolder, calls);
}

std::string systemTempFolder() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  return error ? std::string() : folder.string();
}

bool runCommandCapture(const std::string& command, std::string& output, ChildGroup* calls) {
  output.clear();
  const std::vector<std::string> argv = splitCommandLine(command);
  if (argv.empty()) return false;
  CapturedRun run = runAndCapture(argv, /*mergeStderr=*/false, kHardwareTestTimeout, calls);
  output = std::move(run.output);
  return run.started && run.exitCode == 0;
}

void resetHardwareProbeForTesting() {
  std::lock_guard lock(gProbeMutex);
  gProbed.store(false, std::memory_order_release);
  publishHardwareSupport(HardwareSupport{});
}

}  // namespace qel
