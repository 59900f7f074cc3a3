// A command line read as ffmpeg reads it. The roles are checked against the
// real ffmpeg: run with "-v debug" it logs how its parser took each argument
// before it opens anything ("-version" at the end makes it stop there), so
// every spelling of every option it lists can be compared.
#include "commands/ffmpeg_args.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel {
namespace {

std::string roleName(ArgRole role) {
  switch (role) {
    case ArgRole::Option: return "option";
    case ArgRole::Value: return "value";
    case ArgRole::Input: return "input";
    case ArgRole::Output: return "output";
  }
  return "?";
}

// How ffmpeg's parser took each of `args`, read from its debug log; nullopt
// when it refused the line (an unknown option: then it runs nothing).
std::optional<std::vector<ArgRole>> ffmpegsOwnRoles(const std::vector<std::string>& args) {
  std::vector<std::string> argv{test::ffmpegPath(), "-v", "debug"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("-version");
  const CapturedRun run = runAndCapture(argv, /*mergeStderr=*/true);
  EXPECT_TRUE(run.started) << run.error;
  // Options are applied only once the whole line is read (a bad value may
  // fail then): the log of the reading is complete whatever the exit.
  if (run.output.find("Unrecognized option") != std::string::npos) return std::nullopt;

  // "Reading option 'X' ..." starts the parser's word on each argument it
  // reads itself; a value it takes with its option gets no word of its own.
  static const std::regex reading(R"(Reading option '([^']*)' \.\.\.(.*?)(?=Reading option|\n|$))");
  static const std::regex withArgument(R"(with argument '((?:.|\n)*)'\.$)");
  std::vector<ArgRole> roles;
  bool logLevelRead = false;  // "-v debug" is the test's own
  for (std::sregex_iterator it(run.output.begin(), run.output.end(), reading), end; it != end; ++it) {
    const std::string token = (*it)[1];
    const std::string said = (*it)[2];
    if (roles.size() == args.size()) break;  // "-version"
    if (!logLevelRead) {
      logLevelRead = true;
      continue;
    }
    EXPECT_EQ(token, args[roles.size()]) << "ffmpeg read an argument the test did not expect:\n" << run.output;
    if (said.find("matched as output url") != std::string::npos) {
      roles.push_back(ArgRole::Output);
    } else if (said.find("matched as input url") != std::string::npos) {
      roles.push_back(ArgRole::Option);
      roles.push_back(ArgRole::Input);
    } else if (said.find("matched as AVOption") != std::string::npos) {
      roles.push_back(ArgRole::Option);
      roles.push_back(ArgRole::Value);
    } else if (said.find("matched as option") != std::string::npos) {
      roles.push_back(ArgRole::Option);
      std::smatch argument;
      // A flag is logged with the argument '1' or 0; the tests' values are
      // never "1".
      if (std::regex_search(said, argument, withArgument) && argument[1] != "1" && argument[1] != "(null)") {
        roles.push_back(ArgRole::Value);
      }
    } else {
      roles.push_back(ArgRole::Option);  // "--"
    }
  }
  return roles;
}

void expectRolesAsFFmpeg(const std::vector<std::string>& args,
                         const std::optional<std::vector<ArgRole>>& expected) {
  if (!expected) return;  // ffmpeg refuses the line before it opens anything
  const std::vector<ArgRole> roles = ffmpegArgRoles(args);
  ASSERT_EQ(roles.size(), args.size());
  ASSERT_EQ(expected->size(), args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ(roleName(roles[i]), roleName((*expected)[i])) << "argument " << i << " '" << args[i] << "'";
  }
}

TEST(FFmpegArgs, TrickyLinesAreReadAsFFmpegReadsThem) {
  const std::vector<std::vector<std::string>> lines = {
      {"-i", "in.mp4", "-f:v", "image2", "a.png"},
      {"-f:a:0", "null", "-f:v", "mp4", "o.mp4"},
      {"-psnr:v", "victim.mp4", "o.mp4"},
      {"-hide_banner:x", "victim.mp4", "o.mp4"},
      {"-nostdin", "victim.mp4", "-nostdin:v", "o.mp4"},
      {"-nopsnr:v", "victim.mp4", "o.mp4"},
      {"-y:x", "-n", "victim.mp4", "o.mp4"},
      {"--", "-victim.mp4", "o.mp4"},
      {"--", "--", "victim.mp4", "o.mp4"},
      {"-metadata", "-f", "-f", "mp4", "o.mp4"},
      {"-i", "-i", "-map", "0", "o.mkv"},
      {"-c:v", "libx264", "-b:v", "2M", "-", "o.mp4"},
      {"", "-filter_complex:x", "[0]null", "o.mp4"},
      {"-target:v", "pal-dvd", "o.mpg", "-vf:x", "scale=2:2", "-af:y", "anull", "p.mkv"},
  };
  for (const std::vector<std::string>& line : lines) {
    SCOPED_TRACE(testing::PrintToString(line));
    const std::optional<std::vector<ArgRole>> roles = ffmpegsOwnRoles(line);
    ASSERT_TRUE(roles.has_value()) << "ffmpeg refused the line";
    expectRolesAsFFmpeg(line, roles);
  }
}

// Every option of ffmpeg's own that it lists in its full help, by its name,
// with a stream specifier, and with "no" before it.
TEST(FFmpegArgs, EveryOptionFFmpegListsIsReadAsFFmpegReadsIt) {
  const CapturedRun help = runAndCapture({test::ffmpegPath(), "-hide_banner", "-h", "full"}, true);
  ASSERT_EQ(help.exitCode, 0) << help.output;
  std::set<std::string> names;
  static const std::regex option(R"(^-(\S+))");
  std::size_t pos = 0;
  while (pos < help.output.size()) {
    std::size_t end = help.output.find('\n', pos);
    if (end == std::string::npos) end = help.output.size();
    const std::string line = help.output.substr(pos, end - pos);
    pos = end + 1;
    if (line.find("AVOptions:") != std::string::npos) break;  // the codecs' and formats' own
    std::smatch match;
    if (std::regex_search(line, match, option)) names.insert(match[1]);
  }
  ASSERT_GT(names.size(), 100u) << help.output.substr(0, 2000);
  // These act before the parser runs: a log level, a report file.
  for (const char* early : {"v", "loglevel", "report"}) names.erase(early);

  std::vector<std::string> plain;
  std::vector<std::string> specified;
  for (const std::string& name : names) {
    plain.insert(plain.end(), {"-" + name, "value.mp4", "name.mp4"});
    specified.insert(specified.end(), {"-" + name + ":v", "value.mp4", "name.mp4"});
  }
  for (const auto& [what, line] : {std::pair{"plain", plain}, std::pair{"with a stream specifier", specified}}) {
    SCOPED_TRACE(what);
    const std::optional<std::vector<ArgRole>> roles = ffmpegsOwnRoles(line);
    ASSERT_TRUE(roles.has_value()) << "ffmpeg refused a name it lists";
    expectRolesAsFFmpeg(line, roles);
  }
  // ffmpeg refuses the whole line at the first "-no" it does not take: one
  // line each, a few at a time.
  const std::vector<std::string> all(names.begin(), names.end());
  constexpr std::size_t kAtOnce = 8;
  for (std::size_t first = 0; first < all.size(); first += kAtOnce) {
    std::vector<std::vector<std::string>> lines;
    std::vector<std::future<std::optional<std::vector<ArgRole>>>> runs;
    for (std::size_t i = first; i < std::min(first + kAtOnce, all.size()); ++i) {
      lines.push_back({"-no" + all[i], "value.mp4", "name.mp4"});
      runs.push_back(std::async(std::launch::async, ffmpegsOwnRoles, lines.back()));
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      SCOPED_TRACE(lines[i][0]);
      expectRolesAsFFmpeg(lines[i], runs[i].get());
    }
  }
}

TEST(FFmpegArgs, GroupsHoldTheirOptionsAndNames) {
  const std::vector<ArgGroup> groups =
      ffmpegArgGroups(std::vector<std::string>{"-f:v", "concat", "-i", "list.txt", "-y", "--", "-o.mkv", "", "-an"});
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_TRUE(groups[0].input());
  EXPECT_EQ(groups[0].name, "list.txt");
  EXPECT_EQ(groups[0].options, (std::vector<std::string>{"-f:v", "concat"}));
  EXPECT_TRUE(groups[1].output());
  EXPECT_EQ(groups[1].name, "-o.mkv");
  EXPECT_EQ(groups[1].options, std::vector<std::string>{"-y"});
  EXPECT_TRUE(groups[2].output()) << "an empty argument is a name ffmpeg tries to open";
  EXPECT_EQ(groups[2].name, "");
  EXPECT_EQ(groups[3].kind, ArgGroup::Kind::Trailing);
  EXPECT_EQ(groups[3].options, std::vector<std::string>{"-an"});
  EXPECT_EQ(forcedInputFormat(groups[0].options), "concat");
}

TEST(FFmpegArgs, TheOutputFormatIsTheLastFormatOrTargetInAnySpelling) {
  struct Case {
    std::vector<std::string> options;
    std::optional<std::string> format;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{"-c:v", "libx264"}, std::nullopt},
      {{"-f", "mp4"}, "mp4"},
      {{"-f:v", "image2"}, "image2"},
      {{"-f", "null", "-f:v", "mp4"}, "mp4"},
      {{"-f:a:0", "hls", "-f", "mp4", "-f:s", "tee"}, "tee"},
      {{"-f", "IMAGE2"}, "image2"},
      {{"-metadata", "-f", "-f", "mp4"}, "mp4"},
      {{"-metadata", "-f"}, std::nullopt},
      {{"-psnr:v", "-f", "null"}, "null"},
      {{"-target", "pal-dvd"}, "dvd"},
      {{"-target:v", "ntsc-svcd"}, "svcd"},
      {{"-target", "film-dv50"}, "dv"},
      {{"-target", "vcd", "-f", "image2"}, "image2"},
      {{"-f", "image2", "-target", "dvd"}, "dvd"},
      {{"-f", "null", "-target", "mp4"}, "-target mp4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(forcedOutputFormat(c.options), c.format) << testing::PrintToString(c.options);
  }
  EXPECT_EQ(lastOptionValue({"-strftime", "0", "-metadata", "-strftime", "-strftime:v", "1"}, "-strftime"), "1");
}

}  // namespace
}  // namespace qel
