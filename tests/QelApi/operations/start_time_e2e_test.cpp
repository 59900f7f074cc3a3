// Mixing, concatenation and overlay over files made the way real files are:
// AAC in MP4 (its priming delay puts the first audio sample before 0), Opus in
// MKV, a MOV with rotation metadata, 48 kHz audio, a 5.1 layout, and a file
// whose picture starts after its sound. Every stream of the result must last
// as long as the edit says, in both forms an operation returns (its graph and
// its command fragment): ffmpeg's mixing filters end early, or drop a stream,
// when their inputs do not start together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "commands/lavfi_parser.h"
#include "QelApi/operations/added_input_run.h"
#include "QelApi/operations/real_engine_helpers.h"
#include "support/test_support.h"
#include "support/engine_context_access.h"

namespace qel {
namespace {

struct Fixture {
  const char* name;
  const char* file;                    // file name, its extension picks the container
  std::vector<std::string> arguments;  // ffmpeg arguments before the output path
};

// Three seconds each, with a picture and a sound.
const std::vector<Fixture> kFixtures = {
    {"AacInMp4",
     "aac.mp4",
     {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264", "-pix_fmt",
      "yuv420p", "-c:a", "aac"}},
    {"OpusInMkv",
     "opus.mkv",
     {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=d=3:r=48000", "-c:v", "libx264",
      "-pix_fmt", "yuv420p", "-c:a", "libopus"}},
    {"RotatedMov",
     "rotated.mov",
     {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264", "-pix_fmt",
      "yuv420p", "-c:a", "aac", "-metadata:s:v:0", "rotate=90"}},
    {"Audio48k",
     "48k.mp4",
     {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=d=3:r=48000", "-c:v", "libx264",
      "-pix_fmt", "yuv420p", "-c:a", "aac"}},
    {"Surround51",
     "surround.mp4",
     {"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=d=3", "-af",
      "aformat=channel_layouts=5.1", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}},
    {"VideoAfterAudio",
     "late-video.mp4",
     {"-itsoffset", "0.5", "-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=2.5", "-f", "lavfi", "-i", "sine=d=3", "-c:v",
      "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}},
};

void PrintTo(const Fixture& fixture, std::ostream* os) { *os << fixture.name; }

// Each stream's duration by codec type, read from ffprobe's stream entries.
std::map<std::string, double> streamDurations(const test::ProbeInfo& info) {
  std::map<std::string, double> durations;
  rapidjson::Document doc;
  doc.Parse(info.json.c_str(), info.json.size());
  if (!doc.IsObject() || !doc.HasMember("streams") || !doc["streams"].IsArray()) return durations;
  for (const auto& stream : doc["streams"].GetArray()) {
    if (!stream.IsObject() || !stream.HasMember("codec_type") || !stream.HasMember("duration")) continue;
    if (!stream["codec_type"].IsString() || !stream["duration"].IsString()) continue;
    durations[stream["codec_type"].GetString()] = std::strtod(stream["duration"].GetString(), nullptr);
  }
  return durations;
}

class StartTimeTest : public testing::TestWithParam<Fixture> {
 protected:
  void SetUp() override {
    const Fixture& fixture = GetParam();
    const CapturedRun made = test::runFfmpeg(fixture.arguments, base);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const CapturedRun clip =
        test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=2", "-f", "lavfi", "-i", "sine=f=660:d=2",
                         "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"},
                        second);
    ASSERT_EQ(clip.exitCode, 0) << clip.output;
    const CapturedRun tone = test::runFfmpeg({"-f", "lavfi", "-i", "sine=f=330:d=2"}, music);
    ASSERT_EQ(tone.exitCode, 0) << tone.output;
  }

  // Runs the operation's graph and fragment and checks that the video and the
  // audio of both outputs last `seconds`.
  void expectBothForms(const std::string& description, const std::vector<LavfiInputItem>& inputs,
                       const std::string& transform, double seconds) {
    test::RealEngine engine(dir.path());
    const test::ProcessOutcome outcome = engine.process(description, inputs, transform);
    ASSERT_FALSE(outcome.graph.empty()) << outcome.reply;
    std::string fragment;
    {
      auto lock = EngineContextTestAccess::lock(engine.engine());
      if (const LavfiOutputRecord* record = EngineContextTestAccess::parser(engine.engine()).findOutput(outcome.graph))
        fragment = record->cmd;
    }
    struct Form {
      const char* name;
      CapturedRun run;
      std::string out;
      std::string text;
    };
    std::vector<Form> forms;
    forms.push_back(
        {"graph", test::runGraph(outcome.graph, dir.file("graph.mp4")), dir.file("graph.mp4"), outcome.graph});
    if (!fragment.empty()) {
      forms.push_back(
          {"fragment", test::runFragment(fragment, dir.file("fragment.mp4")), dir.file("fragment.mp4"), fragment});
    }
    for (const Form& form : forms) {
      SCOPED_TRACE(std::string(form.name) + ": " + form.text);
      ASSERT_EQ(form.run.exitCode, 0) << form.run.output;
      const std::map<std::string, double> durations = streamDurations(test::probe(form.out));
      ASSERT_EQ(durations.count("video"), 1u);
      ASSERT_EQ(durations.count("audio"), 1u);
      EXPECT_NEAR(durations.at("video"), seconds, 0.2);
      EXPECT_NEAR(durations.at("audio"), seconds, 0.2);
    }
  }

  LavfiInputItem item(const std::string& path, double duration) {
    LavfiInputItem input;
    input.type = 1;
    input.value = path;
    input.duration = duration;
    return input;
  }

  test::TempDir dir;
  const std::string base = dir.file(GetParam().file);
  const std::string second = dir.file("second.mp4");
  const std::string music = dir.file("music.mp3");
};

TEST_P(StartTimeTest, AddedAudioIsMixedOverTheWholeLength) {
  expectBothForms("addAudioToFile", {item(base, 3), item(music, 2)}, "volume=0.5;amix=inputs=2:duration=first;-map 0:v",
                  3.0);
}

TEST_P(StartTimeTest, ConcatenationKeepsEveryPart) {
  expectBothForms("contact", {item(base, 3), item(second, 2)},
                  "scale=160:120,setsar=1,fps=25,format=yuv420p,settb=AVTB;"
                  "[v0][v1]xfade=transition=fade:duration=0.5:offset=2.5[out0];[a0][a1]acrossfade=d=0.5[out1]",
                  4.5);
}

TEST_P(StartTimeTest, OverlayKeepsTheBaseLength) {
  expectBothForms("addVideoToFile", {item(base, 3), item(second, 2)},
                  "trim=0:1,setpts=PTS-STARTPTS,scale=80:60;overlay=10:10:eof_action=pass", 3.0);
}

INSTANTIATE_TEST_SUITE_P(RealFiles, StartTimeTest, testing::ValuesIn(kFixtures),
                         [](const testing::TestParamInfo<Fixture>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace qel
