// The "compression" operation: the rewrite of the output configuration (the
// whole case table, with the hardware answer and the file size injected),
// option pairing by the ffmpeg option table, refusals, the pass-through
// graphs, and a real compression to a percentage of a clip's size.
#include "operations/lavfi_compression.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "common/text_edit.h"
#include "base/text_helpers.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

constexpr std::int64_t kMiB = 1048576;

HardwareSupport only(const char* vendor) {
  HardwareSupport support;
  const std::string name = vendor;
  support.nvidia = name == "nvidia";
  support.intel = name == "intel";
  support.amd = name == "amd";
  support.apple = name == "apple";
  return support;
}

// A LavfiCompression that sees `hardware` and files of `size` bytes (-1: the
// size cannot be read, with the text "No such file or directory").
LavfiCompression compressionWith(HardwareSupport hardware, std::int64_t size = 100 * kMiB) {
  CompressionSystem system;
  system.hardware = [hardware] { return hardware; };
  system.fileSize = [size](const std::string&, std::string& error) {
    if (size < 0) error = "No such file or directory";
    return size;
  };
  return LavfiCompression(system);
}

// The case table: a 1920x1080 file of 100 MiB lasting 100 s with 128000 bit/s
// of audio, unless a case says otherwise.
TEST(LavfiCompressionConfig, CaseTable) {
  struct Case {
    std::string name;
    std::int64_t percent;
    std::int64_t sizeMiB;
    std::string outputConfig;
    const char* hardware;
    std::int32_t audio;
    std::int32_t width;
    std::int32_t height;
    std::string expected;
  };
  const Case cases[] = {
      {"size 50", 0, 50, "-c:v libx264", "none", 128000, 1920, 1080, " -b:a 128k -b:v 3862k -s 1920x1080 -c:v libx264"},
      {"size 14", 0, 14, "-c:v libx264", "none", 128000, 1920, 1080, " -b:a 128k -b:v 994k -s 1280x720 -c:v libx264"},
      {"portrait", 0, 10, "-c:v libx264", "none", 128000, 1080, 1920, " -b:a 128k -b:v 675k -s 720x1280 -c:v libx264"},
      // No factor in percentage mode; the first round lowers the audio.
      {"percent 10", 10, 0, "-c:v h264", "nvidia", 192000, 1920, 1080,
       " -b:a 128k -b:v 710k -s 1280x720 -c:v h264_nvenc"},
      // A percentage overrides a size given beside it.
      {"percent and size", 10, 3, "-c:v h264", "nvidia", 192000, 1920, 1080,
       " -b:a 128k -b:v 710k -s 1280x720 -c:v h264_nvenc"},
      {"size 1", 0, 1, "-c:v libx264", "none", 128000, 1920, 1080, " -b:a 64k -b:v 55k -s 320x240 -c:v libx264"},
      // Already small enough: the configuration stays exactly as given.
      {"size 200", 0, 200, "-c:v libx264", "none", 128000, 1920, 1080, "-c:v libx264"},
      {"copy", 0, 50, "-c:v copy", "none", 128000, 1920, 1080, " -b:a 128k -b:v 3862k -s 1920x1080 -c:v libx264"},
      {"no encoder", 0, 50, "-preset fast", "none", 128000, 1920, 1080,
       " -b:a 128k -b:v 3862k -s 1920x1080 -preset fast"},
      // h264_qsv keeps 0.98 of the rate, which lands within the 4096x2160 row's tolerance.
      {"intel", 0, 50, "-c:v libx264", "intel", 128000, 1920, 1080,
       " -b:a 128k -b:v 3984k -s 1920x1080 -c:v h264_qsv -bitrate_limit 0"},
      {"amd hevc", 0, 50, "-c:v hevc", "amd", 128000, 1920, 1080, " -b:a 128k -b:v 3862k -s 1920x1080 -c:v hevc_amf"},
      // Apple's encoder is not used for compression.
      {"apple", 0, 50, "-c:v libx264", "apple", 128000, 1920, 1080, " -b:a 128k -b:v 3862k -s 1920x1080 -c:v libx264"},
      {"mpeg4 stays", 0, 50, "-c:v mpeg4", "nvidia", 128000, 1920, 1080,
       " -b:a 128k -b:v 3984k -s 1920x1080 -c:v mpeg4"},
      {"frame rate capped", 0, 50, "-c:v libx264 -r 30", "none", 128000, 1920, 1080,
       " -b:a 128k -b:v 3862k -s 1920x1080 -c:v libx264 -r 24"},
      {"frame rate kept", 0, 50, "-r 15 -c:v libx264", "none", 128000, 1920, 1080,
       " -b:a 128k -b:v 3862k -s 1920x1080 -r 15 -c:v libx264"},
      // Earlier size and rate options are replaced, others copied in order.
      {"old options dropped", 0, 50, "-s 640x360 -b:v 9M -b:a 96k -c:v libx264 -pix_fmt yuv420p", "none", 128000, 1920,
       1080, " -b:a 128k -b:v 3862k -s 1920x1080 -c:v libx264 -pix_fmt yuv420p"},
  };
  for (const Case& c : cases) {
    const LavfiCompression compression = compressionWith(only(c.hardware));
    CompressionParams params{c.percent, c.sizeMiB * kMiB, c.audio, c.width, c.height, 100.0};
    std::string config = c.outputConfig;
    EXPECT_TRUE(compression.generateOutputConfig("/m/in.mp4", params, config)) << c.name;
    EXPECT_EQ(config, c.expected) << c.name;
  }
}

