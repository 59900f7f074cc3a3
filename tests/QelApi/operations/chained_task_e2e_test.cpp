// Whole jobs through the exports: "process" requests build graphs on one
// another's graphs (a cut, a speed change, a filling; a slowed speed change),
// then the engine's worker runs them as one task with the real ffmpeg; ffprobe
// checks what came out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qelapi.h"
#include "support/operation_test_helpers.h"
#include "support/task_events.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

// An engine with the real ffmpeg and ffprobe that logs and works in `dir`;
// null when init failed.
void* initEngineIn(const TempDir& dir) { return qelapi_init(engineInitJson(dir.path(), "ops").c_str()); }

TEST(OperationsTask, CutSpeedAndFillingRunAsOneTask) {
  TempDir dir;
  const std::string clip = dir.file("in.mp4");
  makeClip(clip, smallClip(20, 25));

  void* handle = initEngineIn(dir);
  ASSERT_NE(handle, nullptr);
  taskEvents().attach(handle);

  const std::string cut = processGraph(handle, "cut", {processInput(1, clip, 20)}, "-ss 2 -to 12");
  ASSERT_FALSE(cut.empty());
  const std::string fast =
      processGraph(handle, "speedAdjuster", {processInput(2, cut, 10)}, "-filter_complex \"setpts=0.5*PTS;atempo=2\"");
  ASSERT_FALSE(fast.empty());
  const std::string filled = processGraph(handle, "videoFilling", {processInput(2, fast, 5)}, "pad=400:300");
  ASSERT_FALSE(filled.empty());

  const std::string out = dir.file("out.mp4");
  const std::uint64_t id = 424242;
  ASSERT_EQ(submitTask(handle, id, taskRequest({taskOperation({ioItem(2, filled)}, "", {ioItem(1, out)})})), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  const auto reports = taskEvents().reports(id);
  qelapi_un_init(handle);
  ASSERT_FALSE(reports.empty());
  EXPECT_FALSE(reports.back().error) << reports.back().text;

  const ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error << "\n" << filled;
  EXPECT_EQ(info.width, 400);
  EXPECT_EQ(info.height, 300);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 5.0, 0.1) << filled;
}

// Slowed audio into an .mp4 (aac, a fixed-frame encoder): the planned command
// leaves the graph's outputs to ffmpeg's own mapping, and the task must end
// with both streams at twice the length.
TEST(OperationsTask, SlowedSpeedChangeWritesAnMp4) {
  TempDir dir;
  const std::string clip = dir.file("in.mp4");
  makeClip(clip, smallClip(3, 25));

  void* handle = initEngineIn(dir);
  ASSERT_NE(handle, nullptr);
  taskEvents().attach(handle);

  const std::string slow =
      processGraph(handle, "speedAdjuster", {processInput(1, clip, 3)}, "-filter_complex \"setpts=2*PTS;atempo=0.5\"");
  ASSERT_FALSE(slow.empty());
  const std::string out = dir.file("slow.mp4");
  const std::uint64_t id = 424243;
  ASSERT_EQ(submitTask(handle, id, taskRequest({taskOperation({ioItem(2, slow)}, "", {ioItem(1, out)})})), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  const auto reports = taskEvents().reports(id);
  qelapi_un_init(handle);
  ASSERT_FALSE(reports.empty());
  EXPECT_FALSE(reports.back().error) << reports.back().text;

  const ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error << "\n" << slow;
  EXPECT_EQ(info.codecNames, (std::vector<std::string>{"h264", "aac"}));
  EXPECT_NEAR(info.duration, 6.0, 0.1) << slow;
}

}  // namespace
}  // namespace qel::test
