// Walking folder trees and removing them, only ever inside temporary folders
// with HOME pointed at a temporary folder.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tool/fake_home.h"
#include "tool/log_capture.h"
#include "tool/system_call_count.h"
#include "support/test_support.h"
#include "tool/directory_walk.h"
#include "tool/logger.h"

namespace {

using namespace tool;
using qel::test::TempDir;
using qel::test::writeFile;

// Registered before main runs the tests.
[[maybe_unused]] const auto* const kFakeHome = tool_test::FakeHomeEnvironment::instance();

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// A folder outside the tree whose files must survive every removal.
class Canary {
 public:
  Canary(const std::string& folder, int files) : folder_(folder), files_(files) {
    ::mkdir(folder.c_str(), 0755);
    for (int i = 0; i < files; ++i) writeFile(folder + "/f" + std::to_string(i), "alive");
  }
  const std::string& folder() const { return folder_; }
  // Names of the files that are gone.
  std::string Missing() const {
    std::string missing;
    for (int i = 0; i < files_; ++i) {
      if (!Exists(folder_ + "/f" + std::to_string(i))) missing += " f" + std::to_string(i);
    }
    return missing;
  }

 private:
  std::string folder_;
  int files_;
};

bool WriteWhole(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
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
      root_,
      [&](const std::string& path, bool is_directory) {
        seen.emplace_back(path, is_directory);
        return true;
      },
      true));
  std::set<std::pair<std::string, bool>> expected = {{root_ + "/a.txt", false},          {root_ + "/sub", true},
                                                     {root_ + "/sub/b.txt", false},      {root_ + "/sub/deep", true},
                                                     {root_ + "/sub/deep/c.txt", false}, {root_ + "/empty", true}};
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
  EXPECT_TRUE(log.contains("found link file:'" + root_ + "/link' while RecursiveInDirectory:'" + root_ + "', ignored"));
}

// A name read from the disk that holds "\\" would be split there when the
// reported path is handed back: a program removing each folder the walk
// reports would remove "cache/..\\victimdir" as the sibling victimdir. The walk
// leaves such names out (logged); the removal of the whole tree takes them as
// single names, and neither reaches outside the tree.
TEST_F(DirectoryWalkTest, NamesHoldingABackslashAreLeftOutOfTheWalk) {
  const Canary victim(root_ + "/victimdir", 3);
  const std::string cache = root_ + "/cache";
  ASSERT_EQ(::mkdir(cache.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((cache + "/plain").c_str(), 0755), 0);
  struct Hostile {
    const char* name;
    bool folder;
  } const hostile[] = {{"..\\victimdir", true}, {"a\\b", true}, {"..\\victimdir\\f0", false}, {"trailing\\", false}};
  for (const Hostile& h : hostile) {
    const std::string path = cache + "/" + h.name;
    if (h.folder) {
      ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << h.name;
      writeFile(path + "/inside.txt", "hostile");
    } else {
      writeFile(path, "hostile");
    }
  }
  tool_test::LogCapture log;
  std::set<std::string> reported;
  EXPECT_TRUE(RecursiveInDirectory(
      cache,
      [&](const std::string& path, bool is_directory) {
        reported.insert(path);
        if (is_directory) RemoveDirectoryW(path, true);
        return true;
      },
      true));
  EXPECT_EQ(reported, std::set<std::string>{cache + "/plain"});
  EXPECT_EQ(victim.Missing(), "");
  for (const Hostile& h : hostile) {
    EXPECT_TRUE(log.contains(std::string("found name holding '\\':'") + h.name + "' while RecursiveInDirectory:'" +
                             cache + "', ignored"))
        << h.name;
  }
  EXPECT_TRUE(RemoveDirectoryW(cache, true));
  EXPECT_FALSE(Exists(cache));
  EXPECT_EQ(victim.Missing(), "");
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

// A folder swapped for a link to a canary folder, back and forth while the
// tree is removed, never lets the removal reach the canary.
TEST_F(DirectoryWalkTest, FolderSwappedForALinkDuringTheRemovalNeverRedirectsIt) {
  const Canary canary(dir_.file("canary"), 40);
  const std::string tree = dir_.file("swapped");
  const std::string sub = tree + "/sub";
  const std::string aside = dir_.file("aside");
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int rounds = 0;
  for (; rounds < 150 && std::chrono::steady_clock::now() < give_up; ++rounds) {
    ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    for (int i = 0; i < 40; ++i) writeFile(sub + "/f" + std::to_string(i), "tree");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop) {
        if (::rename(sub.c_str(), aside.c_str()) != 0) continue;  // removed meanwhile
        ::symlink(canary.folder().c_str(), sub.c_str());
        std::this_thread::yield();
        ::unlink(sub.c_str());
        ::rename(aside.c_str(), sub.c_str());
      }
    });
    RemoveDirectoryW(tree, true);  // fails whenever it meets the link
    stop = true;
    swapper.join();
    ASSERT_EQ(canary.Missing(), "") << "in round " << rounds;
    std::filesystem::remove_all(tree);  // never follows links
    std::filesystem::remove_all(aside);
  }
  EXPECT_GT(rounds, 0);
}

