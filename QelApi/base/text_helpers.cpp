#include "base/text_helpers.h"

#include <set>

#include <fmt/format.h>

#include "common/ascii_case.h"
#include "common/media_extensions.h"

namespace qel {
namespace {

template <size_t N>
bool endsWithAnyNoCase(std::string_view path, const std::array<std::string_view, N>& extensions) {
  for (std::string_view ext : extensions) {
    if (asciiIEndsWith(path, ext)) return true;
  }
  return false;
}

// The same rule over narrow and wide command lines. Markers are ASCII, so a
// character-by-character search works for both.
template <typename Char>
std::set<std::basic_string<Char>> inputFileSet(const std::basic_string<Char>& line) {
  using String = std::basic_string<Char>;
  const String movie = {Char('m'), Char('o'), Char('v'), Char('i'), Char('e'), Char('='), Char('\'')};
  const String dashI = {Char(' '), Char('-'), Char('i'), Char(' ')};
  const String assSuffix = {Char('.'), Char('a'), Char('s'), Char('s')};
  std::set<String> files;

  // Sources of movie='...' (and amovie='...', which contains it).
  size_t pos = 0;
  while (true) {
    size_t found = line.find(movie, pos);
    if (found == String::npos) break;
    size_t start = found + movie.size();
    size_t end = line.find(Char('\''), start);
    if (end == String::npos) break;
    files.insert(line.substr(start, end - start));
    pos = start;
  }

  // Double-quoted paths after " -i "; subtitle inputs (.ass) are not media inputs.
  pos = 0;
  while (true) {
    size_t found = line.find(dashI, pos);
    if (found == String::npos) break;
    size_t open = line.find(Char('"'), found + dashI.size());
    if (open == String::npos) break;
    size_t close = line.find(Char('"'), open + 1);
    if (close == String::npos) break;
    String path = line.substr(open + 1, close - open - 1);
    bool isAss = path.size() >= assSuffix.size() &&
                 path.compare(path.size() - assSuffix.size(), assSuffix.size(), assSuffix) == 0;
    if (!isAss) files.insert(std::move(path));
    pos = open + 1;
  }
  return files;
}

}  // namespace

std::string doubleToString(double value) { return fmt::format("{:g}", value); }

bool isAudioFile(std::string_view path) { return endsWithAnyNoCase(path, AudioExtensions); }

bool isSubtitleFile(std::string_view path) { return endsWithAnyNoCase(path, SubtitleExtensions); }

int extractInputFiles(const std::wstring& commandLine) { return static_cast<int>(inputFileSet(commandLine).size()); }

int extractInputFiles(const std::string& commandLine) { return static_cast<int>(inputFileSet(commandLine).size()); }

}  // namespace qel
