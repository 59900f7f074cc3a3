#include "engine/ffmpeg_wraper.h"

#include <optional>
#include <regex>
#include <vector>

#include <fmt/format.h>

#include "commands/probe_document.h"
#include "commands/vocabulary.h"
#include "common/command_line.h"
#include "common/command_quote.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {
namespace {

using std::chrono::milliseconds;

// How long terminate lets a child end by itself before killing it, and how long
// it then waits for the child to be gone.
constexpr milliseconds kGraceWait{10};
constexpr milliseconds kFinalWait{5000};

// Once the child has ended, its last lines are still in the pipe. Quiet polls
// tolerated while collecting them (a grandchild may hold the pipe open), and a
// bound on the reads so a chatty grandchild cannot keep us here.
constexpr int kDrainQuietPolls = 3;
constexpr int kDrainMaxReads = 256;

}  // namespace

// ---------------------------------------------------------------------------
// InternalFFmpegWraper

InternalFFmpegWraper::~InternalFFmpegWraper() { stop(); }

bool InternalFFmpegWraper::launch(const std::string& commandLine, std::string& error) {
  if (refreshRunning()) {
    error = "a child process is already running";
    return false;
  }
  // An earlier child that has ended but was never stopped is released first, so
  // its descriptors do not leak and it does not stay a zombie.
  child_.terminate(kGraceWait, kFinalWait);
  const std::vector<std::string> argv = splitCommandLine(commandLine);
  if (argv.empty()) {
    error = "empty command line";
    return false;
  }
  SpawnOptions options;
  options.pipeStdin = true;  // ffmpeg polls stdin for keys; a pipe we never write keeps it quiet
  options.stdoutMode = ChildOutput::Null;
  options.stderrMode = ChildOutput::Pipe;
  return child_.start(argv, options, error);
}

size_t InternalFFmpegWraper::readOutput(ReadStatus& status) {
  const size_t before = readBuffer_.size();
  status = child_.readSomeStderr(readBuffer_, kReadWait);
  return readBuffer_.size() - before;
}

bool InternalFFmpegWraper::noteChildState(ChildState state, int code) {
  switch (state) {
    case ChildState::Running: exitCode_ = kStillActive; return true;
    case ChildState::Exited: exitCode_ = static_cast<uint32_t>(code); return false;
    case ChildState::NoChild: break;
  }
  return false;
}

bool InternalFFmpegWraper::refreshRunning() {
  int code = 0;
  const ChildState state = child_.poll(code);
  return noteChildState(state, code);
}

bool InternalFFmpegWraper::waitForExit(milliseconds timeout) {
  int code = 0;
  const ChildState state = child_.pollAfter(timeout, code);
  return noteChildState(state, code);
}

void InternalFFmpegWraper::reset() {
  statsSeen_ = false;
  failed_ = false;
  errorTextSeen_ = false;
  startFailed_ = false;
  lastStatsEmpty_ = false;
  totalSeconds_ = 0;
  readBuffer_.clear();
  lastLine_.clear();
  matchedErrorText_.clear();
  progress_.clear();
}

int InternalFFmpegWraper::start(const std::string& args) {
  if (isRunning()) return -1;
  lastLines_.clear();
  startFailed_ = false;

  const std::optional<std::string> program = quoteForCommand(ffmpegPath_);
  const std::string commandLine = program.value_or("\"\"") + " -y -v error -stats " + args;
  if (progress_.duration.empty()) {
    progress_.duration = secondsToClockText(totalSeconds_);
    progress_.estimateTime = progress_.duration;
  }
  if (progress_.speed.empty()) progress_.speed = "1x";
  if (progress_.size.empty()) progress_.size = "0kB";
  progress_.fileNums = extractInputFiles(commandLine);

  std::string error = "the ffmpeg path cannot be written into a command";
  if (!program || !launch(commandLine, error)) {
    // Without this the next readProgress would judge the command by the exit
    // code of an earlier child.
    startFailed_ = true;
    lastLine_ = "failed to start ffmpeg: " + error;
    QEL_LOG_ERROR(fmt::format("{} ({})", lastLine_, ffmpegPath_));
    return -1;
  }
  return 0;
}

