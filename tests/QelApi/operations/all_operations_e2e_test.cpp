// The seventeen operations together: every request example of the README runs
// through the exported "process" call; each operation name, written in mixed
// case, reaches its own class at its registry position; and whole tasks run
// through the exports, the command plan and the real worker to outputs that
// ffprobe checks (a crop, convert and addSubtitleToFile chain, every add
// operation after earlier steps of each kind, and graphs whose audio ends in
// filters that hand the aac encoder odd frame sizes).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "qelapi.h"

#include "commands/lavfi_parser.h"
#include "QelApi/operations/added_input_run.h"
#include "operations/lavfi_add_audio_to_file.h"
#include "operations/lavfi_add_subtitle_to_file.h"
#include "operations/lavfi_add_video_to_file.h"
#include "operations/lavfi_audio_filter.h"
#include "operations/lavfi_compression.h"
#include "operations/lavfi_contactor.h"
#include "operations/lavfi_convert.h"
#include "operations/lavfi_croper.h"
#include "operations/lavfi_cutter.h"
#include "operations/lavfi_pic_to_gif.h"
#include "operations/lavfi_seek.h"
#include "operations/lavfi_speed_adjuster.h"
#include "operations/lavfi_track_selection.h"
#include "operations/lavfi_video_effect.h"
#include "operations/lavfi_video_filling.h"
#include "operations/lavfi_video_to_gif.h"
#include "operations/lavfi_water_mark.h"
#include "QelApi/operations/real_engine_helpers.h"
#include "support/task_events.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

// ---- Fixtures ---------------------------------------------------------------

// The files the README's examples name under /media, made small: a black clip
// (so burnt-in text and overlays show as bright pixels) and a test-pattern
// clip, both with a tone; a tone file, white pictures and a subtitle file.
struct MediaFolder {
  MediaFolder() {
    clip(dir.file("in.mp4"), 2, "color=c=black:");
    clip(dir.file("clip2.mp4"), 2, "testsrc=");
    const CapturedRun music = test::runFfmpeg({"-f", "lavfi", "-i", "sine=f=330:d=2"}, dir.file("music.mp3"));
    EXPECT_EQ(music.exitCode, 0) << music.output;
    for (const char* name : {"logo.png", "a.png", "b.png"}) {
      const CapturedRun picture =
          test::runFfmpeg({"-f", "lavfi", "-i", "color=white:s=32x24", "-frames:v", "1"}, dir.file(name));
      EXPECT_EQ(picture.exitCode, 0) << picture.output;
    }
    test::writeFile(dir.file("sub.srt"), "1\n00:00:00,000 --> 00:00:02,000\nHELLO WORLD\n\n");
  }

  void clip(const std::string& path, int seconds, const std::string& source) {
    const std::string length = std::to_string(seconds);
    const CapturedRun made =
        test::runFfmpeg({"-f", "lavfi", "-i", source + "s=160x120:r=25:d=" + length, "-f", "lavfi", "-i",
                         "sine=d=" + length, "-shortest", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"},
                        path);
    EXPECT_EQ(made.exitCode, 0) << made.output;
  }

  // A README line with its /media paths pointing into this folder.
  std::string localise(std::string text) const {
    const std::string from = "/media/";
    const std::string to = dir.path() + "/";
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
    return text;
  }

  test::TempDir dir;
};

// What a request's "operation" holds, read as the parser reads it (the
// examples carry whole-number durations, so no single-precision rounding).
LavfiOperationDesc readDesc(const std::string& request) {
  LavfiOperationDesc desc;
  rapidjson::Document doc;
  doc.Parse(request.c_str(), request.size());
  if (!doc.IsObject() || !doc.HasMember("operation") || !doc["operation"].IsObject()) return desc;
  const rapidjson::Value& op = doc["operation"];
  auto text = [](const rapidjson::Value& object, const char* key) {
    auto it = object.FindMember(key);
    return it != object.MemberEnd() && it->value.IsString() ? std::string(it->value.GetString()) : std::string();
  };
  desc.transform = text(op, "transform");
  desc.outputConfig = text(op, "outputConfig");
  desc.description = text(op, "description");
  auto inputs = op.FindMember("input");
  if (inputs == op.MemberEnd() || !inputs->value.IsArray()) return desc;
  for (const rapidjson::Value& item : inputs->value.GetArray()) {
    if (!item.IsObject()) continue;
    LavfiInputItem input;
    if (item.HasMember("type") && item["type"].IsInt()) input.type = item["type"].GetInt();
    input.value = text(item, "value");
    input.prevOp = text(item, "prevOp");
    if (item.HasMember("duration") && item["duration"].IsNumber()) input.duration = item["duration"].GetDouble();
    desc.inputs.push_back(std::move(input));
  }
  return desc;
}

// "addSubtitleToFile" -> "AdDsUbTiTlEtOfIlE": every other letter flipped.
std::string mixedCase(const std::string& name) {
  std::string mixed = name;
  for (std::size_t i = 0; i < mixed.size(); ++i) {
    const auto c = static_cast<unsigned char>(mixed[i]);
    if (i % 2 == 0 && c >= 'a' && c <= 'z') mixed[i] = static_cast<char>(c - 'a' + 'A');
    if (i % 2 == 1 && c >= 'A' && c <= 'Z') mixed[i] = static_cast<char>(c - 'A' + 'a');
  }
  return mixed;
}

// ---- An engine through the exports, with completion waits ----------------

class ExportedEngine {
 public:
  explicit ExportedEngine(const std::string& folder) {
    handle_ = qelapi_init(test::engineInitJson(folder, "allops").c_str());
    if (handle_ != nullptr) test::taskEvents().attach(handle_);
  }
  ~ExportedEngine() {
    if (handle_ != nullptr) qelapi_un_init(handle_);
  }
  ExportedEngine(const ExportedEngine&) = delete;
  ExportedEngine& operator=(const ExportedEngine&) = delete;

