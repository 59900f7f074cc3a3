#include "commands/write_guard.h"

#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "commands/command_plan.h"
#include "commands/filter_text.h"
#include "common/process.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

// Protocols that open the file named after them.
constexpr std::string_view kFileWrappers[] = {"file:", "async:", "cache:"};

fs::path resolved(std::string_view spelled) {
  std::error_code ec;
  fs::path path(fileBehindFFmpegPath(spelled));
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return path.lexically_normal();
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal() : canonical;
}

}  // namespace

std::string_view fileBehindFFmpegPath(std::string_view spelled) {
  bool stripped = true;
  while (stripped) {
    stripped = false;
    for (std::string_view wrapper : kFileWrappers) {
      if (spelled.starts_with(wrapper)) {
        spelled.remove_prefix(wrapper.size());
        stripped = true;
      }
    }
    // subfile,,start,N,end,M,,:path reads a part of path.
    if (spelled.starts_with("subfile,")) {
      const std::size_t colon = spelled.find(':');
      if (colon == std::string_view::npos) break;
      spelled.remove_prefix(colon + 1);
      stripped = true;
    }
  }
  return spelled;
}

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

std::vector<std::string> commandReads(const FFmpegCommand& command) {
  std::vector<std::string> reads = command.inputFiles;
  const std::vector<std::string> args = splitCommandLine(command.commandLine);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "-i") reads.push_back(args[i + 1]);
  }
  if (command.commandLine.find("movie='") != std::string::npos) {
    for (std::string& path : extractInputPaths(command.commandLine)) reads.push_back(std::move(path));
  }
  return reads;
}

std::optional<std::string> findOverwrittenInput(const FFmpegCommand& command) {
  return findOverwrittenInput(std::vector<FFmpegCommand>{command}, 0);
}

std::optional<std::string> findOverwrittenInput(const std::vector<FFmpegCommand>& commands, std::size_t index) {
  if (index >= commands.size()) return std::nullopt;
  const std::string& output = commands[index].outputPath;
  if (output.empty()) return std::nullopt;
  for (std::size_t i = 0; i <= index; ++i) {
    for (const std::string& input : commandReads(commands[i])) {
      if (sameFile(output, input)) return input;
    }
  }
  return std::nullopt;
}

std::string overwrittenInputMessage(const std::string& input) {
  return fmt::format("output file is also an input of the command, refused: {}", input);
}

}  // namespace qel
