#include "commands/lavfi_parser.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "commands/probe_document.h"
#include "common/ascii_case.h"
#include "base/log.h"
#include "commands/lavfi_operation.h"

namespace qel {

namespace {

void logParseError(int line, std::string_view message) { logAt(kLogError, "parse", line, message); }

const rapidjson::Value* member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

// A string member, or null when it is absent or not a string (a wrong type
// counts as missing).
const rapidjson::Value* stringMember(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = member(object, name);
  return value != nullptr && value->IsString() ? value : nullptr;
}

std::string text(const rapidjson::Value& value) { return std::string(value.GetString(), value.GetStringLength()); }

// The request's "duration": an int32 as is; a number with a fraction or an
// exponent through single precision (when it fits one); a string by its
// leading number; anything else 0.
double readDuration(const rapidjson::Value& value) {
  if (value.IsInt()) return value.GetInt();
  if (value.IsDouble()) {
    const double d = value.GetDouble();
    if (std::fabs(d) <= 3.4028234e38) return static_cast<double>(static_cast<float>(d));
    return d;
  }
  if (value.IsString()) return std::strtod(text(value).c_str(), nullptr);
  return 0.0;
}

}  // namespace

const LavfiOutputRecord* findOutputRecord(const LavfiOutputRecords& records, const std::string& graph) {
  return findGraphEntry(records, graph);
}

LavfiOperation::~LavfiOperation() = default;

LavfiParser::LavfiParser(OperationRegistry operations, ProbeRunner probe)
    : registry(std::move(operations)), probeRunner_(std::move(probe)) {}

LavfiParser::~LavfiParser() {
  // The operations go first, then the maps.
  registry.clear();
}

LavfiParseResult LavfiParser::parse(std::string_view request) {
  LavfiParseResult result;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(request.data(), request.size());
  const rapidjson::Value* op = nullptr;
  if (!doc.HasParseError() && doc.IsObject()) op = member(doc, "operation");
  if (op == nullptr || !op->IsObject()) {
    logParseError(68, "Parse json failed");
    return result;
  }

  const rapidjson::Value* input = member(*op, "input");
  const rapidjson::Value* transform = stringMember(*op, "transform");
  const rapidjson::Value* description = stringMember(*op, "description");
  if (input == nullptr || transform == nullptr || description == nullptr) {
    logParseError(75, "Json object, cannot find \"input\" or \"transform\" or \"description\"");
    logParseError(76, request);
    return result;
  }
  if (!input->IsArray()) {
    logParseError(81, "input must be an array object");
    return result;
  }

  LavfiOperationDesc desc;
  desc.transform = text(*transform);
  desc.description = text(*description);
  for (const rapidjson::Value& item : input->GetArray()) {
    const rapidjson::Value* type = member(item, "type");
    const rapidjson::Value* value = stringMember(item, "value");
    const rapidjson::Value* duration = member(item, "duration");
    if (type == nullptr || !(type->IsInt64() || type->IsUint64()) || value == nullptr || duration == nullptr) {
      logParseError(95, "Input item, cannot find \"type\" or \"value\" or \"duration\"");
      return result;
    }
    if (!type->IsInt64() || (type->GetInt64() != 1 && type->GetInt64() != 2)) {
      const std::string number = type->IsInt64() ? fmt::to_string(type->GetInt64()) : fmt::to_string(type->GetUint64());
      logParseError(106, fmt::format("Invalid type: {}, must be 1 or 2", number));
      return result;
    }
    LavfiInputItem parsed;
    parsed.type = static_cast<std::int32_t>(type->GetInt64());
    parsed.value = text(*value);
    parsed.duration = readDuration(*duration);
    if (const rapidjson::Value* prevOp = stringMember(item, "prevOp")) parsed.prevOp = text(*prevOp);
    desc.inputs.push_back(std::move(parsed));
  }
  if (const rapidjson::Value* outputConfig = stringMember(*op, "outputConfig")) {
    desc.outputConfig = text(*outputConfig);
  }

  doParse(result, desc);
  return result;
}

void LavfiParser::doParse(LavfiParseResult& result, LavfiOperationDesc& desc) {
  result = LavfiParseResult{};
  LavfiOperation* operation = nullptr;
  for (const auto& entry : registry) {
    if (asciiIEquals(entry->name(), desc.description)) {
      operation = entry.get();
      break;
    }
  }
  if (operation != nullptr) {
    LavfiResult processed = operation->process(*this, desc);
    result.cmd = processed.cmd;
    result.graph = processed.graph;
    result.fileNums = static_cast<std::int32_t>(processed.inputFiles.size());
    inputFiles[result.graph] = std::move(processed.inputFiles);
    recordOutput(result, desc);
  }
  if (result.graph.empty()) {
    logAt(kLogError, "doParse", 171,
          "Output cmd is empty, may be the feature is not implemented or that the analysis fails. [" +
              desc.description + "]");
  }
}

void LavfiParser::recordOutput(const LavfiParseResult& result, const LavfiOperationDesc& desc) {
  LavfiOutputRecord record;
  record.cmd = result.cmd;
  if (desc.description == "contact" || desc.description == "convert") {
    record.transcode = 1;
    record.outputConfig = desc.outputConfig;
  } else if (desc.inputs.empty()) {
    return;
  } else if (const LavfiOutputRecord* earlier = findOutput(desc.inputs.front().value);
             earlier != nullptr && earlier->transcode == 1) {
    record.transcode = 1;
    record.outputConfig = earlier->outputConfig;  // copied before the store below may replace it
  } else {
    record.transcode = 0;
    record.outputConfig = desc.outputConfig;
  }
  outputs[result.graph] = std::move(record);
}

void LavfiParser::setDuration(const std::string& graph, double seconds) { durations[graph] = seconds; }

bool LavfiParser::probeFile(const std::string& path, ProbeDocument& doc) {
  if (auto known = prefetched_.find(path); known != prefetched_.end()) return doc.parse(known->second);
  return doc.parse(probeRunner_ ? probeRunner_(path) : std::string());
}

const LavfiOutputRecord* LavfiParser::findOutput(const std::string& graph) const {
  return findOutputRecord(outputs, graph);
}

const std::vector<std::string>* LavfiParser::findInputFiles(const std::string& graph) const {
  return findGraphEntry(inputFiles, graph);
}

double LavfiParser::durationOf(const std::string& graph) const {
  const double* seconds = findGraphEntry(durations, graph);
  return seconds != nullptr ? *seconds : 0.0;
}

LavfiOutputRecords LavfiParser::outputsForTask() const {
  LavfiOutputRecords copy = outputs;
  copy.erase(std::string());
  return copy;
}

void LavfiParser::cleanCache() {
  for (const auto& operation : registry) operation->cleanCache();
  ParserRecords::cleanCache();
}

}  // namespace qel
