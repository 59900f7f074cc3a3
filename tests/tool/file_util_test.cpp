// File and folder functions through the exported interface, on files inside a
// temporary folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/file_util.h"

namespace {

using namespace tool;
using qel::test::readFile;
using qel::test::ScopedEnv;
using qel::test::TempDir;
using qel::test::writeFile;

bool IsDir(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class FileUtilTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FileUtilTest, CreateDirectoryIfNeedMakesEveryLevel) {
  const std::string top = dir_.file("a");
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  // Without intermediate folders only the last level is made.
  EXPECT_FALSE(CreateDirectoryIfNeed(top + "/b/c", false));
  EXPECT_FALSE(IsDir(top + "/b"));
  EXPECT_TRUE(CreateDirectoryIfNeed(top + "/b/c", true));
  EXPECT_TRUE(IsDir(top + "/b/c"));
  EXPECT_TRUE(CreateDirectoryIfNeed(dir_.file("x\\y\\z\\"), true));
  EXPECT_TRUE(IsDir(dir_.file("x/y/z")));
  EXPECT_TRUE(CreateDirectoryIfNeed(dir_.file("x/y/z"), false));  // already there
}

TEST_F(FileUtilTest, CreateDirectoryIfNeedRefusesAFile) {
  tool_test::LogCapture log;
  writeFile(dir_.file("f"), "x");
  EXPECT_FALSE(CreateDirectoryIfNeed(dir_.file("f"), true));
  EXPECT_TRUE(log.contains("CreateDirectoryIfNeed failed, '" + dir_.file("f") + "' exist and isn't directory entry"));
  EXPECT_FALSE(CreateDirectoryIfNeed(dir_.file("f/below"), true));
  EXPECT_TRUE(log.contains("can't create intermediate dir") || log.contains("is_createIntermediate_directories:1"));
}

TEST_F(FileUtilTest, RelativePathsFail) {
  EXPECT_FALSE(CreateDirectoryIfNeed("relative/dir", true));
  EXPECT_FALSE(IsPathExist(".", nullptr));
  EXPECT_EQ(GetFileContent("CMakeCache.txt"), "");
}

TEST_F(FileUtilTest, FileContentSizeAndErrors) {
  tool_test::LogCapture log;
  const std::string bytes("a\0b\nc", 5);
  writeFile(dir_.file("five"), bytes);
  EXPECT_EQ(GetFileContent(dir_.file("five")), bytes);
  EXPECT_EQ(GetFileSize(dir_.file("five"), true), 5u);
  EXPECT_EQ(GetFileSize(dir_.path(), true), 0u);

  writeFile(dir_.file("empty"), "");
  EXPECT_EQ(GetFileContent(dir_.file("empty")), "");
  EXPECT_TRUE(log.contains("local file '" + dir_.file("empty") + "' failed got content or null content:0x"));
  EXPECT_EQ(GetFileContent(dir_.path()), "");
  EXPECT_TRUE(log.contains("local file '" + dir_.path() + "' doesn't exist or is_dir:1"));
  EXPECT_EQ(GetFileSize(dir_.file("missing"), true), 0u);
  EXPECT_TRUE(log.contains("GetFileSize '" + dir_.file("missing") + "' failed"));
  EXPECT_EQ(GetFileSize(dir_.file("missing2"), false), 0u);
  EXPECT_FALSE(log.contains("missing2"));
}

TEST_F(FileUtilTest, ContentAndSizeThroughALinkAreTheTargetsWhole) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += std::to_string(i) + ",";  // longer than the link's own text
  writeFile(dir_.file("target"), bytes);
  ASSERT_EQ(symlink(dir_.file("target").c_str(), dir_.file("link").c_str()), 0);
  EXPECT_EQ(GetFileSize(dir_.file("link"), true), bytes.size());
  EXPECT_EQ(GetFileContent(dir_.file("link")), bytes);
}

TEST_F(FileUtilTest, TwoGibFileIsRefusedByTheWholeFileReader) {
  tool_test::LogCapture log;
  const std::string big = dir_.file("sparse");
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);  // sparse: no disk space used
  close(fd);
  EXPECT_EQ(GetFileContent(big), "");
  EXPECT_TRUE(log.contains("files of 2 GiB or more are not supported")) << log.text();
}

TEST_F(FileUtilTest, RenameReplacesAnExistingTarget) {
  writeFile(dir_.file("src"), "new");
  writeFile(dir_.file("dst"), "old");
  EXPECT_TRUE(RenameFile(dir_.file("src"), dir_.file("dst")));
  EXPECT_EQ(readFile(dir_.file("dst")), "new");
  EXPECT_FALSE(IsPathExist(dir_.file("src"), nullptr));
  writeFile(dir_.file("s2"), "2");
  EXPECT_TRUE(RenameFile(dir_.file("s2"), dir_.file("fresh")));
  EXPECT_EQ(readFile(dir_.file("fresh")), "2");
}

TEST_F(FileUtilTest, FailedRenameKeepsTheTarget) {
  tool_test::LogCapture log;
  writeFile(dir_.file("dst"), "keep me");
  EXPECT_FALSE(RenameFile(dir_.file("missing"), dir_.file("dst")));
  EXPECT_EQ(readFile(dir_.file("dst")), "keep me");
  // A folder cannot replace a file, nor a file a folder: both stay.
  ASSERT_EQ(mkdir(dir_.file("folder").c_str(), 0755), 0);
  EXPECT_FALSE(RenameFile(dir_.file("folder"), dir_.file("dst")));
  EXPECT_EQ(readFile(dir_.file("dst")), "keep me");
  EXPECT_FALSE(RenameFile(dir_.file("dst"), dir_.file("folder")));
  EXPECT_TRUE(IsDir(dir_.file("folder")));
  EXPECT_EQ(readFile(dir_.file("dst")), "keep me");
}

