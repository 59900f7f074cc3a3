#include "commands/command_plan.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <list>
#include <queue>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "commands/command_assembly.h"
#include "commands/filter_text.h"
#include "commands/graph_join.h"
#include "commands/merge_rules.h"
#include "commands/spelled_files.h"
#include "common/text_convert.h"
#include "common/text_edit.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

// Names are looked up on disk as ffmpeg opens them: "file:/a/b.mp4" is the
// file /a/b.mp4, not a folder "file:" in the working folder.
fs::path onDisk(const std::string& spelled) { return fs::path(std::string(fileBehindFFmpegPath(spelled))); }

// Anything at the path, a dangling symbolic link included.
bool pathTaken(const std::string& utf8Path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(onDisk(utf8Path), ec));
}

// Anything under the name as ffmpeg writes it: for an image sequence, also
// any file its frame-number field gives.
bool nameTaken(const std::string& utf8Path) { return pathTaken(utf8Path) || !existingSequenceFiles(utf8Path).empty(); }

// True when a file or folder exists at the UTF-8 path. A status that cannot
// be determined counts as missing.
bool fileExists(const std::string& utf8Path) {
  std::error_code ec;
  fs::file_status status = fs::status(fs::path(utf8ToAnsi(std::string(fileBehindFFmpegPath(utf8Path)))), ec);
  return !ec && fs::exists(status);
}

bool hasOptionSegment(const FilterOptions& options) {
  for (const FilterSegment& segment : options.segments) {
    if (segment.kind == 'o') return true;
  }
  return false;
}

// A cut given by -ss and -to and nothing else.
bool isCutOnly(const TaskOperation& operation) {
  const auto& segments = operation.m_filterOptions.segments;
  if (segments.size() != 2) return false;
  return (segments[0].name == "ss" && segments[1].name == "to") ||
         (segments[0].name == "to" && segments[1].name == "ss");
}

bool hasInputValue(const TaskOperation& operation, const std::string& value) {
  return std::any_of(operation.m_inputs.begin(), operation.m_inputs.end(),
                     [&](const TaskIoItem& item) { return item.value == value; });
}

bool hasOutputValue(const TaskOperation& operation, const std::string& value) {
  return std::any_of(operation.m_outputs.begin(), operation.m_outputs.end(),
                     [&](const TaskIoItem& item) { return item.value == value; });
}

// Moving next's cut: its -ss/-to go in front of accumulated's first -i (input
// seeking) and next's transform becomes empty.
void moveCut(TaskOperation& accumulated, TaskOperation& next) {
  std::swap(accumulated.m_inputs.front().prevOp, next.m_transform);
  parseFilterOptions(next.m_filterOptions, next.m_transform);
}

// True when the operation has an input that a command writes in place of an
// "-i" file (toCommad's reading of a type-2 value): a lavfi graph, which goes
// under a -filter_complex of its own, or a recorded command fragment.
bool carriesGraphInput(const TaskOperation& operation) {
  return std::any_of(operation.m_inputs.begin(), operation.m_inputs.end(), [](const TaskIoItem& item) {
    return item.type == 2 && (contains(item.value, "movie=") || contains(item.value, "-i "));
  });
}

}  // namespace

CommandBuilder::CommandBuilder(PlanningSnapshot snapshot) : m_snapshot(std::move(snapshot)) {}

CommandBuilder::~CommandBuilder() {
  for (const std::wstring& path : m_intermediateFiles) {
    std::error_code ec;
    // A sequence's name was free of files when the plan claimed it: every
    // file of it now is one the task wrote.
    for (const std::string& file : existingSequenceFiles(wideToUtf8(path))) fs::remove(onDisk(file), ec);
    fs::path native = onDisk(wideToUtf8(path));
    fs::file_status status = fs::status(native, ec);
    if (ec || !fs::exists(status)) continue;
    fs::remove(native, ec);  // a file or an empty folder; failures are ignored
  }
  // rmdir(2) removes a folder only when it is empty: one that holds anything
  // now (a result of the task, a file of someone else's) stays.
  for (auto folder = m_madeFolders.rbegin(); folder != m_madeFolders.rend(); ++folder) ::rmdir(folder->c_str());
}

