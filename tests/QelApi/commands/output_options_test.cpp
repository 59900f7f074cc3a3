// Output options: each rewriting step as a table of command texts, including
// bit rates given with units and stream copy asked for with -c/-codec.
#include "commands/output_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

struct EncoderCase {
  std::string vendor;
  std::string command;
  std::string expected;
};

TEST(ChooseVideoEncoder, ReplacesEncoderForVendor) {
  const std::vector<EncoderCase> cases{
      {"nvidia", R"( -i "a.mp4" -c:v libx264 "o.mp4")", R"( -i "a.mp4" -c:v h264_nvenc "o.mp4")"},
      // At the very end the name has no blank after it: not an encoder option.
      {"nvidia", R"( -i "a.mp4" -c:v libx264)", R"( -i "a.mp4" -c:v libx264)"},
      {"amd", R"( -i "a.mp4" -c:v libx264 "o.mp4")", R"( -i "a.mp4" -c:v h264_amf "o.mp4")"},
      {"apple", R"( -i "a.mp4" -c:v libx264 "o.mp4")",
       R"( -hwaccel videotoolbox  -i "a.mp4" -c:v h264_videotoolbox "o.mp4")"},
      {"apple", R"( -I "a.mp4" -c:v libx264 "o.mp4")",
       R"( -hwaccel videotoolbox  -I "a.mp4" -c:v h264_videotoolbox "o.mp4")"},
      // The first input has options of its own: no -hwaccel in front of them.
      {"apple", R"( -ss 1 -i "a.mp4" -c:v libx264 "o.mp4")", R"( -ss 1 -i "a.mp4" -c:v h264_videotoolbox "o.mp4")"},
      // apple has no HEVC encoder; the -hwaccel rule does not depend on a replacement.
      {"apple", R"( -i "a.mp4" -c:v libx265 "o.mp4")", R"( -hwaccel videotoolbox  -i "a.mp4" -c:v libx265 "o.mp4")"},
      {"intel", R"( -i "a.mp4" -c:v libx265 "o.mp4")", R"( -i "a.mp4" -c:v hevc_qsv "o.mp4")"},
      {"nvidia", R"( -i "a.mp4" -c:v libx265 "o.mp4")", R"( -i "a.mp4" -c:v hevc_nvenc "o.mp4")"},
      {"", R"( -i "a.mp4" -c:v libx264 "o.mp4")", R"( -i "a.mp4" -c:v libx264 "o.mp4")"},
      {"NVIDIA", R"( -i "a.mp4" -c:v libx264 "o.mp4")", R"( -i "a.mp4" -c:v libx264 "o.mp4")"},
  };
  for (const auto& c : cases) {
    std::string command = c.command;
    chooseVideoEncoder(c.vendor, command);
    EXPECT_EQ(command, c.expected) << c.vendor << " | " << c.command;
  }
}

struct TextCase {
  std::string input;
  std::string expected;
};

TEST(ApplyQualityOptions, TurnsQualityScaleIntoBitRate) {
  const std::vector<TextCase> cases{
      {R"(-qscale:v 23 "o.mp4")", R"(-b:v 4000k "o.mp4")"},
      {R"(-qscale:v 20 "o.mp4")", R"(-b:v 4250k "o.mp4")"},  // not a key: 0.85
      {R"(-qscale:v 0 "o.mp4")", R"(-b:v 5000k "o.mp4")"},
      {R"(-qscale:v 18 "o.mp4")", R"(-b:v 4500k "o.mp4")"},
      {R"(-qscale:v 51 "o.mp4")", R"(-b:v 3000k "o.mp4")"},
      {R"(-qscale:v 29 -b:v 2000k "o.mp4")", R"( -b:v 1400k "o.mp4")"},
      {R"(-b:v 50k "o.mp4")", R"(-b:v 100k "o.mp4")"},
      {R"(-b:v 3000k "o.mp4")", R"(-b:v 3000k "o.mp4")"},
      {R"(-c:v libx264 -qscale:v 23 "o.mp4")", R"(-c:v libx264 -b:v 4000k "o.mp4")"},
      // The codec name after -c:v is passed over, even when it looks like an option.
      {R"(-c:v -b:v -qscale:v 23 "o.mp4")", R"(-c:v -b:v -b:v 4000k "o.mp4")"},
      {R"( -i "a.mp4" "o.mp4")", R"( -i "a.mp4" "o.mp4")"},
      // Units: none is bit/s, k kbit/s, M Mbit/s, G Gbit/s.
      {R"(-b:v 2M "o.mp4")", R"(-b:v 2000k "o.mp4")"},
      {R"(-b:v 1.5M "o.mp4")", R"(-b:v 1500k "o.mp4")"},
      {R"(-b:v 3000000 "o.mp4")", R"(-b:v 3000k "o.mp4")"},
      {R"(-b:v 500 "o.mp4")", R"(-b:v 100k "o.mp4")"},
      {R"(-qscale:v 29 -b:v 2M "o.mp4")", R"( -b:v 1400k "o.mp4")"},
      {R"(-qscale:v 18 -b:v 1G "o.mp4")", R"( -b:v 900000k "o.mp4")"},
  };
  for (const auto& c : cases) {
    std::string command = c.input;
    applyQualityOptions(command);
    EXPECT_EQ(command, c.expected) << c.input;
  }
}

