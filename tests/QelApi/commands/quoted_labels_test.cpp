// Label text inside a quoted file name is part of the name: the command
// assembly and the operations strip and replace labels only where they are
// graph syntax. A file called br/[out0].mp4 once lost its label text and the
// task read br/.mp4 instead.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/command_assembly.h"
#include "commands/filter_text.h"

namespace qel {
namespace {

TEST(QuotedLabels, RangesCoverFilterArgumentsAndInputPaths) {
  const std::string text = R"(-i "a[out0].mp4" -filter_complex "movie='b[out0]'[out0];amovie='it'\\\''s[v1]'[out1]")";
  const std::vector<QuotedRange> ranges = quotedRanges(text);
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ(text.substr(ranges[0].begin, ranges[0].end - ranges[0].begin), "\"a[out0].mp4\"");
  EXPECT_EQ(text.substr(ranges[1].begin, ranges[1].end - ranges[1].begin), "'b[out0]'");
  EXPECT_EQ(text.substr(ranges[2].begin, ranges[2].end - ranges[2].begin), R"('it'\\\''s[v1]')");

  EXPECT_EQ(findUnquoted(text, "[out0]"), text.find("'[out0]") + 1);
  EXPECT_EQ(findUnquoted(text, "[v1]"), std::string::npos);
  std::string replaced = text;
  EXPECT_TRUE(replaceFirstUnquoted(replaced, "[out1]", "[a9]"));
  EXPECT_NE(replaced.find("'[a9]\""), std::string::npos) << replaced;
  bool video = false;
  bool audio = false;
  EXPECT_FALSE(hasOutLabels("movie='br/[out0].mp4',scale=2:2[v]", video, audio));
}

TEST(QuotedLabels, CommandKeepsTheFileNameAndDropsTheGraphsLabels) {
  TaskOperation operation;
  operation.m_inputs = {{2, "movie='br/[out0].mp4',scale=80:60[out0];amovie='br/[out1].mp4'[out1]", ""}};
  operation.m_outputs = {{1, "/o/out.mkv", ""}};
  prepareFilterOptions(operation);
  const FFmpegCommand command = toCommad(operation, {});
  EXPECT_EQ(command.commandLine,
            "-filter_complex \"movie='br/[out0].mp4',scale=80:60;amovie='br/[out1].mp4'\"  \"/o/out.mkv\"");
}

TEST(QuotedLabels, UnreadPadLabelInsideAPathStays) {
  TaskOperation operation;
  operation.m_inputs = {{1, "/m/[4095].mp4", ""}};
  operation.m_transform = "-filter_complex \"movie='/m/[4095].mp4',scale=80:60[4095]\"";
  operation.m_outputs = {{1, "/o/out.mkv", ""}};
  operation.m_padLabels["/o/mid.mkv"] = 4095;
  prepareFilterOptions(operation);
  const FFmpegCommand command = toCommad(operation, {});
  EXPECT_NE(command.commandLine.find("movie='/m/[4095].mp4',scale=80:60\""), std::string::npos) << command.commandLine;
}

}  // namespace
}  // namespace qel
