#include "QelDaemon/json_object_text.h"

#include <fmt/format.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace qel {
namespace {

// The blanks JSON allows between tokens.
constexpr std::string_view kJsonBlanks = " \t\r\n";

}  // namespace

bool IsJsonObjectText(std::string_view text) {
  const size_t first = text.find_first_not_of(kJsonBlanks);
  if (first == std::string_view::npos || text[first] != '{') return false;
  // Validation only: the reader builds nothing. Iterative, like the request
  // parser, so a deeply nested text cannot exhaust the stack.
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::BaseReaderHandler<> ignore;
  rapidjson::Reader reader;
  return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

std::string AppendSidAndTaskId(std::string_view object, int64_t sid, uint64_t taskId) {
  const size_t close = object.find_last_not_of(kJsonBlanks);
  if (close == std::string_view::npos || object[close] != '}') return std::string(object);
  std::string_view head = object.substr(0, close);
  head = head.substr(0, head.find_last_not_of(kJsonBlanks) + 1);
  // A member's value never ends in '{', so a head that does is the opening
  // brace of an empty object.
  const bool empty = !head.empty() && head.back() == '{';
  const fmt::format_int sidText(sid);
  const fmt::format_int taskIdText(taskId);
  std::string out;
  out.reserve(head.size() + 20 + sidText.size() + taskIdText.size());
  out.append(head);
  out.append(empty ? "\"sid\":" : ",\"sid\":");
  out.append(sidText.data(), sidText.size());
  out.append(",\"taskId\":");
  out.append(taskIdText.data(), taskIdText.size());
  out.push_back('}');
  return out;
}

}  // namespace qel
