#include "operations/lavfi_seek.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "base/log.h"
#include "operations/lavfi_cutter.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";

std::size_t countOf(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Replaces the first `label` by `text`; false without one.
bool replaceFirst(std::string& graph, std::string_view label, const std::string& text) {
  return replaceFirstUnquoted(graph, label, text);
}

// The trims that make the output start at S, with the timestamps reset so the
// output's clock starts at 0 instead of holding the first picture for S seconds.
std::string videoTrim(const std::string& seek) { return "trim=" + seek + ",setpts=PTS-STARTPTS"; }
std::string audioTrim(const std::string& seek) { return "atrim=" + seek + ",asetpts=PTS-STARTPTS"; }

// The graph of a local file opened at S.
std::optional<std::string> fileGraph(const std::string& path, const std::string& seek, const SourceProbe& probe) {
  const std::optional<std::string> escaped = escapeFilterPath(path);
  if (!escaped) return std::nullopt;
  std::string graph;
  bool filler = false;
  if (probe.video > 0.0) {
    graph = "movie='" + *escaped + "'";
    if (!seek.empty()) graph += ":seek_point=" + seek;
    if (probe.hasSubtitle) {
      graph += ",subtitles='" + *escaped + "'";
      if (probe.subtitleIndex > 0) graph += fmt::format(":si={}", probe.subtitleIndex);
    }
    // seek_point lands on the key frame before S: the trim drops the pictures
    // between it and S.
    if (!seek.empty()) graph += "," + videoTrim(seek);
    graph += kVideoLabel;
  } else {
    filler = true;
    graph = fmt::format("color=black:duration={}", probe.audio);
    if (!seek.empty()) graph += "," + videoTrim(seek);
    graph += kVideoLabel;
  }
  if (probe.audio > 0.0) {
    graph += ";amovie='" + *escaped + "'";
    if (!seek.empty()) {
      if (!filler) graph += ":seek_point=" + seek;
      graph += "," + audioTrim(seek);
    }
    graph += kAudioLabel;
  }
  return graph;
}

// The trim stages behind the output labels of an earlier graph.
void chainSeek(std::string& graph, const std::string& seek, bool hasVideo, bool hasAudio, double heldDuration) {
  if (hasVideo) {
    const std::size_t videoLabel = findUnquoted(graph, kVideoLabel);
    if (videoLabel != std::string::npos) {
      // A palette chain (one palettegen fed by a split) is trimmed before the
      // split, so both branches see the same pictures.
      const std::size_t palette = graph.find("palettegen=");
      const std::size_t split = palette == std::string::npos ? std::string::npos : graph.rfind(",split", palette);
      if (countOf(graph, "palettegen=") == 1 && split != std::string::npos && split > 4) {
        graph.insert(split, "," + videoTrim(seek));
      } else {
        replaceFirst(graph, kVideoLabel, "[outv];[outv]" + videoTrim(seek) + std::string(kVideoLabel));
      }
    }
    if (hasAudio) replaceFirst(graph, kAudioLabel, "[outa];[outa]" + audioTrim(seek) + std::string(kAudioLabel));
    return;
  }
  // Audio only: the audio moves to "[out1]" and a black picture of the
  // graph's length takes "[out0]".
  if (!replaceFirst(graph, kVideoLabel, "[outa];[outa]" + audioTrim(seek) + std::string(kAudioLabel))) return;
  graph.insert(
      0, fmt::format("color=black:duration={},", heldDuration) + videoTrim(seek) + std::string(kVideoLabel) + ";");
}

}  // namespace

const char* LavfiSeek::name() const { return "seekPosition"; }

std::string LavfiSeek::seekText(const std::string& transform) {
  constexpr std::string_view kTrim = " trim=";
  const std::size_t at = transform.find(kTrim);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + kTrim.size();
  const std::size_t stop = transform.find_first_of(" \"", begin);
  return transform.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
}

LavfiResult LavfiSeek::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  std::string seek;
  OpeningRules rules;
  rules.emptyLine = 19;
  rules.checkRequest = [&] {
    const std::string written = seekText(desc.transform);
    seek = written;
    // seek_point takes only a number of seconds: a clock text is written as
    // its seconds, and anything else that is no plain number (graph syntax
    // included) is refused rather than written into the graph.
    if (seek.find(':') != std::string::npos) seek = parseTimeValue(seek).secondsText;
    if (!written.empty() && !isSecondsText(seek)) {
      logAt(kLogError, kFunction, 20, "invalid seek position: " + desc.transform);
      return false;
    }
    return true;
  };
  rules.noOutputsLine = 41;
  rules.noStreamLine = 100;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;

  std::string graph;
  double inputSeconds = item.duration;
  if (opened->isGraph()) {
    graph = item.value;
    const double held = parser.durationOf(item.value);
    if (!(inputSeconds > 0.0)) inputSeconds = held;
    // A black picture of 0 seconds would end the output at once.
    chainSeek(graph, seek, opened->hasVideo, opened->hasAudio, held > 0.0 ? held : inputSeconds);
  } else {
    const SourceProbe& probe = opened->probe;
    std::optional<std::string> built = fileGraph(item.value, seek, probe);
    if (!built) {
      logAt(kLogError, kFunction, 100, kUnwritablePathMessage + item.value);
      return result;
    }
    graph = std::move(*built);
    if (!(inputSeconds > 0.0)) inputSeconds = std::max(probe.video, probe.audio);
  }
  const double position = seek.empty() ? 0.0 : std::strtod(seek.c_str(), nullptr);
  const double remaining = inputSeconds - position;
  completeResult(parser, result, std::move(graph), std::isfinite(remaining) && remaining > 0.0 ? remaining : 0.0);
  return result;
}

}  // namespace qel
