// A bounded, seeded fuzz run over the seventeen operations: requests built
// from the README's examples, mutated with graph syntax, quotes, odd numbers
// and long texts, go through LavfiParser::parse with canned probe answers
// (some of them malformed). Results are fed back as earlier-graph inputs, so
// the graph-editing paths see the operations' own output as well. Any crash
// or sanitizer report (in the sanitizer build) is a defect; the run itself
// only checks a few facts every result must hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "commands/lavfi_parser.h"
#include "support/operation_test_helpers.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

const std::vector<std::string> kNames = {
    "cut",           "crop",        "convert",        "contact",        "audioFilter",      "pictureToGif",
    "videoToGif",    "videoEffect", "seekPosition",   "videoFilling",   "waterMark",        "trackSelection",
    "speedAdjuster", "compression", "addAudioToFile", "addVideoToFile", "addSubtitleToFile"};

const std::vector<std::string> kTransforms = {
    "-ss 0.5 -to 1.5",
    "-ss 00:00:01.5 -to 00:00:03",
    "crop=120:90:0:0",
    "-vf scale=320:240",
    "scale=160:120,setsar=1,fps=25,format=yuv420p,settb=AVTB;[v0][v1]xfade=transition=fade:duration=0.5:offset=1.5["
    "out0];"
    "[a0][a1]acrossfade=d=0.5[out1]",
    "-af \"loudnorm=i=-16\"",
    "fps=10,scale=160:-1",
    "trim=0.5:1.5,setpts=PTS-STARTPTS,fps=10,scale=160:-1,split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse",
    "-vf eq=contrast=1.2",
    "trim=1",
    "pad=200:150:(ow-iw)/2:(oh-ih)/2:black",
    "",
    "-map 0:v -map 0:a",
    "-filter_complex \"setpts=0.5*PTS;atempo=2\"",
    "percent 50",
    "bitrate 500k",
    "volume=0.5;amix=inputs=2:duration=first;-map 0:v",
    "trim=0:1,setpts=PTS-STARTPTS,scale=80:60;overlay=10:10:eof_action=pass",
    "subtitles",
    "-map 0:a",
    "-vn",
    "-an"};

const std::vector<std::string> kTokens = {";",
                                          ",",
                                          "[",
                                          "]",
                                          "[out0]",
                                          "[out1]",
                                          "[v0]",
                                          "[a1]",
                                          "'",
                                          "\"",
                                          "\\",
                                          ":",
                                          "=",
                                          " ",
                                          "-ss",
                                          "-to",
                                          "-vf",
                                          "-af",
                                          "-filter_complex",
                                          "trim=",
                                          "atrim=",
                                          "setpts=",
                                          "atempo=",
                                          "palettegen",
                                          "split",
                                          "-1",
                                          "0",
                                          "1e308",
                                          "-1e308",
                                          "nan",
                                          "inf",
                                          "00:00:",
                                          "99:99:99",
                                          "..",
                                          "1.2.3",
                                          "percent",
                                          "bitrate",
                                          "-map",
                                          "0:v",
                                          "0:a",
                                          "1:a",
                                          "amix=inputs=",
                                          "overlay=",
                                          "movie='",
                                          "amovie='",
                                          "subtitles='",
                                          "\xc3\xa9",
                                          "\xff\xfe",
                                          "%s%n",
                                          "{}",
                                          "\n",
                                          "\t",
                                          "|",
                                          "-i",
                                          "x",
                                          "999999999999999999999",
                                          "0.0000001",
                                          "-0"};

const std::vector<std::string> kPaths = {"/m/in.mp4",
                                         "/m/a b.mp4",
                                         "/m/it's.mp4",
                                         "/m/q\"uote.mp4",
                                         "/m/back\\slash.mp4",
                                         "/m/c:olon=eq.mkv",
                                         "C:\\media\\in.mp4",
                                         "/m/\xc3\xa9t\xc3\xa9.mp3",
                                         "/m/$(touch x).mp4",
                                         "/m/sub.srt",
                                         "/m/logo.png",
                                         "",
                                         "a",
                                         "/m/x.gif",
                                         "/m/[out0].mp4",
                                         "/m/semi;colon.mov",
                                         "/m/bad\xff.mp4",
                                         "/m/trailing\\"};

