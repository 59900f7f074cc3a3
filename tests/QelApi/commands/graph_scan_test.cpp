// Filter-graph text scanning: quoted arguments, tokens with their places,
// filter option values, filter names and ends, input references and their
// renaming in graphs and -map arguments.
#include "commands/graph_scan.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qel {
namespace {

TEST(QuotedArguments, Table) {
  struct Case {
    std::string text;
    std::vector<TextRange> ranges;
  };
  const std::vector<Case> cases = {
      {"movie='/v/a b.mp4',scale=1:2", {{6, 18}}},
      {"drawtext=text='x;y':fontsize=3", {{14, 19}}},
      {"-i \"/v/a.mp4\" -vf hflip", {{3, 13}}},
      {"-vf 'scale=1:2'", {}},  // the quote round a whole value is no argument
      {"movie='/v/a'\\\\\\''b.mp4'", {{6, 23}}},
      {"scale=1:2", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(quotedArguments(c.text), c.ranges);
  }
  const std::vector<TextRange> ranges = quotedArguments("movie='[0]',hflip[0]");
  EXPECT_TRUE(insideQuoted(ranges, 7));
  EXPECT_FALSE(insideQuoted(ranges, 17));
  EXPECT_EQ(skipQuoted(ranges, 6), 11u);
  EXPECT_EQ(skipQuoted(ranges, 12), 12u);
}

TEST(TokenizeOptions, KeepsWhereEachTokenStands) {
  const std::string text = "  -vf 'scale=1:2' -metadata \"title=a b\"  -an";
  const std::vector<OptionToken> tokens = tokenizeOptions(text);
  ASSERT_EQ(tokens.size(), 5u);
  EXPECT_EQ(tokens[0], (OptionToken{"-vf", 2, 5}));
  EXPECT_EQ(tokens[1], (OptionToken{"'scale=1:2'", 6, 17}));
  EXPECT_EQ(tokens[3].text, "title=a b");  // double quotes go, as in the parser
  EXPECT_EQ(text.substr(tokens[3].begin, tokens[3].end - tokens[3].begin), "\"title=a b\"");
  EXPECT_EQ(tokens[4], (OptionToken{"-an", 41, 44}));
  EXPECT_TRUE(tokenizeOptions("   ").empty());
}

TEST(GraphOptionValues, Table) {
  struct Case {
    std::string text;
    std::vector<std::string> inners;  // the graphs, in text order
  };
  const std::vector<Case> cases = {
      {"-vf scale=1:2 -af volume=2", {"scale=1:2", "volume=2"}},
      {"-filter_complex \"[0]hflip[v]\" -map [v]", {"[0]hflip[v]"}},
      {"-filter:v 'hflip'", {"hflip"}},
      {"-i -vf -vf hflip", {"hflip"}},         // the -vf after -i is a file name
      {"-metadata -vf -vf vflip", {"vflip"}},  // an option's value is no option
      {"-c:v copy -an", {}},
      {"-vf", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> inners;
    for (const OptionValue& value : graphOptionValues(c.text)) {
      inners.push_back(c.text.substr(value.inner.begin, value.inner.end - value.inner.begin));
    }
    EXPECT_EQ(inners, c.inners);
  }
  const std::string text = "-vf hflip -filter_complex \"[0]vflip\" -an";
  const std::optional<OptionValue> last = lastFilterOption(text);
  ASSERT_TRUE(last);
  EXPECT_EQ(text.substr(last->option.begin, last->option.end - last->option.begin), "-filter_complex");
  EXPECT_EQ(text.substr(last->value.begin, last->value.end - last->value.begin), "\"[0]vflip\"");
  EXPECT_FALSE(lastFilterOption("-an"));
}

TEST(FindFilterName, Table) {
  struct Case {
    std::string text;
    std::string name;
    bool last;
    std::optional<std::size_t> at;
  };
  const std::vector<Case> cases = {
      {"scale=1:2,hflip,scale=3:4", "scale", false, 0},
      {"scale=1:2,hflip,scale=3:4", "scale", true, 16},
      {"hflipper,hflip", "hflip", false, 9},  // only a whole name
      {"[0]hflip[v]", "hflip", false, 3},
      {"movie='hflip.mp4',vflip", "hflip", false, std::nullopt},  // inside a quoted argument
      {"drawtext=text=crop", "crop", false, std::nullopt},        // an argument, not a filter
      {"", "hflip", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.name);
    EXPECT_EQ(findFilterName(c.text, {0, c.text.size()}, c.name, quotedArguments(c.text), c.last), c.at);
  }
}

TEST(ScanFilterEnd, StopsAtTheFirstBlankQuoteOrChainEndOutsideQuotes) {
  struct Case {
    std::string text;
    std::size_t from;
    std::size_t end;
  };
  const std::vector<Case> cases = {
      {"hflip[v];[v]vflip", 5, 8},
      {"drawtext=text='a;b c' -an", 8, 21},
      {"scale=1\\:2 x", 5, 10},  // an escaped character is skipped
      {"hflip", 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(scanFilterEnd(c.text, c.from, c.text.size(), quotedArguments(c.text)), c.end);
  }
}

TEST(FindLastFilterEnd, Table) {
  struct Case {
    std::string text;
    std::optional<std::size_t> end;  // npos: the end of the text
  };
  const std::string quotedGraph = "-filter_complex \"[0]scale=640:360\"";
  const std::string quotedArgument = "-filter_complex \"scale=1:2,drawtext=text='a;b c'\" -c:a copy";
  const std::string otherOptionAfter = "-filter_complex \"hflip\" -metadata comment=hflip";
  const std::vector<Case> cases = {
      {quotedGraph, quotedGraph.size() - 1},
      {quotedArgument, quotedArgument.find("\" -c:a")},
      {otherOptionAfter, otherOptionAfter.find("\" -meta")},
      {"-filter_complex scale=1:2 -c:a copy", std::string("-filter_complex scale=1:2").size()},
      {"-filter_complex scale=1:2", std::string("-filter_complex scale=1:2").size()},
      {"-filter_complex '[0]scale=1:2'", std::string("-filter_complex '[0]scale=1:2").size()},
      {"-filter_complex \"scale=1:2[4095];[4095]hflip[x]\" -map [x]",
       std::string("-filter_complex \"scale=1:2[4095];[4095]hflip[x]").size()},
      {"-c:v copy", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findLastFilterEnd(c.text), c.end) << c.text;
  }
}

TEST(FindLastFilterEndOfMedia, FindsTheLastFilterOfTheMedium) {
  const std::string text = "-filter_complex \"[0:v]scale=1:2,hflip[v];[0:a]volume=2;[0:v]null\"";
  EXPECT_EQ(findLastFilterEndOfMedia(text, 'a'), text.find(";[0:v]null"));
  EXPECT_EQ(findLastFilterEndOfMedia(text, 'v'), text.size() - 1);
  EXPECT_EQ(findLastFilterEndOfMedia("-filter_complex \"volume=2\"", 'v'), std::nullopt);
}

TEST(RelabelInputRefs, Table) {
  struct Case {
    std::string text;
    int from;
    int to;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"[0][0:v]", 0, 4097, "[4097][4097]"},
      {"[1:a]", 1, 0, "[0:a]"},
      {"[1:v]x[1]y[1:a]", 1, 3, "[3:v]x[3]y[3:a]"},
      {"[1:v:0]hflip", 1, 0, "[0:v:0]hflip"},
      {"[2:a:1]volume=2", 2, 4100, "[4100]volume=2"},
      {"[1:s]", 1, 3, "[3:s]"},
      {"[10][1]", 1, 0, "[10][0]"},
      {"[1.0][1]", 1, 0, "[1.0][0]"},
      {"[1:]", 1, 0, "[1:]"},
      {"movie='/v/[1].mp4'[1];[1]null", 1, 0, "movie='/v/[1].mp4'[0];[0]null"},
      {"drawtext=text='[0:v]'[0:v]", 0, 2, "drawtext=text='[0:v]'[2:v]"},
      {"movie='/v/a'\\\\\\''[1].mp4'[1]", 1, 0, "movie='/v/a'\\\\\\''[1].mp4'[0]"},
      {"[-1]", -1, 2, "[2]"},
      {"[0]", 0, -1, "[-1]"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    relabelInputRefs(text, c.from, c.to);
    EXPECT_EQ(text, c.result) << c.text << " " << c.from << "->" << c.to;
  }
}

TEST(RelabelMapRefs, Table) {
  struct Case {
    std::string text;
    int from;
    int to;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"-map 0:a -map 1:v", 1, 0, "-map 0:a -map 0:v"},
      {"-map 0:a -map 1:v", 1, -1, "-map 0:a -map 1:v"},
      {"-map 0:a:1", 1, 0, "-map 0:a:1"},
      {"-map 1:a:1", 1, 0, "-map 0:a:1"},
      {"-map 11:v -map 1", 1, 0, "-map 11:v -map 0"},
      {"-map -1:s", 1, 2, "-map -2:s"},
      {"-map 1?", 1, 0, "-map 0?"},
      {"-map 1", 1, 4097, "-map [4097]"},
      {"-map 1:v -c copy", 1, 4097, "-map [4097] -c copy"},
      {"-map [v1] -map 1:a", 1, 0, "-map [v1] -map 0:a"},
      {"-map_metadata 1 -map 1", 1, 0, "-map_metadata 1 -map 0"},
      {"-map   1:v", 1, 1000, "-map   1000:v"},
      {"-map ", 1, 0, "-map "},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    relabelMapRefs(text, c.from, c.to);
    EXPECT_EQ(text, c.result) << c.text << " " << c.from << "->" << c.to;
  }
}

TEST(ReferencesInput, Table) {
  struct Case {
    std::string text;
    int position;
    bool withDot;
    bool referenced;
  };
  const std::vector<Case> cases = {
      {"[0]scale=1:2", 0, false, true}, {"[1:v]hflip", 1, false, true}, {"[1.0]hflip", 1, false, false},
      {"[1.0]hflip", 1, true, true},    {"[10]hflip", 1, false, false}, {"movie='[0].mp4',hflip", 0, false, false},
      {"hflip", 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(referencesInput(c.text, c.position, c.withDot), c.referenced);
  }
}

TEST(OptionTexts, TrimAndBareGraph) {
  std::string text = " \t-an -sn\r\n";
  trimJoinBlanks(text);
  EXPECT_EQ(text, "-an -sn");
  text = " \t ";
  trimJoinBlanks(text);
  EXPECT_EQ(text, "");
  EXPECT_EQ(bareGraph("  'scale=1:2'  "), "scale=1:2");
  EXPECT_EQ(bareGraph("'a'b'"), "a'b");
  EXPECT_EQ(bareGraph("   "), "");
  EXPECT_EQ(bareGraph("'"), "'");
}

}  // namespace
}  // namespace qel
