// Ending stray ffmpeg processes by program path. The "ffmpeg" programs here are
// copies of /bin/sleep (or of this test program) named ffmpeg, in separate
// temporary folders. Copies, not links: a process's image name is the name of
// the executable file it runs, which a symbolic link does not change. Strays
// are made the way programs leave them behind (support/stray_process.h); live
// work is a child of this test, or of a program that is still running.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/process_table.h"
#include "common/subprocess.h"
#include "engine/process_cleanup.h"
#include "qelapi.h"
#include "support/stray_process.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

constexpr int kKilledBySigkill = 128 + 9;
constexpr auto kEndBound = std::chrono::seconds(10);
constexpr const char* kHelperFlag = "--close-helper=";

std::string copyNamed(const TempDir& dir, const std::string& program, const std::string& name) {
  std::string path = dir.file(name);
  std::filesystem::copy_file(program, path);
  return path;
}

std::string copyAsFfmpeg(const TempDir& dir, const std::string& program) { return copyNamed(dir, program, "ffmpeg"); }

Subprocess startProgram(const std::vector<std::string>& argv) {
  Subprocess process;
  std::string error;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Null;
  options.stderrMode = ChildOutput::Null;
  EXPECT_TRUE(process.start(argv, options, error)) << error;
  return process;
}

// The edge case of the clean-up: two strays started from the path are ended,
// a stray from another folder is not. Live programs started from the same
// path are another program's work and stay, whether they share their
// parent's session or lead one of their own.
TEST(CloseProcessTest, EndsStraysOfThePathOnly) {
  TempDir ours;
  TempDir other;
  const std::string ourFfmpeg = copyAsFfmpeg(ours, "/bin/sleep");
  const std::string otherFfmpeg = copyAsFfmpeg(other, "/bin/sleep");
  StrayProcess first({ourFfmpeg, "30"});
  StrayProcess second({ourFfmpeg, "31"});
  StrayProcess otherFolder({otherFfmpeg, "32"});
  ASSERT_NE(first.pid(), 0);
  ASSERT_NE(second.pid(), 0);
  ASSERT_NE(otherFolder.pid(), 0);
  ASSERT_EQ(readProcess(first.pid()).value_or(ProcessEntry{}).parentPid, ::getpid()) << "not handed to this test";
  Subprocess liveChild = startProgram({ourFfmpeg, "33"});
  Subprocess liveLeader = startProgram({"/usr/bin/setsid", ourFfmpeg, "34"});

  qelapi_close_process(ourFfmpeg.c_str());

  EXPECT_EQ(first.waitFor(kEndBound), std::optional<int>(kKilledBySigkill));
  EXPECT_EQ(second.waitFor(kEndBound), std::optional<int>(kKilledBySigkill));
  EXPECT_FALSE(otherFolder.waitFor(std::chrono::milliseconds(0)).has_value()) << "a stray of another folder was ended";
  EXPECT_FALSE(liveChild.tryWait().has_value()) << "live work of the path was ended";
  EXPECT_FALSE(liveLeader.tryWait().has_value()) << "live work leading its own session was ended";
}

// The rule on the fields /proc gives, including the parents a test cannot
// arrange: init and a parent outside the pid namespace.
TEST(CloseProcessTest, StrayRule) {
  auto entry = [](pid_t pid, pid_t parent, pid_t session) {
    ProcessEntry e;
    e.pid = pid;
    e.parentPid = parent;
    e.sessionId = session;
    return e;
  };
  struct Case {
    const char* name;
    ProcessEntry process;
    std::optional<ProcessEntry> parent;
    bool stray;
  } cases[] = {
      {"handed to init", entry(500, 1, 400), entry(1, 0, 1), true},
      {"handed to init, parent unread", entry(500, 1, 400), std::nullopt, true},
      {"child in its parent's session", entry(500, 300, 200), entry(300, 200, 200), false},
      {"child that leads its own session", entry(500, 300, 500), entry(300, 200, 200), false},
      {"adopted by a sub-reaper", entry(500, 300, 400), entry(300, 200, 200), true},
      {"parent outside the namespace", entry(500, 0, 400), std::nullopt, false},
      {"parent gone meanwhile", entry(500, 300, 400), std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isStrayProcess(c.process, c.parent), c.stray) << c.name;
  }
}

TEST(CloseProcessTest, ImageNameMustMatchTheFileName) {
  TempDir dir;
  // Its command line holds the path, but its image is "ffmpeg-old".
  std::string path = dir.file("ffmpeg");
  StrayProcess unrelated({copyNamed(dir, "/bin/sleep", "ffmpeg-old"), "33"});
  ASSERT_NE(unrelated.pid(), 0);
  closeProcessByName(path);
  EXPECT_FALSE(unrelated.waitFor(std::chrono::milliseconds(200)).has_value());
}

// Run only as a child of the test below: this program, started through a copy
// named ffmpeg with the path to close on its command line, closes that path and
// must survive its own clean-up.
TEST(CloseProcessHelper, CloseFromMatchingProcess) {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  size_t flag = raw.find(kHelperFlag);
  if (flag == std::string::npos) GTEST_SKIP() << "helper for CloseProcessTest.SparesTheCallingProcess";
  std::string path = raw.substr(flag + std::strlen(kHelperFlag));
  path = path.substr(0, path.find('\0'));
  closeProcessByName(path);
}

TEST(CloseProcessTest, SparesTheCallingProcess) {
  TempDir sleepers;
  TempDir helperDir;
  std::string sleeperFfmpeg = copyAsFfmpeg(sleepers, "/bin/sleep");
  std::string helperFfmpeg = copyAsFfmpeg(helperDir, "/proc/self/exe");
  StrayProcess sleeper({sleeperFfmpeg, "34"});
  // The helper's image name is "ffmpeg", its command line holds the
  // sleepers' path and it is a stray itself, so it matches its own search.
  StrayProcess helper({helperFfmpeg, "--gtest_filter=CloseProcessHelper.*", std::string(kHelperFlag) + sleeperFfmpeg});
  ASSERT_NE(helper.pid(), 0);
  EXPECT_EQ(helper.waitFor(std::chrono::seconds(60)), std::optional<int>(0)) << "the calling process ended itself";
  EXPECT_EQ(sleeper.waitFor(kEndBound), std::optional<int>(kKilledBySigkill));
}

}  // namespace
}  // namespace qel::test