std::vector<FFmpegCommand> CommandBuilder::buildCommands(const std::vector<TaskOperation>& operations) {
  std::vector<TaskOperation> working = operations;
  std::vector<FFmpegCommand> commands;
  if (working.empty()) return commands;
  if (working.size() == 1) {
    commands.push_back(toCommad(working.front(), m_snapshot));
    noteLengths(commands);
    return commands;
  }

  claimFreeIntermediateNames(working);
  registerIntermediateFiles(working);
  mapOutputsToInputs(working);
  OperationList list = orderOperations(std::move(working));

  // An explicit flag: an operation without inputs (a generated source) is still
  // an operation, and testing the accumulated operation's items for emptiness
  // would drop it in favour of the next start operation.
  TaskOperation accumulated;
  bool haveAccumulated = false;
  while (!list.empty()) {
    if (!haveAccumulated) {
      Position start = pickStartOperation(list);
      if (start == list.end()) start = list.begin();
      accumulated = std::move(*start);
      list.erase(start);
      haveAccumulated = true;
    }
    accumulated.m_producerInputs = &m_outputToInputs;
    for (const TaskIoItem& output : accumulated.m_outputs) m_producedValues.insert(output.value);

    Position partner = findMergePartner(accumulated, list);
    if (partner != list.end() && tryMergeOperation(accumulated, *partner)) {
      list.erase(partner);
      if (!list.empty()) continue;
    }
    commands.push_back(toCommad(accumulated, m_snapshot));
    accumulated = TaskOperation();
    haveAccumulated = false;
  }
  if (haveAccumulated) commands.push_back(toCommad(accumulated, m_snapshot));
  noteLengths(commands);
  return commands;
}

void CommandBuilder::noteLengths(std::vector<FFmpegCommand>& commands) const {
  // An intermediate file is only as long as the command that writes it: that
  // length is known (or learnt) by the time a later command reads the file,
  // which then needs no probe of its own.
  std::map<std::string, std::size_t> writers;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    FFmpegCommand& command = commands[i];
    command.rememberedSeconds = m_snapshot.durationOf(command.key);
    for (const std::string& file : command.inputFiles) {
      if (auto writer = writers.find(file); writer != writers.end()) command.writtenBy.emplace(file, writer->second);
    }
    if (!command.outputPath.empty()) writers[command.outputPath] = i;
  }
}

void CommandBuilder::claimFreeIntermediateNames(std::vector<TaskOperation>& operations) {
  std::set<std::string> sources;
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& input : operation.m_inputs) {
      if (input.type == 1) sources.insert(input.value);
    }
  }
  std::map<std::string, std::string> renamed;
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& output : operation.m_outputs) {
      if (output.type != 2 || output.value.empty() || sources.count(output.value) != 0) continue;
      if (renamed.count(output.value) != 0 || !nameTaken(output.value)) continue;
      // The free name keeps the spelling's protocol prefix ("file:").
      const std::string_view behind = fileBehindFFmpegPath(output.value);
      const std::string protocol = output.value.substr(0, output.value.size() - behind.size());
      const fs::path taken{std::string(behind)};
      const std::string stem = (taken.parent_path() / taken.stem()).string();
      const std::string extension = taken.extension().string();
      for (int n = 1; n <= 1000; ++n) {
        std::string candidate = fmt::format("{}{}-qel{}{}", protocol, stem, n, extension);
        if (!nameTaken(candidate) && renamed.count(candidate) == 0) {
          renamed[output.value] = std::move(candidate);
          break;
        }
      }
    }
  }
  if (renamed.empty()) return;
  for (TaskOperation& operation : operations) {
    for (std::vector<TaskIoItem>* items : {&operation.m_inputs, &operation.m_outputs}) {
      for (TaskIoItem& item : *items) {
        if (item.type != 2) continue;
        auto it = renamed.find(item.value);
        if (it != renamed.end()) item.value = it->second;
      }
    }
  }
}

void CommandBuilder::registerIntermediateFiles(const std::vector<TaskOperation>& operations) {
  // A path the task reads as a plain source file is never the plan's to
  // delete, even when an operation also names it as an intermediate output.
  std::set<std::string> sources;
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& input : operation.m_inputs) {
      if (input.type == 1) sources.insert(input.value);
    }
  }
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& output : operation.m_outputs) {
      if (output.type != 2 || output.value.empty() || sources.count(output.value) != 0) continue;
      // A name still taken (no free one was found) is never the plan's to delete.
      if (nameTaken(output.value)) continue;
      m_intermediateFiles.insert(utf8ToWide(output.value));
      makeFolders(onDisk(output.value).parent_path());
    }
  }
}

