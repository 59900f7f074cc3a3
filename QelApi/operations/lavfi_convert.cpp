#include "operations/lavfi_convert.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "engine/log.h"
#include "engine/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kCoverArtOptions = "-c:v:1 png -disposition:v:1 attached_pic";

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool outputHasNoVideo(const std::string& outputConfig) { return contains(outputConfig, "-vn"); }
bool outputHasNoAudio(const std::string& outputConfig) { return contains(outputConfig, "-map_channel -1"); }

// Splits at every `separator`, keeping empty pieces.
std::vector<std::string> splitKeepingEmpty(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

void trimBlanks(std::string& text) { trimChars(text, " "); }

// Finds the last ",scale=W:H" of a chain with two plain numbers (W and H are
// whole digit runs). Returns the position of "scale=" and its length through
// `length`; npos when there is none.
std::size_t findLastNumericScale(std::string_view chain, std::size_t& length) {
  constexpr std::string_view kScale = ",scale=";
  std::size_t from = chain.size();
  while (from > 0) {
    const std::size_t at = chain.rfind(kScale, from - 1);
    if (at == std::string_view::npos) return std::string_view::npos;
    std::size_t i = at + kScale.size();
    const std::size_t widthStart = i;
    while (i < chain.size() && std::isdigit(static_cast<unsigned char>(chain[i]))) ++i;
    if (i > widthStart && i < chain.size() && chain[i] == ':') {
      const std::size_t heightStart = ++i;
      while (i < chain.size() && std::isdigit(static_cast<unsigned char>(chain[i]))) ++i;
      if (i > heightStart) {
        length = i - (at + 1);
        return at + 1;
      }
    }
    if (at == 0) break;
    from = at;
  }
  return std::string_view::npos;
}

// The audio-only rebuild of an earlier graph: keeps the chains that make or
// carry audio and makes their output the only one.
std::string keepAudioChains(const std::string& graph) {
  std::string kept;
  for (const std::string& piece : splitKeepingEmpty(graph, ';')) {
    if (piece.starts_with("amovie=") || piece.starts_with("anullsrc=") || piece.starts_with("[a")) {
      if (!kept.empty()) kept += ';';
      kept += piece;
    }
  }
  const std::size_t audio = kept.find("[out1]");
  if (audio != std::string::npos) kept.replace(audio, 6, kVideoLabel);
  return kept;
}

}  // namespace

const char* LavfiConvert::name() const { return "convert"; }

std::string LavfiConvert::filterText(const std::string& transform) {
  const std::size_t at = transform.find("-vf ");
  if (at == std::string::npos) return {};
  std::string filter = transform.substr(at + 4);
  trimChars(filter, " \"");
  return filter;
}

LavfiResult LavfiConvert::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  LavfiResult result;
  if (desc.inputs.empty()) {
    logAt(kLogError, kFunction, 20, "inputs is empety");
    return result;
  }
  const std::string filter = filterText(desc.transform);
  const LavfiInputItem item = desc.inputs.front();  // a copy: desc may change below
  collectInputFiles(parser, item, result.inputFiles);

  std::string graph;
  if (item.type != 2) {
    const std::string& path = item.value;
    SourceProbe probe;
    probeSource(parser, path, probe);
    if (outputHasNoVideo(desc.outputConfig)) probe.video = 0.0;
    if (outputHasNoAudio(desc.outputConfig)) probe.audio = 0.0;
    if (probe.video < kUsableStreamSeconds && probe.audio < kUsableStreamSeconds) {
      logAt(kLogError, kFunction, 106, "no audio, no video stream: " + path);
      return result;
    }
    SourceGraphSpec spec;
    spec.subtitleClause = false;
    spec.trim = TrimForm::WholeInput;
    spec.duration = item.duration;
    spec.videoFilter = filter;
    // The builder's single "has video" test places the audio chain: a video
    // chain, when written, is always followed by ";" and "[out1]".
    std::optional<std::string> built = buildSourceGraph(path, probe, spec);
    if (!built) {
      logAt(kLogError, kFunction, 106, kUnwritablePathMessage + path);
      return result;
    }
    graph = std::move(*built);
    // An empty filter would make ffmpeg refuse the whole command, so the
    // fragment names the input alone then.
    result.cmd = "-i \"" + path + "\"";
    if (!filter.empty()) result.cmd += " -filter_complex \"" + filter + "\"";
  } else {
    graph = item.value;
    bool hasVideo = false;
    bool hasAudio = false;
    if (!hasOutLabels(graph, hasVideo, hasAudio)) {
      logAt(kLogError, kFunction, 42, "no audio, no video stream: " + item.value);
      return result;
    }
    if (outputHasNoVideo(desc.outputConfig)) {
      graph = keepAudioChains(item.value);
    } else if (hasVideo && !filter.empty() && graph.size() >= 6) {
      const Placement placed =
          placeFilter(graph, kVideoLabel, filter, {",scale=", ",pad="},
                      [&](std::string& g) { return mergeVideoFilter(parser, g, filter); });
      if (placed == Placement::MergeFailed) {
        logAt(kLogError, kFunction, 69, "Failed to merge: " + item.value + " and " + filter);
      }
    }
    const LavfiOutputRecord* earlier = parser.findOutput(item.value);
    if (earlier != nullptr && !earlier->cmd.empty()) {
      result.cmd = earlier->cmd;
      adjustCoverArtAndAudio(parser, desc, result.cmd);
      mapVideoThroughFilter(parser, result.cmd, filter, desc.outputConfig);
      addAssInputs(desc, result.cmd);
    }
  }
  parser.setDuration(graph, item.duration);
  result.graph = std::move(graph);
  return result;
}

