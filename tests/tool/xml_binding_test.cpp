// Typed values stored as child elements and read back, through a file.
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/file_util.h"
#include "tool/xml_node.h"

namespace {

using namespace tool;

// Reads one child element back by offering it to a reader.
template <class T, class... Extra>
bool ReadChild(XmlElement& parent, const std::string& name, T& out, Extra... extra) {
  std::unique_ptr<XmlElement> child(parent.FirstChildElement(name));
  return child->UpdateValueFromElement(name, out, extra...);
}

TEST(XmlBindingTest, IntRoundTripAndOtherNamesLeaveTheValue) {
  XmlElement record("record");
  record.LinkEndChild("width", 640);
  int width = 0;
  EXPECT_TRUE(ReadChild(record, "width", width));
  EXPECT_EQ(width, 640);
  std::unique_ptr<XmlElement> child(record.FirstChildElement("width"));
  int height = 5;
  EXPECT_FALSE(child->UpdateValueFromElement("height", height));
  EXPECT_EQ(height, 5);
}

TEST(XmlBindingTest, NumberTexts) {
  XmlElement record("record");
  record.LinkEndChild("d", 1.5, false);
  record.LinkEndChild("scaled", 0.25, true);
  record.LinkEndChild("flag", true);
  record.LinkEndChild("u", 4000000000u);
  record.LinkEndChild("neg", int64_t{-1});
  std::unique_ptr<XmlElement> d(record.FirstChildElement("d"));
  std::unique_ptr<XmlNode> d_text(d->FirstChild());
  EXPECT_EQ(d_text->GetValue(), "1.500000");
  std::unique_ptr<XmlElement> scaled(record.FirstChildElement("scaled"));
  std::unique_ptr<XmlNode> scaled_text(scaled->FirstChild());
  EXPECT_EQ(scaled_text->GetValue(), "250.000000");
  double back = 0;
  EXPECT_TRUE(scaled->UpdateValueFromElement("scaled", back, true));
  EXPECT_DOUBLE_EQ(back, 0.25);
  std::unique_ptr<XmlElement> flag(record.FirstChildElement("flag"));
  std::unique_ptr<XmlNode> flag_text(flag->FirstChild());
  EXPECT_EQ(flag_text->GetValue(), "1");
  unsigned int u = 0;
  EXPECT_TRUE(ReadChild(record, "u", u));
  EXPECT_EQ(u, 4000000000u);
  int64_t negative = 0;
  EXPECT_TRUE(ReadChild(record, "neg", negative));
  EXPECT_EQ(negative, -1);
}

TEST(XmlBindingTest, NothingIsWrittenForNanOrEmpty) {
  tool_test::LogCapture log;
  XmlElement record("record");
  record.LinkEndChild("nan", DefaultDoubleNANValue(), false);
  record.LinkEndChild("nan", DefaultDoubleNANValue(), true);
  record.LinkEndChild("empty", std::string(), false);
  record.LinkEndChild("", 5);
  EXPECT_EQ(log.text(), "");  // silently
  std::unique_ptr<XmlNode> first(record.FirstChild());
  EXPECT_EQ(first->GetValue(), "");  // no child at all
}

TEST(XmlBindingTest, Unsigned64Limits) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<r><max>18446744073709551615</max><over>18446744073709551616</over>"
                           "<neg>-1</neg><bad>abc</bad><u32>4294967296</u32></r>"),
            nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  uint64_t value = 1;
  EXPECT_TRUE(ReadChild(*root, "max", value));
  EXPECT_EQ(value, std::numeric_limits<uint64_t>::max());
  value = 7;
  EXPECT_FALSE(ReadChild(*root, "over", value));
  EXPECT_EQ(value, 7u);
  EXPECT_TRUE(log.contains("can't convert 18446744073709551616 to uint64_t value, errno:34, '"));
  EXPECT_TRUE(ReadChild(*root, "neg", value));  // wraps round like strtoull
  EXPECT_EQ(value, std::numeric_limits<uint64_t>::max());
  value = 7;
  EXPECT_FALSE(ReadChild(*root, "bad", value));
  EXPECT_TRUE(log.contains("can't convert abc to uint64_t value, errno:22, '"));
  unsigned int low = 9;
  EXPECT_TRUE(ReadChild(*root, "u32", low));
  EXPECT_EQ(low, 0u);
}

