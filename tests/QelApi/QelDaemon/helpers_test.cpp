// Reply texts, media kinds and durations, thumbnail names, the desktop zoom
// parser: text in, text out.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "QelDaemon/desktop_zoom.h"
#include "QelDaemon/media_props.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/request_dispatcher.h"
#include "support/test_support.h"

namespace qel {
namespace {

TEST(RepliesTest, FixedFormats) {
  EXPECT_EQ(ErrorReplyText(5, 6510, "undefined op"),
            "{\"sid\":5,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"undefined op\"}");
  EXPECT_EQ(ErrorReplyText(1, 6510, "a \"quoted\"\n text"),
            "{\"sid\":1,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"a \\\"quoted\\\"\\n text\"}");
  EXPECT_EQ(SuccessReplyText(-3), "{\"sid\":-3,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\"}");
  EXPECT_EQ(PongReplyText(3), "{\"sid\":3,\"pong\":\"ok\"}");
  EXPECT_EQ(TaskIdReplyText(7, 18446744073709551615ull), "{\"sid\":7,\"taskId\":18446744073709551615}");
}

TEST(RepliesTest, DesktopZoomAlwaysHasAFraction) {
  const std::string head = "{\"sid\":2,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\",\"desktopZoom\":";
  EXPECT_EQ(DesktopZoomReplyText(2, 1.0), head + "1.0}");
  EXPECT_EQ(DesktopZoomReplyText(2, 1.25), head + "1.25}");
  EXPECT_EQ(DesktopZoomReplyText(2, 1.5), head + "1.5}");
}

TEST(MediaKindTest, ByLowerCasedExtension) {
  struct Case {
    const char* path;
    MediaKind kind;
  } cases[] = {
      {"D:\\a\\clip.MP4", MediaKind::Movie},
      {"D:\\a.b\\clip", MediaKind::Unknown},  // extension ".b\clip"
      {"/m/song.mp3", MediaKind::Music},
      {"/m/song.OPUS", MediaKind::Music},
      {"/m/pic.Jpeg", MediaKind::Picture},
      {"/m/sub.srt", MediaKind::Subtitle},
      {"/m/sub.ASS", MediaKind::Subtitle},
      {"/m/clip.webm", MediaKind::Movie},
      {"/m/noextension", MediaKind::Unknown},
      {"/m/clip.mp4.part", MediaKind::Unknown},
      {"", MediaKind::Unknown},
  };
  for (const Case& c : cases) EXPECT_EQ(GetMediaKind(c.path), c.kind) << c.path;
  EXPECT_STREQ(MediaKindName(MediaKind::Music), "music");
  EXPECT_STREQ(MediaKindName(MediaKind::Unknown), "unknown");
}

int DurationOf(const char* json) {
  rapidjson::Document document;
  document.Parse(json);
  return GetMediaDuration(document);
}

TEST(MediaDurationTest, FirstVideoStreamThenFormat) {
  EXPECT_EQ(DurationOf(R"({"streams":[{"codec_type":"video","duration":"12.480000"}]})"), 12);
  EXPECT_EQ(
      DurationOf(
          R"({"streams":[{"codec_type":"audio","duration":"30.0"},{"codec_type":"video","duration":"5.990000"}]})"),
      5);
  EXPECT_EQ(DurationOf(R"({"streams":[{"codec_type":"video"}],"format":{"duration":"6.000000"}})"), 6);
  EXPECT_EQ(DurationOf(R"({"streams":[{"codec_type":"audio","duration":"9.5"}],"format":{"duration":"7.1"}})"), 7);
  EXPECT_EQ(DurationOf(R"({"format":{"duration":"7.1"}})"), 0);  // no "streams": 0
  EXPECT_EQ(DurationOf(R"({"streams":[],"format":{}})"), 0);
  EXPECT_EQ(DurationOf(R"({"streams":[{"codec_type":"video","duration":12}]})"), 0);  // wrong type
  EXPECT_EQ(DurationOf(R"({"streams":[{"codec_type":"video","duration":"99999999999999"}]})"), 2147483647);
  EXPECT_EQ(DurationOf(R"({"streams":"x"})"), 0);
  EXPECT_EQ(DurationOf(R"([1,2])"), 0);
}

TEST(MediaDurationTest, StreamFlags) {
  rapidjson::Document document;
  document.Parse(R"({"streams":[{"codec_type":"audio"},{"codec_type":3},{"index":2},"junk"]})");
  StreamFlags flags = GetStreamFlags(document);
  EXPECT_FALSE(flags.hasVideo);
  EXPECT_TRUE(flags.hasAudio);
}

TEST(ThumbnailTest, ArgumentsPerKindAndSeekPosition) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ThumbnailArguments(MediaKind::Picture, "/m/a b.jpg", "/t/x_0.png", 0),
            (V{"-v", "quiet", "-i", "/m/a b.jpg", "-vf", "scale=640:-1", "/t/x_0.png"}));
  EXPECT_EQ(ThumbnailArguments(MediaKind::Music, "/m/s.mp3", "/t/x_1.png", 300),
            (V{"-v", "quiet", "-i", "/m/s.mp3", "-vframes", "1", "/t/x_1.png"}));
  EXPECT_EQ(ThumbnailArguments(MediaKind::Movie, "/m/$(touch x).mp4", "/t/x_2.png", 5),
            (V{"-v", "quiet", "-ss", "0", "-i", "/m/$(touch x).mp4", "-vframes", "1", "/t/x_2.png"}));
  EXPECT_EQ(ThumbnailArguments(MediaKind::Movie, "/m/c.mp4", "/t/x_3.png", 6)[3], "5");
}

