#include "operations/lavfi_cutter.h"

#include <cstdlib>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "base/log.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";

// The shortest text that reads back as the same double ("2.5", "3", "0.1").
std::string shortestNumber(double value) { return fmt::format("{}", value); }

// Inserts `text` right before the first `label`; false without one.
bool insertBeforeFirst(std::string& graph, std::string_view label, const std::string& text) {
  return insertBeforeUnquoted(graph, label, text);
}

// A time as the trims need it, in the shortest text that reads back the same.
TimeValue shortestTime(double seconds) { return {seconds, shortestNumber(seconds)}; }

// True when a chain after a speed change: a setpts that does more than reset
// the timestamps, or an atempo. Trims behind such a filter count on the changed
// time line, so an earlier trim cannot simply be shifted.
bool hasSpeedChange(std::string_view graph) {
  if (graph.find(",atempo=") != std::string_view::npos) return true;
  constexpr std::string_view kSetpts = ",setpts=";
  for (std::size_t at = graph.find(kSetpts); at != std::string_view::npos; at = graph.find(kSetpts, at + 1)) {
    const std::size_t begin = at + kSetpts.size();
    const std::size_t stop = graph.find_first_of(",;[", begin);
    const std::string_view expression =
        graph.substr(begin, (stop == std::string_view::npos ? graph.size() : stop) - begin);
    if (expression != "PTS-STARTPTS") return true;
  }
  return false;
}

bool isTrimRangeChar(char c) { return (c >= '0' && c <= '9') || c == '|' || c == '.'; }

// The groups of the last "<marker>A:B," of a chain that matches as a whole
// ".*<marker>([0-9|.]+):([0-9|.]+),.*" (no line terminator anywhere, as the
// pattern's dots do not cross one). Scanned by hand: the chain is client text
// and a backtracking matcher would recurse over its whole length.
bool findLastTrimRange(std::string_view chain, std::string_view marker, std::string& first, std::string& second) {
  if (chain.find_first_of("\r\n") != std::string_view::npos) return false;
  for (std::size_t at = chain.rfind(marker); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : chain.rfind(marker, at - 1)) {
    std::size_t i = at + marker.size();
    const std::size_t firstBegin = i;
    while (i < chain.size() && isTrimRangeChar(chain[i])) ++i;
    if (i == firstBegin || i >= chain.size() || chain[i] != ':') continue;
    const std::size_t secondBegin = ++i;
    while (i < chain.size() && isTrimRangeChar(chain[i])) ++i;
    if (i == secondBegin || i >= chain.size() || chain[i] != ',') continue;
    first.assign(chain.substr(firstBegin, secondBegin - 1 - firstBegin));
    second.assign(chain.substr(secondBegin, i - secondBegin));
    return true;
  }
  return false;
}

// Replaces the first `from` in graph[begin, end) by `to`. Returns the change
// in length.
std::ptrdiff_t replaceFirstWithin(std::string& graph, std::size_t begin, std::size_t end, const std::string& from,
                                  const std::string& to) {
  const std::size_t at = std::string_view(graph).substr(begin, end - begin).find(from);
  if (at == std::string_view::npos) return 0;
  graph.replace(begin + at, from.size(), to);
  return static_cast<std::ptrdiff_t>(to.size()) - static_cast<std::ptrdiff_t>(from.size());
}

// The plain cut of an earlier graph: a trim with a timestamp reset at each
// output label. With `resetFirst` the timestamps are reset before the trim as
// well, for a graph whose clock may not start at 0 (an earlier trim without a
// reset behind it): the span then counts on the earlier result's own time line.
void insertTrims(std::string& graph, const TimeValue& start, const TimeValue& end, bool hasVideo,
                 bool resetFirst = false) {
  const std::string video = fmt::format("{},trim={}:{},setpts=PTS-STARTPTS", resetFirst ? ",setpts=PTS-STARTPTS" : "",
                                        start.secondsText, end.secondsText);
  const std::string audio = fmt::format("{},atrim={}:{},asetpts=PTS-STARTPTS",
                                        resetFirst ? ",asetpts=PTS-STARTPTS" : "", start.secondsText, end.secondsText);
  insertBeforeFirst(graph, kVideoLabel, hasVideo ? video : audio);
  insertBeforeFirst(graph, kAudioLabel, audio);
}

}  // namespace

