// The synchronous requests: configuration commands (including malformed and
// wrong-typed requests), the "process" reply, and the ffprobe-based media
// properties with the real ffprobe on generated clips.
#include "engine/config_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "engine/engine_context.h"
#include "engine/hardware_support.h"
#include "engine/init_config.h"
#include "base/log.h"
#include "support/test_support.h"
#include "support/engine_context_access.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

InitConfig configFor(const test::TempDir& tmp, const std::string& ffmpeg = test::ffmpegPath(),
                     const std::string& ffprobe = test::ffprobePath()) {
  InitConfig config;
  config.tmp_path = tmp.path();
  config.qel_id = "abc123";
  config.ffmpeg_pathname = ffmpeg;
  config.ffprobe_pathname = ffprobe;
  return config;
}

// Restores the process-wide log priority that these tests change.
class PriorityRestorer {
 public:
  PriorityRestorer() : saved_(rootPriority()) {}
  ~PriorityRestorer() { setRootPriority(saved_); }

 private:
  int saved_;
};

class ConfigCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { resetHardwareProbeForTesting(); }
  void TearDown() override { resetHardwareProbeForTesting(); }

  test::TempDir tmp;
  EngineContext engine{configFor(tmp)};
  PriorityRestorer priority;
};

std::string vendorOf(EngineContext& engine) {
  auto lock = EngineContextTestAccess::lock(engine);
  return EngineContextTestAccess::config(engine).hwaccel_vendor;
}

TEST_F(ConfigCommandsTest, SetHwAccelPicksTheFirstVendorInFixedOrder) {
  struct Case {
    const char* request;
    int result;
    const char* vendor;  // after the call; "stale" means untouched
  };
  const Case cases[] = {
      {nullptr, 6510, "stale"},
      {"not json", 6510, "stale"},
      {"[1,2]", 6510, "stale"},
      {R"({})", 6510, "stale"},
      {R"({"op":5})", 6510, "stale"},
      {R"({"op":"sethwaccel"})", 6510, "stale"},
      {R"({"op":"sethwaccel","hwaccel":{"name":"nvidia","enable":1}})", 6510, "stale"},
      {R"({"op":"sethwaccel","hwaccel":"nvidia"})", 6510, "stale"},
      {R"({"op":"hwaccel","hwaccel":[]})", 6510, "stale"},
      {R"({"op":"sethwaccel","hwaccel":[{"name":"Intel","enable":1},{"name":"NVIDIA","enable":1}]})", 0, "nvidia"},
      {R"({"op":"SetHwAccel","hwaccel":[{"name":"amd","enable":1}]})", 0, "amd"},
      {R"({"op":"sethwaccel","hwaccel":[{"name":"intel","enable":true},{"name":"amd","enable":"1"},)"
       R"({"name":"apple","enable":1.0},{"name":"nvidia","enable":2}]})",
       0, ""},
      {R"({"op":"sethwaccel","hwaccel":[5,"x",null,[],{"name":7,"enable":1},{"name":"apple"},)"
       R"({"enable":1},{"name":"apple","enable":1}]})",
       0, "apple"},
      {R"({"op":"sethwaccel","hwaccel":[{"name":"intel","enable":0},{"name":"Intel","enable":1}]})", 0, "intel"},
      {R"({"op":"sethwaccel","hwaccel":[]})", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request ? c.request : "(null)");
    {
      auto lock = EngineContextTestAccess::lock(engine);
      EngineContextTestAccess::config(engine).hwaccel_vendor = "stale";
    }
    EXPECT_EQ(setConfig(engine, c.request), c.result);
    EXPECT_EQ(vendorOf(engine), c.vendor);
  }
}

