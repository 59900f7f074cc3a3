// The output a command writes beside its place: the private folder, what a
// commit moves into place and what it leaves, and the run text that names the
// staged file instead of the output.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "engine/staged_output.h"
#include "support/as_other_user.h"
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

// ---- What a replaced file keeps -------------------------------------------------------

struct stat statOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

// Prepares `output`, has "ffmpeg" write `files` (by name) into the private
// folder and commits; the commit's error, empty on success.
std::string writeAndCommit(const std::string& output, const std::vector<std::string>& files) {
  StagedOutput staged(output);
  std::string error;
  if (!staged.prepare(error)) return "prepare: " + error;
  const fs::path folder = fs::path(stagedPath(staged)).parent_path();
  for (const std::string& file : files) writeFile(folder / file, "new " + file);
  return staged.commit(error) ? std::string() : error;
}

TEST(StagedOutput, AReplacedFileKeepsItsPermissionBitsOwnerAndGroup) {
  // Root may give the result the old owner; any process may give it the
  // mode. Set-id bits are not carried onto a file written anew.
  const bool root = ::geteuid() == 0;
  struct Case {
    mode_t mode;
    mode_t expected;
  };
  for (const Case& c : {Case{0600, 0600}, Case{0640, 0640}, Case{0444, 0444}, Case{04755, 0755}, Case{02770, 0770}}) {
    SCOPED_TRACE(c.mode);
    TempDir dir;
    const std::string out = dir.file("private.mp4");
    writeFile(out, "the user's file");
    if (root) {
      ASSERT_EQ(::chown(out.c_str(), kOtherUid, kOtherUid), 0);
    }
    ASSERT_EQ(::chmod(out.c_str(), c.mode), 0);
    const struct stat before = statOf(out);
    if (root || c.mode & 0200) {
      ASSERT_EQ(writeAndCommit(out, {"private.mp4"}), "");
      EXPECT_EQ(readFile(out), "new private.mp4");
      const struct stat after = statOf(out);
      EXPECT_EQ(after.st_mode & 07777, c.expected);
      EXPECT_EQ(after.st_uid, before.st_uid);
      EXPECT_EQ(after.st_gid, before.st_gid);
    } else {
      // Not root: a file the process may not write is not replaced.
      EXPECT_EQ(writeAndCommit(out, {"private.mp4"}), "prepare: " + out + ": Permission denied");
      EXPECT_EQ(readFile(out), "the user's file");
    }
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"private.mp4"});
  }

  // A new file, and one that replaces a link, get what ffmpeg would give a
  // new file; the link's target is not touched.
  TempDir dir;
  writeFile(dir.file("linked.mp4"), "the link's target");
  ASSERT_EQ(::chmod(dir.file("linked.mp4").c_str(), 0600), 0);
  fs::create_symlink("linked.mp4", dir.file("link.mp4"));
  const mode_t umask = ::umask(0);
  ::umask(umask);
  for (const char* name : {"fresh.mp4", "link.mp4"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(writeAndCommit(dir.file(name), {name}), "");
    EXPECT_EQ(statOf(dir.file(name)).st_mode & 07777, 0666 & ~umask);
  }
  EXPECT_EQ(readFile(dir.file("linked.mp4")), "the link's target");
}

// An access ACL in the kernel's form: user::rw-, user:`uid`:r--, group::r--,
// mask::r--, other::---.
std::string aclGranting(uid_t uid) {
  std::string blob;
  const auto put = [&blob](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) blob += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  put(2, 4);  // the format's version
  const std::vector<std::array<uint32_t, 3>> entries = {
      {0x01, 6, 0xffffffff}, {0x02, 4, uid}, {0x04, 4, 0xffffffff}, {0x10, 4, 0xffffffff}, {0x20, 0, 0xffffffff}};
  for (const auto& [tag, permissions, id] : entries) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return blob;
}

std::optional<std::string> aclOf(const std::string& path) {
  char buffer[256];
  const ssize_t size = ::lgetxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
  if (size < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(size));
}

