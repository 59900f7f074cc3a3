// The operation parser: reading "process" requests, dispatch by description,
// the maps it keeps under graph texts, and its refusals of malformed requests.
#include "commands/lavfi_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "commands/probe_document.h"
#include "operations/lavfi_convert.h"
#include "support/operation_test_helpers.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;
using test::RecordingOperation;

std::string request(const std::string& description, const std::string& inputs,
                    const std::string& extra = R"(,"transform":"")") {
  return R"({"operation":{"input":)" + inputs + R"(,"description":")" + description + "\"" + extra + "}}";
}

std::string fileInput(const std::string& path, const std::string& duration = "10") {
  return R"([{"type":1,"value":")" + path + R"(","duration":)" + duration + "}]";
}

class LavfiParserTest : public ::testing::Test {
 protected:
  // A recording operation placed first, so it wins over any real one of the same name.
  std::shared_ptr<RecordingOperation> addRecorder(const char* name) {
    auto op = std::make_shared<RecordingOperation>(name);
    parser.registry.insert(parser.registry.begin(), op);
    return op;
  }

  LavfiParser parser{makeOperationRegistry()};
  LogCapture log;
};

TEST_F(LavfiParserTest, RegistryHoldsConvertAndDispatchesIgnoringAsciiCase) {
  ASSERT_FALSE(parser.registry.empty());
  bool hasConvert = false;
  for (const auto& op : parser.registry) hasConvert = hasConvert || std::string(op->name()) == "convert";
  EXPECT_TRUE(hasConvert);

  auto recorder = addRecorder("crop");
  const LavfiParseResult result = parser.parse(request("CROP", fileInput("/m/a.mp4")));
  EXPECT_EQ(recorder->calls, 1);
  EXPECT_EQ(result.graph, "/m/a.mp4,hflip[out0]");
  EXPECT_EQ(result.fileNums, 1);
  ASSERT_NE(parser.findInputFiles(result.graph), nullptr);
  EXPECT_EQ(*parser.findInputFiles(result.graph), std::vector<std::string>{"/m/a.mp4"});
}

TEST_F(LavfiParserTest, UnknownDescriptionFailsWithTheEmptyOutputLine) {
  const LavfiParseResult result = parser.parse(request("noSuchOperation", fileInput("/m/a.mp4")));
  EXPECT_TRUE(result.graph.empty());
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(result.fileNums, 0);
  EXPECT_TRUE(
      log.has("[doParse,171]:Output cmd is empty, may be the feature is not implemented or that "
              "the analysis fails. [noSuchOperation]"))
      << log.joined();
  // Nothing was dispatched, so nothing is filed.
  EXPECT_TRUE(parser.outputs.empty());
  EXPECT_TRUE(parser.inputFiles.empty());
}

TEST_F(LavfiParserTest, ReadsEveryInputMember) {
  auto recorder = addRecorder("probeDesc");
  parser.parse(R"({"operation":{"input":[
      {"type":1,"value":"/m/a.mp4","duration":10,"prevOp":"-ss 5"},
      {"type":2,"value":"movie='x'[out0]","duration":"7.5"}],
    "transform":"-vf scale=1:1","description":"probeDesc","outputConfig":"-c:v libx264"},"sid":3})");
  ASSERT_EQ(recorder->received.size(), 1u);
  const LavfiOperationDesc& desc = recorder->received[0];
  EXPECT_EQ(desc.transform, "-vf scale=1:1");
  EXPECT_EQ(desc.outputConfig, "-c:v libx264");
  EXPECT_EQ(desc.description, "probeDesc");
  ASSERT_EQ(desc.inputs.size(), 2u);
  EXPECT_EQ(desc.inputs[0].type, 1);
  EXPECT_EQ(desc.inputs[0].value, "/m/a.mp4");
  EXPECT_EQ(desc.inputs[0].prevOp, "-ss 5");
  EXPECT_EQ(desc.inputs[0].duration, 10.0);
  EXPECT_EQ(desc.inputs[1].type, 2);
  EXPECT_EQ(desc.inputs[1].prevOp, "");
  EXPECT_EQ(desc.inputs[1].duration, 7.5);
}

