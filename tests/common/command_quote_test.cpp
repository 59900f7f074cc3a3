// The quoting helper against the splitter that reads command texts: every path
// the helper accepts must come back as exactly one argument, byte for byte,
// wherever it stands in a command; every path it refuses is one the splitter
// would have turned into something else.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/command_quote.h"

namespace qel {
namespace {

// Characters that mean something to the splitter, to ffmpeg's parsers or to a
// shell, and bytes that are not UTF-8.
const std::string kAlphabet = std::string("ab \t\n\r\\\"'[]:=;,$()-.`*?~") + std::string("\0\x80\xff\xc3", 4);

std::string randomPath(std::mt19937& random) {
  std::uniform_int_distribution<std::size_t> length(0, 12);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string path;
  for (std::size_t n = length(random); n > 0; --n) path += kAlphabet[pick(random)];
  return path;
}

TEST(CommandQuote, EveryAcceptedPathSplitsBackToItselfWhereverItStands) {
  std::mt19937 random(13);
  int accepted = 0;
  for (int round = 0; round < 200000; ++round) {
    const std::string first = randomPath(random);
    const std::string second = randomPath(random);
    const std::optional<std::string> a = quotedInputArgument(first);
    const std::optional<std::string> b = quoteForCommand(second);
    ASSERT_EQ(a.has_value(), quotableInCommand(first));
    ASSERT_EQ(b.has_value(), quotableInCommand(second));
    if (!a || !b) continue;
    ++accepted;
    // An input, options between, and an output last, as command texts are laid out.
    const std::string text = "-ss 1" + *a + " -filter_complex \"scale=2:2\" -map 0 " + *b;
    const std::vector<std::string> args = splitCommandLine(text);
    const std::vector<std::string> expected = {"-ss",       "1",    "-i", first, "-filter_complex",
                                               "scale=2:2", "-map", "0",  second};
    ASSERT_EQ(args, expected) << "command text: " << text;
  }
  EXPECT_GT(accepted, 10000);
}

TEST(CommandQuote, RefusesExactlyWhatTheSplitterWouldChange) {
  struct Row {
    std::string path;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {"/m/clip\\", false},  // escapes its own closing quote
      {"/m/clip\\\\", false},
      {"/m/clip\" -i m", false},
      {std::string("/m/a\0b.mp4", 10), false},
      {"/m/m -t 1 VICTIM.mp4 x.mp3", true},
      {"/m/br/[out0].mp4", true},
      {"file:/m/in.mp4", true},
      {" /m/lead and trail ", true},
      {"/m/$(touch x).mp4", true},
      {"/m/new\nline.mp4", true},
      {"/m/\xff\xfe.mp4", true},
      {"/m/a\\b.mp4", true},  // a backslash inside is literal
      {"", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(quotableInCommand(row.path), row.accepted) << row.path;
    if (!row.accepted) continue;
    const std::vector<std::string> args = splitCommandLine("-i " + *quoteForCommand(row.path) + " out.mp4");
    EXPECT_EQ(args, (std::vector<std::string>{"-i", row.path, "out.mp4"})) << row.path;
  }
}

}  // namespace
}  // namespace qel