TEST_F(FileUtilTest, RemoveFileRemovesFilesOnly) {
  writeFile(dir_.file("f"), "x");
  EXPECT_TRUE(RemoveFile(dir_.file("f")));
  EXPECT_FALSE(RemoveFile(dir_.file("f")));
  EXPECT_FALSE(RemoveFile(dir_.path()));
  EXPECT_TRUE(IsDir(dir_.path()));
}

TEST_F(FileUtilTest, ModifiedTimeRoundTrip) {
  const std::string file = dir_.file("t");
  writeFile(file, "x");
  EXPECT_TRUE(SetFileModifiedTime(file, 1700000000.9));
  EXPECT_EQ(GetFileModifiedTime(file), 1700000000.0);
  EXPECT_TRUE(SetFileModifiedTime(file, -86400.5));  // before 1970, truncated toward zero
  EXPECT_EQ(GetFileModifiedTime(file), -86400.0);
  EXPECT_TRUE(std::isnan(GetFileModifiedTime(dir_.file("missing"))));
  EXPECT_FALSE(SetFileModifiedTime(dir_.path(), 1700000000));
  EXPECT_FALSE(SetFileModifiedTime(dir_.file("missing"), 1700000000));
}

TEST_F(FileUtilTest, SettingATimeNeverCreatesAFile) {
  // The link itself exists, what it names does not: nothing may appear there.
  ASSERT_EQ(symlink(dir_.file("nothing").c_str(), dir_.file("dangling").c_str()), 0);
  EXPECT_FALSE(SetFileModifiedTime(dir_.file("dangling"), 1700000000));
  struct stat info {};
  EXPECT_NE(::stat(dir_.file("nothing").c_str(), &info), 0);
}

TEST_F(FileUtilTest, TimeOutside32BitsIsStoredAndReadsAsTheLowestInt32) {
  const std::string file = dir_.file("t");
  writeFile(file, "x");
  for (double seconds : {4102444800.0 /* 2100-01-01 */, 2147483648.0}) {
    EXPECT_TRUE(SetFileModifiedTime(file, seconds));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(static_cast<double>(info.st_mtim.tv_sec), seconds);
    EXPECT_EQ(GetFileModifiedTime(file), -2147483648.0);
  }
}

TEST_F(FileUtilTest, NonFiniteTimesAreRefusedWithALine) {
  tool_test::LogCapture log;
  const std::string file = dir_.file("t");
  writeFile(file, "x");
  ASSERT_TRUE(SetFileModifiedTime(file, 1000));
  for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     DefaultDoubleNANValue(), 1e300, -1e300}) {
    EXPECT_FALSE(SetFileModifiedTime(file, bad)) << bad;
  }
  EXPECT_EQ(GetFileModifiedTime(file), 1000.0);
  EXPECT_TRUE(log.contains("is not a number"));
  EXPECT_TRUE(log.contains("is out of range"));
}

TEST_F(FileUtilTest, UnsetDouble) {
  EXPECT_EQ(std::bit_cast<uint64_t>(DefaultDoubleNANValue()), 0x7FF8000000000001u);
  EXPECT_TRUE(IsDefaultDoubleNANValue(DefaultDoubleNANValue()));
  EXPECT_TRUE(IsDefaultDoubleNANValue(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(IsDefaultDoubleNANValue(0.0));
  EXPECT_FALSE(IsDefaultDoubleNANValue(std::numeric_limits<double>::infinity()));
}

TEST_F(FileUtilTest, AppDataFollowsXdgThenHome) {
  // Both are restored however the test ends, the later setenv calls included.
  ScopedEnv home("HOME", dir_.path());
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(GetAppDataPath(), dir_.path() + "/.config/");
  EXPECT_TRUE(IsDir(dir_.file(".config")));
  setenv("XDG_CONFIG_HOME", dir_.file("cfg").c_str(), 1);
  EXPECT_EQ(GetAppDataPath(), dir_.file("cfg") + "/");
  EXPECT_TRUE(IsDir(dir_.file("cfg")));
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(GetAppDataPath(), dir_.path() + "/.config/");
}

TEST_F(FileUtilTest, ModulePathIsTheCallersFolder) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string program(exe, static_cast<std::size_t>(n));
  EXPECT_EQ(GetDllModulePath(), program.substr(0, program.rfind('/')));
}

TEST_F(FileUtilTest, FreeSpaceOfAPathAndTheBestMount) {
  uint64_t free_bytes = 12345;
  EXPECT_FALSE(GetPathDriveFreeSpace("", free_bytes));
  EXPECT_EQ(free_bytes, 12345u);
  EXPECT_FALSE(GetPathDriveFreeSpace("relative", free_bytes));
  EXPECT_EQ(free_bytes, 12345u);
  EXPECT_TRUE(GetPathDriveFreeSpace(dir_.file("not/yet/there.txt"), free_bytes));
  EXPECT_GT(free_bytes, 0u);
  std::string best = GetMostFreeSpaceDisk();
  if (!best.empty()) {
    EXPECT_EQ(best[0], '/');
    EXPECT_TRUE(IsDir(best));
  }
}

}  // namespace