TEST_F(LavfiParserTest, DurationForms) {
  struct Case {
    std::string json;
    double expected;
  };
  const Case cases[] = {
      {"10", 10.0},           {"2.5", 2.5},        {"12.345", 12.345000267028809},  // through single precision
      {"\"12.345\"", 12.345}, {"\"7s\"", 7.0},     {"\"abc\"", 0.0},
      {"true", 0.0},          {"null", 0.0},       {"{}", 0.0},
      {"[1]", 0.0},           {"4294967296", 0.0},  // an integer beyond 32 bits
      {"1e40", 1e40},                               // too large for single precision: kept as parsed
  };
  auto recorder = addRecorder("probeDesc");
  for (const Case& c : cases) {
    recorder->received.clear();
    parser.parse(request("probeDesc", fileInput("/m/a.mp4", c.json)));
    ASSERT_EQ(recorder->received.size(), 1u) << c.json;
    EXPECT_EQ(recorder->received[0].inputs[0].duration, c.expected) << c.json;
  }
}

TEST_F(LavfiParserTest, MalformedRequestsFailWithTheirLineAndChangeNothing) {
  struct Case {
    std::string text;
    std::string line;
  };
  const std::string missing = "[parse,75]:Json object, cannot find \"input\" or \"transform\" or \"description\"";
  const std::string badItem = "[parse,95]:Input item, cannot find \"type\" or \"value\" or \"duration\"";
  const Case cases[] = {
      {"not json", "[parse,68]:Parse json failed"},
      {"", "[parse,68]:Parse json failed"},
      {"[1,2]", "[parse,68]:Parse json failed"},
      {"\"operation\"", "[parse,68]:Parse json failed"},
      {R"({"sid":1})", "[parse,68]:Parse json failed"},
      {R"({"operation":"convert"})", "[parse,68]:Parse json failed"},
      {R"({"operation":[1]})", "[parse,68]:Parse json failed"},
      {R"({"operation":{"input":[],"description":"convert"}})", missing},
      {R"({"operation":{"input":[],"transform":5,"description":"convert"}})", missing},
      {R"({"operation":{"input":[],"transform":"","description":null}})", missing},
      {R"({"operation":{"transform":"","description":"convert"}})", missing},
      {R"({"operation":{"input":{},"transform":"","description":"convert"}})",
       "[parse,81]:input must be an array object"},
      {request("convert", "[5]"), badItem},
      {request("convert", R"([{"type":1,"value":"/a.mp4"}])"), badItem},
      {request("convert", R"([{"type":"1","value":"/a.mp4","duration":1}])"), badItem},
      {request("convert", R"([{"type":1.0,"value":"/a.mp4","duration":1}])"), badItem},
      {request("convert", R"([{"type":1,"value":7,"duration":1}])"), badItem},
      {request("convert", R"([{"type":1,"value":"/a.mp4","duration":1},{"type":3,"value":"/b","duration":1}])"),
       "[parse,106]:Invalid type: 3, must be 1 or 2"},
      {request("convert", R"([{"type":-1,"value":"/a.mp4","duration":1}])"),
       "[parse,106]:Invalid type: -1, must be 1 or 2"},
      {request("convert", R"([{"type":18446744073709551615,"value":"/a","duration":1}])"),
       "[parse,106]:Invalid type: 18446744073709551615, must be 1 or 2"},
  };
  auto recorder = addRecorder("convert");
  for (const Case& c : cases) {
    LogCapture caseLog;
    const LavfiParseResult result = parser.parse(c.text);
    EXPECT_TRUE(result.graph.empty()) << c.text;
    EXPECT_EQ(result.fileNums, 0) << c.text;
    EXPECT_TRUE(caseLog.has(c.line)) << c.text << "\n" << caseLog.joined();
  }
  EXPECT_EQ(recorder->calls, 0);
  EXPECT_TRUE(parser.outputs.empty());
  EXPECT_TRUE(parser.durations.empty());
  EXPECT_TRUE(parser.inputFiles.empty());
}

