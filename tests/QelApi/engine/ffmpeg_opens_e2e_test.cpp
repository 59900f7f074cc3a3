// A task names files; ffmpeg opens what it makes of those names. Through the
// exports with the real ffmpeg:
// - a name ffmpeg would open as something else than a plain file written in
//   one piece (another protocol, a muxer that writes further files, a link to
//   another output) is refused when the task is given: 6510, a log line that
//   names it with the reason, and no file of the folder touched;
// - an input read through a protocol wrapper, a list, a playlist or a lavfi
//   movie source is read as ffmpeg reads it, so the command that would write
//   one of the files behind it is refused and the file stays;
// - the same inputs with an output elsewhere still run.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QelApi/engine/engine_test_util.h"
#include "qelapi.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

class FFmpegOpensTest : public EngineTaskTest {
 public:
  // A file of the test's folder.
  std::string f(const std::string& name) const { return dir_.file(name); }
  const std::string& folder() const { return dir_.path(); }

  const std::string in = f("in.mp4");
  const std::string victim = f("victim.mp4");

 protected:
  void SetUp() override {
    EngineTaskTest::SetUp();
    makeClip(in, clipOf(1.0));
    makeClip(victim, clipOf(1.0));
  }

  // Runs the task to its completion; its last report.
  StateReport run(const std::string& request) { return runTask(handle_, request); }
};

std::string scale(const std::string& input, const std::string& output, const std::string& prevOp = "") {
  return taskOperation({ioItem(1, input, prevOp)}, "-vf scale=80:60", {ioItem(1, output)});
}

// ---- Refused when the task is given ----------------------------------------------

struct RefusedCase {
  const char* name;
  // Makes the folder's extra files and returns the request; `refused` is set
  // to the name the log line must give.
  std::function<std::string(FFmpegOpensTest&, std::string& refused)> request;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedNameTest : public FFmpegOpensTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedNameTest, IsRefusedBeforeAnythingRuns) {
  std::string refused;
  const std::string request = GetParam().request(*this, refused);
  const std::map<std::string, std::string> before = folderSnapshot(dir_.path());
  const int logged = countInLog("refused: " + refused);

  const uint64_t id = nextTaskId();
  const int result = submitTask(handle_, id, request);
  if (result == 0) taskEvents().waitForCompletion(id);

  EXPECT_EQ(result, QEL_ERR_INVALID_PARAMS) << request;
  EXPECT_EQ(countInLog("refused: " + refused), logged + 1) << "no log line names " << refused;
  EXPECT_TRUE(folderSnapshot(dir_.path()) == before) << "a file of the folder was written";
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNameTest,
    testing::Values(
        RefusedCase{"TeeOverTheInput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = "tee:" + test.f("out.mkv") + "|" + test.in;
                      return taskRequest({scale(test.in, refused)});
                    }},
        RefusedCase{"TeeOverAnEarlierResult",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = "tee:" + test.f("o2.mkv") + "|" + test.f("o.mkv");
                      return taskRequest({scale(test.in, test.f("o.mkv")), scale(test.in, refused)});
                    }},
        RefusedCase{"PipeProtocol",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = "pipe:1";
                      return taskRequest({scale(test.in, refused)});
                    }},
        RefusedCase{"HlsPlaylistOutput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      writeFile(test.f("x0.ts"), "a segment of the user's");
                      refused = test.f("x.m3u8");
                      return taskRequest({scale(test.in, refused)});
                    }},
        RefusedCase{"HlsPlaylistOutputOverItsInput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      makeClip(test.f("x0.ts"), clipOf(1.0));
                      refused = test.f("x.m3u8");
                      return taskRequest({scale(test.f("x0.ts"), refused)});
                    }},
        RefusedCase{"DashManifestOutput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      writeFile(test.f("init-stream0.m4s"), "a segment of the user's");
                      refused = test.f("o.mpd");
                      return taskRequest({scale(test.in, refused)});
                    }},
        RefusedCase{"HlsFormatOption",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = test.f("o.mkv");
                      return taskRequest({taskOperation({ioItem(1, test.in)}, "-f hls", {ioItem(1, refused)})});
                    }},
        RefusedCase{"SegmentFormatOption",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = test.f("o%d.mkv");
                      return taskRequest({taskOperation({ioItem(1, test.in)}, "-f segment", {ioItem(1, refused)})});
                    }},
        RefusedCase{"TeeFormatOption",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = test.f("o.mkv") + "|" + test.in;
                      return taskRequest({taskOperation({ioItem(1, test.in)}, "-c copy -f tee", {ioItem(1, refused)})});
                    }},
        // The format in the other spellings ffmpeg takes.
        RefusedCase{"HlsFormatWithAStreamSpecifier",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      fs::create_directory(test.f("elsewhere"));
                      refused = test.f("o.mkv");
                      return taskRequest({taskOperation(
                          {ioItem(1, test.in)}, "-f:v hls -hls_segment_filename \"" + test.f("elsewhere") + "/seg%d.ts\"",
                          {ioItem(1, refused)})});
                    }},
        RefusedCase{"TeeFormatWithAStreamSpecifier",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      fs::create_directory(test.f("x"));
                      refused = test.f("v.mp4") + "|[onfail=ignore]" + test.f("x/b.mp4");
                      return taskRequest(
                          {taskOperation({ioItem(1, test.in)}, "-map 0:v -frames:v 5 -f:v tee", {ioItem(1, refused)})});
                    }},
        RefusedCase{"SegmentFormatAsATarget",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = test.f("o%d.mkv");
                      return taskRequest(
                          {taskOperation({ioItem(1, test.in)}, "-target pal-dvd -f:a segment", {ioItem(1, refused)})});
                    }},
        RefusedCase{"DanglingLinkToAnotherOutput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      fs::create_symlink("o.mkv", test.f("lnk.mkv"));
                      refused = test.f("lnk.mkv");
                      return taskRequest({scale(test.in, test.f("o.mkv")), scale(test.in, refused)});
                    }},
        RefusedCase{"LinkToTheInput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      fs::create_symlink("in.mp4", test.f("lnk.mp4"));
                      refused = test.f("lnk.mp4");
                      return taskRequest({scale(test.in, refused)});
                    }},
        RefusedCase{"InputThroughAnotherProtocol",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = "http://127.0.0.1:9/in.mp4";
                      return taskRequest({scale(refused, test.f("o.mkv"))});
                    }},
        RefusedCase{"DashManifestInput",
                    [](FFmpegOpensTest& test, std::string& refused) {
                      refused = test.f("in.mpd");
                      writeFile(refused,
                                "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
                                "profiles=\"urn:mpeg:dash:profile:isoff-live:2011\"></MPD>\n");
                      return taskRequest({scale(refused, test.f("o.mkv"))});
                    }}),
    [](const testing::TestParamInfo<RefusedCase>& param_info) { return std::string(param_info.param.name); });