TEST(LavfiCompressionConfig, OptionsArePairedByTheOptionTable) {
  struct Case {
    std::string outputConfig;
    std::string tail;  // after the computed rate and size options
  };
  const Case cases[] = {
      // Flags stand alone and do not shift the pairs after them.
      {"-an -c:v libx264 -y", " -an -c:v libx264 -y"},
      {"-c:v libx264 -vn -r 30 -map_channel -1", " -c:v libx264 -vn -r 24 -map_channel -1"},
      // Options unknown to the table take a value that is no option.
      {"-movflags +faststart -c:v libx264 -crf -1 -tune film", " -movflags +faststart -c:v libx264 -crf -1 -tune film"},
      {"-c:v libx264 -fflags -shortest", " -c:v libx264 -fflags -shortest"},
      // A stray value would become an output path; an option missing its value goes.
      {"-c:v libx264 stray.mp4", " -c:v libx264"},
      {"-c:v libx264 -pix_fmt", " -c:v libx264"},
  };
  const LavfiCompression compression = compressionWith(only("none"));
  for (const Case& c : cases) {
    CompressionParams params{0, 50 * kMiB, 128000, 1920, 1080, 100.0};
    std::string config = c.outputConfig;
    ASSERT_TRUE(compression.generateOutputConfig("/m/in.mp4", params, config)) << c.outputConfig;
    EXPECT_EQ(config, " -b:a 128k -b:v 3862k -s 1920x1080" + c.tail) << c.outputConfig;
  }
}

TEST(LavfiCompressionConfig, RefusalsLeaveTheConfiguration) {
  struct Case {
    std::int64_t percent;
    std::int64_t sizeMiB;
    double duration;
    std::string line;
  };
  const Case cases[] = {
      {0, 0, 100, "[generateOutputConfig,194]:Compression: calc fileSize=0"},
      {0, -3, 100, "[generateOutputConfig,194]:Compression: calc fileSize=-3145728"},
      // Without a duration no rate can be computed (no division by zero).
      {0, 50, 0, "[generateOutputConfig,198]:Compression: invalid duration=0"},
      {10, 0, -1, "[generateOutputConfig,198]:Compression: invalid duration=-1"},
  };
  const LavfiCompression compression = compressionWith(only("none"));
  for (const Case& c : cases) {
    LogCapture log;
    CompressionParams params{c.percent, c.sizeMiB * kMiB, 128000, 1920, 1080, c.duration};
    std::string config = "-c:v libx264";
    EXPECT_FALSE(compression.generateOutputConfig("/m/in.mp4", params, config)) << c.line;
    EXPECT_EQ(config, "-c:v libx264");
    EXPECT_TRUE(log.has(c.line)) << log.joined();
  }
}

TEST(LavfiCompressionConfig, PercentageOfBitRatesWhenTheSizeIsUnknown) {
  // (128000 + 1000000) bit/s x 100 s / 8 x 50 % = 7050000 bytes; the rate of
  // 436 kbit/s lowers the audio to 64000, and 500 then meets its row exactly.
  const std::string expected = " -b:a 64k -b:v 500k -c:v libx264";
  {
    const LavfiCompression compression = compressionWith(only("none"));
    CompressionParams params{50, 0, -1, -1, -1, 100.0};
    std::string config = "-b:a 128k -b:v 1000k -c:v libx264";
    ASSERT_TRUE(compression.generateOutputConfig("", params, config));
    EXPECT_EQ(config, expected);
    EXPECT_EQ(params.targetSize, 7050000);
  }
  {
    // A size that cannot be read is logged with the system's text.
    LogCapture log;
    const LavfiCompression compression = compressionWith(only("none"), -1);
    CompressionParams params{50, 0, -1, -1, -1, 100.0};
    std::string config = "-b:a 128k -b:v 1000k -c:v libx264";
    ASSERT_TRUE(compression.generateOutputConfig("/m/gone.mp4", params, config));
    EXPECT_EQ(config, expected);
    EXPECT_TRUE(log.has("[generateOutputConfig,190]:Compression: call file_size failed,No such file or directory"))
        << log.joined();
  }
}

