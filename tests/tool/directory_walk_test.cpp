// Walking folder trees and removing them, only ever inside temporary folders
// with HOME pointed at a temporary folder.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tool/fake_home.h"
#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/directory_walk.h"

namespace {

using namespace tool;
using qel::test::TempDir;
using qel::test::writeFile;

// Registered before main runs the tests.
[[maybe_unused]] const auto* const kFakeHome = tool_test::FakeHomeEnvironment::instance();

bool Exists(const std::string& path) {
  struct stat info{};
  return ::lstat(path.c_str(), &info) == 0;
}

class DirectoryWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.file("tree");
    for (const char* folder : {"tree", "tree/sub", "tree/sub/deep", "tree/empty"}) {
      ASSERT_EQ(::mkdir(dir_.file(folder).c_str(), 0755), 0);
    }
    writeFile(root_ + "/a.txt", "a");
    writeFile(root_ + "/sub/b.txt", "bb");
    writeFile(root_ + "/sub/deep/c.txt", "ccc");
  }
  TempDir dir_;
  std::string root_;
};

TEST_F(DirectoryWalkTest, WalkVisitsFoldersBeforeTheirEntries) {
  std::vector<std::pair<std::string, bool>> seen;
  EXPECT_TRUE(RecursiveInDirectory(
      root_, [&](const std::string& path, bool is_directory) {
        seen.emplace_back(path, is_directory);
        return true;
      },
      true));
  std::set<std::pair<std::string, bool>> expected = {
      {root_ + "/a.txt", false},         {root_ + "/sub", true},          {root_ + "/sub/b.txt", false},
      {root_ + "/sub/deep", true},       {root_ + "/sub/deep/c.txt", false}, {root_ + "/empty", true}};
  EXPECT_EQ((std::set<std::pair<std::string, bool>>(seen.begin(), seen.end())), expected);
  auto at = [&](const std::string& path) {
    return std::find_if(seen.begin(), seen.end(), [&](const auto& entry) { return entry.first == path; });
  };
  EXPECT_LT(at(root_ + "/sub"), at(root_ + "/sub/b.txt"));
  EXPECT_LT(at(root_ + "/sub/deep"), at(root_ + "/sub/deep/c.txt"));
}

TEST_F(DirectoryWalkTest, WalkWithoutRecursionAndStops) {
  std::set<std::string> seen;
  EXPECT_TRUE(RecursiveInDirectory(
      root_, [&](const std::string& path, bool) { return seen.insert(path).second; }, false));
  EXPECT_EQ(seen, (std::set<std::string>{root_ + "/a.txt", root_ + "/sub", root_ + "/empty"}));
  int calls = 0;
  EXPECT_FALSE(RecursiveInDirectory(
      root_, [&](const std::string&, bool) { return ++calls, false; }, true));
  EXPECT_EQ(calls, 1);
}

TEST_F(DirectoryWalkTest, MissingFolderIsAnEmptyWalk) {
  int calls = 0;
  EXPECT_TRUE(RecursiveInDirectory(
      dir_.file("missing"), [&](const std::string&, bool) { return ++calls, true; }, true));
  EXPECT_EQ(calls, 0);
}

TEST_F(DirectoryWalkTest, EmptyCallbackWalksNothing) {
  tool_test::LogCapture log;
  EXPECT_FALSE(RecursiveInDirectory(root_, nullptr, true));
  EXPECT_TRUE(log.contains("with an empty callback, ignored"));
}

TEST_F(DirectoryWalkTest, DsStoreAndLinksAreLeftOut) {
  tool_test::LogCapture log;
  writeFile(root_ + "/.DS_Store", "");
  writeFile(root_ + "/.ds_store", "");
  ASSERT_EQ(::symlink(dir_.path().c_str(), (root_ + "/link").c_str()), 0);
  std::set<std::string> seen;
  RecursiveInDirectory(
      root_, [&](const std::string& path, bool) { return seen.insert(path).second; }, false);
  EXPECT_FALSE(seen.count(root_ + "/.DS_Store"));
  EXPECT_TRUE(seen.count(root_ + "/.ds_store"));
  EXPECT_FALSE(seen.count(root_ + "/link"));
  EXPECT_TRUE(log.contains("found link file:'" + root_ + "/link' while RecursiveInDirectory:'" + root_ +
                           "', ignored"));
}

TEST_F(DirectoryWalkTest, RecursiveRemovalRemovesTheTree) {
  writeFile(root_ + "/.DS_Store", "");
  EXPECT_TRUE(RemoveDirectoryW(root_, true));
  EXPECT_FALSE(Exists(root_));
}

