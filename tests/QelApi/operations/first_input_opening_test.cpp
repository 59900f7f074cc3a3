// The opening every operation makes of its first input, for all seventeen
// operations in one table: no inputs, an earlier graph without output labels,
// a file whose probe finds no usable stream (or no video where the operation
// needs one, or no answer at all), and a first path that cannot be written
// into a graph. Each is refused with the operation's own log line, and the
// refusal leaves no trace: no graph, no fragment, no stored duration, no label
// taken, the output configuration as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "operations/lavfi_compression.h"
#include "operations/operation_registry.h"
#include "support/operation_test_helpers.h"

namespace qel {
namespace {

using test::fakeMedia;
using test::LogCapture;

// How a row's log lines are checked against the log of its run.
enum class LogCheck {
  Has,       // every line was logged as it stands
  Contains,  // every line is part of what was logged
  Exactly,   // the log holds these lines and no others
};

// What a row leaves unchecked of the refusal's traces: these refusals come
// after the operation has stored a duration (or taken a label) of its own.
enum class Unchecked { Nothing, Durations, DurationsAndLabels };

struct OpeningCase {
  OpeningCase(std::string operation_, std::string name_, std::vector<LavfiInputItem> inputs_, std::string probe_,
              std::string transform_, std::string outputConfig_, std::vector<std::string> lines_,
              LogCheck check_ = LogCheck::Has, std::optional<std::vector<std::string>> inputFiles_ = std::nullopt,
              Unchecked unchecked_ = Unchecked::Nothing)
      : operation(std::move(operation_)),
        name(std::move(name_)),
        inputs(std::move(inputs_)),
        probe(std::move(probe_)),
        transform(std::move(transform_)),
        outputConfig(std::move(outputConfig_)),
        lines(std::move(lines_)),
        check(check_),
        inputFiles(std::move(inputFiles_)),
        unchecked(unchecked_) {}

