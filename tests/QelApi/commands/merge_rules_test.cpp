// Merge rules: which pairs of option texts may run as one ffmpeg command.
#include "commands/merge_rules.h"

#include <gtest/gtest.h>

#include <string_view>

namespace qel {
namespace {

FilterOptions parsed(std::string_view text) {
  FilterOptions o;
  parseFilterOptions(o, text);
  return o;
}

struct MergeCase {
  std::string_view earlier;
  std::string_view later;
  bool merges;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << "[" << c.earlier << "] then [" << c.later << "]"; }

class CanMergeFiltersTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(CanMergeFiltersTest, Decides) {
  const MergeCase& c = GetParam();
  EXPECT_EQ(canMergeFilters(parsed(c.earlier), parsed(c.later)), c.merges);
}

const MergeCase kVideoPairs[] = {
    {"", "", true},
    {"-vf scale=1:1", "-vf crop=1:1:0:0", true},
    {"-vf scale=1:1", "-vf split", false},
    {"-vf scale=1:1", "-filter_complex '[0:v]split[a][b]'", false},
    {"-filter_complex '[0:v]split[a][b]'", "-vf fade=t=in:d=1", false},
    {"-vf fade=t=in:d=1", "-vf scale=1:1", true},
    {"-vf split", "-vf pad=10:10", true},
    {"-vf rotate=1", "-vf overlay", true},
    {"-vf hflip", "-vf scale=1:1", false},
    {"-vf scale=1:1", "-vf hflip", false},
    {"-vf scale=1:1,hflip", "-vf crop=1:1", false},
    {"-vf hflip,scale=2:2", "-vf crop=1:1", true},
    {"-vf hflip", "", true},
    {"", "-vf hflip", true},
    // A filter of neither list has no media: it is not a video filter here.
    {"-vf scalee=1", "-vf hflip", true},
};
INSTANTIATE_TEST_SUITE_P(VideoPairs, CanMergeFiltersTest, ::testing::ValuesIn(kVideoPairs));

const MergeCase kAudioPairs[] = {
    {"-af volume=2", "-af atempo=2", true},
    {"-af atempo=2", "-af aecho", true},
    {"-af loudnorm", "-af chorus", true},
    {"-af volume=2", "-af aresample=44100", false},
    {"-af aresample=44100", "-af volume=2", false},
    {"-af afade=t=in", "-af volume=2", false},
    // Both sides filter audio: the video filters are not compared.
    {"-filter_complex '[0:v]scale=1:1[v];[0:a]volume=2[a]'", "-filter_complex '[0:v]split[x][y];[0:a]atempo=2[b]'",
     true},
    {"-filter_complex '[0:v]hflip[v];[0:a]volume=2[a]'", "-filter_complex '[0:v]hflip[w];[0:a]volume=1[b]'", true},
    // Only one side filters audio: the video pair decides.
    {"-vf scale=1:1", "-af volume=2", true},
    {"-af volume=2", "-vf crop=1:1", true},
    {"-filter_complex '[0:v]scale=1:1[v];[0:a]volume=2[a]'", "-vf split", false},
    {"-filter_complex '[0:v]scale=1:1[v];[0:a]aresample=8000[a]'", "-vf crop=1:1", true},
};
INSTANTIATE_TEST_SUITE_P(AudioPairs, CanMergeFiltersTest, ::testing::ValuesIn(kAudioPairs));

const MergeCase kOptionRules[] = {
    // Stream copy against filtering.
    {"-af volume=2", "-c:a copy", false},
    {"-af volume=2", "-c copy", false},
    {"-af volume=2", "-c:a:0 copy", true},
    {"-af volume=2", "-c:a aac", true},
    {"-vf scale=1:1", "-c:v copy", false},
    {"-vf scale=1:1", "-c copy", false},
    {"-vf scale=1:1", "-c:a copy", true},
    {"-c:a copy", "-af volume=2", false},
    {"-c copy", "-vf scale=1:1", false},
    {"-c:v copy", "-vf scale=1:1", false},
    {"-c:v copy", "-af volume=2", true},
    // Seeking and size.
    {"", "-ss 5", false},
    {"-vf scale=1:1", "-ss 00:00:01 -vf crop=1:1", false},
    {"-ss 5", "", true},
    {"-s 640x480", "", false},
    {"-s 640x480", "-vf scale=1:1", false},
    {"-t 5", "-s 640x480", false},
    {"", "-s 640x480", true},
    {"-vf scale=1:1", "-s 640x480", true},
    // Codec options on both sides.
    {"-vcodec libx264", "-codec copy", false},
    {"-vcodec libx264", "-acodec aac", false},
    {"-acodec aac", "-vcodec libx264", false},
    {"-vcodec libx264", "-vcodec libx265", false},
    {"-vcodec libx264", "", true},
    {"", "-acodec aac", true},
    // A second fade or crossfade, even where the audio pair would merge.
    {"-filter_complex '[0:v]fade=t=in[v];[0:a]volume=1[a]'",
     "-filter_complex '[1:v]scale=1:1,fade=t=out[w];[1:a]volume=2[b]'", false},
    {"-filter_complex '[0:v]fade=t=in[v];[0:a]volume=1[a]'", "-filter_complex '[1:v]scale=1:1[w];[1:a]volume=2[b]'",
     true},
    {"-filter_complex '[0:v][1:v]xfade[v];[0:a]volume=1[a]'", "-filter_complex '[2:v][3:v]xfade[w];[2:a]volume=1[b]'",
     false},
    {"-filter_complex '[0:v][1:v]xfade[v];[0:a]volume=1[a]'", "-af volume=2", true},
    // Concatenation only blocks as the earlier operation.
    {"-filter_complex '[0:v][1:v]concat=n=2[v]'", "", false},
    {"-filter_complex '[0:v][0:a][1:v][1:a]concat=n=2:v=1:a=1[v][a]'", "-af volume=2", false},
    {"", "-filter_complex '[0:v][1:v]concat=n=2[v]'", true},
    // Channel mapping against audio filters.
    {"-map_channel 0.0.0", "-af volume=2", false},
    {"-af volume=2", "-map_channel 0.0.1", false},
    {"-map_channel 0.0.0", "-vf scale=1:1", true},
    // Volume before drawtext.
    {"-af volume=2", "-vf drawtext=text=hi", false},
    {"-vf drawtext=text=hi", "-af volume=2", true},
};
INSTANTIATE_TEST_SUITE_P(OptionRules, CanMergeFiltersTest, ::testing::ValuesIn(kOptionRules));

TEST(CanMergeOptionsTest, IsOnlyTheOptionStage) {
  // Filter order is not its business.
  EXPECT_TRUE(canMergeOptions(parsed("-vf hflip"), parsed("-vf scale=1:1")));
  EXPECT_TRUE(canMergeOptions(parsed("-vf scale=1:1"), parsed("-vf split")));
  EXPECT_FALSE(canMergeOptions(parsed("-t 3"), parsed("-ss 1")));
  EXPECT_TRUE(canMergeOptions(FilterOptions{}, FilterOptions{}));
}

}  // namespace
}  // namespace qel
