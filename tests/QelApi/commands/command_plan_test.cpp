// Command plan: ordering producer before consumer, merging chains into one
// command, intermediate files and their clean-up, plans that can never be
// ordered, and planned commands run through the real ffmpeg.
#include "commands/command_plan.h"

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <array>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands/graph_join.h"
#include "QelApi/commands/task_operation_items.h"
#include "common/command_line.h"
#include "common/subprocess.h"
#include "common/text_convert.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::task::file;
using test::task::intermediate;
using test::task::makeOperation;

namespace fs = std::filesystem;

std::vector<std::string> firstOutputs(const CommandBuilder::OperationList& list) {
  std::vector<std::string> values;
  for (const TaskOperation& operation : list) values.push_back(operation.m_outputs.front().value);
  return values;
}

test::ClipSpec clip(double seconds, int width = 160, int height = 120, bool audio = true) {
  test::ClipSpec settings;
  settings.seconds = seconds;
  settings.width = width;
  settings.height = height;
  settings.audio = audio;
  return settings;
}

// Runs a planned command the way the runner does, with the real ffmpeg.
CapturedRun runPlanned(const FFmpegCommand& command) {
  std::vector<std::string> argv{test::ffmpegPath(), "-y", "-v", "error", "-nostdin"};
  for (std::string& arg : splitCommandLine(command.commandLine)) argv.push_back(std::move(arg));
  return runAndCapture(argv, true);
}

TEST(CommandPlan, EmptyTaskGivesNoCommand) {
  CommandBuilder builder;
  EXPECT_TRUE(builder.buildCommands({}).empty());
}

TEST(CommandPlan, OneOperationGivesItsCommandText) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  const std::string out = dir.file("out.mp4");
  test::makeClip(in, clip(1.5));

  CommandBuilder builder;
  auto commands = builder.buildCommands({makeOperation({file(in, "-ss 0.5")}, "-vf scale=80:60", {file(out)})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(
      commands[0].commandLine,
      fmt::format(R"( -ss 0.5 -i "{}" -filter_complex scale=80:60  -movflags +faststart -c:v libx264 "{}")", in, out));
  EXPECT_EQ(commands[0].outputPath, out);
  EXPECT_EQ(commands[0].inputFiles, std::vector<std::string>{in});
  EXPECT_TRUE(builder.intermediateFiles().empty());

  CapturedRun run = runPlanned(commands[0]);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 1.0, 0.15);
}

TEST(CommandPlan, ChainThroughIntermediateIsOneCommand) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  const std::string middle = dir.file("work/part.mkv");
  const std::string out = dir.file("out.mp4");
  test::makeClip(in, clip(1.0));

  const TaskOperation producer = makeOperation({file(in)}, "-vf scale=160:120", {intermediate(middle)});
  const TaskOperation consumer = makeOperation({intermediate(middle)}, "-vf crop=80:60", {file(out)});
  for (const auto& operations : {std::vector{producer, consumer}, std::vector{consumer, producer}}) {
    CommandBuilder builder;
    const std::int32_t label = nextPadLabel() + 1;
    auto commands = builder.buildCommands(operations);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].commandLine,
              fmt::format(R"( -i "{0}" -filter_complex [0]scale=160:120[{2}];[{2}]crop=80:60  -movflags +faststart)"
                          R"( -c:v libx264 "{1}")",
                          in, out, label));
    EXPECT_EQ(commands[0].commandLine.find("part.mkv"), std::string::npos);
    EXPECT_EQ(commands[0].inputFiles, std::vector<std::string>{in});

    CapturedRun run = runPlanned(commands[0]);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::exists(middle));
    test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.width, 80);
    EXPECT_EQ(info.height, 60);
    fs::remove(out);
  }
}