  std::string operation;  // which operation (see makeOperation)
  std::string name;       // the shared case, as the test's name shows it
  std::vector<LavfiInputItem> inputs;
  std::string probe;  // the canned ffprobe answer for every path
  std::string transform;
  std::string outputConfig;
  std::vector<std::string> lines;
  LogCheck check = LogCheck::Has;
  // The files the refused result still lists; unchecked when absent.
  std::optional<std::vector<std::string>> inputFiles;
  Unchecked unchecked = Unchecked::Nothing;
};

// What a failing case prints: which operation and which case.
void PrintTo(const OpeningCase& c, std::ostream* os) { *os << c.operation << " " << c.name; }

LavfiInputItem file(const std::string& path, double duration) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration) { return {2, graph, "", duration}; }

// Compression sees a working NVIDIA encoder and files of 100 MiB.
std::shared_ptr<LavfiOperation> makeCompression() {
  CompressionSystem system;
  system.hardware = [] {
    HardwareSupport support;
    support.nvidia = true;
    return support;
  };
  system.fileSize = [](const std::string&, std::string&) { return std::int64_t{100} * 1048576; };
  return std::make_shared<LavfiCompression>(system);
}

// The registry's operation of that name (null when it has none); compression
// with the test's system in place of the registry's real one.
std::shared_ptr<LavfiOperation> makeOperation(const std::string& name) {
  for (std::shared_ptr<LavfiOperation>& operation : makeOperationRegistry()) {
    if (name != operation->name()) continue;
    if (name == "compression") return makeCompression();
    return std::move(operation);
  }
  return nullptr;
}

const std::string kUnwritable = kUnwritablePathMessage;
const std::string kNoStream = "no audio, no video stream: ";
const std::string kMix = "volume=0.5;amix=inputs=2:duration=first;-map 0:v";
const std::string kOverlay = "trim=0:5,setpts=PTS-STARTPTS;overlay=10:10";
const std::string kMark = "movie='logo.png'[v1];[v0][v1]overlay=10:10";
const std::string kDouble = "-filter_complex \"setpts=0.5*PTS;atempo=2\"";
const std::string kPad = "pad=400:300:(ow-iw)/2:(oh-ih)/2:black";
const std::string kContact =
    "scale=1280:720,setsar=1;[v0][v1]xfade=transition=fade:duration=1:offset=9[out0];[a0][a1]acrossfade=d=1[out1];"
    "[v0][v1]xfade=transition=fade:duration=1:offset=16[out0];[a0][a1]acrossfade=d=1[out1]";
const char* const kClip = "D:\\v\\clip.mp4";
const char* const kCropClip = "C:\\v\\a.mp4";

// The ffprobe answer for compression's file: 1920x1080 video and 128 kbit/s
// audio, each present or not, lasting 100 s.
std::string compressionProbe(bool video, bool audio) {
  std::string streams;
  if (video) {
    streams += R"({"index":0,"codec_type":"video","codec_name":"h264","width":1920,"height":1080,"duration":"100"})";
  }
  if (audio) {
    if (!streams.empty()) streams += ",";
    streams +=
        R"({"index":1,"codec_type":"audio","codec_name":"aac","channels":2,"bit_rate":"128000","duration":"100"})";
  }
  return "{\"streams\":[" + streams + "],\"format\":{\"duration\":\"100\"}}";
}

// A file with a video stream and one audio stream of 60 s.
std::string videoWithAudio() { return test::fakeProbeJson({{"video", "h264", "60"}, {"audio", "aac", "60"}}); }

const std::vector<OpeningCase>& openingCases() {
  static const std::vector<OpeningCase> cases = {
      // No inputs: the operation's own message, with or without its prefix.
      {"addAudioToFile", "NoInputs", {}, "", kMix, "", {"inputs is empety"}},
      {"addSubtitleToFile", "NoInputs", {}, "", "subtitles", "", {"inputs is empety"}},
      {"addVideoToFile", "NoInputs", {}, "", kOverlay, "", {"[process,23]:inputs is empety"}},
      {"audioFilter", "NoInputs", {}, "", "volume=3dB", "", {"[process,19]:inputs is empety"}},
      {"compression", "NoInputs", {}, "", "size 1", "", {"[process,43]:inputs is empety"}},
      {"contact", "NoInputs", {}, "", kContact, "", {"[process,22]:inputs is empety"}},
      {"convert", "NoInputs", {}, "", "-vf scale=1:1", "", {"[process,20]:inputs is empety"}},
      {"crop", "NoInputs", {}, "", "crop=1:1:0:0", "", {"inputs is empety"}},
      {"cut", "NoInputs", {}, "", "-ss 1 -to 2", "", {"[process,18]:inputs is empety"}},
      {"pictureToGif", "NoInputs", {}, "", "fps=10", "", {"[process,21]:inputs is empety"}},
      {"seekPosition", "NoInputs", {}, "", " trim=5", "", {"[process,19]:inputs is empety"}},
      {"speedAdjuster", "NoInputs", {}, "", kDouble, "", {"[process,18]:inputs is empety"}},
      {"trackSelection", "NoInputs", {}, "", "-map 0:v", "", {"inputs is empety"}, LogCheck::Exactly},
      {"videoEffect", "NoInputs", {}, "", "-vf eq=gamma=2", "-an", {"[process,18]:inputs is empety"}},
      {"videoFilling", "NoInputs", {}, "", kPad, "", {"[process,18]:inputs is empety"}},
      {"videoToGif",
       "NoInputs",
       {},
       "",
       "fps=10",
       "",
       {"[process,19]:processinputs is empety"},
       LogCheck::Has,
       std::vector<std::string>{}},
      {"waterMark", "NoInputs", {}, "", "ignored", "", {"[process,31]:inputs is empety"}},

      // An earlier graph that ends in no output label.
      {"audioFilter",
       "GraphWithoutOutputs",
       {graphInput("amovie='x'[a3]", 10)},
       "",
       "volume=1dB",
       "",
       {"[process,41]:" + kNoStream + "amovie='x'[a3]"}},
      {"compression",
       "GraphWithoutOutputs",
       {graphInput("movie='x'[v1]", 10)},
       "",
       "size 1",
       "-c:v libx264",
       {"[process,73]:" + kNoStream + "movie='x'[v1]"}},
      {"convert",
       "GraphWithoutOutputs",
       {graphInput("movie='E',scale=1:1[v0]", 12.5)},
       "",
       "-vf scale=1280:720",
       "",
       {"[process,42]:" + kNoStream + "movie='E',scale=1:1[v0]"}},
      {"crop",
       "GraphWithoutOutputs",
       {graphInput("movie='x',scale=2:2[s0]", 10)},
       "",
       "crop=1:1:0:0",
       "",
       {"[process,46]:" + kNoStream + "movie='x',scale=2:2[s0]"}},
      {"cut",
       "GraphWithoutOutputs",
       {graphInput("color=black[x]", 30)},
       "",
       "-ss 1 -to 2",
       "",
       {"[process,49]:" + kNoStream + "color=black[x]"}},
      {"seekPosition",
       "GraphWithoutOutputs",
       {graphInput("color=black[x]", 0)},
       "",
       " trim=5",
       "",
       {"[process,41]:" + kNoStream + "color=black[x]"}},
      {"speedAdjuster",
       "GraphWithoutOutputs",
       {graphInput("color=black[x]", 10)},
       "",
       kDouble,
       "",
       {"[process,64]:" + kNoStream + "color=black[x]"}},
      {"videoEffect",
       "GraphWithoutOutputs",
       {graphInput("color=black[x]", 10)},
       "",
       "-vf eq=gamma=2",
       "-an",
       {"[process,39]:" + kNoStream + "color=black[x]"}},
      {"videoFilling",
       "GraphWithoutOutputs",
       {graphInput("movie='x'[v]", 12.5)},
       "",
       kPad,
       "",
       {"[process,35]:" + kNoStream + "movie='x'[v]"}},
      {"videoToGif",
       "GraphWithoutOutputs",
       {graphInput("movie='/m/x.mp4'[v0]", 1)},
       "",
       "fps=10",
       "",
       {"[process,48]:" + kNoStream + "movie='/m/x.mp4'[v0]"},
       LogCheck::Has,
       std::vector<std::string>{"/m/x.mp4"}},

      // A file whose probe finds no stream the operation can use.
      {"audioFilter",
       "NoStreams",
       {file("/m/clip.mp4", 10)},
       fakeMedia(0, 0),
       "volume=3dB",
       "",
       {"[process,77]:" + kNoStream + "/m/clip.mp4"}},
      {"audioFilter",
       "StreamsTooShort",
       {file("/m/clip.mp4", 10)},
       fakeMedia(0.0005, 0.0005),
       "volume=3dB",
       "",
       {"[process,77]:" + kNoStream + "/m/clip.mp4"}},
      // An .mp3's picture is its cover, not a video to keep.
      {"audioFilter",
       "CoverPictureOnly",
       {file("/m/song.mp3", 10)},
       fakeMedia(10, 0),
       "volume=3dB",
       "",
       {"[process,77]:" + kNoStream + "/m/song.mp3"}},
      {"compression",
       "NoStreams",
       {file("/m/none.mp4", 10)},
       compressionProbe(false, false),
       "size 1",
       "-c:v libx264",
       {"[process,92]:" + kNoStream + "/m/none.mp4"}},
      {"convert",
       "NoStreams",
       {file(kClip, 12.5)},
       test::fakeProbeJson({}),
       "-vf scale=1280:720",
       "",
       {"[process,106]:" + kNoStream + kClip},
       LogCheck::Has,
       std::vector<std::string>{kClip}},
      {"convert",
       "NoProbeAnswer",
       {file(kClip, 12.5)},
       "",
       "-vf scale=1280:720",
       "",
       {"[process,106]:" + kNoStream + kClip},
       LogCheck::Has,
       std::vector<std::string>{kClip}},
      // The output configuration drops both streams.
      {"convert",
       "OutputKeepsNoStream",
       {file(kClip, 12.5)},
       fakeMedia(10, 10),
       "-vf scale=1280:720",
       "-vn -map_channel -1",
       {"[process,106]:" + kNoStream + kClip},
       LogCheck::Has,
       std::vector<std::string>{kClip}},
      {"convert",
       "StreamsTooShort",
       {file(kClip, 12.5)},
       fakeMedia(0.0005, 0.0005),
       "-vf scale=1280:720",
       "",
       {"[process,106]:" + kNoStream + kClip},
       LogCheck::Has,
       std::vector<std::string>{kClip}},
      {"cut",
       "StreamsTooShort",
       {file("/m/a.mp4", 20)},
       fakeMedia(0.0005, 0),
       "-ss 1 -to 2",
       "",
       {"[process,86]:" + kNoStream + "/m/a.mp4"}},
      {"cut",
       "NoProbeAnswer",
       {file("/m/missing.mp4", 20)},
       "",
       "-ss 1 -to 2",
       "",
       {"[process,86]:" + kNoStream + "/m/missing.mp4"}},
      {"seekPosition",
       "StreamsTooShort",
       {file("/m/a.mp4", 20)},
       fakeMedia(0.0005, 0.0002),
       " trim=5",
       "",
       {"[process,100]:" + kNoStream + "/m/a.mp4"}},
      {"speedAdjuster",
       "StreamsTooShort",
       {file("/m/a.mp4", 10)},
       fakeMedia(0.0005, 0),
       kDouble,
       "",
       {"[process,112]:" + kNoStream + "/m/a.mp4"}},
      {"videoEffect",
       "StreamsTooShort",
       {file("/m/a.mp4", 10)},
       fakeMedia(0.0005, 0.0005),
       "-vf eq=gamma=2",
       "-an",
       {"[process,68]:" + kNoStream + "/m/a.mp4"}},
      {"videoFilling",
       "NoStreams",
       {file("/m/a.mp4", 12.5)},
       fakeMedia(0, 0),
       kPad,
       "",
       {"[process,57]:" + kNoStream + "/m/a.mp4"}},
      {"videoFilling",
       "ProbeNotJson",
       {file("/m/b.mp4", 12.5)},
       "not json",
       kPad,
       "",
       {"[process,57]:" + kNoStream + "/m/b.mp4"}},
      {"videoToGif",
       "NoProbeAnswer",
       {file("a.mp4", 1)},
       "",
       "fps=10",
       "",
       {"[process,122]:" + kNoStream + "a.mp4"},
       LogCheck::Has,
       std::vector<std::string>{"a.mp4"}},
      {"videoToGif",
       "StreamsTooShort",
       {file("a.mp4", 1)},
       fakeMedia(0.0005, 0.0005),
       "fps=10",
       "",
       {"[process,122]:" + kNoStream + "a.mp4"},
       LogCheck::Has,
       std::vector<std::string>{"a.mp4"}},
      {"waterMark",
       "NoProbeAnswer",
       {file("/m/a.mp4", 8), graphInput(kMark, 0)},
       "",
       "ignored",
       "",
       {"[process,54]:" + kNoStream + "/m/a.mp4"},
       LogCheck::Has,
       std::vector<std::string>{"/m/a.mp4"}},
      {"waterMark",
       "StreamsTooShort",
       {file("/m/a.mp4", 8), graphInput(kMark, 0)},
       fakeMedia(0.0005, 0.0009),
       "ignored",
       "",
       {"[process,54]:" + kNoStream + "/m/a.mp4"},
       LogCheck::Has,
       std::vector<std::string>{"/m/a.mp4"}},

      // A first file without the video the operation works on.
      {"addAudioToFile",
       "NoVideo",
       {file("a.mp3", 10), file("b.mp3", 10)},
       fakeMedia(0, 10),
       kMix,
       "",
       {"[processLocalFile,68]:no video stream: a.mp3", "[mergeLavfi,237]:" + kNoStream},
       LogCheck::Has,
       std::nullopt,
       Unchecked::Durations},
      {"addSubtitleToFile",
       "NoVideo",
       {file("a.mp3", 10), file("a.srt", 10)},
       fakeMedia(0, 10),
       "subtitles",
       "",
       {"[processLocalFile,52]:no video stream: a.mp3"},
       LogCheck::Has,
       std::nullopt,
       Unchecked::Durations},
      {"addVideoToFile",
       "NoVideo",
       {file("a.mp3", 10), file("b.mp4", 10)},
       fakeMedia(0, 10),
       kOverlay,
       "",
       {"[processLocalFile,86]:no video stream: a.mp3"},
       LogCheck::Has,
       std::nullopt,
       Unchecked::DurationsAndLabels},
      {"crop",
       "NoVideo",
       {file(kCropClip, 10)},
       fakeMedia(0, 10),
       "crop=640:360:0:0",
       "",
       {std::string("[process,74]:no video stream: ") + kCropClip}},
      {"videoToGif",
       "NoVideo",
       {file("a.mp3", 1)},
       fakeMedia(0, 5),
       "fps=10",
       "",
       {"[process,147]:do not find video stream: a.mp3"},
       LogCheck::Has,
       std::vector<std::string>{"a.mp3"}},

      // A first path with a double quote, which no graph can hold.
      {"addAudioToFile",
       "UnwritablePath",
       {file("a\".mp4", 10), file("b.mp3", 10)},
       fakeMedia(10, 10),
       kMix,
       "",
       {kUnwritable},
       LogCheck::Contains},
      {"addVideoToFile",
       "UnwritablePath",
       {file("a\".mp4", 10), file("b.mp4", 10)},
       fakeMedia(10, 10),
       kOverlay,
       "",
       {kUnwritable},
       LogCheck::Contains},
      {"audioFilter",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 10)},
       fakeMedia(5, 5),
       "volume=1dB",
       "",
       {"[process,77]:" + kUnwritable + "/m/a\"b.mp4"}},
      {"compression",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 10)},
       compressionProbe(true, true),
       "size 1",
       "-c:v libx264",
       {"[process,105]:" + kUnwritable + "/m/a\"b.mp4"}},
      {"convert",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 12.5)},
       fakeMedia(5, 5),
       "-vf scale=1:1",
       "",
       {"[process,106]:" + kUnwritable + "/m/a\"b.mp4"}},
      {"cut",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 20)},
       fakeMedia(20, 20),
       "-ss 1 -to 2",
       "",
       {"[process,86]:" + kUnwritable + "/m/a\"b.mp4"}},
      {"seekPosition",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 20)},
       fakeMedia(20, 20),
       " trim=5",
       "",
       {"[process,100]:" + kUnwritable + "/m/a\"b.mp4"}},
      {"trackSelection",
       "UnwritablePath",
       {file("/m/a\"b.mp4", 60)},
       videoWithAudio(),
       "-map 0:v",
       "",
       {"[processLocalFile,51]:" + kUnwritable + "/m/a\"b.mp4"},
       LogCheck::Has,
       std::nullopt,
       Unchecked::Durations},
      {"videoToGif",
       "UnwritablePath",
       {file("a\"b.mp4", 1)},
       fakeMedia(10, 0),
       "trim=0:1",
       "",
       {"[process,122]:" + kUnwritable + "a\"b.mp4"}},
      {"waterMark",
       "UnwritablePath",
       {file("a\"b.mp4", 8), graphInput(kMark, 0)},
       fakeMedia(8, 8),
       "ignored",
       "",
       {"[process,54]:" + kUnwritable + "a\"b.mp4"}},
  };
  return cases;
}