void CommandBuilder::makeFolders(const fs::path& folder) {
  // One level at a time, so the plan knows which folders are its own to
  // remove when it ends.
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path level = folder; !level.empty() && !fs::exists(fs::symlink_status(level, ec));
       level = level.parent_path()) {
    missing.push_back(level);
    if (level == level.parent_path()) break;
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (fs::create_directory(*level, ec)) {
      m_madeFolders.push_back(*level);
    } else if (ec) {
      return;  // failures are ignored: the command that writes there fails
    }
  }
}

void CommandBuilder::mapOutputsToInputs(const std::vector<TaskOperation>& operations) {
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& output : operation.m_outputs) {
      if (output.type != 2) continue;
      std::vector<std::string>& inputs = m_outputToInputs[output.value];
      for (const TaskIoItem& input : operation.m_inputs) inputs.push_back(input.value);
    }
  }
}

CommandBuilder::OperationList CommandBuilder::orderOperations(std::vector<TaskOperation> operations) {
  // The order is that of a queue walked round and round in task order: a
  // source or a sink is placed when the walk reaches it; an intermediate
  // writer is placed, in front of its first consumer among the sinks, when the
  // walk reaches it and a consumer is already there, and is passed over
  // otherwise; the walk stops once a whole round places nothing. Rather than
  // walking the rounds, each writer is scheduled at the visit that follows the
  // placing of one of its consumers, and visits are taken in walk order (round,
  // then task position). The result is the same; the cost is linear in the
  // operations and their consumer links instead of growing with the square of
  // a chain's length.
  enum class Role { Source, Sink, Writer };
  const std::size_t count = operations.size();
  std::vector<Role> roles(count, Role::Writer);
  for (std::size_t i = 0; i < count; ++i) {
    const TaskOperation& operation = operations[i];
    const bool source = !operation.m_inputs.empty() &&
                        std::none_of(operation.m_inputs.begin(), operation.m_inputs.end(),
                                     [](const TaskIoItem& item) { return item.type == 2 || item.value.empty(); });
    const bool sink = !operation.m_outputs.empty() &&
                      std::none_of(operation.m_outputs.begin(), operation.m_outputs.end(),
                                   [](const TaskIoItem& item) { return item.type == 2 || item.value.empty(); });
    if (source) {
      roles[i] = Role::Source;
    } else if (sink) {
      roles[i] = Role::Sink;
    }
  }

  // unblocks[s]: the writers that a consumer s, once among the sinks, lets in.
  std::vector<std::vector<std::size_t>> unblocks(count);
  std::unordered_map<std::string_view, std::vector<std::size_t>> readers;
  for (std::size_t i = 0; i < count; ++i) {
    for (const TaskIoItem& input : operations[i].m_inputs) {
      std::vector<std::size_t>& list = readers[input.value];
      if (list.empty() || list.back() != i) list.push_back(i);
    }
  }
  for (std::size_t x = 0; x < count; ++x) {
    if (roles[x] != Role::Writer) continue;
    const std::string value = operations[x].m_outputs.empty() ? std::string() : operations[x].m_outputs.front().value;
    std::vector<std::size_t> consumers;
    if (const auto it = readers.find(value); it != readers.end()) consumers = it->second;
    // A consumer may also name the file in its transform only (see
    // consumesOutput): rare, so those are looked for one by one.
    if (!value.empty() && !contains(value, "/") && contains(value, "\\")) {
      for (std::size_t s = 0; s < count; ++s) {
        if (consumesOutput(value, operations[s])) consumers.push_back(s);
      }
    }
    for (std::size_t s : consumers) {
      if (s != x && roles[s] != Role::Source) unblocks[s].push_back(x);
    }
  }

  // Visits in walk order: (round, task position).
  using Visit = std::pair<std::size_t, std::size_t>;
  std::priority_queue<Visit, std::vector<Visit>, std::greater<>> visits;
  std::vector<bool> scheduled(count, false);
  for (std::size_t i = 0; i < count; ++i) {
    if (roles[i] != Role::Writer) {
      visits.push({0, i});
      scheduled[i] = true;
    }
  }
  std::vector<std::size_t> sources;
  std::list<std::size_t> sinks;
  while (!visits.empty()) {
    const auto [round, at] = visits.top();
    visits.pop();
    if (roles[at] == Role::Source) {
      sources.push_back(at);
      continue;
    }
    if (roles[at] == Role::Sink) {
      sinks.push_back(at);
    } else {
      const std::string& value =
          operations[at].m_outputs.empty() ? std::string() : operations[at].m_outputs.front().value;
      auto before =
          std::find_if(sinks.begin(), sinks.end(), [&](std::size_t s) { return consumesOutput(value, operations[s]); });
      sinks.insert(before, at);
    }
    for (std::size_t writer : unblocks[at]) {
      if (scheduled[writer]) continue;
      scheduled[writer] = true;
      visits.push({writer > at ? round : round + 1, writer});
    }
  }

  OperationList ordered;
  for (std::size_t i : sources) ordered.push_back(std::move(operations[i]));
  for (std::size_t i : sinks) ordered.push_back(std::move(operations[i]));
  // Never placed (an intermediate nobody reads, writers that read each
  // other's outputs): last, in task order.
  for (std::size_t i = 0; i < count; ++i) {
    if (!scheduled[i]) ordered.push_back(std::move(operations[i]));
  }
  return ordered;
}

