#include "operations/lavfi_compression.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/probe_document.h"
#include "commands/vocabulary.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr const char* kGenerateFunction = "generateOutputConfig";
constexpr std::int64_t kMebibyte = 1048576;
constexpr int kFrameRateCap = 24;

struct EncoderFactor {
  std::string_view encoder;
  double factor;
};

// How much of the computed rate each encoder may use in size mode: encoders
// that overshoot their target get less.
constexpr std::array<EncoderFactor, 10> kCompressionEncoderFactors{{
    {"libx264", 0.95},
    {"libx265", 0.95},
    {"h264_nvenc", 0.9},
    {"hevc_nvenc", 0.85},
    {"h264_qsv", 0.98},
    {"hevc_qsv", 0.98},
    {"h264_amf", 0.95},
    {"hevc_amf", 0.95},
    {"mpeg4", 0.98},
    {"msmpeg4v3", 0.98},
}};

constexpr std::array<std::string_view, 4> kSoftwareEncoders{"libx264", "libx265", "mpeg4", "msmpeg4v3"};

double encoderFactor(std::string_view encoder) {
  for (const EncoderFactor& entry : kCompressionEncoderFactors) {
    if (entry.encoder == encoder) return entry.factor;
  }
  return 1.0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// atoll's reading (white space, sign, leading digits; 0 without any), but
// saturating where atoll would be undefined.
std::int64_t leadingInt64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t start = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == start) return 0;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + i, magnitude);
  (void)end;
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (error != std::errc() || magnitude > kMax) {
    return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

template <class Int>
Int clampTo(std::int64_t value) {
  if (value > std::numeric_limits<Int>::max()) return std::numeric_limits<Int>::max();
  if (value < std::numeric_limits<Int>::min()) return std::numeric_limits<Int>::min();
  return static_cast<Int>(value);
}

// atoi's reading, saturating.
std::int32_t leadingInt(std::string_view text) { return clampTo<std::int32_t>(leadingInt64(text)); }

// Truncates toward zero, saturating (NaN gives 0), where a plain cast would be
// undefined.
template <class Int>
Int truncateTo(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  if (value <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  return static_cast<Int>(value);
}

// The token after the first token equal to `option` that has one.
const std::string* valueAfter(const std::vector<std::string>& tokens, std::string_view option) {
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i] == option) return &tokens[i + 1];
  }
  return nullptr;
}

// A token that starts an option rather than a value such as -1 or -.5.
bool looksLikeOption(const std::string& token) {
  return token.size() > 1 && token[0] == '-' && !isDigit(token[1]) && token[1] != '.';
}

// Whether the option token takes the next token as its value: the option
// table decides; an option it does not know takes the next token when that is
// no option itself.
bool takesValue(const std::vector<std::string>& tokens, std::size_t i) {
  if (const FfmpegOption* row = findFfmpegOption(std::string_view(tokens[i]).substr(1))) return row->takesArgument();
  return i + 1 < tokens.size() && !looksLikeOption(tokens[i + 1]);
}

// percent * size / 100 without overflowing (both non-negative here).
std::int64_t percentOf(std::int64_t percent, std::int64_t size) {
  const __int128 product = static_cast<__int128>(percent) * size / 100;
  if (product > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(product);
}

std::int64_t realFileSize(const std::string& path, std::string& error) {
  std::error_code code;
  const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(path), code);
  if (code) {
    error = code.message();
    return -1;
  }
  return size > static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max())
             ? std::numeric_limits<std::int64_t>::max()
             : static_cast<std::int64_t>(size);
}

struct TransformKeys {
  std::int64_t percent = 0;
  std::int64_t targetSize = 0;
};

TransformKeys readTransformKeys(const std::string& transform) {
  TransformKeys keys;
  const std::vector<std::string> tokens = splitWhitespace(transform);
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i] == "percent") {
      keys.percent = leadingInt(tokens[++i]);
    } else if (tokens[i] == "size") {
      const std::int64_t mebibytes = leadingInt64(tokens[++i]);
      constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / kMebibyte;
      constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min() / kMebibyte;
      keys.targetSize = mebibytes > kMax   ? std::numeric_limits<std::int64_t>::max()
                        : mebibytes < kMin ? std::numeric_limits<std::int64_t>::min()
                                           : mebibytes * kMebibyte;
    }
  }
  return keys;
}

}  // namespace

CompressionSystem CompressionSystem::real() {
  return CompressionSystem{[] { return cachedHardwareSupport(); }, &realFileSize};
}

LavfiCompression::LavfiCompression() : system_(CompressionSystem::real()) {}

LavfiCompression::LavfiCompression(CompressionSystem system) : system_(std::move(system)) {
  const CompressionSystem real = CompressionSystem::real();
  if (!system_.hardware) system_.hardware = real.hardware;
  if (!system_.fileSize) system_.fileSize = real.fileSize;
}

