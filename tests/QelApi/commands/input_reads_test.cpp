// What ffmpeg reads for one input: the protocols it follows, the lists and
// playlists it finds by content or is told to read, the movie sources of a
// lavfi graph, and the inputs whose reads cannot be known.
#include "commands/input_reads.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qel {
namespace {

TEST(InputReads, MovieSourcesAreReadWithTheGraphSyntax) {
  struct Case {
    const char* graph;
    std::vector<MovieSource> sources;
  };
  const Case cases[] = {
      {"movie=/x/a.mp4", {{"/x/a.mp4", ""}}},
      {"movie=filename=/x/a.mp4", {{"/x/a.mp4", ""}}},
      {"amovie=/x/a.mp4:si=0", {{"/x/a.mp4", ""}}},
      {"movie=/x/l.txt:concat", {{"/x/l.txt", "concat"}}},
      {"movie=f=concat:filename=/x/l.txt", {{"/x/l.txt", "concat"}}},
      {"movie='/x/a b\\:c.mp4',scale=8:6[out0]", {{"/x/a b:c.mp4", ""}}},
      {"movie@src=/x/a.mp4 [v]; [v] null", {{"/x/a.mp4", ""}}},
      {"nullsrc=s=8x6,scale=4:3;amovie=/x/b.mp3[a];[a]anull", {{"/x/b.mp3", ""}}},
      {"color=red:s=8x6", {}},
      {"[in]scale=8:6[out]", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(movieSources(c.graph), c.sources) << c.graph;
}

TEST(InputReads, PlaylistsNameTheirSegmentsAndTheFilesOfTheirTags) {
  EXPECT_EQ(playlistNames("#EXTM3U\r\n#EXT-X-KEY:METHOD=AES-128,URI=\"k.bin\"\n#EXT-X-MAP:URI=\"init.mp4\"\n"
                          "#EXTINF:1,\n  seg0.ts \n/abs/seg1.ts\nfile:seg2.ts\n# a comment URI=\"no.ts\"\n",
                          "/l/pl.m3u8"),
            (std::vector<std::string>{"/l/k.bin", "/l/init.mp4", "/l/seg0.ts", "/abs/seg1.ts", "file:seg2.ts"}));
}

TEST(InputReads, ReadsWhatFFmpegOpensOrRefuses) {
  test::TempDir dir;
  const std::string d = dir.path() + "/";
  test::writeFile(d + "a.mp4", std::string("media\0data", 10));
  test::writeFile(d + "list.ffconcat", "ffconcat version 1.0\nfile a.mp4\nfile 'sub.m3u8'\n");
  test::writeFile(d + "sub.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nseg.ts\n");
  test::writeFile(d + "plain.txt", "file a.mp4\n");
  test::writeFile(d + "web.m3u8", "#EXTM3U\n#EXTINF:1,\nhttps://example.invalid/seg.ts\n");
  test::writeFile(d + "m.mpd", "<?xml version=\"1.0\"?><MPD profiles=\"urn:mpeg:dash:profile:isoff-live:2011\"/>");
  test::writeFile(d + "loop.ffconcat", "ffconcat version 1.0\nfile loop.ffconcat\n");
  test::writeFile(d + "p1.png", "a frame");
  test::writeFile(d + "w0000000000000000001.png", "a frame");

  struct Case {
    std::string name;
    std::string format;
    std::vector<std::string> files;
    std::optional<std::string> refused;  // the name the refusal gives
  };
  const std::vector<Case> cases = {
      {d + "a.mp4", "", {d + "a.mp4"}, std::nullopt},
      {"subfile,:start:0:end:0:::" + d + "a.mp4", "", {d + "a.mp4"}, std::nullopt},
      {d + "list.ffconcat", "", {d + "list.ffconcat", d + "a.mp4", d + "sub.m3u8", d + "seg.ts"}, std::nullopt},
      {d + "plain.txt", "", {d + "plain.txt"}, std::nullopt},  // no list without its first line
      {d + "plain.txt", "concat", {d + "plain.txt", d + "a.mp4"}, std::nullopt},
      {d + "plain.txt", "CONCAT", {d + "plain.txt", d + "a.mp4"}, std::nullopt},  // names in any case
      {"movie=" + d + "list.ffconcat",
       "lavfi",
       {d + "list.ffconcat", d + "a.mp4", d + "sub.m3u8", d + "seg.ts"},
       std::nullopt},
      {"testsrc=d=1", "lavfi", {}, std::nullopt},
      {d + "a.mp4", "mp4", {d + "a.mp4"}, std::nullopt},
      {d + "a.mp4", "dash", {}, d + "a.mp4"},
      {d + "m.mpd", "", {}, d + "m.mpd"},
      {d + "web.m3u8", "", {}, "https://example.invalid/seg.ts"},
      {"data:text/plain,ffconcat version 1.0", "", {}, "data:text/plain,ffconcat version 1.0"},
      {"concat:" + d + "a.mp4|pipe:0", "", {}, "pipe:0"},
      {"-", "", {}, "-"},
      {d + "loop.ffconcat", "", {}, d + "loop.ffconcat"},
      // Image sequences: ffmpeg's reader fills one field of at most 19
      // characters; forced, it reads a cut of any other name with a '%'.
      {d + "p%d.png", "", {d + "p%d.png", d + "p1.png"}, std::nullopt},
      {d + "p%d.png", "image2", {d + "p%d.png", d + "p1.png"}, std::nullopt},
      {d + "w%19d.png", "", {d + "w%19d.png", d + "w0000000000000000001.png"}, std::nullopt},
      {d + "w%30d.png", "", {}, d + "w%30d.png"},
      {d + "p%d/x.png", "", {}, d + "p%d/x.png"},
      {d + "p%d%d.png", "", {d + "p%d%d.png"}, std::nullopt},  // detected by name only with one field
      {d + "p%d%d.png", "image2", {}, d + "p%d%d.png"},
      {d + "p%%.png", "image2", {}, d + "p%%.png"},
      {d + "p%x.png", "image2", {}, d + "p%x.png"},
  };
  for (const Case& c : cases) {
    const InputReads reads = inputReads(c.name, c.format);
    if (c.refused) {
      ASSERT_TRUE(reads.refusal) << c.name;
      EXPECT_EQ(reads.refusal->name, *c.refused) << c.name;
      EXPECT_FALSE(reads.refusal->reason.empty());
    } else {
      EXPECT_FALSE(reads.refusal) << c.name << ": " << reads.refusal->reason;
      EXPECT_EQ(reads.files, c.files) << c.name;
    }
  }
}

}  // namespace
}  // namespace qel
