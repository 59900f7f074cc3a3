#include "engine/status_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace qel {
namespace {

struct ProgressCase {
  const char* name;
  std::string duration;
  std::string usedTime;
  int currentPhase;
  int totalPhase;
  bool finished;
  bool error;
  bool aborted;
  int expected;
};

int progressOf(const std::string& json) {
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  EXPECT_TRUE(doc.IsObject()) << json;
  return doc["phaseDetail"]["progress"].GetInt();
}

TEST(StatusReport, ProgressArithmetic) {
  const std::vector<ProgressCase> cases = {
      {"half of a single phase", "00:01:40", "00:00:50", 1, 1, false, false, false, 50},
      {"overshoot held at 98", "00:01:40", "00:01:45", 1, 1, false, false, false, 98},
      {"complete but running held at 98", "00:01:40", "00:01:40", 1, 1, false, false, false, 98},
      {"empty duration", "", "00:00:10", 1, 1, false, false, false, 0},
      {"zero duration", "00:00:00", "00:00:10", 1, 1, false, false, false, 0},
      {"no phase numbers", "00:01:40", "00:00:50", 0, 0, false, false, false, 50},
      // 50/3 + (float)100/3 is 49.99..., truncated.
      {"second of three at half", "00:01:40", "00:00:50", 2, 3, false, false, false, 49},
      {"last command finished", "00:01:40", "00:01:40", 3, 3, true, false, false, 100},
      {"earlier command finished", "00:01:40", "00:01:40", 1, 2, true, false, false, 49},
      {"error in phase 1 of 2", "00:01:40", "00:00:10", 1, 2, false, true, false, 50},
      {"error in phase 2 of 2", "00:01:40", "00:00:10", 2, 2, false, true, false, 100},
      {"aborted", "00:01:40", "00:00:10", 1, 3, false, false, true, 100},
      {"aborted before it ran", "", "", 0, 0, true, false, true, 100},
  };
  for (const ProgressCase& c : cases) {
    ProgressInfo record;
    record.duration = c.duration;
    record.usedTime = c.usedTime;
    record.currentPhase = c.currentPhase;
    record.totalPhase = c.totalPhase;
    record.finished = c.finished;
    record.error = c.error;
    record.aborted = c.aborted;
    EXPECT_EQ(progressOf(writeTaskState(record)), c.expected) << c.name;
  }
}

TEST(StatusReport, ErrorCodeFromExactDetail) {
  struct Case {
    bool error;
    bool aborted;
    std::string detail;
    bool expectedError;
    int expectedCode;
  };
  const std::vector<Case> cases = {
      {true, false, "Permission denied", true, 6522},
      {true, false, "Permission denied: /sys/out.mkv", true, 6517},
      {true, false, "No space left on device", true, 6516},
      {true, false, "Not yet implemented in FFmpeg", true, 6518},
      {true, false, "no space left on device", true, 6517},
      {true, false, "", true, 6517},
      {true, true, "No space left on device", true, 6516},  // error wins over abort
      {false, true, "user abort", true, 6514},
      {false, false, "Permission denied", false, 0},
  };
  for (const Case& c : cases) {
    ProgressInfo record;
    record.error = c.error;
    record.aborted = c.aborted;
    record.errorDetail = c.detail;
    rapidjson::Document doc;
    doc.Parse(writeTaskState(record).c_str());
    ASSERT_TRUE(doc.IsObject());
    EXPECT_EQ(doc["error"].GetBool(), c.expectedError) << c.detail;
    EXPECT_EQ(doc["errorCode"].GetInt(), c.expectedCode) << c.detail;
  }
}

TEST(StatusReport, IdsListedInFullOnlyForErrorOrAbort) {
  ProgressInfo record;
  record.ids = {"/m/a.mp4", "/m/b.mp4", "/m/c.mp4"};
  EXPECT_NE(writeTaskState(record).find(R"("ids":["/m/a.mp4"])"), std::string::npos);
  record.aborted = true;
  EXPECT_NE(writeTaskState(record).find(R"("ids":["/m/a.mp4","/m/b.mp4","/m/c.mp4"])"), std::string::npos);
  record.aborted = false;
  record.error = true;
  EXPECT_NE(writeTaskState(record).find(R"("ids":["/m/a.mp4","/m/b.mp4","/m/c.mp4"])"), std::string::npos);
  record.error = false;
  record.ids.clear();
  EXPECT_NE(writeTaskState(record).find(R"("ids":[])"), std::string::npos);
}

TEST(StatusReport, WholeTextOfARunningPhase) {
  ProgressInfo record;
  record.currentPhase = 2;
  record.totalPhase = 3;
  record.duration = "00:01:40";
  record.usedTime = "00:00:50";
  record.estimateTime = "00:00:50";
  record.size = "1024kB";
  record.speed = "1.5x";
  record.fileNums = 2;
  record.description = "ignored";
  record.ids = {"/m/a.mp4", "/m/b.mp4"};
  record.outputs = {"/m/out1.mp4"};
  EXPECT_EQ(writeTaskState(record),
            R"({"error":false,"errorCode":0,"ids":["/m/a.mp4"],"totalPhase":3,"currentPhase":2,)"
            R"("errorDetail":"","phaseDetail":{"progress":49,"size":"1024kB","speed":"1.5x",)"
            R"("usedTime":"00:00:50","estimateTime":"00:00:50","description":"","fileNums":2},)"
            R"("outputs":["/m/out1.mp4"]})");
}

TEST(StatusReport, WholeTextOfAFailureEscapesTexts) {
  ProgressInfo record;
  record.error = true;
  record.finished = true;
  record.currentPhase = 1;
  record.totalPhase = 1;
  record.duration = "00:00:05";
  record.usedTime = "00:00:05";
  record.estimateTime = "00:00:00";
  record.size = "0kB";
  record.speed = "1x";
  record.fileNums = 1;
  record.errorDetail = "No space left on device";
  record.ids = {R"(/m/say "hi"\.mp4)"};
  EXPECT_EQ(writeTaskState(record),
            R"({"error":true,"errorCode":6516,"ids":["/m/say \"hi\"\\.mp4"],"totalPhase":1,)"
            R"("currentPhase":1,"errorDetail":"No space left on device","phaseDetail":{"progress":100,)"
            R"("size":"0kB","speed":"1x","usedTime":"00:00:05","estimateTime":"00:00:00",)"
            R"("description":"","fileNums":1},"outputs":[]})");
}

TEST(StatusReport, IllFormedUtf8BecomesReplacementCharacter) {
  ProgressInfo record;
  record.error = true;
  record.errorDetail = "bad \xff name";
  const std::string json = writeTaskState(record);
  EXPECT_NE(json.find("\"errorDetail\":\"bad \xef\xbf\xbd name\""), std::string::npos) << json;
}

}  // namespace
}  // namespace qel
