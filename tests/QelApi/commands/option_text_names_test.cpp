// Option text inside a quoted name is part of the name: the edits of whole
// command and transform texts (stream copy, quality, attached picture, the
// vendor's encoder, the filter-option aliases) act only on the options. A
// task whose output was "victim-c:a copy.mkv" once had its "-c:a copy" removed
// and wrote victim.mkv; an input "show -c:v copy.mp4" was read as "show .mp4".
//
// Every name of the table holds one edited option text; each is run through
// every form a command names a file in, and the command must name the file
// exactly while every real option is still edited.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands/command_plan.h"
#include "commands/filter_text.h"
#include "commands/graph_scan.h"
#include "QelApi/commands/task_operation_items.h"
#include "common/command_line.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::task::file;
using test::task::intermediate;
using test::task::makeOperation;

// One of each edited option text, each in a name of its own.
const std::vector<std::string> kNames = {
    "victim-c:a copy.mkv", "a -acodec copy.mkv", "show -c:v copy.mkv",
    "a -vcodec copy.mkv",  "a -map 0:v:1.mkv",   "a -c:v:1 png -disposition:v:1 attached_pic.mkv",
    "a -qscale:v 23.mkv",  "a -b:v 2000k.mkv",   "a libx264 b.mkv",
    "a libx265 b.mkv",     "a -vf b.mkv",        "a -af b.mkv",
};

// Filters on both streams and every option an edit changes.
const std::string kOptions =
    "-af volume=0.5 -vf scale=80:60 -c:a copy -acodec copy -c:v copy -vcodec copy -map 0:v:1 "
    "-c:v:1 png -disposition:v:1 attached_pic -qscale:v 23 -b:v 2000k -c:v libx264 -c:v libx265";

// Pairs of arguments that must not be left in a command: every one is an
// option the edits remove or replace.
const std::vector<std::vector<std::string>> kEdited = {
    {"-c:a", "copy"}, {"-acodec", "copy"}, {"-c:v", "copy"}, {"-vcodec", "copy"}, {"-map", "0:v:1"}, {"-c:v:1", "png"},
    {"-qscale:v"},    {"-b:v", "2000k"},   {"libx264"},      {"libx265"},         {"-vf"},           {"-af"},
};

bool holdsSequence(const std::vector<std::string>& args, const std::vector<std::string>& sequence) {
  return std::search(args.begin(), args.end(), sequence.begin(), sequence.end()) != args.end();
}

bool names(const FFmpegCommand& command, const std::string& path) {
  const std::vector<std::string> args = splitCommandLine(command.commandLine);
  if (std::find(args.begin(), args.end(), path) != args.end()) return true;
  const std::vector<std::string> sources = extractInputPaths(command.commandLine);
  return std::find(sources.begin(), sources.end(), path) != sources.end();
}

void expectOptionsEdited(const FFmpegCommand& command) {
  const std::vector<std::string> args = splitCommandLine(command.commandLine);
  for (const std::vector<std::string>& option : kEdited) {
    EXPECT_FALSE(holdsSequence(args, option)) << option.front() << " was left: " << command.commandLine;
  }
  EXPECT_TRUE(holdsSequence(args, {"-b:v", "1600k"})) << command.commandLine;
  EXPECT_TRUE(holdsSequence(args, {"-c:v", "h264_nvenc"})) << command.commandLine;
}

class OptionTextNames : public testing::TestWithParam<std::string> {
 protected:
  std::string named() const { return dir.file(GetParam()); }
  std::string movie() const { return *escapeFilterPath(named()); }

  std::vector<FFmpegCommand> plan(std::vector<TaskOperation> operations) const {
    PlanningSnapshot snapshot;
    snapshot.hardwareVendor = "nvidia";
    CommandBuilder builder(snapshot);
    return builder.buildCommands(operations);
  }

  test::TempDir dir;
};

