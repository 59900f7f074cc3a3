#include "commands/graph_join.h"
#include "commands/filter_text.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/vocabulary.h"

namespace qel {

namespace {

using LabelSource = std::function<std::int32_t()>;

// Temporary numbers of one renumbering start here.
constexpr int kFirstTemporary = 1000;

constexpr std::string_view kEscapedQuote = "'\\\\\\''";

struct Range {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// ---- Quoted filter arguments ---------------------------------------------------

// The quoted ranges of a text (quotedRanges, filter_text.h): filter arguments
// such as movie='...' and text='...', and double-quoted "-i" paths. Each range
// covers its quotes. A quote after a blank is the quote round a whole option
// value, not an argument, and is not a range.
std::vector<Range> quotedArguments(std::string_view text) {
  std::vector<Range> ranges;
  for (const QuotedRange& range : quotedRanges(text)) ranges.push_back({range.begin, range.end});
  return ranges;
}

// The end of the quoted range that contains `pos`, or `pos` itself when it lies
// outside every range.
std::size_t skipQuoted(const std::vector<Range>& ranges, std::size_t pos) {
  for (const Range& r : ranges) {
    if (pos >= r.begin && pos < r.end) return r.end;
  }
  return pos;
}

bool insideQuoted(const std::vector<Range>& ranges, std::size_t pos) {
  return skipQuoted(ranges, pos) != pos;
}

// ---- Option values -------------------------------------------------------------

struct Token {
  std::string text;
  std::size_t begin = 0;  // first character of the raw token
  std::size_t end = 0;    // just past its last character
};

// Splits the option text into tokens the way the option parser does, keeping
// where each token stands in the raw text.
std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t pos = 0;
  while (!atTextEnd(text, pos)) {
    std::size_t begin = pos;
    while (begin < text.size() && kFilterWhitespace.find(text[begin]) != std::string_view::npos) {
      ++begin;
    }
    const std::size_t before = pos;
    std::string token = readFilterToken(text, pos, " ");
    if (token.empty() || pos == before) break;
    std::size_t end = pos;
    while (end > begin && kFilterWhitespace.find(text[end - 1]) != std::string_view::npos) --end;
    tokens.push_back({std::move(token), begin, end});
  }
  return tokens;
}

// Where a filter option's value stands: the option token, the raw value token,
// and the graph inside it (without a pair of enclosing quotes).
struct OptionValue {
  Range option;
  Range value;
  Range inner;
};

Range innerOf(std::string_view text, Range value) {
  if (value.end - value.begin >= 2) {
    const char first = text[value.begin];
    if ((first == '"' || first == '\'') && text[value.end - 1] == first) {
      return {value.begin + 1, value.end - 1};
    }
  }
  return value;
}

bool isGraphOptionName(std::string_view name) {
  return name == "vf" || name == "af" || name == "filter" || name == "filter:v" ||
         name == "filter:a" || name == "filter_complex" || name == "lavfi";
}

// The values of the filter options whose graphs parseFilterOptions reads, in
// text order (the same walk over the tokens as the parser's).
std::vector<OptionValue> graphOptionValues(std::string_view text) {
  std::vector<OptionValue> values;
  const std::vector<Token> tokens = tokenize(text);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i].text;
    if (token.empty() || token[0] != '-' || token == "-") continue;
    if (token == "--") {
      if (i + 1 < tokens.size() && tokens[i + 1].text != "--") ++i;
      continue;
    }
    if (token == "-i") {
      ++i;
      continue;
    }
    const std::string_view name = std::string_view(token).substr(1);
    const FfmpegOption* row = findFfmpegOption(name);
    if (row == nullptr) {
      ++i;
      continue;
    }
    if (!row->takesArgument()) continue;
    if (i + 1 >= tokens.size()) break;
    if (isGraphOptionName(name)) {
      const Range value{tokens[i + 1].begin, tokens[i + 1].end};
      values.push_back({{tokens[i].begin, tokens[i].end}, value, innerOf(text, value)});
    }
    ++i;
  }
  return values;
}