const std::vector<std::string> kGraphs = {
    "movie='/m/in.mp4'[out0];amovie='/m/in.mp4'[out1]",
    "amovie='/m/a.mp3'[out0]",
    "movie='/m/a.png',loop=loop=9:size=1:start=0,setpts=N/10/TB[out0]",
    "movie='/m/logo.png'[v1];[v0][v1]overlay=x=4:y=4",
    "drawtext=text='Qel':fontsize=14:x=4:y=H-th-4",
    "movie='/m/in.mp4',trim=1:2,setpts=PTS-STARTPTS[out0];amovie='/m/in.mp4',atrim=1:2,asetpts=PTS-STARTPTS[out1]",
    "movie='/m/in.mp4',setpts=0.5*PTS[out0];amovie='/m/in.mp4',atempo=2[out1]",
    "[out0]",
    "[out1]",
    ";[out0]",
    "[out0];",
    "trim=[out0]",
    ",trim=1:[out0]",
    ",atrim=:,[out0]",
    "-i \"/m/x.mp4\"",
    "movie='/m/in.mp4',split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse[out0]",
    "",
    ";",
    "'",
    "movie='",
    "amovie='/m/a\\'.mp3'[out0]"};

std::string fakeStreams(std::mt19937& random) {
  const std::vector<std::string> durations = {"2",   "0.5", "0",   "-1",     "nan",      "1e308",
                                              "inf", "",    "abc", "0.0005", "3723.456", "-0"};
  std::vector<test::FakeStream> streams;
  const int count = static_cast<int>(random() % 4);
  const std::vector<std::string> types = {"video", "audio", "subtitle", "data", ""};
  const std::vector<std::string> codecs = {"h264", "aac", "mov_text", "png", "gif", "subrip", ""};
  for (int i = 0; i < count; ++i) {
    streams.push_back(
        {types[random() % types.size()], codecs[random() % codecs.size()], durations[random() % durations.size()]});
  }
  return test::fakeProbeJson(streams, durations[random() % durations.size()]);
}

std::string pick(std::mt19937& random, const std::vector<std::string>& from) { return from[random() % from.size()]; }

// One text mutated: tokens inserted, pieces cut out, or blown up to a long text.
std::string mutate(std::mt19937& random, std::string text) {
  const int edits = static_cast<int>(random() % 5);
  for (int i = 0; i < edits; ++i) {
    switch (random() % 6) {
      case 0:
      case 1:
      case 2: text.insert(text.empty() ? 0 : random() % (text.size() + 1), pick(random, kTokens)); break;
      case 3:
        if (!text.empty()) {
          const std::size_t at = random() % text.size();
          text.erase(at, random() % (text.size() - at + 1));
        }
        break;
      case 4:
        if (!text.empty()) text.resize(random() % (text.size() + 1));
        break;
      default:
        if (random() % 8 == 0) {
          std::string longer;
          const std::string piece = pick(random, kTokens);
          while (longer.size() < 20000) longer += piece;
          text.insert(text.empty() ? 0 : random() % (text.size() + 1), longer);
        }
        break;
    }
  }
  return text;
}

void writeDuration(std::mt19937& random, rapidjson::Writer<rapidjson::StringBuffer>& writer) {
  switch (random() % 8) {
    case 0: writer.Int(2); break;
    case 1: writer.Int(-1); break;
    case 2: writer.Double(1e308); break;
    case 3: writer.Double(-1e308); break;
    case 4: writer.String("nan"); break;
    case 5: writer.String("inf"); break;
    case 6: writer.Double(0.0); break;
    default: writer.Double(1.5); break;
  }
}