TEST(ThumbnailTest, OwnFileNameForm) {
  struct Case {
    const char* name;
    bool ours;
  } cases[] = {
      {"aB3dE9_0.png", true}, {"aB3dE9_12345.png", true},  {"aB3dE9_.png", false},  {"aB3dE9_1.PNG", false},
      {"aB3dE_1.png", false}, {"aB3dE9x_1.png", false},    {"aB-dE9_1.png", false}, {"aB3dE9_1a.png", false},
      {"holiday.png", false}, {"aB3dE9_1.png.bak", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsThumbnailFileName(c.name), c.ours) << c.name;
}

TEST(DesktopZoomTest, XftDpiOverNinetySix) {
  struct Case {
    const char* output;
    double zoom;
  } cases[] = {
      {"Xft.antialias:\t1\nXft.dpi:\t144\nXft.hinting:\t1\n", 1.5},
      {"Xft.dpi:\t120", 1.25},
      {"Xft.dpi: 96\n", 1.0},
      {"Xft.dpi:\t192.0\n", 2.0},
      {"Xft.dpi:\tlarge\n", 1.0},
      {"Xft.dpi:\t0\n", 1.0},
      {"Xft.dpi:\t-144\n", 1.0},
      {"*customization:\t-color\n", 1.0},
      {"", 1.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(ZoomFromXrdbOutput(c.output), c.zoom) << c.output;
}

TEST(DesktopZoomTest, NoDisplayMeansOne) {
  test::ScopedEnv display("DISPLAY", std::nullopt);
  EXPECT_DOUBLE_EQ(GetDesktopZoom(), 1.0);
}

TEST(RequestDepthTest, BracketsInsideStringsDoNotCount) {
  struct Case {
    std::string text;
    int depth;
  } cases[] = {
      {"{}", 1},
      {"{\"a\":[1,{\"b\":[]}]}", 4},
      {"{\"a\":\"[[[{{{\"}", 1},
      {"{\"a\":\"\\\"[[\"}", 1},         // an escaped quote does not end the string
      {"{\"a\":\"\\\\\",\"b\":[]}", 2},  // an escaped backslash does not escape the quote
      {"[[]][[[]]]", 3},
      {"42", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonNestingDepth(c.text), c.depth) << c.text;
}

}  // namespace
}  // namespace qel
