// The definitions of engine_test_util.h.
#include "QelApi/engine/engine_test_util.h"

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "qelapi.h"

namespace qel::test {

const std::string& sharedLogDir() {
  static TempDir dir;
  return dir.path();
}

std::string sharedLogFile() { return sharedLogDir() + "/QelApi.log"; }

std::string initJson(const std::string& logPath, const std::string& logLevel) {
  return fmt::format(R"({{"log_level":"{}","log_path":"{}","tmp_path":"/tmp","qel_id":"engine-test",)"
                     R"("ffmpeg_pathname":"{}","ffprobe_pathname":"{}"}})",
                     logLevel, logPath, ffmpegPath(), ffprobePath());
}

void* initEngineWithLog(const std::string& logLevel) { return qelapi_init(initJson(sharedLogDir(), logLevel).c_str()); }

DeepFolder makeDeepFolder(const std::string& root) {
  DeepFolder deep{root, ""};
  for (int level = 0; level < 6; ++level) deep.path += "/" + std::string(150, static_cast<char>('a' + level));
  std::filesystem::create_directories(deep.path);
  deep.precious = deep.path + "/" + std::string(99, 'v');
  writeFile(deep.precious, "precious");
  return deep;
}

int countInLog(const std::string& needle) {
  std::error_code ec;
  if (!std::filesystem::exists(sharedLogFile(), ec)) return 0;
  std::string text = readFile(sharedLogFile());
  int count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++count;
  }
  return count;
}

StateReport runTask(void* handle, const std::string& request) {
  const uint64_t id = nextTaskId();
  EXPECT_EQ(submitTask(handle, id, request), 0) << request;
  EXPECT_TRUE(taskEvents().waitForCompletion(id)) << request;
  const std::vector<StateReport> reports = taskEvents().reports(id);
  return reports.empty() ? StateReport{} : reports.back();
}

}  // namespace qel::test
