#include "operations/lavfi_video_to_gif.h"

#include <charconv>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "base/log.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";

bool isRangeChar(char c) { return (c >= '0' && c <= '9') || c == '|' || c == '.'; }

// The longest leading decimal number of a run of digits, '.' and '|'
// ("1.5|2" -> 1.5, "." -> 0).
double leadingNumber(std::string_view run) {
  double value = 0.0;
  std::from_chars(run.data(), run.data() + run.size(), value, std::chars_format::fixed);
  return value;
}

}  // namespace

const char* LavfiVideoToGif::name() const { return "videoToGif"; }

double LavfiVideoToGif::trimLength(const std::string& transform) {
  // A hand-written whole-text match of ".*trim=([0-9|.]+):([0-9|.]+).*"
  // (ECMAScript, '.' takes no line break): the greedy head makes the last
  // fitting "trim=" the one that counts. Linear in the text's length.
  for (char c : transform) {
    if (c == '\n' || c == '\r') return 0.0;
  }
  constexpr std::string_view kTrim = "trim=";
  const std::string_view text(transform);
  std::size_t from = text.size();
  while (from > 0) {
    const std::size_t at = text.rfind(kTrim, from - 1);
    if (at == std::string_view::npos) break;
    from = at;
    std::size_t i = at + kTrim.size();
    const std::size_t startBegin = i;
    while (i < text.size() && isRangeChar(text[i])) ++i;
    if (i == startBegin || i >= text.size() || text[i] != ':') continue;
    const std::string_view start = text.substr(startBegin, i - startBegin);
    const std::size_t endBegin = ++i;
    while (i < text.size() && isRangeChar(text[i])) ++i;
    if (i == endBegin) continue;
    return leadingNumber(text.substr(endBegin, i - endBegin)) - leadingNumber(start);
  }
  return 0.0;
}

void LavfiVideoToGif::removeAudioChains(std::string& graph) {
  // Each rule is one pass that copies what it keeps (erasing in place would
  // cost quadratic time on a long client graph). Searching again from the
  // erase point only ever sees text from after the removed ";", so searching
  // the original text from there finds the same places.
  for (std::string_view rule : {std::string_view("amovie="), std::string_view("anullsrc="), std::string_view("[a")}) {
    std::string kept;
    kept.reserve(graph.size());
    std::size_t from = 0;
    while (from < graph.size()) {
      const std::size_t at = graph.find(rule, from);
      if (at == std::string::npos) {
        kept.append(graph, from, std::string::npos);
        break;
      }
      kept.append(graph, from, at - from);
      const std::size_t separator = graph.find(';', at);
      if (separator == std::string::npos) break;  // the rest of the graph goes
      from = separator + 1;
    }
    graph = std::move(kept);
  }
  while (!graph.empty() && graph.back() == ';') graph.pop_back();
}

LavfiResult LavfiVideoToGif::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  const std::string& transform = desc.transform;
  OpeningRules rules;
  rules.emptyLine = 19;
  rules.emptyMessage = "processinputs is empety";
  rules.checkRequest = [&] {
    if (!transform.empty()) return true;
    logAt(kLogError, kFunction, 24, "processtransform is empety");
    return false;
  };
  rules.checkGathered = [&](LavfiResult& /*result*/) {
    // The transform lands in the graph, which the command text holds in
    // double quotes.
    if (transform.find('"') == std::string::npos) return true;
    logAt(kLogError, kFunction, 24, "transform cannot be written into a filter graph: " + transform);
    return false;
  };
  rules.noOutputsLine = 48;
  rules.noStreamLine = 122;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;
  const double length = trimLength(transform);

  std::string graph;
  if (opened->isGraph()) {
    graph = item.value;
    if (!opened->hasVideo) {
      logAt(kLogError, kFunction, 109, "do not find video stream:" + item.value);
      return result;
    }
    removeAudioChains(graph);
    const std::size_t at = findUnquoted(graph, kVideoLabel);
    if (at == std::string::npos) {
      logAt(kLogError, kFunction, 104, "donot find [out0]:" + item.value);
      return result;
    }
    // The video output takes a fresh label in its own place (so the chain
    // that made it keeps feeding the transform wherever it stands in the
    // graph), and the transform reads it in a chain of its own at the end.
    const std::uint32_t label = parser.takeLabel();
    graph.replace(at, kVideoLabel.size(), fmt::format("[outv{}]", label));
    graph += fmt::format(";[outv{}]", label) + transform + std::string(kVideoLabel);
  } else {
    const SourceProbe& probe = opened->probe;
    if (!(probe.video > 0.0)) {
      logAt(kLogError, kFunction, 147, "do not find video stream: " + item.value);
      return result;
    }
    // A bare movie source: the transform trims and resets timestamps itself,
    // and neither subtitles nor audio belong in a GIF.
    SourceProbe videoOnly;
    videoOnly.video = probe.video;
    SourceGraphSpec recipe;
    recipe.subtitleClause = false;
    recipe.videoFilter = transform;
    std::optional<std::string> built = writeSourceGraph(kFunction, 122, item.value, videoOnly, recipe);
    if (!built) return result;
    graph = std::move(*built);
  }

  const bool trimmed = length > kUsableStreamSeconds;
  if (!trimmed) logAt(kLogError, kFunction, 159, "VideoToGif: Don't find trim param");
  completeResult(parser, result, std::move(graph), trimmed ? length : item.duration);
  return result;
}

}  // namespace qel
