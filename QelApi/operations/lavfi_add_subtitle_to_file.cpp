#include "operations/lavfi_add_subtitle_to_file.h"

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/text_helpers.h"
#include "operations/added_input_base.h"
#include "operations/added_input_fragment.h"

namespace qel {

namespace {

constexpr std::string_view kVideoLabel = "[out0]";

bool burnsIn(const LavfiOperationDesc& desc) { return contains(desc.transform, "subtitles"); }

void refuse(const std::string& function, const std::string& message) {
  logOperationError(function, 0, "addSubtitleToFile: " + message);
}

bool isVideoStreamValue(std::string_view value) { return value.starts_with("0:v") || value.starts_with("[v"); }

// Removes the first "-map <label>" that stands as two whole tokens (so
// "-map 0:v" does not eat the start of "-map 0:v:1").
void removeMap(std::string& text, std::string_view label) {
  const std::string needle = "-map " + std::string(label);
  std::size_t from = 0;
  while (true) {
    const std::size_t at = text.find(needle, from);
    if (at == std::string::npos) return;
    const std::size_t end = at + needle.size();
    const bool wholeStart = at == 0 || text[at - 1] == ' ';
    const bool wholeEnd = end == text.size() || text[end] == ' ';
    if (wholeStart && wholeEnd) {
      text.erase(at, needle.size());
      return;
    }
    from = at + 1;
  }
}

// The maps of the base's streams that ffmpeg would have chosen for a fragment
// that maps nothing, with `graphToken` its filter graph ("" without one). A
// graph's unlabelled outputs reach the file whatever the maps say, so only
// the base's streams of a kind the graph does not make are mapped.
std::string baseStreamMaps(const std::string& graphToken) {
  if (graphToken.empty()) return " -map 0";
  FilterOptions options;
  parseFilterOptions(options, "-filter_complex " + graphToken);
  std::string maps;
  if (!options.hasVideoFilter) maps += " -map 0:v?";
  if (!options.hasAudioFilter) maps += " -map 0:a?";
  return maps;
}

// The subtitles filter of a path; nullopt when the path has no escaped form.
std::optional<std::string> subtitlesFilter(const std::string& path) {
  const std::optional<std::string> escaped = escapeFilterPath(path);
  if (!escaped) return std::nullopt;
  return "subtitles='" + *escaped + "'";
}

// Source graph and fragment of a file base. False when nothing can be built
// (the failure is logged); a base without video leaves both texts empty.
bool processLocalFile(const LavfiOperationDesc& desc, const SourceProbe& probe, std::string& graph, std::string& cmd) {
  const LavfiInputItem& base = desc.inputs.front();
  if (probe.video < kUsableStreamSeconds) {
    logOperationError("processLocalFile", 52, "no video stream: " + base.value);
    return true;
  }

  std::string mapText;
  bool mapPiece = false;
  for (std::string piece : splitSegments(desc.transform)) {
    trimSpaces(piece);
    if (contains(piece, "subtitles")) continue;
    if (piece.starts_with("-map")) {
      mapText = piece;
      mapPiece = true;
    }
  }
  if (!mapPiece && !burnsIn(desc)) mapText = desc.transform;

  std::optional<AddedInputBase> baseTexts = openAddedInputBase(base, probe);
  if (!baseTexts) {
    refuse("processLocalFile", kUnwritablePathMessage + base.value);
    return false;
  }
  std::string fragment = base.prevOp + baseTexts->input;
  std::string built = std::move(baseTexts->graph);

  if (desc.inputs.size() >= 2) {
    const std::string& subtitle = desc.inputs[1].value;
    if (burnsIn(desc)) {
      const std::optional<std::string> filter = subtitlesFilter(subtitle);
      if (!filter) {
        refuse("processLocalFile", kUnwritablePathMessage + subtitle);
        return false;
      }
      const std::vector<std::string> tokens = splitWhitespace(mapText);
      std::string label = "0:v";
      for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i] == "-map" && isVideoStreamValue(tokens[i + 1])) {
          label = tokens[i + 1];
          break;
        }
      }
      fragment += fmt::format(" -filter_complex \"{}{}\"", bracketed(label), *filter);
      removeMap(mapText, label);
      // The graph is the same edit: the subtitles burnt into its video.
      const std::size_t at = findUnquoted(built, kVideoLabel);
      if (at != std::string::npos) built.insert(at, "," + *filter);
    } else {
      const std::optional<std::string> input = quotedInput(subtitle);
      if (!input) {
        refuse("processLocalFile", kUnwritablePathMessage + subtitle);
        return false;
      }
      fragment += *input;
      // A map of the subtitle input alone would leave the picture and sound
      // out of the file: without maps of its own the base goes in whole.
      if (!hasToken(splitWhitespace(mapText), "-map")) mapText += mapText.empty() ? "-map 0" : " -map 0";
      mapText += " -map 1";
    }
  }
  fragment += " " + mapText;
  graph = std::move(built);
  cmd = std::move(fragment);
  return true;
}

