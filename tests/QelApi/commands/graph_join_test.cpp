// Filter graph joining and pad relabelling: labels, renumbering, joining two
// operations' graphs, -map rewriting, refusal of joins that cannot run, chains
// joined onto a carried graph, and a joined graph run through the real ffmpeg.
#include "commands/graph_join.h"

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QelApi/commands/task_operation_items.h"
#include "common/command_line.h"
#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::task::file;
using test::task::intermediate;
using test::task::makeOperation;

TEST(NextPadLabel, CountsUpFrom4095AndNeverRepeatsAcrossThreads) {
  const std::int32_t first = nextPadLabel();
  EXPECT_GE(first, kFirstPadLabel);
  EXPECT_EQ(nextPadLabel(), first + 1);

  std::vector<std::vector<std::int32_t>> seen(4);
  std::vector<std::thread> threads;
  for (auto& list : seen) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(nextPadLabel());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::int32_t> all;
  for (const auto& list : seen) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 2000u);
  EXPECT_GT(*all.begin(), first + 1);
}

TEST(LabelFilterPads, LabelsFirstInputsAndIntermediateOutputs) {
  for (const std::string quote : {"", "\""}) {
    TaskOperation op =
        makeOperation({file("/v/a.mp4")}, "-filter_complex " + quote + "scale=640:360" + quote, {intermediate("t")});
    labelFilterPads(op);
    ASSERT_EQ(op.m_padLabels.count("t"), 1u);
    const std::int32_t n = op.m_padLabels.at("t");
    EXPECT_GE(n, kFirstPadLabel);
    EXPECT_EQ(op.m_transform, fmt::format("-filter_complex {0}[0]scale=640:360[{1}]{0}", quote, n));
  }
}

TEST(LabelFilterPads, SkipsAssInputsAndFileOutputs) {
  TaskOperation op = makeOperation({file("/v/a.mp4"), file("/v/s.ass"), file("/v/p.png")},
                                   "-filter_complex \"overlay=10:10\"", {file("/v/o.mp4")});
  labelFilterPads(op);
  EXPECT_EQ(op.m_transform, "-filter_complex \"[0][2]overlay=10:10\"");
  EXPECT_TRUE(op.m_padLabels.empty());
}

TEST(LabelFilterPads, FiltersWithPadsKeepThem) {
  TaskOperation op = makeOperation({file("/v/a.mp4")}, "-filter_complex \"[0:v]scale=2:2[v]\"", {intermediate("t")});
  labelFilterPads(op);
  EXPECT_EQ(op.m_transform, "-filter_complex \"[0:v]scale=2:2[v]\"");
  EXPECT_TRUE(op.m_padLabels.empty());

  TaskOperation none = makeOperation({file("/v/a.mp4")}, "-c:v copy", {intermediate("t")});
  labelFilterPads(none);
  EXPECT_EQ(none.m_transform, "-c:v copy");
  EXPECT_TRUE(none.m_padLabels.empty());
}

TEST(LabelFilterPads, SourceFiltersGetNoInputLabels) {
  TaskOperation op =
      makeOperation({file("/v/a.mp4")}, "-filter_complex \"movie='/v/a.mp4',scale=8:8\"", {intermediate("t")});
  labelFilterPads(op);
  const std::int32_t n = op.m_padLabels.at("t");
  EXPECT_EQ(op.m_transform, fmt::format("-filter_complex \"movie='/v/a.mp4',scale=8:8[{}]\"", n));
}

