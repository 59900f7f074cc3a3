// The hardware-encoder probe: its answer with the real ffmpeg of this machine
// (no vendor encoder works here), and with a stand-in ffmpeg script that logs
// every start and succeeds only for chosen encoders, which makes the exact
// command lines, the cache and the one-probe-at-a-time rule observable.
#include "engine/hardware_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "QelApi/QelDaemon/probe_gate.h"
#include "qelapi.h"
#include "support/test_support.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// A stand-in ffmpeg: appends one line per start to `log`, each argument in
// brackets. Making the clip (an argv holding "libx264") exits with `clipExit`
// after `clipDelay` seconds; an encoder test exits 0 only when its encoder is
// one of `working`.
struct FakeFfmpeg {
  std::string program;
  std::string log;
};

FakeFfmpeg writeFakeFfmpeg(const std::string& folder, const std::vector<std::string>& working, int clipExit = 0,
                           const std::string& clipDelay = "0") {
  FakeFfmpeg fake{folder + "/ffmpeg", folder + "/calls.log"};
  std::string okCases;
  for (const std::string& encoder : working) okCases += fmt::format("  *\"[{}]\"*) exit 0 ;;\n", encoder);
  test::writeFile(fake.program, fmt::format("#!/bin/sh\n"
                                            "line=''\n"
                                            "for a in \"$@\"; do line=\"$line[$a]\"; done\n"
                                            "printf '%s\\n' \"$line\" >> '{}'\n"
                                            "case \"$line\" in\n"
                                            "  *\"[libx264]\"*) sleep {}; exit {} ;;\n"
                                            "{}"
                                            "esac\n"
                                            "exit 1\n",
                                            fake.log, clipDelay, clipExit, okCases));
  ::chmod(fake.program.c_str(), 0755);
  return fake;
}

std::vector<std::string> loggedCalls(const FakeFfmpeg& fake) {
  std::vector<std::string> lines;
  if (!fs::exists(fake.log)) return lines;
  std::string text = test::readFile(fake.log);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class HardwareProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { resetHardwareProbeForTesting(); }
  void TearDown() override { resetHardwareProbeForTesting(); }
  test::TempDir tmp;
};

TEST(HardwareSupportValue, VendorBytesFromLowestToHighest) {
  HardwareSupport intelOnly;
  intelOnly.intel = 1;
  EXPECT_EQ(intelOnly.value(), 65536u);
  HardwareSupport all{1, 1, 1, 1};
  EXPECT_EQ(all.value(), 0x01010101u);
  EXPECT_EQ(HardwareSupport::fromValue(0x01000001u), (HardwareSupport{1, 0, 0, 1}));
}

// The names in a folder, sorted.
std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The test clip's path, as the first logged call (the one that makes it) names it.
std::string clipOfFirstCall(const std::vector<std::string>& calls) {
  if (calls.empty()) return {};
  const std::string& line = calls.front();
  const std::size_t open = line.rfind('[');
  return line.substr(open + 1, line.size() - open - 2);
}

// The temporary folder is shared: the real ffmpeg makes the clip in a folder of
// the probe's own, so a link planted under the clip's name (to another user's
// file) is never written through, and nothing of the probe stays behind.
TEST_F(HardwareProbeTest, RealFfmpegFindsNoVendorEncoderAndCachesTheAnswer) {
  test::TempDir elsewhere;
  const std::string victim = elsewhere.file("hwvictim.txt");
  test::writeFile(victim, "not a video");
  fs::create_symlink(victim, tmp.file(kHardwareTestClipName));

  const HardwareSupport support = probeHardwareEncoders(test::ffmpegPath(), tmp.path());
  EXPECT_EQ(support.value(), 0u);
  EXPECT_EQ(test::readFile(victim), "not a video");
  EXPECT_EQ(entriesOf(tmp.path()), std::vector<std::string>{kHardwareTestClipName}) << "the probe left files behind";
  // The clip was made with libx264, so the probe completed and is cached.

  test::TempDir other;
  const FakeFfmpeg fake = writeFakeFfmpeg(other.path(), {"h264_nvenc"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, other.path()).value(), 0u);
  EXPECT_TRUE(loggedCalls(fake).empty()) << "a cached answer must start nothing";
}

