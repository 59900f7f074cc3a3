#include "engine/ffmpeg_wraper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "commands/probe_document.h"
#include "engine/status_report.h"
#include "support/test_support.h"

namespace qel {
namespace {

// Children of this test process as /proc shows them, zombies included.
std::vector<std::string> childrenOfThisProcess() {
  std::vector<std::string> children;
  const std::string self = std::to_string(::getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    std::string ppid;
    rest >> state >> ppid;
    if (ppid == self) children.push_back(name + " " + state + " " + stat.substr(0, close + 1));
  }
  return children;
}

struct PollResult {
  std::vector<ProgressInfo> running;  // records of the polls before the end
  ProgressInfo last;
  bool finished = false;
  bool failed = false;
};

// Polls like the worker does until the command reports its end. The bound is a
// number of polls, only there so that a broken runner fails instead of hanging.
PollResult pollToEnd(InternalFFmpegWraper& runner, int maxPolls = 6000) {
  PollResult run;
  for (int i = 0; i < maxPolls && !run.finished; ++i) {
    ProgressInfo record;
    runner.readProgress(record, run.finished, run.failed);
    if (run.finished) {
      run.last = record;
    } else {
      run.running.push_back(record);
    }
  }
  return run;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// ---- output handling without a child ----------------------------------------------

TEST(FFmpegWraperStats, StatsLineTable) {
  struct Case {
    const char* name;
    int totalSeconds;
    std::string line;
    bool taken;
    const char* size;
    const char* usedTime;
    const char* speed;
    const char* estimate;
  };
  const std::vector<Case> cases = {
      {"typical", 0, "frame=   10 fps=0.0 q=-1.0 size=       0kB time=00:00:00.40 bitrate=   0.9kbits/s speed=0.79x",
       true, "0kB", "00:00:00", "0.79x", ""},
      {"final Lsize line", 10,
       "frame=  125 fps= 62 q=-1.0 Lsize=      70kB time=00:00:04.96 bitrate= 116.2kbits/s speed=2.47x    ", true,
       "70kB", "00:00:04", "2.47x", "00:00:06"},
      {"overshoot keeps one second", 10, "frame=1 size=      12kB time=00:00:12.00 bitrate=1kbits/s speed=1x", true,
       "12kB", "00:00:12", "1x", "00:00:01"},
      {"size N/A", 10, "frame=1 fps=0.0 q=0.0 size=N/A time=00:00:00.00 bitrate=N/A speed=1.0x", false, "", "", "", ""},
      {"speed N/A", 10, "frame=1 fps=0.0 q=0.0 size=       1kB time=00:00:01.00 bitrate=N/A speed=N/A    ", false, "",
       "", "", ""},
      {"speed before time", 10, "size=       1kB speed=1x time=00:00:01.00", false, "", "", "", ""},
      {"time without hours", 10, "size=       1kB time=01:00.00 bitrate=1k speed=1x", false, "", "", "", ""},
      {"not a stats line", 10, "Input #0, lavfi, from 'testsrc':", false, "", "", "", ""},
  };
  for (const Case& c : cases) {
    InternalFFmpegWraper runner;
    runner.setTotalSeconds(c.totalSeconds);
    runner.consumeOutput(c.line + "\r");
    EXPECT_EQ(runner.hasProgress(), c.taken) << c.name;
    EXPECT_EQ(runner.progress().size, c.size) << c.name;
    EXPECT_EQ(runner.progress().usedTime, c.usedTime) << c.name;
    EXPECT_EQ(runner.progress().speed, c.speed) << c.name;
    EXPECT_EQ(runner.progress().estimateTime, c.estimate) << c.name;
    EXPECT_EQ(runner.progress().duration, secondsToClockText(c.totalSeconds)) << c.name;
  }
}

// readStatsLine over the lines ffmpeg 5.1 prints with -stats (interim lines end
// in '\r', the final one reads "Lsize="), and over what a pipe may hand over
// instead: cut lines, N/A fields, huge lines.
TEST(FFmpegStatsLine, ReadsWhatEachLineSays) {
  struct Case {
    const char* name;
    std::string line;
    bool isStats;         // a -stats line at all
    bool nothingEncoded;  // (only with isStats)
    bool hasFields;       // size, time and speed read
    const char* size;
    const char* usedTime;
    const char* speed;
  };
  const std::string interim =
      "frame=   10 fps=0.0 q=-1.0 size=       0kB time=00:00:00.40 bitrate=   0.9kbits/s speed=0.79x";
  const std::vector<Case> cases = {
      {"interim video", interim, true, false, true, "0kB", "00:00:00", "0.79x"},
      {"first interim, speed padded",
       "frame=    1 fps=0.0 q=0.0 size=       0kB time=00:00:00.00 bitrate=N/A speed=   0x    ", true, false, true,
       "0kB", "00:00:00", "   0x"},
      {"final Lsize",
       "frame=   50 fps=0.0 q=-1.0 Lsize=      32kB time=00:00:02.02 bitrate= 128.9kbits/s speed=2.62x    ", true,
       false, true, "32kB", "00:00:02", "2.62x"},
      {"audio only", "size=     258kB time=00:00:03.00 bitrate= 705.8kbits/s speed=46.7x    ", true, false, true,
       "258kB", "00:00:03", "46.7x"},
      {"size in KiB",
       "frame=  125 fps=0.0 q=-1.0 Lsize=     113KiB time=00:00:04.96 bitrate= 186.5kbits/s speed=13.3x    ", true,
       false, true, "113KiB", "00:00:04", "13.3x"},
      {"hours past a day",
       "frame=2700000 fps=25 q=-1.0 size= 1048576kB time=30:00:00.00 bitrate=79.5kbits/s speed=1.00x", true, false,
       true, "1048576kB", "30:00:00", "1.00x"},
      {"speed N/A", "size=       2kB time=00:00:00.02 bitrate= 732.5kbits/s speed=N/A    ", true, false, false, "", "",
       ""},
      {"size and speed N/A", "frame=    1 fps=0.0 q=-0.0 size=N/A time=00:00:00.04 bitrate=N/A speed=N/A    ", true,
       false, false, "", "", ""},
      {"final Lsize N/A", "frame=   25 fps=0.0 q=-0.0 Lsize=N/A time=00:00:01.00 bitrate=N/A speed=21.5x    ", true,
       false, false, "", "", ""},
      {"nothing encoded, final",
       "frame=    0 fps=0.0 q=0.0 Lsize=       0kB time=00:00:00.00 bitrate=N/A speed=   0x    ", true, true, true,
       "0kB", "00:00:00", "   0x"},
      {"nothing encoded, all N/A", "frame=    0 fps=0.0 q=0.0 size=N/A time=N/A bitrate=N/A speed=N/A    ", true, true,
       false, "", "", ""},
      {"negative time", "size=N/A time=-00:00:00.97 bitrate=N/A speed=N/A    ", true, false, false, "", "", ""},
      {"negative time with a size",
       "frame=    2 fps=0.0 q=0.0 size=       1kB time=-00:00:00.50 bitrate=N/A speed=1.2x", true, false, false, "", "",
       ""},
      // Hours are read as two digits: from 100 hours on the time no longer reads.
      {"a hundred hours",
       "frame=9000000 fps=25 q=-1.0 size=99999999kB time=100:00:00.00 bitrate=2275.6kbits/s speed=1.00x", true, false,
       false, "", "", ""},
      {"cut before speed", "frame=   10 fps=0.0 q=-1.0 size=       0kB time=00:00:0", false, false, false, "", "", ""},
      {"cut inside speed", "frame=   10 fps=0.0 q=-1.0 size=     256kB time=00:00:04.00 bitrate= 524.3kbits/s speed=1.",
       true, false, false, "", "", ""},
      {"speed before time", "size=       1kB speed=1x time=00:00:01.00", false, false, false, "", "", ""},
      {"not a stats line", "Input #0, lavfi, from 'testsrc':", false, false, false, "", "", ""},
      {"empty", "", false, false, false, "", "", ""},
      {"longest line read", interim + std::string(kMaxStatsLine - interim.size(), ' '), true, false, true, "0kB",
       "00:00:00", "0.79x"},
      {"one byte over", interim + std::string(kMaxStatsLine + 1 - interim.size(), ' '), false, false, false, "", "",
       ""},
      {"huge line", "size=       1kB time=00:00:01.00 " + std::string(400000, 'B') + " speed=1x", false, false, false,
       "", "", ""},
  };
  for (const Case& c : cases) {
    const std::optional<StatsLine> stats = readStatsLine(c.line);
    ASSERT_EQ(stats.has_value(), c.isStats) << c.name;
    if (!stats) continue;
    EXPECT_EQ(stats->nothingEncoded, c.nothingEncoded) << c.name;
    ASSERT_EQ(stats->fields.has_value(), c.hasFields) << c.name;
    if (!stats->fields) continue;
    EXPECT_EQ(stats->fields->size, c.size) << c.name;
    EXPECT_EQ(stats->fields->usedTime, c.usedTime) << c.name;
    EXPECT_EQ(stats->fields->speed, c.speed) << c.name;
  }
}

TEST(FFmpegWraperStats, PartialStatsLineKeepsEarlierValues) {
  InternalFFmpegWraper runner;
  runner.setTotalSeconds(10);
  runner.consumeOutput("frame=1 size=       5kB time=00:00:02.00 bitrate=1k speed=1.5x\r");
  runner.consumeOutput("frame=2 size=N/A time=00:00:03.00 bitrate=N/A speed=N/A\r");
  EXPECT_EQ(runner.progress().size, "5kB");
  EXPECT_EQ(runner.progress().usedTime, "00:00:02");
  EXPECT_EQ(runner.progress().estimateTime, "00:00:08");
}

TEST(FFmpegWraperStats, HugeStatsLikeLineIsSkippedSafely) {
  // A pathological line that passes the cheap test: std::regex would recurse
  // once per character and overflow the stack.
  InternalFFmpegWraper runner;
  runner.setTotalSeconds(10);
  std::string line = "size=       1kB time=00:00:01.00 " + std::string(400000, 'B') + " speed=1x";
  runner.consumeOutput(line + "\n");
  EXPECT_FALSE(runner.hasProgress());
  EXPECT_EQ(runner.progress().size, "");
  ASSERT_FALSE(runner.lastLines().empty());
  EXPECT_EQ(runner.lastLines().back().size(), line.size());
}

TEST(FFmpegWraperLines, RingKeepsTheLastElevenNonEmptyLines) {
  InternalFFmpegWraper runner;
  std::string text;
  for (int i = 1; i <= 12; ++i) text += "line " + std::to_string(i) + "\r\n";
  runner.consumeOutput(text);
  ASSERT_EQ(runner.lastLines().size(), 11u);
  EXPECT_EQ(runner.lastLines().front(), "line 2");
  EXPECT_EQ(runner.lastLines().back(), "line 12");
  EXPECT_EQ(runner.lastMessage(), "line 12");
}

TEST(FFmpegWraperLines, UnterminatedTextWaitsForItsLineEnd) {
  InternalFFmpegWraper runner;
  runner.setTotalSeconds(4);
  runner.consumeOutput("first\nframe=1 size=       3kB time=00:00:01.");
  EXPECT_EQ(runner.lastMessage(), "first");
  EXPECT_EQ(runner.pendingText(), "frame=1 size=       3kB time=00:00:01.");
  EXPECT_FALSE(runner.hasProgress());
  runner.consumeOutput("00 bitrate=1k speed=2x\r");
  EXPECT_TRUE(runner.pendingText().empty());
  EXPECT_TRUE(runner.hasProgress());
  EXPECT_EQ(runner.progress().size, "3kB");
  EXPECT_EQ(runner.progress().estimateTime, "00:00:03");
}

TEST(FFmpegWraperLines, KnownErrorTextFailsEvenWithoutExitCode) {
  // No child ran, so the exit code is the initial 0; the text alone decides.
  InternalFFmpegWraper runner;
  runner.consumeOutput("[out] Permission denied and No space left on device\nlater line\n");
  ProgressInfo record;
  bool finished = false;
  bool failed = false;
  runner.readProgress(record, finished, failed);
  EXPECT_TRUE(finished);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(runner.hasError());
  EXPECT_TRUE(record.error);
  EXPECT_TRUE(record.finished);
  // The first text of the table found in the line wins; it replaces the last line.
  EXPECT_EQ(runner.lastMessage(), "No space left on device");
  EXPECT_TRUE(runner.lastLines().empty()) << "written to the log and dropped on failure";
}

TEST(FFmpegWraperStats, UnknownDurationKeepsTheEstimateThatStartGave) {
  // start fills the record before it tries to create the child, so a program
  // that cannot start still shows what start wrote.
  InternalFFmpegWraper runner;
  runner.reset();
  runner.setTotalSeconds(0);
  runner.setFFmpegPath("/nonexistent/qel/ffmpeg");
  EXPECT_EQ(runner.start("-i \"/v/a.mp4\" -filter_complex \"movie='/v/b.mp4'\" \"/v/o.mp4\""), -1);
  EXPECT_EQ(runner.progress().duration, "00:00:00");
  EXPECT_EQ(runner.progress().estimateTime, "00:00:00");
  EXPECT_EQ(runner.progress().speed, "1x");
  EXPECT_EQ(runner.progress().size, "0kB");
  EXPECT_EQ(runner.progress().fileNums, 2);

  runner.consumeOutput("frame=  10 fps=0.0 q=-1.0 size=       3kB time=00:00:07.40 bitrate=1k speed=0.79x\r");
  EXPECT_TRUE(runner.hasProgress());
  EXPECT_EQ(runner.progress().size, "3kB");
  EXPECT_EQ(runner.progress().usedTime, "00:00:07");
  EXPECT_EQ(runner.progress().speed, "0.79x");
  EXPECT_EQ(runner.progress().estimateTime, "00:00:00");
}

TEST(FFmpegWraper, StopWithoutChildReturnsTrue) {
  InternalFFmpegWraper runner;
  EXPECT_TRUE(runner.stop());
  EXPECT_FALSE(runner.isRunning());
}

// ---- real ffmpeg ------------------------------------------------------------------

TEST(FFmpegWraperRun, EncodeReportsRisingTimeAndEndsWithoutError) {
  test::TempDir dir;
  const std::string input = dir.file("in.mp4");
  test::ClipSpec options;
  options.seconds = 5;
  options.audio = false;
  options.extraArgs = {"-c:v", "libx264", "-preset", "ultrafast"};
  test::makeClip(input, options);
  const std::string output = dir.file("out.mkv");

  InternalFFmpegWraper runner;
  runner.reset();
  runner.setTotalSeconds(5);
  runner.setFFmpegPath(test::ffmpegPath());
  // -readrate keeps the run long enough for several stats lines.
  ASSERT_EQ(runner.start("-readrate 2.5 -i " + quoted(input) + " -c:v libx264 -preset ultrafast " + quoted(output)), 0);
  EXPECT_EQ(runner.start("-i " + quoted(input) + " -f null -"), -1) << "a second start must be refused";
  const PollResult run = pollToEnd(runner);
  EXPECT_TRUE(runner.stop());

  ASSERT_TRUE(run.finished);
  EXPECT_FALSE(run.failed) << runner.lastMessage();
  EXPECT_FALSE(runner.hasError());
  EXPECT_TRUE(runner.hasProgress());
  ASSERT_FALSE(run.running.empty());
  EXPECT_EQ(run.running.front().duration, "00:00:05");
  EXPECT_EQ(run.running.front().fileNums, 1);

  int previous = 0;
  int distinct = 0;
  for (const ProgressInfo& record : run.running) {
    const int used = clockTextToSeconds(record.usedTime);
    EXPECT_GE(used, previous);
    if (used > previous) ++distinct;
    previous = used;
    EXPECT_FALSE(record.error);
    EXPECT_FALSE(record.finished);
    EXPECT_EQ(clockTextToSeconds(record.estimateTime), 5 - used) << record.usedTime;
  }
  EXPECT_GE(distinct, 1) << "the processed time should rise while the command runs";
  EXPECT_TRUE(run.last.finished);
  EXPECT_FALSE(run.last.error);
  EXPECT_EQ(run.last.usedTime, "00:00:05");
  EXPECT_EQ(run.last.estimateTime, "00:00:00");
  EXPECT_GT(std::atoi(run.last.size.c_str()), 0) << run.last.size;

  const test::ProbeInfo info = test::probe(output);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_NEAR(info.duration, 5.0, 0.3);
}

struct FailureCase {
  const char* name;
  std::string output;
  const char* message;
  int errorCode;
};

TEST(FFmpegWraperRun, WriteFailuresEndWithTheirErrorCode) {
  const std::vector<FailureCase> cases = {
      // ffmpeg exits 0 here: only its message tells that the output is lost.
      {"full disk", "-f matroska /dev/full", "No space left on device", 6516},
      {"forbidden folder", "/sys/qel_runner_test.mkv", "Permission denied", 6522},
  };
  for (const FailureCase& c : cases) {
    InternalFFmpegWraper runner;
    runner.reset();
    runner.setTotalSeconds(1);
    runner.setFFmpegPath(test::ffmpegPath());
    ASSERT_EQ(runner.start("-f lavfi -i testsrc=size=160x120:duration=1 " + c.output), 0) << c.name;
    const PollResult run = pollToEnd(runner);
    runner.stop();
    ASSERT_TRUE(run.finished) << c.name;
    EXPECT_TRUE(run.failed) << c.name;
    EXPECT_TRUE(runner.hasError()) << c.name;
    EXPECT_EQ(runner.lastMessage(), c.message) << c.name;

    // What the worker reports for a failed command.
    ProgressInfo record = run.last;
    record.currentPhase = 1;
    record.totalPhase = 1;
    record.errorDetail = runner.lastMessage();
    rapidjson::Document doc;
    doc.Parse(writeTaskState(record).c_str());
    ASSERT_TRUE(doc.IsObject()) << c.name;
    EXPECT_TRUE(doc["error"].GetBool()) << c.name;
    EXPECT_EQ(doc["errorCode"].GetInt(), c.errorCode) << c.name;
    EXPECT_EQ(doc["phaseDetail"]["progress"].GetInt(), 100) << c.name;
  }
}

TEST(FFmpegWraperRun, MissingProgramReadsAsFailedDespiteEarlierSuccess) {
  InternalFFmpegWraper runner;
  // A successful command first leaves exit code 0 behind.
  runner.reset();
  runner.setFFmpegPath(test::ffmpegPath());
  ASSERT_EQ(runner.start("-f lavfi -i testsrc=size=160x120:duration=0.2 -f null -"), 0);
  PollResult run = pollToEnd(runner);
  runner.stop();
  ASSERT_TRUE(run.finished);
  ASSERT_FALSE(run.failed) << runner.lastMessage();

  runner.reset();
  runner.setTotalSeconds(3);
  runner.setFFmpegPath("/nonexistent/qel/ffmpeg");
  EXPECT_EQ(runner.start("-f lavfi -i testsrc -f null -"), -1);
  EXPECT_FALSE(runner.isRunning());
  run = pollToEnd(runner, 1);
  EXPECT_TRUE(run.finished);
  EXPECT_TRUE(run.failed);
  EXPECT_TRUE(runner.hasError());
  EXPECT_TRUE(run.last.error);
  EXPECT_EQ(runner.lastMessage().rfind("failed to start ffmpeg: ", 0), 0u) << runner.lastMessage();
  EXPECT_NE(runner.lastMessage().find("No such file"), std::string::npos) << runner.lastMessage();
  EXPECT_TRUE(runner.stop());
}

TEST(FFmpegWraperRun, StopFromAnotherThreadEndsTheChildWithinAPoll) {
  InternalFFmpegWraper runner;
  runner.reset();
  runner.setTotalSeconds(600);
  runner.setFFmpegPath(test::ffmpegPath());
  ASSERT_EQ(runner.start("-re -f lavfi -i testsrc=size=160x120:rate=25:duration=600 -f null -"), 0);

  std::atomic<int> polls{0};
  std::atomic<bool> stopped{false};
  std::atomic<int> pollsAfterStop{0};
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 6000 && !finished; ++i) {
      const bool stopSeen = stopped;
      ProgressInfo record;
      bool done = false;
      bool failed = false;
      runner.readProgress(record, done, failed);
      ++polls;
      if (stopSeen) ++pollsAfterStop;
      finished = done;
    }
  });
  // Let the worker poll a running child a few times (a bound on attempts, not a timing check).
  for (int i = 0; i < 3000 && polls < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(polls.load(), 3);
  ASSERT_FALSE(finished.load());
  EXPECT_TRUE(runner.stop());
  stopped = true;
  worker.join();

  EXPECT_TRUE(finished.load());
  EXPECT_LE(pollsAfterStop.load(), 1) << "the poll after stop must see the child gone";
  EXPECT_TRUE(childrenOfThisProcess().empty()) << ::testing::PrintToString(childrenOfThisProcess());
  EXPECT_TRUE(runner.stop()) << "the worker's own stop after an abort finds nothing to do";
}

TEST(FFmpegWraperRun, DestroyingTheRunnerEndsItsChild) {
  {
    InternalFFmpegWraper runner;
    runner.setFFmpegPath(test::ffmpegPath());
    ASSERT_EQ(runner.start("-re -f lavfi -i testsrc=size=160x120:rate=25:duration=600 -f null -"), 0);
    ASSERT_TRUE(runner.isRunning());
  }
  EXPECT_TRUE(childrenOfThisProcess().empty()) << ::testing::PrintToString(childrenOfThisProcess());
}

}  // namespace
}  // namespace qel