TEST(ApplyStreamCopy, RemovesCopyOfFilteredStreams) {
  const std::vector<TextCase> cases{
      {R"( -i "a.mp4" -af volume=2 -c:a copy -c:v copy "o.mp4")", R"( -i "a.mp4" -af volume=2  -c:v copy "o.mp4")"},
      {R"( -i "a.mp4" -vf scale=2:2 -acodec copy -vcodec copy "o.mp4")",
       R"( -i "a.mp4" -vf scale=2:2 -acodec copy  "o.mp4")"},
      {R"(-filter_complex "scale=640:360" -vcodec copy -c:v copy -c:a copy "o.mp4")",
       R"(-filter_complex "scale=640:360"   -c:a copy "o.mp4")"},
      {R"(-filter_complex "volume=2" -c:a copy -c:v copy "o.mp4")", R"(-filter_complex "volume=2"  -c:v copy "o.mp4")"},
      {R"( -i "a.mp4" -c:a copy -c:v copy "o.mp4")", R"( -i "a.mp4" -c:a copy -c:v copy "o.mp4")"},
  };
  for (const auto& c : cases) {
    std::string command = c.input;
    applyStreamCopy(command);
    EXPECT_EQ(command, c.expected) << c.input;
  }
}

TEST(ApplyAttachedPicture, DropsCoverOptionsForContainersWithoutThem) {
  const std::string command = " -i \"a.mp4\" -map 0:v:1 -c:v:1 png -disposition:v:1 attached_pic \"o\"";
  struct Case {
    std::vector<TaskIoItem> outputs;
    std::string expected;
  };
  const std::vector<Case> cases{
      {{{1, "D:/a.MKV", ""}}, " -i \"a.mp4\"   \"o\""},
      {{{1, "D:/a.webm", ""}}, " -i \"a.mp4\"   \"o\""},
      {{{1, "D:/a.m2ts", ""}}, " -i \"a.mp4\"   \"o\""},
      {{{1, "D:/a.mp4", ""}}, command},
      {{}, command},
      {{{1, "", ""}, {1, "D:/b.mkv", ""}}, command},
  };
  for (const auto& c : cases) {
    TaskOperation operation;
    operation.m_outputs = c.outputs;
    std::string text = command;
    applyAttachedPicture(operation, text);
    EXPECT_EQ(text, c.expected) << (c.outputs.empty() ? "" : c.outputs.front().value);
  }
}

struct DefaultsCase {
  std::string output;
  std::string other;
  std::string options;
  std::string expected;
};

