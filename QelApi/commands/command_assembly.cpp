#include "commands/command_assembly.h"

#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/output_options.h"
#include "common/command_quote.h"
#include "common/ascii_case.h"
#include "common/text_edit.h"
#include "base/log.h"

namespace qel {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Removes every "[out" digit "]" (the graph's own output labels, which a
// command maps implicitly) that stands outside quoted text: the same letters
// in a file's name are part of the name. Scanned by hand: graphs can be long.
std::string withoutOutLabels(const std::string& text) {
  const std::vector<QuotedRange> quoted = quotedRanges(text);
  std::string result;
  result.reserve(text.size());
  std::size_t i = 0;
  std::size_t r = 0;
  while (i < text.size()) {
    while (r < quoted.size() && quoted[r].end <= i) ++r;
    if (r < quoted.size() && i >= quoted[r].begin) {
      result.append(text, i, quoted[r].end - i);
      i = quoted[r].end;
      continue;
    }
    if (text.compare(i, 4, "[out") == 0 && i + 5 < text.size() && isDigit(text[i + 4]) && text[i + 5] == ']') {
      i += 6;
      continue;
    }
    result += text[i++];
  }
  return result;
}

// Appends one piece of a command text. A piece that would touch the text
// before it gets a blank in between: "-filter_complex \"g\"-i \"a.mp4\"" is read
// by the argument splitter as the argument g-i followed by a bare a.mp4, which
// ffmpeg takes for an output file, the task's own input.
void appendPiece(std::string& text, std::string_view piece) {
  if (piece.empty()) return;
  if (!text.empty() && text.back() != ' ' && piece.front() != ' ') text += ' ';
  text += piece;
}

// False when the path cannot be written into a command text (the task parser
// refuses such paths; this keeps the command from ever holding one).
bool appendFileInput(std::string& text, const TaskIoItem& item) {
  const std::optional<std::string> input = quotedInputArgument(item.value);
  if (!input) return false;
  if (!item.prevOp.empty()) {
    text += ' ';
    text += item.prevOp;
  }
  text += *input;
  return true;
}

// When `fragment` opens the file of `item` (-i and the quoted path, at its
// start or after a blank), the file's input options are put in front of that
// -i and true is returned: the item must not be written as an input again.
bool takeOverFileInput(std::string& fragment, const TaskIoItem& item) {
  const std::optional<std::string> quoted = quoteForCommand(item.value);
  if (!quoted) return false;
  const std::string opened = "-i " + *quoted;
  std::size_t at = fragment.find(opened);
  while (at != std::string::npos && at > 0 && fragment[at - 1] != ' ') at = fragment.find(opened, at + 1);
  if (at == std::string::npos) return false;
  if (!item.prevOp.empty()) fragment.insert(at, item.prevOp + " ");
  return true;
}

void addInputPaths(std::vector<std::string>& files, std::string_view text) {
  for (const std::string& path : extractInputPaths(text)) addInputFile(files, path);
}

// Step 1: a pad label that names an output nothing else in the graph reads
// would leave an unconnected pad behind; drop it.
void removeUnreadPadLabels(TaskOperation& operation) {
  std::string& transform = operation.m_transform;
  for (const auto& [value, number] : operation.m_padLabels) {
    std::string label = fmt::format("[{}", number);
    std::size_t pos = findUnquoted(transform, label);
    if (pos == std::string::npos) continue;
    if (findUnquoted(transform, label, pos + 3) != std::string::npos) continue;
    std::size_t close = transform.find(']', pos);
    if (close == std::string::npos) continue;
    transform.erase(pos, close - pos + 1);
  }
}

// The graph text the input walk ends with: the value of the last intermediate
// item read (the walk stops at a lavfi graph in an operation with several
// inputs, after taking its value).
std::string lastIntermediateValue(const TaskOperation& operation) {
  std::string graph;
  for (const TaskIoItem& item : operation.m_inputs) {
    if (item.value.empty() || item.type != 2) continue;
    graph = item.value;
    if (contains(item.value, "movie=") && operation.m_inputs.size() >= 2) break;
  }
  return graph;
}

}  // namespace

void addInputFile(std::vector<std::string>& files, const std::string& path) {
  if (asciiIEndsWith(path, ".ass") || asciiIEndsWith(path, ".srt")) return;
  if (path.empty()) return;
  for (const std::string& existing : files) {
    if (existing == path) return;
  }
  files.push_back(path);
}

FFmpegCommand toCommad(TaskOperation& operation, const PlanningSnapshot& snapshot) {
  removeUnreadPadLabels(operation);

  FFmpegCommand result;
  std::string text;
  std::string outputOptions;

  // The record is looked up before the inputs are written: when it carries a
  // command fragment, that fragment is the operation in its command form and
  // stands in place of the graph, which must then not be written as well.
  std::string graphText = lastIntermediateValue(operation);
  if (graphText.empty()) graphText = extractGraphText(operation.m_transform);
  result.key = graphText;
  // findGraphEntry never answers for the empty key: a failed "process" request
  // files its record there, and it belongs to no command.
  const LavfiOutputRecord* record = findGraphEntry(snapshot.outputRecords, graphText);
  if (record == nullptr) record = findGraphEntry(snapshot.outputRecords, operation.m_transform);
  const bool fragmentReplacesGraph = record != nullptr && !record->cmd.empty();
  std::string fragment = fragmentReplacesGraph ? record->cmd : std::string();

  bool unwritable = false;
  for (const TaskIoItem& item : operation.m_inputs) {
    if (item.value.empty()) continue;
    if (item.type == 1) {
      // The fragment opens its own inputs: a file it opens too (the graph in
      // the transform, its file as the input) is opened once, by the fragment.
      if (fragmentReplacesGraph && takeOverFileInput(fragment, item)) {
        addInputFile(result.inputFiles, item.value);
        continue;
      }
      unwritable = unwritable || !appendFileInput(text, item);
      addInputFile(result.inputFiles, item.value);
    } else if (item.type == 2) {
      if (contains(item.value, "movie=")) {
        if (operation.m_inputs.size() >= 2) {
          logAt(kLogError, "toCommad", 111,
                fmt::format("m_inputs have {} items, but some items are lavfi", operation.m_inputs.size()));
          break;
        }
        if (!(fragmentReplacesGraph && item.value == graphText)) {
          const std::string& graph = operation.m_graphText.empty() ? item.value : operation.m_graphText;
          appendPiece(text, "-filter_complex \"" + withoutOutLabels(graph) + "\"");
        }
        addInputPaths(result.inputFiles, item.value);
      } else if (contains(item.value, "-i ")) {
        if (!(fragmentReplacesGraph && item.value == graphText)) appendPiece(text, item.value);
        addInputPaths(result.inputFiles, item.value);
      } else {
        unwritable = unwritable || !appendFileInput(text, item);
        addInputFile(result.inputFiles, item.value);
      }
    }
  }

  if (record != nullptr) {
    outputOptions = record->outputConfig;
    if (!record->cmd.empty()) {
      appendPiece(text, fragment);
      addInputPaths(result.inputFiles, fragment);
      operation.m_transform.clear();
    }
  }

  if (!operation.m_outputs.empty()) {
    const std::string out = operation.m_outputs.front().value;
    if (asciiIEndsWith(out, ".dts")) outputOptions = " -strict -2";
    applySubtitleOptions(text, out, outputOptions);
    if (asciiIEndsWith(out, ".mp4") && !contains(outputOptions, "-movflags +faststart")) {
      outputOptions += " -movflags +faststart";
    }

    const bool skipOptions = asciiIEndsWith(out, ".ass") || asciiIEndsWith(out, ".png");
    if (operation.m_transform.empty()) {
      if (!outputOptions.empty()) applyContainerDefaults(out, std::string(), outputOptions);
      if (!skipOptions) {
        text += ' ';
        text += outputOptions;
      }
    } else {
      std::string graph = withoutOutLabels(operation.m_transform);
      applyContainerDefaults(out, graph, outputOptions);
      text += ' ';
      text += graph;
      if (!outputOptions.empty() && !skipOptions) {
        text += ' ';
        text += outputOptions;
      }
    }
    const std::optional<std::string> quotedOut = quoteForCommand(out);
    unwritable = unwritable || !quotedOut;
    text += ' ';
    text += quotedOut.value_or(std::string());
    result.outputPath = out;
  }

  if (unwritable) {
    // No command at all rather than one whose arguments run into each other:
    // the runner fails it visibly.
    logAt(kLogError, "toCommad", 0, "a path cannot be written into the command: " + text);
    text.clear();
  }
  result.commandLine = std::move(text);
  applyStreamCopy(result.commandLine);
  applyAttachedPicture(operation, result.commandLine);

  chooseVideoEncoder(snapshot.hardwareVendor, result.commandLine);
  applyQualityOptions(result.commandLine);

  if (result.inputFiles.empty()) {
    std::vector<std::string> paths;
    if (const std::vector<std::string>* known = snapshot.findInputFiles(result.key)) paths = *known;
    if (paths.empty()) paths = extractInputPaths(result.key);
    if (paths.empty()) paths = extractInputPaths(operation.m_transform);
    for (const std::string& path : paths) addInputFile(result.inputFiles, path);
  }
  return result;
}

}  // namespace qel