bool CommandBuilder::insertBeforeConsumer(const TaskOperation& operation, OperationList& sinks) {
  std::string value = operation.m_outputs.empty() ? std::string() : operation.m_outputs.front().value;
  for (auto it = sinks.begin(); it != sinks.end(); ++it) {
    if (consumesOutput(value, *it)) {
      sinks.insert(it, operation);
      return true;
    }
  }
  return false;
}

bool CommandBuilder::consumesOutput(const std::string& value, const TaskOperation& operation) {
  if (hasInputValue(operation, value)) return true;
  if (value.empty() || contains(value, "/") || !contains(value, "\\")) return false;
  std::string fileName = value.substr(value.rfind('\\') + 1);
  return contains(operation.m_transform, fileName);
}

CommandBuilder::Position CommandBuilder::pickStartOperation(OperationList& list) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    const TaskOperation& operation = *it;
    if (operation.m_inputs.empty()) continue;
    bool filesIn = std::all_of(operation.m_inputs.begin(), operation.m_inputs.end(),
                               [](const TaskIoItem& item) { return item.type != 2 && !item.value.empty(); });
    bool filesOut = std::all_of(operation.m_outputs.begin(), operation.m_outputs.end(),
                                [](const TaskIoItem& item) { return item.type != 2; });
    if (filesIn && filesOut) return it;
  }
  static const std::set<std::string, std::less<>> kStartOptionNames{"ss"};
  auto seeking = std::find_if(list.begin(), list.end(), [](const TaskOperation& operation) {
    return std::any_of(operation.m_filterOptions.segments.begin(), operation.m_filterOptions.segments.end(),
                       [](const FilterSegment& segment) { return kStartOptionNames.count(segment.name) != 0; });
  });
  if (seeking == list.end()) return list.end();
  for (const TaskIoItem& input : seeking->m_inputs) {
    if (contains(input.value, "nullsrc=")) continue;
    if (!fileExists(input.value)) return list.end();
  }
  return seeking;
}