TEST_F(ConfigCommandsTest, SetLogLevelMapsKnownLevelsAndIgnoresOthers) {
  struct Case {
    const char* request;
    int result;
    int priority;  // after the call; the test starts each case at 300
  };
  const Case cases[] = {
      {R"({"op":"setloglevel"})", 6510, 300},
      {R"({"op":"setloglevel","logLevel":7})", 6510, 300},
      {R"({"op":"setloglevel","logLevel":null})", 6510, 300},
      {R"({"op":"SETLOGLEVEL","logLevel":"debug"})", 0, 700},
      {R"({"op":"setloglevel","logLevel":"info"})", 0, 600},
      {R"({"op":"setloglevel","logLevel":"error"})", 0, 500},
      {R"({"op":"setloglevel","logLevel":"warn"})", 0, 300},
      {R"({"op":"setloglevel","logLevel":"DEBUG"})", 0, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    setRootPriority(kLogError);
    EXPECT_EQ(setConfig(engine, c.request), c.result);
    EXPECT_EQ(rootPriority(), c.priority);
  }
}

constexpr const char* kConfigError = R"({"sid":0,"error":true,"errorCode":6510,"errorDetail":"Invalid parameter"})";

TEST_F(ConfigCommandsTest, GetConfigAnswersEveryRequestShape) {
  setRootPriority(kLogInfo);
  struct Case {
    const char* request;
    const char* reply;
  };
  const Case cases[] = {
      {"not json", kConfigError},
      {"42", kConfigError},
      {R"({"sid":3})", kConfigError},
      {R"({"op":7,"sid":3})", kConfigError},
      {R"({"op":["gethwaccel"]})", kConfigError},
      {R"({"op":"GetLogLevel","sid":5})", kConfigError},
      {R"({"op":"setloglevel","sid":5})", kConfigError},
      {R"({"op":"getloglevel","sid":5})", R"({"sid":5,"logLevel":"info"})"},
      {R"({"op":"getloglevel"})", R"({"sid":0,"logLevel":"info"})"},
      {R"({"op":"getloglevel","sid":"5"})", R"({"sid":0,"logLevel":"info"})"},
      {R"({"op":"getloglevel","sid":-9})", R"({"sid":-9,"logLevel":"info"})"},
      {R"({"op":"getloglevel","sid":9007199254740993})", R"({"sid":9007199254740993,"logLevel":"info"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    std::string reply;
    EXPECT_EQ(getConfig(engine, c.request, reply), 0);
    EXPECT_EQ(reply, c.reply);
  }
  std::string reply;
  EXPECT_EQ(getConfig(engine, nullptr, reply), 6510);
  EXPECT_EQ(reply, "");
}

TEST_F(ConfigCommandsTest, GetLogLevelNamesOnlyErrorInfoAndDebug) {
  const std::pair<int, const char*> cases[] = {
      {300, "error"}, {400, "error"}, {500, "error"}, {600, "info"}, {700, "debug"}, {0, "error"},
  };
  for (const auto& [value, name] : cases) {
    setRootPriority(value);
    std::string reply;
    ASSERT_EQ(getConfig(engine, R"({"op":"getloglevel","sid":1})", reply), 0);
    EXPECT_EQ(reply, std::string(R"({"sid":1,"logLevel":")") + name + "\"}") << value;
  }
  // "error" is set as notice, and notice reads back as "error".
  ASSERT_EQ(setConfig(engine, R"({"op":"setloglevel","logLevel":"error"})"), 0);
  std::string reply;
  getConfig(engine, R"({"op":"getloglevel"})", reply);
  EXPECT_EQ(reply, R"({"sid":0,"logLevel":"error"})");
}

TEST_F(ConfigCommandsTest, GetHwAccelOnThisMachineFindsNoVendorEncoder) {
  test::ScopedEnv tmpdir("TMPDIR", tmp.path());  // the probe makes its test clip there
  std::string reply;
  ASSERT_EQ(getConfig(engine, R"({"op":"gethwaccel","sid":7})", reply), 0);
  EXPECT_EQ(reply, R"({"sid":7,"hwaccel":[{"name":"Nvidia","support":0},{"name":"Amd","support":0},)"
                   R"({"name":"Intel","support":0},{"name":"Apple","support":0}]})");
  // The probe made its clip in a private folder inside the system temporary
  // folder and removed it: nothing of it stays there.
  EXPECT_FALSE(fs::exists(tmp.file(kHardwareTestClipName)));
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("qel-hw-", 0), std::string::npos) << entry.path();
  }
}

TEST_F(ConfigCommandsTest, GetHwAccelReportsWhatTheProbeFoundAndAsksOnce) {
  // A stand-in ffmpeg whose nvenc and videotoolbox tests pass, counting its starts.
  const std::string fake = tmp.file("ffmpeg");
  const std::string log = tmp.file("calls.log");
  test::writeFile(fake, "#!/bin/sh\necho x >> '" + log +
                            "'\ncase \"$*\" in *libx264*|*h264_nvenc*|*h264_videotoolbox*) exit 0;; esac\nexit 1\n");
  ::chmod(fake.c_str(), 0755);
  EngineContext faked(configFor(tmp, fake));
  test::ScopedEnv tmpdir("TMPDIR", tmp.path());  // the probe makes its test clip there

  const std::string expected = R"({"sid":1,"hwaccel":[{"name":"Nvidia","support":1},{"name":"Amd","support":0},)"
                               R"({"name":"Intel","support":0},{"name":"Apple","support":1}]})";
  std::string reply;
  ASSERT_EQ(getConfig(faked, R"({"op":"gethwaccel","sid":1})", reply), 0);
  EXPECT_EQ(reply, expected);
  EXPECT_EQ(test::readFile(log).size(), 10u);  // five starts
  ASSERT_EQ(getConfig(faked, R"({"op":"gethwaccel","sid":1})", reply), 0);
  EXPECT_EQ(reply, expected);
  EXPECT_EQ(test::readFile(log).size(), 10u);  // cached: no new start
}