TEST(StagedOutput, AReplacedFileKeepsItsAccessList) {
  TempDir dir;
  const std::string out = dir.file("shared.mp4");
  writeFile(out, "the user's file");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  const std::string acl = aclGranting(4321);
  if (::lsetxattr(out.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "the file system keeps no access lists: " << std::strerror(errno);
  }
  ASSERT_EQ(writeAndCommit(out, {"shared.mp4"}), "");
  EXPECT_EQ(readFile(out), "new shared.mp4");
  EXPECT_EQ(aclOf(out), acl);
  EXPECT_EQ(statOf(out).st_mode & 07777, 0640u);
  // A file without a list gets none.
  const std::string plain = dir.file("plain.mp4");
  writeFile(plain, "the user's file");
  ASSERT_EQ(writeAndCommit(plain, {"plain.mp4"}), "");
  EXPECT_EQ(aclOf(plain), std::nullopt);
}

// Runs the body with commit() moving files as on a file system with
// renameat2's swap, and as on one without.
void withEitherWayOfMoving(const std::function<void()>& body) {
  for (const bool swaps : {true, false}) {
    SCOPED_TRACE(swaps ? "files swapped into place" : "files renamed into place");
    setRenameSwapsForTesting(swaps);
    body();
  }
  setRenameSwapsForTesting(true);
}

TEST(StagedOutput, ASequenceMovesIntoPlaceWholeOrNotAtAll) {
  withEitherWayOfMoving([] {
  TempDir dir;
  writeFile(dir.file("s1.png"), "the user's first");
  writeFile(dir.file("s3.png"), "the user's third");
  fs::create_directory(dir.file("s2.png"));
  EXPECT_EQ(writeAndCommit(dir.file("s%d.png"), {"s1.png", "s2.png", "s3.png", "s4.png"}),
            dir.file("s2.png") + ": Is a directory");
  EXPECT_EQ(readFile(dir.file("s1.png")), "the user's first");
  EXPECT_EQ(readFile(dir.file("s3.png")), "the user's third");
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"s1.png", "s2.png", "s3.png"}));
  });
}

// A folder of `uid`'s own with `mode`, in a folder that user may enter.
std::unique_ptr<TempDir> folderOf(uid_t uid, mode_t mode) {
  auto dir = std::make_unique<TempDir>();
  EXPECT_EQ(::chown(dir->path().c_str(), uid, uid), 0);
  EXPECT_EQ(::chmod(dir->path().c_str(), mode), 0);
  return dir;
}