CommandBuilder::Position CommandBuilder::findMergePartner(const TaskOperation& accumulated, OperationList& list) {
  if (accumulated.m_outputs.empty()) return list.end();
  for (const TaskIoItem& output : accumulated.m_outputs) {
    if (output.type == 1) continue;
    auto readers = std::count_if(list.begin(), list.end(), [&](const TaskOperation& operation) {
      return hasInputValue(operation, output.value);
    });
    // An intermediate read twice must reach the disk: its producer runs alone.
    if (readers > 1) return list.end();
  }
  auto intermediate = std::find_if(accumulated.m_outputs.begin(), accumulated.m_outputs.end(),
                                   [](const TaskIoItem& item) { return item.type == 2; });
  if (intermediate == accumulated.m_outputs.end()) return list.end();

  auto consumer = std::find_if(list.begin(), list.end(), [&](const TaskOperation& operation) {
    return hasInputValue(operation, intermediate->value);
  });
  if (consumer == list.end()) return list.end();
  if (consumer->m_inputs.size() < 2) return consumer;

  auto waiting = std::find_if(consumer->m_inputs.begin(), consumer->m_inputs.end(), [&](const TaskIoItem& item) {
    return item.type == 2 && m_producedValues.count(item.value) == 0;
  });
  if (waiting == consumer->m_inputs.end()) return consumer;

  auto producer = std::find_if(list.begin(), list.end(), [&](const TaskOperation& operation) {
    return hasOutputValue(operation, waiting->value);
  });
  if (producer == list.end()) return list.end();
  auto producerWaits = std::find_if(producer->m_inputs.begin(), producer->m_inputs.end(), [&](const TaskIoItem& item) {
    return item.type == 2 && m_producedValues.count(item.value) == 0;
  });
  if (producerWaits == producer->m_inputs.end()) return producer;
  return findReadyProducer(producerWaits->value, list);
}

CommandBuilder::Position CommandBuilder::findReadyProducer(const std::string& value, OperationList& list) {
  // Walked as a loop with the values already followed: producers that read
  // each other's outputs must end the search, not recurse forever.
  std::set<std::string> visited;
  std::string wanted = value;
  while (visited.insert(wanted).second) {
    auto producer = std::find_if(list.begin(), list.end(),
                                 [&](const TaskOperation& operation) { return hasOutputValue(operation, wanted); });
    if (producer == list.end()) return list.end();
    auto waits = std::find_if(producer->m_inputs.begin(), producer->m_inputs.end(), [&](const TaskIoItem& item) {
      return item.type == 2 && m_producedValues.count(item.value) == 0;
    });
    if (waits == producer->m_inputs.end()) return producer;
    wanted = waits->value;
  }
  return list.end();
}

bool CommandBuilder::tryMergeOperation(TaskOperation& accumulated, TaskOperation& next) {
  prepareFilterOptions(accumulated);
  if (!allowsInputMerge(next)) return false;
  // The graph join knows inputs only as "-i" positions and adds the next graph
  // to the transform. A graph carried as an input has no position, stands
  // under a -filter_complex of its own (ffmpeg refuses a second one), and its
  // recorded fragment replaces the whole transform: a joined filter would be
  // misdirected or silently dropped. Such operations run apart, through the
  // intermediate file.
  if (carriesGraphInput(accumulated) && !carriesGraphInput(next)) return joinOntoCarriedGraph(accumulated, next);
  if (carriesGraphInput(next)) return false;

  // Worked in place, without copies of the growing operation: a refusal of
  // operationsMergeable changes nothing; when it moves next's cut, next is
  // left without a filter, which the graph join never refuses; and the join
  // refuses before it changes anything.
  if (!operationsMergeable(accumulated, next)) return false;
  if (!joinOperationGraphs(accumulated, next)) return false;

  for (const TaskIoItem& input : next.m_inputs) {
    if (!hasInputValue(accumulated, input.value) && !hasOutputValue(accumulated, input.value)) {
      accumulated.m_inputs.push_back(input);
    }
  }
  for (const TaskIoItem& input : next.m_inputs) {
    auto made = std::find_if(accumulated.m_outputs.begin(), accumulated.m_outputs.end(),
                             [&](const TaskIoItem& item) { return item.value == input.value; });
    if (made != accumulated.m_outputs.end()) accumulated.m_outputs.erase(made);
  }
  for (const TaskIoItem& output : next.m_outputs) accumulated.m_outputs.push_back(output);
  if (!next.m_transform.empty()) {
    accumulated.m_transform += ' ';
    accumulated.m_transform += next.m_transform;
  }
  return true;
}