bool InternalFFmpegWraper::stop() { return child_.terminate(kGraceWait, kFinalWait); }

bool InternalFFmpegWraper::isRunning() { return refreshRunning(); }

bool InternalFFmpegWraper::hasProgress() { return statsSeen_; }

bool InternalFFmpegWraper::hasError() { return failed_; }

std::string InternalFFmpegWraper::lastMessage() { return lastLine_; }

void InternalFFmpegWraper::readProgress(ProgressInfo& out, bool& finished, bool& failed) {
  // The one wait of a poll: the read waits in poll() for ffmpeg's output (at
  // most kReadWait), which paces the worker's reports while ffmpeg runs.
  ReadStatus status = ReadStatus::Timeout;
  readOutput(status);
  bool running = refreshRunning();
  if (running && (status == ReadStatus::EndOfFile || status == ReadStatus::Error)) {
    // ffmpeg closed its output: it is ending. Wait on the child itself, not
    // on a clock, so its end is seen the moment it comes.
    running = waitForExit(kReadWait);
  }
  if (!running) {
    // ffmpeg's final lines (its error message, the last stats) are still in the
    // pipe: read until the pipe reports its end.
    int quiet = 0;
    for (int reads = 0; reads < kDrainMaxReads && quiet < kDrainQuietPolls; ++reads) {
      ReadStatus drainStatus = ReadStatus::EndOfFile;
      if (readOutput(drainStatus) == 0) {
        if (drainStatus != ReadStatus::Timeout) break;
        ++quiet;
      }
    }
  }

  takeLines();
  if (running) {
    finished = false;
    out = progress_;
    failed = failed_;
    return;
  }

  finishCommand(failed);
  finished = true;
  out = progress_;
}

void InternalFFmpegWraper::finishCommand(bool& failed) {
  failed_ = startFailed_ || exitCode_ != 0;
  if (!failed_ && lastStatsEmpty_) {
    // ffmpeg exits 0 after encoding nothing at all (a cut past the end, a
    // filter that drops every frame) and leaves an output without streams;
    // that is no result.
    failed_ = true;
    lastLine_ = kNothingEncodedMessage;
  }
  if (errorTextSeen_) {
    // ffmpeg may exit 0 after an error it only printed (a full disk while
    // muxing); the known text decides, and it is what the report shows.
    failed_ = true;
    lastLine_ = matchedErrorText_;
  }
  if (failed_) {
    for (const std::string& line : lastLines_) logText(kLogNotice, line);
    lastLines_.clear();
  }
  progress_.error = failed_;
  progress_.finished = true;
  progress_.estimateTime = "00:00:00";
  progress_.usedTime = progress_.duration;
  failed = failed_;
}

bool statsShowNothingEncoded(std::string_view line) {
  // The text after "name=" up to the next blank, blanks after '=' skipped.
  auto field = [&](std::string_view name) -> std::optional<std::string_view> {
    std::size_t at = 0;
    while ((at = line.find(name, at)) != std::string_view::npos) {
      // "size=" must not be found inside "Lsize=" as a different field, but
      // both spell the output size; any other letter in front is another field.
      if (at == 0 || line[at - 1] == ' ' || (name == "size=" && line[at - 1] == 'L')) break;
      at += name.size();
    }
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t begin = at + name.size();
    while (begin < line.size() && line[begin] == ' ') ++begin;
    std::size_t end = line.find(' ', begin);
    if (end == std::string_view::npos) end = line.size();
    return line.substr(begin, end - begin);
  };
  auto allZero = [](std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
      if (c != '0' && c != ':' && c != '.') return false;
    }
    return true;
  };
  const std::optional<std::string_view> frames = field("frame=");
  const std::optional<std::string_view> size = field("size=");
  const std::optional<std::string_view> time = field("time=");
  if (frames && !allZero(*frames)) return false;
  if (!size || !time) return false;
  const bool noBytes = *size == "N/A" || *size == "0kB";
  const bool noTime = *time == "N/A" || allZero(*time);
  return noBytes && noTime;
}

