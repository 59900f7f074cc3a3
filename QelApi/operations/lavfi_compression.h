// The "compression" operation: makes a media file smaller, to a target size in
// MiB ("size N") or to a percentage of its size ("percent N"). The graph is a
// plain pass-through (a file's source graph, or an earlier graph unchanged);
// the work is the rewrite of the request's output configuration: audio and
// video bit rates that fit the target, a picture size from
// CompressionResolutions, a frame-rate cap of 24 and the video encoder (a
// vendor encoder when the cached hardware probe found one working).
//
// Test seam. The two facts the operation reads from outside the request, the
// cached hardware answer and a file's size, come through CompressionSystem.
// The default instance (the one the parser registers) reads
// cachedHardwareSupport(), never starting the probe, and the file system.
// Tests construct LavfiCompression with their own functions.
//
// Output options are re-paired by the ffmpeg option table: an option that
// takes an argument keeps the next token as its value, a flag (-an, -y, ...)
// stands alone, so one flag cannot shift every later pair. An option unknown
// to the table takes the next token when that does not look like an option. A
// stray value without an option is dropped (it would become an output path).
//
// Thread safety: the instance is immutable after construction; process runs
// under the engine mutex like every operation. The default functions are safe
// on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/hardware_flags.h"
#include "operations/lavfi_base.h"

namespace qel {

struct CompressionParams {
  std::int64_t percent = 0;       // 0 when not given
  std::int64_t targetSize = 0;    // bytes; replaced by the computed size in percentage mode
  std::int32_t audioBitrate = 0;  // bit/s; may be lowered
  std::int32_t width = -1;        // -1 when unknown
  std::int32_t height = -1;
  double duration = 0.0;  // seconds, as the request states it
};

// The outside facts the operation reads; see the header comment.
struct CompressionSystem {
  // The cached hardware-encoder answer.
  std::function<HardwareSupport()> hardware;
  // The size of `path` in bytes, or -1 with the system's error text in `error`.
  std::function<std::int64_t(const std::string& path, std::string& error)> fileSize;

  // cachedHardwareSupport() and std::filesystem::file_size.
  static CompressionSystem real();
};

class LavfiCompression : public LavfiBase {
 public:
  LavfiCompression();
  explicit LavfiCompression(CompressionSystem system);

  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Rewrites `outputConfig` for `params` (see the header comment). An empty
  // path means no file whose size could be read. False, with a log line, when
  // no positive target size results or the duration is not positive; true
  // (configuration untouched) when the file is already below the target.
  bool generateOutputConfig(const std::string& inputPath, CompressionParams& params, std::string& outputConfig) const;

  // The video encoder for the tokens' "-c:v" value: software names normalised
  // ("h264" -> libx264, "hevc"/"h265" -> libx265, unknown -> libx264), then a
  // working vendor encoder (nvidia, intel, amd in that order) replaces
  // libx264/libx265.
  static std::string selectCompressionEncoder(const std::vector<std::string>& tokens, const HardwareSupport& hardware);
  // Bit/s after the first `option` token ("-b:a", "-b:v"), with k/K and m/M
  // units; 0 when absent; saturates instead of overflowing.
  static std::int32_t readBitrateOption(const std::vector<std::string>& tokens, const std::string& option);
  // Width and height after the first "-s"; (0, 0) when absent or malformed.
  static std::pair<std::int32_t, std::int32_t> readSizeOption(const std::vector<std::string>& tokens);
  // Lowers the audio bit rate one step by the caps (below 1000 kbit/s of video
  // at most 128000, below 500 at most 64000); true when it changed it.
  static bool lowerAudioBitrate(int videoKbps, CompressionParams& params);

 private:
  CompressionSystem system_;
};

}  // namespace qel
