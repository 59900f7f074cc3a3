// The protocol reference of the daemon's README, run: every request of its
// examples goes, in order, over one connection to a daemon with the real
// engine, and every message the README shows must come back, in order. A
// "<...>" in a shown message stands for any text. A task's state changes while
// it runs, so a "gettaskstate" whose answer is not yet the one shown is asked
// again (bounded).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include <rapidjson/document.h>

#include "QelDaemon/request_dispatcher.h"
#include "QelApi/QelDaemon/daemon_fixture.h"

namespace qel::test {
namespace {

// One line of the examples: a request, or a message the daemon sends.
struct Step {
  bool request = true;
  std::string text;
};

// The indented lines between the README's protocol markers: "{..." is a
// request, "→ ..." a message from the daemon.
std::vector<Step> readmeProtocolSteps() {
  const std::string readme = readFile(sourceDir() + "/QelApi/QelDaemon/README.md");
  const std::size_t from = readme.find("<!-- protocol-examples:begin -->");
  const std::size_t to = readme.find("<!-- protocol-examples:end -->");
  std::vector<Step> steps;
  if (from == std::string::npos || to == std::string::npos || to < from) return steps;
  std::istringstream section(readme.substr(from, to - from));
  const std::string request = "    {";
  const std::string shown = "    \xE2\x86\x92 ";  // "→ "
  std::string line;
  while (std::getline(section, line)) {
    if (line.rfind(request, 0) == 0) steps.push_back({true, line.substr(4)});
    if (line.rfind(shown, 0) == 0) steps.push_back({false, line.substr(shown.size())});
  }
  return steps;
}

// True when `text` is `pattern` with each "<...>" of the pattern standing for
// any text (also none).
bool matchesShown(const std::string& pattern, const std::string& text) {
  std::vector<std::string> literals;
  std::size_t at = 0;
  while (true) {
    const std::size_t open = pattern.find('<', at);
    const std::size_t close = open == std::string::npos ? std::string::npos : pattern.find('>', open);
    if (close == std::string::npos) break;
    literals.push_back(pattern.substr(at, open - at));
    at = close + 1;
  }
  literals.push_back(pattern.substr(at));
  if (literals.size() == 1) return text == literals.front();
  if (text.compare(0, literals.front().size(), literals.front()) != 0) return false;
  std::size_t position = literals.front().size();
  for (std::size_t i = 1; i + 1 < literals.size(); ++i) {
    const std::size_t found = text.find(literals[i], position);
    if (found == std::string::npos) return false;
    position = found + literals[i].size();
  }
  const std::string& last = literals.back();
  return text.size() >= position + last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
}

std::string opOf(const std::string& request) {
  rapidjson::Document document;
  document.Parse(request.c_str(), request.size());
  if (!document.IsObject() || !document.HasMember("op") || !document["op"].IsString()) return "";
  return document["op"].GetString();
}

TEST(ReadmeProtocolMatch, PlaceholdersStandForAnyText) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {R"({"sid":1})", R"({"sid":1})", true},
      {R"({"sid":1})", R"({"sid":12})", false},
      {R"({"a":<n>,"b":<n>})", R"({"a":0,"b":1})", true},
      {R"({"a":<n>,"b":<n>})", R"({"a":0,"c":1})", false},
      {R"({"a":"<x>"})", R"({"a":""})", true},
      {R"(<any>})", R"({"a":1})", true},
      {R"({"a":<n>})", R"({"a":1}})", true},
      {R"({"a":<n>,"a":1})", R"({"a":1})", false},  // the end is not the start again
  };
  for (const Case& c : cases) EXPECT_EQ(matchesShown(c.pattern, c.text), c.matches) << c.pattern << " / " << c.text;
}

class ReadmeProtocolTest : public DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (HasFatalFailure()) return;
    media_ = dir_.file("media");
    std::filesystem::create_directories(media_);
    ClipSpec clip;
    clip.seconds = 2;
    makeClip(media_ + "/in.mp4", clip);
    clip.seconds = 30;
    makeClip(media_ + "/long.mp4", clip);
  }

  // An example with its /media paths pointing into this test's folder.
  std::string localise(std::string text) const {
    const std::string from = "/media/";
    const std::string to = media_ + "/";
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
    return text;
  }

  std::string media_;
};

TEST_F(ReadmeProtocolTest, EveryExampleGetsTheMessagesShown) {
  const std::vector<Step> steps = readmeProtocolSteps();
  ASSERT_FALSE(steps.empty()) << "no protocol examples in the README";
  std::set<std::string> ops;
  for (const Step& step : steps) {
    if (step.request) ops.insert(opOf(step.text));
  }
  for (const auto& [op, handler] : OpTable()) EXPECT_EQ(ops.count(op), 1u) << "no example of \"" << op << "\"";

  TestClient client;
  connect(client);
  std::string lastRequest;
  for (const Step& step : steps) {
    const std::string text = localise(step.text);
    if (step.request) {
      ASSERT_TRUE(client.send(text)) << text;
      lastRequest = text;
      continue;
    }
    std::optional<std::string> got = client.receive();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (got && !matchesShown(text, *got) && opOf(lastRequest) == "gettaskstate" &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_TRUE(client.send(lastRequest));
      got = client.receive();
    }
    ASSERT_TRUE(got.has_value()) << "nothing came for\n" << lastRequest << "\nwhile the README shows\n" << text;
    ASSERT_TRUE(matchesShown(text, *got)) << "after\n"
                                          << lastRequest << "\nthe README shows\n"
                                          << text << "\nbut the daemon sent\n"
                                          << *got;
  }

  // The examples' task wrote what it says; the aborted one left nothing.
  const ProbeInfo out = probe(media_ + "/out.mp4");
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.count("video"), 1);
  EXPECT_EQ(out.count("audio"), 1);
  EXPECT_EQ(out.width, 80);
  EXPECT_EQ(out.height, 60);
  EXPECT_NEAR(out.duration, 2.0, 0.2);
  EXPECT_FALSE(std::filesystem::exists(media_ + "/aborted.mp4"));
  EXPECT_TRUE(hasExited(std::chrono::seconds(60))) << "\"quit\" did not end the daemon";
}

}  // namespace
}  // namespace qel::test
