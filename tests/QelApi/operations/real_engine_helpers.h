// Helpers for the operation tests that go through a real engine: a "process"
// request written with RapidJSON (so paths and graphs are escaped properly),
// answered by an EngineContext whose parser probes with the real ffprobe, and
// a run of the returned graph in the real ffmpeg (runGraph, from
// operation_test_helpers.h).
//
// Not thread-safe: one RealEngine per test, used from the test's thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "commands/lavfi_parser.h"
#include "engine/config_commands.h"
#include "engine/engine_context.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "support/engine_context_access.h"

namespace qel::test {

// What a "process" reply carried.
struct ProcessOutcome {
  int errorCode = -1;
  std::string graph;
  int fileNums = 0;
  std::string reply;
};

inline std::string processRequestJson(const std::string& description, const std::vector<LavfiInputItem>& inputs,
                                      const std::string& transform, const std::string& outputConfig = "") {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int(1);
  writer.Key("operation");
  writer.StartObject();
  writer.Key("input");
  writer.StartArray();
  for (const LavfiInputItem& item : inputs) {
    writer.StartObject();
    writer.Key("type");
    writer.Int(item.type);
    writer.Key("value");
    writer.String(item.value.c_str(), static_cast<rapidjson::SizeType>(item.value.size()));
    writer.Key("duration");
    writer.Double(item.duration);
    if (!item.prevOp.empty()) {
      writer.Key("prevOp");
      writer.String(item.prevOp.c_str(), static_cast<rapidjson::SizeType>(item.prevOp.size()));
    }
    writer.EndObject();
  }
  writer.EndArray();
  writer.Key("transform");
  writer.String(transform.c_str(), static_cast<rapidjson::SizeType>(transform.size()));
  writer.Key("description");
  writer.String(description.c_str(), static_cast<rapidjson::SizeType>(description.size()));
  writer.Key("outputConfig");
  writer.String(outputConfig.c_str(), static_cast<rapidjson::SizeType>(outputConfig.size()));
  writer.EndObject();
  writer.EndObject();
  return buffer.GetString();
}

// An engine with the real ffmpeg and ffprobe; no worker thread is started.
class RealEngine {
 public:
  explicit RealEngine(const std::string& tmpPath) : engine_(configFor(tmpPath)) {}

  ProcessOutcome process(const std::string& description, const std::vector<LavfiInputItem>& inputs,
                         const std::string& transform) {
    ProcessOutcome outcome;
    const std::string request = processRequestJson(description, inputs, transform);
    if (processLavfiRequest(engine_, request.c_str(), outcome.reply) != 0) return outcome;
    rapidjson::Document doc;
    doc.Parse(outcome.reply.c_str());
    if (!doc.IsObject()) return outcome;
    if (auto code = doc.FindMember("errorCode"); code != doc.MemberEnd() && code->value.IsInt()) {
      outcome.errorCode = code->value.GetInt();
    }
    auto op = doc.FindMember("operation");
    if (op == doc.MemberEnd() || !op->value.IsObject()) return outcome;
    if (auto graph = op->value.FindMember("output"); graph != op->value.MemberEnd() && graph->value.IsString()) {
      outcome.graph = graph->value.GetString();
    }
    if (auto files = op->value.FindMember("fileNums"); files != op->value.MemberEnd() && files->value.IsInt()) {
      outcome.fileNums = files->value.GetInt();
    }
    return outcome;
  }

  double durationOf(const std::string& graph) {
    auto lock = EngineContextTestAccess::lock(engine_);
    return EngineContextTestAccess::parser(engine_).durationOf(graph);
  }

  EngineContext& engine() { return engine_; }

 private:
  static InitConfig configFor(const std::string& tmpPath) {
    InitConfig config;
    config.ffmpeg_pathname = ffmpegPath();
    config.ffprobe_pathname = ffprobePath();
    config.tmp_path = tmpPath;
    return config;
  }

  EngineContext engine_;
};

}  // namespace qel::test