TEST_F(DirectoryWalkTest, LinkInsideTheTreeIsNeverFollowed) {
  tool_test::LogCapture log;
  const std::string canary = dir_.file("canary");
  ASSERT_EQ(::mkdir(canary.c_str(), 0755), 0);
  writeFile(canary + "/alive.txt", "yes");
  ASSERT_EQ(::symlink(canary.c_str(), (root_ + "/sub/to_canary").c_str()), 0);
  EXPECT_FALSE(RemoveDirectoryW(root_, true));  // the link stays, so its folder does
  EXPECT_TRUE(Exists(canary + "/alive.txt"));
  EXPECT_TRUE(Exists(root_ + "/sub/to_canary"));
  EXPECT_FALSE(Exists(root_ + "/a.txt"));
  EXPECT_TRUE(log.contains("FileSystem RemoveDirectory:'" + root_ + "' with sub_dir:'" + root_ + "/sub', failed"));
}

TEST_F(DirectoryWalkTest, LinkGivenAsTheFolderIsRemovedAsALink) {
  const std::string canary = dir_.file("canary");
  ASSERT_EQ(::mkdir(canary.c_str(), 0755), 0);
  writeFile(canary + "/alive.txt", "yes");
  const std::string link = dir_.file("link");
  ASSERT_EQ(::symlink(canary.c_str(), link.c_str()), 0);
  EXPECT_TRUE(RemoveDirectoryW(link, true));
  EXPECT_FALSE(Exists(link));
  EXPECT_TRUE(Exists(canary + "/alive.txt"));
  // A closing separator or "." must not make the link look like its folder.
  for (const std::string& spelled : {link + "/", link + "/.", link + "\\", link + "//./"}) {
    ASSERT_EQ(::symlink(canary.c_str(), link.c_str()), 0);
    EXPECT_TRUE(RemoveDirectoryW(spelled, true)) << spelled;
    EXPECT_FALSE(Exists(link)) << spelled;
    EXPECT_TRUE(Exists(canary + "/alive.txt")) << spelled;
  }
}

TEST_F(DirectoryWalkTest, RemovalWithoutRecursion) {
  tool_test::LogCapture log;
  // Files and one empty folder: everything goes.
  EXPECT_TRUE(RemoveDirectoryW(root_ + "/sub/deep", false));
  EXPECT_FALSE(Exists(root_ + "/sub/deep"));
  ASSERT_EQ(::mkdir((root_ + "/sub/deep").c_str(), 0755), 0);
  writeFile(root_ + "/sub/deep/c.txt", "ccc");
  // A non-empty subfolder ends the removal after the own files are gone.
  EXPECT_FALSE(RemoveDirectoryW(root_ + "/sub", false));
  EXPECT_FALSE(Exists(root_ + "/sub/b.txt"));
  EXPECT_TRUE(Exists(root_ + "/sub/deep/c.txt"));
  EXPECT_TRUE(log.contains("with sub_dir:'" + root_ + "/sub/deep', failed, errno:39"));
}

TEST_F(DirectoryWalkTest, EmptyAndRelativePathsAreRefused) {
  tool_test::LogCapture log;
  EXPECT_FALSE(RemoveDirectoryW("", true));
  EXPECT_TRUE(log.contains("RemoveDirectory with empty dir_path, ignored"));
  EXPECT_FALSE(RemoveDirectoryW("tree", true));
}

TEST_F(DirectoryWalkTest, TreeHoldingTheUsersDocumentsIsRefusedWhole) {
  tool_test::LogCapture log;
  const std::string& home = tool_test::FakeHomeEnvironment::home();
  writeFile(home + "/Documents/keep.txt", "k");
  writeFile(home + "/note.txt", "n");
  EXPECT_FALSE(RemoveDirectoryW(tool_test::FakeHomeEnvironment::root(), true));
  EXPECT_FALSE(RemoveDirectoryW(home, true));
  EXPECT_FALSE(RemoveDirectoryW(home + "/Documents/", true));
  EXPECT_FALSE(RemoveDirectoryW(home + "\\Documents", true));
  EXPECT_TRUE(Exists(home + "/Documents/keep.txt"));
  EXPECT_TRUE(Exists(home + "/note.txt"));
  EXPECT_TRUE(log.contains("FileSystem skip RemoveDirectory:" + home + "/Documents"));
}

}  // namespace
