// The library's logger through its exported C functions: line layout, severity
// threshold and names, log targets, the rewrite rule of large files, message
// cutting, wide lines, and lines staying whole while the target changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/subprocess.h"
#include "support/test_support.h"
#include "tool/logger.h"

namespace {

using qel::test::readFile;
using qel::test::TempDir;
using qel::test::writeFile;

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sends fd 2 to a file while alive, so lines written to standard error can be read.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return readFile(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetLogTarget("");
    SetLogSeverity(4);
  }
  TempDir dir_;
};

TEST_F(LoggerTest, LineLayoutCarriesTimeSeverityProgramPidAndThread) {
  const std::string log = dir_.file("layout.log");
  SetLogTarget(log);
  DebugLog(2, "random error");
  std::string expected =
      "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} ERROR \\[test_tool:" + std::to_string(getpid()) + ":" +
      Hex(static_cast<unsigned>(gettid())) + "\\] random error\n$";
  EXPECT_TRUE(std::regex_match(readFile(log), std::regex(expected))) << readFile(log);
}

TEST_F(LoggerTest, SeverityNamesAndThreshold) {
  struct Case {
    int level;
    int threshold;
    const char* name;  // nullptr: nothing is written
  };
  const Case cases[] = {
      {5, 4, nullptr}, {5, 5, "DEBUG"},   {0, 4, "NONE"},  {-1, 4, "UNDEF"}, {7, 6, nullptr},
      {7, 7, "UNDEF"}, {6, 6, "VERBO"},   {1, 4, "FATAL"}, {3, 4, "WARN"},   {4, 4, "INFO"},
      {4, 3, nullptr}, {-5, -6, nullptr}, {2, 2, "ERROR"},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string log = dir_.file("severity" + std::to_string(index++) + ".log");
    SetLogTarget(log);
    SetLogSeverity(c.threshold);
    DebugLog(c.level, "message %d", c.level);
    SetLogTarget("");
    std::string text = readFile(log);
    if (c.name == nullptr) {
      EXPECT_EQ(text, "") << "level " << c.level << " threshold " << c.threshold;
    } else {
      EXPECT_NE(text.find(std::string(" ") + c.name + " ["), std::string::npos) << text;
      EXPECT_NE(text.find("] message " + std::to_string(c.level) + "\n"), std::string::npos) << text;
    }
  }
}

TEST_F(LoggerTest, LargeLogFileIsStartedAfreshSmallerOneAppended) {
  struct Case {
    std::size_t size;
    bool emptied;
  };
  for (Case c : {Case{10485760, false}, Case{10485761, true}}) {
    const std::string log = dir_.file("big.log");
    writeFile(log, std::string(c.size, 'x'));
    SetLogTarget(log);
    DebugLog(4, "after");
    SetLogTarget("");
    std::string text = readFile(log);
    if (c.emptied) {
      EXPECT_LT(text.size(), 200u);
      EXPECT_NE(text.find("] after\n"), std::string::npos);
    } else {
      EXPECT_GT(text.size(), c.size);
      EXPECT_EQ(text.substr(0, c.size), std::string(c.size, 'x'));
    }
  }
}

TEST_F(LoggerTest, TargetInMissingFolderFallsBackToStandardError) {
  StderrCapture err(dir_.file("stderr.txt"));
  SetLogTarget(dir_.file("missing/folder/x.log"));
  DebugLog(4, "to stderr");
  EXPECT_NE(err.text().find("] to stderr\n"), std::string::npos);
  EXPECT_FALSE(qel::test::readFile(dir_.file("stderr.txt")).empty());
}

TEST_F(LoggerTest, EmptyTargetOnStandardErrorChangesNothing) {
  StderrCapture err(dir_.file("stderr.txt"));
  SetLogTarget("");
  SetLogTarget("");
  DebugLog(4, "still here");
  EXPECT_NE(err.text().find("] still here\n"), std::string::npos);
}

TEST_F(LoggerTest, SecondFileClosesTheFirst) {
  const std::string first = dir_.file("first.log");
  const std::string second = dir_.file("second.log");
  SetLogTarget(first);
  DebugLog(4, "one");
  SetLogTarget(second);
  DebugLog(4, "two");
  EXPECT_NE(readFile(first).find("one"), std::string::npos);
  EXPECT_EQ(readFile(first).find("two"), std::string::npos);
  EXPECT_NE(readFile(second).find("two"), std::string::npos);
  // The first file's descriptor is gone: nothing in /proc/self/fd points at it.
  for (int fd = 0; fd < 1024; ++fd) {
    char link[4096];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    if (n > 0) {
      EXPECT_NE(std::string(link, static_cast<std::size_t>(n)), first);
    }
  }
}

