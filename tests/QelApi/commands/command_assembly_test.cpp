// Command assembly: the exact command texts of single operations, the output
// record and its fragment, unread pad labels, the input files and key, the
// snapshot's vendor and input-file map, and the guard against a command that
// would write over its own input.
#include "commands/command_assembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QelApi/commands/task_operation_items.h"
#include "common/command_line.h"

namespace qel {
namespace {

using test::task::file;
using test::task::intermediate;
using test::task::makeOperation;

const std::string kGraph = R"(movie='D\:/a.mp4',scale=640:360[out0])";

struct TextCase {
  std::string name;
  TaskOperation operation;
  std::string expected;
};

TEST(ToCommad, WritesCommandTextsFromAnEmptySnapshot) {
  const std::vector<TextCase> cases{
      {"file input with prevOp, graph transform",
       makeOperation({file("D:/in.mp4", "-ss 5")}, R"(-filter_complex "[0:v]scale=640:360")", {file("D:/out.mkv")}),
       R"( -ss 5 -i "D:/in.mp4" -filter_complex "[0:v]scale=640:360"  -c:v libx264 "D:/out.mkv")"},
      {"graph input loses its output label", makeOperation({intermediate(kGraph)}, "", {file("D:/o.avi")}),
       R"(-filter_complex "movie='D\:/a.mp4',scale=640:360"  "D:/o.avi")"},
      {"lavfi graph among two inputs is left out",
       makeOperation({file("D:/a.mp4"), intermediate(R"(movie='D\:/b.mp4'[out0])"), file("D:/c.mp4")}, "",
                     {file("D:/o.avi")}),
       R"( -i "D:/a.mp4"  "D:/o.avi")"},
      {"intermediate file written like a file",
       makeOperation({intermediate("/tmp/t/part.mkv")}, "-c copy", {file("D:/o.avi")}),
       R"( -i "/tmp/t/part.mkv" -c copy "D:/o.avi")"},
      {"command fragment input", makeOperation({intermediate(R"(-i "D:/a.mp4" -map 0:v)")}, "", {file("D:/o.avi")}),
       R"(-i "D:/a.mp4" -map 0:v  "D:/o.avi")"},
      {"fragment after a file input gets a blank",
       makeOperation({file("D:/x.mp4"), intermediate(R"(-i "D:/a.mp4" -map 0:v)")}, "", {file("D:/o.avi")}),
       R"( -i "D:/x.mp4" -i "D:/a.mp4" -map 0:v  "D:/o.avi")"},
      {"mp4 gets faststart and the container codec", makeOperation({file("D:/in.mp4")}, "", {file("D:/o.mp4")}),
       R"( -i "D:/in.mp4"  -movflags +faststart -c:v libx264 "D:/o.mp4")"},
      {"dts", makeOperation({file("D:/in.wav")}, "", {file("D:/a.DTS")}), R"( -i "D:/in.wav"  -strict -2 "D:/a.DTS")"},
      {"png writes transform, no options", makeOperation({file("D:/in.mp4")}, "-vframes 1", {file("D:/a.png")}),
       R"( -i "D:/in.mp4" -vframes 1 "D:/a.png")"},
      {"no output items", makeOperation({file("D:/in.mp4")}, "-an", {}), R"( -i "D:/in.mp4")"},
      {"empty values and unknown types are skipped",
       makeOperation({file(""), TaskIoItem{0, "D:/z.mp4", ""}, file("D:/in.mp4")}, "", {file("D:/o.avi")}),
       R"( -i "D:/in.mp4"  "D:/o.avi")"},
      {"quality and copy steps run on the whole line",
       makeOperation({file("D:/in.mp4")}, "-af volume=2 -c:a copy -qscale:v 23", {file("D:/o.avi")}),
       R"( -i "D:/in.mp4" -filter_complex volume=2  -b:v 4000k "D:/o.avi")"},
  };
  for (auto c : cases) {
    FFmpegCommand command = toCommad(c.operation, {});
    EXPECT_EQ(command.commandLine, c.expected) << c.name;
  }
}

TEST(ToCommad, FillsInputFilesOutputPathAndKey) {
  TaskOperation graphInput = makeOperation({intermediate(kGraph)}, "", {file("D:/o.avi"), file("D:/p.avi")});
  PlanningSnapshot snapshot;
  FFmpegCommand command = toCommad(graphInput, snapshot);
  EXPECT_EQ(command.inputFiles, std::vector<std::string>{"D:/a.mp4"});
  EXPECT_EQ(command.outputPath, "D:/o.avi");
  EXPECT_EQ(command.key, kGraph);
  EXPECT_EQ(command.commandLine.find("p.avi"), std::string::npos);  // later outputs are never written

  TaskOperation files =
      makeOperation({file("D:/a.mp4"), file("D:/s.srt"), file("D:/a.mp4"), file("D:/b.mp4")}, "", {file("D:/o.mp4")});
  command = toCommad(files, {});
  EXPECT_EQ(command.inputFiles, (std::vector<std::string>{"D:/a.mp4", "D:/b.mp4"}));
  EXPECT_NE(command.commandLine.find(" -c:s mov_text"), std::string::npos);

  // The key is the graph found in the transform when no input is a graph.
  TaskOperation inTransform = makeOperation({}, "-filter_complex \"" + kGraph + "\" -map 0", {file("D:/o.avi")});
  command = toCommad(inTransform, snapshot);
  EXPECT_EQ(command.key, kGraph);
  // No input item names a file and the snapshot has no list for the key: the
  // paths the key itself names.
  EXPECT_EQ(command.inputFiles, std::vector<std::string>{"D:/a.mp4"});
}

TEST(ToCommad, UsesOutputRecordOfTheGraph) {
  PlanningSnapshot snapshot;
  snapshot.outputRecords = {{kGraph, {1, " -c:v libx265 -crf 20", ""}}, {"-vframes 1", {0, " -q:v 2", ""}}};

  TaskOperation byGraph = makeOperation({intermediate(kGraph)}, "", {file("D:/o.mkv")});
  EXPECT_EQ(toCommad(byGraph, snapshot).commandLine,
            R"(-filter_complex "movie='D\:/a.mp4',scale=640:360"  -c:v libx265 -crf 20 "D:/o.mkv")");

  TaskOperation dts = makeOperation({intermediate(kGraph)}, "", {file("D:/o.dts")});
  EXPECT_EQ(toCommad(dts, snapshot).commandLine,
            R"(-filter_complex "movie='D\:/a.mp4',scale=640:360"  -strict -2 "D:/o.dts")");

  // Looked up under the transform when the graph text finds nothing.
  TaskOperation byTransform = makeOperation({file("D:/in.mp4")}, "-vframes 1", {file("D:/o.jpg")});
  EXPECT_EQ(toCommad(byTransform, snapshot).commandLine, R"( -i "D:/in.mp4" -vframes 1  -q:v 2 "D:/o.jpg")");
  TaskOperation png = makeOperation({file("D:/in.mp4")}, "-vframes 1", {file("D:/o.png")});
  EXPECT_EQ(toCommad(png, snapshot).commandLine, R"( -i "D:/in.mp4" -vframes 1 "D:/o.png")");

  snapshot.outputRecords = {{kGraph, {0, " -movflags +faststart", ""}}};
  TaskOperation mp4 = makeOperation({intermediate(kGraph)}, "", {file("D:/o.mp4")});
  std::string line = toCommad(mp4, snapshot).commandLine;
  EXPECT_EQ(line.find("+faststart"), line.rfind("+faststart"));
}

TEST(ToCommad, RecordUnderEmptyKeyNeverApplies) {
  // A failed "process" request files its record under the empty graph text.
  PlanningSnapshot snapshot;
  snapshot.outputRecords = {{"", {1, " -c:a mp3", R"(-i "D:/other.mp4")"}}};
  TaskOperation operation = makeOperation({file("D:/in.mp4")}, "-filter_complex scale=2:2", {file("D:/o.avi")});
  FFmpegCommand command = toCommad(operation, snapshot);
  EXPECT_EQ(command.commandLine, R"( -i "D:/in.mp4" -filter_complex scale=2:2 "D:/o.avi")");
  EXPECT_EQ(command.key, "");
  EXPECT_EQ(operation.m_transform, "-filter_complex scale=2:2");
}

TEST(ToCommad, FragmentStandsInPlaceOfItsGraph) {
  const std::string fragment = R"(-i "D:/a.mp4" -filter_complex "[0:v]scale=2:2[v3]" -map [v3] -map 0:a)";
  PlanningSnapshot snapshot;
  snapshot.outputRecords = {{kGraph, {1, " -c:v libx264", fragment}}};

  TaskOperation operation = makeOperation({intermediate(kGraph)}, "-vf hflip", {file("D:/o.mkv")});
  FFmpegCommand command = toCommad(operation, snapshot);
  EXPECT_EQ(command.commandLine, fragment + R"(  -c:v libx264 "D:/o.mkv")");
  EXPECT_TRUE(operation.m_transform.empty());
  EXPECT_EQ(command.inputFiles, std::vector<std::string>{"D:/a.mp4"});
  EXPECT_EQ(command.key, kGraph);

  // The fragment follows a file input with a blank between them; the
  // transform is not written at all.
  TaskOperation withFile = makeOperation({file("D:/x.mp4")}, "-filter_complex \"" + kGraph + "\"", {file("D:/o.mkv")});
  command = toCommad(withFile, snapshot);
  EXPECT_EQ(command.commandLine, R"( -i "D:/x.mp4" )" + fragment + R"(  -c:v libx264 "D:/o.mkv")");

  // Split like the runner splits it, the input path is never a bare argument
  // that ffmpeg would take for an output.
  std::vector<std::string> args = splitCommandLine(command.commandLine);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i + 1] == "D:/a.mp4" || args[i + 1] == "D:/x.mp4") {
      EXPECT_EQ(args[i], "-i");
    }
  }
}