// The filter option that findFilterOption reports (the last one that has a
// value), with its place in the text.
std::optional<OptionValue> lastFilterOption(std::string_view text) {
  std::optional<OptionValue> found;
  const std::vector<Token> tokens = tokenize(text);
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    const std::string& token = tokens[i].text;
    if (token == "-vf" || token == "-af" || token == "-lavfi" || token == "-filter:" ||
        token == "-filter_complex") {
      const Range value{tokens[i + 1].begin, tokens[i + 1].end};
      found = OptionValue{{tokens[i].begin, tokens[i].end}, value, innerOf(text, value)};
    }
  }
  return found;
}

// ---- Filter names --------------------------------------------------------------

bool isNameBoundaryBefore(char c) {
  return std::string_view(" \t\r\n;,]\"'").find(c) != std::string_view::npos;
}

bool isNameBoundaryAfter(char c) {
  return std::string_view("=,;[ \t\r\n\"'").find(c) != std::string_view::npos;
}

// The first (or last) place inside `range` where `name` stands as a filter name:
// outside quoted arguments, at the start of a filter and followed by what may
// follow a filter name.
std::optional<std::size_t> findFilterName(std::string_view text, Range range, std::string_view name,
                                          const std::vector<Range>& quoted, bool last) {
  if (name.empty()) return std::nullopt;
  std::optional<std::size_t> found;
  std::size_t pos = text.find(name, range.begin);
  while (pos != std::string_view::npos && pos + name.size() <= range.end) {
    const std::size_t after = pos + name.size();
    const bool startOk = pos == range.begin || isNameBoundaryBefore(text[pos - 1]);
    const bool endOk = after == range.end || isNameBoundaryAfter(text[after]);
    if (startOk && endOk && !insideQuoted(quoted, pos)) {
      found = pos;
      if (!last) break;
    }
    pos = text.find(name, pos + 1);
  }
  return found;
}

// From just after a filter name, the end of that filter: the first blank, quote
// or ';' outside quoted arguments and escapes, or the end of the graph.
std::size_t scanFilterEnd(std::string_view text, std::size_t from, std::size_t graphEnd,
                          const std::vector<Range>& quoted) {
  std::size_t i = from;
  while (i < graphEnd) {
    const std::size_t skipped = skipQuoted(quoted, i);
    if (skipped != i) {
      i = skipped;
      continue;
    }
    const char c = text[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == ' ' || c == '"' || c == '\'' || c == ';') return i;
    ++i;
  }
  return std::min(graphEnd, text.size());
}

struct FilterEnd {
  std::size_t position = 0;
  OptionValue option;  // the filter option value holding the filter
};

std::optional<FilterEnd> locateFilterEnd(const std::string& text, const FilterSegment& filter) {
  if (!filter.isFilter() || filter.name.empty()) return std::nullopt;
  const std::vector<OptionValue> values = graphOptionValues(text);
  const std::vector<Range> quoted = quotedArguments(text);
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    const std::optional<std::size_t> at = findFilterName(text, it->inner, filter.name, quoted, true);
    if (at) return FilterEnd{scanFilterEnd(text, *at + filter.name.size(), it->inner.end, quoted), *it};
  }
  return std::nullopt;
}

std::optional<std::size_t> findFilterEnd(const std::string& text, const FilterSegment& filter) {
  const std::optional<FilterEnd> end = locateFilterEnd(text, filter);
  if (!end) return std::nullopt;
  return end->position;
}

// Source filters have no input pad: a label in front of one breaks the graph.
bool isSourceFilter(std::string_view name) {
  static constexpr std::string_view kSources[] = {"movie",   "amovie",  "color", "nullsrc",
                                                  "anullsrc", "testsrc", "sine"};
  return std::find(std::begin(kSources), std::end(kSources), name) != std::end(kSources);
}