TEST_F(LoggerTest, OverlongMessageIsCutAndStillEndsTheLine) {
  const std::string log = dir_.file("long.log");
  SetLogTarget(log);
  std::string message(5000000, 'm');
  DebugLog(4, "%s", message.c_str());
  DebugLogW(4, L"%S", message.c_str());
  SetLogTarget("");
  std::vector<std::string> lines = Lines(readFile(log));
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_LT(line.size(), 4096000u);
    EXPECT_GT(line.size(), 4095000u);
    EXPECT_EQ(line.back(), 'm');
  }
  EXPECT_EQ(readFile(log).back(), '\n');
}

TEST_F(LoggerTest, FormatsKeepTheirMeaningWhateverTheLocale) {
  const std::string log = dir_.file("formats.log");
  SetLogTarget(log);
  int object = 0;
  DebugLog(4, "narrow %s wide %S at 0x%p", "h\xC3\xA9", L"\u00e9\U0001F600", static_cast<void*>(&object));
  DebugLogW(4, L"wide %s narrow %S char %c num %5.2f %lld", L"\u4e2d\u6587", "caf\xC3\xA9", L'\u00fc', 3.14159, -42LL);
  SetLogTarget("");
  std::vector<std::string> lines = Lines(readFile(log));
  ASSERT_EQ(lines.size(), 2u);
  char address[32];
  std::snprintf(address, sizeof address, "0x%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&object)));
  EXPECT_NE(lines[0].find("] narrow h\xC3\xA9 wide \xC3\xA9\xF0\x9F\x98\x80 at " + std::string(address)),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" INFO [test_tool:"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("] wide \xE4\xB8\xAD\xE6\x96\x87 narrow caf\xC3\xA9 char \xC3\xBC num  3.14 -42"),
            std::string::npos)
      << lines[1];
}

TEST_F(LoggerTest, WideLineWithSurrogatePairBecomesOneCodePoint) {
  const std::string log = dir_.file("pair.log");
  SetLogTarget(log);
  const wchar_t pair[] = {0xD83D, 0xDE00, L'!', 0xDC00, 0};
  DebugLogW(4, L"%s", pair);
  SetLogTarget("");
  EXPECT_NE(readFile(log).find("] \xF0\x9F\x98\x80!\xEF\xBF\xBD\n"), std::string::npos) << readFile(log);
}

TEST_F(LoggerTest, ProgramNameOutsideAsciiIsTheSameInNarrowAndWideLines) {
  const std::string program = dir_.file(
      "pr\xC3\xBC"
      "fer");  // "prüfer" in UTF-8
  std::filesystem::copy_file(qel::test::binDir() + "/tool_log_probe", program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  qel::Subprocess child;
  std::string error;
  ASSERT_TRUE(child.start({program}, qel::SpawnOptions{}, error)) << error;
  std::string output;
  while (child.readSome(output, std::chrono::seconds(10)) == qel::ReadStatus::Data) {
  }
  EXPECT_EQ(child.wait(), 0);
  const std::vector<std::string> lines = Lines(output);
  ASSERT_EQ(lines.size(), 2u) << output;
  EXPECT_NE(lines[0].find(" INFO [pr\xC3\xBC"
                          "fer:"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" INFO [pr\xC3\xBC"
                          "fer:"),
            std::string::npos)
      << lines[1];
}

TEST_F(LoggerTest, LinesStayWholeWhileTheTargetChanges) {
  const std::string a = dir_.file("a.log");
  const std::string b = dir_.file("b.log");
  SetLogTarget(a);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&stop, t] {
      const std::string body(3000, static_cast<char>('a' + t));
      while (!stop) {
        if (t % 2) {
          DebugLog(4, "<%s>", body.c_str());
        } else {
          DebugLogW(4, L"<%S>", body.c_str());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    SetLogTarget(i % 2 ? a : b);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (std::thread& w : writers) w.join();
  SetLogTarget("");
  // Checked by hand: std::regex recurses per character on lines this long.
  std::size_t count = 0;
  for (const std::string& path : {a, b}) {
    for (const std::string& line : Lines(readFile(path))) {
      ++count;
      std::size_t open = line.find("] <");
      ASSERT_NE(open, std::string::npos) << line.substr(0, 120);
      EXPECT_NE(line.find(" INFO ["), std::string::npos);
      std::string body = line.substr(open + 3);
      ASSERT_EQ(body.size(), 3001u) << line.substr(0, 120);
      EXPECT_EQ(body.back(), '>');
      EXPECT_EQ(body.find_first_not_of(body[0]), 3000u);
    }
  }
  EXPECT_GT(count, 0u);
}

}  // namespace