// The graph in the transform and its file as the input: the fragment that
// replaces the graph opens that file itself, so it is opened once, with the
// input's own options in front of the fragment's -i.
TEST(ToCommad, FragmentOpensTheFileItsGraphReads) {
  const std::string fragment = R"(-i "D:/a.mp4" -filter_complex "scale=2:2" -an)";
  PlanningSnapshot snapshot;
  snapshot.outputRecords = {{kGraph, {1, " -map_channel -1", fragment}}};
  const std::string transform = "-filter_complex \"" + kGraph + "\"";

  TaskOperation plain = makeOperation({file("D:/a.mp4")}, transform, {file("D:/o.mkv")});
  FFmpegCommand command = toCommad(plain, snapshot);
  EXPECT_EQ(command.commandLine, fragment + R"(  -map_channel -1 -c:v libx264 "D:/o.mkv")");
  EXPECT_EQ(command.inputFiles, std::vector<std::string>{"D:/a.mp4"});

  TaskOperation seeking = makeOperation({file("D:/a.mp4", "-ss 0.5")}, transform, {file("D:/o.mkv")});
  command = toCommad(seeking, snapshot);
  EXPECT_EQ(command.commandLine, "-ss 0.5 " + fragment + R"(  -map_channel -1 -c:v libx264 "D:/o.mkv")");

  // Another file is still an input of its own; a path that merely ends the
  // same way is another file.
  TaskOperation other = makeOperation({file("a.mp4")}, transform, {file("D:/o.mkv")});
  command = toCommad(other, snapshot);
  EXPECT_EQ(command.commandLine, R"( -i "a.mp4" )" + fragment + R"(  -map_channel -1 -c:v libx264 "D:/o.mkv")");
}

