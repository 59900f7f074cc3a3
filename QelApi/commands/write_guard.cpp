#include "commands/write_guard.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>
#include <system_error>

#include <fmt/format.h>

#include "commands/allowed_outputs.h"
#include "commands/command_plan.h"
#include "commands/ffmpeg_args.h"
#include "commands/input_reads.h"
#include "commands/filter_text.h"
#include "commands/task_operation.h"
#include "commands/vocabulary.h"
#include "common/command_line.h"
#include "common/text_edit.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxLinkHops = 40;

// The path with every symbolic link in it followed, a dangling one too: a
// write through a link that leads nowhere yet creates the file it names.
fs::path followLinks(const fs::path& absolute) {
  const fs::path relative = absolute.relative_path();
  std::vector<fs::path> rest(relative.begin(), relative.end());
  std::reverse(rest.begin(), rest.end());  // the next component last
  fs::path result = absolute.root_path();
  int hops = 0;
  while (!rest.empty()) {
    const fs::path part = std::move(rest.back());
    rest.pop_back();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      result = result.parent_path();
      continue;
    }
    std::error_code ec;
    const fs::path next = result / part;
    if (!fs::is_symlink(fs::symlink_status(next, ec)) || ec) {
      result = next;
      continue;
    }
    const fs::path target = fs::read_symlink(next, ec);
    if (ec || ++hops > kMaxLinkHops) return absolute.lexically_normal();
    if (target.is_absolute()) result = target.root_path();
    const fs::path targetParts = target.relative_path();
    std::vector<fs::path> parts(targetParts.begin(), targetParts.end());
    rest.insert(rest.end(), parts.rbegin(), parts.rend());
  }
  return result;
}

fs::path resolved(std::string_view spelled) {
  std::error_code ec;
  fs::path path(fileBehindFFmpegPath(spelled));
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return path.lexically_normal();
  return followLinks(absolute);
}

std::string absoluteNormal(std::string_view spelled) {
  std::error_code ec;
  fs::path path(fileBehindFFmpegPath(spelled));
  fs::path absolute = fs::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal().string();
}

// The sequence field of an output name, over its absolute form (so that a
// field in a folder part is compared as well).
std::optional<FramePattern> absolutePattern(const std::string& output) {
  if (!framePattern(fileBehindFFmpegPath(output))) return std::nullopt;
  return framePattern(absoluteNormal(output));
}

std::string frameName(const FramePattern& pattern, unsigned long long number) {
  return pattern.prefix + fmt::format("{:0{}}", number, std::max(pattern.width, 0)) + pattern.suffix;
}

// Two sequences may write one file when they differ only in the field's width
// (large numbers have no padding), or when some typical frame number of one
// gives a name of the other.
bool sequencesOverlap(const FramePattern& a, const FramePattern& b) {
  if (a.prefix == b.prefix && a.suffix == b.suffix) return true;
  for (unsigned long long n : {0ull, 1ull, 2ull, 9ull, 10ull, 11ull, 99ull, 100ull, 999ull, 1000ull, 9999ull, 10000ull,
                               99999ull, 100000ull, 999999ull, 1000000ull}) {
    if (matchesFramePattern(b, frameName(a, n)) || matchesFramePattern(a, frameName(b, n))) return true;
  }
  return false;
}

bool isNoFile(std::string_view name) { return name == "-" || name.starts_with("pipe:") || name.starts_with("fd:"); }

// The options that name a filter graph, whose movie sources are inputs, and
// those that name a file holding one.
bool isGraphOption(std::string_view name) {
  return name == "filter_complex" || name == "lavfi" || name == "vf" || name == "af" || name == "filter";
}
bool isGraphScriptOption(std::string_view name) { return name == "filter_complex_script" || name == "filter_script"; }

void addReads(const InputReads& more, InputReads& reads) {
  for (const std::string& file : more.files) appendIfAbsent(reads.files, file);
  if (!reads.refusal) reads.refusal = more.refusal;
}

void addGraphReads(std::string_view graph, InputReads& reads) {
  for (const MovieSource& source : movieSources(graph)) addReads(inputReads(source.filename, source.format), reads);
}

// A graph read from a file: the file itself, opened as an input name is, and
// the movie sources of the graph in it.
void addGraphScriptReads(std::string_view script, InputReads& reads) {
  addReads(inputReads(script, ""), reads);
  if (const std::optional<std::string> text = readListText(script)) addGraphReads(*text, reads);
}

