// Path text functions on "\" (their texts stay Windows-shaped) and GetFullPath.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tool/path_util.h"

namespace {

using namespace tool;

TEST(PathUtilTest, AppendingPathComponent) {
  struct Case {
    std::string base, component, separator, joined;
  };
  const Case cases[] = {
      {"D:\\dir", "a.txt", "\\", "D:\\dir\\a.txt"},
      {"D:\\dir\\", "\\a.txt", "\\", "D:\\dir\\a.txt"},
      {"", "a", "\\", "a"},
      {"", "", "\\", ""},
      {"D:\\dir", "", "\\", "D:\\dir\\"},
      {"/tmp", "x", "/", "/tmp/x"},
      {"/", "/x", "/", "/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(AppendingPathComponent(c.base, c.component, c.separator), c.joined);
}

TEST(PathUtilTest, BaseDirExtensionAndTitle) {
  struct Case {
    std::string path, base, dir, extension, title;
  };
  const Case cases[] = {
      {"D:\\dir\\a.txt", "a.txt", "D:\\dir", ".txt", "a"},
      {"a.txt", "", "", "", ""},
      {"D:\\dir\\", "", "D:\\dir", "", ""},
      {"\\a.txt", "a.txt", "", ".txt", "a"},
      {"D:\\dir\\archive.tar.gz", "archive.tar.gz", "D:\\dir", ".gz", "archive.tar"},
      {"D:\\dir\\.hidden", ".hidden", "D:\\dir", ".hidden", ""},
      {"D:\\dir\\README", "README", "D:\\dir", "", "README"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPathBaseName(c.path, "\\"), c.base) << c.path;
    EXPECT_EQ(GetPathDirName(c.path, "\\"), c.dir) << c.path;
    EXPECT_EQ(GetPathExtension(c.path, "\\"), c.extension) << c.path;
    EXPECT_EQ(GetPathTitle(c.path, "\\"), c.title) << c.path;
  }
}

TEST(PathUtilTest, SeparatorConversionsAndUniquePrefix) {
  EXPECT_EQ(ToLocalPath("a/b\\c/"), "a\\b\\c\\");
  EXPECT_EQ(ToDevicePath("a/b\\c\\"), "a/b/c/");
  EXPECT_EQ(ToFileSystemUniquePath("D:\\x"), "\\\\?\\D:\\x");
  EXPECT_EQ(ToFileSystemUniquePath("\\\\host\\share"), "\\\\host\\share");
  EXPECT_EQ(ToFileSystemUniquePath("\\\\?\\D:\\x"), "\\\\?\\D:\\x");
}

TEST(PathUtilTest, FullPathIsAbsoluteAndNormalised) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(GetFullPath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(GetFullPath("\\a\\b\\..\\c"), "/a/c");
  EXPECT_EQ(GetFullPath("x/y"), std::string(cwd) + "/x/y");
  EXPECT_EQ(GetFullPath(""), "");
}

}  // namespace