// A tmpfs and a bind mount of a canary folder inside the tree are neither
// walked nor removed, and the removal fails as for a folder that can't be
// emptied. Mounting needs a child process with user and mount namespaces of
// its own; where the system gives none, the test is skipped.
TEST_F(DirectoryWalkTest, MountPointsInsideTheTreeAreLeftAlone) {
  const Canary canary(dir_.file("canary"), 5);
  const std::string bind = root_ + "/sub/bind";
  const std::string tmpfs = root_ + "/sub/deep/tmpfs";
  ASSERT_EQ(::mkdir(bind.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(tmpfs.c_str(), 0755), 0);
  const std::string log_path = dir_.file("child.log");
  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    auto tell = [&](const std::string& text, int code) {
      if (::write(report[1], text.data(), text.size()) < 0) code = 3;
      ::_exit(code);
    };
    auto why = [](const char* step) { return std::string(step) + ": " + std::strerror(errno); };
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) tell(why("unshare"), 77);
    if (!WriteWhole("/proc/self/setgroups", "deny") ||
        !WriteWhole("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteWhole("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      tell(why("id maps"), 77);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) tell(why("private mounts"), 77);
    if (::mount("none", tmpfs.c_str(), "tmpfs", 0, "size=1m") != 0) tell(why("tmpfs"), 77);
    if (::mount(canary.folder().c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) != 0) tell(why("bind"), 77);
    writeFile(tmpfs + "/inside.txt", "kept");
    SetLogTarget(log_path);
    const bool removed = RemoveDirectoryW(root_, true);
    SetLogTarget("");
    std::string faults;
    if (removed) faults += " the removal succeeded;";
    if (!canary.Missing().empty()) faults += " canary files gone:" + canary.Missing() + ";";
    if (!Exists(tmpfs + "/inside.txt")) faults += " the tmpfs was emptied;";
    if (Exists(root_ + "/a.txt") || Exists(root_ + "/sub/b.txt")) faults += " the rest of the tree stayed;";
    tell(faults, faults.empty() ? 0 : 1);
  }
  ::close(report[1]);
  std::string told;
  char buffer[512];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) told.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for this test: " << told;
  EXPECT_EQ(WEXITSTATUS(status), 0) << told;
  EXPECT_EQ(canary.Missing(), "");
  const std::string log = qel::test::readFile(log_path);
  EXPECT_NE(log.find("found mount point:'" + bind + "' while RemoveDirectory:'" + root_ + "/sub', ignored"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("found mount point:'" + tmpfs + "' while RemoveDirectory:'" + root_ + "/sub/deep', ignored"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("FileSystem RemoveDirectory:'" + root_ + "' with sub_dir:'" + root_ + "/sub/deep', failed"),
            std::string::npos)
      << log;
}

// Removal makes the same few system calls for every folder, whatever its
// depth: a chain of folders twice as deep takes about twice as many calls,
// where resolving each folder's whole path again would take about four times
// as many.
TEST_F(DirectoryWalkTest, RemovalCallsTheSystemInProportionToTheDepth) {
  auto remove_chain = [&](int depth) {
    const std::string top = dir_.file("chain" + std::to_string(depth));
    std::string folder = top;
    for (int level = 0; level <= depth; ++level, folder += "/d") {
      EXPECT_EQ(::mkdir(folder.c_str(), 0755), 0) << folder;
    }
    return tool_test::CountSystemCalls([&] { return RemoveDirectoryW(top, true) && !Exists(top) ? 0 : 1; });
  };
  const tool_test::TracedRun shallow = remove_chain(200);
  if (!shallow.traced) GTEST_SKIP() << "this system does not let the test trace a child";
  const tool_test::TracedRun deep = remove_chain(400);
  ASSERT_EQ(shallow.exitCode, 0);
  ASSERT_EQ(deep.exitCode, 0);
  EXPECT_LT(deep.systemCalls * 2, shallow.systemCalls * 5)
      << "200 folders: " << shallow.systemCalls << " calls, 400 folders: " << deep.systemCalls;
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

// The user's Documents may be a link to a folder somewhere else: when that
// folder lies in the tree, the tree is refused as a whole all the same.
TEST_F(DirectoryWalkTest, ProtectedFolderLinkedIntoTheTreeIsSeen) {
  tool_test::LogCapture log;
  const std::string documents = tool_test::FakeHomeEnvironment::home() + "/Documents";
  const std::string real = documents + ".real";
  ASSERT_EQ(::rename(documents.c_str(), real.c_str()), 0);
  ASSERT_EQ(::mkdir((root_ + "/docs").c_str(), 0755), 0);
  writeFile(root_ + "/docs/precious.txt", "p");
  ASSERT_EQ(::symlink((root_ + "/docs").c_str(), documents.c_str()), 0);
  EXPECT_FALSE(RemoveDirectoryW(root_, true));
  EXPECT_TRUE(Exists(root_ + "/docs/precious.txt"));
  EXPECT_TRUE(Exists(root_ + "/a.txt"));  // nothing at all was deleted
  EXPECT_TRUE(log.contains("FileSystem skip RemoveDirectory:" + root_ + "/docs"));
  ::unlink(documents.c_str());
  ASSERT_EQ(::rename(real.c_str(), documents.c_str()), 0);
}

}  // namespace