TEST(LabelFilterPads, LooksForTheFilterNameOnlyInTheFilterOptionValue) {
  TaskOperation op =
      makeOperation({file("/v/hflip.mp4")},
                    "-metadata title=hflip -filter_complex \"hflip\" -metadata:s:v comment=hflip", {intermediate("t")});
  labelFilterPads(op);
  const std::int32_t n = op.m_padLabels.at("t");
  EXPECT_EQ(op.m_transform,
            fmt::format("-metadata title=hflip -filter_complex \"[0]hflip[{}]\" -metadata:s:v comment=hflip", n));

  // A name that is part of another word, or sits in a quoted argument, is not the filter.
  TaskOperation quoted = makeOperation({file("/v/a.mp4")}, "-filter_complex \"drawtext=text='crop;crop':x=1,crop=8:8\"",
                                       {intermediate("u")});
  labelFilterPads(quoted);
  const std::int32_t m = quoted.m_padLabels.at("u");
  EXPECT_EQ(quoted.m_transform, fmt::format("-filter_complex \"[0]drawtext=text='crop;crop':x=1,crop=8:8[{}]\"", m));
}

TEST(MergeFilterGraphs, InputsThatTradePlacesEndSwapped) {
  TaskOperation a =
      makeOperation({file("/v/x.mp4"), file("/v/y.mp4")}, "-filter_complex \"[0][1]hstack\"", {file("/v/o.mp4")});
  TaskOperation n = makeOperation({file("/v/y.mp4"), file("/v/x.mp4")},
                                  "-filter_complex \"[0]hflip[a];[1:v:0]vflip[b]\" -c:v libx264", {file("/v/p.mp4")});
  ASSERT_TRUE(mergeFilterGraphs(a, n));
  EXPECT_EQ(a.m_transform, "-filter_complex \"[0][1]hstack;[1]hflip[a];[0:v:0]vflip[b]\"");
  EXPECT_EQ(n.m_transform, "-c:v libx264");
  EXPECT_EQ(a.m_inputs.size(), 2u);
}

TEST(MergeFilterGraphs, JoinsIntoAnOperationWithoutFilters) {
  TaskOperation a = makeOperation({file("/v/a.mp4")}, "-c:a copy", {file("/v/o.mp4")});
  TaskOperation n = makeOperation({file("/v/b c.mp4")}, "-vf hflip -c:v libx264", {file("/v/p.mp4")});
  ASSERT_TRUE(mergeFilterGraphs(a, n));
  EXPECT_EQ(a.m_transform, "-c:a copy -filter_complex \"[1]hflip\"");
  ASSERT_EQ(a.m_inputs.size(), 2u);
  EXPECT_EQ(a.m_inputs[1].value, "/v/b c.mp4");
  EXPECT_EQ(n.m_transform, "-c:v libx264");
}

TEST(MergeFilterGraphs, QuotesABareGraphWhenTheJoinedChainHoldsABlank) {
  TaskOperation a = makeOperation({file("/v/a.mp4")}, "-filter_complex hflip -c:a copy", {file("/v/o.mp4")});
  TaskOperation n =
      makeOperation({file("/v/a.mp4")}, "-filter_complex \"[0]scale=8:8, drawtext=text='a b'\"", {file("/v/p.mp4")});
  ASSERT_TRUE(mergeFilterGraphs(a, n));
  EXPECT_EQ(a.m_transform, "-filter_complex \"hflip;[0]scale=8:8, drawtext=text='a b'\" -c:a copy");
}

TEST(MergeFilterGraphs, NextWithoutMediaFilterChangesNothing) {
  TaskOperation a = makeOperation({file("/v/a.mp4")}, "-filter_complex \"hflip\"", {intermediate("t")});
  TaskOperation n = makeOperation({intermediate("t")}, "-c:v copy", {file("/v/p.mp4")});
  const TaskOperation before = a;
  ASSERT_TRUE(mergeFilterGraphs(a, n));
  EXPECT_EQ(a.m_transform, before.m_transform);
  EXPECT_EQ(n.m_transform, "-c:v copy");
}

