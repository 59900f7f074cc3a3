#include "commands/write_guard.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <utility>
#include <system_error>

#include <fmt/format.h>

#include "commands/command_plan.h"
#include "commands/filter_text.h"
#include "commands/task_operation.h"
#include "commands/vocabulary.h"
#include "common/command_line.h"
#include "common/text_edit.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

fs::path resolved(std::string_view spelled) {
  std::error_code ec;
  fs::path path(fileBehindFFmpegPath(spelled));
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return path.lexically_normal();
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal() : canonical;
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

// True when the option (without its '-') takes no value on the command line.
bool isFlagOption(std::string_view name) {
  if (const FfmpegOption* row = findFfmpegOption(name)) return !row->takesArgument();
  if (name == "hide_banner") return true;
  // ffmpeg's negated booleans: -nostdin, -noaccurate_seek ...
  if (name.starts_with("no")) {
    if (const FfmpegOption* row = findFfmpegOption(name.substr(2))) return !row->takesArgument();
  }
  return false;
}

void addReadsOf(const std::string& name, std::vector<std::string>& reads) {
  for (std::string& file : filesReadThrough(name)) appendIfAbsent(reads, file);
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

std::vector<std::string> commandReads(const FFmpegCommand& command) {
  std::vector<std::string> reads;
  for (const std::string& file : command.inputFiles) addReadsOf(file, reads);
  const std::vector<std::string> args = splitCommandLine(command.commandLine);
  std::string format;  // the -f given to the input being read
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "-f") {
      format = args[++i];
      continue;
    }
    if (args[i] != "-i") continue;
    const std::string& input = args[++i];
    addReadsOf(input, reads);
    // The concat demuxer reads the files its list names.
    if (format == "concat") {
      if (const std::optional<std::string> list = readListText(input)) {
        for (const std::string& file : ffconcatListFiles(*list, input)) addReadsOf(file, reads);
      }
    }
    format.clear();
  }
  if (command.commandLine.find("movie='") != std::string::npos) {
    for (const std::string& path : extractInputPaths(command.commandLine)) addReadsOf(path, reads);
  }
  return reads;
}

std::vector<std::string> commandWrites(const FFmpegCommand& command) {
  std::vector<std::string> writes;
  if (!command.outputPath.empty()) writes.push_back(command.outputPath);
  // ffmpeg takes every argument that is neither an option nor an option's
  // value as an output file: a transform can name one of its own.
  const std::vector<std::string> args = splitCommandLine(command.commandLine);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 1 && arg.front() == '-') {
      if (!isFlagOption(std::string_view(arg).substr(1))) ++i;
      continue;
    }
    if (!arg.empty() && !isNoFile(arg)) appendIfAbsent(writes, arg);
  }
  return writes;
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
