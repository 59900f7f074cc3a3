// Vocabulary tables: sizes, membership, uniqueness and the lookups over them.
#include "commands/vocabulary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace qel {
namespace {

template <typename Range>
std::size_t distinctCount(const Range& names) {
  return std::set<std::string_view>(names.begin(), names.end()).size();
}

TEST(VocabularyTest, TablesHoldTheirRowCounts) {
  EXPECT_EQ(VideoFilterKinds.size(), 7u);
  EXPECT_EQ(AudioFilterKinds.size(), 5u);
  EXPECT_EQ(AudioFilterNames.size(), 118u);
  EXPECT_EQ(VideoFilterNames.size(), 246u);
  EXPECT_EQ(FfmpegOptionTable.size(), 147u);
  EXPECT_EQ(FFmpegErrorTexts.size(), 4u);
  EXPECT_EQ(CompressionResolutions.size(), 10u);
  EXPECT_EQ(H264EncoderByVendor.size(), 4u);
  EXPECT_EQ(HevcEncoderByVendor.size(), 3u);
  EXPECT_EQ(AudioExtensions.size(), 15u);
  EXPECT_EQ(VideoExtensions.size(), 28u);
  EXPECT_EQ(ImageExtensions.size(), 9u);
  EXPECT_EQ(SubtitleExtensions.size(), 2u);
}

TEST(VocabularyTest, OptionTableHasItsFlagClasses) {
  std::size_t withArgument = 0, withNextToken = 0, withNeither = 0;
  for (const FfmpegOption& row : FfmpegOptionTable) {
    ASSERT_FALSE(row.name.empty());
    if (row.flags & kOptTakesNextToken) {
      ++withNextToken;
    } else if (row.flags & kOptTakesArgument) {
      ++withArgument;
    } else {
      ++withNeither;
    }
  }
  EXPECT_EQ(withArgument, 116u);
  EXPECT_EQ(withNextToken, 1u);
  EXPECT_EQ(withNeither, 30u);
  std::vector<std::string_view> names;
  for (const FfmpegOption& row : FfmpegOptionTable) names.push_back(row.name);
  EXPECT_EQ(distinctCount(names), FfmpegOptionTable.size());
}

TEST(VocabularyTest, FilterListsAreDisjointWithoutDuplicates) {
  EXPECT_EQ(distinctCount(AudioFilterNames), AudioFilterNames.size());
  EXPECT_EQ(distinctCount(VideoFilterNames), VideoFilterNames.size());
  for (std::string_view name : AudioFilterNames) {
    EXPECT_FALSE(isVideoFilterName(name)) << name;
    EXPECT_TRUE(isAudioFilterName(name)) << name;
  }
  for (std::string_view name : VideoFilterNames) EXPECT_TRUE(isVideoFilterName(name)) << name;
  EXPECT_EQ(AudioFilterNames.front(), "abench");
  EXPECT_EQ(AudioFilterNames.back(), "abuffersink");
  EXPECT_EQ(VideoFilterNames.front(), "addroi");
  EXPECT_EQ(VideoFilterNames.back(), "buffersink");
}

TEST(VocabularyTest, FilterMediaByName) {
  struct Case {
    std::string_view name;
    bool audio;
    bool video;
  };
  const Case cases[] = {
      {"concat", false, true},   {"xfade", false, true},  {"drawtext", false, true}, {"subtitles", false, true},
      {"ass", false, true},      {"movie", false, true},  {"color", false, true},    {"amovie", true, false},
      {"anullsrc", true, false}, {"volume", true, false}, {"atempo", true, false},   {"scale", false, true},
      {"scael", false, false},   {"Scale", false, false}, {"", false, false},        {"volume ", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isAudioFilterName(c.name), c.audio) << c.name;
    EXPECT_EQ(isVideoFilterName(c.name), c.video) << c.name;
  }
}

TEST(VocabularyTest, MergeKindLookups) {
  struct Case {
    std::string_view name;
    std::optional<int> video;
    std::optional<int> audio;
  };
  const Case cases[] = {
      {"scale", 0, {}},  {"overlay", 1, {}},  {"crop", 2, {}},   {"rotate", 3, {}},
      {"pad", 4, {}},    {"fade", 5, {}},     {"split", 6, {}},  {"volume", {}, 0},
      {"chorus", {}, 1}, {"loudnorm", {}, 2}, {"atempo", {}, 3}, {"aecho", {}, 4},
      {"hflip", {}, {}}, {"afade", {}, {}},   {"Scale", {}, {}}, {"", {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(videoFilterKind(c.name), c.video) << c.name;
    EXPECT_EQ(audioFilterKind(c.name), c.audio) << c.name;
  }
}

TEST(VocabularyTest, VideoMergeMatrixFollowsItsRule) {
  const int fade = *videoFilterKind("fade");
  const int split = *videoFilterKind("split");
  for (int earlier = 0; earlier < 7; ++earlier) {
    for (int later = 0; later < 7; ++later) {
      const bool expected = later != split && !(later == fade && (earlier == fade || earlier == split));
      EXPECT_EQ(VideoMergeMatrix[earlier][later] != 0, expected) << earlier << "," << later;
    }
  }
  for (const auto& row : AudioMergeMatrix) {
    for (std::int32_t value : row) EXPECT_EQ(value, 1);
  }
}

TEST(VocabularyTest, OptionLookupHonoursStreamSpecifiers) {
  struct Case {
    std::string_view text;
    std::string_view row;  // empty: no row
    bool takesArgument;
  };
  const Case cases[] = {
      {"c", "c", true},
      {"c:v", "c", true},
      {"c:a:0", "c", true},
      {"codec", "codec", true},
      {"filter:a", "filter", true},
      {"filter_complex", "filter_complex", true},
      {"ss", "ss", true},
      {"to", "to", true},
      {"map", "map", true},
      {"hwaccels", "hwaccels", true},
      {"vn", "vn", false},
      {"y", "y", false},
      {"c:", "c", true},
      {"preset", "", false},
      {"crf", "", false},
      {"cv", "", false},
      {"", "", false},
      {"V", "", false},
      {"vn:0", "vn", false},
      {"ssx", "", false},
  };
  for (const Case& c : cases) {
    const FfmpegOption* row = findFfmpegOption(c.text);
    if (c.row.empty()) {
      EXPECT_EQ(row, nullptr) << c.text;
      continue;
    }
    ASSERT_NE(row, nullptr) << c.text;
    EXPECT_EQ(row->name, c.row) << c.text;
    EXPECT_EQ(row->takesArgument(), c.takesArgument) << c.text;
  }
  EXPECT_EQ(findFfmpegOption("hwaccels")->flags & kOptTakesNextToken, kOptTakesNextToken);
}

TEST(VocabularyTest, ErrorTextsMarkLines) {
  EXPECT_EQ(FFmpegErrorTexts[0], "Not yet implemented in FFmpeg");
  EXPECT_EQ(FFmpegErrorTexts[3], "Permission denied");
  EXPECT_TRUE(containsFFmpegErrorText("out.mp4: No space left on device"));
  EXPECT_TRUE(containsFFmpegErrorText("Format change is not supported"));
  EXPECT_FALSE(containsFFmpegErrorText("permission denied"));
  EXPECT_FALSE(containsFFmpegErrorText(""));
}

TEST(VocabularyTest, CompressionRowsRunFromLargestToSmallest) {
  EXPECT_EQ(CompressionResolutions.front().width, 4096);
  EXPECT_EQ(CompressionResolutions.front().bitRate, 4000);
  EXPECT_EQ(CompressionResolutions[4].height, 720);
  EXPECT_EQ(CompressionResolutions[4].tolerance, 50);
  EXPECT_EQ(CompressionResolutions.back().width, 320);
  EXPECT_EQ(CompressionResolutions.back().bitRate, 55);
  for (std::size_t i = 1; i < CompressionResolutions.size(); ++i) {
    EXPECT_LT(CompressionResolutions[i].width, CompressionResolutions[i - 1].width);
    EXPECT_LE(CompressionResolutions[i].bitRate, CompressionResolutions[i - 1].bitRate);
  }
}

TEST(VocabularyTest, EncodersByVendor) {
  EXPECT_EQ(h264EncoderForVendor("nvidia"), " h264_nvenc ");
  EXPECT_EQ(h264EncoderForVendor("apple"), " h264_videotoolbox ");
  EXPECT_EQ(hevcEncoderForVendor("intel"), " hevc_qsv ");
  EXPECT_EQ(hevcEncoderForVendor("apple"), std::nullopt);
  EXPECT_EQ(h264EncoderForVendor("NVIDIA"), std::nullopt);
  EXPECT_EQ(h264EncoderForVendor(""), std::nullopt);
  for (const auto& entry : H264EncoderByVendor) {
    EXPECT_TRUE(entry.encoder.starts_with(' ') && entry.encoder.ends_with(' ')) << entry.vendor;
  }
  for (const auto& entry : HevcEncoderByVendor) {
    EXPECT_TRUE(entry.encoder.starts_with(' ') && entry.encoder.ends_with(' ')) << entry.vendor;
  }
}

TEST(VocabularyTest, ExtensionsAreLowerCaseWithDot) {
  auto check = [](const auto& list) {
    EXPECT_EQ(distinctCount(list), list.size());
    for (std::string_view ext : list) {
      ASSERT_GE(ext.size(), 2u);
      EXPECT_EQ(ext[0], '.');
      EXPECT_TRUE(std::none_of(ext.begin(), ext.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) << ext;
    }
  };
  check(AudioExtensions);
  check(VideoExtensions);
  check(ImageExtensions);
  check(SubtitleExtensions);
  EXPECT_EQ(AudioExtensions.front(), ".mp2");
  EXPECT_EQ(AudioExtensions.back(), ".opus");
  EXPECT_EQ(VideoExtensions.front(), ".3g2");
  EXPECT_EQ(VideoExtensions.back(), ".webm");
  EXPECT_EQ(ImageExtensions.back(), ".svg");
  EXPECT_EQ(SubtitleExtensions[0], ".ass");
  EXPECT_EQ(std::count(VideoExtensions.begin(), VideoExtensions.end(), ".MP4"), 0);
}

}  // namespace
}  // namespace qel
