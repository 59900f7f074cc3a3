// The write guard sees the files ffmpeg reads and writes under other names: the
// members of "concat:", a "concatf:" list and its names, an ffconcat list read
// with "-f concat", the files of an image sequence, and an output file that a
// transform names by itself. The same comparison finds a task whose outputs
// write one file twice.
#include "commands/write_guard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_plan.h"
#include "QelApi/commands/task_operation_items.h"
#include "support/test_support.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

using test::task::file;
using test::task::intermediate;
using test::task::makeOperation;

class WriteGuardTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"src.mp4", "p1.png", "p2.png", "other.mp4"}) test::writeFile(f(name), "media");
    test::writeFile(f("list.txt"), f("src.mp4") + "\n");
    test::writeFile(f("ffconcat.txt"), "ffconcat version 1.0\nfile 'src.mp4'\n");
    // Read as lists and graphs only when ffmpeg is told so: they name o.mkv.
    test::writeFile(f("lists-output.txt"), "file 'o.mkv'\n");
    test::writeFile(f("graph.txt"), "movie='" + f("o.mkv") + "'[v]");
  }
  std::string f(const std::string& name) const { return dir.file(name); }

  test::TempDir dir;
};

TEST_F(WriteGuardTest, SeesEveryFileACommandReadsAndMayWrite) {
  struct Case {
    const char* name;
    std::string commandLine;
    std::string outputPath;
    std::optional<std::string> overwritten;
  };
  const std::vector<Case> cases = {
      {"concat member", " -i \"concat:" + f("src.mp4") + "|" + f("clip2.mp4") + "\" \"" + f("src.mp4") + "\"",
       f("src.mp4"), f("src.mp4")},
      {"concatf list entry", " -i \"concatf:" + f("list.txt") + "\" \"" + f("src.mp4") + "\"", f("src.mp4"),
       f("src.mp4")},
      {"concatf list itself", " -i \"concatf:" + f("list.txt") + "\" \"" + f("list.txt") + "\"", f("list.txt"),
       f("list.txt")},
      {"ffconcat list entry", " -f concat -safe 0 -i \"" + f("ffconcat.txt") + "\" \"" + f("src.mp4") + "\"",
       f("src.mp4"), f("src.mp4")},
      {"sequence output over an input", " -i \"" + f("p1.png") + "\" -vf scale=8:6 \"" + f("p%d.png") + "\"",
       f("p%d.png"), f("p1.png")},
      {"sequence output over a file to be made", " -i \"" + f("src.mp4") + "\" \"" + f("q%d.png") + "\"", f("q%d.png"),
       std::nullopt},
      {"sequence input under the output", " -i \"" + f("p%d.png") + "\" \"" + f("p2.png") + "\"", f("p2.png"),
       f("p2.png")},
      {"output named by the transform", " -i \"" + f("src.mp4") + "\" -an " + f("src.mp4") + " \"" + f("o.mp4") + "\"",
       f("o.mp4"), f("src.mp4")},
      {"option values are no outputs",
       " -i \"" + f("src.mp4") + "\" -metadata title=" + f("src.mp4") + " -y \"" + f("o.mp4") + "\"", f("o.mp4"),
       std::nullopt},
      {"a distinct output", " -i \"concat:" + f("src.mp4") + "|" + f("other.mp4") + "\" \"" + f("o.mp4") + "\"",
       f("o.mp4"), std::nullopt},
      {"ffconcat list found by content", " -i \"" + f("ffconcat.txt") + "\" \"" + f("src.mp4") + "\"", f("src.mp4"),
       f("src.mp4")},
      {"subfile with any separator", " -i \"subfile,:start:0:end:0:::" + f("src.mp4") + "\" \"" + f("src.mp4") + "\"",
       f("src.mp4"), f("src.mp4")},
      {"lavfi movie source", " -f lavfi -i \"movie=" + f("src.mp4") + "\" \"" + f("src.mp4") + "\"", f("src.mp4"),
       f("src.mp4")},
      {"movie source of a graph", " -filter_complex \"amovie=filename=" + f("src.mp4") + "\" \"" + f("src.mp4") + "\"",
       f("src.mp4"), f("src.mp4")},
  };
  for (const Case& c : cases) {
    const FFmpegCommand command{c.commandLine, c.outputPath, "", {}};
    EXPECT_EQ(findOverwrittenInput(command), c.overwritten) << c.name << ": " << c.commandLine;
  }
}

