// Command texts, kept in their Windows form (double-quoted paths, \" inside
// filter graphs), read the way the Windows C runtime reads its command line.
// Every program the system starts gets its argv from here; the one way a path
// is written into such a text is common/command_quote.h.
//
// Thread safety: free functions without state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// Splits a command text into arguments with the Windows C-runtime rules: blanks
// and tabs separate; double quotes group and are dropped; 2n backslashes before a
// quote give n backslashes and a quote delimiter, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal; single quotes are ordinary.
std::vector<std::string> splitCommandLine(std::string_view text);

// The double-quoted runs of a command text as splitCommandLine reads them: each
// from its opening quote to just past the quote that closes it (the end of the
// text when none does). Text inside a run is part of one argument, whatever it
// looks like: an option spelled inside a quoted path is no option.
struct QuotedRun {
  size_t begin = 0;
  size_t end = 0;
};
std::vector<QuotedRun> quotedRunsOfCommandLine(std::string_view text);

}  // namespace qel
