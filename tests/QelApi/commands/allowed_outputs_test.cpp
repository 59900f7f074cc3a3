// An output is a plain file written in one piece: the protocols, formats,
// extensions and options that would have ffmpeg write anything else are
// refused.
#include "commands/allowed_outputs.h"

#include <gtest/gtest.h>

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
  };
  for (const Case& c : cases) {
    const std::optional<GuardRefusal> refusal = outputRefusal(c.name, c.options);
    EXPECT_EQ(!refusal.has_value(), c.allowed) << c.name << (refusal ? ": " + refusal->reason : std::string());
    if (refusal) {
      EXPECT_EQ(refusal->name, c.name);
    }
  }
}

}  // namespace
}  // namespace qel
