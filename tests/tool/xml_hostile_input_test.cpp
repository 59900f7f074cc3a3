// Documents that would crash TinyXML or make it read past the text: each is
// refused with a log line before TinyXML sees it, by Parse and by LoadFile, and
// the document wrapper stays usable.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/subprocess.h"
#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/xml_node.h"

namespace {

using namespace tool;
using qel::test::TempDir;
using qel::test::writeFile;

std::string Nested(std::size_t levels, const std::string& open = "<a>") {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) text += open;
  for (std::size_t i = 0; i < levels; ++i) text += "</a>";
  return text;
}

// The shape a fuzzer found: a declaration whose bytes 0xE8 announce UTF-8
// sequences that never come, and text that ends inside one.
std::string CutUtf8Document() {
  std::string text = "<?xml version=\"1.0\" en";
  text.append(100, '\xE8');
  text += "><a>";
  text.append(1600, '\xE8');
  return text;
}

// Elements from the root down, following the first child element.
std::size_t DepthOf(XmlDocument& document) {
  std::size_t depth = 0;
  std::unique_ptr<XmlElement> element(document.RootElement());
  while (element && element->ToElement() && !element->GetValue().empty()) {
    ++depth;
    element.reset(element->FirstChildElement("a"));
  }
  return depth;
}

TEST(XmlHostileInputTest, DeepNestingIsRefusedByParseAndLoadFile) {
  TempDir dir;
  tool_test::LogCapture log;
  // 100,000 levels overflow the stack inside TinyXML; so would ones hidden from
  // a count of "<" and "/>" in quotes or text.
  const std::vector<std::pair<std::string, std::string>> deep = {
      {Nested(100000), "100000"},
      {Nested(100000, "<a t=\"/>\">"), "100000"},
      {Nested(100000, "<a>/>"), "100000"},
  };
  for (const auto& [text, levels] : deep) {
    XmlDocument document;
    EXPECT_EQ(document.Parse(text), nullptr);
    EXPECT_TRUE(log.contains("XmlDocument::Parse refused, elements nested " + levels + " levels deep, more than 256"));
    const std::string path = dir.file("deep.xml");
    writeFile(path, text);
    EXPECT_FALSE(document.LoadFile(path));
    EXPECT_TRUE(log.contains("XmlDocument::LoadFile refused, elements nested " + levels + " levels deep"));
    ASSERT_NE(document.Parse("<usable/>"), nullptr);
  }
  // The bound itself is parsed and loaded; one level more is refused.
  XmlDocument at_bound;
  ASSERT_NE(at_bound.Parse(Nested(256)), nullptr);
  EXPECT_EQ(DepthOf(at_bound), 256u);
  writeFile(dir.file("bound.xml"), Nested(256));
  XmlDocument loaded;
  ASSERT_TRUE(loaded.LoadFile(dir.file("bound.xml")));
  EXPECT_EQ(DepthOf(loaded), 256u);
  XmlDocument past_bound;
  EXPECT_EQ(past_bound.Parse(Nested(257)), nullptr);
  EXPECT_TRUE(log.contains("XmlDocument::Parse refused, elements nested 257 levels deep, more than 256"));
}

// A document at the bound is parsed, copied, saved and destroyed on a thread
// whose stack is far smaller than a program's main stack: TinyXML walks each
// of these down the nesting.
TEST(XmlHostileInputTest, BoundFitsASmallThreadStack) {
  TempDir dir;
  std::string path = dir.file("copy.xml");
  auto work = [](void* argument) -> void* {
    XmlDocument deep;
    XmlDocument other;
    if (deep.Parse(Nested(256)) == nullptr || other.Parse("<r><x/></r>") == nullptr) return nullptr;
    // The 255 levels below the deep root take the place of x: 256 again.
    std::unique_ptr<XmlElement> root(deep.RootElement());
    std::unique_ptr<XmlElement> inner(root->FirstChildElement("a"));
    std::unique_ptr<XmlElement> other_root(other.RootElement());
    std::unique_ptr<XmlElement> x(other_root->FirstChildElement("x"));
    std::unique_ptr<XmlNode> copy(other_root->ReplaceChild(x.get(), inner.get()));
    bool saved = other.SaveFile(*static_cast<std::string*>(argument));
    return copy && copy->GetValue() == "a" && saved ? argument : nullptr;
  };
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1024 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, work, &path), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(result, &path);
  XmlDocument saved;
  ASSERT_TRUE(saved.LoadFile(path));
  std::unique_ptr<XmlElement> root(saved.RootElement());
  std::unique_ptr<XmlElement> below(root->FirstChildElement("a"));
  EXPECT_EQ(below->GetValue(), "a");
}

