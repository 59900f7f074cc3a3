#include "commands/probe_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel {
namespace {

ProbeDocument parsed(const std::string& json) {
  ProbeDocument doc;
  doc.parse(json);
  return doc;
}

// ---- readers over ffprobe-shaped texts ----------------------------------------

TEST(ProbeDocument, ParseRejectsEmptyBrokenAndNonObjectTexts) {
  for (const std::string text : {"", "{", "[1,2]", "\"text\"", "42", "null"}) {
    ProbeDocument doc;
    EXPECT_FALSE(doc.parse(text)) << text;
    EXPECT_FALSE(doc.ok) << text;
  }
  EXPECT_TRUE(parsed(R"({"streams":[]})").ok);
}

TEST(ProbeDocument, DurationsFromStreamOrContainer) {
  struct Case {
    const char* json;
    bool videoFound;
    double video;
    bool audioFound;
    double audio;
  };
  const std::vector<Case> cases = {
      {R"({"streams":[{"codec_type":"video","duration":"12.480000"},{"codec_type":"audio","duration":"3.5"}],"format":{"duration":"40"}})",
       true, 12.48, true, 3.5},
      {R"({"streams":[{"codec_type":"video"}],"format":{"duration":"30.5"}})", true, 30.5, false, 0},
      {R"({"streams":[{"codec_type":"audio"}],"format":{"duration":"30.5"}})", false, 0, true, 30.5},
      // A duration of the wrong type counts as absent.
      {R"({"streams":[{"codec_type":"video","duration":12}],"format":{"duration":"7"}})", true, 7, false, 0},
      {R"({"streams":[{"codec_type":"video"}],"format":{"duration":7}})", false, 0, false, 0},
      {R"({"streams":[{"codec_type":"video"}],"format":"x"})", false, 0, false, 0},
      {R"({"streams":{"codec_type":"video","duration":"1"},"format":{"duration":"2"}})", false, 0, false, 0},
      {R"({"streams":[1,"x",null,{"codec_type":"video","duration":"2"}]})", true, 2, false, 0},
  };
  for (const Case& c : cases) {
    const ProbeDocument doc = parsed(c.json);
    double seconds = -1;
    EXPECT_EQ(getVideoDuration(doc, seconds), c.videoFound) << c.json;
    EXPECT_DOUBLE_EQ(seconds, c.video) << c.json;
    seconds = -1;
    EXPECT_EQ(getAudioDuration(doc, seconds), c.audioFound) << c.json;
    EXPECT_DOUBLE_EQ(seconds, c.audio) << c.json;
  }
}

TEST(ProbeDocument, StreamFieldsSkipStreamsWithoutTheMember) {
  const ProbeDocument doc = parsed(
      R"({"streams":[{"codec_type":"audio","channels":"2"},{"codec_type":"audio","codec_name":"aac","channels":6},)"
      R"({"codec_type":"audio","codec_name":"mp3","channels":2}]})");
  std::string text;
  EXPECT_TRUE(getStreamStringField(doc, "audio", "codec_name", text));
  EXPECT_EQ(text, "aac");
  int32_t value = 0;
  EXPECT_TRUE(getStreamIntField(doc, "audio", "channels", value));
  EXPECT_EQ(value, 6);
  EXPECT_FALSE(getStreamStringField(doc, "video", "codec_name", text));
  EXPECT_FALSE(getStreamIntField(doc, "audio", "width", value));
}

TEST(ProbeDocument, FindStreamIndexCountsStreamsOfOneType) {
  const ProbeDocument doc = parsed(
      R"({"streams":[{"codec_type":"video"},{"codec_type":"audio"},{"codec_type":"subtitle"},{"codec_type":"audio"}]})");
  struct Case {
    const char* type;
    int n;
    bool found;
    int index;
  };
  for (const Case& c : std::vector<Case>{{"audio", 0, true, 1},
                                         {"audio", 1, true, 3},
                                         {"audio", 2, false, -7},
                                         {"audio", -1, false, -7},
                                         {"video", 0, true, 0},
                                         {"data", 0, false, -7}}) {
    int32_t index = -7;
    EXPECT_EQ(findStreamIndex(doc, c.type, c.n, index), c.found) << c.type << " " << c.n;
    EXPECT_EQ(index, c.index) << c.type << " " << c.n;
  }
}

TEST(ProbeDocument, SubtitleScanFindsTheFirstTimedMovText) {
  const ProbeDocument doc = parsed(R"({"streams":[{"codec_type":"video","codec_name":"h264"},)"
                                   R"({"codec_type":"subtitle","codec_name":"ass"},)"
                                   R"({"codec_type":"subtitle","codec_name":"mov_text","duration":"0"},)"
                                   R"({"codec_type":"subtitle","codec_name":"mov_text","duration":"20.0"}]})");
  int32_t index = 99;
  double seconds = 0;
  EXPECT_TRUE(getSubtitleInfo(doc, index, seconds));
  EXPECT_EQ(index, 2);
  EXPECT_DOUBLE_EQ(seconds, 20.0);

  const ProbeDocument none = parsed(R"({"streams":[{"codec_type":"video","codec_name":"h264"}]})");
  index = 99;
  EXPECT_FALSE(scanSubtitleStreams(none, index, seconds));
  EXPECT_EQ(index, -1);

  const ProbeDocument noStreams = parsed(R"({"format":{}})");
  index = 99;
  EXPECT_FALSE(scanSubtitleStreams(noStreams, index, seconds));
  EXPECT_EQ(index, 99);
}

TEST(ProbeDocument, AudioStreamInfoPrefersMostChannelsFirstOnTie) {
  struct Case {
    const char* json;
    int bitRate;
    int channels;
    const char* codec;
  };
  const std::vector<Case> cases = {
      {R"({"streams":[{"codec_type":"audio","codec_name":"aac","bit_rate":"128000","channels":2},)"
       R"({"codec_type":"audio","codec_name":"ac3","bit_rate":"384000","channels":6}]})",
       384000, 6, "ac3"},
      {R"({"streams":[{"codec_type":"audio","codec_name":"aac","bit_rate":"128000","channels":2},)"
       R"({"codec_type":"audio","codec_name":"mp3","bit_rate":"192000","channels":2}]})",
       128000, 2, "aac"},
      // No bit rate or no channels: never chosen.
      {R"({"streams":[{"codec_type":"audio","codec_name":"flac","channels":8},)"
       R"({"codec_type":"audio","codec_name":"pcm","bit_rate":"1000"},)"
       R"({"codec_type":"audio","codec_name":"aac","bit_rate":"99999999999","channels":1}]})",
       2147483647, 1, "aac"},
      {R"({"streams":[{"codec_type":"video","bit_rate":"5","channels":2}]})", 0, 0, ""},
  };
  for (const Case& c : cases) {
    int32_t bitRate = -1;
    int32_t channels = -1;
    std::string codec = "stale";
    EXPECT_TRUE(getAudioStreamInfo(parsed(c.json), bitRate, channels, codec)) << c.json;
    EXPECT_EQ(bitRate, c.bitRate) << c.json;
    EXPECT_EQ(channels, c.channels) << c.json;
    EXPECT_EQ(codec, c.codec) << c.json;
  }
}

TEST(ProbeDocument, EveryReaderFailsOnAnUnparsedDocument) {
  ProbeDocument doc;
  doc.parse("not json");
  double seconds = 0;
  std::string text;
  int32_t value = 5;
  int32_t index = 5;
  int32_t channels = 5;
  EXPECT_FALSE(getVideoDuration(doc, seconds));
  EXPECT_FALSE(getAudioDuration(doc, seconds));
  EXPECT_FALSE(getStreamStringField(doc, "video", "codec_name", text));
  EXPECT_FALSE(getStreamIntField(doc, "audio", "channels", value));
  EXPECT_FALSE(getFormatDuration(doc, "video", seconds));
  EXPECT_FALSE(findStreamIndex(doc, "video", 0, index));
  EXPECT_FALSE(getSubtitleInfo(doc, index, seconds));
  EXPECT_FALSE(getAudioStreamInfo(doc, value, channels, text));
  EXPECT_EQ(seconds, 0);
  EXPECT_EQ(index, 0);  // getSubtitleInfo zeroes first
}

// ---- time text and extensions ----------------------------------------------------

TEST(ClockText, ToSeconds) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"00:01:02.75", 62},   {"5.9", 5},
      {"1:30", 0},           {"", 0},
      {"   00:00:10", 10},   {"01:02:05", 3725},
      {"100:00:00", 360000}, {"abc", 0},
      {"12:x:00", 0},        {"-5.5", -5},
      {"1e99", 2147483647},  {"nan", 0},
      {"00:00:09.999", 9},   {"99999999999999:00:00", 2147483647},
  };
  for (const auto& [text, seconds] : cases) EXPECT_EQ(clockTextToSeconds(text), seconds) << text;
}