bool CommandBuilder::joinOntoCarriedGraph(TaskOperation& accumulated, TaskOperation& next) const {
  // The chain next appends goes onto the carried graph's output of its medium,
  // its options become the command's output options, and the intermediate is
  // never written. Kept as two passes through the intermediate file, because
  // the join could not be made right:
  // - the graph's record carries a command fragment (convert and the like): the
  //   fragment stands for the whole operation with its own inputs, maps and
  //   stream options, and has no graph output to hang a chain on;
  // - the record carries output options: they were chosen for the intermediate;
  // - accumulated has more than one input or output, options of its own, or
  //   reads a command fragment ("-i ...") rather than a graph;
  // - next reads more than that one output, or with input options (they would
  //   apply to a file that is never written);
  // - next's transform is more than one chain and output options (see
  //   appendedChainOf: labels, several chains, filters joining streams, -map);
  // - the graph has no lone output label of the chain's medium;
  // - the merge rules refuse the pair (stream copy, a seek in next, filter
  //   kinds that do not merge, ...).
  if (accumulated.m_inputs.size() != 1 || accumulated.m_outputs.size() != 1 || next.m_inputs.size() != 1) {
    return false;
  }
  const TaskIoItem& source = accumulated.m_inputs.front();
  const TaskIoItem& made = accumulated.m_outputs.front();
  const TaskIoItem& read = next.m_inputs.front();
  if (source.type != 2 || !contains(source.value, "movie=")) return false;
  if (made.type != 2 || read.value != made.value || !read.prevOp.empty()) return false;
  if (!accumulated.m_transform.empty()) return false;
  if (const LavfiOutputRecord* record = findGraphEntry(m_snapshot.outputRecords, source.value)) {
    if (!record->cmd.empty() || record->outputConfig.find_first_not_of(' ') != std::string::npos) return false;
  }
  const std::optional<AppendedChain> appended = appendedChainOf(next);
  if (!appended) return false;

  std::string graph = accumulated.m_graphText.empty() ? source.value : accumulated.m_graphText;
  FilterOptions earlier;
  parseFilterChain(earlier, graph);
  if (!canMergeFilters(earlier, next.m_filterOptions)) return false;
  if (!appended->chain.empty() && !appendChainToGraph(graph, appended->media, appended->chain)) return false;

  accumulated.m_graphText = std::move(graph);
  accumulated.m_transform = appended->options;
  accumulated.m_outputs = next.m_outputs;
  prepareFilterOptions(accumulated);
  return true;
}

bool CommandBuilder::allowsInputMerge(const TaskOperation& next) {
  if (countPendingInputs(next) < 2) return true;
  static const std::set<std::string, std::less<>> kOverlayNames{"overlay"};
  if (kOverlayNames.count(firstFilterSegment(next.m_filterOptions).name) != 0) return true;
  if (hasMediaFilter(next.m_filterOptions)) return false;
  for (const TaskIoItem& output : next.m_outputs) {
    if (output.type == 2) return false;
  }
  return true;
}

int CommandBuilder::countPendingInputs(const TaskOperation& operation) {
  int pending = 0;
  for (const TaskIoItem& input : operation.m_inputs) {
    if (input.type != 1) {
      ++pending;
    } else if (!contains(input.value, "nullsrc=") && !fileExists(input.value)) {
      ++pending;
    }
  }
  return pending;
}

bool CommandBuilder::operationsMergeable(TaskOperation& accumulated, TaskOperation& next) {
  const FilterOptions& a = accumulated.m_filterOptions;
  const FilterOptions& n = next.m_filterOptions;
  if (accumulated.m_outputs.size() == 1 && next.m_inputs.size() == 1 &&
      accumulated.m_outputs.front().value == next.m_inputs.front().value) {
    if (isCutOnly(accumulated) && !n.hasOtherOptions && (n.hasAudioFilter || n.hasVideoFilter)) return true;
    if (hasSegmentNamed(a, "vcodec") && accumulated.m_inputs.size() == 1 && isCutOnly(next) &&
        accumulated.m_inputs.front().prevOp.empty()) {
      moveCut(accumulated, next);
      return true;
    }
    if (!hasOptionSegment(a) && (a.hasAudioFilter || a.hasVideoFilter) && accumulated.m_inputs.size() == 1 &&
        isCutOnly(next) && accumulated.m_inputs.front().prevOp.empty() && next.m_inputs.front().prevOp.empty()) {
      moveCut(accumulated, next);
      return true;
    }
  }
  if (!canMergeFilters(accumulated.m_filterOptions, next.m_filterOptions)) return false;
  if (!hasSegmentNamed(accumulated.m_filterOptions, "ss")) return true;
  return next.m_inputs.size() == 1 && accumulated.m_outputs.size() == 1 && next.m_inputs.front().type != 1 &&
         next.m_inputs.front().value == accumulated.m_outputs.front().value;
}

}  // namespace qel