TEST(CommandPlan, StreamCopyAfterFilterRunsAsTwoCommandsAndCleansUp) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  const std::string middle = dir.file("work/deeper/part.mkv");
  const std::string out = dir.file("out.mkv");
  test::makeClip(in, clip(1.0));

  {
    CommandBuilder builder;
    auto commands = builder.buildCommands({makeOperation({file(in)}, "-vf scale=80:60", {intermediate(middle)}),
                                           makeOperation({intermediate(middle)}, "-c:v copy", {file(out)})});
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].commandLine,
              fmt::format(R"( -i "{}" -filter_complex scale=80:60  -c:v libx264 "{}")", in, middle));
    // The copy is kept: no container default re-encodes it.
    EXPECT_EQ(commands[1].commandLine, fmt::format(R"( -i "{}" -c:v copy "{}")", middle, out));
    EXPECT_EQ(builder.intermediateFiles(), std::set<std::wstring>{utf8ToWide(middle)});
    EXPECT_TRUE(fs::is_directory(dir.file("work/deeper")));  // folders made while planning

    for (const FFmpegCommand& command : commands) {
      CapturedRun run = runPlanned(command);
      ASSERT_EQ(run.exitCode, 0) << command.commandLine << "\n" << run.output;
    }
    EXPECT_TRUE(fs::exists(middle));
  }
  EXPECT_FALSE(fs::exists(middle));  // the builder deletes the task's intermediates
  test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.codecNames.front(), "h264");
}

TEST(CommandPlan, TwoSourcesAndOverlayMergeIntoOneCommand) {
  test::TempDir dir;
  const std::string a = dir.file("a.mp4");
  const std::string b = dir.file("b.mp4");
  const std::string out = dir.file("out.mp4");
  test::makeClip(a, clip(1.0, 160, 120, false));
  test::makeClip(b, clip(1.0, 80, 60, false));
  const std::string t1 = dir.file("t1.mkv");
  const std::string t2 = dir.file("t2.mkv");

  CommandBuilder builder;
  const std::int32_t label = nextPadLabel() + 1;
  auto commands = builder.buildCommands(
      {makeOperation({file(a)}, "-vf scale=160:120", {intermediate(t1)}),
       makeOperation({file(b)}, "-vf scale=40:30", {intermediate(t2)}),
       makeOperation({intermediate(t1), intermediate(t2)}, "-filter_complex overlay=10:10", {file(out)})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].commandLine,
            fmt::format(R"( -i "{0}" -i "{1}" -filter_complex [0]scale=160:120[{3}];[1]scale=40:30[{4}];)"
                        R"([{3}][{4}]overlay=10:10  -movflags +faststart -c:v libx264 "{2}")",
                        a, b, out, label, label + 1));
  EXPECT_EQ(commands[0].inputFiles, (std::vector<std::string>{a, b}));

  CapturedRun run = runPlanned(commands[0]);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.height, 120);
}

TEST(CommandPlan, RecordedFragmentRunsInPlaceOfItsGraph) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  const std::string out = dir.file("out.mp4");
  test::makeClip(in, clip(1.0));
  const std::string inputBytes = test::readFile(in);

  // What a convert step leaves: a graph over movie sources, and the same work
  // as a fragment over -i inputs.
  const std::string graph = fmt::format("movie='{0}',scale=80:60[out0];amovie='{0}'[out1]", in);
  const std::string fragment = fmt::format(R"(-i "{}" -filter_complex "[0:v]scale=80:60[v3]" -map [v3] -map 0:a)", in);
  CommandBuilder builder(PlanningSnapshot{.outputRecords = {{graph, {1, "", fragment}}}});
  auto commands = builder.buildCommands({makeOperation({intermediate(graph)}, "", {file(out)})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].commandLine, fmt::format(R"({}  -movflags +faststart -c:v libx264 "{}")", fragment, out));
  EXPECT_FALSE(findOverwrittenInput(commands[0]));

  CapturedRun run = runPlanned(commands[0]);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(test::readFile(in), inputBytes);
  test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.count("audio"), 1);
}