TEST(ClockText, FromSeconds) {
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {3725, "01:02:05"}, {59, "00:00:59"}, {0, "00:00:00"}, {360000, "100:00:00"}, {86399, "23:59:59"},
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(secondsToClockText(seconds), text) << seconds;
    EXPECT_EQ(clockTextToSeconds(text), seconds) << text;
  }
}

TEST(Extensions, AudioAndImage) {
  struct Case {
    const char* path;
    bool audio;
    bool image;
  };
  for (const Case& c : std::vector<Case>{{"D:/m/Song.MP3", true, false},
                                         {"D:/m/song.mp3.txt", false, false},
                                         {"D:/m.dir/song", false, false},
                                         {"", false, false},
                                         {"noext", false, false},
                                         {"/a/b.Opus", true, false},
                                         {"/a/pic.JPEG", false, true},
                                         {"/a/anim.gif", false, true},
                                         {"/a/clip.mp4", false, false},
                                         {".wav", true, false}}) {
    EXPECT_EQ(hasAudioExtension(c.path), c.audio) << c.path;
    EXPECT_EQ(hasImageExtension(c.path), c.image) << c.path;
  }
}

// ---- readers over real ffprobe output ---------------------------------------------

void runFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {test::ffmpegPath(), "-hide_banner", "-nostdin", "-v", "error", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CapturedRun run = runAndCapture(argv, true);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitCode, 0) << run.output;
}

