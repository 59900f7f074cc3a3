// The checks a document passes before TinyXML parses it: the nesting walk
// must follow TinyXML's own reading (it is compared with the depth of the tree
// TinyXML builds), and misreadable bytes are found wherever they stand.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "tool/log_capture.h"
#include "tool/xml_guard.h"
#include "tests/tool/tinyxml_depth.h"

namespace {

using namespace tool::xml_internal;

using tool_test::TinyXmlDepth;

TEST(XmlGuardTest, NestingFollowsTinyXmlsReading) {
  struct Case {
    std::string text;
    std::size_t depth;
  };
  const std::vector<Case> cases = {
      {"<a><b><c/></b><d/></a>", 3},
      {"<a>x</a><b><c/></b>", 2},                // a second root is parsed too
      {"<a x=\"/>\" y='</a>'><b/></a>", 2},      // quotes hide "/>" and end tags
      {"<a>/>t/><b><c/></b></a>", 3},            // "/>" in text closes nothing
      {"<a><!-- <b><c> --><d/></a>", 2},         // comments
      {"<a><![CDATA[<b><c>]]><d/></a>", 2},      // CDATA
      {"<a>&#x<b>x1;<c><d/></c></a>", 3},        // a reference steps over "<b>"
      {"<a>&#<b>#12;<c/></a>", 2},               // and a decimal one too
      {"<a x=\"&#x\"/>x1;\"><b/></a>", 2},       // ... over a quote and "/>"
      {"<a>&#x<b>y1;<c><d/></c></a>", 1},        // a bad one stops TinyXML
      {"<?xml version=\">\" ?><a><b/></a>", 2},  // a quoted '>' in a declaration
      {"<?xml other=\">\" ?><a><b/></a>", 0},    // elsewhere it ends the declaration
      {"<?XmL version='1'?><a/>", 1},
      {"<a><?xml version='1'?><b/></a>", 2},
      {"<!DOCTYPE x [<!ELEMENT a ANY>]><a><b/></a>", 0},  // unknowns end at the first '>'
      {"<a>< b/><c/></a>", 2},                            // "< b" is no element
      {"<a><b><c></a>", 3},                               // a wrong end tag stops TinyXML
      {"<a b=1 c='2' d = \"3\"><e/></a>", 2},
      {"\xEF\xBB\xBF<a><b/></a>", 2},
      {"<_a><\xC3\xA9><b/></\xC3\xA9></_a>", 3},
      {"<a>", 1},
      {"text<a/>", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirstMisreadableByte(c.text), std::string::npos) << c.text;
    EXPECT_EQ(TinyXmlDepth(c.text), c.depth) << c.text;
    EXPECT_EQ(XmlNestingDepth(c.text), c.depth) << c.text;
  }
  // Where TinyXML stops at a repeated attribute or at an end tag of the wrong
  // name, the walk goes on: it may count deeper, never less deep.
  for (const std::string& text : {std::string("<a b='1' b='2'><c/></a>"), std::string("<a><b></a><c><d/></c></b>")}) {
    EXPECT_GT(XmlNestingDepth(text), TinyXmlDepth(text)) << text;
  }
}

TEST(XmlGuardTest, DeepNestingIsCountedWithoutRecursion) {
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += "<a t='/>'>";
  EXPECT_EQ(XmlNestingDepth(text), 1000000u);
  // Past the first zero byte TinyXML reads nothing.
  EXPECT_EQ(XmlNestingDepth(std::string("<a>\0<b><c>", 10)), 1u);
}

TEST(XmlGuardTest, MisreadableBytes) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"<a>caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80</a>", std::string::npos},
      {"\xEF\xBB\xBF<a/>", std::string::npos},             // a mark that opens the text
      {"<a>\x80\xC0\xC1\xF5\xFF</a>", std::string::npos},  // bytes TinyXML reads one by one
      {"<a>\xC3", 3},
      {"<a>\xC3<", 3},
      {"<a>\xE8\xE8\xE8", 3},
      {"<a>\xE4\xB8", 3},
      {"ab\xF0\x9F\x98\"", 2},
      {"<a>\xEF\xBB\xBF</a>", 3},
      {"\xEF\xBB\xBF\xEF\xBB\xBF<a/>", 3},
      {"<a>\xEF\xBF\xBE</a>", 3},
      {"<a>\xEF\xBF\xBF</a>", 3},
  };
  for (const auto& [text, at] : cases) EXPECT_EQ(FirstMisreadableByte(text), at) << text;
}

TEST(XmlGuardTest, AdmissionLogsWhatItRefuses) {
  tool_test::LogCapture log;
  std::string at_bound, past_bound;
  for (std::size_t i = 0; i < kMaxXmlNesting; ++i) at_bound += "<a>";
  past_bound = at_bound + "<a>";
  EXPECT_TRUE(AdmitXmlText(at_bound, "Parse"));
  EXPECT_FALSE(AdmitXmlText(past_bound, "Parse"));
  EXPECT_TRUE(log.contains("XmlDocument::Parse refused, elements nested 257 levels deep, more than 256"));
  EXPECT_FALSE(AdmitXmlText("<a>\xC3", "LoadFile"));
  EXPECT_TRUE(log.contains("XmlDocument::LoadFile refused, incomplete UTF-8 sequence at byte 3"));
  // What follows a zero byte is never read.
  EXPECT_TRUE(AdmitXmlText(std::string("<a/>\0\xC3", 6), "Parse"));
}

}  // namespace
