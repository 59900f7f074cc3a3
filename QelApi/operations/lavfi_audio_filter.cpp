#include "operations/lavfi_audio_filter.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/probe_document.h"
#include "common/text_edit.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// What ".*<prefix>(-?\d{1,})<suffix>.*" finds in a whole text: the last
// `prefix` followed by an optional minus, a digit run and `suffix`. Scanned
// by hand (std::regex recurses per character and long graphs would exhaust
// the stack); '.' stops at line breaks, so a text holding one never matches.
struct NumberMatch {
  std::size_t begin = 0;  // of the prefix
  std::size_t end = 0;    // just past the suffix
  std::string_view number;
};

std::optional<NumberMatch> findLastNumber(std::string_view text, std::string_view prefix, std::string_view suffix) {
  if (text.find_first_of("\n\r") != std::string_view::npos) return std::nullopt;
  std::size_t from = text.size();
  while (true) {
    const std::size_t at = text.rfind(prefix, from);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + prefix.size();
    std::size_t i = start;
    if (i < text.size() && text[i] == '-') ++i;
    const std::size_t digits = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i > digits && text.substr(i, suffix.size()) == suffix) {
      return NumberMatch{at, i + suffix.size(), text.substr(start, i - start)};
    }
    if (at == 0) return std::nullopt;
    from = at - 1;
  }
}

std::optional<long long> toInteger(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

const char* LavfiAudioFilter::name() const { return "audioFilter"; }

std::string LavfiAudioFilter::filterText(const std::string& transform) {
  std::string text = transform;
  const std::size_t at = text.find("-af ");
  if (at == std::string::npos) return text;
  text.erase(at, 4);
  trimChars(text, " \"");
  return text;
}

LavfiResult LavfiAudioFilter::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  std::string filter = filterText(desc.transform);

  CommonPattern pattern;
  pattern.opening.emptyLine = 19;
  pattern.opening.noOutputsLine = 41;
  pattern.opening.noStreamLine = 77;
  pattern.opening.adjustProbe = [&desc](SourceProbe& probe) {
    // An audio file's cover picture is no video to keep.
    if (hasAudioExtension(desc.inputs.front().value)) probe.video = 0.0;
  };
  pattern.chainOnto = [&](std::string& graph, bool hasVideo, bool hasAudio) {
    if (!hasAudio || filter.empty()) return;
    const std::string_view label = hasVideo ? kAudioLabel : kVideoLabel;
    const Placement placed = placeFilter(graph, label, filter, {",volume=", ",loudnorm="}, [&](std::string& g) {
      return mergeAudioFilter(parser, g, filter, hasVideo, hasAudio);
    });
    if (placed == Placement::MergeFailed) {
      logOperationError(kFunction, 55, "Failed to merge: " + desc.inputs.front().value + " and " + filter);
    }
  };
  pattern.source.subtitleClause = true;
  pattern.source.trim = TrimForm::WholeInput;
  pattern.source.audioFilter = filter;
  return processCommon(parser, desc, pattern);
}

bool LavfiAudioFilter::mergeAudioFilter(LavfiParser& parser, std::string& graph, std::string& filter, bool hasVideo,
                                        bool hasAudio) {
  if (!hasAudio) return false;
  const std::optional<ChainSpan> span = findChainEndingAt(graph, hasVideo ? kAudioLabel : kVideoLabel);
  if (!span) return false;
  std::string chain(span->withSeparator(graph));
  std::string rest = filter;

  // The later loudness target replaces the earlier one; its other options stay.
  {
    const std::optional<NumberMatch> wanted = findLastNumber(rest, "loudnorm=i=", "");
    const std::optional<NumberMatch> present = findLastNumber(chain, "loudnorm=i=", "");
    if (wanted && present) {
      const std::string target = fmt::format("loudnorm=i={}", wanted->number);
      // The very occurrences read are edited, never an earlier text that
      // merely starts alike (loudnorm=i=-2 inside loudnorm=i=-23).
      chain.replace(present->begin, present->end - present->begin, target);
      rest.erase(wanted->begin, wanted->end - wanted->begin);
    }
  }
  // Gains in dB add up.
  {
    const std::optional<NumberMatch> wanted = findLastNumber(rest, "volume=", "dB");
    const std::optional<NumberMatch> present = findLastNumber(chain, "volume=", "dB");
    if (wanted && present) {
      const std::optional<long long> added = toInteger(wanted->number);
      const std::optional<long long> earlier = toInteger(present->number);
      // Out of 64-bit range: no sum can be written, so the merge is declined.
      if (!added || !earlier || (*added > 0 && *earlier > INT64_MAX - *added) ||
          (*added < 0 && *earlier < INT64_MIN - *added)) {
        return false;
      }
      chain.replace(present->begin, present->end - present->begin, fmt::format("volume={}dB", *earlier + *added));
      rest.erase(wanted->begin, wanted->end - wanted->begin);
    }
  }
  trimChars(rest, " ,");
  if (!rest.empty()) {
    bool echoLike = false;
    for (std::string_view name : {"aecho", "chorus", "afftdn", "extrastereo", "earwax"}) {
      if (contains(chain, name)) {
        echoLike = true;
        break;
      }
    }
    if (echoLike) {
      // The rest follows the echo in a chain of its own, fed by a fresh label.
      chain += fmt::format("[a{0}];[a{0}]{1}", parser.takeLabel(), rest);
    } else {
      chain += fmt::format(",{}", rest);
    }
  }
  graph.replace(span->begin, span->label - span->begin, chain);
  filter = std::move(rest);
  return true;
}

}  // namespace qel
