// The layer's collecting walk that removals stand on.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/file_system.h"

namespace {

using namespace tool::filesystem_internal;
using qel::test::TempDir;
using qel::test::writeFile;

std::size_t IndexOf(const std::vector<std::string>& list, const std::string& item) {
  return static_cast<std::size_t>(std::find(list.begin(), list.end(), item) - list.begin());
}

TEST(CollectingWalkTest, FoldersBeforeWhatTheyHold) {
  TempDir dir;
  for (const char* folder : {"a", "a/b", "a/b/c", "d"}) ASSERT_EQ(::mkdir(dir.file(folder).c_str(), 0755), 0);
  writeFile(dir.file("top.txt"), "");
  writeFile(dir.file("a/b/c/deep.txt"), "");
  writeFile(dir.file(".DS_Store"), "");
  ASSERT_EQ(::symlink(dir.file("a").c_str(), dir.file("d/link").c_str()), 0);
  tool_test::LogCapture log;
  std::vector<std::string> directories{"/already/there"}, files;
  ASSERT_TRUE(FileSystem::RecursiveInDirectory(dir.path(), directories, files, true, FileSystem::Instance()));
  ASSERT_EQ(directories.size(), 5u);
  EXPECT_EQ(directories[0], "/already/there");  // appended to, never cleared
  EXPECT_LT(IndexOf(directories, dir.file("a")), IndexOf(directories, dir.file("a/b")));
  EXPECT_LT(IndexOf(directories, dir.file("a/b")), IndexOf(directories, dir.file("a/b/c")));
  EXPECT_NE(IndexOf(directories, dir.file("d")), directories.size());
  EXPECT_EQ(files.size(), 3u);  // .DS_Store is collected like any file
  EXPECT_NE(IndexOf(files, dir.file(".DS_Store")), files.size());
  EXPECT_NE(IndexOf(files, dir.file("a/b/c/deep.txt")), files.size());
  EXPECT_EQ(IndexOf(files, dir.file("d/link")), files.size());
  EXPECT_TRUE(log.contains("found link file:'" + dir.file("d/link") + "' while RecursiveInDirectory:'" + dir.file("d") +
                           "', ignored"));

  std::vector<std::string> shallow_dirs, shallow_files;
  ASSERT_TRUE(FileSystem::RecursiveInDirectory(dir.path(), shallow_dirs, shallow_files, false, FileSystem::Instance()));
  EXPECT_EQ(shallow_dirs.size(), 2u);
  EXPECT_EQ(shallow_files.size(), 2u);
}

// The layer reads "\\" as a separator: a collected path holding a name with
// one would name another file when read back, so such names are left out
// (logged), and what lies in such a folder with them.
TEST(CollectingWalkTest, NamesHoldingABackslashAreLeftOut) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("a\\..").c_str(), 0755), 0);
  writeFile(dir.file("a\\../inside.txt"), "");
  writeFile(dir.file("x\\..\\f"), "");
  writeFile(dir.file("kept.txt"), "");
  tool_test::LogCapture log;
  std::vector<std::string> directories, files;
  ASSERT_TRUE(FileSystem::RecursiveInDirectory(dir.path(), directories, files, true, FileSystem::Instance()));
  EXPECT_EQ(directories, std::vector<std::string>{});
  EXPECT_EQ(files, std::vector<std::string>{dir.file("kept.txt")});
  for (const char* name : {"a\\..", "x\\..\\f"}) {
    EXPECT_TRUE(log.contains(std::string("found name holding '\\':'") + name + "' while RecursiveInDirectory:'" +
                             dir.path() + "', ignored"))
        << name;
  }
}

TEST(CollectingWalkTest, MissingFolderAndNullLayer) {
  TempDir dir;
  tool_test::LogCapture log;
  std::vector<std::string> directories, files;
  EXPECT_FALSE(FileSystem::RecursiveInDirectory(dir.file("missing"), directories, files, true, FileSystem::Instance()));
  EXPECT_FALSE(FileSystem::RecursiveInDirectory(dir.path(), directories, files, true, nullptr));
  EXPECT_TRUE(log.contains("FileSystem::RecursiveInDirectory with invalid param fs: 0x0"));
}

}  // namespace
