#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/command_line.h"

namespace qel {
namespace {

struct SplitCase {
  const char* name;
  std::string text;
  std::vector<std::string> args;
};

// Raw strings hold the command texts exactly as a Windows command line would.
const SplitCase kCases[] = {
    {"Empty", "", {}},
    {"OnlyBlanks", " \t  \t", {}},
    {"BlanksAndTabsSeparate", "  a\t\tb  c ", {"a", "b", "c"}},
    {"NewlineIsOrdinary", "a\nb", {"a\nb"}},
    {"QuotedGroup", R"("a b" c)", {"a b", "c"}},
    {"QuotesInsideArgument", R"(a"b c"d)", {"ab cd"}},
    {"EmptyQuotesGiveEmptyArgument", R"(a "" b)", {"a", "", "b"}},
    {"OnlyEmptyQuotes", R"("")", {""}},
    {"OddBackslashesEscapeQuote", R"(a\\\"b)", {R"(a\"b)"}},
    {"SingleBackslashQuote", R"(\"a b\")", {R"("a)", R"(b")"}},
    {"EvenBackslashesThenDelimiter", R"(a\\"b c")", {R"(a\b c)"}},
    {"FourBackslashesThenQuotedX", R"(\\\\"x")", {R"(\\x)"}},
    {"BackslashesNotBeforeQuoteAreLiteral", R"(C:\dir\a.mp4 b\\c)", {R"(C:\dir\a.mp4)", R"(b\\c)"}},
    {"TrailingBackslashes", R"(a\\ b\)", {R"(a\\)", R"(b\)"}},
    {"QuotedPathEndingInTwoBackslashes", R"("dir\\" next)", {R"(dir\)", "next"}},
    {"QuotedPathEndingInOneBackslash", R"("C:\a b\" c)", {R"(C:\a b" c)"}},
    {"UnterminatedQuoteRunsToEnd", R"(x "a  b)", {"x", "a  b"}},
    {"DoubledQuoteInsideQuotesIsLiteral", R"("a""b" c)", {R"(a"b)", "c"}},
    {"FourQuotes", R"("""")", {R"(")"}},
    {"SingleQuotesAreOrdinary", "'a b'", {"'a", "b'"}},
    {"ShellMetacharactersAreText", R"(cat "$(touch x).mp4" ;ls|wc `id`)", {"cat", "$(touch x).mp4", ";ls|wc", "`id`"}},
    {"TypicalFfmpegCommand",
     R"("/opt/bin/ffmpeg" -y -i "/tmp/my clip.mp4" -filter_complex "movie='/tmp/a\:b.png'[v0];[0:v][v0]overlay[out0]" -map "[out0]" "/tmp/out put.mp4")",
     {"/opt/bin/ffmpeg", "-y", "-i", "/tmp/my clip.mp4", "-filter_complex",
      R"(movie='/tmp/a\:b.png'[v0];[0:v][v0]overlay[out0])", "-map", "[out0]", "/tmp/out put.mp4"}},
    {"QuotedGraphWithEscapedQuotes", R"(-vf "drawtext=text=\"hi there\"")", {"-vf", R"(drawtext=text="hi there")"}},
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsWindowsRuntimeRules) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(splitCommandLine(c.text), c.args) << "text: [" << c.text << "]";
}

INSTANTIATE_TEST_SUITE_P(Rules, SplitCommandLineTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SplitCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace qel