bool isSecondsText(std::string_view text) {
  if (text.empty() || text.size() > kMaxSecondsTextLength) return false;
  bool digit = false;
  bool point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

const char* LavfiCutter::name() const { return "cut"; }

void LavfiCutter::readRange(const std::string& transform, TimeValue& start, TimeValue& end) {
  start = TimeValue{};
  end = TimeValue{};
  FilterOptions options;
  parseFilterOptions(options, transform);
  bool haveStart = false;
  bool haveEnd = false;
  for (const FilterSegment& segment : options.segments) {
    if (!haveStart && segment.name == "ss") {
      start = parseTimeValue(segment.args);
      haveStart = true;
    } else if (!haveEnd && segment.name == "to") {
      end = parseTimeValue(segment.args);
      haveEnd = true;
    }
  }
  // ffmpeg refuses a trim with an empty start ("trim=:10"); a cut without a
  // readable start begins at the beginning.
  if (start.secondsText.empty()) start = TimeValue{0.0, "0"};
}

bool LavfiCutter::mergeTrim(std::string& graph, TimeValue& start, TimeValue& end, bool hasVideo, bool hasAudio) {
  std::string changed = graph;
  if (hasSpeedChange(graph)) {
    if (findUnquoted(changed, kVideoLabel) == std::string::npos) return false;
    const std::string a = shortestNumber(start.seconds);
    const std::string b = shortestNumber(end.seconds);
    // The span counts on the changed time line; the reset makes the output
    // start at 0 as a plain cut does.
    const std::string video = fmt::format(",trim={}:{},setpts=PTS-STARTPTS", a, b);
    const std::string audio = fmt::format(",atrim={}:{},asetpts=PTS-STARTPTS", a, b);
    if (hasVideo) {
      insertBeforeFirst(changed, kVideoLabel, video);
      if (hasAudio) insertBeforeFirst(changed, kAudioLabel, audio);
    } else {
      insertBeforeFirst(changed, kVideoLabel, audio);
    }
    graph = std::move(changed);
    return true;
  }

  const std::size_t videoLabel = findUnquoted(changed, kVideoLabel);
  if (videoLabel == std::string::npos) return false;
  const std::size_t semicolon = changed.rfind(';', videoLabel);
  const std::size_t chainBegin = semicolon == std::string::npos ? 0 : semicolon;
  std::string first;
  std::string second;
  const std::string_view chain = std::string_view(changed).substr(chainBegin, videoLabel - chainBegin);
  if (!findLastTrimRange(chain, hasVideo ? ",trim=" : ",atrim=", first, second)) return false;

  const std::string old = first + ":" + second;
  const double offset = std::strtod(first.c_str(), nullptr);
  const TimeValue newStart = shortestTime(start.seconds + offset);
  const TimeValue newEnd = shortestTime(end.seconds + offset);
  const std::string replacement = newStart.secondsText + ":" + newEnd.secondsText;
  replaceFirstWithin(changed, chainBegin, videoLabel, old, replacement);

  if (hasVideo && hasAudio) {
    const std::size_t audioLabel = findUnquoted(changed, kAudioLabel);
    if (audioLabel == std::string::npos) return false;
    const std::size_t audioSemicolon = changed.rfind(';', audioLabel);
    if (audioSemicolon == std::string::npos) return false;
    replaceFirstWithin(changed, audioSemicolon, audioLabel, old, replacement);
  }
  graph = std::move(changed);
  start = newStart;
  end = newEnd;
  return true;
}

LavfiResult LavfiCutter::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  TimeValue start;
  TimeValue end;
  OpeningRules rules;
  rules.emptyLine = 18;
  rules.checkRequest = [&] {
    readRange(desc.transform, start, end);
    if (start.seconds > end.seconds) {
      logAt(kLogError, kFunction, 35, "endTime < startTime, " + desc.transform);
      return false;
    }
    // The texts go into the graph as written: anything but a plain number of
    // seconds (a missing end, "abc", graph syntax) would break the graph.
    if (!isSecondsText(start.secondsText) || !isSecondsText(end.secondsText)) {
      logAt(kLogError, kFunction, 36, "invalid time range: " + desc.transform);
      return false;
    }
    return true;
  };
  rules.noOutputsLine = 49;
  rules.noStreamLine = 86;
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;

  std::string graph;
  if (opened->isGraph()) {
    graph = item.value;
    const bool hasVideo = opened->hasVideo;
    const bool hasAudio = opened->hasAudio;
    const std::size_t lastSemicolon = graph.rfind(';');
    const std::string_view tail = lastSemicolon == std::string::npos
                                      ? std::string_view(graph)
                                      : std::string_view(graph).substr(lastSemicolon + 1);
    const bool hasTrim =
        tail.find(",trim=") != std::string_view::npos || tail.find(",atrim=") != std::string_view::npos;
    if (hasTrim) {
      if (!mergeTrim(graph, start, end, hasVideo, hasAudio)) {
        logAt(kLogError, kFunction, 55, "Failed to merge:" + graph + " and " + desc.transform);
        // Returning the earlier graph would report a cut that never happened:
        // the span is cut at the labels instead. The earlier trim may have left
        // the clock where it began (trim=10:40 with no reset behind it), so the
        // clock is reset first and the span counts from the earlier result's start.
        insertTrims(graph, start, end, hasVideo, true);
      }
    } else {
      insertTrims(graph, start, end, hasVideo);
    }
  } else {
    SourceGraphSpec recipe;
    recipe.extensionGate = true;
    recipe.trim = TrimForm::CutRange;
    recipe.cutStart = start.secondsText;
    recipe.cutEnd = end.secondsText;
    recipe.duration = item.duration;
    std::optional<std::string> built = writeSourceGraph(kFunction, 86, item.value, opened->probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
  }
  completeResult(parser, result, std::move(graph), end.seconds - start.seconds);
  return result;
}

}  // namespace qel