TEST(LinkChainInput, LinksTheLastFilterOfTheReadersMedium) {
  TaskOperation a =
      makeOperation({file("/v/a.mp4")}, "-filter_complex \"[0:v]scale=8:8[v];[0:a]volume=2\"", {intermediate("t")});
  const TaskOperation n = makeOperation({intermediate("t")}, "-filter_complex \"[0:a]atempo=2\"", {file("/v/o.mp4")});
  const int label = linkChainInput(a, 0, n);
  ASSERT_GE(label, kFirstPadLabel);
  EXPECT_EQ(a.m_transform, fmt::format("-filter_complex \"[0:v]scale=8:8[v];[0:a]volume=2[{}]\"", label));
  EXPECT_EQ(a.m_padLabels.at("t"), label);
  // Asked again, the recorded label is reused and nothing is inserted.
  const std::string after = a.m_transform;
  EXPECT_EQ(linkChainInput(a, 0, n), label);
  EXPECT_EQ(a.m_transform, after);
  // A reader that does not name the input gets no link.
  const TaskOperation other =
      makeOperation({intermediate("t"), file("/v/b.mp4")}, "-filter_complex \"[1]hflip\"", {file("/v/o.mp4")});
  TaskOperation fresh = makeOperation({file("/v/a.mp4")}, "-filter_complex \"hflip\"", {intermediate("t")});
  EXPECT_EQ(linkChainInput(fresh, 0, other), -1);
  EXPECT_EQ(fresh.m_transform, "-filter_complex \"hflip\"");
}

TEST(RemapMapOptions, FollowsTheNewInputPositions) {
  TaskOperation a = makeOperation({file("/v/a.mp4")}, "-filter_complex \"hflip\"", {file("/v/o.mp4")});
  TaskOperation n = makeOperation({file("/v/b.mp4"), file("/v/a.mp4")}, " -map 0:v -map 1:a:1 ", {file("/v/p.mp4")});
  remapMapOptions(a, n);
  EXPECT_EQ(n.m_transform, "-map 1:v -map 0:a:1");
  ASSERT_EQ(a.m_inputs.size(), 2u);
  EXPECT_EQ(a.m_inputs[1].value, "/v/b.mp4");

  TaskOperation noMap = makeOperation({file("/v/b.mp4")}, " -c:v copy ", {file("/v/p.mp4")});
  remapMapOptions(a, noMap);
  EXPECT_EQ(noMap.m_transform, " -c:v copy ");
}

// Next reads what accumulated makes, accumulated has no filter to link, and the
// value's producers read several inputs: no input can stand for it.
TEST(JoinOperationGraphs, RefusesAJoinThatWouldReferToNoInput) {
  ProducerInputsMap producers;
  producers["/tmp/t.mp4"] = {"/v/a.mp4", "/v/b.mp4"};
  TaskOperation a =
      makeOperation({file("/v/a.mp4"), file("/v/b.mp4")}, "-c copy -map 0 -map 1", {intermediate("/tmp/t.mp4")});
  a.m_producerInputs = &producers;
  TaskOperation n =
      makeOperation({intermediate("/tmp/t.mp4")}, "-filter_complex \"hflip\" -map 0:a", {file("/v/o.mp4")});
  const TaskOperation aBefore = a;
  const TaskOperation nBefore = n;

  EXPECT_TRUE(mergeNeedsMissingInput(a, n));
  EXPECT_FALSE(joinOperationGraphs(a, n));
  EXPECT_FALSE(mergeFilterGraphs(a, n));
  for (const TaskOperation* op : {&a, &n}) {
    const TaskOperation& before = op == &a ? aBefore : nBefore;
    EXPECT_EQ(op->m_transform, before.m_transform);
    EXPECT_EQ(op->m_inputs, before.m_inputs);
    EXPECT_EQ(op->m_outputs, before.m_outputs);
    EXPECT_EQ(op->m_padLabels, before.m_padLabels);
  }
  EXPECT_EQ(producers.size(), 1u);

  // Without a producer map the answer is the same.
  a.m_producerInputs = nullptr;
  EXPECT_TRUE(mergeNeedsMissingInput(a, n));

  // One producer input: the reference points at input 0, and the join goes on.
  producers["/tmp/t.mp4"] = {"/v/a.mp4"};
  a.m_producerInputs = &producers;
  EXPECT_FALSE(mergeNeedsMissingInput(a, n));
  ASSERT_TRUE(joinOperationGraphs(a, n));
  EXPECT_EQ(a.m_transform, "-c copy -map 0 -map 1 -filter_complex \"[0]hflip\"");
  EXPECT_EQ(n.m_transform, "-map 0:a");
}

