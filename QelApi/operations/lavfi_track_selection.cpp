#include "operations/lavfi_track_selection.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/probe_document.h"
#include "base/text_helpers.h"
#include "common/command_quote.h"
#include "common/text_edit.h"

namespace qel {

namespace {

constexpr const char* kSubtitlesClause = ",subtitles=";

// The number that starts at `text`'s front, read as atoi would (a sign, then
// decimal digits; 0 without any), clamped to the int32 range so a long digit
// run cannot overflow.
std::int32_t leadingInteger(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) value = INT32_MAX;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

// A further input that takes part in the command: its kind decides the map.
enum class FurtherKind { Skip, Subtitle, Audio };

FurtherKind kindOf(const LavfiInputItem& item) {
  if (item.type == 2) return FurtherKind::Skip;
  if (isSubtitleFile(item.value)) return FurtherKind::Subtitle;
  if (isAudioFile(item.value)) return FurtherKind::Audio;
  return FurtherKind::Skip;
}

}  // namespace

const char* LavfiTrackSelection::name() const { return "trackSelection"; }

LavfiResult LavfiTrackSelection::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  OpeningRules rules;
  // An earlier graph is taken as it is; a file's paths are checked before it
  // is probed.
  rules.requireOutputs = false;
  rules.probeFile = false;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& first = *opened->item;
  std::string graph;
  std::string cmd;
  if (opened->isGraph()) {
    graph = first.value;
  } else {
    processLocalFile(parser, desc, graph, cmd);
  }
  result.cmd = std::move(cmd);
  completeResult(parser, result, std::move(graph), first.duration);
  return result;
}

void LavfiTrackSelection::processLocalFile(LavfiParser& parser, const LavfiOperationDesc& desc, std::string& graph,
                                           std::string& cmd) const {
  const LavfiInputItem& first = desc.inputs.front();
  if (first.type == 2) {
    logOperationError("processLocalFile", 51, "TrackSelection: find lavfi path, " + first.value);
    graph = first.value;
    return;
  }

  // Every path that reaches the graph or the double-quoted inputs of the
  // fragment must be writable there; one that is not refuses the request
  // before anything (the label counter included) changes.
  const std::optional<std::string> escaped = escapeFilterPath(first.value);
  const std::string* unwritable = escaped ? nullptr : &first.value;
  for (std::size_t i = 1; unwritable == nullptr && i < desc.inputs.size(); ++i) {
    if (kindOf(desc.inputs[i]) != FurtherKind::Skip && !escapeFilterPath(desc.inputs[i].value)) {
      unwritable = &desc.inputs[i].value;
    }
  }
  if (unwritable != nullptr) {
    logOperationError("processLocalFile", 51, kUnwritablePathMessage + *unwritable);
    graph.clear();
    cmd.clear();
    return;
  }

  ProbeDocument doc;
  parser.probeFile(first.value, doc);

  std::string video;
  std::string audio;
  const std::vector<std::string> words = splitWhitespace(desc.transform);
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] != "-map") continue;
    const std::string& value = words[i + 1];
    if (value.starts_with("0:v")) {
      video = fmt::format("movie='{}'", *escaped);
    } else if (value.starts_with("0:a") && audio.empty()) {
      audio = fmt::format("amovie='{}'", *escaped);
      if (value.starts_with("0:a:")) {
        std::int32_t index = 0;
        if (findStreamIndex(doc, "audio", leadingInteger(std::string_view(value).substr(4)), index)) {
          audio += fmt::format(":si={}", index);
        }
      }
    }
  }

  std::string furtherInputs;
  std::string furtherMaps;
  int inputNumber = 1;
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    const FurtherKind kind = kindOf(item);
    if (kind == FurtherKind::Skip) continue;
    const std::string itemPath = *escapeFilterPath(item.value);
    furtherInputs += " " + item.prevOp + *quotedInputArgument(item.value);
    if (kind == FurtherKind::Subtitle) {
      furtherMaps += fmt::format(" -map {}", inputNumber++);
      // Burnt in only where there is a picture: without a video chain the
      // clause alone would stand as a graph with no source.
      if (!video.empty() && !contains(video, kSubtitlesClause)) video += fmt::format(",subtitles='{}'", itemPath);
      continue;
    }
    furtherMaps += fmt::format(" -map {}:a", inputNumber++);
    if (!audio.empty()) continue;
    if (first.duration <= item.duration) {
      audio = fmt::format("amovie='{}'", itemPath);
    } else {
      const std::uint32_t label = parser.takeLabel();
      parser.takeLabel();
      audio = fmt::format(
          "amovie='{}'[a{}];anullsrc=cl=stereo:r=44100:duration={}[a{}];[a{}][a{}]acrossfade=d=0.1:c1=exp:c2=exp",
          itemPath, label, first.duration - item.duration + 1.0, label + 1, label, label + 1);
    }
  }

  // A request without a usable duration would give trim=0:0, an empty
  // output: the file is then taken whole, as the source-graph builder does.
  if (!video.empty() && !audio.empty() && first.duration > 0.0 && std::isfinite(first.duration)) {
    const std::string length = doubleToString(first.duration);
    video += ",trim=0:" + length + ",setpts=PTS-STARTPTS";
    audio += ",atrim=0:" + length + ",asetpts=PTS-STARTPTS";
  }

  graph.clear();
  if (!video.empty()) graph = video + "[out0]";
  if (!audio.empty()) graph += video.empty() ? audio + "[out0]" : ";" + audio + "[out1]";

  std::string streamOptions;
  if (video.empty()) streamOptions = "-vn";
  if (audio.empty()) streamOptions += streamOptions.empty() ? "-an" : " -an";
  // Every path here passed escapeFilterPath above, which refuses what cannot
  // be quoted.
  cmd = streamOptions + *quotedInputArgument(first.value) + " " + furtherInputs + " " + desc.transform + " " +
        furtherMaps;
  trimChars(cmd, " ");
}

}  // namespace qel
