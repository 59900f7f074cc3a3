#include "operations/lavfi_pic_to_gif.h"

#include <fmt/format.h>

#include "common/text_edit.h"
#include "base/text_helpers.h"
#include "commands/filter_text.h"

namespace qel {

namespace {

constexpr std::string_view kPaletteChain = ",split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse[out0]";

// The text of an earlier graph up to its first "[out0]" (all of it without one).
std::string_view headBeforeOutput(std::string_view value) { return value.substr(0, findUnquoted(value, "[out0]")); }

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

// Text that goes into the graph, which the command text later holds in double
// quotes: a double quote would end that quoting early.
bool writableInGraph(std::string_view text) { return text.find('"') == std::string_view::npos; }

}  // namespace

const char* LavfiPicToGif::name() const { return "pictureToGif"; }

LavfiPicToGif::TransformParts LavfiPicToGif::splitTransform(const std::string& transform) {
  // A hand-written match of the whole text against
  // "(setpts=[0-9|.]+\*PTS),(.*?)" in ECMAScript terms, where '.' takes no line
  // break; scanned once, so a long client text costs linear time.
  constexpr std::string_view kHead = "setpts=";
  constexpr std::string_view kTail = "*PTS,";
  TransformParts parts;
  if (transform.starts_with(kHead)) {
    std::size_t i = kHead.size();
    while (i < transform.size() &&
           ((transform[i] >= '0' && transform[i] <= '9') || transform[i] == '|' || transform[i] == '.')) {
      ++i;
    }
    if (i > kHead.size() && std::string_view(transform).substr(i, kTail.size()) == kTail) {
      const std::size_t rest = i + kTail.size();
      bool oneLine = true;
      for (std::size_t j = rest; j < transform.size(); ++j) {
        if (isLineBreak(transform[j])) {
          oneLine = false;
          break;
        }
      }
      if (oneLine) {
        parts.rate = transform.substr(0, i + kTail.size() - 1);
        parts.filter = transform.substr(rest);
        return parts;
      }
    }
  }
  parts.filter = transform;
  trimChars(parts.filter, " ,");
  return parts;
}

LavfiResult LavfiPicToGif::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  LavfiResult result;
  if (desc.inputs.empty()) {
    logOperationError("process", 21, "inputs is empety");
    return result;
  }
  const TransformParts parts = splitTransform(desc.transform);
  if (!writableInGraph(desc.transform)) {
    logOperationError("process", 21, "transform cannot be written into a filter graph: " + desc.transform);
    return result;
  }

  std::string pictures;
  std::string texts;
  std::size_t count = 0;
  double total = 0.0;
  for (const LavfiInputItem& item : desc.inputs) {
    if (item.type != 2) continue;
    collectInputFiles(parser, item, result.inputFiles);
    const std::string_view head = headBeforeOutput(item.value);
    const bool picture = item.value.starts_with("movie=");
    const bool text = !picture && item.value.starts_with("drawtext=");
    if ((picture || text) && !writableInGraph(head)) {
      logOperationError("process", 21, "input cannot be written into a filter graph: " + item.value);
      result.graph.clear();
      return result;
    }
    if (picture) {
      if (count > 0) pictures += ',';
      pictures += head;
      pictures += fmt::format("[v{}]", count++);
      total += item.duration;
    } else if (text) {
      texts += ',';
      texts += head;
    }
  }

  std::string graph;
  if (count > 0) {
    graph = pictures + ",";
    for (std::size_t i = 0; i < count; ++i) graph += fmt::format("[v{}]", i);
    graph += fmt::format("concat=n={}", count);
    if (!parts.filter.empty()) graph += "," + parts.filter;
    graph += texts;
    if (!parts.rate.empty()) graph += "," + parts.rate;
    graph += kPaletteChain;
  }
  completeResult(parser, result, std::move(graph), total);
  return result;
}

}  // namespace qel