TEST_F(LavfiParserTest, MissingMemberLogsTheRequestTextAsASecondLine) {
  const std::string text = R"({"operation":{"input":[],"description":"convert %s %n"}})";
  parser.parse(text);
  EXPECT_TRUE(log.has("[parse,76]:" + text)) << log.joined();
}

TEST_F(LavfiParserTest, WrongTypedOptionalMembersCountAsAbsent) {
  auto recorder = addRecorder("probeDesc");
  const LavfiParseResult result =
      parser.parse(R"({"operation":{"input":[{"type":1,"value":"/a.mp4","duration":1,"prevOp":3}],"transform":"",)"
                   R"("description":"probeDesc","outputConfig":["-vn"]}})");
  EXPECT_FALSE(result.graph.empty());
  ASSERT_EQ(recorder->received.size(), 1u);
  EXPECT_EQ(recorder->received[0].inputs[0].prevOp, "");
  EXPECT_EQ(recorder->received[0].outputConfig, "");
}

TEST_F(LavfiParserTest, EmptyInputArrayReachesTheOperation) {
  // The real convert reports its own "inputs is empety" and the request ends
  // with the empty-output line.
  const LavfiParseResult result = parser.parse(request("convert", "[]"));
  EXPECT_TRUE(result.graph.empty());
  EXPECT_TRUE(log.has("[process,20]:inputs is empety")) << log.joined();
  EXPECT_TRUE(
      log.has("[doParse,171]:Output cmd is empty, may be the feature is not implemented or that "
              "the analysis fails. [convert]"));
}

TEST_F(LavfiParserTest, OutputRecordInheritsTheConvertFlag) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiParseResult converted = parser.parse(
      request("convert", fileInput("/m/a.mp4"), R"(,"transform":"-vf scale=320:240","outputConfig":"-c:v libx264")"));
  ASSERT_FALSE(converted.graph.empty());
  const LavfiOutputRecord* convertRecord = parser.findOutput(converted.graph);
  ASSERT_NE(convertRecord, nullptr);
  EXPECT_EQ(convertRecord->transcode, 1);
  EXPECT_EQ(convertRecord->outputConfig, "-c:v libx264");
  EXPECT_EQ(convertRecord->cmd, converted.cmd);

  addRecorder("crop");
  const std::string onGraph = R"([{"type":2,"value":")" + converted.graph + R"(","duration":10}])";
  const LavfiParseResult cropped = parser.parse(request("crop", onGraph, R"(,"transform":"","outputConfig":"-an")"));
  const LavfiOutputRecord* cropRecord = parser.findOutput(cropped.graph);
  ASSERT_NE(cropRecord, nullptr);
  EXPECT_EQ(cropRecord->transcode, 1);
  EXPECT_EQ(cropRecord->outputConfig, "-c:v libx264");
  // The files of the earlier graph carry over.
  EXPECT_EQ(cropped.fileNums, 1);

  // And so on down the chain.
  const std::string onCrop = R"([{"type":2,"value":")" + cropped.graph + R"(","duration":10}])";
  const LavfiParseResult again = parser.parse(request("crop", onCrop, R"(,"transform":"","outputConfig":"-x")"));
  EXPECT_EQ(parser.findOutput(again.graph)->transcode, 1);
  EXPECT_EQ(parser.findOutput(again.graph)->outputConfig, "-c:v libx264");

  // A crop on a file uses its own configuration.
  const LavfiParseResult onFile =
      parser.parse(request("crop", fileInput("/m/b.mp4"), R"(,"transform":"","outputConfig":"-an")"));
  EXPECT_EQ(parser.findOutput(onFile.graph)->transcode, 0);
  EXPECT_EQ(parser.findOutput(onFile.graph)->outputConfig, "-an");
}