// The reads of every input that the items of an operation name.
InputReads operationReads(const TaskOperation& operation) {
  InputReads reads;
  for (const TaskIoItem& item : operation.m_inputs) {
    if (item.value.empty()) continue;
    if (item.type == 2 && contains(item.value, "movie=")) {
      addGraphReads(item.value, reads);
    } else if (item.type == 2 && contains(item.value, "-i ")) {
      for (const ArgGroup& group : ffmpegArgGroups(item.value)) {
        if (group.input()) addReads(inputReads(group.name, forcedInputFormat(group.options)), reads);
      }
    } else if (item.type == 1 || item.type == 2) {
      addReads(inputReads(item.value, forcedInputFormat(splitCommandLine(item.prevOp))), reads);
    }
  }
  return reads;
}

std::string refusalMessage(const GuardRefusal& refusal) {
  return fmt::format("{}, refused: {}", refusal.reason, refusal.name);
}

bool writeOneFile(const std::string& a, const std::string& b) { return mayWrite(a, b) || mayWrite(b, a); }

// An output name of commands[index] that writes the file of another of its
// output names, or of an output of an earlier command. Only the command's own
// output argument is written beside its place: any other is written where it
// stands at once, and would destroy that file whatever the command's end.
std::optional<std::string> findSecondWrite(const std::vector<FFmpegCommand>& commands, std::size_t index) {
  std::vector<std::string> names;
  for (const ArgGroup& group : ffmpegArgGroups(commands[index].commandLine)) {
    if (!group.output() || isNoFile(group.name)) continue;
    for (const std::string& earlier : names) {
      if (writeOneFile(earlier, group.name)) return group.name;
    }
    names.push_back(group.name);
  }
  for (std::size_t i = 0; i < index; ++i) {
    for (const std::string& written : commandWrites(commands[i])) {
      for (const std::string& name : names) {
        if (writeOneFile(written, name)) return name;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;
  const fs::path left = resolved(a);
  const fs::path right = resolved(b);
  if (left == right) return true;
  std::error_code ec;
  const bool same = fs::equivalent(left, right, ec);
  return !ec && same;
}

bool mayWrite(const std::string& output, const std::string& file) {
  if (isNoFile(output)) return false;
  if (sameFile(output, file)) return true;
  const std::optional<FramePattern> pattern = absolutePattern(output);
  if (!pattern) return false;
  if (matchesFramePattern(*pattern, absoluteNormal(file)) || matchesFramePattern(*pattern, resolved(file).string())) {
    return true;
  }
  // A file of the sequence that is another name of `file` (a link).
  for (const std::string& existing : existingSequenceFiles(output)) {
    if (sameFile(existing, file)) return true;
  }
  return false;
}

InputReads commandInputs(const FFmpegCommand& command) {
  InputReads reads;
  // The input files are the command's own reading of its text (a lavfi
  // graph among them, as a name): their protocol reads only. The text itself
  // is read below with each input's format.
  for (const std::string& file : command.inputFiles) {
    for (const std::string& read : filesReadThrough(file)) appendIfAbsent(reads.files, read);
  }
  for (const ArgGroup& group : ffmpegArgGroups(command.commandLine)) {
    if (group.input()) addReads(inputReads(group.name, forcedInputFormat(group.options)), reads);
    for (const ParsedOption& option : ffmpegOptions(group.options)) {
      if (!option.value) continue;
      if (isGraphOption(option.name)) addGraphReads(*option.value, reads);
      if (isGraphScriptOption(option.name)) addGraphScriptReads(*option.value, reads);
    }
  }
  if (command.commandLine.find("movie='") != std::string::npos) {
    for (const std::string& path : extractInputPaths(command.commandLine)) addReads(inputReads(path, ""), reads);
  }
  return reads;
}

std::vector<std::string> commandReads(const FFmpegCommand& command) { return commandInputs(command).files; }

std::vector<std::string> commandWrites(const FFmpegCommand& command) {
  std::vector<std::string> writes;
  if (!command.outputPath.empty()) writes.push_back(command.outputPath);
  // ffmpeg takes every argument that is neither an option nor an option's
  // value as an output file: a transform can name one of its own.
  for (const ArgGroup& group : ffmpegArgGroups(command.commandLine)) {
    if (group.output() && !isNoFile(group.name)) appendIfAbsent(writes, group.name);
  }
  return writes;
}

bool writesOutputFile(const FFmpegCommand& command) {
  if (command.outputPath.empty()) return false;
  // The output argument is the last one of that name (as the worker replaces it).
  const std::vector<ArgGroup> groups = ffmpegArgGroups(command.commandLine);
  const auto output = std::find_if(groups.rbegin(), groups.rend(), [&](const ArgGroup& group) {
    return group.output() && group.name == command.outputPath;
  });
  return output == groups.rend() || forcedOutputFormat(output->options) != "null";
}

std::optional<std::string> findOverwrittenInput(const FFmpegCommand& command) {
  return findOverwrittenInput(std::vector<FFmpegCommand>{command}, 0);
}

std::optional<std::string> findOverwrittenInput(const std::vector<FFmpegCommand>& commands, std::size_t index) {
  if (index >= commands.size()) return std::nullopt;
  const std::vector<std::string> writes = commandWrites(commands[index]);
  if (writes.empty()) return std::nullopt;
  for (std::size_t i = 0; i <= index; ++i) {
    for (const std::string& input : commandReads(commands[i])) {
      for (const std::string& output : writes) {
        if (mayWrite(output, input)) return input;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> commandRefusal(const std::vector<FFmpegCommand>& commands, std::size_t index) {
  if (index >= commands.size()) return std::nullopt;
  const FFmpegCommand& command = commands[index];
  for (const ArgGroup& group : ffmpegArgGroups(command.commandLine)) {
    if (!group.output()) continue;
    if (std::optional<GuardRefusal> refusal = outputRefusal(group.name, group.options)) {
      return refusalMessage(*refusal);
    }
  }
  if (std::optional<GuardRefusal> refusal = commandInputs(command).refusal) return refusalMessage(*refusal);
  if (std::optional<std::string> twice = findSecondWrite(commands, index)) return outputWrittenTwiceMessage(*twice);
  if (std::optional<std::string> input = findOverwrittenInput(commands, index)) return overwrittenInputMessage(*input);
  return std::nullopt;
}

std::optional<std::string> findRefusedName(const std::vector<TaskOperation>& operations) {
  std::vector<std::string> taskReads;
  for (const TaskOperation& operation : operations) {
    InputReads reads = operationReads(operation);
    if (reads.refusal) return refusalMessage(*reads.refusal);
    for (std::string& file : reads.files) appendIfAbsent(taskReads, file);
  }
  for (const TaskOperation& operation : operations) {
    // The transform stands on the output side of the command: its options
    // after any input it names are the output's.
    const std::vector<ArgGroup> groups = ffmpegArgGroups(operation.m_transform);
    const bool trailing = !groups.empty() && groups.back().kind == ArgGroup::Kind::Trailing;
    const std::vector<std::string> options = trailing ? groups.back().options : std::vector<std::string>{};
    for (const TaskIoItem& item : operation.m_outputs) {
      if (item.value.empty()) continue;
      if (std::optional<GuardRefusal> refusal = outputRefusal(item.value, options)) return refusalMessage(*refusal);
    }
  }
  // A link among the outputs may lead to a file the task reads: it would be
  // written through the link.
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& item : operation.m_outputs) {
      std::error_code ec;
      const std::string path(fileBehindFFmpegPath(item.value));
      if (path.empty() || !fs::is_symlink(fs::symlink_status(path, ec)) || ec) continue;
      for (const std::string& read : taskReads) {
        if (mayWrite(item.value, read)) {
          return refusalMessage({item.value, fmt::format("output is a link that leads to the input {}", read)});
        }
      }
    }
  }
  return std::nullopt;
}

std::string overwrittenInputMessage(const std::string& input) {
  return fmt::format("output file is also an input of the command, refused: {}", input);
}

std::optional<std::string> findOutputWrittenTwice(const std::vector<TaskOperation>& operations) {
  // Plain names are compared by their resolved path and, when the file exists,
  // by its identity (hard links): a task may hold many operations. Sequences,
  // rare, are compared with every other name.
  std::set<std::string> paths;
  std::set<std::pair<dev_t, ino_t>> identities;
  std::vector<const std::string*> outputs;
  std::vector<std::pair<const std::string*, FramePattern>> sequences;
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& item : operation.m_outputs) {
      const std::string& output = item.value;
      if (output.empty() || isNoFile(output)) continue;
      for (const auto& [sequence, pattern] : sequences) {
        if (mayWrite(*sequence, output)) return output;
      }
      if (const std::optional<FramePattern> pattern = absolutePattern(output)) {
        for (const std::string* earlier : outputs) {
          if (mayWrite(output, *earlier)) return output;
        }
        for (const auto& [sequence, earlierPattern] : sequences) {
          if (sequencesOverlap(earlierPattern, *pattern)) return output;
        }
        sequences.emplace_back(&output, *pattern);
      }
      const fs::path path = resolved(output);
      if (!paths.insert(path.string()).second) return output;
      struct stat status {};
      if (::stat(path.c_str(), &status) == 0 && !identities.insert({status.st_dev, status.st_ino}).second) {
        return output;
      }
      outputs.push_back(&output);
    }
  }
  return std::nullopt;
}

std::string outputWrittenTwiceMessage(const std::string& output) {
  return fmt::format("two outputs of the task write one file, refused: {}", output);
}

}  // namespace qel