TEST(CommandPlan, OrdersProducersBeforeConsumers) {
  const TaskOperation p = makeOperation({file("/v/in.mp4")}, "-vf scale=2:2", {intermediate("/t/t1.mkv")});
  const TaskOperation q = makeOperation({intermediate("/t/t1.mkv")}, "-vf crop=1:1", {intermediate("/t/t2.mkv")});
  const TaskOperation r = makeOperation({intermediate("/t/t2.mkv")}, "-vf pad=4:4", {file("/v/out.mp4")});
  CommandBuilder builder;
  EXPECT_EQ(firstOutputs(builder.orderOperations({p, r, q})),
            (std::vector<std::string>{"/t/t1.mkv", "/t/t2.mkv", "/v/out.mp4"}));
  EXPECT_EQ(firstOutputs(builder.orderOperations({r, q, p})),
            (std::vector<std::string>{"/t/t1.mkv", "/t/t2.mkv", "/v/out.mp4"}));

  // A consumer found through the file name of a Windows path in its transform.
  const TaskOperation winProducer = makeOperation({file("/v/in.mp4")}, "", {intermediate(R"(C:\t\sub.ass)")});
  const TaskOperation winConsumer = makeOperation({file("/v/in.mp4")}, "-vf subtitles=sub.ass", {file("/v/o.mp4")});
  EXPECT_TRUE(CommandBuilder::consumesOutput(R"(C:\t\sub.ass)", winConsumer));
  EXPECT_FALSE(CommandBuilder::consumesOutput("/t/sub.ass", winConsumer));
  EXPECT_FALSE(CommandBuilder::consumesOutput("", winConsumer));
}

TEST(CommandPlan, OperationsThatCanNeverBePlacedGoLastInTaskOrder) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  // x and y read each other's outputs; z writes an intermediate nobody reads.
  const TaskOperation x = makeOperation({intermediate(t("b.mkv"))}, "-vf scale=2:2", {intermediate(t("a.mkv"))});
  const TaskOperation y = makeOperation({intermediate(t("a.mkv"))}, "-vf crop=1:1", {intermediate(t("b.mkv"))});
  const TaskOperation z = makeOperation({file("/v/in.mp4")}, "-vf pad=4:4", {intermediate(t("c.mkv"))});
  const TaskOperation w = makeOperation({intermediate(t("c2.mkv"))}, "-an", {intermediate(t("d.mkv"))});
  const TaskOperation sink = makeOperation({intermediate(t("e.mkv"))}, "-an", {file("/v/out.mp4")});
  CommandBuilder builder;
  EXPECT_EQ(firstOutputs(builder.orderOperations({w, x, z, sink, y})),
            (std::vector<std::string>{t("c.mkv"), "/v/out.mp4", t("d.mkv"), t("a.mkv"), t("b.mkv")}));

  // The plan still ends. The two merge into one command that would read and
  // write the same file; the last guard refuses to run it.
  auto commands = builder.buildCommands({x, y});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].outputPath, t("b.mkv"));
  EXPECT_EQ(findOverwrittenInput(commands[0]), t("b.mkv"));
}

TEST(CommandPlan, FindReadyProducerStopsOnCycle) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  CommandBuilder builder;
  CommandBuilder::OperationList list{
      makeOperation({intermediate(t("b.mkv"))}, "", {intermediate(t("a.mkv"))}),
      makeOperation({intermediate(t("a.mkv"))}, "", {intermediate(t("b.mkv"))}),
      makeOperation({file("/v/in.mp4")}, "", {intermediate(t("c.mkv"))}),
      makeOperation({intermediate(t("c.mkv"))}, "", {intermediate(t("d.mkv"))}),
  };
  EXPECT_EQ(builder.findReadyProducer(t("a.mkv"), list), list.end());
  EXPECT_EQ(builder.findReadyProducer(t("d.mkv"), list), std::next(list.begin(), 2));
  EXPECT_EQ(builder.findReadyProducer(t("none.mkv"), list), list.end());
}

TEST(CommandPlan, MergedOperationWithoutInputsIsNotLost) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  // x has no input items (its source is in its transform) and merges with y;
  // the merged operation still has no input item when v is waiting.
  const TaskOperation x = makeOperation({}, "-vf scale=80:60", {intermediate(t("x.mkv"))});
  const TaskOperation y = makeOperation({intermediate(t("x.mkv"))}, "-vf crop=40:30", {file("/v/y.avi")});
  const TaskOperation v = makeOperation({}, "-t 1", {file("/v/v.avi")});
  CommandBuilder builder;
  auto commands = builder.buildCommands({x, y, v});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].outputPath, "/v/y.avi");
  EXPECT_NE(commands[0].commandLine.find("crop=40:30"), std::string::npos);
  EXPECT_NE(commands[0].commandLine.find("scale=80:60"), std::string::npos);
  EXPECT_EQ(commands[1].outputPath, "/v/v.avi");
}