TEST(ToCommad, RemovesPadLabelsNothingReads) {
  TaskOperation once =
      makeOperation({file("D:/in.mp4")}, R"(-filter_complex "[0]scale=2:2[4095]")", {file("D:/o.avi")});
  once.m_padLabels["t"] = 4095;
  FFmpegCommand command = toCommad(once, {});
  EXPECT_EQ(once.m_transform, R"(-filter_complex "[0]scale=2:2")");
  EXPECT_EQ(command.commandLine, R"( -i "D:/in.mp4" -filter_complex "[0]scale=2:2" "D:/o.avi")");

  const std::string read = R"(-filter_complex "[0]split[4095][x];[4095]null[y]")";
  TaskOperation twice = makeOperation({file("D:/in.mp4")}, read, {file("D:/o.avi")});
  twice.m_padLabels["t"] = 4095;
  toCommad(twice, {});
  EXPECT_EQ(twice.m_transform, read);
}

TEST(AddInputFile, KeepsMediaFilesOnceInOrder) {
  std::vector<std::string> files;
  for (const char* path : {"D:/b.mp4", "D:/s.SRT", "D:/a.mp4", "", "D:/b.mp4", "D:/t.Ass", "D:/B.mp4"}) {
    addInputFile(files, path);
  }
  EXPECT_EQ(files, (std::vector<std::string>{"D:/b.mp4", "D:/a.mp4", "D:/B.mp4"}));
}

