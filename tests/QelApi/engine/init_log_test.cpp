// Init configuration, the checks of qelapi_init and the engine log file.
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
  InitConfig config = parseInitConfig(
      R"({"log_level":"info","log_path":7,"tmp_path":"/t","qel_id":["x"],)"
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
    EXPECT_TRUE(config.tmp_path.empty() && config.qel_id.empty() && config.log_level.empty())
        << text;
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
  std::string text = fmt::format(
      R"({{"log_path":"{}","tmp_path":"/tmp","qel_id":"q","ffmpeg_pathname":"{}","ffprobe_pathname":"p"}})",
      sharedLogDir(), missing);
  EXPECT_EQ(qelapi_init(text.c_str()), nullptr);
  EXPECT_EQ(countInLog("file don't exist: " + missing), 1);
}

TEST(QelapiInitTest, WithoutLogPathOrWithMissingFfprobeStillGivesHandle) {
  std::string text = fmt::format(
      R"({{"tmp_path":"/tmp","qel_id":"q","ffmpeg_pathname":"{}","ffprobe_pathname":"/nowhere/ffprobe"}})",
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

TEST(QelapiLogTest, CallerTextIsWrittenVerbatim) {
  void* handle = initEngineWithLog("debug");
  ASSERT_NE(handle, nullptr);
  const std::string text = "client said 100%s done %n %d %x {} {0}";
  qelapi_log('e', "%s", text.c_str());
  EXPECT_EQ(countInLog(text), 1);
  qelapi_log('d', "value=%d [%s]", 42, "abc%s");
  EXPECT_EQ(countInLog("value=42 [abc%s]"), 1);
  qelapi_un_init(handle);
}

TEST(QelapiLogTest, UnknownLetterEmptyMessageAndDisabledPriorityWriteNothing) {
  void* handle = initEngineWithLog("warn");
  ASSERT_NE(handle, nullptr);
  qelapi_log('x', "%s", "marker-unknown-letter");
  qelapi_log('E', "%s", "marker-capital-letter");
  qelapi_log('e', "%s", "");
  qelapi_log('d', "%s", "marker-debug-while-warn");
  qelapi_log('w', "%s", "marker-warn-while-warn");
  EXPECT_EQ(countInLog("marker-unknown-letter"), 0);
  EXPECT_EQ(countInLog("marker-capital-letter"), 0);
  EXPECT_EQ(countInLog("marker-debug-while-warn"), 0);
  EXPECT_EQ(countInLog("marker-warn-while-warn"), 1);
  qelapi_un_init(handle);
}

TEST(QelapiLogTest, LineLayout) {
  void* handle = initEngineWithLog("debug");
  ASSERT_NE(handle, nullptr);
  qelapi_log('n', "%s", "layout-marker");
  std::string log = readFile(sharedLogFile());
  size_t pos = log.find("layout-marker");
  ASSERT_NE(pos, std::string::npos);
  size_t start = log.rfind('\n', pos);
  start = (start == std::string::npos) ? 0 : start + 1;
  std::string line = log.substr(start, log.find('\n', pos) - start);
  // "%d:%p %c%x: %m%n" with the root category's empty name.
  EXPECT_NE(line.find(":NOTICE : layout-marker"), std::string::npos) << line;
  qelapi_un_init(handle);
}

TEST(QelapiLogTest, MoreThanTwoMebibytesRollsToOneBackup) {
  void* handle = initEngineWithLog("debug");
  ASSERT_NE(handle, nullptr);
  const std::string line(1024, 'r');
  for (int i = 0; i < 2 * 1024 + 64; ++i) qelapi_log('n', "%s", line.c_str());
  EXPECT_TRUE(std::filesystem::exists(sharedLogFile() + ".1"));
  EXPECT_FALSE(std::filesystem::exists(sharedLogFile() + ".2"));
  EXPECT_LE(std::filesystem::file_size(sharedLogFile()), 2u * 1024 * 1024 + 2048);
  qelapi_un_init(handle);
}

// A statement made after exit has shut log4cpp down (an atexit handler
// registered before the log was first used runs after the guard died) must be
// dropped, not crash. Runs in a fresh process so the guard is made there.
void logAfterShutdown() {
  logText(kLogError, "after shutdown");
  QEL_LOG_ERROR("after shutdown");
  qelapi_log('e', "%s", "after shutdown");
  std::_Exit(logEnabled(kLogError) ? 3 : 0);
}

TEST(LogGuardDeathTest, StatementsAfterShutdownAreDropped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(logAfterShutdown);
        void* handle = initEngineWithLog("debug");
        qelapi_log('e', "%s", "before shutdown");
        qelapi_un_init(handle);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qel::test