TEST(XmlHostileInputTest, IncompleteUtf8IsRefusedBeforeTinyXmlReadsPastIt) {
  TempDir dir;
  tool_test::LogCapture log;
  struct Case {
    std::string text;
    std::size_t at;
  };
  const std::vector<Case> cases = {
      {CutUtf8Document(), 22},
      {"<a>\xE8", 3},                          // the text ends inside a sequence
      {"<a b=\"\xC3\"/>", 6},                  // a quote where a continuation byte belongs
      {"<a>\xF0\x9F\x98</a>", 3},              // "<" where the last byte belongs
      {std::string("<a>x\xE2\0</a>", 10), 4},  // TinyXML stops at the zero byte
  };
  for (const Case& c : cases) {
    const std::string at = " at byte " + std::to_string(c.at) + "\n";
    XmlDocument document;
    EXPECT_EQ(document.Parse(c.text), nullptr);
    EXPECT_TRUE(log.contains("XmlDocument::Parse refused, incomplete UTF-8 sequence" + at)) << c.at;
    const std::string path = dir.file("cut.xml");
    writeFile(path, c.text);
    EXPECT_FALSE(document.LoadFile(path));
    EXPECT_TRUE(log.contains("XmlDocument::LoadFile refused, incomplete UTF-8 sequence" + at)) << c.at;
  }
  // A byte-order mark may open the document, but nowhere else.
  XmlDocument marked;
  EXPECT_EQ(marked.Parse("<a>\xEF\xBB\xBF</a>"), nullptr);
  EXPECT_TRUE(log.contains("XmlDocument::Parse refused, byte-order mark or U+FFFE/U+FFFF inside the text at byte 3"));
  ASSERT_NE(marked.Parse("\xEF\xBB\xBF<a/>"), nullptr);

  // Whole sequences of every length come through unchanged.
  XmlDocument document;
  ASSERT_NE(document.Parse("<a b=\"caf\xC3\xA9\">\xE4\xB8\xAD\xF0\x9F\x98\x80</a>"), nullptr);
  std::unique_ptr<XmlElement> root(document.RootElement());
  EXPECT_EQ(root->Attribute("b"), "caf\xC3\xA9");
  std::unique_ptr<XmlNode> text(root->FirstChild());
  EXPECT_EQ(text->GetValue(), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

// A file over the bound that xml_node.h states (64 MiB) is refused unread, with
// a log line; one at the bound loads. The files are sparse: their holes read as
// zero bytes, which end the text TinyXML parses, so both hold the same small
// document.
TEST(XmlHostileInputTest, FileOverTheBoundIsRefusedUnread) {
  constexpr uint64_t kBound = uint64_t{64} << 20;
  struct Case {
    uint64_t size;
    bool loads;
  } const cases[] = {{kBound, true}, {kBound + 1, false}};
  TempDir dir;
  const std::string path = dir.file("sparse.xml");
  for (const Case& c : cases) {
    writeFile(path, "<a>b</a>");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.size)), 0);
    tool_test::LogCapture log;
    XmlDocument document;
    EXPECT_EQ(document.LoadFile(path), c.loads) << c.size;
    EXPECT_EQ(log.contains("XmlDocument::LoadFile '" + path + "' refused, size:" + std::to_string(c.size) +
                           ", files over 67108864 bytes are not loaded"),
              !c.loads)
        << log.text();
  }
}

// The address space a child may still take beyond what it holds now.
bool LimitAddressSpaceToCurrentPlus(std::size_t headroom) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  if (!(statm >> pages)) return false;
  const auto limit = static_cast<rlim_t>(pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + headroom);
  const rlimit cap{limit, limit};
  return ::setrlimit(RLIMIT_AS, &cap) == 0;
}

// Memory running out while a document is loaded or parsed is a failed call
// with a log line, never an exception: in a child that may take only 16 MiB
// more address space, a 32 MiB document can't be held.
TEST(XmlHostileInputTest, RunningOutOfMemoryIsAFailureNeverAnException) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves address space far beyond any small limit";
#endif
  TempDir dir;
  const std::string path = dir.file("large.xml");
  const std::string text = "<a>" + std::string(std::size_t{32} << 20, 'x') + "</a>";
  writeFile(path, text);
  for (const char* method : {"LoadFile", "Parse"}) {
    tool_test::LogCapture log;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Exit codes: 0 failed and left no half-built tree, 1 loaded or left
      // one, 2 threw (the child must never return into the test).
      int code = 2;
      try {
        if (!LimitAddressSpaceToCurrentPlus(std::size_t{16} << 20)) ::_exit(77);
        XmlDocument document;
        const bool done =
            std::strcmp(method, "LoadFile") == 0 ? document.LoadFile(path) : document.Parse(text) != nullptr;
        std::unique_ptr<XmlElement> root(document.RootElement());
        code = done || !root || !root->GetValue().empty() ? 1 : 0;
      } catch (...) {
      }
      ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << method << " ended the process: " << ::strsignal(WTERMSIG(status));
    ASSERT_NE(WEXITSTATUS(status), 77) << "the child could not limit its address space";
    EXPECT_EQ(WEXITSTATUS(status), 0) << method << (WEXITSTATUS(status) == 2 ? " threw" : " loaded");
    EXPECT_TRUE(log.contains(std::string("XmlDocument::") + method + " failed, out of memory")) << log.text();
  }
}

// The release library under valgrind: TinyXML reads nothing past the text,
// whether it comes through Parse or LoadFile.
TEST(XmlHostileInputTest, TinyXmlReadsNothingPastTheText) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "valgrind can't run a program built with AddressSanitizer";
#endif
  std::string valgrind;
  for (const char* folder : {"/usr/bin", "/usr/local/bin"}) {
    if (::access((std::string(folder) + "/valgrind").c_str(), X_OK) == 0) valgrind = std::string(folder) + "/valgrind";
  }
  if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed (scripts/deps installs it)";
  TempDir dir;
  const std::string path = dir.file("cut.xml");
  writeFile(path, CutUtf8Document());
  qel::CapturedRun run = qel::runAndCapture(
      {valgrind, "-q", "--error-exitcode=99", "--leak-check=no", qel::test::binDir() + "/tool_xml_probe", path}, true);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output.find("Invalid read"), std::string::npos) << run.output;
}

}  // namespace