class FirstInputOpening : public ::testing::TestWithParam<OpeningCase> {
 protected:
  LavfiParser parser{makeOperationRegistry()};
  LogCapture log;
};

TEST_P(FirstInputOpening, IsRefusedWithTheOperationsLine) {
  const OpeningCase& c = GetParam();
  const std::shared_ptr<LavfiOperation> operation = makeOperation(c.operation);
  ASSERT_NE(operation, nullptr) << c.operation;
  ASSERT_EQ(c.operation, operation->name());
  test::serveProbe(parser, c.probe);
  parser.labelCounter = 3;

  LavfiOperationDesc desc{c.transform, c.outputConfig, c.operation, c.inputs};
  const LavfiResult result = operation->process(parser, desc);

  EXPECT_TRUE(result.graph.empty()) << result.graph;
  EXPECT_TRUE(result.cmd.empty()) << result.cmd;
  if (c.unchecked == Unchecked::Nothing) {
    EXPECT_TRUE(parser.durations.empty()) << "nothing is stored";
  }
  if (c.unchecked != Unchecked::DurationsAndLabels) {
    EXPECT_EQ(parser.labelCounter, 3u) << "no label is taken";
  }
  EXPECT_EQ(desc.outputConfig, c.outputConfig);
  if (c.inputFiles) {
    EXPECT_EQ(result.inputFiles, *c.inputFiles);
  }
  switch (c.check) {
    case LogCheck::Has:
      for (const std::string& line : c.lines) EXPECT_TRUE(log.has(line)) << line << "\n" << log.joined();
      break;
    case LogCheck::Contains:
      for (const std::string& line : c.lines) {
        EXPECT_NE(log.joined().find(line), std::string::npos) << line << "\n" << log.joined();
      }
      break;
    case LogCheck::Exactly: EXPECT_EQ(log.lines(), c.lines); break;
  }
}

// The table covers the whole registry: every operation has its no-inputs row.
TEST(FirstInputOpeningTable, EveryRegistryOperationHasANoInputsRow) {
  const std::vector<OpeningCase> cases = openingCases();
  const OperationRegistry registry = makeOperationRegistry();
  EXPECT_EQ(registry.size(), 17u);
  for (const std::shared_ptr<LavfiOperation>& operation : registry) {
    const std::string name = operation->name();
    int rows = 0;
    for (const OpeningCase& c : cases) rows += (c.operation == name && c.name == "NoInputs") ? 1 : 0;
    EXPECT_EQ(rows, 1) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, FirstInputOpening, ::testing::ValuesIn(openingCases()),
                         [](const ::testing::TestParamInfo<OpeningCase>& row) {
                           return row.param.operation + "_" + row.param.name;
                         });

}  // namespace
}  // namespace qel
