#include "engine/status_report.h"

#include <algorithm>
#include <limits>

#include "commands/probe_document.h"
#include "common/json_write.h"
#include "common/text_convert.h"
#include "qelapi.h"

namespace qel {
namespace {

// 100.001 as a float: the value a finished or aborted task reports, so that the
// truncation below gives exactly 100 however the phase terms add up.
constexpr double kComplete = static_cast<double>(100.001f);

double phasePercent(const ProgressInfo& record) {
  const int32_t total = clockTextToSeconds(record.duration);
  int32_t used = clockTextToSeconds(record.usedTime);
  double percent = 0;
  if (total > 0) {
    // ffmpeg may overshoot the expected duration; a running phase never shows
    // more than 98 percent.
    if (used > total) used = static_cast<int32_t>(total * 0.98);
    const float ratio = static_cast<float>(used) * 100.0f / static_cast<float>(total);
    percent = std::min(98.0, static_cast<double>(ratio));
  }
  if (record.error) percent = 100;
  return percent;
}

int32_t overallPercent(const ProgressInfo& record) {
  const double phase = phasePercent(record);
  double value = phase;
  if (record.totalPhase != 0 && record.currentPhase != 0) {
    const float earlier = static_cast<float>(record.currentPhase - 1) * 100.0f / static_cast<float>(record.totalPhase);
    value = phase / static_cast<double>(record.totalPhase) + static_cast<double>(earlier);
    if (record.finished && record.currentPhase == record.totalPhase) value = kComplete;
  }
  if (record.aborted) value = kComplete;
  // Phase numbers come from the worker, but keep the conversion defined even
  // for nonsense input.
  value = std::clamp(value, static_cast<double>(std::numeric_limits<int32_t>::min()),
                     static_cast<double>(std::numeric_limits<int32_t>::max()));
  return static_cast<int32_t>(value);
}

int errorCodeOf(const ProgressInfo& record) {
  if (record.error) {
    // The runner hands over ffmpeg's own words; only an exact known text maps to
    // its specific code.
    const std::string& detail = record.errorDetail;
    if (detail == "Permission denied") return QEL_ERR_PERMISSION_DENIED;
    if (detail == "No space left on device") return QEL_ERR_DISK_FULL;
    if (detail == "Not yet implemented in FFmpeg") return QEL_ERR_UNSUPPORTED_FORMAT;
    return QEL_ERR_FFMPEG;
  }
  if (record.aborted) return QEL_ERR_TASK_ABORTED;
  return QEL_SUCCESS;
}

// Texts are UTF-8, but ffmpeg's messages may carry bytes of another encoding
// (a file name in a legacy code page); the report must stay valid UTF-8, so
// ill-formed sequences become U+FFFD.
void writeString(JsonWriter& writer, const std::string& text) { writeJsonString(writer, utf8ToAnsi(text)); }

}  // namespace

std::string writeTaskState(const ProgressInfo& record) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("error");
  writer.Bool(record.error || record.aborted);
  writer.Key("errorCode");
  writer.Int(errorCodeOf(record));

  writer.Key("ids");
  writer.StartArray();
  if (record.error || record.aborted) {
    for (const std::string& id : record.ids) writeString(writer, id);
  } else if (!record.ids.empty()) {
    writeString(writer, record.ids.front());
  }
  writer.EndArray();

  writer.Key("totalPhase");
  writer.Int(record.totalPhase);
  writer.Key("currentPhase");
  writer.Int(record.currentPhase);
  writer.Key("errorDetail");
  writeString(writer, record.errorDetail);

  writer.Key("phaseDetail");
  writer.StartObject();
  writer.Key("progress");
  writer.Int(overallPercent(record));
  writer.Key("size");
  writeString(writer, record.size);
  writer.Key("speed");
  writeString(writer, record.speed);
  writer.Key("usedTime");
  writeString(writer, record.usedTime);
  writer.Key("estimateTime");
  writeString(writer, record.estimateTime);
  writer.Key("description");
  writer.String("");  // the engine never fills a description
  writer.Key("fileNums");
  writer.Int(record.fileNums);
  writer.EndObject();

  writer.Key("outputs");
  writer.StartArray();
  for (const std::string& output : record.outputs) writeString(writer, output);
  writer.EndArray();
  writer.EndObject();
  return jsonText(buffer);
}

}  // namespace qel
