// The log of the base layer: what qelapi_log writes, the line layout, the
// roll-over, and statements made after log4cpp has shut down.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "qelapi.h"
#include "base/log.h"
#include "QelApi/engine/engine_test_util.h"

namespace qel::test {

namespace {

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
