#include "commands/task_operation.h"

#include <array>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <rapidjson/document.h>

#include "commands/graph_scan.h"
#include "common/command_quote.h"

namespace qel {

namespace {

// A request that breaks the expected shape is refused whole: reading on with a
// skipped item would shift the input positions the graphs refer to.
struct MalformedRequest {};

// An optional member: absent and JSON null both count as missing.
const rapidjson::Value* findMember(const rapidjson::Value& object, const char* name) {
  const auto it = object.FindMember(name);
  if (it == object.MemberEnd() || it->value.IsNull()) return nullptr;
  return &it->value;
}

// An optional text member; a present member that is not a string is malformed.
std::string readText(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* member = findMember(object, name);
  if (member == nullptr) return {};
  if (!member->IsString()) throw MalformedRequest{};
  return std::string(member->GetString(), member->GetStringLength());
}

// "type" that is not an integer within 32 bits reads as 0, like a missing one:
// neither a file nor an intermediate value.
std::int32_t readType(const rapidjson::Value& object) {
  const rapidjson::Value* member = findMember(object, "type");
  if (member == nullptr || !member->IsInt64()) return 0;
  const std::int64_t value = member->GetInt64();
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    return 0;
  }
  return static_cast<std::int32_t>(value);
}

// A path is written into the command text between double quotes: one that
// cannot stand there would be split into other arguments (ffmpeg would read or
// overwrite a file the caller never named).
bool quotablePath(const std::string& path) { return quotableInCommand(path); }

// A file path of an input or output item; a type-2 input is a path too unless it
// is a graph or a command fragment, which carry their own quoting.
bool isPathItem(const TaskIoItem& item, bool output) {
  if (output || item.type == 1) return true;
  return item.type == 2 && item.value.find("movie=") == std::string::npos &&
         item.value.find("-i ") == std::string::npos;
}

void checkPaths(const TaskOperation& operation) {
  for (const TaskIoItem& item : operation.m_inputs) {
    if (isPathItem(item, false) && !quotablePath(item.value)) throw MalformedRequest{};
  }
  for (const TaskIoItem& item : operation.m_outputs) {
    if (!quotablePath(item.value)) throw MalformedRequest{};
  }
}

// One input or output item. The item must be an object with a string "value".
TaskIoItem parseTaskIoItem(const rapidjson::Value& item) {
  if (!item.IsObject()) throw MalformedRequest{};
  const rapidjson::Value* value = findMember(item, "value");
  if (value == nullptr || !value->IsString()) throw MalformedRequest{};
  TaskIoItem result;
  result.type = readType(item);
  result.value.assign(value->GetString(), value->GetStringLength());
  result.prevOp = readText(item, "prevOp");
  return result;
}

void readItemArray(const rapidjson::Value& array, std::vector<TaskIoItem>& into) {
  for (const rapidjson::Value& item : array.GetArray()) into.push_back(parseTaskIoItem(item));
}

TaskOperation parseOperation(const rapidjson::Value& element) {
  if (!element.IsObject()) throw MalformedRequest{};
  TaskOperation operation;
  if (const rapidjson::Value* input = findMember(element, "input")) {
    if (!input->IsArray()) throw MalformedRequest{};
    readItemArray(*input, operation.m_inputs);
  }
  operation.m_transform = readText(element, "transform");
  if (const rapidjson::Value* output = findMember(element, "output")) {
    if (output->IsArray()) {
      readItemArray(*output, operation.m_outputs);
    } else if (output->IsObject()) {
      // The one-object form counts only with both members; without either it
      // gives no output item, and the operation is dropped.
      if (output->HasMember("value") && output->HasMember("type")) {
        operation.m_outputs.push_back(parseTaskIoItem(*output));
      }
    } else {
      throw MalformedRequest{};
    }
  }
  return operation;
}

}  // namespace

std::vector<TaskOperation> parseTaskOperations(const char* text) {
  std::vector<TaskOperation> result;
  if (text == nullptr) return result;
  try {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text);
    if (document.HasParseError() || !document.IsObject()) return {};
    const auto operations = document.FindMember("operations");
    if (operations == document.MemberEnd() || !operations->value.IsArray()) return {};
    for (const rapidjson::Value& element : operations->value.GetArray()) {
      TaskOperation operation = parseOperation(element);
      if (operation.m_outputs.empty()) continue;
      checkPaths(operation);
      prepareFilterOptions(operation);
      result.push_back(std::move(operation));
    }
  } catch (const MalformedRequest&) {
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  } catch (const std::length_error&) {
    return {};
  }
  return result;
}

void prepareFilterOptions(TaskOperation& operation) {
  static constexpr std::array<std::string_view, 5> kAliases = {"-vf ", "-af ", "-filter:a ", "-filter:v ", "-filter "};
  static constexpr std::string_view kCanonical = "-filter_complex ";
  for (std::string_view alias : kAliases) {
    // An alias spelled inside a quoted name (a movie='...' path in a graph) is
    // part of the name.
    const std::size_t pos = findOptionText(operation.m_transform, alias);
    if (pos != std::string::npos) operation.m_transform.replace(pos, alias.size(), kCanonical);
  }
  parseFilterOptions(operation.m_filterOptions, operation.m_transform);
}

}  // namespace qel