TEST(CommandPlan, IntermediateReadTwiceIsWrittenToDisk) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  const TaskOperation producer = makeOperation({file("/v/in.mp4")}, "-vf scale=80:60", {intermediate(t("s.mkv"))});
  const TaskOperation first = makeOperation({intermediate(t("s.mkv"))}, "-vf crop=40:30", {file("/v/1.avi")});
  const TaskOperation second = makeOperation({intermediate(t("s.mkv"))}, "-vf pad=90:70", {file("/v/2.avi")});
  CommandBuilder builder;
  auto commands = builder.buildCommands({producer, first, second});
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].outputPath, t("s.mkv"));
  EXPECT_EQ(commands[1].commandLine, fmt::format(R"( -i "{}" -filter_complex crop=40:30 "/v/1.avi")", t("s.mkv")));
  EXPECT_EQ(commands[2].commandLine, fmt::format(R"( -i "{}" -filter_complex pad=90:70 "/v/2.avi")", t("s.mkv")));
}

TEST(CommandPlan, CutsMergeWithFiltersAndMoveInFrontOfInput) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  // A cut-only operation followed by a filter: the cut stays an output option.
  {
    CommandBuilder builder;
    auto commands =
        builder.buildCommands({makeOperation({file("/v/in.mp4")}, "-ss 1 -to 2", {intermediate(t("c.mkv"))}),
                               makeOperation({intermediate(t("c.mkv"))}, "-vf scale=80:60", {file("/v/o.avi")})});
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].commandLine, R"( -i "/v/in.mp4" -ss 1 -to 2 -filter_complex "[0]scale=80:60" "/v/o.avi")");
  }
  // Stream copy followed by a cut of its output: the cut moves in front of -i.
  {
    CommandBuilder builder;
    auto commands =
        builder.buildCommands({makeOperation({file("/v/in.mp4")}, "-vcodec copy", {intermediate(t("c.mkv"))}),
                               makeOperation({intermediate(t("c.mkv"))}, "-ss 1 -to 2", {file("/v/o.avi")})});
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].commandLine, R"( -ss 1 -to 2 -i "/v/in.mp4" -vcodec copy "/v/o.avi")");
  }
  // The input already seeks: the cut cannot move, and a later seek never merges.
  {
    CommandBuilder builder;
    auto commands =
        builder.buildCommands({makeOperation({file("/v/in.mp4", "-ss 3")}, "-vcodec copy", {intermediate(t("c.mkv"))}),
                               makeOperation({intermediate(t("c.mkv"))}, "-ss 1 -to 2", {file("/v/o.avi")})});
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].commandLine, fmt::format(R"( -i "{}" -ss 1 -to 2 "/v/o.avi")", t("c.mkv")));
  }
}

TEST(CommandPlan, RefusedJoinLeavesBothOperationsUnchanged) {
  test::TempDir dir;
  auto t = [&](const char* name) { return dir.file(name); };
  // y reads an intermediate of x, which has no filter and two inputs: the
  // join could not point y's reference at one input, so they stay apart.
  TaskOperation x = makeOperation({file("/v/a.mp4"), file("/v/b.mp4")}, "-shortest", {intermediate(t("x.mkv"))});
  TaskOperation y = makeOperation({intermediate(t("x.mkv"))}, "-vf scale=80:60", {file("/v/y.avi")});
  CommandBuilder builder;
  auto commands = builder.buildCommands({x, y});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].commandLine,
            fmt::format(R"( -i "/v/a.mp4" -i "/v/b.mp4" -shortest  -c:v libx264 "{}")", t("x.mkv")));
  EXPECT_EQ(commands[1].commandLine, fmt::format(R"( -i "{}" -filter_complex scale=80:60 "/v/y.avi")", t("x.mkv")));
}

