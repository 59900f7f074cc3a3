// The FFmpeg runner: starts one ffmpeg command at a time as a child process,
// reads what ffmpeg writes to its standard error, turns the -stats lines into
// ProgressInfo fields, keeps the last output lines for the log and decides at
// the end whether the command failed.
//
// Thread safety: one worker thread drives a runner (reset, setters, start,
// readProgress, lastMessage, hasError, stop). `stop` may also be called from any
// other thread while the worker is inside readProgress: the Subprocess
// serialises start, termination and exit-code reads with its mutex, and a pipe
// read in flight keeps the child's descriptors alive until it returns (reads
// wait at most ~100 ms, so `stop` never waits long for one).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "common/subprocess.h"
#include "engine/progress_info.h"

namespace qel {

// The runner's interface; InternalFFmpegWraper is the one implementation.
class FFmpegWraper {
 public:
  virtual ~FFmpegWraper() = default;
  // Starts ffmpeg with `args` (the command text after the program). 0 when the
  // child runs; -1 when a child is still running or the child could not start.
  virtual int start(const std::string& args) = 0;
  // Ends the child (if any) and releases it. True when there was no child or
  // it ended within the final wait. Callable from any thread.
  virtual bool stop() = 0;
  virtual bool isRunning() = 0;
  // A -stats line has been parsed since the last reset.
  virtual bool hasProgress() = 0;
  // The finished command failed.
  virtual bool hasError() = 0;
  // Reads and parses what the child wrote since the last call (waiting about
  // 100 ms when nothing came), copies the progress record into `out`, and tells
  // whether the command has finished and whether it failed.
  virtual void readProgress(ProgressInfo& out, bool& finished, bool& failed) = 0;
  // The last non-empty line read; after a failure with a known error text,
  // that text; after a failed start, "failed to start ffmpeg: <reason>".
  virtual std::string lastMessage() = 0;
};

// The message of a command that exited 0 without encoding anything.
inline constexpr const char* kNothingEncodedMessage = "Output file is empty, nothing was encoded";

// True when a -stats line (an interim or the final one) shows an output with
// nothing in it: no frame (or no frame field), a time of zero or N/A, and a
// size of 0kB or N/A.
bool statsShowNothingEncoded(std::string_view line);

// Longest line read as a -stats line (std::regex recurses per character and
// would overflow the stack on a huge line).
inline constexpr size_t kMaxStatsLine = 1024;

// What one -stats line says.
struct StatsLine {
  // The output has nothing in it yet (statsShowNothingEncoded).
  bool nothingEncoded = false;
  // The fields, when the line reads in full: size with its unit ("0kB", any
  // text up to the last "B" before the time), the time as hh:mm:ss (the
  // fraction dropped), and the speed (the text after "speed=" up to the last
  // "x", blanks included). Absent when one of them does not read (N/A).
  struct Fields {
    std::string size;
    std::string usedTime;
    std::string speed;
  };
  std::optional<Fields> fields;
};

// Reads a line of ffmpeg's -stats output (interim or final). Nothing when the
// line is no such line: "size=", "time=" and "speed=" missing or out of that
// order, or a line longer than kMaxStatsLine.
std::optional<StatsLine> readStatsLine(std::string_view line);

class InternalFFmpegWraper : public FFmpegWraper {
 public:
  // Most recent non-empty output lines kept for the log.
  static constexpr size_t kMaxLastLines = 11;
  // Exit code reported while the child still runs (Windows' STILL_ACTIVE).
  static constexpr uint32_t kStillActive = 259;
  // Longest wait of one read of the child's output.
  static constexpr std::chrono::milliseconds kReadWait{100};
  // Longest unterminated text held while waiting for its line end; beyond it
  // the text is taken as a line so a child that never ends a line cannot make
  // the buffer grow without bound.
  static constexpr size_t kMaxPendingText = size_t{1} << 20;

  InternalFFmpegWraper() = default;
  ~InternalFFmpegWraper() override;  // stop()
  InternalFFmpegWraper(const InternalFFmpegWraper&) = delete;
  InternalFFmpegWraper& operator=(const InternalFFmpegWraper&) = delete;

  // Before each command: clears the flags, totalSeconds, the partial line, the
  // last line, the matched error text and the progress record. Keeps lastLines,
  // ffmpegPath and the child's exit code.
  void reset();

  int start(const std::string& args) override;
  bool stop() override;
  bool isRunning() override;
  bool hasProgress() override;
  bool hasError() override;
  void readProgress(ProgressInfo& out, bool& finished, bool& failed) override;
  std::string lastMessage() override;

  // Expected duration of the next command in whole seconds (<= 0: unknown).
  void setTotalSeconds(int32_t seconds) { totalSeconds_ = seconds; }
  // Sets the expected length once the command already runs: the duration and
  // the estimate follow at once (from the last stats line when one came).
  void learnTotalSeconds(int32_t seconds);
  int32_t totalSeconds() const { return totalSeconds_; }
  // Full path of the ffmpeg program.
  void setFFmpegPath(const std::string& path) { ffmpegPath_ = path; }
  const std::string& ffmpegPath() const { return ffmpegPath_; }

  // Takes one -stats line ("... size= ...B time=hh:mm:ss... speed=...x") into
  // size, usedTime, speed and estimateTime; any other line changes nothing.
  void parseStatsLine(const std::string& line);

  // Appends `text` to the partial line and handles every complete line ('\r'
  // or '\n' ends one): stats parsing, the last-lines ring, error texts. Used by
  // readProgress; exposed so the line handling can be exercised directly.
  void consumeOutput(std::string_view text);

  const ProgressInfo& progress() const { return progress_; }
  const std::deque<std::string>& lastLines() const { return lastLines_; }
  const std::string& pendingText() const { return readBuffer_; }

 private:
  // Splits complete lines off readBuffer_; returns whether the last line taken
  // was non-empty (false when none was taken).
  bool takeLines();
  void handleLine(const std::string& line);
  void finishCommand(bool& failed);

  // The child, started from the command text split with the Windows C-runtime
  // rules: standard input a pipe never written, standard output /dev/null,
  // standard error the pipe that carries everything parsed. Refused while a
  // previous child still runs; one that has ended is released first.
  bool launch(const std::string& commandLine, std::string& error);
  // Waits at most kReadWait for the child's output and appends it to
  // readBuffer_; the number of bytes appended, `status` says why none came.
  size_t readOutput(ReadStatus& status);
  // With a child held: refreshes exitCode_ (kStillActive while it runs) and
  // tells whether it runs. False with no child, exitCode_ left alone.
  bool refreshRunning();
  // Waits at most `timeout` for the child to end, on the child itself (a
  // pidfd), then refreshRunning. For the moment between ffmpeg closing its
  // output and its exit.
  bool waitForExit(std::chrono::milliseconds timeout);
  bool noteChildState(ChildState state, int code);

  Subprocess child_;
  // The child's exit code as last read (0 before any read); kept across
  // commands like the child's own.
  uint32_t exitCode_ = 0;
  bool statsSeen_ = false;
  bool failed_ = false;
  bool errorTextSeen_ = false;
  bool startFailed_ = false;  // the last start could not create the child
  // The last stats line read shows an output with nothing in it: no frame, no
  // time and no bytes. As the final line, it makes an exit code 0 a failure.
  bool lastStatsEmpty_ = false;
  int32_t totalSeconds_ = 0;
  std::string readBuffer_;
  std::string lastLine_;
  std::string matchedErrorText_;
  std::string ffmpegPath_;
  std::deque<std::string> lastLines_;
  ProgressInfo progress_;
};

}  // namespace qel