  void* handle() const { return handle_; }

  // The "process" reply's graph; "" when the request failed.
  std::string process(const std::string& request) { return test::processReplyGraph(handle_, request); }

  std::string process(const std::string& description, const std::vector<LavfiInputItem>& inputs,
                      const std::string& transform, const std::string& outputConfig = "") {
    return process(test::processRequestJson(description, inputs, transform, outputConfig));
  }

  // Creates, fills and starts task `id` and waits for its completion; the
  // last status report comes back in `report`. False when a step failed or
  // the task did not complete in time.
  bool runTask(std::uint64_t id, const std::string& operations, std::string& report) {
    if (test::submitTask(handle_, id, operations) != 0) return false;
    const bool done = test::taskEvents().waitForCompletion(id, std::chrono::seconds(180));
    const std::vector<test::StateReport> reports = test::taskEvents().reports(id);
    report = reports.empty() ? "" : reports.back().text;
    return done;
  }

 private:
  void* handle_ = nullptr;
};

// ---- README examples and dispatch -------------------------------------------

const std::vector<std::string> kOperationNames = {
    "cut",           "crop",        "convert",        "contact",        "audioFilter",      "pictureToGif",
    "videoToGif",    "videoEffect", "seekPosition",   "videoFilling",   "waterMark",        "trackSelection",
    "speedAdjuster", "compression", "addAudioToFile", "addVideoToFile", "addSubtitleToFile"};

// The mean luma (raw Y, 16 for black) of the frame at `seconds` of a video of
// `width` x `height`; -1 when unread.
double meanLuma(const std::string& path, double seconds, int width, int height, const std::string& scratch) {
  const CapturedRun run =
      runAndCapture({test::ffmpegPath(), "-hide_banner", "-nostdin", "-y", "-ss", std::to_string(seconds), "-i", path,
                     "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p", scratch},
                    true);
  if (run.exitCode != 0) return -1;
  const std::string frame = test::readFile(scratch);
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (frame.size() < pixels) return -1;
  double sum = 0;
  for (std::size_t i = 0; i < pixels; ++i) sum += static_cast<unsigned char>(frame[i]);
  return sum / static_cast<double>(pixels);
}

// What each README example does to its output, checked on the file a task
// makes from the example's graph (the files as MediaFolder makes them: 2 s
// of black 160x120 with a tone, a 2 s test pattern, white pictures).
struct ExampleEffect {
  std::string extension;  // of the task's output
  double seconds;         // its duration
  int width;
  int height;
  int audioStreams;
  // The operation's own mark on the picture or the sound; may be empty.
  std::function<void(const MediaFolder& media, const std::string& out)> check;
};

std::map<std::string, ExampleEffect> readmeExampleEffects() {
  auto scratch = [](const MediaFolder& media) { return media.dir.file("frame.raw"); };
  return {
      {"cut", {".mp4", 1.0, 160, 120, 1, {}}},
      {"crop", {".mp4", 2.0, 120, 90, 1, {}}},
      {"convert", {".mp4", 2.0, 320, 240, 1, {}}},
      {"contact", {".mp4", 3.5, 160, 120, 1, {}}},
      {"audioFilter",
       {".mp4", 2.0, 160, 120, 1,
        [](const MediaFolder& media, const std::string& out) {
          // Normalised to -16 LUFS, the quiet tone comes out louder.
          EXPECT_GT(test::maxVolume(out), test::maxVolume(media.dir.file("in.mp4")) + 2.0);
        }}},
      {"pictureToGif", {".gif", 2.0, 160, 120, 0, {}}},
      {"videoToGif", {".gif", 1.0, 160, 120, 0, {}}},
      {"videoEffect",
       {".mp4", 2.0, 160, 120, 1,
        [scratch](const MediaFolder& media, const std::string& out) {
          // More contrast pushes black (Y 16) further down.
          EXPECT_NEAR(meanLuma(media.dir.file("in.mp4"), 1.0, 160, 120, scratch(media)), 16.0, 2.0);
          const double luma = meanLuma(out, 1.0, 160, 120, scratch(media));
          EXPECT_GE(luma, 0.0);
          EXPECT_LT(luma, 10.0);
        }}},
      {"seekPosition", {".mp4", 1.0, 160, 120, 1, {}}},
      {"videoFilling", {".mp4", 2.0, 200, 150, 1, {}}},
      {"waterMark",
       {".mp4", 2.0, 160, 120, 1,
        [scratch](const MediaFolder& media, const std::string& out) {
          // The white logo and text over black.
          EXPECT_GT(test::brightestPixel(out, 1.0, scratch(media)), 150);
        }}},
      {"trackSelection", {".mp4", 2.0, 160, 120, 1, {}}},
      {"speedAdjuster", {".mp4", 1.0, 160, 120, 1, {}}},
      // Half of a 2 s clip of black is below every row of the compression
      // table, so the smallest row's picture (320x240) is written.
      {"compression", {".mp4", 2.0, 320, 240, 1, {}}},
      {"addAudioToFile",
       {".mp4", 2.0, 160, 120, 1,
        [](const MediaFolder&, const std::string& out) { EXPECT_GT(test::maxVolume(out), -40.0); }}},
      {"addVideoToFile",
       {".mp4", 2.0, 160, 120, 1,
        [scratch](const MediaFolder& media, const std::string& out) {
          EXPECT_GT(test::brightestPixel(out, 0.5, scratch(media)), 150);  // the test pattern over black
          EXPECT_LT(test::brightestPixel(out, 1.6, scratch(media)), 60);   // its trim has ended
        }}},
      {"addSubtitleToFile",
       {".mp4", 2.0, 160, 120, 1,
        [scratch](const MediaFolder& media, const std::string& out) {
          EXPECT_GT(test::brightestPixel(out, 1.0, scratch(media)), 150);  // the text burnt in
        }}},
  };
}

// Every README example runs as written (its paths pointing at the fixtures):
// "process" gives a graph, a task over that graph writes a file, and the file
// shows what the example promises: its length, picture size and streams, and
// the operation's own mark where those do not show it.
TEST(ReadmeOperations, EveryExampleTakesEffectInATask) {
  const std::vector<std::string> examples = test::readmeOperationExamples();
  ASSERT_EQ(examples.size(), kOperationNames.size()) << "README operation examples";

  std::set<std::string> described;
  for (const std::string& example : examples) described.insert(readDesc(example).description);
  EXPECT_EQ(described, std::set<std::string>(kOperationNames.begin(), kOperationNames.end()));

  const std::map<std::string, ExampleEffect> effects = readmeExampleEffects();
  MediaFolder media;
  ExportedEngine engine(media.dir.path());
  ASSERT_NE(engine.handle(), nullptr);
  std::uint64_t id = 600;
  for (const std::string& example : examples) {
    const std::string request = media.localise(example);
    const std::string name = readDesc(request).description;
    SCOPED_TRACE(name);
    const auto effect = effects.find(name);
    ASSERT_NE(effect, effects.end());
    const ExampleEffect& expected = effect->second;
    const std::string graph = engine.process(request);
    ASSERT_FALSE(graph.empty()) << request;

    const std::string out = media.dir.file("example-" + name + expected.extension);
    std::string report;
    ASSERT_TRUE(engine.runTask(++id, test::oneGraphTask(graph, out), report)) << report;
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error << "\n" << graph << "\n" << report;
    EXPECT_EQ(info.count("video"), 1) << graph;
    EXPECT_EQ(info.count("audio"), expected.audioStreams) << graph;
    EXPECT_NEAR(info.duration, expected.seconds, 0.25) << graph;
    EXPECT_EQ(info.width, expected.width) << graph;
    EXPECT_EQ(info.height, expected.height) << graph;
    if (expected.check) expected.check(media, out);
  }
}

// Which class stands at which registry position, and a fresh instance of it.
struct Registered {
  std::string name;
  std::size_t position;  // 0-based
  std::function<bool(const LavfiOperation&)> isIt;
  std::function<std::unique_ptr<LavfiBase>()> make;
};

template <typename Operation>
Registered registered(const std::string& name, std::size_t position) {
  return {name, position, [](const LavfiOperation& op) { return dynamic_cast<const Operation*>(&op) != nullptr; },
          [] { return std::make_unique<Operation>(); }};
}

TEST(ReadmeOperations, MixedCaseNamesReachTheirOwnClass) {
  const std::vector<Registered> table = {
      registered<LavfiCutter>("cut", 0),
      registered<LavfiCroper>("crop", 1),
      registered<LavfiConvert>("convert", 2),
      registered<LavfiContactor>("contact", 3),
      registered<LavfiAudioFilter>("audioFilter", 4),
      registered<LavfiPicToGif>("pictureToGif", 5),
      registered<LavfiVideoToGif>("videoToGif", 6),
      registered<LavfiVideoEffect>("videoEffect", 7),
      registered<LavfiSeek>("seekPosition", 8),
      registered<LavfiVideoFilling>("videoFilling", 9),
      registered<LavfiWaterMark>("waterMark", 10),
      registered<LavfiTrackSelection>("trackSelection", 11),
      registered<LavfiSpeedAdjuster>("speedAdjuster", 12),
      registered<LavfiCompression>("compression", 13),
      registered<LavfiAddAudioToFile>("addAudioToFile", 14),
      registered<LavfiAddVideoToFile>("addVideoToFile", 15),
      registered<LavfiAddSubtitleToFile>("addSubtitleToFile", 16),
  };
  MediaFolder media;
  std::vector<std::string> requests;
  for (const std::string& example : test::readmeOperationExamples()) requests.push_back(media.localise(example));
  auto realProbe = [](const std::string& path) { return test::probe(path).json; };

  for (const Registered& entry : table) {
    SCOPED_TRACE(entry.name);
    // The request of the README for this operation, its name in mixed case.
    std::string request;
    for (const std::string& candidate : requests) {
      if (readDesc(candidate).description == entry.name) request = candidate;
    }
    ASSERT_FALSE(request.empty());
    const std::string mixed = mixedCase(entry.name);
    ASSERT_NE(mixed, entry.name);
    const std::string quotedName = "\"description\":\"" + entry.name + "\"";
    const std::size_t at = request.find(quotedName);
    ASSERT_NE(at, std::string::npos);
    request.replace(at, quotedName.size(), "\"description\":\"" + mixed + "\"");

    LavfiParser dispatching{makeOperationRegistry()};
    dispatching.setProbeRunner(realProbe);
    ASSERT_EQ(dispatching.registry.size(), table.size());
    ASSERT_TRUE(entry.isIt(*dispatching.registry[entry.position]));
    EXPECT_EQ(dispatching.registry[entry.position]->name(), entry.name);
    const LavfiParseResult dispatched = dispatching.parse(request);
    ASSERT_FALSE(dispatched.graph.empty()) << mixed;

    // The class itself, on a parser in the same state, builds the same texts.
    LavfiParser direct{makeOperationRegistry()};
    direct.setProbeRunner(realProbe);
    LavfiOperationDesc desc = readDesc(request);
    const LavfiResult expected = entry.make()->process(direct, desc);
    EXPECT_EQ(dispatched.graph, expected.graph) << mixed;
    EXPECT_EQ(dispatched.cmd, expected.cmd) << mixed;
    EXPECT_EQ(dispatched.fileNums, static_cast<std::int32_t>(expected.inputFiles.size())) << mixed;
  }
}

// ---- Whole tasks through the exports ---------------------------------------

// crop, then convert, then addSubtitleToFile, each on the graph of the step
// before; the task takes the last graph (and, for the added stream, its
// recorded fragment) through the command plan and the worker.
TEST(OperationTasks, CropConvertAndSubtitlesRunToOneOutput) {
  struct Case {
    std::string name;
    std::string transform;  // of addSubtitleToFile
    std::string out;
    int subtitles;              // subtitle streams expected
    std::string subtitleCodec;  // when there is one
    bool burntIn;
  };
  const Case cases[] = {
      {"burnt in", "subtitles", "burnt.mp4", 0, "", true},
      {"stream in mp4", "", "stream.mp4", 1, "mov_text", false},
      {"stream in mkv", "", "stream.mkv", 1, "subrip", false},
  };
  MediaFolder media;
  const std::string clip = media.dir.file("in.mp4");
  const std::string subtitle = media.dir.file("sub.srt");
  const std::string clipBytes = test::readFile(clip);
  ExportedEngine engine(media.dir.path());
  ASSERT_NE(engine.handle(), nullptr);

  std::uint64_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cropped = engine.process("crop", {{1, clip, "", 2}}, "crop=120:90:20:10");
    ASSERT_FALSE(cropped.empty());
    const std::string converted =
        engine.process("convert", {{2, cropped, "", 2}}, "-vf scale=240:180", "-c:v libx264 -pix_fmt yuv420p");
    ASSERT_NE(converted.find("crop=120:90:20:10,scale=240:180[out0]"), std::string::npos) << converted;
    const std::string subtitled =
        engine.process("addSubtitleToFile", {{2, converted, "", 2}, {1, subtitle, "", 0}}, c.transform);
    ASSERT_FALSE(subtitled.empty());

    const std::string out = media.dir.file(c.out);
    std::string report;
    ASSERT_TRUE(engine.runTask(++id, test::oneGraphTask(subtitled, out), report)) << report;
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error << "\n" << report;
    EXPECT_EQ(info.count("video"), 1);
    EXPECT_EQ(info.count("audio"), 1);
    EXPECT_EQ(info.count("subtitle"), c.subtitles);
    if (c.subtitles > 0) {
      EXPECT_EQ(info.codecNames.back(), c.subtitleCodec);
    }
    EXPECT_EQ(info.width, 240);
    EXPECT_EQ(info.height, 180);
    EXPECT_NEAR(info.duration, 2.0, 0.25);
    const int brightest = test::brightestPixel(out, 1.0, media.dir.file("frame.gray"));
    if (c.burntIn) {
      EXPECT_GT(brightest, 150);
    } else {
      EXPECT_LT(brightest, 60);
    }
  }
  EXPECT_EQ(test::readFile(clip), clipBytes);
}

