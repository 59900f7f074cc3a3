// The free name an intermediate image sequence takes when files of its
// sequence exist, and the deletion of every file of it when the plan ends.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QelApi/commands/task_operation_items.h"
#include "commands/command_plan.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;
using task::file;
using task::intermediate;
using task::makeOperation;

TEST(IntermediateSequenceNames, ASequenceWithAnyFileOnDiskTakesAFreeName) {
  struct Case {
    const char* name;
    std::vector<std::string> present;  // files in the folder before the plan
    const char* sequence;              // the intermediate, in the folder
    const char* claimed;               // the name the plan gives it
  };
  const std::vector<Case> cases = {
      {"no file of it", {"g1.png"}, "f%d.png", "f%d.png"},
      {"one frame present", {"f2.png"}, "f%d.png", "f%d-qel1.png"},
      {"the free name taken in turn", {"f1.png", "f7-qel1.png"}, "f%d.png", "f%d-qel2.png"},
      {"a padded field", {"f007.png"}, "f%03d.png", "f%03d-qel1.png"},
      {"the pattern's own name", {"f%d.png"}, "f%d.png", "f%d-qel1.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const std::string& name : c.present) writeFile(dir.file(name), "the user's own file");
    std::vector<TaskOperation> operations = {
        makeOperation({file(dir.file("in.mp4"))}, "-vf scale=8:6", {intermediate(dir.file(c.sequence))}),
        makeOperation({intermediate(dir.file(c.sequence))}, "-vf crop=4:4", {file(dir.file("a.mkv"))}),
        makeOperation({intermediate(dir.file(c.sequence))}, "-vf crop=2:2", {file(dir.file("b.mkv"))})};
    CommandBuilder::claimFreeIntermediateNames(operations);
    EXPECT_EQ(operations[0].m_outputs[0].value, dir.file(c.claimed));
    EXPECT_EQ(operations[1].m_inputs[0].value, dir.file(c.claimed));
    EXPECT_EQ(operations[2].m_inputs[0].value, dir.file(c.claimed));
  }
}

TEST(IntermediateSequenceNames, EveryFileOfTheSequenceGoesWithThePlan) {
  TempDir dir;
  writeFile(dir.file("f1.png"), "the user's own picture");
  {
    CommandBuilder builder;
    const std::vector<FFmpegCommand> commands = builder.buildCommands(
        {makeOperation({file(dir.file("in.mp4"))}, "-vf scale=8:6", {intermediate(dir.file("f%d.png"))}),
         makeOperation({intermediate(dir.file("f%d.png"))}, "-vf crop=4:4", {file(dir.file("a.mkv"))}),
         makeOperation({intermediate(dir.file("f%d.png"))}, "-c:v copy", {file(dir.file("b.mkv"))})});
    ASSERT_FALSE(commands.empty());
    const std::string sequence = commands[0].outputPath;
    ASSERT_EQ(sequence, dir.file("f%d-qel1.png"));
    // What the first command writes.
    for (const char* frame : {"f1-qel1.png", "f2-qel1.png", "f10-qel1.png"}) writeFile(dir.file(frame), "a frame");
  }
  std::set<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::set<std::string>{"f1.png"});
  EXPECT_EQ(readFile(dir.file("f1.png")), "the user's own picture");
}

}  // namespace
}  // namespace qel::test
