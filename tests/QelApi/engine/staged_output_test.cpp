// The output a command writes beside its place: the private folder, what a
// commit moves into place and what it leaves, and the run text that names the
// staged file instead of the output.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "engine/staged_output.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The staged file's path on disk.
std::string stagedPath(const StagedOutput& staged) { return staged.stagedName().substr(std::string("file:").size()); }

TEST(StagedOutput, APrivateFolderBesideTheOutputHoldsTheWorkUntilTheCommit) {
  TempDir dir;
  const std::string out = dir.file("out.mkv");
  writeFile(out, "the user's file");
  StagedOutput staged("file:" + out);
  std::string error;
  ASSERT_TRUE(staged.prepare(error)) << error;
  ASSERT_EQ(staged.stagedName().rfind("file:", 0), 0u);
  const fs::path file = stagedPath(staged);
  EXPECT_EQ(file.filename(), "out.mkv");
  EXPECT_EQ(file.parent_path().parent_path(), fs::path(dir.path()));
  struct stat folder {};
  ASSERT_EQ(::stat(file.parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u) << "the folder is private";

  writeFile(file, "the new result");
  writeFile(file.parent_path() / "out-segment0.ts", "a file nobody named");
  EXPECT_EQ(readFile(out), "the user's file") << "nothing is in place before the commit";
  ASSERT_TRUE(staged.commit(error)) << error;
  EXPECT_EQ(readFile(out), "the new result");
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.mkv"});
}

TEST(StagedOutput, ACommitMovesTheFilesOfASequenceAndNothingElse) {
  TempDir dir;
  writeFile(dir.file("p1.png"), "the user's first picture");
  writeFile(dir.file("p9.png"), "a bystander");
  StagedOutput staged(dir.file("p%d.png"));
  std::string error;
  ASSERT_TRUE(staged.prepare(error)) << error;
  const fs::path folder = fs::path(stagedPath(staged)).parent_path();
  EXPECT_EQ(folder.filename().string().find('%'), std::string::npos) << "no second frame-number field in the path";
  for (const char* name : {"p1.png", "p2.png", "p3.png", "q1.png", "p.png"}) writeFile(folder / name, name);
  ASSERT_TRUE(staged.commit(error)) << error;
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"p1.png", "p2.png", "p3.png", "p9.png"}));
  EXPECT_EQ(readFile(dir.file("p1.png")), "p1.png");
  EXPECT_EQ(readFile(dir.file("p9.png")), "a bystander");
}

TEST(StagedOutput, TheNameFFmpegIsGivenIsTheSameFewBytesLongerWhateverTheOutputsLength) {
  // A folder named after the output would lengthen a long name past what
  // ffmpeg's picture writer holds.
  TempDir dir;
  for (const std::string& name : {std::string("p.png"), std::string(250, 'v') + ".png"}) {
    SCOPED_TRACE(name.size());
    const std::string out = dir.file(name);
    StagedOutput staged(out);
    std::string error;
    ASSERT_TRUE(staged.prepare(error)) << error;
    EXPECT_EQ(staged.stagedName().size(), std::string("file:").size() + out.size() + std::string("qel-XXXXXX/").size());
    EXPECT_EQ(fs::path(stagedPath(staged)).filename(), name);
    EXPECT_EQ(fs::path(stagedPath(staged)).parent_path().parent_path(), fs::path(dir.path()));
  }
}

TEST(StagedOutput, ACommitWithNothingOfTheOutputWrittenFailsAndNamesIt) {
  struct Case {
    const char* output;
    std::vector<std::string> staged;  // what ffmpeg left in the private folder
  };
  const std::vector<Case> cases = {
      {"out.png", {}},
      {"out.png", {"out.png.tmp", "out"}},
      {"p%d.png", {}},
      {"p%d.png", {"p.png", "q1.png", "p%d%d.png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    TempDir dir;
    const std::string out = dir.file(c.output);
    writeFile(dir.file("out.png"), "the user's picture");
    writeFile(dir.file("p1.png"), "the user's first frame");
    StagedOutput staged("file:" + out);
    std::string error;
    ASSERT_TRUE(staged.prepare(error)) << error;
    const fs::path folder = fs::path(stagedPath(staged)).parent_path();
    for (const std::string& name : c.staged) writeFile(folder / name, "not the output");
    EXPECT_FALSE(staged.commit(error));
    EXPECT_EQ(error, "output file was not written: file:" + out);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"out.png", "p1.png"}));
    EXPECT_EQ(readFile(dir.file("out.png")), "the user's picture");
    EXPECT_EQ(readFile(dir.file("p1.png")), "the user's first frame");
  }
}

TEST(StagedOutput, DiscardLeavesTheOutputAsItWas) {
  TempDir dir;
  const std::string out = dir.file("out.mkv");
  writeFile(out, "the user's file");
  {
    StagedOutput staged(out);
    std::string error;
    ASSERT_TRUE(staged.prepare(error)) << error;
    writeFile(stagedPath(staged), "half a result");
  }  // destroyed without a commit, as after a failure
  EXPECT_EQ(readFile(out), "the user's file");
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.mkv"});
}

TEST(StagedOutput, AnOutputThatIsNoFileOrLinkIsNeverReplaced) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe.mkv").c_str(), 0600), 0);
  fs::create_directory(dir.file("folder.mkv"));
  for (const std::string& out : {dir.file("pipe.mkv"), dir.file("folder.mkv"), dir.file("missing/out.mkv")}) {
    SCOPED_TRACE(out);
    StagedOutput staged(out);
    std::string error;
    EXPECT_FALSE(staged.prepare(error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"pipe.mkv", "folder.mkv"}));
}

TEST(ReplaceOutputArgument, OnlyTheOutputArgumentChanges) {
  struct Case {
    const char* name;
    std::string line;
    std::string output;
    std::optional<std::string> expected;
  };
  const std::string staged = "file:/m/qel-AbC123/out.mkv";
  const std::vector<Case> cases = {
      {"plain", R"( -i "/m/in.mp4" -vf scale=80:60 "/m/out.mkv")", "/m/out.mkv",
       R"( -i "/m/in.mp4" -vf scale=80:60 ")" + staged + "\""},
      {"blanks and option text in the name", R"( -i "/m/in.mp4" -c:v copy "/m/a -c:a copy.mkv")", "/m/a -c:a copy.mkv",
       R"( -i "/m/in.mp4" -c:v copy ")" + staged + "\""},
      // The same text inside a graph is no argument of its own.
      {"the name inside a graph", R"( -i "/m/in.mp4" -vf "movie=\"/m/out.mkv\"" "/m/out.mkv")", "/m/out.mkv",
       R"( -i "/m/in.mp4" -vf "movie=\"/m/out.mkv\"" ")" + staged + "\""},
      {"no such argument", R"( -i "/m/in.mp4" "/m/other.mkv")", "/m/out.mkv", std::nullopt},
      {"only part of an argument", R"( -i "/m/in.mp4" x"/m/out.mkv")", "/m/out.mkv", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string> replaced = replaceOutputArgument(c.line, c.output, staged);
    EXPECT_EQ(replaced, c.expected);
    if (!replaced) continue;
    std::vector<std::string> argv = splitCommandLine(c.line);
    argv.back() = staged;
    EXPECT_EQ(splitCommandLine(*replaced), argv);
  }
  EXPECT_EQ(replaceOutputArgument(R"( "/m/out.mkv")", "/m/out.mkv", "/m/a\"b.mkv"), std::nullopt)
      << "a replacement that cannot be quoted";
}

}  // namespace
}  // namespace qel::test
