// A command line read as ffmpeg's own parser reads it, for the write guard:
// which argument is an option, an option's value, an input or an output, and
// the format each output is written in. A reading that differs from ffmpeg's
// by one argument hides an output from the guard, so it follows ffmpeg's
// rules, spelling for spelling:
// - an option's name ends at its first ':' whatever follows ("-f:v image2"
//   is "-f image2", "-psnr:v" is "-psnr");
// - ffmpeg's options without a value, and "-no" before one of its boolean
//   ones ("-nostdin"), stand alone; every other option takes the next
//   argument as its value, whatever it looks like;
// - only "-i" exactly names an input;
// - "--" makes the argument after it a name, even one that starts with '-';
//   "-" and the empty argument are names too (ffmpeg opens them and fails);
// - the format of an output is decided by the last "-f" or "-target" of its
//   options, as ffmpeg applies them in order; format names are matched
//   whatever their case.
//
// Thread safety: free functions over their arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// The name ffmpeg looks an option up by: the argument without its '-' and
// without what follows a ':' ("-c:v" gives "c"). Empty for no option.
std::string_view ffmpegOptionName(std::string_view arg);

// True when ffmpeg reads `arg` (an option, "-f:v") as taking the next
// argument as its value.
bool ffmpegOptionTakesValue(std::string_view arg);

// What one argument of a command line is to ffmpeg.
enum class ArgRole { Option, Value, Input, Output };

// The role of each argument of `args`, in order. "-i" itself is an Option,
// the name after it the Input.
std::vector<ArgRole> ffmpegArgRoles(const std::vector<std::string>& args);

// A command line read as ffmpeg groups it: each input ("-i") and each output
// with the arguments of the options that stand before it since the previous
// one. Options after the last name form a last group that names nothing.
struct ArgGroup {
  enum class Kind { Input, Output, Trailing };
  std::vector<std::string> options;  // the options with their values, as spelled
  std::string name;
  Kind kind = Kind::Output;

  bool input() const { return kind == Kind::Input; }
  bool output() const { return kind == Kind::Output; }
};
std::vector<ArgGroup> ffmpegArgGroups(const std::vector<std::string>& args);
std::vector<ArgGroup> ffmpegArgGroups(const std::string& commandLine);

// The options of one group (ArgGroup::options) as ffmpeg reads them: each
// option's name (ffmpegOptionName) and its value, when it takes one. The
// views point into `options`.
struct ParsedOption {
  std::string_view name;
  std::optional<std::string_view> value;
};
std::vector<ParsedOption> ffmpegOptions(const std::vector<std::string>& options);

// The value of the last option named `option` ("-f", or "f") among the
// options of one input or output, as ffmpeg takes it (a later one overrides,
// any spelling of the name counts); nullopt when absent.
std::optional<std::string> lastOptionValue(const std::vector<std::string>& options, std::string_view option);

// The format ffmpeg writes an output in from its options: the last "-f" or
// "-target" ("pal-dvd" writes "dvd"), in lower case. Nullopt when neither is
// given (the name's extension decides). An unknown target gives its text,
// which names no format.
std::optional<std::string> forcedOutputFormat(const std::vector<std::string>& options);

// The format forced on an input by its options: the last "-f", in lower
// case; empty when ffmpeg detects it.
std::string forcedInputFormat(const std::vector<std::string>& options);

}  // namespace qel
