// Helpers shared by the engine tests: one log folder for the whole test
// program (the log file is process-wide, so every test that looks at it uses
// the same folder), init texts and configurations.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/init_config.h"
#include "qelapi.h"
#include "support/task_events.h"
#include "support/test_support.h"

namespace qel::test {

// The folder the test program's QelApi.log is written to; made on first use.
const std::string& sharedLogDir();
std::string sharedLogFile();

// An init text with every required key, the given log folder and level.
std::string initJson(const std::string& logPath, const std::string& logLevel = "debug");

// Engine with the log set up in sharedLogDir(); null when init failed.
void* initEngineWithLog(const std::string& logLevel = "debug");

// A configuration with the real ffmpeg and ffprobe, working in /tmp.
inline InitConfig realToolsConfig(const std::string& qelId) {
  InitConfig config;
  config.tmp_path = "/tmp";
  config.qel_id = qelId;
  config.ffmpeg_pathname = ffmpegPath();
  config.ffprobe_pathname = ffprobePath();
  return config;
}

// Folders as a hostile archive unpacks them: six levels of 150-byte names
// made inside `root`, so that a picture's name in the deepest one comes near
// the 1023 bytes ffmpeg's picture writer holds. The deepest folder holds the
// user's file `precious` (99 bytes of 'v', its content "precious").
struct DeepFolder {
  std::string path;
  std::string precious;
};
DeepFolder makeDeepFolder(const std::string& root);

// Counts the occurrences of `needle` in the shared log file (0 when absent).
int countInLog(const std::string& needle);

// Runs a task through the exports to its completion; its last report (an
// empty one when it reported nothing). Records failures when the task is
// refused or does not complete.
StateReport runTask(void* handle, const std::string& request);

// The fixture of the tests that run tasks: an engine logging to the shared
// folder, its callbacks recorded by taskEvents(), and a temporary folder.
class EngineTaskTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = initEngineWithLog("debug");
    ASSERT_NE(handle_, nullptr);
    taskEvents().attach(handle_);
  }
  void TearDown() override { qelapi_un_init(handle_); }

  void* handle_ = nullptr;
  TempDir dir_;
};

}  // namespace qel::test
