#include "operations/lavfi_add_video_to_file.h"

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"
#include "operations/added_input_base.h"
#include "operations/added_input_fragment.h"

namespace qel {

namespace {

constexpr std::string_view kVideoLabel = "[out0]";

std::string videoLabel(std::uint32_t n) { return fmt::format("[v{}]", n); }

bool hasMapOption(std::string_view text) { return hasToken(splitWhitespace(text), "-map"); }

void refuse(const std::string& message) { logOperationError("process", 0, "addVideoToFile: " + message); }

// The texts one process call works on.
struct Work {
  std::string graph;
  std::string cmd;
  std::string overlayGraph;
  std::string mapText;                // the transform's map segment, "" without one
  std::vector<std::string> trims;     // "trim=" segments, in transform order
  std::vector<std::string> overlays;  // "overlay=" segments, in transform order
};

// An added input laid over the picture: a file at a position the trims cover.
bool isOverlaid(const Work& work, std::size_t position, const LavfiInputItem& item) {
  return position <= work.trims.size() && item.type == 1;
}
// An added subtitle file: a position after those the trims cover.
bool isAddedSubtitle(const Work& work, std::size_t position, const LavfiInputItem& item) {
  return position > work.trims.size() && isSubtitleFile(item.value);
}

// The source texts of a file base with its probed streams. False only when
// the path cannot be written.
bool processLocalFile(const LavfiInputItem& base, const SourceProbe& probe, Work& work) {
  if (probe.video < kUsableStreamSeconds) {
    logOperationError("processLocalFile", 86, "no video stream: " + base.value);
    return true;
  }
  std::optional<AddedInputBase> baseTexts = openAddedInputBase(base, probe);
  if (!baseTexts) {
    logOperationError("processLocalFile", 86, kUnwritablePathMessage + base.value);
    return false;
  }
  work.graph = std::move(baseTexts->graph);
  work.cmd = baseTexts->input.substr(1);  // "-i \"path\"", without the leading blank
  return true;
}

// Rewrites work.cmd into a fragment that adds and overlays the videos. False
// (logged) when the fragment cannot be extended.
bool buildOverlayCommand(LavfiParser& parser, const LavfiOperationDesc& desc, Work& work) {
  std::vector<std::string> tokens = splitWhitespace(work.cmd);
  if (tokens.empty()) return true;
  // The base's video is switched off: there is nothing to lay anything over.
  if (hasToken(tokens, "-vn")) return true;
  if (const std::string fault = fragmentFault(tokens); !fault.empty()) {
    refuse("command fragment with " + fault + ": " + work.cmd);
    return false;
  }
  std::size_t k = countTokens(tokens, "-i");
  // What the fragment's own graph already sends to the file.
  FilterOptions existing;
  if (const std::optional<std::size_t> f = findLastToken(tokens, "-filter_complex")) {
    parseFilterOptions(existing, "-filter_complex " + tokens[*f + 1]);
  }
  const bool mapSegment = hasMapOption(work.mapText);

  std::string addedInputs;
  std::string subtitleMaps;
  std::vector<std::uint32_t> overlaid;
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    if (isAddedSubtitle(work, i, item)) {
      addedInputs += *quotedInput(item.value);
      subtitleMaps += fmt::format(" -map {}", k);
      ++k;
    } else if (isOverlaid(work, i, item)) {
      const std::uint32_t n = parser.takeLabel();
      addedInputs += " -an" + *quotedInput(item.value);
      if (!work.overlayGraph.empty()) work.overlayGraph += ';';
      work.overlayGraph += fmt::format("[{}]{}{}", k, work.trims[i - 1], videoLabel(n));
      overlaid.push_back(n);
      ++k;
    }
  }
  std::string lastLabel;
  for (std::size_t j = 0; j < overlaid.size(); ++j) {
    const std::string label = videoLabel(parser.takeLabel());
    const std::string under = j == 0 ? std::string("[0:v]") : lastLabel;
    work.overlayGraph += ";" + under + videoLabel(overlaid[j]) + work.overlays[j] + label;
    lastLabel = label;
  }
  // The overlay chain ends unlabelled, so ffmpeg sends it to the output file.
  if (!lastLabel.empty()) replaceFirst(work.overlayGraph, lastLabel, "");

  // The base's video maps go only when the overlay takes the video's place; a
  // fragment that overlays nothing keeps its own video.
  if (!work.overlayGraph.empty()) LavfiAddVideoToFile::dropVideoMaps(tokens);

