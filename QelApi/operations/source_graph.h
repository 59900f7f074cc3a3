// The source-graph builder every editing operation shares: the lavfi text that
// opens a local media file with the movie/amovie sources, trims it, applies the
// operation's filters and ends each stream in its output label, and the edits
// that chain a filter onto a graph made by an earlier step.
//
// Label convention: a graph ends its video in "[out0]" and its audio in
// "[out1]"; a graph with one stream (audio only) ends it in "[out0]". Chains are
// separated by ";", filters by ",". Numbers written into graphs here use the
// stream form (%g, six significant digits: 12.5, 3723.46, 1.23457e+06).
//
// An operation varies the graph only through SourceGraphSpec; the texts, their
// order and the stream thresholds live here, once. The functions are pure text
// functions over their arguments (probeSource excepted, which runs ffprobe
// through the parser) and are safe on any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

class LavfiParser;
struct ProbeDocument;

// What the probe tells about a file's streams.
struct SourceProbe {
  double video = 0.0;        // video duration in seconds, 0 when absent
  double audio = 0.0;        // audio duration in seconds, 0 when absent
  bool hasSubtitle = false;  // a "mov_text" subtitle stream with a positive duration
  int subtitleIndex = 0;     // its position among the subtitle streams, from 0
};

// Below this a probed duration counts as "no such stream" for the refusals and
// for the whole-input trim.
inline constexpr double kUsableStreamSeconds = 0.001;

// What a probe tells about the streams (all zero when it did not parse, which
// reads as a file without streams).
SourceProbe readSourceProbe(const ProbeDocument& doc);

// Probes `path` through parser.probeFile and fills `out` as readSourceProbe
// does. Returns the probe's ok.
bool probeSource(LavfiParser& parser, const std::string& path, SourceProbe& out);

enum class TrimForm {
  None,        // no trim
  CutRange,    // ",trim=" a ":" b always (a, b are cutStart, cutEnd)
  WholeInput,  // ",trim=0:" D, only when both streams are usable (> 0.001 s)
};

// The parameters through which an operation varies the source graph.
struct SourceGraphSpec {
  std::string videoSourceOptions;  // written right after the quote closing the path in movie='...'
  std::string audioSourceOptions;  // the same for amovie='...'
  bool subtitleClause = true;      // ",subtitles='E'[:si=N]" for a mov_text stream
  bool extensionGate = false;      // video only for paths ending in a video extension
  TrimForm trim = TrimForm::None;
  std::string cutStart;  // CutRange texts, written as given
  std::string cutEnd;
  double duration = 0.0;     // D: the first input's request duration; when it is not
                             // above 0 no whole-input trim is written and the black
                             // filler lasts as long as the probed audio
  std::string videoFilter;   // "," + text at the end of the video chain when not empty
  std::string audioFilter;   // "," + text at the end of the audio chain when not empty
  bool blackFiller = false;  // "color=black:duration=D[out0]" for a file without video
  // A chain written when the file has no audio but a video chain (or filler)
  // precedes: ";" + silentAudio + "[out1]". Empty: the graph has only "[out0]".
  std::string silentAudio;
};

// The message an operation logs when buildSourceGraph refuses a path.
inline constexpr const char* kUnwritablePathMessage = "path cannot be written into a filter graph: ";

// True when `path` ends, ASCII case ignored, with one of the video extensions.
bool hasVideoExtension(std::string_view path);

// Writes the source graph of the local file `path` with the probed streams.
// Video is written when probe.video > 0 (the one "has video" test, also used to
// choose between ";"/"[out1]" and "[out0]" for the audio chain); audio when
// probe.audio > 0. Returns "" when no stream is left (the caller refuses files
// without usable streams before calling), and nullopt when the path has no
// escaped form (escapeFilterPath refuses a double quote): the caller must
// refuse the request.
std::optional<std::string> buildSourceGraph(const std::string& path, const SourceProbe& probe,
                                            const SourceGraphSpec& recipe);

// Where the chain that ends at a label lies in a graph.
struct ChainSpan {
  std::size_t begin = 0;  // index of the ";" that starts the chain, or 0
  std::size_t label = 0;  // index of the label itself
  // The chain text without its leading ";" (up to, not including, the label).
  std::string_view body(std::string_view graph) const;
  // The chain text with its leading ";" when there is one: graph[begin, label).
  std::string_view withSeparator(std::string_view graph) const;
};

// The chain ending at the first occurrence of `label`; nullopt without one.
std::optional<ChainSpan> findChainEndingAt(std::string_view graph, std::string_view label);

enum class Placement {
  Inserted,     // "," + filter went in right before the label
  Merged,       // the chain held a marker and the merge function changed it
  MergeFailed,  // the chain held a marker and the merge refused; graph unchanged
  NoLabel,      // the label is missing; graph unchanged
};

// Places `filter` at the end of the chain that ends at the first `label`: when
// that chain contains none of `markers` (its kind of filter is not there yet),
// "," + filter is inserted right before the label; otherwise `merge` is called
// with the graph (it must leave the graph unchanged when it returns false; a
// null merge counts as a refusal).
Placement placeFilter(std::string& graph, std::string_view label, std::string_view filter,
                      const std::vector<std::string_view>& markers,
                      const std::function<bool(std::string& graph)>& merge = nullptr);

// Chains filters onto an earlier graph whose outputs hasOutLabels reported:
// the video filter (when not empty and the graph has video) goes right before
// the first "[out0]"; then the audio filter (when not empty and the graph has
// audio) right before the first "[out1]" when the graph also has video, else
// before the first "[out0]". Labels and the rest of the graph stay.
void chainFilters(std::string& graph, bool hasVideo, bool hasAudio, std::string_view videoFilter,
                  std::string_view audioFilter);

}  // namespace qel