TEST_F(LavfiParserTest, CapitalisedConvertDispatchesButIsNotFlaggedByName) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiParseResult result = parser.parse(
      request("Convert", fileInput("/m/a.mp4"), R"(,"transform":"-vf scale=320:240","outputConfig":"-c:v x")"));
  ASSERT_FALSE(result.graph.empty());
  EXPECT_EQ(result.graph.rfind("movie='/m/a.mp4'", 0), 0u);
  EXPECT_EQ(parser.findOutput(result.graph)->transcode, 0);
  EXPECT_EQ(parser.findOutput(result.graph)->outputConfig, "-c:v x");
}

TEST_F(LavfiParserTest, NoInputsStoresNoRecordForOtherOperations) {
  auto recorder = addRecorder("crop");
  recorder->fixedGraph = "color=red[out0]";
  parser.parse(request("crop", "[]"));
  EXPECT_EQ(parser.findOutput("color=red[out0]"), nullptr);
}

TEST_F(LavfiParserTest, FailedRequestRecordUnderEmptyKeyIsNeverApplied) {
  // A convert of a file without streams fails: its record (transcode 1 and
  // its output configuration) is filed under the empty graph text.
  test::serveProbe(parser, test::fakeProbeJson({}));
  const LavfiParseResult failed =
      parser.parse(request("convert", fileInput("/m/none.mp4"), R"(,"transform":"","outputConfig":"-vn -c:a flac")"));
  EXPECT_TRUE(failed.graph.empty());
  ASSERT_EQ(parser.outputs.count(""), 1u);
  EXPECT_EQ(parser.findOutput(""), nullptr);
  EXPECT_EQ(findOutputRecord(parser.outputs, ""), nullptr);
  EXPECT_EQ(parser.outputsForTask().count(""), 0u);
  EXPECT_EQ(parser.findInputFiles(""), nullptr);

  // A later operation whose first input is an empty earlier graph keeps its
  // own configuration instead of inheriting the failed convert's.
  auto recorder = addRecorder("crop");
  const LavfiParseResult next = parser.parse(
      request("crop", R"([{"type":2,"value":"","duration":1}])", R"(,"transform":"","outputConfig":"-an")"));
  ASSERT_EQ(next.graph, ",hflip[out0]");
  EXPECT_EQ(parser.findOutput(next.graph)->transcode, 0);
  EXPECT_EQ(parser.findOutput(next.graph)->outputConfig, "-an");
  EXPECT_EQ(next.fileNums, 0);
}

TEST_F(LavfiParserTest, CleanCacheKeepsInputFilesAndTheLabelCounter) {
  auto recorder = addRecorder("crop");
  const LavfiParseResult result = parser.parse(request("crop", fileInput("/m/a.mp4")));
  parser.setDuration(result.graph, 4.0);
  EXPECT_EQ(parser.takeLabel(), 0u);
  EXPECT_EQ(parser.takeLabel(), 1u);
  parser.cleanCache();
  EXPECT_EQ(recorder->cleaned, 1);
  EXPECT_TRUE(parser.durations.empty());
  EXPECT_TRUE(parser.outputs.empty());
  ASSERT_NE(parser.findInputFiles(result.graph), nullptr);
  EXPECT_EQ(parser.takeLabel(), 2u);
  EXPECT_EQ(parser.durationOf(result.graph), 0.0);
}

TEST_F(LavfiParserTest, SetDurationOverwritesAndAcceptsAnyKey) {
  parser.setDuration("g", 1.0);
  parser.setDuration("g", 2.0);
  parser.setDuration("", 3.0);
  EXPECT_EQ(parser.durationOf("g"), 2.0);
  EXPECT_EQ(parser.durations.at(""), 3.0);
  EXPECT_EQ(parser.durationOf(""), 0.0);  // the empty text is no graph
}

TEST_F(LavfiParserTest, ProbeFileWithoutEngineOrRunnerReadsAsNoStreams) {
  ProbeDocument doc;
  EXPECT_FALSE(parser.probeFile("/m/a.mp4", doc));
  test::serveProbe(parser, test::fakeMedia(3, 0));
  EXPECT_TRUE(parser.probeFile("/m/a.mp4", doc));
}

}  // namespace
}  // namespace qel
