// Argument checks, error texts and reply strings of the exports.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "qelapi.h"
#include "QelApi/engine/engine_test_util.h"

namespace qel::test {
namespace {

TEST(ErrorStringTest, TableOfTexts) {
  const struct {
    int code;
    const char* text;
  } rows[] = {
      {0, "success"},
      {6500, "file don't exist"},
      {6510, "invalid parameters"},
      {6511, "repeated task id"},
      {6512, "task don't exist"},
      {6513, "task is running"},
      {6514, "task has aborted"},
      {6515, "out of memory"},
      {6516, "insufficient disk space"},
      {6517, "ffmpeg have some error"},
      {6518, "unsupport file format"},
      {6519, "get media props failed"},
      {6520, "process lavfi failed"},
      {6521, "unknown error"},
      {6522, ""},
      {42, ""},
      {-1, ""},
  };
  for (const auto& row : rows) {
    const char* text = qelapi_get_error_string(row.code);
    ASSERT_NE(text, nullptr) << row.code;
    EXPECT_STREQ(text, row.text) << row.code;
  }
  EXPECT_EQ(qelapi_get_error_string(6510), qelapi_get_error_string(6510)) << "static text";
}

TEST(FreeStrTest, FreesAndClears) {
  char* text = static_cast<char*>(std::calloc(4, 1));
  qelapi_free_str(nullptr, &text);
  EXPECT_EQ(text, nullptr);
  qelapi_free_str(nullptr, &text);  // already null
  EXPECT_EQ(text, nullptr);
  qelapi_free_str(nullptr, nullptr);
}

class ExportsTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = initEngineWithLog("debug");
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override { qelapi_un_init(handle_); }
  void* handle_ = nullptr;
};

TEST_F(ExportsTest, NullArgumentsGive6510AndLeaveOutParametersAlone) {
  char sentinel[] = "untouched";
  char* reply = sentinel;
  EXPECT_EQ(qelapi_get_media_file_props(nullptr, "/x.mp4", &reply), 6510);
  EXPECT_EQ(qelapi_get_media_file_props(handle_, nullptr, &reply), 6510);
  EXPECT_EQ(qelapi_get_media_file_props(handle_, "/x.mp4", nullptr), 6510);
  EXPECT_EQ(qelapi_get_config(nullptr, R"({"op":"getloglevel"})", &reply), 6510);
  EXPECT_EQ(qelapi_get_config(handle_, R"({"op":"getloglevel"})", nullptr), 6510);
  EXPECT_EQ(qelapi_process_lavfi(nullptr, "{}", &reply), 6510);
  EXPECT_EQ(qelapi_process_lavfi(handle_, "{}", nullptr), 6510);
  EXPECT_EQ(qelapi_set_config(nullptr, R"({"op":"setloglevel","logLevel":"debug"})"), 6510);
  EXPECT_EQ(reply, sentinel);
  qelapi_clean_lavfi_cache(nullptr);
  qelapi_close_process(nullptr);
  qelapi_close_process("");
}

TEST_F(ExportsTest, NullRequestTextStillHandsBackAnAllocatedEmptyReply) {
  char* reply = nullptr;
  EXPECT_EQ(qelapi_get_config(handle_, nullptr, &reply), 6510);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "");
  qelapi_free_str(nullptr, &reply);
  EXPECT_EQ(qelapi_process_lavfi(handle_, nullptr, &reply), 6510);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "");
  qelapi_free_str(nullptr, &reply);
}

TEST_F(ExportsTest, MediaPropsOfMissingFile) {
  TempDir dir;
  char* props = nullptr;
  EXPECT_EQ(qelapi_get_media_file_props(handle_, dir.file("missing.mp4").c_str(), &props), 6500);
  ASSERT_NE(props, nullptr);
  EXPECT_STREQ(props, "");
  qelapi_free_str(nullptr, &props);
}

TEST_F(ExportsTest, UnknownConfigRequestAnswersErrorReply) {
  char* reply = nullptr;
  EXPECT_EQ(qelapi_get_config(handle_, R"({"op":"GetLogLevel","sid":5})", &reply), 0);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, R"({"sid":0,"error":true,"errorCode":6510,"errorDetail":"Invalid parameter"})");
  qelapi_free_str(nullptr, &reply);
}

// Every export that reads JSON from a caller must survive absurdly deep nesting:
// a recursive parser would overflow the stack long before it saw the end.
TEST_F(ExportsTest, DeeplyNestedRequestsAreRefusedWithoutCrashing) {
  const std::string deep = std::string(2'000'000, '[') + std::string(2'000'000, ']');
  const std::string deepMember = R"({"op":"getloglevel","x":)" + deep + "}";
  char* reply = nullptr;
  qelapi_process_lavfi(handle_, deep.c_str(), &reply);
  ASSERT_NE(reply, nullptr);
  EXPECT_NE(std::string(reply).find(R"("output":"")"), std::string::npos) << reply;
  qelapi_free_str(nullptr, &reply);
  EXPECT_EQ(qelapi_get_config(handle_, deep.c_str(), &reply), 0);
  qelapi_free_str(nullptr, &reply);
  EXPECT_EQ(qelapi_get_config(handle_, deepMember.c_str(), &reply), 0);
  qelapi_free_str(nullptr, &reply);
  EXPECT_NE(qelapi_set_config(handle_, deep.c_str()), 0);
  ASSERT_EQ(qelapi_create_task(handle_, 77), 0);
  EXPECT_NE(qelapi_add_task_operation(handle_, 77, deep.c_str()), 0);
  EXPECT_EQ(qelapi_init(deep.c_str()), nullptr);
}

}  // namespace
}  // namespace qel::test