const char* LavfiCompression::name() const { return "compression"; }

LavfiResult LavfiCompression::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  OpeningRules rules;
  rules.emptyLine = 43;
  rules.noOutputsLine = 73;
  rules.noStreamLine = 92;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;  // desc.outputConfig changes below, its inputs never
  const TransformKeys keys = readTransformKeys(desc.transform);

  std::string graph;
  if (opened->isGraph()) {
    CompressionParams params{keys.percent, keys.targetSize, -1, -1, -1, item.duration};
    if (!generateOutputConfig("", params, desc.outputConfig)) {
      logOperationError(kFunction, 79, "generateOutputConfig return false: " + item.value);
      return result;
    }
    graph = item.value;
  } else {
    const std::string& path = item.value;
    const ProbeDocument& doc = opened->document;
    SourceGraphSpec recipe;
    recipe.subtitleClause = true;
    recipe.trim = TrimForm::WholeInput;
    recipe.duration = item.duration;
    // An audio-only file ends its one chain in "[out0]", like every graph with
    // one output, so later steps and the command builder find it.
    // Written first: a path that cannot stand in a graph fails the request
    // before the output configuration is touched.
    std::optional<std::string> built = writeSourceGraph(kFunction, 105, path, opened->probe, recipe);
    if (!built) return result;
    CompressionParams params{keys.percent, keys.targetSize, 0, 0, 0, item.duration};
    getStreamIntField(doc, "video", "width", params.width);
    getStreamIntField(doc, "video", "height", params.height);
    std::int32_t channels = 0;
    std::string codec;
    getAudioStreamInfo(doc, params.audioBitrate, channels, codec);
    if (params.audioBitrate < 1 && channels > 0) params.audioBitrate = 128000;
    if (!generateOutputConfig(path, params, desc.outputConfig)) {
      logOperationError(kFunction, 105, "generateOutputConfig return false: " + path);
      return result;
    }
    graph = std::move(*built);
  }
  completeResult(parser, result, std::move(graph), item.duration);
  return result;
}

bool LavfiCompression::generateOutputConfig(const std::string& inputPath, CompressionParams& params,
                                            std::string& outputConfig) const {
  const std::vector<std::string> tokens = splitWhitespace(outputConfig);
  const std::string encoder = selectCompressionEncoder(tokens, system_.hardware());
  const std::string* rateText = valueAfter(tokens, "-r");
  const std::int32_t frameRate = rateText != nullptr ? leadingInt(*rateText) : 0;

  if (params.audioBitrate <= 0) {
    params.audioBitrate = readBitrateOption(tokens, "-b:a");
    if (params.audioBitrate < 0) params.audioBitrate = 128000;
  }
  if (params.width < 0 || params.height < 0) {
    const auto [width, height] = readSizeOption(tokens);
    params.width = width;
    params.height = height;
  }

  std::int64_t fileSize = 0;
  if (!inputPath.empty()) {
    std::string error;
    fileSize = system_.fileSize(inputPath, error);
    if (fileSize < 0) {
      logAt(kLogError, kGenerateFunction, 190, "Compression: call file_size failed," + error);
      fileSize = -1;
    }
  }

  if (params.percent > 0) {
    if (fileSize > 0) {
      params.targetSize = percentOf(params.percent, fileSize);
    } else {
      const std::int64_t rates = static_cast<std::int64_t>(params.audioBitrate) + readBitrateOption(tokens, "-b:v");
      params.targetSize = truncateTo<std::int64_t>(static_cast<double>(rates) * params.duration * 0.125 *
                                                   static_cast<double>(params.percent) / 100.0);
    }
  }
  if (params.targetSize <= 0) {
    logAt(kLogError, kGenerateFunction, 194, fmt::format("Compression: calc fileSize={}", params.targetSize));
    return false;
  }
  if (fileSize > 0 && fileSize < params.targetSize) return true;  // already small enough
  // Every rate below is per second of the input: without a duration none can
  // be computed.
  if (!(params.duration > 0.0) || !std::isfinite(params.duration)) {
    logAt(kLogError, kGenerateFunction, 198, fmt::format("Compression: invalid duration={}", params.duration));
    return false;
  }

  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t chosenRate = 0;
  const bool portrait = params.width < params.height;
  const std::int64_t inputArea = static_cast<std::int64_t>(params.width) * params.height;
  auto takeRowSize = [&](const CompressionResolution& row) {
    width = portrait ? row.height : row.width;
    height = portrait ? row.width : row.height;
  };
  while (true) {
    double rate = static_cast<double>(params.targetSize) * 8.0 / params.duration / 1000.0 -
                  static_cast<double>(params.audioBitrate) / 1000.0;
    if (params.percent == 0) rate *= encoderFactor(encoder);
    chosenRate = 0;
    width = 0;
    height = 0;
    for (const CompressionResolution& row : CompressionResolutions) {
      const bool above = rate > row.bitRate;
      const bool near = row.tolerance >= std::fabs(row.bitRate - rate);
      if (!above && !near) continue;
      if (inputArea > static_cast<std::int64_t>(row.width) * row.height) {
        takeRowSize(row);
      } else {
        width = params.width;
        height = params.height;
      }
      const std::int32_t truncated = truncateTo<std::int32_t>(rate);
      chosenRate = above ? truncated : std::min(truncated, row.bitRate);
      break;
    }
    if (lowerAudioBitrate(chosenRate, params)) continue;
    if (chosenRate <= 0) {
      const CompressionResolution& last = CompressionResolutions.back();
      takeRowSize(last);
      chosenRate = last.bitRate;
    }
    break;
  }

  std::string rewritten;
  if (params.audioBitrate > 0) rewritten += fmt::format(" -b:a {}k", params.audioBitrate / 1000);
  rewritten += fmt::format(" -b:v {}k", chosenRate);
  if (width > 0 && height > 0) rewritten += fmt::format(" -s {}x{}", width, height);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& option = tokens[i];
    if (!looksLikeOption(option)) {
      // A value without its option would become an output path.
      logText(kLogWarn, "Compression: dropped a value without an option: " + option);
      continue;
    }
    if (!takesValue(tokens, i)) {
      rewritten += " " + option;
      continue;
    }
    if (i + 1 >= tokens.size()) break;  // an option missing its value is dropped
    const std::string& value = tokens[++i];
    if (option == "-s" || option == "-b:v" || option == "-b:a") continue;
    if (option == "-r") {
      rewritten += fmt::format(" -r {}", std::min(frameRate, kFrameRateCap));
    } else if (option == "-c:v") {
      rewritten += fmt::format(" -c:v {}", encoder);
      if (encoder == "h264_qsv" || encoder == "hevc_qsv") rewritten += " -bitrate_limit 0";
    } else {
      rewritten += fmt::format(" {} {}", option, value);
    }
  }
  outputConfig = std::move(rewritten);
  return true;
}