TEST(LavfiCompressionConfig, RealFileSystemAnswersTheSize) {
  test::TempDir dir;
  const std::string path = dir.file("data.bin");
  test::writeFile(path, std::string(4096, 'x'));
  const LavfiCompression compression(CompressionSystem{[] { return HardwareSupport{}; }, nullptr});
  // 4096 bytes is smaller than a 1 MiB target: nothing to do.
  CompressionParams params{0, kMiB, 128000, 160, 120, 10.0};
  std::string config = "-c:v libx264";
  EXPECT_TRUE(compression.generateOutputConfig(path, params, config));
  EXPECT_EQ(config, "-c:v libx264");

  LogCapture log;
  params = CompressionParams{50, 0, 128000, 160, 120, 10.0};
  EXPECT_TRUE(compression.generateOutputConfig(dir.file("missing.bin"), params, config));
  bool logged = false;
  for (const std::string& line : log.lines()) {
    logged = logged || line.starts_with("[generateOutputConfig,190]:Compression: call file_size failed,");
  }
  EXPECT_TRUE(logged) << log.joined();
}

TEST(LavfiCompressionConfig, Readers) {
  using Tokens = std::vector<std::string>;
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:v", "1.5M"}, "-b:v"), 1500000);
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:a", "96k", "-b:a", "1k"}, "-b:a"), 96000);
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:v", "800000"}, "-b:v"), 800000);
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:v", "fast"}, "-b:v"), 0);
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:v"}, "-b:v"), 0);
  EXPECT_EQ(LavfiCompression::readBitrateOption(Tokens{"-b:v", "1e30"}, "-b:v"),
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(LavfiCompression::readSizeOption(Tokens{"-s", "640x360"}), std::make_pair(640, 360));
  EXPECT_EQ(LavfiCompression::readSizeOption(Tokens{"-s", "640x360x2"}), std::make_pair(0, 0));
  EXPECT_EQ(LavfiCompression::readSizeOption(Tokens{"-s", "hd720"}), std::make_pair(0, 0));
  EXPECT_EQ(LavfiCompression::readSizeOption(Tokens{"-r", "30"}), std::make_pair(0, 0));

  CompressionParams params;
  params.audioBitrate = 192000;
  EXPECT_TRUE(LavfiCompression::lowerAudioBitrate(400, params));
  EXPECT_EQ(params.audioBitrate, 128000);
  EXPECT_TRUE(LavfiCompression::lowerAudioBitrate(400, params));
  EXPECT_EQ(params.audioBitrate, 64000);
  EXPECT_FALSE(LavfiCompression::lowerAudioBitrate(400, params));
  params.audioBitrate = 192000;
  EXPECT_FALSE(LavfiCompression::lowerAudioBitrate(1000, params));
}

// A canned ffprobe answer with picture size and audio facts.
std::string probeJson(bool video, bool audio, int width = 1920, int height = 1080, const char* audioRate = "192000") {
  std::string streams;
  if (video) {
    streams +=
        fmt::format(R"({{"index":0,"codec_type":"video","codec_name":"h264","width":{},"height":{},"duration":"100"}})",
                    width, height);
  }
  if (audio) {
    if (!streams.empty()) streams += ",";
    streams += fmt::format(
        R"({{"index":1,"codec_type":"audio","codec_name":"aac","channels":2,"bit_rate":"{}","duration":"100"}})",
        audioRate);
  }
  return "{\"streams\":[" + streams + "],\"format\":{\"duration\":\"100\"}}";
}

class LavfiCompressionTest : public ::testing::Test {
 protected:
  LavfiResult run(std::vector<LavfiInputItem> inputs, const std::string& transform, const std::string& outputConfig) {
    desc = LavfiOperationDesc{transform, outputConfig, "compression", std::move(inputs)};
    return compression.process(parser, desc);
  }

  LavfiParser parser{makeOperationRegistry()};
  LavfiCompression compression = compressionWith(only("nvidia"));
  LavfiOperationDesc desc;
  LogCapture log;
};

TEST_F(LavfiCompressionTest, FileGraphsPassThrough) {
  struct Case {
    bool video;
    bool audio;
    std::string graph;
  };
  const Case cases[] = {
      {true, true,
       "movie='/m/in.mp4',trim=0:100,setpts=PTS-STARTPTS[out0];amovie='/m/"
       "in.mp4',atrim=0:100,asetpts=PTS-STARTPTS[out1]"},
      {true, false, "movie='/m/in.mp4'[out0]"},
      // One output is labelled "[out0]", as in every graph.
      {false, true, "amovie='/m/in.mp4'[out0]"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, probeJson(c.video, c.audio));
    const LavfiResult result = run({{1, "/m/in.mp4", "", 100}}, "percent 10", "-c:v h264");
    EXPECT_EQ(result.graph, c.graph);
    EXPECT_TRUE(result.cmd.empty());
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{"/m/in.mp4"});
    EXPECT_EQ(parser.durationOf(result.graph), 100.0);
  }
  // The probe's picture size and audio rate feed the rewrite (percent case of the table).
  test::serveProbe(parser, probeJson(true, true));
  run({{1, "/m/in.mp4", "", 100}}, "size 3 percent 10 other", "-c:v h264");
  EXPECT_EQ(desc.outputConfig, " -b:a 128k -b:v 710k -s 1280x720 -c:v h264_nvenc");
  // A portrait picture and an audio stream without a rate (taken as 128000).
  test::serveProbe(parser, probeJson(true, true, 1080, 1920, "0"));
  run({{1, "/m/in.mp4", "", 100}}, "size 10", "-c:v libx264");
  EXPECT_EQ(desc.outputConfig, " -b:a 128k -b:v 639k -s 720x1280 -c:v h264_nvenc");
}

