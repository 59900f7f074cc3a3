// Init configuration, the checks of qelapi_init and the log file it opens.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <log4cpp/Category.hh>

#include "qelapi.h"
#include "engine/init_config.h"
#include "base/log.h"
#include "QelApi/engine/engine_test_util.h"

namespace qel::test {

namespace {

TEST(InitConfigTest, ReadsStringMembersAndTreatsWrongTypesAsMissing) {
  InitConfig config =
      parseInitConfig(R"({"log_level":"info","log_path":7,"tmp_path":"/t","qel_id":["x"],)"
                      R"("ffmpeg_pathname":"/f","ffprobe_pathname":null,"hwaccel_vendor":"nvidia","other":1})");
  EXPECT_EQ(config.log_level, "info");
  EXPECT_EQ(config.log_path, "");
  EXPECT_EQ(config.tmp_path, "/t");
  EXPECT_EQ(config.qel_id, "");
  EXPECT_EQ(config.ffmpeg_pathname, "/f");
  EXPECT_EQ(config.ffprobe_pathname, "");
  EXPECT_EQ(config.hwaccel_vendor, "") << "never read from the init text";
}

TEST(InitConfigTest, UnparsableOrNonObjectRootGivesEmptyRecord) {
  for (const char* text : {"not json", "", "[1,2]", "\"tmp_path\"", "42", "null", "{\"tmp_path\":"}) {
    InitConfig config = parseInitConfig(text);
    EXPECT_TRUE(config.tmp_path.empty() && config.qel_id.empty() && config.log_level.empty()) << text;
  }
  EXPECT_TRUE(parseInitConfig(nullptr).tmp_path.empty());
}

TEST(InitConfigTest, LogLevelMapsExactly) {
  EXPECT_EQ(priorityFromLogLevel("debug"), 700);
  EXPECT_EQ(priorityFromLogLevel("info"), 600);
  EXPECT_EQ(priorityFromLogLevel("warn"), 400);
  EXPECT_EQ(priorityFromLogLevel("Debug"), 500);
  EXPECT_EQ(priorityFromLogLevel("error"), 500);
  EXPECT_EQ(priorityFromLogLevel(""), 500);
}

TEST(QelapiInitTest, NonJsonPrintsTheFiveLabelsAndGivesNull) {
  for (const char* text : {"this is not json", "[\"array root\"]"}) {
    testing::internal::CaptureStdout();
    void* handle = qelapi_init(text);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(out, "qelId:\nlogPath:\ntmpPath:\nffmpegPathName:\nffprobePathName:\n") << text;
  }
}

TEST(QelapiInitTest, MissingRequiredValuePrintsValuesAndGivesNull) {
  testing::internal::CaptureStdout();
  void* handle = qelapi_init(R"({"qel_id":"q1","tmp_path":"/tmp","ffmpeg_pathname":"/x/ffmpeg"})");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(out, "qelId:q1\nlogPath:\ntmpPath:/tmp\nffmpegPathName:/x/ffmpeg\nffprobePathName:\n");
}

TEST(QelapiInitTest, ValidConfigurationWritesProcessIdLine) {
  void* handle = initEngineWithLog("info");
  ASSERT_NE(handle, nullptr);
  EXPECT_GE(countInLog(fmt::format("Process ID: {}", ::getpid())), 1);
  EXPECT_EQ(rootPriority(), 600);
  qelapi_un_init(handle);
}

TEST(QelapiInitTest, LogLevelWithCapitalIsNotice) {
  void* handle = initEngineWithLog("Debug");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(rootPriority(), 500);
  qelapi_un_init(handle);
}

TEST(QelapiInitTest, MissingFfmpegGivesNullAndWarns) {
  TempDir dir;
  std::string missing = dir.file("no-ffmpeg");
  std::string text =
      fmt::format(R"({{"log_path":"{}","tmp_path":"/tmp","qel_id":"q","ffmpeg_pathname":"{}","ffprobe_pathname":"p"}})",
                  sharedLogDir(), missing);
  EXPECT_EQ(qelapi_init(text.c_str()), nullptr);
  EXPECT_EQ(countInLog("file don't exist: " + missing), 1);
}

TEST(QelapiInitTest, WithoutLogPathOrWithMissingFfprobeStillGivesHandle) {
  std::string text =
      fmt::format(R"({{"tmp_path":"/tmp","qel_id":"q","ffmpeg_pathname":"{}","ffprobe_pathname":"/nowhere/ffprobe"}})",
                  ffmpegPath());
  void* handle = qelapi_init(text.c_str());
  EXPECT_NE(handle, nullptr);
  qelapi_un_init(handle);
}

TEST(QelapiInitTest, TwoInitsShareOneAppender) {
  void* first = initEngineWithLog();
  void* second = initEngineWithLog();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  int fileAppenders = 0;
  for (log4cpp::Appender* appender : log4cpp::Category::getRoot().getAllAppenders()) {
    if (appender->getName() == "FileAppender") ++fileAppenders;
  }
  EXPECT_EQ(fileAppenders, 1);
  qelapi_un_init(first);
  qelapi_un_init(second);
}

TEST(QelapiInitTest, LogFileIsNotInheritedByChildren) {
  void* handle = initEngineWithLog();
  ASSERT_NE(handle, nullptr);
  std::string target = std::filesystem::canonical(sharedLogFile()).string();
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto link = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || link.string() != target) continue;
    int fd = std::atoi(entry.path().filename().c_str());
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "log descriptor " << fd;
    ++found;
  }
  EXPECT_GE(found, 1);
  qelapi_un_init(handle);
}

}  // namespace
}  // namespace qel::test
