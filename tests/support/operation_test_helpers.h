// Helpers for the operation and parser tests: canned ffprobe JSON (so graph
// texts can be checked without media files), a capture of the engine log, and
// a small operation that records what the parser hands it, the fixture of an
// operation's graph tests, and what the real-ffmpeg runs share (a small clip,
// probes answered by ffprobe, a graph run with its outputs mapped).
//
// Not thread-safe: one LogCapture at a time, used from the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "commands/lavfi_parser.h"
#include "common/subprocess.h"
#include "base/log.h"
#include "operations/lavfi_base.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel::test {

// One stream of a canned ffprobe answer. An empty duration leaves the member out.
struct FakeStream {
  std::string codecType;
  std::string codecName;
  std::string duration;
};

// The JSON ffprobe prints for -show_format -show_streams; formatDuration empty:
// no "duration" in "format".
inline std::string fakeProbeJson(const std::vector<FakeStream>& streams, const std::string& formatDuration = "") {
  std::string json = "{\"streams\":[";
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (i > 0) json += ',';
    json += fmt::format("{{\"index\":{},\"codec_type\":\"{}\",\"codec_name\":\"{}\"", i, streams[i].codecType,
                        streams[i].codecName);
    if (!streams[i].duration.empty()) json += fmt::format(",\"duration\":\"{}\"", streams[i].duration);
    json += '}';
  }
  json += "],\"format\":{";
  if (!formatDuration.empty()) json += fmt::format("\"duration\":\"{}\"", formatDuration);
  json += "}}";
  return json;
}

// A file with video (and audio) of the given seconds; 0 leaves the stream out.
inline std::string fakeMedia(double videoSeconds, double audioSeconds) {
  std::vector<FakeStream> streams;
  if (videoSeconds > 0) streams.push_back({"video", "h264", fmt::format("{}", videoSeconds)});
  if (audioSeconds > 0) streams.push_back({"audio", "aac", fmt::format("{}", audioSeconds)});
  return fakeProbeJson(streams);
}

// Serves one canned answer for every path.
inline void serveProbe(LavfiParser& parser, const std::string& json) {
  parser.setProbeRunner([json](const std::string&) { return json; });
}

// Answers every probe of the parser with the real ffprobe.
inline void probeWithFfprobe(LavfiParser& parser) {
  parser.setProbeRunner([](const std::string& path) { return probe(path).json; });
}

// A clip small enough for quick runs: 64x48 video at `fps` and 8 kHz audio.
inline ClipSpec smallClip(double seconds, int fps) {
  ClipSpec recipe;
  recipe.seconds = seconds;
  recipe.width = 64;
  recipe.height = 48;
  recipe.fps = fps;
  recipe.sampleRate = 8000;
  return recipe;
}

// Runs `graph` in ffmpeg with the given output labels mapped into `out`, the
// output options right before the path.
inline CapturedRun runGraph(const std::string& graph, const std::vector<std::string>& labels, const std::string& out,
                            const std::vector<std::string>& outputOptions = {}) {
  std::vector<std::string> argv{ffmpegPath(), "-hide_banner", "-nostdin", "-y", "-filter_complex", graph};
  for (const std::string& label : labels) {
    argv.push_back("-map");
    argv.push_back(label);
  }
  argv.insert(argv.end(), outputOptions.begin(), outputOptions.end());
  argv.push_back(out);
  return runAndCapture(argv, true);
}

// Collects every statement written to the engine's root category while alive.
class LogCapture {
 public:
  LogCapture() {
    getLogGuard();
    log4cpp::Category& root = log4cpp::Category::getRoot();
    previousPriority_ = root.getPriority();
    root.setPriority(kLogDebug);
    auto appender = std::make_unique<log4cpp::StringQueueAppender>("test-capture");
    auto layout = std::make_unique<log4cpp::PatternLayout>();
    layout->setConversionPattern("%m");
    appender->setLayout(layout.release());
    appender_ = appender.get();
    root.addAppender(appender.release());  // the category owns it from here
  }
  ~LogCapture() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAppender(appender_);
    root.setPriority(previousPriority_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line written so far, in order (drains the queue into `lines_`).
  const std::vector<std::string>& lines() {
    auto& queue = appender_->getQueue();
    while (!queue.empty()) {
      lines_.push_back(queue.front());
      queue.pop();
    }
    return lines_;
  }
  bool has(const std::string& line) {
    for (const std::string& text : lines()) {
      if (text == line) return true;
    }
    return false;
  }
  std::string joined() {
    std::string all;
    for (const std::string& text : lines()) all += text + "\n";
    return all;
  }

 private:
  log4cpp::StringQueueAppender* appender_ = nullptr;
  int previousPriority_ = 0;
  std::vector<std::string> lines_;
};

// An operation that records the desc it receives and answers with a graph made
// from its first input (value + suffix), or with a fixed graph.
class RecordingOperation : public LavfiBase {
 public:
  explicit RecordingOperation(const char* name) : name_(name) {}
  const char* name() const override { return name_; }
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override {
    received.push_back(desc);
    ++calls;
    LavfiResult result;
    if (!fixedGraph.empty()) {
      result.graph = fixedGraph;
    } else if (!desc.inputs.empty()) {
      collectInputFiles(parser, desc.inputs.front(), result.inputFiles);
      result.graph = desc.inputs.front().value + suffix;
    }
    result.cmd = cmd;
    return result;
  }
  void cleanCache() override { ++cleaned; }

  // Test state; mutable because process is const for every operation.
  mutable std::vector<LavfiOperationDesc> received;
  mutable int calls = 0;
  int cleaned = 0;
  std::string suffix = ",hflip[out0]";
  std::string fixedGraph;
  std::string cmd;

 private:
  const char* name_;
};

// Input items of a request: a local file (with the options written before its
// -i) and the graph of an earlier step, `duration` seconds long.
inline LavfiInputItem file(const std::string& path, double duration = 10, const std::string& prevOp = "") {
  return {1, path, prevOp, duration};
}
inline LavfiInputItem graphInput(const std::string& graph, double duration = 10) { return {2, graph, "", duration}; }

// The fixture of an operation's graph tests: a parser without an engine
// (probes answered through serveProbe or setProbeRunner), the operation, the
// desc of the last run and a capture of the log.
template <class Operation>
class OperationTest : public ::testing::Test {
 protected:
  // Runs the operation on a fresh desc whose description is the operation's name.
  LavfiResult run(std::vector<LavfiInputItem> inputs, const std::string& transform,
                  const std::string& outputConfig = "") {
    desc = LavfiOperationDesc{transform, outputConfig, operation.name(), std::move(inputs)};
    return operation.process(parser, desc);
  }

  LavfiParser parser{makeOperationRegistry()};
  Operation operation;
  LavfiOperationDesc desc;
  LogCapture log;
};

}  // namespace qel::test