  const std::size_t p = *findLastToken(tokens, "-i");
  const std::optional<std::size_t> f = findLastToken(tokens, "-filter_complex");
  if (!f) {
    tokens[p + 1] += addedInputs;
    // Nothing overlaid: no filter graph at all, never an empty one.
    if (!work.overlayGraph.empty()) tokens[p + 1] += " -filter_complex \"" + work.overlayGraph + "\"";
  } else {
    if (!work.overlayGraph.empty()) joinFilterGraph(parser, tokens[*f + 1], work.overlayGraph, 'v');
    tokens[p + 1] += addedInputs;
  }
  const bool mapped = hasToken(tokens, "-map");
  work.cmd = joinTokens(tokens);
  if (!mapped) {
    // Subtitle maps alone would switch ffmpeg's own stream choice off and
    // leave the base's picture or sound out: they are mapped as well, unless
    // a graph already makes them.
    if (!mapSegment && !subtitleMaps.empty()) {
      if (work.overlayGraph.empty() && !existing.hasVideoFilter) work.cmd += " -map 0:v";
      if (!existing.hasAudioFilter) work.cmd += " -map 0:a?";
    }
    work.cmd += " " + work.mapText + subtitleMaps;
  } else {
    // The fragment's own maps choose the base's streams; the added subtitles
    // still need theirs.
    work.cmd += subtitleMaps;
  }
  return true;
}

// Rewrites work.graph: the added files through movie sources and the overlays.
void mergeLavfi(LavfiParser& parser, const LavfiOperationDesc& desc, Work& work) {
  if (work.trims.empty() || work.overlays.empty()) return;
  bool hasVideo = false;
  bool hasAudio = false;
  if (!hasOutLabels(work.graph, hasVideo, hasAudio)) {
    logOperationError("mergeLavfi", 256, "no audio, no video stream: " + work.graph);
  }
  if (!hasVideo) return;
  const std::string base = videoLabel(parser.takeLabel());
  replaceFirst(work.graph, kVideoLabel, base);
  std::vector<std::string> overlaid;
  for (std::size_t i = 1; i < desc.inputs.size() && i <= work.trims.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    if (item.type != 1) continue;
    const std::string label = videoLabel(parser.takeLabel());
    work.graph += ";movie='" + *escapeFilterPath(item.value) + "'," + work.trims[i - 1] + label;
    overlaid.push_back(label);
  }
  std::string previous = base;
  for (std::size_t j = 0; j < overlaid.size(); ++j) {
    const std::string label = videoLabel(parser.takeLabel());
    work.graph += ";" + previous + overlaid[j] + work.overlays[j] + label;
    previous = label;
  }
  replaceFirst(work.graph, previous, kVideoLabel);
}

}  // namespace

const char* LavfiAddVideoToFile::name() const { return "addVideoToFile"; }

void LavfiAddVideoToFile::dropVideoMaps(std::vector<std::string>& tokens) {
  for (std::size_t i = 0; i + 1 < tokens.size();) {
    const std::string& value = tokens[i + 1];
    if (tokens[i] == "-map" && (value.starts_with("0:v") || value.starts_with("[v"))) {
      tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i),
                   tokens.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      continue;
    }
    ++i;
  }
}

LavfiResult LavfiAddVideoToFile::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  OpeningRules rules;
  rules.emptyLine = 23;
  // An earlier graph is taken as it is; a file's missing video is refused by
  // processLocalFile.
  rules.requireOutputs = false;
  rules.needs = OpeningRules::Needs::Nothing;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& base = *opened->item;

  Work work;
  if (opened->isGraph()) {
    work.graph = base.value;
    work.cmd = earlierFragment(parser, base.value);
  } else if (!processLocalFile(base, opened->probe, work)) {
    return result;
  }
  parser.takeLabel();  // taken and not used, so label numbers stay where they were

  for (std::string& segment : splitSegments(desc.transform)) {
    if (segment.starts_with("trim=")) {
      work.trims.push_back(std::move(segment));
    } else if (segment.starts_with("overlay=")) {
      work.overlays.push_back(std::move(segment));
    } else if (segment.starts_with("-map")) {
      work.mapText = std::move(segment);
    }
  }
  if (work.trims.size() != work.overlays.size()) {
    logText(kLogError, "trims size is not equal to overlays size");
    return result;
  }
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    const bool writable = isOverlaid(work, i, item)        ? quotedInput(item.value) && escapeFilterPath(item.value)
                          : isAddedSubtitle(work, i, item) ? quotedInput(item.value).has_value()
                                                           : true;
    if (!writable) {
      refuse(kUnwritablePathMessage + item.value);
      return result;
    }
  }

  if (!buildOverlayCommand(parser, desc, work)) return result;
  mergeLavfi(parser, desc, work);
  result.cmd = std::move(work.cmd);
  completeResult(parser, result, std::move(work.graph), base.duration);
  return result;
}

}  // namespace qel