TEST(XmlBindingTest, Signed64RefusesOutOfRangeAndInvalid) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<r><big>99999999999999999999</big><bad>x1</bad><ok>-42x</ok></r>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  int64_t value = 3;
  EXPECT_FALSE(ReadChild(*root, "big", value));
  EXPECT_FALSE(ReadChild(*root, "bad", value));
  EXPECT_EQ(value, 3);
  EXPECT_TRUE(log.contains("can't convert 99999999999999999999 to int64_t value"));
  EXPECT_TRUE(log.contains("can't convert x1 to int64_t value"));
  EXPECT_TRUE(ReadChild(*root, "ok", value));
  EXPECT_EQ(value, -42);
  int small = 0;
  EXPECT_TRUE(ReadChild(*root, "big", small));  // int readers never fail: clamped
  EXPECT_EQ(small, std::numeric_limits<int>::max());
  EXPECT_TRUE(ReadChild(*root, "bad", small));
  EXPECT_EQ(small, 0);
}

TEST(XmlBindingTest, Base64Strings) {
  XmlElement record("record");
  const std::string bytes("bin\0ary \n  data", 15);
  record.LinkEndChild("b", bytes, true);
  std::unique_ptr<XmlElement> child(record.FirstChildElement("b"));
  std::unique_ptr<XmlNode> text(child->FirstChild());
  EXPECT_EQ(text->GetValue(), "YmluAGFyeSAKICBkYXRh");
  std::string back;
  EXPECT_TRUE(child->UpdateValueFromElement("b", back, true));
  EXPECT_EQ(back, bytes);

  XmlDocument document;
  ASSERT_NE(document.Parse("<r><b>abc</b></r>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  back = "unchanged";
  EXPECT_TRUE(ReadChild(*root, "b", back, true));
  EXPECT_EQ(back, "");
}

TEST(XmlBindingTest, CallbackReaderAndLocalPaths) {
  XmlDocument document;
  ASSERT_NE(document.Parse("<r><p>/images/a.png</p><q>images\\b.png</q><s>c2hvcnQ=</s></r>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  std::unique_ptr<XmlElement> p(root->FirstChildElement("p"));
  std::string path;
  EXPECT_TRUE(p->UpdateLocalPathValueFromElement("p", "/data", path));
  EXPECT_EQ(path, "/data/images/a.png");
  std::unique_ptr<XmlElement> q(root->FirstChildElement("q"));
  EXPECT_TRUE(q->UpdateLocalPathValueFromElement("q", "/data/", path));
  EXPECT_EQ(path, "/data/images/b.png");
  std::unique_ptr<XmlElement> s(root->FirstChildElement("s"));
  std::string seen;
  EXPECT_TRUE(s->UpdateValueFromElement(
      "s", [&](const std::string& value) { seen = value; }, true));
  EXPECT_EQ(seen, "short");
  tool_test::LogCapture log;
  EXPECT_FALSE(s->UpdateValueFromElement("s", std::function<void(const std::string&)>(), true));
  EXPECT_TRUE(log.contains("with an empty callback, ignored"));
}

TEST(XmlBindingTest, WalkOverChildElements) {
  XmlDocument document;
  ASSERT_NE(document.Parse("<r>text<a/><!-- note --><b/><c/></r>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  std::vector<std::string> names;
  EXPECT_FALSE(root->UpdateValueFromElements([&](XmlElement* child) {
    std::unique_ptr<XmlElement> owned(child);
    names.push_back(owned->GetValue());
    return names.size() < 2;
  }));
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  XmlElement lonely("lonely");
  int calls = 0;
  EXPECT_TRUE(lonely.UpdateValueFromElements([&](XmlElement* child) {
    delete child;
    return ++calls, true;
  }));
  EXPECT_EQ(calls, 0);
  tool_test::LogCapture log;
  EXPECT_FALSE(root->UpdateValueFromElements(nullptr));
  EXPECT_TRUE(log.contains("XmlElement::UpdateValueFromElements with an empty callback, ignored"));
}

TEST(XmlBindingTest, RecordWithEveryTypeThroughAFile) {
  qel::test::TempDir dir;
  const std::string path = dir.file("record.xml");
  const std::string spaced = "  a   b\n\t c  ";
  const std::string binary("\x01\xff spaces  \n kept\0", 18);
  {
    XmlDocument document;
    XmlElement record("record");
    record.LinkEndChild("text", spaced, false);
    record.LinkEndChild("blob", binary, true);
    record.LinkEndChild("ratio", 0.125, true);
    record.LinkEndChild("plain", -2.5, false);
    record.LinkEndChild("count", -17);
    record.LinkEndChild("size", 123456u);
    record.LinkEndChild("offset", int64_t{-9007199254740993});
    record.LinkEndChild("big", std::numeric_limits<uint64_t>::max());
    record.LinkEndChild("on", true);
    record.LinkEndChild("off", false);
    std::unique_ptr<XmlNode> linked(document.LinkEndChild(&record));
    ASSERT_TRUE(document.SaveFile(path));
  }
  XmlDocument loaded;
  ASSERT_TRUE(loaded.LoadFile(path));
  std::unique_ptr<XmlElement> root(loaded.RootElement());
  std::string text, blob;
  double ratio = 0, plain = 0;
  int count = 0;
  unsigned int size = 0;
  int64_t offset = 0;
  uint64_t big = 0;
  bool on = false, off = true;
  int taken = 0;
  EXPECT_TRUE(root->UpdateValueFromElements([&](XmlElement* raw) {
    std::unique_ptr<XmlElement> child(raw);
    taken += child->UpdateValueFromElement("text", text, false);
    taken += child->UpdateValueFromElement("blob", blob, true);
    taken += child->UpdateValueFromElement("ratio", ratio, true);
    taken += child->UpdateValueFromElement("plain", plain, false);
    taken += child->UpdateValueFromElement("count", count);
    taken += child->UpdateValueFromElement("size", size);
    taken += child->UpdateValueFromElement("offset", offset);
    taken += child->UpdateValueFromElement("big", big);
    taken += child->UpdateValueFromElement("on", on);
    taken += child->UpdateValueFromElement("off", off);
    return true;
  }));
  EXPECT_EQ(taken, 10);
  // TinyXML condenses runs of blanks and trims the ends when it reads; line
  // feeds and tabs were written as character references, so they stay.
  EXPECT_EQ(text, "a b\n\t c");
  EXPECT_EQ(blob, binary);  // Base64 keeps every byte
  EXPECT_DOUBLE_EQ(ratio, 0.125);
  EXPECT_DOUBLE_EQ(plain, -2.5);
  EXPECT_EQ(count, -17);
  EXPECT_EQ(size, 123456u);
  EXPECT_EQ(offset, -9007199254740993);
  EXPECT_EQ(big, std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(on);
  EXPECT_FALSE(off);
}

TEST(XmlBindingTest, NullNodeWritersAndReadersLog) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<r/>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  std::unique_ptr<XmlElement> missing(root->FirstChildElement("missing"));
  missing->LinkEndChild("x", 1);
  int value = 4;
  EXPECT_FALSE(missing->UpdateValueFromElement("x", value));
  EXPECT_EQ(value, 4);
  EXPECT_TRUE(log.contains("XmlElement::LinkEndChild with invalid param tixml_node_: 0x0"));
  EXPECT_TRUE(log.contains("XmlElement::UpdateValueFromElement with invalid param tixml_node_: 0x0"));
}

}  // namespace
