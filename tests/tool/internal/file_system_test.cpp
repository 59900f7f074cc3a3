// The internal file-system layer: stat records and mode bits, open modes,
// whole-file reads, listings, folder creation, capacity and renames.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/file_system.h"

namespace {

using namespace tool::filesystem_internal;
using qel::test::readFile;
using qel::test::TempDir;
using qel::test::writeFile;

class FileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs() { return *FileSystem::Instance(); }
  TempDir dir_;
};

TEST_F(FileSystemTest, ModeBitsOfFilesFoldersAndLinks) {
  writeFile(dir_.file("file"), "12345");
  ASSERT_EQ(mkdir(dir_.file("folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir_.file("folder").c_str(), dir_.file("to_folder").c_str()), 0);
  ASSERT_EQ(symlink(dir_.file("file").c_str(), dir_.file("to_file").c_str()), 0);
  ASSERT_EQ(symlink(dir_.file("nothing").c_str(), dir_.file("dangling").c_str()), 0);
  // A link's size is that of what stands behind it (what an open reaches),
  // never the length of the link's own text.
  struct Case {
    std::string name;
    uint16_t mode;
    int64_t size;
  };
  for (const Case& c : {Case{"file", 0x8000, 5}, Case{"folder", 0x4000, 0}, Case{"to_folder", 0x5000, 0},
                        Case{"to_file", 0x9000, 5}, Case{"dangling", 0x9000, 0}}) {
    FileStat record;
    ASSERT_TRUE(fs().GetAttributes(dir_.file(c.name), &record)) << c.name;
    EXPECT_EQ(record.st_mode, c.mode) << c.name;
    EXPECT_EQ(record.st_size, c.size) << c.name;
  }
  FileStat record;
  ASSERT_TRUE(fs().GetAttributes(dir_.file("file"), &record));
  EXPECT_EQ(record.st_size, 5);
  EXPECT_NEAR(record.modify_time, static_cast<double>(time(nullptr)), 60);
  EXPECT_NE(record.create_time, 0);
  ASSERT_TRUE(fs().GetAttributes(dir_.file("folder"), &record));
  EXPECT_EQ(record.st_size, 0);
  EXPECT_FALSE(fs().GetAttributes(dir_.file("missing"), &record));
}

TEST_F(FileSystemTest, BackslashesAreSeparatorsAndRelativePathsFail) {
  writeFile(dir_.file("f"), "x");
  bool is_directory = true;
  EXPECT_TRUE(fs().IsPathExist(dir_.path() + "\\f", &is_directory));
  EXPECT_FALSE(is_directory);
  EXPECT_TRUE(fs().IsPathExist(dir_.path(), &is_directory));
  EXPECT_TRUE(is_directory);
  EXPECT_FALSE(fs().IsPathExist("."));
  EXPECT_FALSE(fs().IsPathExist(""));
  EXPECT_EQ(fs().OpenDirectory("relative"), nullptr);
}

TEST_F(FileSystemTest, NullStatRecordIsLogged) {
  tool_test::LogCapture log;
  EXPECT_FALSE(fs().GetAttributes(dir_.path(), nullptr));
  EXPECT_TRUE(log.contains("FileSystem::GetAttributes with invalid param stat_ref: 0x0"));
}

TEST_F(FileSystemTest, OpenModes) {
  const std::string path = dir_.file("f");
  auto write = [&](int mode, const std::string& text) {
    ScopedFile file(fs().OpenFile(path, mode), FileCloser{&fs()});
    ASSERT_TRUE(file) << mode;
    EXPECT_EQ(fs().WriteFile(file.get(), text.data(), text.size()), text.size());
  };
  write(3, "abc");  // missing: created for writing
  EXPECT_EQ(readFile(path), "abc");
  {
    ScopedFile file(fs().OpenFile(path, 3), FileCloser{&fs()});  // existing: kept, read-write
    char buffer[8] = {};
    EXPECT_EQ(fs().ReadFile(file.get(), buffer, sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(fs().WriteFile(file.get(), "d", 1), 1u);
  }
  EXPECT_EQ(readFile(path), "abcd");
  write(4, "ef");  // append
  EXPECT_EQ(readFile(path), "abcdef");
  write(2, "g");  // write: emptied
  EXPECT_EQ(readFile(path), "g");
  {
    ScopedFile file(fs().OpenFile(path, 1), FileCloser{&fs()});
    EXPECT_EQ(fs().WriteFile(file.get(), "x", 1), 0u);  // read-only
  }
  std::remove(path.c_str());
  write(4, "new");  // append creates a missing file
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(fs().OpenFile(dir_.file("missing"), 1), nullptr);
}

TEST_F(FileSystemTest, OpenFailuresAreLogged) {
  tool_test::LogCapture log;
  EXPECT_EQ(fs().OpenFile(dir_.file("f"), 7), nullptr);
  EXPECT_TRUE(log.contains("OpenFile Error:22"));
  EXPECT_TRUE(log.contains("FileSystem::OpenFile failed, path:" + dir_.file("f") + ", openMode:7, errno:22, '"));
}

TEST_F(FileSystemTest, FoldersAndSpecialFilesAreNeverOpened) {
  ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0644), 0);
  for (int mode = 1; mode <= 4; ++mode) {
    // A FIFO without a writer would block the open; it must come back at once.
    EXPECT_EQ(fs().OpenFile(dir_.file("fifo"), mode), nullptr) << mode;
    EXPECT_EQ(fs().OpenFile(dir_.path(), mode), nullptr) << mode;
  }
  EXPECT_EQ(fs().OpenFile("/dev/null", 2), nullptr);
}

TEST_F(FileSystemTest, InvalidHandlesAreLogged) {
  tool_test::LogCapture log;
  char buffer[4];
  EXPECT_EQ(fs().ReadFile(nullptr, buffer, 4), 0u);
  EXPECT_EQ(fs().WriteFile(nullptr, buffer, 4), 0u);
  EXPECT_FALSE(fs().CloseFile(nullptr));
  EXPECT_FALSE(fs().ReadDirectory(nullptr, buffer));
  EXPECT_FALSE(fs().CloseDirectory(nullptr));
  uint64_t value = 0;
  EXPECT_FALSE(fs().GetDiskCapacity(dir_.path(), nullptr, &value));
  for (const char* line :
       {"FileSystem::ReadFile with invalid param file: 0x0, buffer:0x",
        "FileSystem::WriteFile with invalid param file: 0x0, buffer:0x",
        "FileSystem::CloseFile with invalid param file: 0x0", "FileSystem::ReadDirectory with invalid param dir: 0x0",
        "FileSystem::CloseDirectory with invalid param dir: 0x0",
        "FileSystem::WriteFile with invalid param capacity: 0x0, usage:0x"}) {
    EXPECT_TRUE(log.contains(line)) << line;
  }
}

TEST_F(FileSystemTest, ReadWholeFile) {
  writeFile(dir_.file("five"), "hello");
  char* buffer = nullptr;
  uint64_t size = 0;
  ASSERT_TRUE(fs().ReadWholeFile(dir_.file("five").c_str(), &buffer, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(buffer, "hello\0", 6), 0);
  std::free(buffer);
  writeFile(dir_.file("empty"), "");
  EXPECT_FALSE(fs().ReadWholeFile(dir_.file("empty").c_str(), &buffer, &size));
  EXPECT_FALSE(fs().ReadWholeFile(dir_.file("five").c_str(), nullptr, &size));
  EXPECT_FALSE(fs().ReadWholeFile(dir_.file("missing").c_str(), &buffer, &size));
}

TEST_F(FileSystemTest, ListingHoldsDotEntries) {
  writeFile(dir_.file("a"), "");
  ASSERT_EQ(mkdir(dir_.file("b").c_str(), 0755), 0);
  DirectoryHandle* dir = fs().OpenDirectory(dir_.path());
  ASSERT_NE(dir, nullptr);
  std::set<std::string> names;
  char name[513];
  while (fs().ReadDirectory(dir, name)) names.insert(name);
  EXPECT_TRUE(fs().CloseDirectory(dir));
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "b"}));
  EXPECT_EQ(fs().OpenDirectory(dir_.file("a")), nullptr);
  EXPECT_EQ(fs().OpenDirectory(dir_.file("missing")), nullptr);
}

TEST_F(FileSystemTest, EmptyDirectoryPathIsLogged) {
  tool_test::LogCapture log;
  EXPECT_EQ(fs().OpenDirectory(""), nullptr);
  EXPECT_TRUE(log.contains("open entire disk filesystem directory or null path?, path:(null)"));
}

TEST_F(FileSystemTest, CreateDirectory) {
  tool_test::LogCapture log;
  writeFile(dir_.file("file"), "x");
  EXPECT_TRUE(fs().CreateDirectory(dir_.file("file")));  // something stands there
  EXPECT_EQ(readFile(dir_.file("file")), "x");
  EXPECT_TRUE(fs().CreateDirectory(dir_.file("new")));
  EXPECT_FALSE(fs().CreateDirectory(dir_.file("no/such/parent")));
  EXPECT_TRUE(log.contains(" ERROR ["));
  EXPECT_TRUE(log.contains("FileSystem::CreateDirectory failed, path:" + dir_.file("no/such/parent") + ", errno:2"));
}

TEST_F(FileSystemTest, RenameNeverReplaces) {
  tool_test::LogCapture log;
  writeFile(dir_.file("a"), "A");
  writeFile(dir_.file("b"), "B");
  EXPECT_FALSE(fs().RenameFile(dir_.file("a"), dir_.file("b")));
  EXPECT_EQ(readFile(dir_.file("b")), "B");
  EXPECT_TRUE(
      log.contains("FileSystem::RenameFile failed, " + dir_.file("a") + " -> " + dir_.file("b") + ", errno:17"));
  EXPECT_TRUE(fs().RenameFile(dir_.file("a"), dir_.file("c")));
  EXPECT_EQ(readFile(dir_.file("c")), "A");
  EXPECT_TRUE(fs().ReplaceFile(dir_.file("c"), dir_.file("b")));
  EXPECT_EQ(readFile(dir_.file("b")), "A");
}

TEST_F(FileSystemTest, CapacityOfAPathNotYetCreated) {
  uint64_t capacity = 0, usage = 0;
  ASSERT_TRUE(fs().GetDiskCapacity(dir_.file("a/b/c.txt"), &capacity, &usage));
  EXPECT_GT(capacity, 0u);
  EXPECT_LE(usage, capacity);
  EXPECT_FALSE(fs().GetDiskCapacity("", &capacity, &usage));
  EXPECT_FALSE(fs().GetDiskCapacity("rel/path", &capacity, &usage));
  EXPECT_EQ(fs().PathSeparator(), "/");
}

TEST_F(FileSystemTest, RootIsJoinedInFront) {
  FileSystem rooted(dir_.path());
  writeFile(dir_.file("inside"), "x");
  EXPECT_EQ(rooted.LocalPath("inside"), dir_.path() + "/inside");
  EXPECT_TRUE(rooted.IsPathExist("inside"));
  EXPECT_TRUE(rooted.IsPathExist("\\inside"));
}

}  // namespace
