// A file path is written into the command text between double quotes, so a path
// that itself holds a double quote or ends in a backslash (both legal on Linux)
// would be split into other arguments: ffmpeg would read or overwrite a
// different file than the one named. Such a task is refused and no file is
// touched.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelapi.h"
#include "commands/task_operation.h"
#include "QelApi/engine/engine_test_util.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

struct QuotedPathCase {
  const char* name;
  const char* input;      // file name of the input in the test folder
  const char* output;     // file name of the output
  const char* bystander;  // an existing file the quotes would turn the path into
};

void PrintTo(const QuotedPathCase& c, std::ostream* os) { *os << c.name; }

class QuotedPathTest : public testing::TestWithParam<QuotedPathCase> {};

TEST_P(QuotedPathTest, TaskIsRefusedAndNoFileIsTouched) {
  const QuotedPathCase& c = GetParam();
  TempDir dir;
  const std::string input = dir.file(c.input);
  const std::string output = dir.file(c.output);
  const std::string bystander = dir.file(c.bystander);
  makeClip(input, ClipSpec{});
  if (!std::filesystem::exists(bystander)) writeFile(bystander, "the user's own file");
  const std::string before = readFile(bystander);

  void* handle = initEngineWithLog("debug");
  ASSERT_NE(handle, nullptr);
  taskEvents().attach(handle);
  const uint64_t id = nextTaskId();
  const std::string request = taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(1, output)})});
  const int result = submitTask(handle, id, request);
  if (result == 0) taskEvents().waitForCompletion(id);
  qelapi_un_init(handle);

  EXPECT_EQ(result, QEL_ERR_INVALID_PARAMS);
  EXPECT_TRUE(readFile(bystander) == before) << "a file the task never named was overwritten";
  EXPECT_FALSE(std::filesystem::exists(output));
}

INSTANTIATE_TEST_SUITE_P(Paths, QuotedPathTest,
                         testing::Values(QuotedPathCase{"QuotedOutput", "in.mp4", "a \"b\" c.mp4", "a b c.mp4"},
                                         QuotedPathCase{"QuotedInput", "in \"x\".mp4", "out.mp4", "in x.mp4"}),
                         [](const testing::TestParamInfo<QuotedPathCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(QuotedPathParse, PathsWithQuotesOrNulAreRefusedGraphsAndFragmentsAreNot) {
  struct Row {
    const char* request;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a.mp4"}],"output":[{"type":1,"value":"/t/o.mp4"}]}]})", true},
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a\".mp4"}],"output":[{"type":1,"value":"/t/o.mp4"}]}]})",
       false},
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a.mp4"}],"output":[{"type":1,"value":"/t/o\".mp4"}]}]})",
       false},
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a.mp4"}],"output":[{"type":1,"value":"/t/o.mp4\u0000x"}]}]})",
       false},
      {R"({"operations":[{"input":[{"type":2,"value":"/t/mid\".mp4"}],"output":[{"type":1,"value":"/t/o.mp4"}]}]})",
       false},
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a.mp4"}],"output":[{"type":1,"value":"/t/o\\"}]}]})", false},
      {R"({"operations":[{"input":[{"type":1,"value":"/t/a\\b.mp4"}],"output":[{"type":1,"value":"/t/o.mp4"}]}]})",
       true},
      // A command fragment carries its own quoted paths.
      {R"({"operations":[{"input":[{"type":2,"value":"-i \"/t/a.mp4\" -map 0"}],"output":[{"type":1,"value":"/t/o.mp4"}]}]})",
       true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(!parseTaskOperations(row.request).empty(), row.accepted) << row.request;
  }
}

}  // namespace
}  // namespace qel::test
