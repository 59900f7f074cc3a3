// Ending stray ffmpeg processes by program path. The "ffmpeg" programs here are
// symbolic links named ffmpeg, to /bin/sleep or to this test program, in
// separate temporary folders.
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

std::string linkNamedFfmpeg(const TempDir& dir, const std::string& target) {
  std::string path = dir.file("ffmpeg");
  std::filesystem::create_symlink(target, path);
  return path;
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
  std::string ourFfmpeg = linkNamedFfmpeg(ours, "/bin/sleep");
  std::string otherFfmpeg = linkNamedFfmpeg(other, "/bin/sleep");
  Subprocess first = startProgram({ourFfmpeg, "300"});
  Subprocess second = startProgram({ourFfmpeg, "301"});
  Subprocess spared = startProgram({otherFfmpeg, "302"});

  qelapi_close_process(ourFfmpeg.c_str());

  EXPECT_EQ(first.wait(), kKilledBySigkill);
  EXPECT_EQ(second.wait(), kKilledBySigkill);
  EXPECT_FALSE(spared.tryWait().has_value()) << "a process from another folder was ended";
  spared.kill();
  spared.wait();
}

TEST(CloseProcessTest, ImageNameMustMatchTheFileName) {
  TempDir dir;
  // A sleep whose command line holds the path but whose image is not "ffmpeg".
  std::string path = dir.file("ffmpeg");
  Subprocess unrelated = startProgram({"/bin/sleep", "303", path});
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
  std::string sleeperFfmpeg = linkNamedFfmpeg(sleepers, "/bin/sleep");
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string helperFfmpeg = linkNamedFfmpeg(helperDir, self);
  Subprocess sleeper = startProgram({sleeperFfmpeg, "304"});
  // The helper's image name is "ffmpeg" and its command line holds the
  // sleepers' path, so it matches its own search.
  Subprocess helper = startProgram({helperFfmpeg, "--gtest_filter=CloseProcessHelper.*",
                                    std::string(kHelperFlag) + sleeperFfmpeg});
  EXPECT_EQ(helper.wait(), 0) << "the calling process ended itself";
  EXPECT_EQ(sleeper.wait(), kKilledBySigkill);
}

}  // namespace
}  // namespace qel::test