// Picture names that ffmpeg's picture writer would take otherwise than the
// guard: a name longer than it holds is cut, and the cut could name the
// user's file beside it; it fills every frame-number field, and cuts one
// wider than 19 characters.
std::string picture(const std::string& input, const std::string& transform, const std::string& output) {
  return taskRequest({taskOperation({ioItem(1, input)}, transform, {ioItem(1, output)})});
}

INSTANTIATE_TEST_SUITE_P(PictureNames, RefusedNameTest,
                         testing::Values(RefusedCase{"DeepSnapshot",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused =
                                                           makeDeepFolder(test.folder()).precious + "_snapshot.png";
                                                       return picture(test.in, "-frames:v 1", refused);
                                                     }},
                                         RefusedCase{"DeepSnapshotWithoutTransform",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused =
                                                           makeDeepFolder(test.folder()).precious + "_snapshot.png";
                                                       return picture(test.in, "", refused);
                                                     }},
                                         RefusedCase{"DeepSequence",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused = makeDeepFolder(test.folder()).precious + "_%03d.png";
                                                       return picture(test.in, "", refused);
                                                     }},
                                         RefusedCase{"DeepSnapshotForcedWithAStreamSpecifier",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused =
                                                           makeDeepFolder(test.folder()).precious + "_snapshot.mp4";
                                                       return picture(test.in, "-frames:v 1 -f:v image2", refused);
                                                     }},
                                         RefusedCase{"TwoFrameNumberFields",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused = test.f("a%d%d.png");
                                                       return picture(test.in, "-frames:v 3", refused);
                                                     }},
                                         RefusedCase{"FrameNumberFieldTooWide",
                                                     [](FFmpegOpensTest& test, std::string& refused) {
                                                       refused = test.f("w%30d.png");
                                                       return picture(test.in, "-frames:v 3", refused);
                                                     }}),
                         [](const testing::TestParamInfo<RefusedCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// ---- Read as ffmpeg reads them ----------------------------------------------------

struct ReadThroughCase {
  const char* name;
  // Makes the folder's extra files and returns the input's value and prevOp.
  std::function<std::pair<std::string, std::string>(FFmpegOpensTest&)> input;
  // The file behind the input that the first run writes over.
  const char* behind;
};

void PrintTo(const ReadThroughCase& c, std::ostream* os) { *os << c.name; }

class ReadThroughTest : public FFmpegOpensTest, public testing::WithParamInterface<ReadThroughCase> {};

TEST_P(ReadThroughTest, TheFileBehindIsNeverWrittenAndOtherOutputsRun) {
  const auto [input, prevOp] = GetParam().input(*this);
  const std::string behind = f(GetParam().behind);
  const std::string bytes = readFile(behind);

  const StateReport refused = run(taskRequest({scale(input, behind, prevOp)}));
  EXPECT_TRUE(refused.error) << refused.text;
  EXPECT_NE(refused.errorDetail.find("refused: " + behind), std::string::npos) << refused.text;
  EXPECT_TRUE(refused.outputs.empty()) << refused.text;
  EXPECT_TRUE(readFile(behind) == bytes) << behind << " was written";

  const std::string out = f("elsewhere.mkv");
  const StateReport ran = run(taskRequest({scale(input, out, prevOp)}));
  EXPECT_FALSE(ran.error) << ran.text;
  const ProbeInfo written = probe(out);
  EXPECT_EQ(written.width, 80) << written.error;
  EXPECT_NEAR(written.duration, 1.0, 0.5) << written.error;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReadThroughTest,
    testing::Values(ReadThroughCase{"SubfileWithAnySeparator",
                                    [](FFmpegOpensTest& test) {
                                      return std::pair{"subfile,:start:0:end:0:::" + test.f("in.mp4"), std::string()};
                                    },
                                    "in.mp4"},
                    ReadThroughCase{"SubfileInAConcatfList",
                                    [](FFmpegOpensTest& test) {
                                      writeFile(test.f("l.txt"), "subfile,:start:0:end:0:::" + test.f("in.mp4") + "\n");
                                      return std::pair{"concatf:" + test.f("l.txt"), std::string()};
                                    },
                                    "in.mp4"},
                    ReadThroughCase{"FfconcatListFoundByContent",
                                    [](FFmpegOpensTest& test) {
                                      writeFile(test.f("list.ffconcat"), "ffconcat version 1.0\nfile victim.mp4\n");
                                      return std::pair{test.f("list.ffconcat"), std::string()};
                                    },
                                    "victim.mp4"},
                    ReadThroughCase{"HlsPlaylistFoundByContent",
                                    [](FFmpegOpensTest& test) {
                                      writeFile(
                                          test.f("pl.m3u8"),
                                          "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1,\nvictim.mp4\n#EXT-X-ENDLIST\n");
                                      return std::pair{test.f("pl.m3u8"), std::string()};
                                    },
                                    "victim.mp4"},
                    ReadThroughCase{"LavfiMovieSource",
                                    [](FFmpegOpensTest& test) {
                                      return std::pair{"movie=" + test.f("in.mp4"), std::string("-f lavfi")};
                                    },
                                    "in.mp4"},
                    ReadThroughCase{"LavfiMovieSourceByKey",
                                    [](FFmpegOpensTest& test) {
                                      return std::pair{"movie=filename=" + test.f("in.mp4"), std::string("-f lavfi")};
                                    },
                                    "in.mp4"}),
    [](const testing::TestParamInfo<ReadThroughCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(FFmpegOpensTest, AnAmovieSourceIsReadAsAnInput) {
  // Sound only: the video scale of the table above has nothing to work on.
  const std::string bytes = readFile(in);
  const StateReport refused =
      run(taskRequest({taskOperation({ioItem(1, "amovie=" + in, "-f lavfi")}, "-af volume=0.5", {ioItem(1, in)})}));
  EXPECT_TRUE(refused.error) << refused.text;
  EXPECT_NE(refused.errorDetail.find("refused: " + in), std::string::npos) << refused.text;
  EXPECT_TRUE(readFile(in) == bytes) << "the amovie source was written";
}

}  // namespace
}  // namespace qel::test