// The add operations record a command fragment beside their graph; a task
// given their graph runs the fragment in its place. The output has one stream
// of each kind, lasts as long as the base, carries the edit, and the input
// files stay as they were.
TEST(OperationTasks, AddOperationsRunThroughTheirFragments) {
  MediaFolder media;
  const std::string clip = media.dir.file("in.mp4");
  const std::string clip2 = media.dir.file("clip2.mp4");
  const std::string music = media.dir.file("music.mp3");
  const std::string clipBytes = test::readFile(clip);
  const std::string clip2Bytes = test::readFile(clip2);
  const std::string musicBytes = test::readFile(music);
  ExportedEngine engine(media.dir.path());
  ASSERT_NE(engine.handle(), nullptr);

  struct Case {
    std::string name;
    std::string graph;
    std::function<void(const std::string& out)> check;
  };
  const std::string scratch = media.dir.file("frame.gray");
  const std::vector<Case> cases = {
      {"added audio mixed in",
       engine.process("addAudioToFile", {{1, clip, "", 2}, {1, music, "", 2}},
                      "volume=0.5;amix=inputs=2:duration=first;-map 0:v"),
       [](const std::string& out) { EXPECT_GT(test::maxVolume(out), -40.0); }},
      {"added audio replaces the base's",
       engine.process("addAudioToFile", {{1, clip, "-an", 2}, {1, music, "", 2}},
                      "volume=0;amix=inputs=2:duration=first;-map 0:v"),
       [](const std::string& out) { EXPECT_LT(test::maxVolume(out), -80.0); }},
      {"overlaid trimmed clip",
       engine.process("addVideoToFile", {{1, clip, "", 2}, {1, clip2, "", 2}},
                      "trim=0:1,setpts=PTS-STARTPTS,scale=80:60;overlay=10:10:eof_action=pass"),
       [&scratch](const std::string& out) {
         EXPECT_GT(test::brightestPixel(out, 0.5, scratch), 150);  // the test pattern over black
         EXPECT_LT(test::brightestPixel(out, 1.6, scratch), 60);   // its trim has ended
       }},
  };
  std::uint64_t id = 400;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.graph.empty());
    const std::string out = media.dir.file(std::to_string(id) + ".mp4");
    std::string report;
    ASSERT_TRUE(engine.runTask(++id, test::oneGraphTask(c.graph, out), report)) << report;
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error << "\n" << report;
    EXPECT_EQ(info.count("video"), 1);
    EXPECT_EQ(info.count("audio"), 1);
    EXPECT_EQ(info.width, 160);
    EXPECT_NEAR(info.duration, 2.0, 0.25);
    c.check(out);
  }
  EXPECT_EQ(test::readFile(clip), clipBytes);
  EXPECT_EQ(test::readFile(clip2), clip2Bytes);
  EXPECT_EQ(test::readFile(music), musicBytes);
}

