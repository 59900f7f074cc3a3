#include "common/command_line.h"

#include <utility>

namespace qel {

std::vector<std::string> splitCommandLine(std::string_view text) {
  // The rules of the Windows C runtime's argv parser, so command texts written
  // in their Windows form (double-quoted paths, \" inside graphs) give the
  // arguments the program would have seen there.
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  while (true) {
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= n) break;

    std::string arg;
    bool inQuote = false;
    while (i < n) {
      size_t backslashes = 0;
      while (i < n && text[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && text[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg.push_back('"');  // escaped quote
        } else if (inQuote && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');  // "" inside quotes is one literal quote
          ++i;
        } else {
          inQuote = !inQuote;
        }
        ++i;
        continue;
      }
      arg.append(backslashes, '\\');
      if (i >= n) break;
      if (!inQuote && (text[i] == ' ' || text[i] == '\t')) break;
      arg.push_back(text[i]);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::vector<QuotedRun> quotedRunsOfCommandLine(std::string_view text) {
  // The same walk as splitCommandLine, keeping where the quoting turns on and off.
  std::vector<QuotedRun> runs;
  bool inQuote = false;
  size_t open = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    size_t backslashes = 0;
    while (i < n && text[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i >= n) break;
    if (text[i] != '"' || backslashes % 2 == 1) {
      ++i;
      continue;
    }
    if (inQuote && i + 1 < n && text[i + 1] == '"') {
      i += 2;  // "" inside quotes is one literal quote
      continue;
    }
    if (inQuote) {
      runs.push_back({open, i + 1});
    } else {
      open = i;
    }
    inQuote = !inQuote;
    ++i;
  }
  if (inQuote) runs.push_back({open, n});
  return runs;
}

}  // namespace qel
