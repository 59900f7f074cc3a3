#include "engine/staged_output.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <system_error>
#include <utility>
#include <vector>

#include "commands/spelled_files.h"
#include "commands/staged_name.h"
#include "common/command_line.h"
#include "common/command_quote.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

std::string systemMessage(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

StagedOutput::StagedOutput(std::string spelled)
    : spelled_(std::move(spelled)), target_(std::string(fileBehindFFmpegPath(spelled_))) {}

StagedOutput::~StagedOutput() { discard(); }

bool StagedOutput::prepare(std::string& error) {
  discard();
  const std::string name = target_.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = systemMessage(EISDIR);
    return false;
  }
  struct stat status {};
  if (::lstat(target_.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? systemMessage(EISDIR) : "the output exists and is no regular file";
    return false;
  }
  std::string folder = stagingFolderTemplate(spelled_);
  if (::mkdtemp(folder.data()) == nullptr) {
    error = systemMessage(errno);
    return false;
  }
  folder_ = folder;
  staged_ = stagedOutputName(folder, spelled_);
  return true;
}

bool StagedOutput::commit(std::string& error) {
  if (folder_.empty()) return true;
  const std::string name = target_.filename().string();
  const std::optional<FramePattern> pattern = framePattern(name);
  std::vector<std::string> written;
  std::error_code ec;
  for (fs::directory_iterator entry(folder_, ec), end; !ec && entry != end; entry.increment(ec)) {
    const std::string file = entry->path().filename().string();
    if (!entry->is_regular_file(ec)) continue;
    if (file == name || (pattern && matchesFramePattern(*pattern, file))) written.push_back(file);
  }
  if (ec) {
    error = ec.message();
    discard();
    return false;
  }
  if (written.empty()) {
    // ffmpeg may end without an error and without its file: an option that
    // asks for information only ("-version"), or a name it read otherwise
    // than the guard. The user's file is then as it was, and no result is.
    error = "output file was not written: " + spelled_;
    discard();
    return false;
  }
  // Number order does not matter here: the listing of what was written is
  // the caller's, made after the files are in place.
  for (const std::string& file : written) {
    const fs::path destination = target_.parent_path() / file;
    if (std::rename((folder_ / file).c_str(), destination.c_str()) != 0) {
      error = destination.string() + ": " + systemMessage(errno);
      discard();
      return false;
    }
  }
  discard();
  return true;
}

void StagedOutput::discard() {
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);  // links inside are removed, never followed
  folder_.clear();
  staged_.clear();
}

std::optional<std::string> replaceOutputArgument(const std::string& commandLine, const std::string& output,
                                                 const std::string& replacement) {
  const std::optional<std::string> quotedOutput = quoteForCommand(output);
  const std::optional<std::string> quotedReplacement = quoteForCommand(replacement);
  if (!quotedOutput || !quotedReplacement) return std::nullopt;
  std::vector<std::string> expected = splitCommandLine(commandLine);
  const auto last = std::find(expected.rbegin(), expected.rend(), output);
  if (last == expected.rend()) return std::nullopt;
  *last = replacement;
  // The quoted run that is the output argument: replacing it must change that
  // one argument and nothing else, which the split of the result proves.
  const std::vector<QuotedRun> runs = quotedRunsOfCommandLine(commandLine);
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    if (commandLine.compare(run->begin, run->end - run->begin, *quotedOutput) != 0) continue;
    std::string candidate = commandLine.substr(0, run->begin) + *quotedReplacement + commandLine.substr(run->end);
    if (splitCommandLine(candidate) == expected) return candidate;
  }
  return std::nullopt;
}

}  // namespace qel
