// The set of folders a removal refuses, as a pure function of a fake home.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tool/protected_paths.h"

namespace {

using namespace tool::filesystem_internal;
using qel::test::TempDir;

TEST(ProtectedPathsTest, SystemFoldersAsWrittenOrNormalised) {
  const ProtectedPaths set = BuildProtectedPaths("", "", "");
  struct Case {
    std::string path;
    bool refused;
  };
  const Case cases[] = {
      {"/", true},
      {"//", true},
      {"/usr/./", true},
      {"/x/../usr", true},
      {"/usr/share/doc", true},
      {"/usr/local/", true},
      {"/etc", true},
      {"/etc/", true},
      {"/var/lib", true},
      {"/var", true},
      {"/tmp", true},
      {"/proc", true},
      {"/sys", true},
      {"/dev", true},
      {"/run", true},
      {"/home", true},
      {"/root", true},
      {"/boot", true},
      {"/opt", true},
      {"/srv", true},
      {"/mnt", true},
      {"/media", true},
      {"/bin", true},
      {"/sbin", true},
      {"/lib", true},
      {"/lib64", true},
      {"/var/lib/x-never", false},
      {"/tmp/x-never", false},
      {"/usrx", false},
      {"/etcetera-never", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsProtectedPath(set, c.path), c.refused) << c.path;
}

TEST(ProtectedPathsTest, FakeHomeWithDocumentsAndUserDirs) {
  TempDir dir;
  const std::string home = dir.file("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((home + "/.config").c_str(), 0755), 0);
  qel::test::writeFile(home + "/.config/user-dirs.dirs",
                       "# written by xdg-user-dirs-update\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n"
                       "XDG_VIDEOS_DIR=\"/srv/videos-never\"\n");
  const ProtectedPaths set = BuildProtectedPaths(home, dir.file("cfg"), "");
  struct Case {
    std::string path;
    bool refused;
  };
  const Case cases[] = {
      {home, true},
      {home + "/", true},
      {home + "/Documents", true},
      {home + "/./Documents/", true},
      {home + "/Desktop", true},
      {home + "/Downloads", true},
      {home + "/.config", true},
      {home + "/.local/share", true},
      {home + "/Musik", true},
      {"/srv/videos-never", true},
      {dir.file("cfg"), true},
      {home + "/Documents/old", false},
      {home + "/projects", false},
      {dir.path(), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsProtectedPath(set, c.path), c.refused) << c.path;
}

TEST(ProtectedPathsTest, LinksAreResolvedBeforeComparing) {
  TempDir dir;
  const ProtectedPaths set = BuildProtectedPaths("", "", "");
  ASSERT_EQ(::symlink("/usr", dir.file("to_usr").c_str()), 0);
  ASSERT_EQ(::symlink("/", dir.file("to_root").c_str()), 0);
  EXPECT_TRUE(IsProtectedPath(set, dir.file("to_usr")));
  EXPECT_TRUE(IsProtectedPath(set, dir.file("to_usr/lib")));
  EXPECT_TRUE(IsProtectedPath(set, dir.file("to_root/etc")));
  EXPECT_FALSE(IsProtectedPath(set, dir.file("plain")));
}

TEST(ProtectedPathsTest, Normalisation) {
  EXPECT_EQ(NormalisePath("/a//b/./c/../"), "/a/b");
  EXPECT_EQ(NormalisePath("/"), "/");
  EXPECT_EQ(NormalisePath("///"), "/");
}

}  // namespace