TEST(ApplyContainerDefaults, AppendsDefaultCodecsUnlessNamedOrCopied) {
  const std::vector<DefaultsCase> cases{
      {"D:/a.3GP", "", "", " -c:a aac -c:v libx264"},
      {"D:/a.3g2", "", "", " -c:a aac -c:v libx264"},
      {"D:/a.3gp", "", " -c:a libopus", " -c:a libopus -c:v libx264"},
      {"D:/a.3gp", " -acodec aac", "", " -c:v libx264"},
      {"D:/a.mp4", "", " -c:v copy", " -c:v copy"},
      {"D:/a.3gp", "", " -c:v copy", " -c:v copy"},
      {"D:/a.avi", "", "", ""},
      {"D:/a.mp4", "", "", " -c:v libx264"},
      {"D:/a.TS", "", " -movflags x", " -movflags x -c:v libx264"},
      {"D:/a.mkv", "-filter_complex x -vcodec h264 -y", "", ""},
      {"D:/noext", "", "", ""},
      // Stream copy asked for in any spelling is kept.
      {"D:/a.mp4", "-ss 1 -to 2 -c copy", "", ""},
      {"D:/a.mp4", "", " -codec copy", " -codec copy"},
      {"D:/a.3gp", "-c copy", "", ""},
      {"D:/a.mp4", "-vcodec copy", "", ""},
      {"D:/a.mkv", "-c:v copy -filter_complex x", "", ""},
      {"D:/a.3gp", "-c:v copy", "", " -c:a aac"},
      {"D:/a.3gp", "-c:a copy", "", " -c:v libx264"},
  };
  for (const auto& c : cases) {
    std::string options = c.options;
    applyContainerDefaults(c.output, c.other, options);
    EXPECT_EQ(options, c.expected) << c.output << " | " << c.other << " | " << c.options;
  }
}

struct SubtitleCase {
  std::string command;
  std::string output;
  std::string options;
  std::string expected;
};

TEST(ApplySubtitleOptions, AddsSubtitleCodecForSubtitleStreams) {
  const std::vector<SubtitleCase> cases{
      {R"( -i "D:/v.mp4" -i "D:/s.SRT")", "D:/o.mp4", "", " -c:s mov_text"},
      {R"( -i "D:/v.mp4" -i "D:/s.srt")", "D:/o.MKV", "", " -c:s srt"},
      {R"( -i "D:/v.mp4" -i "D:/s.ass")", "D:/o.mp4", " -c:s ass", " -c:s ass"},
      {R"( -i D:/s.ass)", "D:/o.mp4", "", " -c:s mov_text"},
      {R"( -i "D:/v.mp4")", "D:/o.mp4", " -map 0:s:0", " -map 0:s:0 -c:s mov_text"},
      {R"( -i "D:/v.mp4" -map 0:s:1)", "D:/o.mkv", "", " -c:s srt"},
      {R"( -i "D:/v.mp4")", "D:/o.mp4", "", ""},
      // A subtitle path that is not an input does not count.
      {R"( -vf subtitles=s.srt)", "D:/o.mp4", "", ""},
  };
  for (const auto& c : cases) {
    std::string options = c.options;
    applySubtitleOptions(c.command, c.output, options);
    EXPECT_EQ(options, c.expected) << c.command << " | " << c.output;
  }
}

TEST(ExtractGraphText, FindsTheGraphOfATransform) {
  const std::vector<TextCase> cases{
      {R"(-filter_complex "movie='D\:/a.mp4',scale=640:360[out0];amovie='D\:/a.mp4'[out1]" -map 0 -c:a aac)",
       R"(movie='D\:/a.mp4',scale=640:360[out0];amovie='D\:/a.mp4'[out1])"},
      {R"(-filter_complex "amovie='a'[out1];movie='a'[out0]" -y)", R"(amovie='a'[out1];movie='a'[out0])"},
      {R"(-filter_complex "movie='a',scale=1:1")", R"(movie='a',scale=1:1)"},
      {R"( "movie='a'[out0]" )", R"(movie='a'[out0])"},
      {R"(-filter_complex scale=640:360)", ""},
      {"movie", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(extractGraphText(c.input), c.expected) << c.input;
}

TEST(FindIoItemByValue, ReturnsFirstExactMatch) {
  EXPECT_EQ(findIoItemByValue({}, "a"), -1);
  const std::vector<TaskIoItem> items{{1, "a", ""}, {2, "b", ""}, {1, "a", "-ss 1"}};
  EXPECT_EQ(findIoItemByValue(items, "a"), 0);
  EXPECT_EQ(findIoItemByValue(items, "b"), 1);
  EXPECT_EQ(findIoItemByValue(items, "A"), -1);
}

}  // namespace
}  // namespace qel