bool LavfiConvert::mergeVideoFilter(LavfiParser& parser, std::string& graph, const std::string& filter) {
  const std::optional<ChainSpan> span = findChainEndingAt(graph, kVideoLabel);
  if (!span) return false;
  std::string chain(span->withSeparator(graph));
  if (contains(chain, filter)) return true;
  if (contains(chain, ",pad=") || contains(chain, ",crop=")) {
    // The chain ends in a fresh label and a chain of its own applies the filter.
    chain += fmt::format("[v{0}];[v{0}]{1}", parser.takeLabel(), filter);
  } else {
    std::size_t length = 0;
    const std::size_t at = findLastNumericScale(chain, length);
    if (at == std::string::npos) return false;  // such as scale=-2:720 or iw/2:ih/2
    // The filter replaces that very scale (not an earlier text that merely
    // starts the same way, as scale=1280:720 inside scale=1280:7200).
    chain.replace(at, length, filter);
  }
  graph.replace(span->begin, span->label - span->begin, chain);
  return true;
}

void LavfiConvert::mapVideoThroughFilter(LavfiParser& parser, std::string& cmd, const std::string& filter,
                                         const std::string& outputConfig) {
  std::string tail;
  const std::size_t at = cmd.find(" -map ");
  if (at != std::string::npos) {
    tail = cmd.substr(at);
    cmd.resize(at);
  }
  const bool noVideo = outputHasNoVideo(outputConfig);
  // Without a filter the video map stays as it is: routing it through an empty
  // filter would give ffmpeg a graph it refuses.
  const bool routeVideo = !filter.empty() || noVideo;
  const std::vector<std::string> tokens = splitKeepingEmpty(tail, ' ');
  std::string newTail;
  std::string label;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (label.empty() && tokens[i] == "-map" && i + 1 < tokens.size() && tokens[i + 1].starts_with("0:v")) {
      label = tokens[i + 1];
      if (routeVideo) {
        ++i;
        continue;
      }
    }
    newTail += ' ';
    newTail += tokens[i];
  }
  if (noVideo || filter.empty()) label.clear();
  if (!label.empty()) {
    cmd += fmt::format(" -filter_complex \"[{0}]{1}[v{2}]\" -map [v{2}]", label, filter, parser.takeLabel());
  }
  trimBlanks(newTail);
  cmd += ' ';
  cmd += newTail;
}

void LavfiConvert::adjustCoverArtAndAudio(LavfiParser& /*parser*/, LavfiOperationDesc& desc, std::string& cmd) {
  if (!cmd.starts_with("-i")) return;
  std::string& outputConfig = desc.outputConfig;
  if (!contains(cmd, "-map 0:v:1")) {
    const std::size_t at = outputConfig.find(kCoverArtOptions);
    if (at != std::string::npos) outputConfig.erase(at, kCoverArtOptions.size());
  } else if (!contains(outputConfig, kCoverArtOptions)) {
    outputConfig += ' ';
    outputConfig += kCoverArtOptions;
  }

  if (outputHasNoAudio(outputConfig)) {
    const std::vector<std::string> tokens = splitOptionTokens(cmd);
    std::string rebuilt;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      const std::string& token = tokens[i];
      const bool hasNext = i + 1 < tokens.size();
      if (token == "-map") {
        if (hasNext && !tokens[i + 1].starts_with("0:a")) rebuilt += " -map " + tokens[i + 1];
        ++i;
      } else if (token == "-i") {
        if (hasNext) rebuilt += " -i \"" + tokens[i + 1] + "\"";
        ++i;
      } else if (token.find_first_of(" \t") != std::string::npos) {
        // The tokeniser dropped the double quotes that held this token
        // together; without them the command would split it.
        rebuilt += " \"" + token + "\"";
      } else {
        rebuilt += ' ';
        rebuilt += token;
      }
    }
    cmd = std::move(rebuilt);
  }
  trimSpaces(cmd);
}

void LavfiConvert::addAssInputs(const LavfiOperationDesc& desc, std::string& cmd) {
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const std::string& value = desc.inputs[i].value;
    if (!cmd.starts_with("-i") || !value.ends_with(".ass")) continue;
    if (contains(value, "\"")) {
      logOperationError("addAssInputs", 0, kUnwritablePathMessage + value);
      continue;
    }
    const std::size_t map = cmd.find(" -map ");
    const std::size_t graph = cmd.find(" -filter_complex ");
    const std::size_t at = std::min(map, graph);
    const std::string input = " -i \"" + value + "\"";
    if (at != std::string::npos) {
      cmd.insert(at, input);
    } else {
      cmd += input;
    }
    cmd += fmt::format(" -map {}", i);
  }
}

}  // namespace qel