TEST_P(OptionTextNames, EveryFormKeepsTheNameAndEditsTheOptions) {
  const std::string in = dir.file("in.mp4");
  const std::string out = dir.file("out.mkv");
  struct Form {
    const char* name;
    std::vector<TaskOperation> operations;
    std::vector<std::string> expectedIn;  // per command, the name it must hold
  };
  const std::vector<Form> forms = {
      {"input file", {makeOperation({file(named())}, kOptions, {file(out)})}, {named()}},
      {"input file with options", {makeOperation({file(named(), "-ss 1")}, kOptions, {file(out)})}, {named()}},
      {"output file", {makeOperation({file(in)}, kOptions, {file(named())})}, {named()}},
      {"graph input",
       {makeOperation({intermediate("movie='" + movie() + "',scale=80:60[out0]")}, kOptions, {file(out)})},
       {named()}},
      {"command fragment input",
       {makeOperation({intermediate("-i \"" + named() + "\" -map 0:a")}, kOptions, {file(out)})},
       {named()}},
      {"source in the transform's graph",
       {makeOperation({file(in)}, "-filter_complex \"movie='" + movie() + "'[w];[0:v][w]overlay\" " + kOptions,
                      {file(out)})},
       {named()}},
      // Stream copy does not merge with a filter: the intermediate file is
      // written by the first command and read by the second.
      {"intermediate file",
       {makeOperation({file(in)}, "-vf scale=80:60", {intermediate(named())}),
        makeOperation({intermediate(named())}, kOptions, {file(out)})},
       {named(), named()}},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    const std::vector<FFmpegCommand> commands = plan(form.operations);
    ASSERT_EQ(commands.size(), form.expectedIn.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
      EXPECT_TRUE(names(commands[i], form.expectedIn[i])) << "the name was edited: " << commands[i].commandLine;
    }
    expectOptionsEdited(commands.back());
  }
}

INSTANTIATE_TEST_SUITE_P(Names, OptionTextNames, testing::ValuesIn(kNames),
                         [](const testing::TestParamInfo<std::string>& param_info) {
                           return "Name" + std::to_string(param_info.index);
                         });

TEST(OptionTextNames, TheAliasesOfATransformStayInItsQuotedNames) {
  TaskOperation operation =
      makeOperation({file("/v/in.mp4")}, "-filter_complex \"movie='/v/a -vf b.png'[w];[0:v][w]overlay\" -vf scale=8:6",
                    {file("/v/out.mkv")});
  EXPECT_EQ(operation.m_transform,
            "-filter_complex \"movie='/v/a -vf b.png'[w];[0:v][w]overlay\" -filter_complex scale=8:6");
}

TEST(OptionTextNames, RangesAreTheQuotedRunsOfTheCommandLine) {
  const std::string text = R"( -i "a -c:a copy.mp4" -vf "drawtext=text=\"-c:a copy\"" -c:a copy "o""x.mkv" "open)";
  std::set<std::string> quoted;
  for (const TextRange& range : commandQuotedRanges(text)) {
    quoted.insert(text.substr(range.begin, range.end - range.begin));
  }
  EXPECT_EQ(quoted, (std::set<std::string>{R"("a -c:a copy.mp4")", R"("drawtext=text=\"-c:a copy\"")", R"("o""x.mkv")",
                                           R"("open)"}));
  EXPECT_EQ(findOptionText(text, "-c:a copy"), text.find(" -c:a copy \"o") + 1);
  std::string edited = text;
  EXPECT_TRUE(eraseFirstOptionText(edited, "-c:a copy"));
  EXPECT_FALSE(eraseFirstOptionText(edited, "-c:a copy"));
  EXPECT_EQ(splitCommandLine(edited), (std::vector<std::string>{"-i", "a -c:a copy.mp4", "-vf",
                                                                "drawtext=text=\"-c:a copy\"", "o\"x.mkv", "open"}));
}

}  // namespace
}  // namespace qel