TEST(JoinOperationGraphs, ChainsAProducerAndItsReader) {
  TaskOperation a = makeOperation({file("/v/a.mp4")}, "-vf scale=80:60", {intermediate("/tmp/t.mp4")});
  TaskOperation n = makeOperation({intermediate("/tmp/t.mp4")}, "-vf \"hflip\" -c:v libx264", {file("/v/o.mp4")});
  ASSERT_TRUE(joinOperationGraphs(a, n));
  const std::int32_t label = a.m_padLabels.at("/tmp/t.mp4");
  EXPECT_EQ(a.m_transform, fmt::format("-filter_complex [0]scale=80:60[{0}];[{0}]hflip", label));
  EXPECT_EQ(n.m_transform, "-c:v libx264");
  EXPECT_EQ(a.m_inputs.size(), 1u);
}

// A scale then an hflip, joined into one graph, run by the real ffmpeg.
TEST(JoinOperationGraphs, JoinedChainsRunThroughRealFfmpeg) {
  test::TempDir dir;
  const std::string clip = dir.file("in put.mp4");
  test::ClipSpec clipSpec;
  clipSpec.audio = false;
  clipSpec.seconds = 0.5;
  test::makeClip(clip, clipSpec);
  const std::string out = dir.file("out.mp4");

  TaskOperation a = makeOperation({file(clip)}, "-filter_complex \"scale=80:60\"", {intermediate(dir.file("t.mp4"))});
  TaskOperation n =
      makeOperation({intermediate(dir.file("t.mp4"))}, "-filter_complex \"hflip\" -c:v libx264", {file(out)});
  ASSERT_TRUE(joinOperationGraphs(a, n));

  const std::string command =
      fmt::format("-y -v error -i \"{}\" {} {} \"{}\"", clip, a.m_transform, n.m_transform, out);
  std::vector<std::string> argv = splitCommandLine(command);
  argv.insert(argv.begin(), test::ffmpegPath());
  const CapturedRun run = runAndCapture(argv, true);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitCode, 0) << command << "\n" << run.output;

  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

// Hostile texts (unclosed quotes and labels, a trailing backslash, options
// without values) must be handled without reading past the text.
TEST(AppendedChainOf, Table) {
  struct Case {
    const char* transform;
    bool chain;  // an appendable chain (or options only)
    const char* expectedChain;
    char media;
    const char* options;
  };
  const Case cases[] = {
      {"-vf scale=40:30", true, "scale=40:30", 'v', ""},
      {"-vf 'scale=40:30,hflip' -crf 30", true, "scale=40:30,hflip", 'v', "-crf 30"},
      {"-an -filter_complex \"crop=10:10:0:0\"", true, "crop=10:10:0:0", 'v', "-an"},
      {"-af volume=2", true, "volume=2", 'a', ""},
      {"-crf 30 -an", true, "", 'n', "-crf 30 -an"},
      {"", true, "", 'n', ""},
      {"-vf scale=40:30 -af volume=2", false, "", 'n', ""},          // two filter options
      {"-filter_complex scale=40:30,volume=2", false, "", 'n', ""},  // both media
      {"-filter_complex [0]scale=40:30", false, "", 'n', ""},        // a label
      {"-filter_complex scale=40:30;hflip", false, "", 'n', ""},     // two chains
      {"-vf overlay=10:10", false, "", 'n', ""},                     // two inputs
      {"-vf split", false, "", 'n', ""},                             // two outputs
      {"-vf color=red", false, "", 'n', ""},                         // a source
      {"-vf nosuchfilter", false, "", 'n', ""},                      // no medium
      {"-vf scale=40:30 -map 0:v", false, "", 'n', ""},
      {"-vf scale=40:30 -i /v/b.mp4", false, "", 'n', ""},
      {"-c:v copy", false, "", 'n', ""},
      {"-vf drawtext=text=a\\\\,b", false, "", 'n', ""},  // an escape
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transform);
    const std::optional<AppendedChain> appended =
        appendedChainOf(makeOperation({intermediate("/t/a.mkv")}, c.transform, {file("/v/o.mkv")}));
    ASSERT_EQ(appended.has_value(), c.chain);
    if (!appended) continue;
    EXPECT_EQ(appended->chain, c.expectedChain);
    EXPECT_EQ(appended->media, c.media);
    EXPECT_EQ(appended->options, c.options);
  }
}

