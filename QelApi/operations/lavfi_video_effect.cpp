#include "operations/lavfi_video_effect.h"

#include <array>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";

constexpr std::array<std::string_view, 5> kEffectMarkers = {",eq=", ",colorbalance=", ",hue=", ",unsharp=", ",noise="};
constexpr std::array<std::string_view, 8> kEffectKeys = {
    "brightness=", "contrast=", "gamma=", "saturation=", "colorbalance=", "hue=", "unsharp=", "noise="};

// The first "eq=" of a text that starts a filter (at the start, or after one
// of , ; ]), so an "eq=" inside a path or another filter's name ("freq=") is
// never taken for the eq filter.
std::size_t findEqFilter(std::string_view text) {
  constexpr std::string_view kEq = "eq=";
  for (std::size_t at = text.find(kEq); at != std::string_view::npos; at = text.find(kEq, at + 1)) {
    if (at == 0 || text[at - 1] == ',' || text[at - 1] == ';' || text[at - 1] == ']') return at;
  }
  return std::string_view::npos;
}

}  // namespace

const char* LavfiVideoEffect::name() const { return "videoEffect"; }

std::string LavfiVideoEffect::filterText(const std::string& transform) {
  constexpr std::string_view kVf = "-vf ";
  const std::size_t at = transform.find(kVf);
  if (at == std::string::npos) return {};
  std::string text = transform.substr(at + kVf.size());
  trimChars(text, " \"");
  return text;
}

bool LavfiVideoEffect::hasEffectFilter(std::string_view beforeOut0) {
  const std::size_t semicolon = beforeOut0.rfind(';');
  const std::string_view chain = semicolon == std::string_view::npos ? beforeOut0 : beforeOut0.substr(semicolon + 1);
  for (std::string_view marker : kEffectMarkers) {
    if (contains(chain, marker)) return true;
  }
  return false;
}

bool LavfiVideoEffect::mergeEffectChain(LavfiParser& parser, std::string& graph, const std::string& filter) {
  const std::size_t label = findUnquoted(graph, kVideoLabel);
  if (label == std::string::npos) return false;
  const std::size_t semicolon = label == 0 ? std::string::npos : graph.rfind(';', label - 1);
  const std::size_t begin = semicolon == std::string::npos ? 0 : semicolon;
  std::string chain = graph.substr(begin, label - begin);

  // Setting an option or filter a second time in one chain would make the
  // later value silently win or clash: such an effect becomes a stage of its own.
  for (std::string_view key : kEffectKeys) {
    if (contains(chain, key) && contains(filter, key)) {
      const std::uint32_t number = parser.takeLabel();
      graph.insert(label, fmt::format("[v{0}];[v{0}]{1}", number, filter));
      return true;
    }
  }

  for (std::string part : splitAt(filter, ',')) {
    trimSpaces(part);
    if (part.empty()) continue;
    const std::size_t chainEq = findEqFilter(chain);
    if (findEqFilter(part) != std::string::npos && chainEq != std::string::npos) {
      // The new eq options first, then those the chain's eq already had.
      chain.replace(chainEq, 3, part + ":");
    } else {
      chain += "," + part;
    }
  }
  graph.replace(begin, label - begin, chain);
  return true;
}

LavfiResult LavfiVideoEffect::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  const std::string filter = filterText(desc.transform);

  CommonPattern pattern;
  pattern.opening.emptyLine = 18;
  pattern.opening.noOutputsLine = 39;
  pattern.opening.noStreamLine = 68;
  pattern.chainOnto = [&](std::string& graph, bool hasVideo, bool /*hasAudio*/) {
    const std::size_t label = findUnquoted(graph, kVideoLabel);
    if (!hasVideo || label == std::string::npos || filter.empty()) return;
    if (!hasEffectFilter(std::string_view(graph).substr(0, label))) {
      graph.insert(label, "," + filter);
      return;
    }
    // The earlier graph as it came in, for the message (a failed merge leaves it unchanged).
    if (!mergeEffectChain(parser, graph, filter)) {
      logAt(kLogError, kFunction, 48, "Failed to merge: " + graph + " and " + filter);
    }
  };
  pattern.source.trim = TrimForm::WholeInput;
  pattern.source.videoFilter = filter;
  pattern.source.blackFiller = true;
  return processCommon(parser, desc, pattern);
}

}  // namespace qel
