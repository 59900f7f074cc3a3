// The private folder a command's output is written in, and the name ffmpeg is
// given for it: the same few bytes longer than the output whatever its length.
#include "commands/staged_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

TEST(StagedName, ThePrivateFolderStandsBesideTheOutputUnderAShortNameOfItsOwn) {
  struct Case {
    std::string output;
    std::string folder;  // as mkdtemp takes it
    std::string staged;
  };
  const std::string longName(250, 'v');
  const std::vector<Case> cases = {
      {"/m/out.mkv", "/m/qel-XXXXXX", "file:/m/qel-XXXXXX/out.mkv"},
      {"file:/m/out.mkv", "/m/qel-XXXXXX", "file:/m/qel-XXXXXX/out.mkv"},
      {"out.mkv", "qel-XXXXXX", "file:qel-XXXXXX/out.mkv"},
      {"/m/p%03d.png", "/m/qel-XXXXXX", "file:/m/qel-XXXXXX/p%03d.png"},
      {"/m/" + longName + ".png", "/m/qel-XXXXXX", "file:/m/qel-XXXXXX/" + longName + ".png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string folder = stagingFolderTemplate(c.output);
    EXPECT_EQ(folder, c.folder);
    EXPECT_EQ(stagedOutputName(folder, c.output), c.staged);
    std::string made = folder;
    made.replace(made.size() - 6, 6, "AbC123");  // as mkdtemp fills it
    EXPECT_EQ(stagedOutputName(made, c.output).size(), c.staged.size());
  }
}

}  // namespace
}  // namespace qel
