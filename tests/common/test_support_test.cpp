#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace qel::test {
namespace {

TEST(TestSupportTest, TempDirIsRemovedWithEverythingInIt) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(dir.file("a.txt"), path + "/a.txt");
    std::filesystem::create_directories(dir.file("sub/deeper"));
    writeFile(dir.file("sub/deeper/x.bin"), std::string("a\0b", 3));
    EXPECT_EQ(readFile(dir.file("sub/deeper/x.bin")), std::string("a\0b", 3));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_THROW(readFile(path + "/missing"), std::runtime_error);
}

TEST(TestSupportTest, ProgramLinksExist) {
  EXPECT_TRUE(std::filesystem::exists(ffmpegPath())) << ffmpegPath();
  EXPECT_TRUE(std::filesystem::exists(ffprobePath())) << ffprobePath();
}

TEST(TestSupportTest, DefaultClipHasVideoAndAudio) {
  TempDir dir;
  const std::string path = dir.file("clip.mp4");
  makeClip(path);
  const ProbeInfo info = probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.height, 120);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
  EXPECT_NE(info.json.find("\"streams\""), std::string::npos);
  ASSERT_EQ(info.streams.size(), 2u);
}

TEST(TestSupportTest, ClipSpecShapesTheOutput) {
  TempDir dir;
  ClipSpec audioOnly;
  audioOnly.video = false;
  audioOnly.seconds = 2;
  audioOnly.audioChannels = 1;
  audioOnly.sampleRate = 22050;
  makeClip(dir.file("tone.wav"), audioOnly);
  const ProbeInfo tone = probe(dir.file("tone.wav"));
  ASSERT_TRUE(tone.ok) << tone.error;
  EXPECT_EQ(tone.count("video"), 0);
  ASSERT_EQ(tone.count("audio"), 1);
  EXPECT_EQ(tone.streams[0].channels, 1);
  EXPECT_EQ(tone.streams[0].sampleRate, 22050);
  EXPECT_NEAR(tone.duration, 2.0, 0.2);

  ClipSpec videoOnly;
  videoOnly.audio = false;
  videoOnly.width = 64;
  videoOnly.height = 48;
  videoOnly.extraArgs = {"-c:v", "libx264", "-pix_fmt", "yuv420p"};
  makeClip(dir.file("silent.mkv"), videoOnly);
  const ProbeInfo silent = probe(dir.file("silent.mkv"));
  ASSERT_TRUE(silent.ok) << silent.error;
  EXPECT_EQ(silent.count("audio"), 0);
  EXPECT_EQ(silent.codecNames, std::vector<std::string>{"h264"});
  EXPECT_EQ(silent.width, 64);
  EXPECT_EQ(silent.height, 48);

  ClipSpec picture;
  picture.audio = false;
  picture.extraArgs = {"-frames:v", "1"};
  makeClip(dir.file("frame.png"), picture);
  const ProbeInfo frame = probe(dir.file("frame.png"));
  ASSERT_TRUE(frame.ok) << frame.error;
  EXPECT_EQ(frame.codecNames, std::vector<std::string>{"png"});
}

TEST(TestSupportTest, FailuresCarryTheToolOutput) {
  TempDir dir;
  ClipSpec bad;
  bad.extraArgs = {"-c:v", "no-such-encoder"};
  try {
    makeClip(dir.file("bad.mp4"), bad);
    ADD_FAILURE() << "makeClip should have thrown";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-encoder"), std::string::npos) << e.what();
  }

  writeFile(dir.file("junk.mp4"), "this is not media");
  const ProbeInfo junk = probe(dir.file("junk.mp4"));
  EXPECT_FALSE(junk.ok);
  EXPECT_FALSE(junk.error.empty());
  const ProbeInfo missing = probe(dir.file("missing.mp4"));
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("No such file"), std::string::npos) << missing.error;
}

}  // namespace
}  // namespace qel::test
