// Task operations: reading a task request into operations, the alias rewrite of
// the transform, and refusal of requests of the wrong shape.
#include "commands/task_operation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

std::vector<TaskOperation> parse(const std::string& text) { return parseTaskOperations(text.c_str()); }

// One operation with one file input and one file output around `transform`.
std::string oneOperation(const std::string& transformJson) {
  return R"({"operations":[{"input":[{"type":1,"value":"in.mp4"}],"transform":)" + transformJson +
         R"(,"output":[{"type":1,"value":"out.mp4"}]}]})";
}

TEST(PrepareFilterOptions, RewritesTheFirstOccurrenceOfEachAlias) {
  struct Case {
    std::string transform;
    std::string rewritten;
  };
  const std::vector<Case> cases = {
      {"-vf scale=640:360", "-filter_complex scale=640:360"},
      {"-af volume=2", "-filter_complex volume=2"},
      {"-filter:v a -filter:a b", "-filter_complex a -filter_complex b"},
      {"-vf a -vf b", "-filter_complex a -vf b"},
      {"-filter_complex scale=1:2", "-filter_complex scale=1:2"},
      {"-filter hflip", "-filter_complex hflip"},
      {"-c:v copy", "-c:v copy"},
  };
  for (const Case& c : cases) {
    TaskOperation operation;
    operation.m_transform = c.transform;
    prepareFilterOptions(operation);
    EXPECT_EQ(operation.m_transform, c.rewritten) << c.transform;
    FilterOptions expected;
    parseFilterOptions(expected, c.rewritten);
    EXPECT_EQ(operation.m_filterOptions, expected) << c.transform;
  }
}

TEST(PrepareFilterOptions, ReparsesARecordThatHeldAnEarlierParse) {
  TaskOperation operation;
  operation.m_transform = "-af volume=2 -c:a aac";
  prepareFilterOptions(operation);
  ASSERT_TRUE(operation.m_filterOptions.hasAudioFilter);
  operation.m_transform = "-vf hflip";
  prepareFilterOptions(operation);
  EXPECT_FALSE(operation.m_filterOptions.hasAudioFilter);
  EXPECT_TRUE(operation.m_filterOptions.hasVideoFilter);
  ASSERT_EQ(operation.m_filterOptions.segments.size(), 1u);
  EXPECT_EQ(operation.m_filterOptions.segments[0].name, "hflip");
}

TEST(ParseTaskOperations, ReadsItemsTransformAndOutputs) {
  const std::vector<TaskOperation> ops = parse(R"({
    "sid": 7, "taskId": 12,
    "operations": [
      {"input": [{"type": 1, "value": "/v/a.mp4", "prevOp": "-ss 5"},
                 {"type": 2, "value": "movie='/v/b.mp4'[out0]"}],
       "transform": "-vf scale=640:360 -c:a copy",
       "output": [{"type": 2, "value": "/tmp/t.mp4"}, {"type": 1, "value": "/v/o.mp4"}]},
      {"input": [{"value": "/tmp/t.mp4"}],
       "output": {"type": 1, "value": "/v/p.mp4"}}
    ]})");
  ASSERT_EQ(ops.size(), 2u);
  const TaskOperation& first = ops[0];
  ASSERT_EQ(first.m_inputs.size(), 2u);
  EXPECT_EQ(first.m_inputs[0], (TaskIoItem{1, "/v/a.mp4", "-ss 5"}));
  EXPECT_EQ(first.m_inputs[1], (TaskIoItem{2, "movie='/v/b.mp4'[out0]", ""}));
  EXPECT_EQ(first.m_transform, "-filter_complex scale=640:360 -c:a copy");
  EXPECT_TRUE(first.m_filterOptions.hasVideoFilter);
  EXPECT_TRUE(first.m_filterOptions.hasOtherOptions);
  ASSERT_EQ(first.m_outputs.size(), 2u);
  EXPECT_EQ(first.m_outputs[0], (TaskIoItem{2, "/tmp/t.mp4", ""}));
  EXPECT_TRUE(first.m_padLabels.empty());
  EXPECT_EQ(first.m_producerInputs, nullptr);

  const TaskOperation& second = ops[1];
  ASSERT_EQ(second.m_inputs.size(), 1u);
  EXPECT_EQ(second.m_inputs[0].type, 0);  // no "type"
  EXPECT_EQ(second.m_transform, "");
  EXPECT_EQ(second.m_outputs, (std::vector<TaskIoItem>{{1, "/v/p.mp4", ""}}));
}

