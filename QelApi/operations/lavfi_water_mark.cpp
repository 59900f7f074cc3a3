#include "operations/lavfi_water_mark.h"

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "base/log.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";

enum class MarkKind { Skip, Overlay, Text };

// What a further item carries, and its text cut before its first "[out0]".
MarkKind kindOf(const LavfiInputItem& item, std::string_view& head) {
  if (item.type != 2) return MarkKind::Skip;
  head = std::string_view(item.value).substr(0, findUnquoted(item.value, kVideoLabel));
  if (head.starts_with("movie=")) return MarkKind::Overlay;
  if (head.starts_with("drawtext=")) return MarkKind::Text;
  return MarkKind::Skip;
}

// Replaces every unquoted `from` in `text` by `to`, left to right, without
// overlaps, in one pass: a picture's path may hold label text.
void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::string replaced;
  std::size_t start = 0;
  for (std::size_t at = findUnquoted(text, from); at != std::string::npos; at = findUnquoted(text, from, start)) {
    replaced.append(text, start, at - start);
    replaced += to;
    start = at + from.size();
  }
  if (start == 0) return;
  replaced.append(text, start, std::string::npos);
  text = std::move(replaced);
}

}  // namespace

const char* LavfiWaterMark::name() const { return "waterMark"; }

LavfiResult LavfiWaterMark::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  OpeningRules rules;
  rules.emptyLine = 31;
  rules.checkGathered = [&desc](LavfiResult& /*result*/) {
    // Watermarks land in the graph, which the command text holds in double
    // quotes; one holding a double quote refuses the request before any label
    // is taken.
    for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
      std::string_view head;
      if (kindOf(desc.inputs[i], head) != MarkKind::Skip && head.find('"') != std::string_view::npos) {
        logAt(kLogError, kFunction, 31, "watermark cannot be written into a filter graph: " + desc.inputs[i].value);
        return false;
      }
    }
    return true;
  };
  // An earlier graph is taken as it is.
  rules.requireOutputs = false;
  rules.noStreamLine = 54;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& first = *opened->item;
  const SourceProbe& probe = opened->probe;

  std::string graph;
  if (opened->isGraph()) {
    graph = first.value;
  } else {
    SourceGraphSpec recipe;  // bare sources: no trim, no filters, subtitles kept
    std::optional<std::string> built = writeSourceGraph(kFunction, 54, first.value, probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
    // An audio-only file keeps its audio in "[out1]" here, the label this
    // operation has always given it.
    if (!(probe.video > 0.0) && graph.ends_with(kVideoLabel)) {
      graph.replace(graph.size() - kVideoLabel.size(), kVideoLabel.size(), "[out1]");
    }
  }

  if (desc.inputs.size() > 1) {
    const std::uint32_t base = parser.takeLabel();
    std::string pictures;
    std::string texts;
    for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
      std::string_view head;
      const MarkKind kind = kindOf(desc.inputs[i], head);
      if (kind == MarkKind::Overlay) {
        if (!pictures.empty()) pictures += fmt::format("[v{}];", parser.takeLabel());
        const std::uint32_t own = parser.takeLabel();
        std::string mark(head);
        replaceAll(mark, "[v1]", fmt::format("[v{}]", own));
        replaceAll(mark, "[v0]", fmt::format("[v{}]", own - 1));
        pictures += mark;
      } else if (kind == MarkKind::Text) {
        texts += ',';
        texts += head;
      }
    }
    if (!pictures.empty()) {
      const std::size_t at = findUnquoted(graph, kVideoLabel);
      if (at != std::string::npos) graph.replace(at, kVideoLabel.size(), fmt::format("[v{}]", base));
      graph += ";" + pictures + std::string(kVideoLabel);
    }
    if (!texts.empty()) {
      const std::size_t at = findUnquoted(graph, kVideoLabel);
      if (at != std::string::npos) graph.insert(at, texts);
    }
  }
  completeResult(parser, result, std::move(graph), first.duration);
  return result;
}

}  // namespace qel
