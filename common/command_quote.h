// The one way a path is written into a command text. Command texts keep their
// Windows form (double-quoted paths) and are split by splitCommandLine
// (command_line.h) with the Windows C-runtime rules. Inside double quotes every byte
// stands for itself except three: a double quote ends the group, backslashes
// in front of the closing quote escape it (a path ending in `\` would swallow
// its own closing quote and run into the next arguments), and a NUL ends the
// text for the program. A path without those is one argument, byte for byte,
// whatever else it holds (blanks at either end, newlines, `$(...)`, single
// quotes, brackets, bytes that are not UTF-8).
//
// Thread safety: free functions without state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qel {

// True when `path` can stand between double quotes in a command text and
// come back from splitCommandLine as exactly itself.
bool quotableInCommand(std::string_view path);

// "\"" + path + "\"", or nullopt when the path is not quotableInCommand.
std::optional<std::string> quoteForCommand(std::string_view path);

// " -i \"path\"" (the form every input of a command text takes), or nullopt
// when the path is not quotableInCommand.
std::optional<std::string> quotedInputArgument(std::string_view path);

}  // namespace qel