// What the plan knows of each command's length: the duration remembered for
// its graph, and which earlier command writes each intermediate file it reads.
TEST(CommandPlan, NotesRememberedLengthsAndTheWritersOfIntermediateFiles) {
  test::TempDir dir;
  const std::string middle = dir.file("x.mkv");
  TaskOperation x = makeOperation({file("/v/a.mp4"), file("/v/b.mp4")}, "-shortest", {intermediate(middle)});
  TaskOperation y = makeOperation({intermediate(middle)}, "-vf scale=80:60", {file("/v/y.avi")});
  CommandBuilder chain;
  auto commands = chain.buildCommands({x, y});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].outputPath, middle);
  EXPECT_TRUE(commands[0].writtenBy.empty());
  EXPECT_EQ(commands[1].writtenBy, (std::map<std::string, std::size_t>{{middle, 0}}));
  EXPECT_EQ(commands[0].rememberedSeconds, 0.0);

  const std::string graph = "movie='/v/a.mp4',scale=80:60[out0]";
  PlanningSnapshot snapshot;
  snapshot.durations = {{graph, 6.5}, {"", 99.0}};
  CommandBuilder remembered(snapshot);
  commands = remembered.buildCommands({makeOperation({intermediate(graph)}, "", {file("/v/o.avi")})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].rememberedSeconds, 6.5);
  // A command without a graph never takes what a failed request filed under the empty key.
  commands = CommandBuilder(snapshot).buildCommands({makeOperation({file("/v/a.mp4")}, "-an", {file("/v/o.avi")})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].key, "");
  EXPECT_EQ(commands[0].rememberedSeconds, 0.0);
}

// A graph carried as the producer's input takes the consumer's filter chain
// onto its own output, so one ffmpeg run does both; a recorded fragment stands
// for the whole operation and takes no chain: the two then run apart through
// the intermediate file.
TEST(CommandPlan, GraphCarriedAsInputTakesTheNextChainUnlessAFragmentStandsForIt) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  const std::string middle = dir.file("work/mid.mkv");
  const std::string out = dir.file("out.mp4");
  test::makeClip(in, clip(1.0));
  const std::string graph = fmt::format(
      "movie='{0}',trim=0:1,setpts=PTS-STARTPTS,crop=80:60:0:0[out0];amovie='{0}',atrim=0:1,asetpts=PTS-STARTPTS[out1]",
      in);
  const std::string fragment =
      fmt::format(R"(-i "{}" -filter_complex "[0:v]crop=80:60:0:0[v3]" -map [v3] -map 0:a)", in);

  struct Case {
    const char* name;
    LavfiOutputRecords records;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"GraphTakesTheChain",
       {},
       {fmt::format(R"(-filter_complex "movie='{0}',trim=0:1,setpts=PTS-STARTPTS,crop=80:60:0:0,scale=40:30;)"
                    R"(amovie='{0}',atrim=0:1,asetpts=PTS-STARTPTS"  -movflags +faststart -c:v libx264 "{1}")",
                    in, out)}},
      {"RecordedFragmentInPlaceOfTheGraph",
       {{graph, {1, "", fragment}}},
       {fmt::format(R"({}  "{}")", fragment, middle),
        fmt::format(R"( -i "{}" -filter_complex scale=40:30  -movflags +faststart -c:v libx264 "{}")", middle, out)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      CommandBuilder builder(PlanningSnapshot{.outputRecords = c.records});
      auto commands = builder.buildCommands({makeOperation({intermediate(graph)}, "", {intermediate(middle)}),
                                             makeOperation({intermediate(middle)}, "-vf scale=40:30", {file(out)})});
      ASSERT_EQ(commands.size(), c.commands.size());
      for (std::size_t i = 0; i < commands.size(); ++i) EXPECT_EQ(commands[i].commandLine, c.commands[i]);
      // The graph as read stays the key of its record and duration.
      EXPECT_EQ(commands[0].key, graph);
      EXPECT_EQ(commands[0].inputFiles, std::vector<std::string>{in});
      EXPECT_EQ(builder.intermediateFiles(), std::set<std::wstring>{utf8ToWide(middle)});

      for (const FFmpegCommand& command : commands) {
        CapturedRun run = runPlanned(command);
        ASSERT_EQ(run.exitCode, 0) << command.commandLine << "\n" << run.output;
      }
      EXPECT_EQ(fs::exists(middle), commands.size() == 2);
    }
    EXPECT_FALSE(fs::exists(middle));
    test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.count("video"), 1);
    EXPECT_EQ(info.count("audio"), 1);
    EXPECT_EQ(info.width, 40);
    EXPECT_EQ(info.height, 30);
    EXPECT_NEAR(info.duration, 1.0, 0.2);
    fs::remove(out);
  }
}