// Filters that read or write more than one stream: a chain of its own cannot
// connect them.
bool takesSeveralStreams(std::string_view name) {
  static constexpr std::string_view kNames[] = {"overlay", "concat", "xfade", "acrossfade", "amix",
                                                "amerge", "hstack", "vstack", "xstack", "split",
                                                "asplit", "blend", "alphamerge", "join", "premultiply"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

// ---- Input references ----------------------------------------------------------

// True when the text names input `position` as [i] or [i:stream] (or, with
// `withDot`, [i.) outside quoted arguments.
bool referencesInput(std::string_view text, int position, bool withDot) {
  const std::string open = fmt::format("[{}", position);
  const std::vector<Range> quoted = quotedArguments(text);
  std::size_t pos = text.find(open);
  while (pos != std::string_view::npos) {
    const std::size_t next = pos + open.size();
    if (next < text.size() && !insideQuoted(quoted, pos)) {
      const char c = text[next];
      if (c == ']' || c == ':' || (withDot && c == '.')) return true;
    }
    pos = text.find(open, pos + 1);
  }
  return false;
}

bool hasMediaFilter(const FilterOptions& options) {
  return std::any_of(options.segments.begin(), options.segments.end(), [](const FilterSegment& s) {
    return s.isFilter() && (s.media == 'a' || s.media == 'v');
  });
}

int positionOfValue(const std::vector<TaskIoItem>& items, const std::string& value) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].value == value) return static_cast<int>(i);
  }
  return -1;
}

bool producesValue(const TaskOperation& operation, const std::string& value) {
  return positionOfValue(operation.m_outputs, value) >= 0;
}

bool isPadLabelNumber(int number) { return number >= kFirstPadLabel; }

// Moves every pair (from i, to j) through a temporary number first when j is an
// input position, so two inputs that trade places end up swapped.
template <typename Rename>
void renumberTwoPhase(std::string& text, std::deque<std::pair<int, int>> pairs, Rename rename) {
  int temporary = kFirstTemporary;
  while (!pairs.empty()) {
    const auto [from, to] = pairs.front();
    pairs.pop_front();
    if (from < kFirstTemporary && to >= 0 && to < kFirstPadLabel) {
      rename(text, from, temporary);
      pairs.emplace_back(temporary, to);
      ++temporary;
    } else {
      rename(text, from, to);
    }
  }
}