std::optional<StatsLine> readStatsLine(std::string_view line) {
  // The cheap test first: the pattern is applied only to lines that pass it.
  const size_t sizeAt = line.find("size=");
  const size_t timeAt = line.find("time=");
  const size_t speedAt = line.find("speed=");
  if (sizeAt == std::string_view::npos || timeAt == std::string_view::npos || speedAt == std::string_view::npos) {
    return std::nullopt;
  }
  if (!(sizeAt < timeAt && timeAt < speedAt)) return std::nullopt;
  if (line.size() > kMaxStatsLine) return std::nullopt;
  StatsLine stats;
  stats.nothingEncoded = statsShowNothingEncoded(line);

  static const std::regex kStats(R"(.*size=\s*(.*B)\s{1,5}time=(\d{2}:\d{2}:\d{2}).*\s{1,5}speed=(.*x))",
                                 std::regex::ECMAScript);
  std::cmatch match;
  if (std::regex_search(line.data(), line.data() + line.size(), match, kStats)) {
    stats.fields = StatsLine::Fields{match[1].str(), match[2].str(), match[3].str()};
  }
  return stats;
}

void InternalFFmpegWraper::consumeOutput(std::string_view text) {
  readBuffer_.append(text);
  takeLines();
}

bool InternalFFmpegWraper::takeLines() {
  bool lastHadText = false;
  size_t from = 0;
  while (true) {
    const size_t end = readBuffer_.find_first_of("\r\n", from);
    if (end == std::string::npos) break;
    const std::string line = readBuffer_.substr(from, end - from);
    handleLine(line);
    lastHadText = !line.empty();
    from = end + 1;
  }
  readBuffer_.erase(0, from);
  if (readBuffer_.size() > kMaxPendingText) {
    handleLine(readBuffer_);
    lastHadText = true;
    readBuffer_.clear();
  }
  return lastHadText;
}

void InternalFFmpegWraper::handleLine(const std::string& line) {
  parseStatsLine(line);
  if (line.empty()) return;
  if (lastLines_.size() >= kMaxLastLines) lastLines_.pop_front();
  lastLines_.push_back(line);
  lastLine_ = line;
  for (std::string_view text : FFmpegErrorTexts) {
    if (line.find(text) != std::string::npos) {
      matchedErrorText_ = std::string(text);
      errorTextSeen_ = true;
      break;
    }
  }
}

void InternalFFmpegWraper::learnTotalSeconds(int32_t seconds) {
  totalSeconds_ = seconds;
  progress_.duration = secondsToClockText(seconds);
  if (progress_.usedTime.empty() || seconds < 1) {
    progress_.estimateTime = progress_.duration;
    return;
  }
  int32_t used = clockTextToSeconds(progress_.usedTime);
  if (used > seconds) used = seconds - 1;
  progress_.estimateTime = secondsToClockText(seconds - used);
}

void InternalFFmpegWraper::parseStatsLine(const std::string& line) {
  if (progress_.duration.empty()) progress_.duration = secondsToClockText(totalSeconds_);

  const std::optional<StatsLine> stats = readStatsLine(line);
  if (!stats) return;
  lastStatsEmpty_ = stats->nothingEncoded;
  if (!stats->fields) return;
  progress_.size = stats->fields->size;
  progress_.usedTime = stats->fields->usedTime;
  progress_.speed = stats->fields->speed;
  if (totalSeconds_ < 1) {
    statsSeen_ = true;
    return;
  }
  int32_t used = clockTextToSeconds(progress_.usedTime);
  // ffmpeg may run past the expected duration; keep one second to go.
  if (used > totalSeconds_) used = totalSeconds_ - 1;
  progress_.estimateTime = secondsToClockText(totalSeconds_ - used);
  statsSeen_ = true;
}

}  // namespace qel