// The middle pixel row of the first frame, as RGB bytes.
std::string firstFrameRgb(const std::string& path) {
  CapturedRun run = runAndCapture({test::ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-frames:v", "1", "-f",
                                   "rawvideo", "-pix_fmt", "rgb24", "-"},
                                  false);
  return run.exitCode == 0 ? run.output : std::string();
}

// Three operations given one after another through intermediate files, the
// first reading a graph: one ffmpeg run, nothing written in between, and the
// picture as the three steps make it (crop, scale, then a red border).
TEST(CommandPlan, ThreeOperationChainOnAGraphRunsAsOnePass) {
  test::TempDir dir;
  const std::string in = dir.file("in.mp4");
  test::makeClip(in, clip(1.0, 160, 120, false));
  const std::string t1 = dir.file("t1.mkv");
  const std::string t2 = dir.file("t2.mkv");
  const std::string out = dir.file("out.mkv");
  const std::string graph = fmt::format("movie='{}',crop=80:60:0:0[out0]", in);

  CommandBuilder builder;
  auto commands = builder.buildCommands(
      {makeOperation({intermediate(graph)}, "", {intermediate(t1)}),
       makeOperation({intermediate(t1)}, "-vf scale=40:30", {intermediate(t2)}),
       makeOperation({intermediate(t2)}, "-vf pad=60:40:10:5:color=red -pix_fmt yuv444p", {file(out)})});
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].commandLine,
            fmt::format(R"(-filter_complex "movie='{}',crop=80:60:0:0,scale=40:30,pad=60:40:10:5:color=red" )"
                        R"(-pix_fmt yuv444p  -c:v libx264 "{}")",
                        in, out));
  CapturedRun run = runPlanned(commands[0]);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_FALSE(fs::exists(t1));
  EXPECT_FALSE(fs::exists(t2));

  test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 60);
  EXPECT_EQ(info.height, 40);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
  const std::string rgb = firstFrameRgb(out);
  ASSERT_EQ(rgb.size(), 60u * 40u * 3u);
  auto pixel = [&](int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * 60 + static_cast<std::size_t>(x)) * 3;
    return std::array<int, 3>{static_cast<unsigned char>(rgb[at]), static_cast<unsigned char>(rgb[at + 1]),
                              static_cast<unsigned char>(rgb[at + 2])};
  };
  const auto border = pixel(2, 2);
  EXPECT_GT(border[0], 200);
  EXPECT_LT(border[1], 60);
  EXPECT_LT(border[2], 60);
  const auto inside = pixel(30, 20);  // the picture, not the border
  EXPECT_FALSE(inside[0] > 200 && inside[1] < 60 && inside[2] < 60);
}