std::string buildRequest(std::mt19937& random, const std::vector<std::string>& earlier) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  const std::size_t op = random() % kNames.size();
  writer.StartObject();
  writer.Key("op");
  writer.String("process");
  writer.Key("operation");
  writer.StartObject();
  writer.Key("input");
  writer.StartArray();
  const int inputs = static_cast<int>(random() % 5);
  for (int i = 0; i < inputs; ++i) {
    writer.StartObject();
    const bool graph = random() % 3 == 0;
    writer.Key("type");
    writer.Int(graph ? 2 : 1);
    writer.Key("value");
    std::string value;
    if (graph) {
      value = !earlier.empty() && random() % 2 == 0 ? earlier[random() % earlier.size()] : pick(random, kGraphs);
      if (random() % 3 == 0) value = mutate(random, value);
    } else {
      value = random() % 4 == 0 ? mutate(random, pick(random, kPaths)) : pick(random, kPaths);
    }
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    writer.Key("duration");
    writeDuration(random, writer);
    if (random() % 3 == 0) {
      writer.Key("prevOp");
      const std::string prevOp = mutate(random, "-ss 1");
      writer.String(prevOp.c_str(), static_cast<rapidjson::SizeType>(prevOp.size()));
    }
    writer.EndObject();
  }
  writer.EndArray();
  writer.Key("transform");
  const std::string transform =
      mutate(random, random() % 4 == 0 ? pick(random, kTransforms) : kTransforms[op % kTransforms.size()]);
  writer.String(transform.c_str(), static_cast<rapidjson::SizeType>(transform.size()));
  writer.Key("description");
  writer.String(kNames[op].c_str());
  if (random() % 2 == 0) {
    writer.Key("outputConfig");
    const std::string config = mutate(random, random() % 2 ? "-c:v libx264" : "-an -f mp4");
    writer.String(config.c_str(), static_cast<rapidjson::SizeType>(config.size()));
  }
  writer.EndObject();
  writer.EndObject();
  return buffer.GetString();
}

// A fixed seed and size keep the suite's run the same every time; a longer
// exploration sets QEL_FUZZ_SEED and QEL_FUZZ_ROUNDS.
unsigned long fromEnvironment(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

TEST(OperationsFuzz, MutatedRequestsNeverCrashAndKeepResultsWhole) {
  test::LogCapture log;  // keeps the run's many refusals out of the test output
  std::mt19937 random(static_cast<unsigned>(fromEnvironment("QEL_FUZZ_SEED", 20240611)));
  const unsigned long rounds = fromEnvironment("QEL_FUZZ_ROUNDS", 3000);
  LavfiParser parser{makeOperationRegistry()};
  parser.setProbeRunner([&random](const std::string&) {
    if (random() % 10 == 0) return std::string(random() % 2 ? "" : "{\"streams\":7,\"format\":[]}");
    return fakeStreams(random);
  });
  std::vector<std::string> earlier;
  for (unsigned long round = 0; round < rounds; ++round) {
    const std::string request = buildRequest(random, earlier);
    const LavfiParseResult result = parser.parse(request);
    // A double quote can only come from the client's own graph text: a path
    // holding one has no escaped form and must be refused.
    if (request.find("\\\"uote") != std::string::npos && !result.graph.empty() &&
        (result.graph.find("q\"uote") != std::string::npos || result.cmd.find("q\"uote") != std::string::npos)) {
      ADD_FAILURE() << "path with a double quote written into a graph: " << request << "\n"
                    << result.cmd << "\n"
                    << result.graph;
    }
    // A duration that is not a positive number never becomes a trim end: an
    // end of 0 gives an empty output that ffmpeg reports as a success.
    // (Client texts may write such trims themselves: only requests whose texts
    // hold no trim at all are checked.)
    if (request.find("trim=") == std::string::npos) {
      for (const char* bad : {"trim=0:0,", "trim=0:-", "trim=0:nan", "trim=0:inf"}) {
        EXPECT_EQ(result.graph.find(bad), std::string::npos) << request << "\n" << result.graph;
      }
    }
    if (!result.graph.empty()) {
      EXPECT_GE(result.fileNums, 0) << request;
      if (earlier.size() < 64 && result.graph.size() < 4096) earlier.push_back(result.graph);
    }
    if (round % 500 == 499) parser.cleanCache();
  }
}

}  // namespace
}  // namespace qel
