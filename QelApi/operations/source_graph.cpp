#include "operations/source_graph.h"

#include <cmath>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/lavfi_parser.h"
#include "commands/probe_document.h"
#include "common/ascii_case.h"
#include "common/media_extensions.h"

namespace qel {

namespace {

constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";

}  // namespace

SourceProbe readSourceProbe(const ProbeDocument& doc) {
  SourceProbe probe;
  getVideoDuration(doc, probe.video);
  getAudioDuration(doc, probe.audio);
  int32_t index = 0;
  double seconds = 0.0;
  if (scanSubtitleStreams(doc, index, seconds) && seconds > 0) {
    probe.hasSubtitle = true;
    probe.subtitleIndex = index;
  }
  return probe;
}

bool probeSource(LavfiParser& parser, const std::string& path, SourceProbe& out) {
  ProbeDocument doc;
  const bool ok = parser.probeFile(path, doc);
  out = readSourceProbe(doc);
  return ok;
}

bool hasVideoExtension(std::string_view path) {
  for (std::string_view extension : VideoExtensions) {
    if (asciiIEndsWith(path, extension)) return true;
  }
  return false;
}

std::optional<std::string> buildSourceGraph(const std::string& path, const SourceProbe& probe,
                                            const SourceGraphSpec& recipe) {
  const std::optional<std::string> escapedPath = escapeFilterPath(path);
  if (!escapedPath) return std::nullopt;
  const std::string& escaped = *escapedPath;
  double video = probe.video;
  const double audio = probe.audio;
  if (recipe.extensionGate && !hasVideoExtension(path)) video = 0.0;

  // One "has video" test decides both whether the video chain is written and
  // how the audio chain joins it, so no graph can end up with two "[out0]".
  const bool hasVideoChain = video > 0.0;
  const bool hasFiller = !hasVideoChain && recipe.blackFiller;
  const bool videoPrecedes = hasVideoChain || hasFiller;
  // With the black filler the audio stands in for the video in this test.
  // A request duration that reads as 0 (absent or unreadable) would make
  // trim=0:0, an empty output: then the file is taken whole, untrimmed.
  const bool knownDuration = recipe.duration > 0.0 && std::isfinite(recipe.duration);
  const bool trimWholeInput = recipe.trim == TrimForm::WholeInput && knownDuration &&
                              (hasFiller ? audio : video) > kUsableStreamSeconds && audio > kUsableStreamSeconds;

  std::string out;
  if (hasVideoChain) {
    out += fmt::format("movie='{}'{}", escaped, recipe.videoSourceOptions);
    if (recipe.subtitleClause && probe.hasSubtitle) {
      out += fmt::format(",subtitles='{}'", escaped);
      if (probe.subtitleIndex > 0) out += fmt::format(":si={}", probe.subtitleIndex);
    }
    if (recipe.trim == TrimForm::CutRange) {
      out += fmt::format(",trim={}:{},setpts=PTS-STARTPTS", recipe.cutStart, recipe.cutEnd);
    } else if (trimWholeInput) {
      out += fmt::format(",trim=0:{:g},setpts=PTS-STARTPTS", recipe.duration);
    }
    if (!recipe.videoFilter.empty()) out += "," + recipe.videoFilter;
    out += kVideoLabel;
  } else if (hasFiller) {
    // Without a known request duration the picture lasts as long as the audio,
    // never 0 seconds.
    out += fmt::format("color=black:duration={:g}{}", knownDuration ? recipe.duration : audio, kVideoLabel);
  }

  if (audio > 0.0) {
    if (videoPrecedes) out += ';';
    out += fmt::format("amovie='{}'{}", escaped, recipe.audioSourceOptions);
    if (recipe.trim == TrimForm::CutRange) {
      out += fmt::format(",atrim={}:{},asetpts=PTS-STARTPTS", recipe.cutStart, recipe.cutEnd);
    } else if (trimWholeInput) {
      out += fmt::format(",atrim=0:{:g},asetpts=PTS-STARTPTS", recipe.duration);
    }
    if (!recipe.audioFilter.empty()) out += "," + recipe.audioFilter;
    out += videoPrecedes ? kAudioLabel : kVideoLabel;
  } else if (videoPrecedes && !recipe.silentAudio.empty()) {
    out += ';';
    out += recipe.silentAudio;
    out += kAudioLabel;
  }
  return out;
}

std::string_view ChainSpan::body(std::string_view graph) const {
  std::size_t start = begin;
  if (start < graph.size() && graph[start] == ';') ++start;
  return start <= label ? graph.substr(start, label - start) : std::string_view();
}

std::string_view ChainSpan::withSeparator(std::string_view graph) const { return graph.substr(begin, label - begin); }

std::optional<ChainSpan> findChainEndingAt(std::string_view graph, std::string_view label) {
  const std::size_t at = findUnquoted(graph, label);
  if (at == std::string_view::npos) return std::nullopt;
  ChainSpan span;
  span.label = at;
  const std::size_t separator = at == 0 ? std::string_view::npos : graph.rfind(';', at - 1);
  span.begin = separator == std::string_view::npos ? 0 : separator;
  return span;
}

Placement placeFilter(std::string& graph, std::string_view label, std::string_view filter,
                      const std::vector<std::string_view>& markers,
                      const std::function<bool(std::string& graph)>& merge) {
  const std::optional<ChainSpan> span = findChainEndingAt(graph, label);
  if (!span) return Placement::NoLabel;
  const std::string_view chain = span->withSeparator(graph);
  bool marked = false;
  for (std::string_view marker : markers) {
    if (chain.find(marker) != std::string_view::npos) {
      marked = true;
      break;
    }
  }
  if (!marked) {
    graph.insert(span->label, "," + std::string(filter));
    return Placement::Inserted;
  }
  if (merge && merge(graph)) return Placement::Merged;
  return Placement::MergeFailed;
}

void chainFilters(std::string& graph, bool hasVideo, bool hasAudio, std::string_view videoFilter,
                  std::string_view audioFilter) {
  if (hasVideo && !videoFilter.empty()) {
    const std::size_t at = findUnquoted(graph, kVideoLabel);
    if (at != std::string::npos) graph.insert(at, "," + std::string(videoFilter));
  }
  if (hasAudio && !audioFilter.empty()) {
    const std::size_t at = findUnquoted(graph, hasVideo ? kAudioLabel : kVideoLabel);
    if (at != std::string::npos) graph.insert(at, "," + std::string(audioFilter));
  }
}

}  // namespace qel