TEST(ToCommad, ReadsVendorAndInputFilesFromSnapshot) {
  TaskOperation encode = makeOperation({file("D:/in.mp4")}, "-c:v libx264 -crf 20", {file("D:/o.avi")});
  TaskOperation noVendor = encode;
  TaskOperation fromParser = makeOperation({}, R"(-filter_complex "movie='x'[out0]")", {file("D:/o.avi")});
  TaskOperation fromKey = makeOperation({}, R"(-filter_complex "movie='/m/k.mp4'[out0]")", {file("D:/o.avi")});
  TaskOperation none = makeOperation({}, "-f lavfi", {file("D:/o.avi")});
  ParserRecords records;
  records.inputFiles["movie='x'[out0]"] = {"/m/one.mp4", "/m/two.mp4"};
  records.inputFiles[""] = {"/m/failed.mp4"};
  PlanningSnapshot snapshot;
  snapshot.hardwareVendor = "nvidia";
  snapshot.takeParserEntries({encode, fromParser, fromKey, none}, records);

  EXPECT_EQ(toCommad(encode, snapshot).commandLine, R"( -i "D:/in.mp4" -c:v h264_nvenc -crf 20 "D:/o.avi")");
  EXPECT_EQ(toCommad(noVendor, {}).commandLine, R"( -i "D:/in.mp4" -c:v libx264 -crf 20 "D:/o.avi")");

  // No input item names a file: the parser's list for the key fills in.
  EXPECT_EQ(toCommad(fromParser, snapshot).inputFiles, (std::vector<std::string>{"/m/one.mp4", "/m/two.mp4"}));
  // A key the parser does not know: the paths of the key itself; the empty key
  // never answers with the failed request's list.
  EXPECT_EQ(toCommad(fromKey, snapshot).inputFiles, std::vector<std::string>{"/m/k.mp4"});
  EXPECT_TRUE(toCommad(none, snapshot).inputFiles.empty());
}

TEST(FindOverwrittenInput, RefusesCommandsWritingTheirInput) {
  FFmpegCommand safe{R"( -i "/v/a.mp4" "/v/b.mp4")", "/v/b.mp4", "", {"/v/a.mp4"}};
  EXPECT_FALSE(findOverwrittenInput(safe));

  FFmpegCommand same{R"( -i "/v/a.mp4" "/v/a.mp4")", "/v/a.mp4", "", {"/v/a.mp4"}};
  EXPECT_EQ(findOverwrittenInput(same), "/v/a.mp4");

  // Named only in the command line (an -i argument, a movie source), or
  // through a different spelling of the same path.
  FFmpegCommand byArgument{R"( -i "/v/./x.mp4" "/v/x.mp4")", "/v/x.mp4", "", {}};
  EXPECT_TRUE(findOverwrittenInput(byArgument));
  FFmpegCommand byMovie{R"(-filter_complex "movie='/v/m.mp4'"  "/v/m.mp4")", "/v/m.mp4", "", {}};
  EXPECT_TRUE(findOverwrittenInput(byMovie));

  FFmpegCommand noOutput{R"( -i "/v/a.mp4")", "", "", {"/v/a.mp4"}};
  EXPECT_FALSE(findOverwrittenInput(noOutput));
  EXPECT_NE(overwrittenInputMessage("/v/a.mp4").find("/v/a.mp4"), std::string::npos);
}

}  // namespace
}  // namespace qel
