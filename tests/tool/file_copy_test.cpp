// Copying files and folder trees inside temporary folders.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/file_copy.h"

namespace {

using namespace tool;
using qel::test::readFile;
using qel::test::TempDir;
using qel::test::writeFile;

constexpr uint64_t kMiB = 1048576;

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return data;
}

class FileCopyTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FileCopyTest, ThreeMibReportsEveryThirdAndCopiesExactly) {
  const std::string data = Pattern(3 * kMiB);
  writeFile(dir_.file("src"), data);
  std::vector<int> percents;
  EXPECT_TRUE(CopyFileW(dir_.file("src"), dir_.file("out/deeper/dst"), [&](uint64_t done, uint64_t size, float ratio) {
    EXPECT_EQ(size, 3 * kMiB);
    EXPECT_FLOAT_EQ(ratio, static_cast<float>(done) / static_cast<float>(size));
    percents.push_back(static_cast<int>(ratio * 100.0f));
    return true;
  }));
  EXPECT_EQ(percents, (std::vector<int>{33, 66, 100}));
  EXPECT_EQ(readFile(dir_.file("out/deeper/dst")), data);
}

TEST_F(FileCopyTest, AbortLeavesTheFirstChunkAndTheLine) {
  tool_test::LogCapture log;
  writeFile(dir_.file("src"), Pattern(3 * kMiB));
  int calls = 0;
  EXPECT_FALSE(
      CopyFileW(dir_.file("src"), dir_.file("dst"), [&](uint64_t, uint64_t, float) { return ++calls, false; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(readFile(dir_.file("dst")).size(), kMiB);
  EXPECT_TRUE(log.contains("copy " + dir_.file("src") + " to " + dir_.file("dst") + " abort by callback"));
}

TEST_F(FileCopyTest, EmptyFileAndEmptyCallback) {
  writeFile(dir_.file("empty"), "");
  int calls = 0;
  EXPECT_TRUE(
      CopyFileW(dir_.file("empty"), dir_.file("dst"), [&](uint64_t, uint64_t, float) { return ++calls, true; }));
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(Exists(dir_.file("dst")));
  EXPECT_EQ(readFile(dir_.file("dst")), "");
  writeFile(dir_.file("small"), "small");
  EXPECT_TRUE(CopyFileW(dir_.file("small"), dir_.file("dst2"), nullptr));
  EXPECT_EQ(readFile(dir_.file("dst2")), "small");
}

TEST_F(FileCopyTest, LinksAndMissingSourcesAreRefused) {
  tool_test::LogCapture log;
  writeFile(dir_.file("real"), "x");
  ASSERT_EQ(::symlink(dir_.file("real").c_str(), dir_.file("link").c_str()), 0);
  EXPECT_FALSE(CopyFileW(dir_.file("link"), dir_.file("dst"), nullptr));
  EXPECT_TRUE(log.contains("found link file while CopyFile '" + dir_.file("link") + "' -> '" + dir_.file("dst") +
                           "', ignored"));
  EXPECT_FALSE(CopyFileW(dir_.file("missing"), dir_.file("dst"), nullptr));
  EXPECT_TRUE(log.contains("src doesn't exist"));
  EXPECT_FALSE(Exists(dir_.file("dst")));
}

TEST_F(FileCopyTest, CopyOntoItselfIsRefusedAndKeepsTheSource) {
  tool_test::LogCapture log;
  writeFile(dir_.file("src"), "precious");
  ASSERT_EQ(::link(dir_.file("src").c_str(), dir_.file("hard").c_str()), 0);
  for (const std::string& target : {dir_.file("src"), dir_.file("hard"), dir_.path() + "/./src"}) {
    EXPECT_FALSE(CopyFileW(dir_.file("src"), target, nullptr)) << target;
    EXPECT_EQ(readFile(dir_.file("src")), "precious");
  }
  EXPECT_TRUE(log.contains("src and dst are the same file"));
  EXPECT_FALSE(CopyDirectory(dir_.path(), dir_.path() + "/", nullptr));
  EXPECT_TRUE(log.contains("src and dst are the same folder"));
}

TEST_F(FileCopyTest, SparseSourceLargerThanTheFreeSpaceIsRefusedBeforeReading) {
  tool_test::LogCapture log;
  struct statvfs info {};
  ASSERT_EQ(::statvfs(dir_.path().c_str(), &info), 0);
  const off_t free_bytes = static_cast<off_t>(info.f_bfree) * static_cast<off_t>(info.f_frsize);
  int fd = ::open(dir_.file("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  if (::ftruncate(fd, free_bytes + static_cast<off_t>(kMiB)) != 0) {
    ::close(fd);
    GTEST_SKIP() << "this file system cannot hold a sparse file that large";
  }
  ::close(fd);
  int calls = 0;
  EXPECT_FALSE(
      CopyFileW(dir_.file("sparse"), dir_.file("new/dst"), [&](uint64_t, uint64_t, float) { return ++calls, true; }));
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(Exists(dir_.file("new")));
  EXPECT_TRUE(log.contains("', dst file system full("));
}

// The same copy where the kernel cannot move the data itself (between two
// file systems): it is read and written instead, with the same reports.
TEST_F(FileCopyTest, CopyAcrossFileSystemsReadsAndWrites) {
  struct stat shm {
  }, here{};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir_.path().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no /dev/shm on a file system of its own";
  }
  char pattern[] = "/dev/shm/qel-copy-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string other = pattern;
  const std::string data = Pattern(3 * kMiB + 5);
  writeFile(other + "/src", data);
  std::vector<int> percents;
  auto record = [&](uint64_t, uint64_t, float ratio) {
    percents.push_back(static_cast<int>(ratio * 100.0f));
    return true;
  };
  bool there = CopyFileW(other + "/src", dir_.file("back"), record);
  bool back = CopyFileW(dir_.file("back"), other + "/again", record);
  const std::string again = readFile(other + "/again");
  ::unlink((other + "/src").c_str());
  ::unlink((other + "/again").c_str());
  ::rmdir(other.c_str());
  EXPECT_TRUE(there);
  EXPECT_TRUE(back);
  EXPECT_EQ(readFile(dir_.file("back")), data);
  EXPECT_EQ(again, data);
  EXPECT_EQ(percents, (std::vector<int>{33, 66, 99, 100, 33, 66, 99, 100}));
}

TEST_F(FileCopyTest, ShortWriteFailsTheCopy) {
  tool_test::LogCapture log;
  writeFile(dir_.file("src"), Pattern(3 * kMiB));
  // Writes past 1.5 MiB fail (EFBIG) while the limit is lowered.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &saved), 0);
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit low = old_limit;
  low.rlim_cur = 3 * kMiB / 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  bool copied = CopyFileW(dir_.file("src"), dir_.file("dst"), nullptr);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &saved, nullptr);
  EXPECT_FALSE(copied);
  EXPECT_TRUE(log.contains("FileSystem::WriteFile failed, 0x"));
  EXPECT_TRUE(log.contains("failed, short write"));
}

class CopyDirectoryTest : public FileCopyTest {
 protected:
  void SetUp() override {
    src_ = dir_.file("src");
    for (const char* folder : {"src", "src/sub", "src/empty"}) ASSERT_EQ(::mkdir(dir_.file(folder).c_str(), 0755), 0);
    writeFile(src_ + "/a.txt", "aaaa");
    writeFile(src_ + "/sub/b.txt", "bbbbbbbb");
  }
  std::string src_;
};

TEST_F(CopyDirectoryTest, CopiesTheTreeWithProgressAndEmptyFolders) {
  struct Report {
    uint64_t done, size, total_done, total, number, count;
    float ratio;
  };
  std::map<std::string, Report> last;
  std::set<uint64_t> numbers;
  EXPECT_TRUE(CopyDirectory(src_, dir_.file("dst"),
                            [&](const std::string& file, uint64_t done, uint64_t size, uint64_t total_done,
                                uint64_t total, float ratio, uint64_t number, uint64_t count) {
                              last[file] = {done, size, total_done, total, number, count, ratio};
                              numbers.insert(number);
                              return true;
                            }));
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(numbers, (std::set<uint64_t>{1, 2}));
  for (const auto& [file, report] : last) {
    EXPECT_EQ(report.count, 2u);
    EXPECT_EQ(report.total, 12u);
    EXPECT_EQ(report.done, report.size);
    EXPECT_EQ(report.total_done, report.number == 2 ? 12u : report.size);
  }
  EXPECT_EQ(last[src_ + "/sub/b.txt"].size, 8u);
  EXPECT_EQ(readFile(dir_.file("dst/a.txt")), "aaaa");
  EXPECT_EQ(readFile(dir_.file("dst/sub/b.txt")), "bbbbbbbb");
  struct stat info {};
  EXPECT_EQ(::stat(dir_.file("dst/empty").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

// Reports of a tree with a file of several chunks among small ones: per file
// and in total they only go up, each file's last one is its whole size, and
// the last one of the copy is the whole tree with the ratio 1.
TEST_F(CopyDirectoryTest, ReportsRiseToTheWholeTreeAndTheCopyIsExact) {
  const std::string large = Pattern(5 * kMiB / 2);
  writeFile(src_ + "/sub/large.bin", large);
  for (int i = 0; i < 20; ++i) writeFile(src_ + "/sub/f" + std::to_string(i), Pattern(100 + 1000 * i));
  struct Report {
    std::string file;
    uint64_t done, size, total_done, total, number;
    float ratio;
  };
  std::vector<Report> reports;
  ASSERT_TRUE(CopyDirectory(src_, dir_.file("dst"),
                            [&](const std::string& file, uint64_t done, uint64_t size, uint64_t total_done,
                                uint64_t total, float ratio, uint64_t number, uint64_t) {
                              reports.push_back({file, done, size, total_done, total, number, ratio});
                              return true;
                            }));
  ASSERT_FALSE(reports.empty());
  for (std::size_t i = 1; i < reports.size(); ++i) {
    const Report& before = reports[i - 1];
    const Report& now = reports[i];
    EXPECT_GT(now.total_done, before.total_done) << i;
    EXPECT_GE(now.ratio, before.ratio) << i;
    if (now.number == before.number) {
      EXPECT_EQ(now.file, before.file);
      EXPECT_GT(now.done, before.done) << now.file;
    } else {
      EXPECT_EQ(now.number, before.number + 1);
      EXPECT_EQ(before.done, before.size) << before.file;
    }
  }
  EXPECT_EQ(reports.back().total_done, reports.back().total);
  EXPECT_EQ(reports.back().ratio, 1.0f);
  EXPECT_EQ(reports.back().number, 23u);
  std::vector<uint64_t> large_done;
  for (const Report& report : reports) {
    if (report.file == src_ + "/sub/large.bin") large_done.push_back(report.done);
  }
  EXPECT_EQ(large_done, (std::vector<uint64_t>{kMiB, 2 * kMiB, 5 * kMiB / 2}));
  EXPECT_EQ(readFile(dir_.file("dst/sub/large.bin")), large);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(readFile(dir_.file("dst/sub/f" + std::to_string(i))), Pattern(100 + 1000 * i));
  }
}

// The room is checked once for the whole tree; a tree that does not fit
// falls back to the check of each file, so what fits is still copied.
TEST_F(CopyDirectoryTest, AFileLargerThanTheFreeRoomIsRefusedAndTheRestCopied) {
  struct statvfs info {};
  ASSERT_EQ(::statvfs(dir_.path().c_str(), &info), 0);
  const off_t free_bytes = static_cast<off_t>(info.f_bfree) * static_cast<off_t>(info.f_frsize);
  int fd = ::open((src_ + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  if (::ftruncate(fd, free_bytes + static_cast<off_t>(kMiB)) != 0) {
    ::close(fd);
    GTEST_SKIP() << "this file system cannot hold a sparse file that large";
  }
  ::close(fd);
  tool_test::LogCapture log;
  EXPECT_FALSE(CopyDirectory(src_, dir_.file("dst"), nullptr));
  EXPECT_TRUE(log.contains("failed CopyFile '" + src_ + "/sparse' -> '" + dir_.file("dst") +
                           "/sparse', dst file system full("));
  EXPECT_FALSE(Exists(dir_.file("dst/sparse")));
  EXPECT_EQ(readFile(dir_.file("dst/a.txt")), "aaaa");
  EXPECT_EQ(readFile(dir_.file("dst/sub/b.txt")), "bbbbbbbb");
  EXPECT_TRUE(Exists(dir_.file("dst/empty")));
}

TEST_F(CopyDirectoryTest, LinksAreNotCopiedAndFalseStops) {
  ASSERT_EQ(::symlink(src_.c_str(), (src_ + "/loop").c_str()), 0);
  EXPECT_TRUE(CopyDirectory(src_, dir_.file("dst"), nullptr));
  EXPECT_FALSE(Exists(dir_.file("dst/loop")));
  int calls = 0;
  EXPECT_FALSE(CopyDirectory(src_, dir_.file("dst2"),
                             [&](const std::string&, uint64_t, uint64_t, uint64_t, uint64_t, float, uint64_t,
                                 uint64_t) { return ++calls, false; }));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Exists(dir_.file("dst2/empty")));
}

// A name read from the disk that holds "\\" would be split there when read as
// a path: "x\\..\\..\\victim.txt" beside a link x to a folder two levels down
// would read the source's victim.txt and write a victim.txt beside the
// destination. Such names are left out (logged); nothing outside the
// destination is written, and the rest of the tree is copied.
TEST_F(CopyDirectoryTest, NameHoldingABackslashNeverLeadsOutOfTheDestination) {
  const std::string victim = dir_.file("victim.txt");
  writeFile(victim, "original");
  ASSERT_EQ(::mkdir((src_ + "/r").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((src_ + "/r/a").c_str(), 0755), 0);
  writeFile(src_ + "/victim.txt", "PAYLOAD");
  ASSERT_EQ(::symlink("r/a", (src_ + "/x").c_str()), 0);
  writeFile(src_ + "/x\\..\\..\\victim.txt", "decoy");
  ASSERT_EQ(::mkdir((src_ + "/sub/c\\..\\..").c_str(), 0755), 0);
  writeFile(src_ + "/sub/c\\..\\../victim.txt", "decoy in a folder");
  tool_test::LogCapture log;
  EXPECT_TRUE(CopyDirectory(src_, dir_.file("dst"), nullptr));
  EXPECT_EQ(readFile(victim), "original");
  EXPECT_EQ(readFile(dir_.file("dst/victim.txt")), "PAYLOAD");
  EXPECT_EQ(readFile(dir_.file("dst/sub/b.txt")), "bbbbbbbb");
  for (const char* left_out : {"dst/x", "dst/x\\..\\..\\victim.txt", "dst/sub/c", "dst/sub/c\\..\\.."}) {
    EXPECT_FALSE(Exists(dir_.file(left_out))) << left_out;
  }
  EXPECT_TRUE(log.contains("found name holding '\\':'x\\..\\..\\victim.txt' while RecursiveInDirectory:'" + src_ +
                           "', ignored"));
  EXPECT_TRUE(
      log.contains("found name holding '\\':'c\\..\\..' while RecursiveInDirectory:'" + src_ + "/sub', ignored"));
}

TEST_F(CopyDirectoryTest, CopyIntoItsOwnSubfolderIsRefusedAndKeepsTheSource) {
  // Copied into src/sub, src/a.txt would land on the source's own sub/a.txt.
  writeFile(src_ + "/sub/a.txt", "the sub folder's own");
  tool_test::LogCapture log;
  for (const std::string& target : {src_ + "/sub", src_ + "/sub/", src_ + "/sub/new/deeper", src_ + "/empty/../sub"}) {
    EXPECT_FALSE(CopyDirectory(src_, target, nullptr)) << target;
    EXPECT_EQ(readFile(src_ + "/sub/a.txt"), "the sub folder's own") << target;
    EXPECT_FALSE(Exists(src_ + "/sub/sub")) << target;
    EXPECT_FALSE(Exists(src_ + "/sub/new")) << target;
  }
  EXPECT_TRUE(log.contains("failed CopyDirectory '" + src_ + "' -> '" + src_ + "/sub', dst is inside src"));
  // A link into the source is no way around it.
  ASSERT_EQ(::symlink((src_ + "/sub").c_str(), dir_.file("to_sub").c_str()), 0);
  EXPECT_FALSE(CopyDirectory(src_, dir_.file("to_sub") + "/copy", nullptr));
  EXPECT_FALSE(Exists(src_ + "/sub/copy"));
  // A sibling whose name merely starts like the source is outside it.
  EXPECT_TRUE(CopyDirectory(src_, src_ + "-copy", nullptr));
  EXPECT_EQ(readFile(src_ + "-copy/sub/a.txt"), "the sub folder's own");
}

TEST_F(CopyDirectoryTest, SourceMustBeAFolder) {
  tool_test::LogCapture log;
  EXPECT_FALSE(CopyDirectory(src_ + "/a.txt", dir_.file("dst"), nullptr));
  EXPECT_FALSE(CopyDirectory("", dir_.file("dst"), nullptr));
  EXPECT_FALSE(CopyDirectory(src_, "", nullptr));
  EXPECT_EQ(log.text(), "");
}

}  // namespace