void trimJoinBlanks(std::string& text) {
  constexpr std::string_view kTrim = " \t\r\n";
  const std::size_t last = text.find_last_not_of(kTrim);
  if (last == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(last + 1);
  text.erase(0, text.find_first_not_of(kTrim));
}

// Strips blanks and one pair of enclosing single quotes, as the option parser
// does with a filter option's value.
std::string bareGraph(std::string graph) {
  const std::size_t first = graph.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  graph = graph.substr(first, graph.find_last_not_of(' ') - first + 1);
  if (graph.size() >= 2 && graph.front() == '\'' && graph.back() == '\'') {
    graph = graph.substr(1, graph.size() - 2);
  }
  return graph;
}

// ---- The steps, with the label source as a parameter ---------------------------
// The refusal check runs the very same steps on copies with a private label
// source, so it needs no second description of the rules and takes no label
// numbers from the process-wide counter.

void labelFilterPadsWith(TaskOperation& operation, const LabelSource& labels) {
  const FilterSegment first = firstFilterSegment(operation.m_filterOptions);
  if (!first.isFilter()) return;
  if (first.inputPads.empty() && !isSourceFilter(first.name)) {
    std::string inputLabels;
    for (std::size_t k = 0; k < operation.m_inputs.size(); ++k) {
      const std::string& value = operation.m_inputs[k].value;
      if (value.size() >= 4 && value.compare(value.size() - 4, 4, ".ass") == 0) continue;
      inputLabels += fmt::format("[{}]", k);
    }
    if (!inputLabels.empty()) {
      const std::vector<OptionValue> values = graphOptionValues(operation.m_transform);
      const std::vector<Range> quoted = quotedArguments(operation.m_transform);
      for (const OptionValue& value : values) {
        const std::optional<std::size_t> at =
            findFilterName(operation.m_transform, value.inner, first.name, quoted, false);
        if (at) {
          operation.m_transform.insert(*at, inputLabels);
          break;
        }
      }
    }
  }
  const FilterSegment last = lastFilterSegment(operation.m_filterOptions);
  if (!last.outputPads.empty()) return;
  bool hasIntermediate = false;
  for (const TaskIoItem& output : operation.m_outputs) {
    if (output.type == 2) hasIntermediate = true;
  }
  if (!hasIntermediate) return;
  // Labels are recorded only when they can be written: a label recorded but
  // missing from the graph would later link a reader to nothing.
  const std::optional<std::size_t> end = findLastFilterEnd(operation.m_transform);
  if (!end) return;
  std::string outputLabels;
  for (const TaskIoItem& output : operation.m_outputs) {
    if (output.type != 2) continue;
    const std::int32_t n = labels();
    operation.m_padLabels[output.value] = n;
    outputLabels += fmt::format("[{}]", n);
  }
  operation.m_transform.insert(*end, outputLabels);
}

int linkChainInputWith(TaskOperation& accumulated, int position, const TaskOperation& next,
                       const LabelSource& labels) {
  if (!referencesInput(next.m_transform, position, true)) return -1;
  if (position < 0 || static_cast<std::size_t>(position) >= next.m_inputs.size()) return -1;
  const std::string& value = next.m_inputs[static_cast<std::size_t>(position)].value;
  if (const auto it = accumulated.m_padLabels.find(value); it != accumulated.m_padLabels.end()) {
    return it->second;
  }
  const char media = firstFilterSegment(next.m_filterOptions).media;
  const std::optional<std::size_t> end = findLastFilterEndOfMedia(accumulated.m_transform, media);
  if (!end) return -1;
  const std::int32_t n = labels();
  accumulated.m_padLabels[value] = n;
  accumulated.m_transform.insert(*end, fmt::format("[{}]", n));
  return n;
}

// Joins next into accumulated. Returns false when a reference of next's graph
// would have to name input -1 (what it reads has no single producer input); the
// operations are then left half-changed, so callers run this on copies first.
bool mergeFilterGraphsWith(TaskOperation& accumulated, TaskOperation& next,
                           const LabelSource& labels) {
  if (!hasMediaFilter(next.m_filterOptions)) return true;
  const bool accumulatedFilters = hasMediaFilter(accumulated.m_filterOptions);

  labelFilterPadsWith(next, labels);
  for (const auto& [value, label] : next.m_padLabels) accumulated.m_padLabels[value] = label;

  std::deque<std::pair<int, int>> pairs;
  const std::vector<TaskIoItem> nextInputs = next.m_inputs;
  for (std::size_t index = 0; index < nextInputs.size(); ++index) {
    const int i = static_cast<int>(index);
    const TaskIoItem& item = nextInputs[index];
    int j = positionOfValue(accumulated.m_inputs, item.value);
    if (j < 0 && !producesValue(accumulated, item.value)) {
      accumulated.m_inputs.push_back(item);
      j = static_cast<int>(accumulated.m_inputs.size()) - 1;
    } else if (j < 0) {
      if (accumulatedFilters) {
        j = linkChainInputWith(accumulated, i, next, labels);
        if (j == -1) continue;
      } else if (accumulated.m_inputs.size() == 1 && nextInputs.size() == 1) {
        continue;
      } else {
        j = -1;
        if (accumulated.m_producerInputs != nullptr) {
          const auto it = accumulated.m_producerInputs->find(item.value);
          if (it != accumulated.m_producerInputs->end() && it->second.size() == 1) j = 0;
        }
        if (j == -1 && referencesInput(next.m_transform, i, false)) return false;
      }
    }
    if (j != i) pairs.emplace_back(i, j);
  }

  std::string renumbered = next.m_transform;
  renumberTwoPhase(renumbered, pairs, relabelInputRefs);

  const std::optional<OptionValue> option = lastFilterOption(renumbered);
  const std::string graph =
      option ? bareGraph(renumbered.substr(option->inner.begin, option->inner.end - option->inner.begin))
             : std::string();

  FilterOptions accumulatedNow;
  parseFilterOptions(accumulatedNow, accumulated.m_transform);
  if (const std::optional<FilterEnd> end =
          locateFilterEnd(accumulated.m_transform, lastFilterSegment(accumulatedNow))) {
    std::string& text = accumulated.m_transform;
    text.insert(end->position, ";" + graph);
    // A bare graph value would be cut at the first blank of the joined chain.
    const OptionValue& value = end->option;
    const bool bare = value.inner.begin == value.value.begin && value.inner.end == value.value.end;
    if (bare && graph.find_first_of(" \t") != std::string::npos) {
      text.insert(value.value.end + 1 + graph.size(), "\"");
      text.insert(value.value.begin, "\"");
    }
  } else {
    // Quoted, so a graph with blanks (a path with a blank) stays one argument.
    accumulated.m_transform += " -filter_complex \"" + graph + "\"";
  }

  if (option) {
    renumbered.erase(option->value.begin, option->value.end - option->value.begin);
    renumbered.erase(option->option.begin, option->option.end - option->option.begin);
  }
  trimJoinBlanks(renumbered);
  next.m_transform = std::move(renumbered);
  return true;
}

// A private label source for dry runs: numbers far above any real label.
LabelSource dryRunLabels() {
  auto counter = std::make_shared<std::int32_t>(1'000'000'000);
  return [counter] { return (*counter)++; };
}

std::atomic<std::int32_t> g_padLabelCounter{kFirstPadLabel};

const LabelSource& processLabels() {
  static const LabelSource source = [] { return nextPadLabel(); };
  return source;
}

}  // namespace

std::int32_t nextPadLabel() { return g_padLabelCounter.fetch_add(1, std::memory_order_relaxed); }

void labelFilterPads(TaskOperation& operation) { labelFilterPadsWith(operation, processLabels()); }

bool mergeNeedsMissingInput(const TaskOperation& accumulated, const TaskOperation& next) {
  // Only a next graph joined to an accumulated operation without a filter can
  // be left with a reference to nothing (a filter of accumulated can always be
  // linked). Answering that case without the dry run spares a copy of the
  // accumulated operation, whose text grows with every merge of a chain.
  if (!hasMediaFilter(next.m_filterOptions) || hasMediaFilter(accumulated.m_filterOptions)) return false;
  TaskOperation a = accumulated;
  TaskOperation n = next;
  const LabelSource labels = dryRunLabels();
  labelFilterPadsWith(a, labels);
  return !mergeFilterGraphsWith(a, n, labels);
}

bool mergeFilterGraphs(TaskOperation& accumulated, TaskOperation& next) {
  if (mergeNeedsMissingInput(accumulated, next)) return false;
  return mergeFilterGraphsWith(accumulated, next, processLabels());
}

int linkChainInput(TaskOperation& accumulated, int position, const TaskOperation& next) {
  return linkChainInputWith(accumulated, position, next, processLabels());
}

void relabelInputRefs(std::string& text, int from, int to) {
  const std::string open = fmt::format("[{}", from);
  if (text.find(open) == std::string::npos) return;
  const std::vector<Range> quoted = quotedArguments(text);
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t skipped = skipQuoted(quoted, i);
    if (skipped != i) {
      out.append(text, i, skipped - i);
      i = skipped;
      continue;
    }
    if (text.compare(i, open.size(), open) == 0) {
      const std::size_t k = i + open.size();
      if (k < text.size() && text[k] == ']') {
        out += fmt::format("[{}]", to);
        i = k + 1;
        continue;
      }
      if (k < text.size() && text[k] == ':') {
        std::size_t m = k + 1;
        while (m < text.size() &&
               std::string_view("[]';,\" \t\r\n").find(text[m]) == std::string_view::npos) {
          ++m;
        }
        if (m < text.size() && text[m] == ']' && m > k + 1) {
          // A pad label carries one stream: its stream specifier goes.
          if (isPadLabelNumber(to)) {
            out += fmt::format("[{}]", to);
          } else {
            out += fmt::format("[{}:{}]", to, std::string_view(text).substr(k + 1, m - k - 1));
          }
          i = m + 1;
          continue;
        }
      }
    }
    out += text[i];
    ++i;
  }
  text = std::move(out);
}

