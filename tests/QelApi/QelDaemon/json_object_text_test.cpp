// The members a reply adds to the engine's status and error texts, appended
// to the text as it stands, and the check that decides which texts qualify.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include <rapidjson/document.h>

#include "QelDaemon/json_object_text.h"

namespace qel {
namespace {

TEST(JsonObjectTextTest, AppendsSidAndTaskIdBeforeTheClosingBrace) {
  struct Case {
    const char* object;
    int64_t sid;
    uint64_t taskId;
    const char* expected;
  };
  const Case cases[] = {
      {"{}", 1, 2, R"({"sid":1,"taskId":2})"},
      {"{ \t\r\n}", 1, 2, R"({"sid":1,"taskId":2})"},
      {R"({"a":1})", 0, 7, R"({"a":1,"sid":0,"taskId":7})"},
      // The closing brace is the object's own, not a nested one's.
      {R"({"a":{"b":{}},"c":[{"d":{}}]})", 5, 6, R"({"a":{"b":{}},"c":[{"d":{}}],"sid":5,"taskId":6})"},
      {R"({"a":{}})", 5, 6, R"({"a":{},"sid":5,"taskId":6})"},
      // Braces inside strings are text.
      {R"({"a":"}{ }"})", 5, 6, R"({"a":"}{ }","sid":5,"taskId":6})"},
      // Blanks inside are kept; those before the closing brace and after it go.
      {"{ \"a\" : [ 1 , 2 ] \n}\n ", 3, 4, "{ \"a\" : [ 1 , 2 ],\"sid\":3,\"taskId\":4}"},
      {"  {\"a\":true}", 3, 4, "  {\"a\":true,\"sid\":3,\"taskId\":4}"},
      {R"({"a":null})", -1, std::numeric_limits<uint64_t>::max(),
       R"({"a":null,"sid":-1,"taskId":18446744073709551615})"},
      {R"({"n":-2147483648})", std::numeric_limits<int64_t>::min(), 0,
       R"({"n":-2147483648,"sid":-9223372036854775808,"taskId":0})"},
  };
  for (const Case& c : cases) {
    const std::string out = AppendSidAndTaskId(c.object, c.sid, c.taskId);
    EXPECT_EQ(out, c.expected) << c.object;
    // Whatever the input looked like, the result is one object that ends in
    // the two members.
    rapidjson::Document document;
    document.Parse(out.c_str(), out.size());
    ASSERT_TRUE(!document.HasParseError() && document.IsObject()) << out;
    auto last = document.MemberEnd() - 1;
    EXPECT_STREQ((last - 1)->name.GetString(), "sid");
    EXPECT_EQ((last - 1)->value.GetInt64(), c.sid);
    EXPECT_STREQ(last->name.GetString(), "taskId");
    EXPECT_EQ(last->value.GetUint64(), c.taskId);
  }
}

TEST(JsonObjectTextTest, TextWithoutClosingBraceIsLeftAlone) {
  EXPECT_EQ(AppendSidAndTaskId("", 1, 2), "");
  EXPECT_EQ(AppendSidAndTaskId("  ", 1, 2), "  ");
  EXPECT_EQ(AppendSidAndTaskId("[1,2]", 1, 2), "[1,2]");
}

TEST(JsonObjectTextTest, OnlyWellFormedObjectsQualify) {
  struct Case {
    const char* text;
    bool object;
  };
  const Case cases[] = {
      {"{}", true},
      {" {\"a\":[1,{\"b\":\"}\"}]} \n", true},
      {"", false},
      {"   ", false},
      {"[1,2,3]", false},
      {"\"text\"", false},
      {"42", false},
      {"unkown error", false},
      {"{", false},
      {"{\"a\":1", false},
      {"{\"a\":1}}", false},  // more than one value
      {"{\"a\":1} {}", false},
      {"{\"a\":1,}", false},  // trailing comma
      {"{a:1}", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsJsonObjectText(c.text), c.object) << c.text;
  // Nesting far deeper than any stack frame budget is checked without recursion.
  const std::string deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_TRUE(IsJsonObjectText(deep));
}

}  // namespace
}  // namespace qel