TEST(AppendChainToGraph, Table) {
  struct Case {
    const char* graph;
    char media;
    const char* joined;  // empty: refused, graph unchanged
  };
  const Case cases[] = {
      {"movie='a.mp4',crop=8:6[out0];amovie='a.mp4'[out1]", 'v',
       "movie='a.mp4',crop=8:6,hflip[out0];amovie='a.mp4'[out1]"},
      {"movie='a.mp4',crop=8:6[out0];amovie='a.mp4'[out1]", 'a',
       "movie='a.mp4',crop=8:6[out0];amovie='a.mp4',hflip[out1]"},
      {"movie='a.mp4'[out0]", 'v', "movie='a.mp4',hflip[out0]"},
      {"amovie='a.mp4'[out0]", 'a', "amovie='a.mp4',hflip[out0]"},
      {"movie='a.mp4'[out0]", 'a', ""},                       // no audio output
      {"amovie='a.mp4'[out0]", 'v', ""},                      // no video output
      {"movie='a.mp4',split[x][out0];[x]nullsink", 'v', ""},  // one of several outputs
      {"movie='a.mp4'[out0][out9]", 'v', ""},                 // the label does not end the chain
      {"movie='[out0].mp4',crop=8:6", 'v', ""},               // only inside the quoted name
      {"movie='a.mp4',crop=8:6", 'v', ""},                    // no label at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graph);
    std::string graph = c.graph;
    const bool joined = appendChainToGraph(graph, c.media, "hflip");
    EXPECT_EQ(joined, *c.joined != '\0');
    EXPECT_EQ(graph, joined ? std::string(c.joined) : std::string(c.graph));
  }
}

TEST(GraphJoin, MalformedTextsAreHandledSafely) {
  const std::vector<std::string> texts = {
      "",
      "-filter_complex",
      "-filter_complex \"",
      "-filter_complex \"scale=1:2",
      "-filter_complex 'scale=1:2",
      "-filter_complex \"movie='/v/a.mp4\"",
      "-filter_complex \"drawtext=text='\\\\\\'\"",
      "-filter_complex scale=1:2\\",
      "-filter_complex \"[0\"",
      "-filter_complex \"[0:\" -map",
      "-map",
      "-map 99999999999999999999:v",
      "-filter_complex \"hflip\" -- -map 1",
  };
  for (const std::string& transform : texts) {
    TaskOperation a = makeOperation({file("/v/a.mp4")}, transform, {intermediate("t")});
    TaskOperation n = makeOperation({intermediate("t"), file("/v/b.mp4")}, transform, {file("/v/o.mp4")});
    labelFilterPads(a);
    (void)findLastFilterEnd(transform);
    (void)findLastFilterEndOfMedia(transform, 'v');
    std::string text = transform;
    relabelInputRefs(text, 0, 1);
    relabelMapRefs(text, 1, 0);
    (void)joinOperationGraphs(a, n);
    SUCCEED() << transform;
  }
}

}  // namespace
}  // namespace qel