// An engine shut down while its "gethwaccel" probe runs (the probe's ffmpeg a
// stand-in that answers only when released) ends the probe's program instead
// of waiting for it; the handle is refused from then on, and the ended probe
// caches nothing, so the next one probes.
TEST_F(HardwareProbeTest, UnInitEndsAProbeInProgressWhichCachesNothing) {
  const std::string folder = tmp.file("bin");
  fs::create_directories(folder);
  fs::create_symlink(test::binDir() + "/qel_gated_ffprobe", folder + "/ffmpeg");
  test::ProbeGate gate(folder, "ffmpeg");
  const std::string config =
      fmt::format(R"({{"log_level":"notice","log_path":"{0}","tmp_path":"{0}","qel_id":"hwprobe",)"
                  R"("ffmpeg_pathname":"{1}","ffprobe_pathname":"{2}"}})",
                  tmp.path(), folder + "/ffmpeg", test::ffprobePath());
  void* handle = qelapi_init(config.c_str());
  ASSERT_NE(handle, nullptr);
  std::thread caller([handle] {
    char* reply = nullptr;
    qelapi_get_config(handle, R"({"sid":1,"op":"gethwaccel"})", &reply);
    qelapi_free_str(nullptr, &reply);
  });
  EXPECT_TRUE(gate.waitStarted(std::chrono::seconds(60))) << "the probe did not start";

  const auto asked = std::chrono::steady_clock::now();
  qelapi_un_init(handle);
  const auto took = std::chrono::steady_clock::now() - asked;
  gate.release();  // lets a probe that was not ended finish, so the caller returns
  caller.join();
  EXPECT_LT(took, std::chrono::seconds(20)) << "un_init waited for the probe's program";
  EXPECT_EQ(qelapi_create_task(handle, 1), QEL_ERR_INVALID_PARAMS) << "a shut-down handle was used";

  const FakeFfmpeg fake = writeFakeFfmpeg(tmp.path(), {"h264_qsv"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, tmp.path()).value(), 65536u) << "the ended probe was cached";
}

TEST_F(HardwareProbeTest, CommandLinesFollowTheFixedLayout) {
  const FakeFfmpeg fake = writeFakeFfmpeg(tmp.path(), {"h264_qsv"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, tmp.path()).value(), 65536u);

  // The clip lies in a fresh folder of the probe's own inside the temporary
  // folder, gone once the probe has ended.
  const std::string clip = clipOfFirstCall(loggedCalls(fake));
  const fs::path privateFolder = fs::path(clip).parent_path();
  EXPECT_EQ(privateFolder.parent_path(), fs::path(tmp.path()));
  EXPECT_EQ(privateFolder.filename().string().rfind("qel-hw-", 0), 0u) << clip;
  EXPECT_EQ(fs::path(clip).filename(), kHardwareTestClipName);
  EXPECT_FALSE(fs::exists(privateFolder)) << clip;
  const std::vector<std::string> expected{
      "[-y][-v][quiet][-f][lavfi][-i][testsrc=duration=5:size=320x240:rate=25:decimals=4]"
      "[-vcodec][libx264][-r:v][25][" +
          clip + "]",
      "[-y][-v][quiet][-i][" + clip + "][-c:v][h264_nvenc][-f][null][-]",
      "[-y][-v][quiet][-i][" + clip + "][-c:v][h264_amf][-f][null][-]",
      "[-y][-v][quiet][-i][" + clip + "][-c:v][h264_qsv][-f][null][-]",
      "[-y][-v][quiet][-hwaccel][videotoolbox][-i][" + clip + "][-c:v][h264_videotoolbox][-f][null][-]",
  };
  EXPECT_EQ(loggedCalls(fake), expected);
}

TEST_F(HardwareProbeTest, EachWorkingEncoderSetsItsOwnByte) {
  struct Case {
    std::vector<std::string> working;
    std::uint32_t value;
  };
  const std::vector<Case> cases{
      {{}, 0u},
      {{"h264_nvenc"}, 1u},
      {{"h264_amf"}, 0x100u},
      {{"h264_qsv"}, 0x10000u},
      {{"h264_videotoolbox"}, 0x1000000u},
      {{"h264_nvenc", "h264_qsv"}, 0x10001u},
      {{"h264_nvenc", "h264_amf", "h264_qsv", "h264_videotoolbox"}, 0x01010101u},
  };
  for (const Case& c : cases) {
    resetHardwareProbeForTesting();
    test::TempDir folder;
    const FakeFfmpeg fake = writeFakeFfmpeg(folder.path(), c.working);
    SCOPED_TRACE(::testing::PrintToString(c.working));
    EXPECT_EQ(probeHardwareEncoders(fake.program, folder.path()).value(), c.value);
    EXPECT_EQ(cachedHardwareSupport().value(), c.value);
  }
}