// Where the chain cannot be joined right, the graph's operation runs alone and
// writes the intermediate the next one reads.
TEST(CommandPlan, GraphJoinsThatCannotBeMadeRightRunApart) {
  const std::string graph = "movie='/v/in.mp4',crop=80:60:0:0[out0];amovie='/v/in.mp4'[out1]";
  struct Case {
    const char* name;
    std::string graph;
    std::string producerTransform;
    std::string nextTransform;
    LavfiOutputRecords records;
  };
  const Case cases[] = {
      {"RecordedOutputOptions", graph, "", "-vf scale=40:30", {{graph, {0, "-c:v mpeg4", ""}}}},
      {"ProducerOptions", graph, "-t 1", "-vf scale=40:30", {}},
      {"NextMaps", graph, "", "-vf scale=40:30 -map 0:v", {}},
      {"NextCopies", graph, "", "-c:v copy", {}},
      {"NextSeeks", graph, "", "-ss 1 -vf scale=40:30", {}},
      {"NextLabels", graph, "", "-filter_complex [0]scale=40:30[v]", {}},
      {"NextTwoChains", graph, "", "-filter_complex scale=40:30;volume=2", {}},
      {"NextOverlays", graph, "", "-vf overlay=10:10", {}},
      {"NextFiltersBothMedia", graph, "", "-vf scale=40:30 -af volume=2", {}},
      {"NoOutputOfThatMedium", "movie='/v/in.mp4',crop=80:60:0:0[out0]", "", "-af volume=2", {}},
      {"OutputOfSeveralLabels", "movie='/v/in.mp4',split[out0][x];[x]nullsink", "", "-vf scale=40:30", {}},
      {"KindsThatDoNotMerge", "movie='/v/in.mp4',fade=in:0:10[out0]", "", "-vf fade=out:0:10", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandBuilder builder(PlanningSnapshot{.outputRecords = c.records});
    auto commands = builder.buildCommands(
        {makeOperation({intermediate(c.graph)}, c.producerTransform, {intermediate("/t/mid.mkv")}),
         makeOperation({intermediate("/t/mid.mkv")}, c.nextTransform, {file("/v/out.mkv")})});
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].outputPath, "/t/mid.mkv");
    EXPECT_EQ(commands[1].inputFiles, std::vector<std::string>{"/t/mid.mkv"});
  }
}

TEST(CommandPlan, FoldersMadeForAnIntermediateGoWithItWhenEmpty) {
  struct Case {
    const char* name;
    std::vector<std::string> before;   // folders there before the plan
    std::string middle;                // the intermediate
    std::vector<std::string> written;  // files the task's commands leave (the intermediate too)
    std::set<std::string> after;       // what is left in the test's folder
  };
  const std::vector<Case> cases = {
      {"every folder made goes", {}, "new/sub/mid.mkv", {"new/sub/mid.mkv"}, {}},
      {"also when the intermediate was never written", {}, "new/sub/mid.mkv", {}, {}},
      {"a folder that was there stays, empty as it was", {"old"}, "old/new/mid.mkv", {"old/new/mid.mkv"}, {"old"}},
      {"a made folder that holds a result stays", {}, "new/sub/mid.mkv", {"new/out.mkv"}, {"new", "new/out.mkv"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const std::string& folder : c.before) fs::create_directories(dir.file(folder));
    {
      CommandBuilder builder;
      const std::string middle = dir.file(c.middle);
      builder.buildCommands({makeOperation({file(dir.file("in.mp4"))}, "-vf scale=80:60", {intermediate(middle)}),
                             makeOperation({intermediate(middle)}, "-c:v copy", {file(dir.file("new/out.mkv"))})});
      ASSERT_TRUE(fs::is_directory(fs::path(middle).parent_path())) << "the plan makes the intermediate's folder";
      for (const std::string& name : c.written) test::writeFile(dir.file(name), "written by the task");
    }
    std::set<std::string> left;
    for (const auto& [path, content] : test::folderSnapshot(dir.path())) {
      left.insert(fs::path(path).lexically_relative(dir.path()).string());
    }
    EXPECT_EQ(left, c.after);
  }
}

TEST(CommandPlan, SourceFileNamedAsIntermediateIsNeverDeleted) {
  test::TempDir dir;
  const std::string source = dir.file("source.mp4");
  test::writeFile(source, "precious");
  {
    CommandBuilder builder;
    auto commands =
        builder.buildCommands({makeOperation({file(source)}, "-vf scale=80:60", {intermediate(source)}),
                               makeOperation({intermediate(source)}, "-c:v copy", {file(dir.file("o.mkv"))})});
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(findOverwrittenInput(commands[0]));
  }
  EXPECT_EQ(test::readFile(source), "precious");
}

}  // namespace
}  // namespace qel