std::optional<std::size_t> findLastFilterEnd(const std::string& text) {
  FilterOptions options;
  parseFilterOptions(options, text);
  return findFilterEnd(text, lastFilterSegment(options));
}

std::optional<std::size_t> findLastFilterEndOfMedia(const std::string& text, char media) {
  FilterOptions options;
  parseFilterOptions(options, text);
  return findFilterEnd(text, lastFilterOfMedia(options, media));
}

void remapMapOptions(TaskOperation& accumulated, TaskOperation& next) {
  const bool maps = std::any_of(next.m_filterOptions.segments.begin(),
                                next.m_filterOptions.segments.end(),
                                [](const FilterSegment& s) { return s.name == "map"; });
  if (!maps) return;
  std::deque<std::pair<int, int>> pairs;
  const std::vector<TaskIoItem> nextInputs = next.m_inputs;
  for (std::size_t index = 0; index < nextInputs.size(); ++index) {
    const int i = static_cast<int>(index);
    const TaskIoItem& item = nextInputs[index];
    int j = positionOfValue(accumulated.m_inputs, item.value);
    if (j < 0 && !producesValue(accumulated, item.value)) {
      accumulated.m_inputs.push_back(item);
      j = static_cast<int>(accumulated.m_inputs.size()) - 1;
    } else if (j < 0) {
      const auto it = accumulated.m_padLabels.find(item.value);
      j = it != accumulated.m_padLabels.end() ? it->second : -1;
    }
    if (j != i) pairs.emplace_back(i, j);
  }
  std::string renumbered = next.m_transform;
  renumberTwoPhase(renumbered, pairs, relabelMapRefs);
  trimJoinBlanks(renumbered);
  next.m_transform = std::move(renumbered);
}

