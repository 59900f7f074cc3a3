#include "operations/lavfi_speed_adjuster.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "common/ascii_case.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";

// ffmpeg's range for one atempo stage.
constexpr double kMinTempo = 0.5;
constexpr double kMaxTempo = 100.0;
// More stages than this would mean a speed no one asks for (below 1/65536 or
// above 10^8); such a factor is refused rather than written as a long chain.
constexpr int kMaxTempoStages = 16;
// A number longer than this after "atempo=" is not read (no number needs it).
constexpr std::size_t kMaxNumberLength = 64;

// An earlier graph without its audio: only the chains that make or carry video.
std::string keepVideoChains(const std::string& graph) {
  std::string kept;
  for (const std::string& chain : splitAt(graph, ';')) {
    if (chain.starts_with("movie=") || chain.starts_with("color=") || chain.starts_with("[v")) {
      if (!kept.empty()) kept += ';';
      kept += chain;
    }
  }
  return kept;
}

}  // namespace

const char* LavfiSpeedAdjuster::name() const { return "speedAdjuster"; }

void LavfiSpeedAdjuster::readFilters(const std::string& transform, std::string& videoFilter, std::string& audioFilter) {
  videoFilter.clear();
  audioFilter.clear();
  const std::vector<std::string> words = splitWhitespace(transform);
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] != "-filter_complex") continue;
    std::string text = words[i + 1];
    trimChars(text, "\"");
    for (std::string& piece : splitAt(text, ';')) {
      if (asciiIStartsWith(piece, "setpts=")) {
        trimChars(piece, "\"");
        videoFilter = piece;
      } else if (asciiIStartsWith(piece, "atempo=")) {
        trimChars(piece, "\"");
        audioFilter = piece;
      }
    }
  }
}

double LavfiSpeedAdjuster::tempoFactor(const std::string& audioFilter) {
  constexpr std::string_view kTempo = "atempo=";
  const std::size_t at = audioFilter.find(kTempo);
  if (at == std::string::npos) return 1.0;
  // strtod in the "C" locale (the library never changes it); a bounded copy
  // keeps the read short whatever the client wrote.
  const std::string number = audioFilter.substr(at + kTempo.size(), kMaxNumberLength);
  return std::strtod(number.c_str(), nullptr);
}

std::optional<std::string> LavfiSpeedAdjuster::tempoChain(double factor) {
  if (!std::isfinite(factor) || factor <= 0.0) return std::nullopt;
  std::string chain;
  double rest = factor;
  int stages = 0;
  auto addStage = [&](double tempo) {
    if (!chain.empty()) chain += ',';
    chain += fmt::format("atempo={}", tempo);
    ++stages;
  };
  while (rest < kMinTempo && stages < kMaxTempoStages) {
    addStage(kMinTempo);
    rest /= kMinTempo;
  }
  while (rest > kMaxTempo && stages < kMaxTempoStages) {
    addStage(kMaxTempo);
    rest /= kMaxTempo;
  }
  if (stages >= kMaxTempoStages) return std::nullopt;
  addStage(rest);
  return chain;
}

LavfiResult LavfiSpeedAdjuster::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  std::string videoFilter;
  std::string audioFilter;
  double factor = 1.0;
  OpeningRules rules;
  rules.emptyLine = 18;
  rules.checkGathered = [&](LavfiResult& /*result*/) {
    readFilters(desc.transform, videoFilter, audioFilter);
    factor = tempoFactor(audioFilter);
    if (factor >= kMinTempo && factor <= kMaxTempo) return true;  // NaN falls through
    // One atempo stage takes 0.5 to 100: a slower or faster tempo becomes a
    // chain of stages. A factor that is no positive number has no tempo at all
    // (and would give an infinite or negative duration): the request fails.
    const std::optional<std::string> chain = tempoChain(factor);
    if (!chain) {
      logAt(kLogError, kFunction, 52, "SpeedRegulation, invalid value: " + desc.transform);
      return false;
    }
    audioFilter = *chain;
    if (factor < 0.25) logAt(kLogError, kFunction, 51, "SpeedRegulation, min value is 0.25: " + desc.transform);
    return true;
  };
  rules.noOutputsLine = 64;
  rules.noStreamLine = 112;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;
  const bool noAudio = desc.outputConfig.find("-an") != std::string::npos;

  std::string graph;
  if (opened->isGraph()) {
    graph = item.value;
    if (noAudio) graph = keepVideoChains(graph);
    chainFilters(graph, opened->hasVideo, opened->hasAudio, videoFilter, audioFilter);
  } else {
    SourceProbe probe = opened->probe;
    if (noAudio) probe.audio = 0.0;
    SourceGraphSpec recipe;
    recipe.trim = TrimForm::WholeInput;
    recipe.duration = item.duration;
    recipe.videoFilter = videoFilter;
    recipe.audioFilter = audioFilter;
    std::optional<std::string> built = writeSourceGraph(kFunction, 112, item.value, probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
  }
  // An empty graph (an audio-only input whose audio the output drops) is a
  // failure: nothing is stored for it.
  if (graph.empty()) return result;
  completeResult(parser, result, std::move(graph), item.duration / factor);
  return result;
}

}  // namespace qel
