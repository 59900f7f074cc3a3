// An output is a plain file written in one piece: the protocols, formats,
// extensions and options that would have ffmpeg write anything else are
// refused.
#include "commands/allowed_outputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace qel {
namespace {

TEST(AllowedOutputs, OnlyPlainFilesWrittenInOnePiece) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"/x/o.mp4", {}, true},
      {"/x/o.MKV", {"-c:v", "libx264"}, true},
      {"file:/x/o.mp4", {}, true},
      {"/x/a:b.mp4", {}, true},
      {"/x/p%03d.png", {}, true},
      {"/x/o.ts", {"-f", "mpegts"}, true},
      {"/x/o.anything", {"-f", "matroska"}, true},
      {"/x/o.mp4", {"-f", "hls", "-f", "mp4"}, true},  // the last -f counts
      {"tee:/x/o.mkv|/x/in.mp4", {}, false},
      {"pipe:1", {}, false},
      {"-", {}, false},
      {"crypto:/x/o.mp4", {}, false},
      {"a:b.mp4", {}, false},  // ffmpeg opens it through a protocol "a"
      {"file:", {}, false},
      {"/x/o.m3u8", {}, false},
      {"/x/o.mpd", {}, false},
      {"/x/o", {}, false},
      {"/x/o.mkv", {"-f", "hls"}, false},
      {"/x/o.mkv", {"-f", "dash"}, false},
      {"/x/o%d.mkv", {"-f", "segment"}, false},
      {"/x/o.mkv|/x/in.mp4", {"-f", "tee"}, false},
      {"/x/o.mp4", {"-f", "mp4", "-f", "hls"}, false},
      {"/x/%Y.png", {"-strftime", "1"}, false},
      // Every spelling of the format ffmpeg takes, and the one it uses.
      {"/x/o.mkv", {"-f:v", "hls"}, false},
      {"/x/o%d.mkv", {"-f:a:0", "segment"}, false},
      {"/x/v.mp4|[onfail=ignore]/x/b.mp4", {"-map", "0:v", "-f:v", "tee"}, false},
      {"/x/o.mp4", {"-f", "null", "-f:v", "mp4"}, true},
      {"/x/o.mp4", {"-f:v", "mp4", "-f", "HLS"}, false},
      {"/x/o.mp4", {"-f", "MP4"}, true},
      {"/x/o.mp4", {"-metadata", "-f", "-f", "hls"}, false},  // "-f" once as a value
      {"/x/o.mpg", {"-target", "pal-dvd"}, true},
      {"/x/o.mp4", {"-f", "mp4", "-target", "mp4"}, false},  // no target ffmpeg knows
      {"/x/o.mkv", {"-psnr:v", "-f", "hls"}, false},         // a flag with a stream specifier
  };
  for (const Case& c : cases) {
    const std::optional<GuardRefusal> refusal = outputRefusal(c.name, c.options);
    EXPECT_EQ(!refusal.has_value(), c.allowed) << c.name << (refusal ? ": " + refusal->reason : std::string());
    if (refusal) {
      EXPECT_EQ(refusal->name, c.name);
    }
  }
}

// A path of exactly `bytes` bytes ending in "/" and `tail`, its folders of
// 200 characters at most.
std::string pathOf(std::size_t bytes, const std::string& tail) {
  std::string path;
  std::size_t left = bytes - tail.size() - 1;  // for the folders, each '/' and its name
  while (left > 0) {
    std::size_t name = std::min<std::size_t>(left - 1, 200);
    if (left - 1 - name == 1) --name;  // no folder would be left for the last byte
    path += "/" + std::string(name, 'f');
    left -= name + 1;
  }
  return path + "/" + tail;
}

TEST(AllowedOutputs, PictureNamesAreTakenAsFFmpegsPictureWriterTakesThem) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"/x/a%d%d.png", {}, false},  // ffmpeg fills both fields: a11.png ...
      {"/x/a%d%d.mkv", {"-f", "image2"}, false},
      {"/x/a%d%d.mp4", {}, true},   // other formats write the name as it is
      {"/x/w%30d.png", {}, false},  // ffmpeg cuts the field: w0000000000000000000.png
      {"/x/w%19d.png", {}, true},
      {"/x/w%30d.mkv", {}, true},
      {"/x/f%d/p.png", {}, false},     // the field in a folder
      {"/x/50%%/p%d.png", {}, false},  // ffmpeg makes the folder's "%%" one '%'
      {"/x/50% off/p.png", {}, true},  // no field: the name as it is
      {"/x/g%x.png", {}, true},
      {"/x/d%%e%d.png", {}, true},                 // d%e1.png ...
      {"/x/p%d.png", {"-frame_pts", "1"}, false},  // p-250.png from a negative timestamp
      {"/x/p%d.png", {"-frame_pts", "0"}, true},
  };
  for (const Case& c : cases) {
    const std::optional<GuardRefusal> refusal = outputRefusal(c.name, c.options);
    EXPECT_EQ(!refusal.has_value(), c.allowed) << c.name << (refusal ? ": " + refusal->reason : std::string());
  }
}

TEST(AllowedOutputs, APictureNameFitsFFmpegsPictureWriterAsTheCommandGivesIt) {
  // ffmpeg holds 1023 bytes of a picture's name. It is given the output in
  // the private folder: "file:", the folder, "qel-XXXXXX/" and the file name,
  // 16 bytes more than a path without a prefix; a frame number may take 11
  // characters.
  struct Case {
    const char* what;
    std::string name;
    std::vector<std::string> options;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"a picture at the limit", pathOf(1007, "p.png"), {}, true},
      {"one byte more", pathOf(1008, "p.png"), {}, false},
      {"with its own file: prefix", "file:" + pathOf(1007, "p.png"), {}, true},
      {"one byte more with it", "file:" + pathOf(1008, "p.png"), {}, false},
      {"a sequence at the limit", pathOf(1000, "p%03d.png"), {}, true},
      {"one byte more", pathOf(1001, "p%03d.png"), {}, false},
      {"a field wider than any number", pathOf(996, "p%15d.png"), {}, true},
      {"one byte more", pathOf(997, "p%15d.png"), {}, false},
      {"a forced picture writer", pathOf(1008, "p.mkv"), {"-f", "image2"}, false},
      {"one forced with a stream specifier", pathOf(1131, "p.mp4"), {"-frames:v", "1", "-f:v", "image2"}, false},
      {"one forced in capitals", pathOf(1131, "p.mp4"), {"-f", "IMAGE2"}, false},
      {"one forced after another format", pathOf(1131, "p.mp4"), {"-f", "mp4", "-f:v", "image2"}, false},
      {"another format", pathOf(2000, "p.png"), {"-f", "mp4"}, true},
      {"a video", pathOf(2000, "p.mp4"), {}, true},
  };
  ASSERT_EQ(pathOf(1007, "p.png").size(), 1007u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<GuardRefusal> refusal = outputRefusal(c.name, c.options);
    EXPECT_EQ(!refusal.has_value(), c.allowed) << (refusal ? refusal->reason : std::string());
  }
}

}  // namespace
}  // namespace qel