TEST(ParseTaskOperations, OperationsWithoutOutputsAreDropped) {
  struct Case {
    const char* name;
    std::string json;
    std::size_t count;
  };
  const std::vector<Case> cases = {
      {"output object without type", R"({"operations":[{"input":[],"output":{"value":"o.mp4"}}]})", 0},
      {"output object with type", R"({"operations":[{"output":{"value":"o.mp4","type":1}}]})", 1},
      {"output object without value", R"({"operations":[{"output":{"type":1}}]})", 0},
      {"empty output array", R"({"operations":[{"output":[]}]})", 0},
      {"no output member", R"({"operations":[{"transform":"-vf hflip"}]})", 0},
      {"empty operations", R"({"operations":[]})", 0},
      {"second without outputs", R"({"operations":[{"output":[{"type":1,"value":"a"}]},{"output":[]}]})", 1},
      {"null members count as missing",
       R"({"operations":[{"input":null,"transform":null,"output":[{"type":null,"value":"o","prevOp":null}]}]})", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse(c.json).size(), c.count) << c.name;
  }
}

TEST(ParseTaskOperations, RequestsOfTheWrongShapeGiveAnEmptyList) {
  struct Case {
    const char* name;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"not json", "operations"},
      {"cut off inside an object", R"({"operations":[{"output":[{"type":1,"value":"o.mp4"})"},
      {"root is an array", R"([{"operations":[]}])"},
      {"root is a string", R"("operations")"},
      {"no operations", R"({"ops":[]})"},
      {"operations not an array", R"({"operations":{"output":[{"type":1,"value":"o"}]}})"},
      {"operation not an object", R"({"operations":[5,{"output":[{"type":1,"value":"o"}]}]})"},
      {"input not an array", R"({"operations":[{"input":{"type":1,"value":"a"},"output":[{"type":1,"value":"o"}]}]})"},
      {"input item not an object", R"({"operations":[{"input":["a.mp4"],"output":[{"type":1,"value":"o"}]}]})"},
      {"input item without value", R"({"operations":[{"input":[{"type":1}],"output":[{"type":1,"value":"o"}]}]})"},
      {"value not a string", R"({"operations":[{"input":[{"type":1,"value":3}],"output":[{"type":1,"value":"o"}]}]})"},
      {"transform not a string", R"({"operations":[{"transform":["-vf"],"output":[{"type":1,"value":"o"}]}]})"},
      {"prevOp not a string",
       R"({"operations":[{"input":[{"type":1,"value":"a","prevOp":{}}],"output":[{"type":1,"value":"o"}]}]})"},
      {"output neither array nor object", R"({"operations":[{"output":"o.mp4"}]})"},
      {"output item without value", R"({"operations":[{"output":[{"type":1}]}]})"},
      {"output object with a number value", R"({"operations":[{"output":{"type":1,"value":1}}]})"},
      {"trailing garbage", R"({"operations":[{"output":[{"type":1,"value":"o"}]}]} x)"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(parse(c.json).empty()) << c.name;
  }
  EXPECT_TRUE(parseTaskOperations(nullptr).empty());
}

TEST(ParseTaskOperations, TypeThatIsNotA32BitIntegerReadsAsZero) {
  struct Case {
    std::string type;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"2", 2}, {"-7", -7}, {"2.0", 0}, {"\"2\"", 0}, {"true", 0}, {"4294967298", 0},
  };
  for (const Case& c : cases) {
    const std::vector<TaskOperation> ops =
        parse(R"({"operations":[{"output":[{"type":)" + c.type + R"(,"value":"o"}]}]})");
    ASSERT_EQ(ops.size(), 1u) << c.type;
    EXPECT_EQ(ops[0].m_outputs[0].type, c.expected) << c.type;
  }
}

TEST(ParseTaskOperations, TransformKeepsNonAsciiAndQuotes) {
  const std::vector<TaskOperation> ops = parse(oneOperation(R"("-af \"volume=2\" -metadata title=\u00e9t\u00e9")"));
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0].m_transform, "-filter_complex \"volume=2\" -metadata title=\xc3\xa9t\xc3\xa9");
  EXPECT_TRUE(ops[0].m_filterOptions.hasAudioFilter);
}

}  // namespace
}  // namespace qel