TEST_F(ConfigCommandsTest, ProcessRequestWithoutGraphGivesTheFailureReply) {
  std::string reply;
  EXPECT_EQ(processLavfiRequest(engine, nullptr, reply), 6510);
  EXPECT_EQ(reply, "");

  const char* failure = R"({"sid":%s,"error":true,"errorCode":6520,"errorDetail":"process failed",)"
                        R"("operation":{"output":"","fileNums":0}})";
  auto expected = [&](const std::string& sid) {
    std::string text = failure;
    text.replace(text.find("%s"), 2, sid);
    return text;
  };
  EXPECT_EQ(processLavfiRequest(engine, "not json", reply), 0);
  EXPECT_EQ(reply, expected("0"));
  EXPECT_EQ(processLavfiRequest(engine, R"({"sid":"12"})", reply), 0);
  EXPECT_EQ(reply, expected("0"));
  const std::string unknownOperation =
      R"({"sid":12,"operation":{"input":[{"type":1,"value":"/nowhere.mp4","duration":1}],)"
      R"("transform":"","description":"noSuchOperation"}})";
  EXPECT_EQ(processLavfiRequest(engine, unknownOperation.c_str(), reply), 0);
  EXPECT_EQ(reply, expected("12"));
}

test::ClipSpec shortClip(bool audio) {
  test::ClipSpec recipe;
  recipe.seconds = 0.5;
  recipe.audio = audio;
  return recipe;
}

rapidjson::Document parseJson(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  return doc;
}

TEST_F(ConfigCommandsTest, MediaPropertiesOfAClipHaveStreamsAndFormat) {
  const std::string clip = tmp.file("clip.mp4");
  test::makeClip(clip);

  std::string props;
  ASSERT_EQ(getMediaProperties(engine, clip.c_str(), props), 0);
  rapidjson::Document doc = parseJson(props);
  ASSERT_TRUE(doc.IsObject()) << props;
  ASSERT_TRUE(doc.HasMember("streams") && doc["streams"].IsArray());
  EXPECT_EQ(doc["streams"].Size(), 2u);
  ASSERT_TRUE(doc.HasMember("format") && doc["format"].IsObject());

  // Format only: no streams; the output is appended to what the caller passed.
  std::string formatOnly = "prefix";
  ASSERT_EQ(runProbe(engine, clip.c_str(), formatOnly, true), 0);
  ASSERT_EQ(formatOnly.rfind("prefix", 0), 0u);
  rapidjson::Document format = parseJson(formatOnly.substr(6));
  ASSERT_TRUE(format.IsObject());
  EXPECT_TRUE(format.HasMember("format"));
  EXPECT_FALSE(format.HasMember("streams"));
}

TEST_F(ConfigCommandsTest, MediaPropertiesFailures) {
  const std::string text = tmp.file("notes.txt");
  test::writeFile(text, "just some words, not media\n");
  std::string props = "stale";
  EXPECT_EQ(getMediaProperties(engine, tmp.file("missing.mp4").c_str(), props), 6500);
  EXPECT_EQ(props, "");
  EXPECT_EQ(getMediaProperties(engine, text.c_str(), props), 6518);
  EXPECT_EQ(getMediaProperties(engine, nullptr, props), 6510);
  std::string output;
  EXPECT_EQ(runProbe(engine, nullptr, output, false), 6510);

  // A configured ffprobe that does not exist cannot start: the file format is
  // reported as unsupported, as when ffprobe fails.
  const std::string clip = tmp.file("clip.mp4");
  test::makeClip(clip, shortClip(false));
  EngineContext noProbe(configFor(tmp, test::ffmpegPath(), tmp.file("no-ffprobe")));
  EXPECT_EQ(runProbe(noProbe, clip.c_str(), output, false), 6518);
}

TEST_F(ConfigCommandsTest, MissingFileStartsNoFfprobe) {
  const std::string fake = tmp.file("ffprobe");
  const std::string log = tmp.file("probe.log");
  test::writeFile(fake, "#!/bin/sh\necho started >> '" + log + "'\nexit 0\n");
  ::chmod(fake.c_str(), 0755);
  EngineContext faked(configFor(tmp, test::ffmpegPath(), fake));
  std::string output;
  EXPECT_EQ(runProbe(faked, tmp.file("missing.mp4").c_str(), output, false), 6500);
  EXPECT_FALSE(fs::exists(log));
}

TEST_F(ConfigCommandsTest, ShellSyntaxInAFileNameIsOnlyAName) {
  const std::string clip = tmp.file("$(touch PWNED).mp4");
  test::makeClip(clip, shortClip(true));
  std::string props;
  ASSERT_EQ(getMediaProperties(engine, clip.c_str(), props), 0);
  rapidjson::Document doc = parseJson(props);
  ASSERT_TRUE(doc.IsObject() && doc.HasMember("streams"));
  EXPECT_FALSE(fs::exists("PWNED"));
  EXPECT_FALSE(fs::exists(tmp.file("PWNED")));
}

TEST_F(ConfigCommandsTest, RelativeNameThatLooksLikeAnOptionIsProbedAsAFile) {
  test::makeClip(tmp.file("-report.mp4"), shortClip(false));
  const fs::path saved = fs::current_path();
  fs::current_path(tmp.path());
  std::string props;
  const int result = runProbe(engine, "-report.mp4", props, false);
  fs::current_path(saved);
  ASSERT_EQ(result, 0) << props;
  EXPECT_TRUE(parseJson(props).IsObject());
  // ffprobe's -report would have written a report file into the folder.
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("ffprobe-", 0), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace qel