void relabelMapRefs(std::string& text, int from, int to) {
  if (to < 0 || from < 0) return;
  constexpr std::string_view kMap = "-map ";
  const std::string newIndex = isPadLabelNumber(to) ? fmt::format("[{}]", to) : fmt::format("{}", to);
  std::size_t search = 0;
  while (true) {
    const std::size_t pos = text.find(kMap, search);
    if (pos == std::string::npos) return;
    if (pos > 0 && kFilterWhitespace.find(text[pos - 1]) == std::string_view::npos) {
      search = pos + 1;
      continue;
    }
    std::size_t argBegin = pos + kMap.size();
    while (argBegin < text.size() && text[argBegin] == ' ') ++argBegin;
    std::size_t argEnd = text.find(' ', argBegin);
    if (argEnd == std::string::npos) argEnd = text.size();

    // The leading input index, after an optional '-' (a negative map), as a
    // whole number of at most 9 digits.
    std::size_t digits = argBegin;
    if (digits < argEnd && text[digits] == '-') ++digits;
    std::size_t digitsEnd = digits;
    while (digitsEnd < argEnd && text[digitsEnd] >= '0' && text[digitsEnd] <= '9') ++digitsEnd;
    const bool wholeNumber =
        digitsEnd > digits && digitsEnd - digits <= 9 &&
        (digitsEnd == argEnd || text[digitsEnd] == ':' || text[digitsEnd] == '?');
    if (wholeNumber && std::stoi(text.substr(digits, digitsEnd - digits)) == from) {
      // A pad label names one stream; the stream part cannot follow it.
      const std::size_t replaceEnd = isPadLabelNumber(to) ? argEnd : digitsEnd;
      text.replace(digits, replaceEnd - digits, newIndex);
    }
    search = argBegin;
  }
}