// An operation that adds a stream keeps every stream of the step it builds
// on, whatever that step's fragment does to ffmpeg's own choice of streams:
// nothing (a file, a convert without a filter), an unlabelled filter graph (a
// convert with a filter) or maps of its own (an add-audio, an add-subtitle, an
// add-video with a subtitle). Every output holds the base's picture at the
// base's size, one audio stream (the base's, or the mix of it), the base's
// subtitles and the added ones.
TEST(OperationTasks, AddingAStreamKeepsTheEarlierStreams) {
  MediaFolder media;
  const std::string clip = media.dir.file("in.mp4");
  const std::string clip2 = media.dir.file("clip2.mp4");
  const std::string music = media.dir.file("music.mp3");
  const std::string subtitle = media.dir.file("sub.srt");
  ExportedEngine engine(media.dir.path());
  ASSERT_NE(engine.handle(), nullptr);

  struct Earlier {
    std::string name;
    // The step's graph, made again for every row: an added subtitle stream
    // returns the graph it was given, whose record then carries its fragment.
    std::function<std::string()> graph;  // "" for the file itself
    int width;                           // of the base's picture
    int subtitles;                       // subtitle streams of the base
  };
  const std::string earlierSubtitle = media.dir.file("earlier.srt");
  test::writeFile(earlierSubtitle, "1\n00:00:00,000 --> 00:00:02,000\nEARLIER\n\n");
  const std::string trimAndOverlay = "trim=0:1,setpts=PTS-STARTPTS,scale=40:30;overlay=4:4:eof_action=pass";
  const std::vector<Earlier> earlier = {
      {"a file", [] { return std::string(); }, 160, 0},
      {"a convert through a filter graph",
       [&] {
         return engine.process("convert", {{1, clip, "", 2}}, "-vf scale=96:72", "-c:v libx264");
       },
       96, 0},
      {"a convert without a filter",
       [&] {
         return engine.process("convert", {{1, clip, "", 2}}, "", "-c:v libx264");
       },
       160, 0},
      {"an add-audio that maps its streams",
       [&] {
         return engine.process("addAudioToFile", {{1, clip, "", 2}, {1, music, "", 2}},
                               "volume=0.5;amix=inputs=2:duration=first;-map 0:v");
       },
       160, 0},
      {"an add-subtitle that maps the base whole",
       [&] {
         return engine.process("addSubtitleToFile", {{1, clip, "", 2}, {1, earlierSubtitle, "", 0}}, "");
       },
       160, 1},
      {"an add-video whose subtitle map comes with the base's audio map",
       [&] {
         return engine.process("addVideoToFile", {{1, clip, "", 2}, {1, clip2, "", 2}, {1, earlierSubtitle, "", 0}},
                               trimAndOverlay);
       },
       160, 1},
  };
  struct Adding {
    std::string description;
    std::vector<LavfiInputItem> added;  // the inputs after the base
    std::string transform;
  };
  const std::vector<Adding> adding = {
      {"addSubtitleToFile", {{1, subtitle, "", 0}}, ""},
      {"addAudioToFile", {{1, music, "", 2}, {1, subtitle, "", 0}}, "volume=1;;amix=inputs=2:duration=first"},
      {"addVideoToFile", {{1, clip2, "", 2}, {1, subtitle, "", 0}}, trimAndOverlay},
  };

  std::uint64_t id = 700;
  for (const Earlier& before : earlier) {
    for (const Adding& add : adding) {
      SCOPED_TRACE(add.description + " after " + before.name);
      const std::string earlierGraph = before.graph();
      std::vector<LavfiInputItem> inputs{earlierGraph.empty() ? LavfiInputItem{1, clip, "", 2}
                                                              : LavfiInputItem{2, earlierGraph, "", 2}};
      inputs.insert(inputs.end(), add.added.begin(), add.added.end());
      const std::string graph = engine.process(add.description, inputs, add.transform);
      ASSERT_FALSE(graph.empty());

      const std::string out = media.dir.file("added-" + std::to_string(++id) + ".mp4");
      std::string report;
      ASSERT_TRUE(engine.runTask(id, test::oneGraphTask(graph, out), report)) << report;
      const test::ProbeInfo info = test::probe(out);
      ASSERT_TRUE(info.ok) << info.error << "\n" << report;
      EXPECT_EQ(info.count("video"), 1);
      EXPECT_EQ(info.count("audio"), 1);
      EXPECT_EQ(info.count("subtitle"), before.subtitles + 1);
      EXPECT_EQ(info.width, before.width);
      EXPECT_NEAR(info.duration, 2.0, 0.25);
    }
  }
}