std::string LavfiCompression::selectCompressionEncoder(const std::vector<std::string>& tokens,
                                                       const HardwareSupport& hardware) {
  const std::string* wantedText = valueAfter(tokens, "-c:v");
  std::string encoder = wantedText != nullptr ? *wantedText : std::string();
  if (encoder == "h264") encoder = "libx264";
  if (encoder == "h265" || encoder == "hevc") encoder = "libx265";
  bool software = false;
  for (std::string_view name : kSoftwareEncoders) software = software || encoder == name;
  if (!software) encoder = "libx264";

  if (encoder == "libx264") {
    if (hardware.nvidia) return "h264_nvenc";
    if (hardware.intel) return "h264_qsv";
    if (hardware.amd) return "h264_amf";
  } else if (encoder == "libx265") {
    if (hardware.nvidia) return "hevc_nvenc";
    if (hardware.intel) return "hevc_qsv";
    if (hardware.amd) return "hevc_amf";
  }
  return encoder;
}

std::int32_t LavfiCompression::readBitrateOption(const std::vector<std::string>& tokens, const std::string& option) {
  const std::string* text = valueAfter(tokens, option);
  if (text == nullptr) return 0;
  const char* begin = text->c_str();
  char* end = nullptr;
  float value = std::strtof(begin, &end);
  if (end != begin) {
    if (*end == 'k' || *end == 'K')
      value *= 1000.0f;
    else if (*end == 'm' || *end == 'M')
      value *= 1000000.0f;
  }
  return truncateTo<std::int32_t>(static_cast<double>(value));
}

std::pair<std::int32_t, std::int32_t> LavfiCompression::readSizeOption(const std::vector<std::string>& tokens) {
  const std::string* text = valueAfter(tokens, "-s");
  if (text == nullptr) return {0, 0};
  const std::size_t x = text->find('x');
  if (x == std::string::npos || text->find('x', x + 1) != std::string::npos) return {0, 0};
  return {leadingInt(std::string_view(*text).substr(0, x)), leadingInt(std::string_view(*text).substr(x + 1))};
}

bool LavfiCompression::lowerAudioBitrate(int videoKbps, CompressionParams& params) {
  if (videoKbps < 1000 && params.audioBitrate > 128000) {
    params.audioBitrate = 128000;
    return true;
  }
  if (videoKbps < 500 && params.audioBitrate > 64000) {
    params.audioBitrate = 64000;
    return true;
  }
  return false;
}

}  // namespace qel