// Graph and fragment of an earlier step's graph. False when nothing can be built.
bool processLavfi(LavfiParser& parser, const LavfiOperationDesc& desc, std::string& graph, std::string& cmd) {
  const std::string& earlier = desc.inputs.front().value;
  std::string built = earlier;
  std::string fragment = earlierFragment(parser, earlier);
  const bool withSubtitle = desc.inputs.size() >= 2;
  if (!fragment.empty() && withSubtitle && !LavfiAddSubtitleToFile::addSubtitleToCommand(desc, fragment)) {
    return false;
  }
  bool hasVideo = false;
  bool hasAudio = false;
  if (!hasOutLabels(earlier, hasVideo, hasAudio)) {
    logOperationError("processLavfi", 133, "no audio, no video stream: " + earlier);
  }
  if (withSubtitle) {
    const std::string& subtitle = desc.inputs[1].value;
    if (burnsIn(desc)) {
      const std::optional<std::string> filter = subtitlesFilter(subtitle);
      if (!filter) {
        refuse("processLavfi", kUnwritablePathMessage + subtitle);
        return false;
      }
      const std::size_t at = findUnquoted(built, kVideoLabel);
      if (hasVideo && at != std::string::npos) built.insert(at, "," + *filter);
    } else if (fragment.empty()) {
      const std::optional<std::string> input = quotedInput(subtitle);
      if (!input || contains(earlier, "\"")) {
        refuse("processLavfi", kUnwritablePathMessage + subtitle);
        return false;
      }
      fragment = fmt::format("{} -filter_complex \"{}\" -map 0", input->substr(1), earlier);
      replaceFirst(fragment, "[out0]", "");
      replaceFirst(fragment, "[out1]", "");
    }
  }
  graph = std::move(built);
  cmd = std::move(fragment);
  return true;
}

}  // namespace

const char* LavfiAddSubtitleToFile::name() const { return "addSubtitleToFile"; }

bool LavfiAddSubtitleToFile::addSubtitleToCommand(const LavfiOperationDesc& desc, std::string& cmd) {
  if (desc.inputs.size() < 2) return true;
  const std::string& subtitle = desc.inputs[1].value;
  const std::vector<std::string> tokens = splitWhitespace(cmd);
  if (hasToken(tokens, "-vn")) return true;
  if (!tokens.empty() && (tokens.back() == "-map" || tokens.back() == "-filter_complex" || tokens.back() == "-i")) {
    refuse("addSubtitleToCommand", "command fragment with " + tokens.back() + " without a value: " + cmd);
    return false;
  }
  const std::size_t inputs = countTokens(tokens, "-i");
  std::string graphToken;
  std::string label;
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i] == "-filter_complex") graphToken = tokens[i + 1];
    if (tokens[i] == "-map" && isVideoStreamValue(tokens[i + 1])) label = tokens[i + 1];
  }

  if (!burnsIn(desc)) {
    const std::optional<std::string> input = quotedInput(subtitle);
    if (!input) {
      refuse("addSubtitleToCommand", kUnwritablePathMessage + subtitle);
      return false;
    }
    std::size_t at = cmd.find(" -filter_complex ");
    if (at == std::string::npos) at = cmd.find(" -map ");
    if (at == std::string::npos) {
      cmd += *input;
    } else {
      cmd.insert(at, *input);
    }
    // Without maps ffmpeg would choose the streams itself; the subtitle map
    // alone would switch that off, so what it would have chosen is mapped.
    if (!hasToken(tokens, "-map")) cmd += baseStreamMaps(graphToken);
    cmd += fmt::format(" -map {}", inputs);
    return true;
  }

  const std::optional<std::string> filter = subtitlesFilter(subtitle);
  if (!filter) {
    refuse("addSubtitleToCommand", kUnwritablePathMessage + subtitle);
    return false;
  }
  if (!graphToken.empty()) {
    FilterOptions options;
    parseFilterOptions(options, "-filter_complex " + graphToken);
    const FilterSegment video = lastFilterOfMedia(options, 'v');
    if (video.isFilter()) {
      const std::string text = video.args.empty() ? video.name : video.name + "=" + video.args;
      const std::size_t at = cmd.find(text);
      if (at == std::string::npos) {
        refuse("addSubtitleToCommand", "no place for the subtitles filter in: " + cmd);
        return false;
      }
      cmd.insert(at + text.size(), "," + *filter);
      return true;
    }
    if (label.empty()) {
      refuse("addSubtitleToCommand", "no video stream to burn the subtitles into: " + cmd);
      return false;
    }
    const std::size_t at = cmd.find(graphToken);
    if (at == std::string::npos) return false;
    std::size_t end = at + graphToken.size();
    if (graphToken.size() >= 2 && graphToken.back() == '"') --end;
    cmd.insert(end, ";" + bracketed(label) + *filter);
    removeMap(cmd, label);
    return true;
  }
  const std::size_t map = cmd.find(" -map ");
  if (map == std::string::npos) {
    cmd += fmt::format(" -filter_complex \"[0:v]{}\"", *filter);
    return true;
  }
  if (label.empty()) {
    refuse("addSubtitleToCommand", "no video stream to burn the subtitles into: " + cmd);
    return false;
  }
  // The filter's unlabelled output takes the place of the video map.
  cmd.insert(map, fmt::format(" -filter_complex \"{}{}\"", bracketed(label), *filter));
  removeMap(cmd, label);
  return true;
}

LavfiResult LavfiAddSubtitleToFile::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  OpeningRules rules;
  // processLavfi checks an earlier graph's outputs, processLocalFile a file's video.
  rules.requireOutputs = false;
  rules.needs = OpeningRules::Needs::Nothing;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& base = *opened->item;

  std::string graph;
  std::string cmd;
  const bool built =
      opened->isGraph() ? processLavfi(parser, desc, graph, cmd) : processLocalFile(desc, opened->probe, graph, cmd);
  if (!built) return result;
  result.cmd = std::move(cmd);
  completeResult(parser, result, std::move(graph), base.duration);
  return result;
}

}  // namespace qel
