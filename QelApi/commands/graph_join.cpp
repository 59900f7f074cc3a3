#include "commands/graph_join.h"

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
#include "commands/filter_text.h"
#include "commands/graph_scan.h"

namespace qel {

namespace {

using LabelSource = std::function<std::int32_t()>;

// Temporary numbers of one renumbering start here.
constexpr int kFirstTemporary = 1000;

// Source filters have no input pad: a label in front of one breaks the graph.
bool isSourceFilter(std::string_view name) {
  static constexpr std::string_view kSources[] = {"movie", "amovie", "color", "nullsrc", "anullsrc", "testsrc", "sine"};
  return std::find(std::begin(kSources), std::end(kSources), name) != std::end(kSources);
}

// Filters that read or write more than one stream: a chain of its own cannot
// connect them.
bool takesSeveralStreams(std::string_view name) {
  static constexpr std::string_view kNames[] = {"overlay", "concat", "xfade",      "acrossfade", "amix",
                                                "amerge",  "hstack", "vstack",     "xstack",     "split",
                                                "asplit",  "blend",  "alphamerge", "join",       "premultiply"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

// ---- Input references ----------------------------------------------------------

int positionOfValue(const std::vector<TaskIoItem>& items, const std::string& value) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].value == value) return static_cast<int>(i);
  }
  return -1;
}

bool producesValue(const TaskOperation& operation, const std::string& value) {
  return positionOfValue(operation.m_outputs, value) >= 0;
}

// The renamings of next's input positions, in the order found: (from i, to j).
using RenamePairs = std::deque<std::pair<int, int>>;

// What becomes of a reference to an input of next that accumulated makes.
struct MadeInput {
  enum class Kind { Rename, Keep, Refuse } kind = Kind::Keep;
  int target = -1;
  static MadeInput to(int target) { return {Kind::Rename, target}; }
  static MadeInput none() { return {Kind::Keep, -1}; }
  static MadeInput refuse() { return {Kind::Refuse, -1}; }
};

// Where each input of next stands in accumulated: at the position of the same
// value, appended when accumulated has it nowhere, or, for a value accumulated
// makes, wherever `made` (position i in next, the item) says. A pair (i, j) is
// kept for every input that moves. nullopt when `made` refuses.
template <typename Made>
std::optional<RenamePairs> mapNextInputs(TaskOperation& accumulated, const TaskOperation& next, Made made) {
  RenamePairs pairs;
  const std::vector<TaskIoItem> nextInputs = next.m_inputs;
  for (std::size_t index = 0; index < nextInputs.size(); ++index) {
    const int i = static_cast<int>(index);
    const TaskIoItem& item = nextInputs[index];
    int j = positionOfValue(accumulated.m_inputs, item.value);
    if (j < 0 && !producesValue(accumulated, item.value)) {
      accumulated.m_inputs.push_back(item);
      j = static_cast<int>(accumulated.m_inputs.size()) - 1;
    } else if (j < 0) {
      const MadeInput target = made(i, item);
      if (target.kind == MadeInput::Kind::Refuse) return std::nullopt;
      if (target.kind == MadeInput::Kind::Keep) continue;
      j = target.target;
    }
    if (j != i) pairs.emplace_back(i, j);
  }
  return pairs;
}

// Moves every pair (from i, to j) through a temporary number first when j is an
// input position, so two inputs that trade places end up swapped.
template <typename Rename>
void renumberTwoPhase(std::string& text, RenamePairs pairs, Rename rename) {
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
      const std::vector<TextRange> quoted = quotedArguments(operation.m_transform);
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

int linkChainInputWith(TaskOperation& accumulated, int position, const TaskOperation& next, const LabelSource& labels) {
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
bool mergeFilterGraphsWith(TaskOperation& accumulated, TaskOperation& next, const LabelSource& labels) {
  if (!hasMediaFilter(next.m_filterOptions)) return true;
  const bool accumulatedFilters = hasMediaFilter(accumulated.m_filterOptions);

  labelFilterPadsWith(next, labels);
  for (const auto& [value, label] : next.m_padLabels) accumulated.m_padLabels[value] = label;

  const std::optional<RenamePairs> pairs =
      mapNextInputs(accumulated, next, [&](int i, const TaskIoItem& item) -> MadeInput {
        if (accumulatedFilters) {
          const int j = linkChainInputWith(accumulated, i, next, labels);
          return j == -1 ? MadeInput::none() : MadeInput::to(j);
        }
        // Next's reference already names accumulated's only input.
        if (accumulated.m_inputs.size() == 1 && next.m_inputs.size() == 1) return MadeInput::none();
        int j = -1;
        if (accumulated.m_producerInputs != nullptr) {
          const auto it = accumulated.m_producerInputs->find(item.value);
          if (it != accumulated.m_producerInputs->end() && it->second.size() == 1) j = 0;
        }
        if (j == -1 && referencesInput(next.m_transform, i, false)) return MadeInput::refuse();
        return MadeInput::to(j);
      });
  if (!pairs) return false;

  std::string renumbered = next.m_transform;
  renumberTwoPhase(renumbered, *pairs, relabelInputRefs);

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

void remapMapOptions(TaskOperation& accumulated, TaskOperation& next) {
  const bool maps = std::any_of(next.m_filterOptions.segments.begin(), next.m_filterOptions.segments.end(),
                                [](const FilterSegment& s) { return s.name == "map"; });
  if (!maps) return;
  const std::optional<RenamePairs> pairs = mapNextInputs(accumulated, next, [&](int, const TaskIoItem& item) {
    const auto it = accumulated.m_padLabels.find(item.value);
    return MadeInput::to(it != accumulated.m_padLabels.end() ? it->second : -1);
  });
  std::string renumbered = next.m_transform;
  renumberTwoPhase(renumbered, *pairs, relabelMapRefs);
  trimJoinBlanks(renumbered);
  next.m_transform = std::move(renumbered);
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