// ffmpeg 5.1's aac encoder takes at most 1024 samples a frame; loudnorm,
// dynaudnorm, atempo and acrossfade hand on larger frames. Written the way the
// command assembly writes a graph (its outputs unlabelled), a task's .mp4
// output still gets its aac audio; the same graph mapped by its labels, as a
// caller might run it by hand, fails in this ffmpeg.
TEST(OperationTasks, AudioFiltersWithLargeFramesStillGiveAacInMp4) {
  MediaFolder media;
  const std::string clip = media.dir.file("in.mp4");
  const std::string clip2 = media.dir.file("clip2.mp4");
  ExportedEngine engine(media.dir.path());
  ASSERT_NE(engine.handle(), nullptr);

  struct Case {
    std::string name;
    std::string graph;
    double seconds;
  };
  std::vector<Case> cases;
  cases.push_back({"loudnorm", engine.process("audioFilter", {{1, clip, "", 2}}, "-af \"loudnorm=i=-16\""), 2});
  cases.push_back({"dynaudnorm", engine.process("audioFilter", {{1, clip, "", 2}}, "dynaudnorm"), 2});
  cases.push_back({"atempo",
                   engine.process("speedAdjuster", {{1, clip, "", 2}}, "-filter_complex \"setpts=0.5*PTS;atempo=2\""),
                   1});
  cases.push_back({"acrossfade",
                   engine.process("contact", {{1, clip, "", 2}, {1, clip2, "", 2}},
                                  "scale=160:120,setsar=1,fps=25,format=yuv420p,settb=AVTB;"
                                  "[v0][v1]xfade=transition=fade:duration=0.5:offset=1.5[out0];"
                                  "[a0][a1]acrossfade=d=0.5[out1]"),
                   3.5});

  std::uint64_t id = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.graph.empty());
    const std::string out = media.dir.file(c.name + ".mp4");
    std::string report;
    ASSERT_TRUE(engine.runTask(++id, test::oneGraphTask(c.graph, out), report)) << report;
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error << "\n" << c.graph << "\n" << report;
    EXPECT_EQ(info.count("video"), 1);
    ASSERT_EQ(info.count("audio"), 1);
    EXPECT_NE(std::find(info.codecNames.begin(), info.codecNames.end(), "aac"), info.codecNames.end());
    EXPECT_NEAR(info.duration, c.seconds, 0.3);
  }

  // The hand-run form with the labels mapped: this is where ffmpeg 5.1 fails.
  const CapturedRun byLabels = test::runGraph(cases.front().graph, media.dir.file("labels.mp4"));
  if (byLabels.exitCode != 0) {
    EXPECT_NE(byLabels.output.find("more samples than frame size"), std::string::npos) << byLabels.output;
  }
}

}  // namespace
}  // namespace qel
