// Ending stray ffmpeg processes by program path. The "ffmpeg" programs here are
// copies of /bin/sleep (or of this test program) named ffmpeg, in separate
// temporary folders. Copies, not links: a process's image name is the name of
// the executable file it runs, which a symbolic link does not change.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/process.h"
#include "engine/process_cleanup.h"
#include "qelapi.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

constexpr int kKilledBySigkill = 128 + 9;
constexpr const char* kHelperFlag = "--close-helper=";

std::string copyNamed(const TempDir& dir, const std::string& program, const std::string& name) {
  std::string path = dir.file(name);
  std::filesystem::copy_file(program, path);
  return path;
}

std::string copyAsFfmpeg(const TempDir& dir, const std::string& program) {
  return copyNamed(dir, program, "ffmpeg");
}

Subprocess startProgram(const std::vector<std::string>& argv) {
  Subprocess process;
  std::string error;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Null;
  options.stderrMode = ChildOutput::Null;
  EXPECT_TRUE(process.start(argv, options, error)) << error;
  return process;
}

TEST(CloseProcessTest, EndsCopiesStartedFromThePathAndSparesOthers) {
  TempDir ours;
  TempDir other;
  std::string ourFfmpeg = copyAsFfmpeg(ours, "/bin/sleep");
  std::string otherFfmpeg = copyAsFfmpeg(other, "/bin/sleep");
  Subprocess first = startProgram({ourFfmpeg, "30"});
  Subprocess second = startProgram({ourFfmpeg, "31"});
  Subprocess spared = startProgram({otherFfmpeg, "32"});

  qelapi_close_process(ourFfmpeg.c_str());

  EXPECT_EQ(first.wait(), kKilledBySigkill);
  EXPECT_EQ(second.wait(), kKilledBySigkill);
  EXPECT_FALSE(spared.tryWait().has_value()) << "a process from another folder was ended";
  spared.kill();
  spared.wait();
}

TEST(CloseProcessTest, ImageNameMustMatchTheFileName) {
  TempDir dir;
  // Its command line holds the path, but its image is "ffmpeg-old".
  std::string path = dir.file("ffmpeg");
  Subprocess unrelated = startProgram({copyNamed(dir, "/bin/sleep", "ffmpeg-old"), "33"});
  closeProcessByName(path);
  EXPECT_FALSE(unrelated.tryWait().has_value());
  unrelated.kill();
  unrelated.wait();
}

// Run only as a child of the test below: this program, started through a link
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
  std::string self = "/proc/self/exe";
  std::string helperFfmpeg = copyAsFfmpeg(helperDir, self);
  Subprocess sleeper = startProgram({sleeperFfmpeg, "34"});
  // The helper's image name is "ffmpeg" and its command line holds the
  // sleepers' path, so it matches its own search.
  Subprocess helper = startProgram({helperFfmpeg, "--gtest_filter=CloseProcessHelper.*",
                                    std::string(kHelperFlag) + sleeperFfmpeg});
  EXPECT_EQ(helper.wait(), 0) << "the calling process ended itself";
  EXPECT_EQ(sleeper.wait(), kKilledBySigkill);
}

}  // namespace
}  // namespace qel::test