ProbeDocument probeDocumentOf(const std::string& path) {
  const test::ProbeInfo info = test::probe(path);
  EXPECT_TRUE(info.ok) << info.error;
  return parsed(info.json);
}

TEST(ProbeDocumentOnFiles, Mp4HasStreamDurations) {
  test::TempDir dir;
  const std::string clip = dir.file("a.mp4");
  test::ClipSpec options;
  options.seconds = 2;
  options.extraArgs = {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};
  test::makeClip(clip, options);
  const ProbeDocument doc = probeDocumentOf(clip);
  ASSERT_TRUE(doc.ok);
  double video = 0;
  double audio = 0;
  ASSERT_TRUE(getVideoDuration(doc, video));
  ASSERT_TRUE(getAudioDuration(doc, audio));
  EXPECT_NEAR(video, 2.0, 0.1);
  EXPECT_NEAR(audio, 2.0, 0.1);
  int32_t index = -1;
  EXPECT_TRUE(findStreamIndex(doc, "audio", 0, index));
  EXPECT_EQ(index, 1);
  int32_t si = 0;
  double subSeconds = 0;
  EXPECT_FALSE(getSubtitleInfo(doc, si, subSeconds));
}

TEST(ProbeDocumentOnFiles, MatroskaCopyFallsBackToContainerDuration) {
  test::TempDir dir;
  const std::string source = dir.file("a.mp4");
  test::ClipSpec options;
  options.seconds = 2;
  options.extraArgs = {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};
  test::makeClip(source, options);
  const std::string copy = dir.file("b.mkv");
  runFfmpeg({"-i", source, "-c", "copy", copy});
  const ProbeDocument doc = probeDocumentOf(copy);
  ASSERT_TRUE(doc.ok);
  std::string streamDuration;
  ASSERT_FALSE(getStreamStringField(doc, "video", "duration", streamDuration))
      << "fixture assumption: matroska streams carry no duration";
  double video = 0;
  double audio = 0;
  EXPECT_TRUE(getVideoDuration(doc, video));
  EXPECT_TRUE(getAudioDuration(doc, audio));
  EXPECT_NEAR(video, 2.0, 0.1);
  EXPECT_NEAR(audio, 2.0, 0.1);
}

TEST(ProbeDocumentOnFiles, Mp4WithMovTextSubtitle) {
  test::TempDir dir;
  const std::string source = dir.file("a.mp4");
  test::ClipSpec options;
  options.seconds = 2;
  options.extraArgs = {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};
  test::makeClip(source, options);
  const std::string srt = dir.file("s.srt");
  test::writeFile(srt, "1\n00:00:00,000 --> 00:00:01,500\nhello\n");
  const std::string withSubs = dir.file("c.mp4");
  runFfmpeg({"-i", source, "-i", srt, "-map", "0", "-map", "1", "-c", "copy", "-c:s", "mov_text", withSubs});
  const ProbeDocument doc = probeDocumentOf(withSubs);
  int32_t index = -1;
  double seconds = 0;
  ASSERT_TRUE(getSubtitleInfo(doc, index, seconds));
  EXPECT_EQ(index, 0);
  EXPECT_GT(seconds, 0.5);
  int32_t position = -1;
  EXPECT_TRUE(findStreamIndex(doc, "subtitle", 0, position));
  EXPECT_EQ(position, 2);
}

TEST(ProbeDocumentOnFiles, SixChannelStreamWinsOverStereo) {
  test::TempDir dir;
  const std::string path = dir.file("d.mp4");
  runFfmpeg({"-f", "lavfi", "-i", "sine=duration=1", "-f", "lavfi", "-i", "sine=frequency=880:duration=1",
             "-filter_complex", "[0]aformat=channel_layouts=stereo[a];[1]aformat=channel_layouts=5.1[b]", "-map", "[a]",
             "-map", "[b]", "-c:a", "aac", path});
  const ProbeDocument doc = probeDocumentOf(path);
  int32_t bitRate = 0;
  int32_t channels = 0;
  std::string codec;
  ASSERT_TRUE(getAudioStreamInfo(doc, bitRate, channels, codec));
  EXPECT_EQ(channels, 6);
  EXPECT_GT(bitRate, 0);
  EXPECT_EQ(codec, "aac");
  double video = 5;
  EXPECT_FALSE(getVideoDuration(doc, video));  // no video stream, even with a container duration
  EXPECT_EQ(video, 0);
}

}  // namespace
}  // namespace qel