TEST_F(WriteGuardTest, FindsOutputsThatWriteOneFileTwice) {
  fs::create_hard_link(f("other.mp4"), f("linked.mp4"));
  fs::create_symlink("o.mp4", f("lnk.mp4"));
  struct Case {
    const char* name;
    std::string first;
    std::string second;
    bool twice;
  };
  const std::vector<Case> cases = {
      {"same name", f("o.mp4"), f("o.mp4"), true},
      {"file: spelling", f("o.mp4"), "file:" + f("o.mp4"), true},
      {"dot dot", f("o.mp4"), dir.path() + "/sub/../o.mp4", true},
      {"hard link", f("other.mp4"), f("linked.mp4"), true},
      {"sequence and one of its files", f("q%d.png"), f("q7.png"), true},
      {"two widths of one sequence", f("q%d.png"), f("q%03d.png"), true},
      {"different names", f("o.mp4"), f("o2.mp4"), false},
      {"different sequences", f("q%d.png"), f("r%d.png"), false},
      {"dangling link to the other", f("o.mp4"), f("lnk.mp4"), true},
  };
  for (const Case& c : cases) {
    for (bool sameOperation : {false, true}) {
      std::vector<TaskOperation> operations;
      if (sameOperation) {
        operations = {makeOperation({file(f("src.mp4"))}, "", {file(c.first), file(c.second)})};
      } else {
        operations = {makeOperation({file(f("src.mp4"))}, "", {file(c.first)}),
                      makeOperation({file(f("other.mp4"))}, "", {intermediate(c.second)})};
      }
      const std::optional<std::string> twice = findOutputWrittenTwice(operations);
      EXPECT_EQ(twice.has_value(), c.twice) << c.name;
      if (twice) {
        EXPECT_NE(outputWrittenTwiceMessage(*twice).find(*twice), std::string::npos);
      }
    }
  }
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

TEST_F(WriteGuardTest, RefusesACommandThatFFmpegWouldOpenOtherwise) {
  struct Case {
    const char* name;
    std::string commandLine;
    bool refused;
  };
  const std::string in = " -i \"" + f("src.mp4") + "\"";
  const std::vector<Case> cases = {
      {"plain output", in + " -c:v libx264 \"" + f("o.mp4") + "\"", false},
      {"format from the output options", in + " -f hls \"" + f("o.mkv") + "\"", true},
      {"input format is not the output's", " -f mp4" + in + " \"" + f("o.mkv") + "\"", false},
      {"second output through a protocol", in + " \"tee:" + f("a.mkv") + "|" + f("b.mkv") + "\" \"" + f("o.mkv") + "\"",
       true},
      {"input through a protocol", " -i \"http://127.0.0.1:9/a.mp4\" \"" + f("o.mkv") + "\"", true},
      {"writes its input", in + " \"" + f("src.mp4") + "\"", true},
      {"writes its input after -psnr", in + " -psnr \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", true},
      {"writes its input after -nopsnr", in + " -nopsnr \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", true},
      {"writes its input after -report", in + " -report \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", true},
      {"writes its input after -hide_banner", in + " -hide_banner \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"",
       true},
      {"a value option before the output", in + " -metadata \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", false},
      {"writes its input after -psnr:v", in + " -psnr:v \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", true},
      {"writes its input after -hide_banner:x", in + " -hide_banner:x \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"",
       true},
      {"writes its input after --", in + " -- \"" + f("src.mp4") + "\" \"" + f("o.mkv") + "\"", true},
      {"format with a stream specifier", in + " -f:v hls \"" + f("o.mkv") + "\"", true},
      {"an empty name ffmpeg would try", in + " \"\" \"" + f("o.mkv") + "\"", true},
      {"an input list forced with a stream specifier",
       " -f:v concat -i \"" + f("lists-output.txt") + "\" \"" + f("o.mkv") + "\"", true},
      {"an input list forced in capitals", " -f CONCAT -i \"" + f("lists-output.txt") + "\" \"" + f("o.mkv") + "\"",
       true},
      {"a graph with a stream specifier", in + " -filter_complex:v \"movie='" + f("o.mkv") + "'\" \"" + f("o.mkv") + "\"",
       true},
      {"a graph from a file", in + " -filter_complex_script \"" + f("graph.txt") + "\" \"" + f("o.mkv") + "\"", true},
  };
  for (const Case& c : cases) {
    const std::vector<FFmpegCommand> commands{{c.commandLine, f("o.mkv"), "", {}}};
    const std::optional<std::string> refusal = commandRefusal(commands, 0);
    EXPECT_EQ(refusal.has_value(), c.refused) << c.name << ": " << refusal.value_or("");
    if (refusal) {
      EXPECT_NE(refusal->find("refused"), std::string::npos) << *refusal;
    }
  }
}

// Only the command's last output argument is written beside its place and
// moved there on success: any other output argument that writes the same file
// (the output named again by a transform, in any spelling) or the output of an
// earlier command is written in place at once, so it is refused.
TEST_F(WriteGuardTest, RefusesASecondOutputArgumentOfOneFile) {
  struct Case {
    const char* name;
    std::string transform;     // the text between the input and the output
    bool earlierWritesResult;  // an earlier command writes result.mkv
    bool refused;
  };
  const std::string in = " -i \"" + f("src.mp4") + "\"";
  const std::string relative = fs::relative(f("o.mkv")).string();
  const std::vector<Case> cases = {
      {"no second output", " -an", false, false},
      {"a distinct second output", " -an \"" + f("b.mkv") + "\"", false, false},
      {"the output once more", " -an \"" + f("o.mkv") + "\"", false, true},
      {"the output once more through file:", " -an \"file:" + f("o.mkv") + "\"", false, true},
      {"the output once more with ./ and //", " -an \"" + dir.path() + "/.//o.mkv\"", false, true},
      {"the output once more, relative", " -an \"" + relative + "\"", false, true},
      {"an earlier command's output", " -an \"" + f("result.mkv") + "\"", true, true},
      {"an earlier command's output through file:", " -an \"file:" + f("result.mkv") + "\"", true, true},
      {"no earlier command writes it", " -an \"" + f("result.mkv") + "\"", false, false},
  };
  for (const Case& c : cases) {
    std::vector<FFmpegCommand> commands;
    if (c.earlierWritesResult) commands.push_back({in + " \"" + f("result.mkv") + "\"", f("result.mkv"), "", {}});
    commands.push_back({in + c.transform + " \"" + f("o.mkv") + "\"", f("o.mkv"), "", {}});
    const std::optional<std::string> refusal = commandRefusal(commands, commands.size() - 1);
    EXPECT_EQ(refusal.has_value(), c.refused) << c.name << ": " << refusal.value_or("");
    if (refusal) {
      EXPECT_NE(refusal->find("refused"), std::string::npos) << *refusal;
    }
  }
  // A sequence output and a frame of it in one command.
  const std::vector<FFmpegCommand> sequence{
      {in + " -frames:v 1 \"" + f("q3.png") + "\" \"" + f("q%d.png") + "\"", f("q%d.png"), "", {}}};
  EXPECT_TRUE(commandRefusal(sequence, 0).has_value());
}

}  // namespace
}  // namespace qel
