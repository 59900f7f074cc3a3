#include "common/command_quote.h"

namespace qel {

bool quotableInCommand(std::string_view path) {
  return path.find('"') == std::string_view::npos && path.find('\0') == std::string_view::npos &&
         (path.empty() || path.back() != '\\');
}

std::optional<std::string> quoteForCommand(std::string_view path) {
  if (!quotableInCommand(path)) return std::nullopt;
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted += '"';
  quoted += path;
  quoted += '"';
  return quoted;
}

std::optional<std::string> quotedInputArgument(std::string_view path) {
  std::optional<std::string> quoted = quoteForCommand(path);
  if (!quoted) return std::nullopt;
  return " -i " + *quoted;
}

}  // namespace qel