void ownedFile(const std::string& path, const std::string& text, uid_t uid, gid_t gid, mode_t mode) {
  writeFile(path, text);
  ASSERT_EQ(::chown(path.c_str(), uid, gid), 0);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// The failures of a check made in the child, as one text.
struct ChildChecks {
  std::string failures;
  void expect(bool holds, const std::string& what) {
    if (!holds) failures += what + "\n";
  }
  template <typename T>
  void expectEq(const T& actual, const T& expected, const std::string& what) {
    if (!(actual == expected)) failures += what + ": got '" + testing::PrintToString(actual) + "'\n";
  }
};

TEST(StagedOutput, AsAnotherUserOnlyWhatThatUserMayWriteIsReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "the files of another user are made as root";
  const std::unique_ptr<TempDir> own = folderOf(kOtherUid, 0755);
  const std::unique_ptr<TempDir> closed = folderOf(kOtherUid, 0555);
  ownedFile(own->file("ro.mkv"), "read-only", kOtherUid, kOtherUid, 0444);
  ownedFile(own->file("rw.mkv"), "writable", kOtherUid, kOtherUid, 0644);
  ownedFile(own->file("group.mkv"), "the group's", 0, kOtherUid, 0660);
  ownedFile(own->file("p2.png"), "a read-only frame", kOtherUid, kOtherUid, 0444);
  ownedFile(own->file("foreign-group.mkv"), "root's group's", kOtherUid, 0, 0660);
  ownedFile(closed->file("own.mkv"), "in a closed folder", kOtherUid, kOtherUid, 0644);

  std::string skip;
  const std::optional<std::string> failures = runAsUser(
      kOtherUid,
      [&] {
        ChildChecks check;
        // ffmpeg's own open would be refused: so is the replacement, before
        // anything runs.
        check.expectEq(writeAndCommit(own->file("ro.mkv"), {"ro.mkv"}),
                       "prepare: " + own->file("ro.mkv") + ": Permission denied", "a read-only file");
        check.expectEq(readFile(own->file("ro.mkv")), std::string("read-only"), "the read-only file");
        // Made read-only while ffmpeg works: refused at the commit.
        {
          StagedOutput staged(own->file("rw.mkv"));
          std::string error;
          check.expect(staged.prepare(error), "prepare rw.mkv: " + error);
          writeFile(stagedPath(staged), "new");
          ::chmod(own->file("rw.mkv").c_str(), 0444);
          check.expect(!staged.commit(error), "the commit over a file made read-only succeeded");
          check.expectEq(error, own->file("rw.mkv") + ": Permission denied", "its error");
          check.expectEq(readFile(own->file("rw.mkv")), std::string("writable"), "the file made read-only");
        }
        // One read-only frame: no frame moves.
        check.expectEq(writeAndCommit(own->file("p%d.png"), {"p1.png", "p2.png", "p3.png"}),
                       own->file("p2.png") + ": Permission denied", "a sequence with a read-only frame");
        check.expectEq(readFile(own->file("p2.png")), std::string("a read-only frame"), "the read-only frame");
        check.expect(!fs::exists(own->file("p1.png")) && !fs::exists(own->file("p3.png")), "a frame moved");
        // A file of the group: the group stays, the owner cannot.
        check.expectEq(writeAndCommit(own->file("group.mkv"), {"group.mkv"}), std::string(), "the group's file");
        const struct stat group = statOf(own->file("group.mkv"));
        check.expectEq(group.st_gid, static_cast<gid_t>(kOtherUid), "its group");
        check.expectEq(group.st_mode & 07777, static_cast<mode_t>(0660), "its mode");
        // A file of a group the process is not in: the result is in its own
        // group, which gets no more than others.
        check.expectEq(writeAndCommit(own->file("foreign-group.mkv"), {"foreign-group.mkv"}), std::string(),
                       "the foreign group's file");
        const struct stat foreign = statOf(own->file("foreign-group.mkv"));
        check.expectEq(foreign.st_gid, static_cast<gid_t>(kOtherUid), "its group");
        check.expectEq(foreign.st_mode & 07777, static_cast<mode_t>(0600), "its mode");
        // The folder cannot hold the private folder: said so, with its name.
        check.expectEq(writeAndCommit(closed->file("own.mkv"), {"own.mkv"}),
                       "prepare: the output's folder cannot be written: " + closed->path() + ": Permission denied",
                       "a closed folder");
        check.expectEq(readFile(closed->file("own.mkv")), std::string("in a closed folder"), "its file");
        return check.failures;
      },
      skip);
  if (!failures) GTEST_SKIP() << skip;
  EXPECT_EQ(*failures, "");
  EXPECT_EQ(namesIn(own->path()),
            (std::set<std::string>{"ro.mkv", "rw.mkv", "group.mkv", "foreign-group.mkv", "p2.png"}));
  EXPECT_EQ(namesIn(closed->path()), std::set<std::string>{"own.mkv"});
}

TEST(StagedOutput, AMoveThatFailsAfterOthersPutsThemBack) {
  // In a folder open to all with the sticky bit (as /tmp is), a user may
  // write another user's file that allows it but may not replace it: the
  // check before the moves cannot know, the move fails, and the frames moved
  // before it are put back: the user's own file as it was, a new frame gone.
  if (::geteuid() != 0) GTEST_SKIP() << "the files of another user are made as root";
  withEitherWayOfMoving([] {
    const std::unique_ptr<TempDir> shared = folderOf(0, 01777);
    ownedFile(shared->file("s2.png"), "the user's second", kOtherUid, kOtherUid, 0640);
    ownedFile(shared->file("s3.png"), "someone else's", kOtherUid - 1, kOtherUid - 1, 0666);
    std::string skip;
    const std::optional<std::string> failures = runAsUser(
        kOtherUid,
        [&] {
          ChildChecks check;
          check.expectEq(writeAndCommit(shared->file("s%d.png"), {"s1.png", "s2.png", "s3.png", "s4.png"}),
                         shared->file("s3.png") + ": Operation not permitted", "the commit");
          return check.failures;
        },
        skip);
    if (!failures) GTEST_SKIP() << skip;
    EXPECT_EQ(*failures, "");
    EXPECT_EQ(readFile(shared->file("s2.png")), "the user's second");
    const struct stat second = statOf(shared->file("s2.png"));
    EXPECT_EQ(second.st_uid, kOtherUid);
    EXPECT_EQ(second.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(shared->file("s3.png")), "someone else's");
    EXPECT_EQ(namesIn(shared->path()), (std::set<std::string>{"s2.png", "s3.png"}));
  });
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