TEST_F(LavfiCompressionTest, EarlierGraphKeepsItsTextAndRecordsTheRewrite) {
  const std::string graph = "movie='/m/in.mp4',hflip[out0]";
  parser.setDuration(graph, 100);
  const LavfiParseResult result =
      parser.parse(R"({"operation":{"input":[{"type":2,"value":"movie='/m/in.mp4',hflip[out0]","duration":100}],)"
                   R"("transform":"size 5","description":"compression","outputConfig":"-s 640x360 -c:v libx264"}})");
  EXPECT_EQ(result.graph, graph);
  EXPECT_EQ(result.fileNums, 1);
  const LavfiOutputRecord* record = parser.findOutput(graph);
  ASSERT_NE(record, nullptr);
  // The default instance sees no working vendor encoder in this test program.
  EXPECT_EQ(record->outputConfig, " -b:v 398k -s 640x360 -c:v libx264");
}

TEST_F(LavfiCompressionTest, Refusals) {
  struct Case {
    LavfiInputItem input;
    std::string probe;
    std::string transform;
    std::string line;
  };
  const Case cases[] = {
      {{1, "/m/in.mp4", "", 10},
       probeJson(true, true),
       "quality 5",
       "[process,105]:generateOutputConfig return false: /m/in.mp4"},
      {{2, "movie='x'[out0]", "", 0}, "", "size 1", "[process,79]:generateOutputConfig return false: movie='x'[out0]"},
  };
  for (const Case& c : cases) {
    LogCapture caseLog;
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({c.input}, c.transform, "-c:v libx264");
    EXPECT_TRUE(result.graph.empty()) << c.line;
    EXPECT_EQ(desc.outputConfig, "-c:v libx264");
    EXPECT_TRUE(caseLog.has(c.line)) << caseLog.joined();
  }
}

// A two-second mandelbrot zoom (detailed enough that x264 spends about the
// bits it is given) compressed to half its size with the rewritten options.
TEST(LavfiCompressionRun, PercentageLandsNearTheTarget) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  const CapturedRun made = runAndCapture({test::ffmpegPath(),
                                          "-hide_banner",
                                          "-nostdin",
                                          "-loglevel",
                                          "error",
                                          "-y",
                                          "-f",
                                          "lavfi",
                                          "-i",
                                          "mandelbrot=size=320x240:rate=25",
                                          "-f",
                                          "lavfi",
                                          "-i",
                                          "sine=frequency=440:sample_rate=44100",
                                          "-ac",
                                          "2",
                                          "-t",
                                          "2",
                                          "-c:v",
                                          "libx264",
                                          "-b:v",
                                          "1500k",
                                          "-c:a",
                                          "aac",
                                          "-b:a",
                                          "128k",
                                          clip},
                                         true);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::int64_t original = static_cast<std::int64_t>(std::filesystem::file_size(clip));

  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  const LavfiCompression compression(CompressionSystem{[] { return HardwareSupport{}; }, nullptr});
  LavfiOperationDesc desc{"percent 50", "-c:v libx264 -r 30", "compression", {{1, clip, "", 2.0}}};
  const LavfiResult result = compression.process(parser, desc);
  ASSERT_FALSE(result.graph.empty());
  ASSERT_NE(desc.outputConfig.find(" -r 24"), std::string::npos) << desc.outputConfig;

  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out, splitWhitespace(desc.outputConfig));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  const double target = static_cast<double>(original) * 0.5;
  const double size = static_cast<double>(std::filesystem::file_size(out));
  // x264's one-pass average bit rate overshoots by up to a third on a clip
  // this short; the band still tells a compressed file from the original.
  EXPECT_GT(size, target * 0.5) << desc.outputConfig << " original " << original;
  EXPECT_LT(size, target * 1.5) << desc.outputConfig << " original " << original;
}

}  // namespace
}  // namespace qel