std::optional<AppendedChain> appendedChainOf(const TaskOperation& operation) {
  const std::string& text = operation.m_transform;
  FilterOptions parsed;
  parseFilterOptions(parsed, text);
  for (const FilterSegment& segment : parsed.segments) {
    if (segment.isFilter()) continue;
    // The stream is a filter graph's output in the joined command: there is no
    // input to map from, no further input to add, and nothing to copy.
    if (segment.name == "map" || segment.name.rfind("map_", 0) == 0 || segment.args == "copy") {
      return std::nullopt;
    }
  }
  const std::vector<std::string> tokens = splitOptionTokens(text);
  if (std::find(tokens.begin(), tokens.end(), "-i") != tokens.end()) return std::nullopt;

  AppendedChain appended;
  const std::vector<OptionValue> values = graphOptionValues(text);
  if (values.empty()) {
    if (parsed.hasAudioFilter || parsed.hasVideoFilter) return std::nullopt;
    appended.options = text;
    trimJoinBlanks(appended.options);
    return appended;
  }
  if (values.size() != 1) return std::nullopt;
  const OptionValue& value = values.front();
  appended.chain = text.substr(value.inner.begin, value.inner.end - value.inner.begin);
  trimJoinBlanks(appended.chain);
  // One chain, written as it stands inside the double quotes of the joined
  // graph: no chain separator, labels, escapes or double quotes.
  if (appended.chain.empty() || appended.chain.find_first_of(";[]\\\"") != std::string::npos) {
    return std::nullopt;
  }
  for (const FilterSegment& segment : parsed.segments) {
    if (!segment.isFilter()) continue;
    if (segment.media != 'a' && segment.media != 'v') return std::nullopt;
    if (appended.media != 'n' && appended.media != segment.media) return std::nullopt;
    if (!segment.inputPads.empty() || !segment.outputPads.empty()) return std::nullopt;
    if (isSourceFilter(segment.name) || takesSeveralStreams(segment.name)) return std::nullopt;
    appended.media = segment.media;
  }
  if (appended.media == 'n') return std::nullopt;

  std::string rest = text;
  rest.erase(value.value.begin, value.value.end - value.value.begin);
  rest.erase(value.option.begin, value.option.end - value.option.begin);
  trimJoinBlanks(rest);
  appended.options = std::move(rest);
  return appended;
}

bool appendChainToGraph(std::string& graph, char media, std::string_view chain) {
  bool hasVideo = false;
  bool hasAudio = false;
  if (!hasOutLabels(graph, hasVideo, hasAudio)) return false;
  std::string_view label;
  if (hasVideo && hasAudio) {
    label = media == 'v' ? "[out0]" : "[out1]";
  } else if ((media == 'v' && hasVideo) || (media == 'a' && hasAudio)) {
    label = "[out0]";
  } else {
    return false;
  }
  const std::size_t at = findUnquoted(graph, label);
  if (at == std::string::npos || at == 0 || findUnquoted(graph, label, at + 1) != std::string::npos) return false;
  // The label must stand alone after the filter it names and end its chain.
  if (graph[at - 1] == ']') return false;
  const std::size_t after = at + label.size();
  if (after < graph.size() && graph[after] != ';') return false;
  graph.insert(at, "," + std::string(chain));
  return true;
}

bool joinOperationGraphs(TaskOperation& accumulated, TaskOperation& next) {
  if (mergeNeedsMissingInput(accumulated, next)) return false;
  labelFilterPads(accumulated);
  mergeFilterGraphsWith(accumulated, next, processLabels());
  remapMapOptions(accumulated, next);
  return true;
}

}  // namespace qel