TEST_F(HardwareProbeTest, SecondCallAfterSuccessStartsNothing) {
  const FakeFfmpeg fake = writeFakeFfmpeg(tmp.path(), {"h264_amf"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, tmp.path()).value(), 0x100u);
  ASSERT_EQ(loggedCalls(fake).size(), 5u);
  EXPECT_EQ(probeHardwareEncoders(fake.program, tmp.path()).value(), 0x100u);
  EXPECT_EQ(loggedCalls(fake).size(), 5u);
}

TEST_F(HardwareProbeTest, FailedClipLeavesNothingCachedAndTheNextCallProbesAgain) {
  const FakeFfmpeg broken = writeFakeFfmpeg(tmp.path(), {"h264_nvenc"}, /*clipExit=*/1);
  EXPECT_EQ(probeHardwareEncoders(broken.program, tmp.path()).value(), 0u);
  EXPECT_EQ(loggedCalls(broken).size(), 1u) << "no encoder test without a clip";
  EXPECT_EQ(probeHardwareEncoders(broken.program, tmp.path()).value(), 0u);
  EXPECT_EQ(loggedCalls(broken).size(), 2u);

  // A wrong ffmpeg path fails the same way and is not remembered either.
  EXPECT_EQ(probeHardwareEncoders(tmp.file("no-such-ffmpeg"), tmp.path()).value(), 0u);

  test::TempDir fixed;
  const FakeFfmpeg working = writeFakeFfmpeg(fixed.path(), {"h264_nvenc"});
  EXPECT_EQ(probeHardwareEncoders(working.program, fixed.path()).value(), 1u);
}

TEST_F(HardwareProbeTest, ConcurrentCallersShareOneProbe) {
  // The clip step lingers so that the callers really overlap.
  const FakeFfmpeg fake = writeFakeFfmpeg(tmp.path(), {"h264_qsv"}, 0, "0.3");
  std::vector<std::uint32_t> answers(6, 99);
  std::vector<std::thread> callers;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    callers.emplace_back([&, i] { answers[i] = probeHardwareEncoders(fake.program, tmp.path()).value(); });
  }
  for (std::thread& t : callers) t.join();
  for (std::uint32_t answer : answers) EXPECT_EQ(answer, 65536u);
  EXPECT_EQ(loggedCalls(fake).size(), 5u) << "one clip and four tests, whatever the number of callers";
}

TEST_F(HardwareProbeTest, PathsWithBlanksAndShellSyntaxStaySingleArguments) {
  const std::string folder = tmp.file("hw $(touch PWNED) `touch PWNED2`; a&b");
  fs::create_directories(folder);
  const FakeFfmpeg fake = writeFakeFfmpeg(folder, {"h264_nvenc"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, folder).value(), 1u);
  const std::vector<std::string> calls = loggedCalls(fake);
  ASSERT_EQ(calls.size(), 5u);
  const std::string clip = clipOfFirstCall(calls);
  EXPECT_EQ(fs::path(clip).parent_path().parent_path(), fs::path(folder)) << clip;
  EXPECT_NE(calls[1].find("[" + clip + "]"), std::string::npos);
  for (const char* name : {"PWNED", "PWNED2"}) {
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(fs::exists(tmp.file(name)));
    EXPECT_FALSE(fs::exists(folder + "/" + name));
  }
}

TEST_F(HardwareProbeTest, PathThatCannotBeQuotedRunsNothing) {
  const std::string folder = tmp.file("say \"hi\"");
  fs::create_directories(folder);
  const FakeFfmpeg fake = writeFakeFfmpeg(tmp.path(), {"h264_nvenc"});
  EXPECT_EQ(probeHardwareEncoders(fake.program, folder).value(), 0u);
  EXPECT_TRUE(loggedCalls(fake).empty());
}

TEST(RunCommandCapture, CollectsStdoutAndReportsTheExitStatus) {
  test::TempDir tmp;
  const std::string script = tmp.file("talk");
  test::writeFile(script, "#!/bin/sh\nprintf 'out:%s' \"$1\"\necho noise >&2\nexit \"$2\"\n");
  ::chmod(script.c_str(), 0755);

  std::string output = "stale";
  EXPECT_TRUE(runCommandCapture(fmt::format("\"{}\" \"a b\" 0", script), output));
  EXPECT_EQ(output, "out:a b");
  EXPECT_FALSE(runCommandCapture(fmt::format("\"{}\" x 3", script), output));
  EXPECT_EQ(output, "out:x");
  EXPECT_FALSE(runCommandCapture(fmt::format("\"{}\"", tmp.file("missing")), output));
  EXPECT_EQ(output, "");
  EXPECT_FALSE(runCommandCapture("", output));
}

}  // namespace
}  // namespace qel
