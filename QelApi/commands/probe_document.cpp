#include "commands/probe_document.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "common/ascii_case.h"
#include "common/media_extensions.h"

namespace qel {
namespace {

using Value = rapidjson::Value;

// atof: leading blanks skipped, the longest number prefix read, 0 without one.
double textToDouble(const char* text) { return std::strtod(text, nullptr); }

// atoi without its undefined behaviour on overflow: the value saturates.
int32_t textToInt(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// Truncation toward zero that stays defined for NaN and values out of range.
int32_t truncateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

const Value* member(const Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

const char* stringMember(const Value& object, const char* name) {
  const Value* value = member(object, name);
  return value != nullptr && value->IsString() ? value->GetString() : nullptr;
}

bool intMember(const Value& object, const char* name, int32_t& out) {
  const Value* value = member(object, name);
  if (value == nullptr || !value->IsInt()) return false;
  out = value->GetInt();
  return true;
}

// The "streams" array, or nullptr when the document did not parse or has none.
const Value* streamsOf(const ProbeDocument& doc) {
  if (!doc.ok) return nullptr;
  const Value* streams = member(doc.document, "streams");
  return streams != nullptr && streams->IsArray() ? streams : nullptr;
}

bool isCodecType(const Value& stream, const std::string& codecType) {
  const char* type = stringMember(stream, "codec_type");
  return type != nullptr && codecType == type;
}

bool streamDuration(const ProbeDocument& doc, const char* codecType, double& seconds) {
  seconds = 0;
  std::string text;
  if (getStreamStringField(doc, codecType, "duration", text)) {
    seconds = textToDouble(text.c_str());
    return true;
  }
  return getFormatDuration(doc, codecType, seconds);
}

template <size_t N>
bool hasExtensionIn(const std::string& path, const std::array<std::string_view, N>& extensions) {
  const size_t dot = path.rfind('.');
  if (path.empty() || dot == std::string::npos) return false;
  const std::string extension = asciiLowerCopy(std::string_view(path).substr(dot));
  for (std::string_view candidate : extensions) {
    if (extension == candidate) return true;
  }
  return false;
}

}  // namespace

bool ProbeDocument::parse(std::string_view json) {
  document.SetNull();
  document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  // A root that is not an object cannot hold "streams" or "format"; treat it as
  // unparsable rather than let a reader look inside it.
  ok = !document.HasParseError() && document.IsObject();
  return ok;
}

bool getStreamStringField(const ProbeDocument& doc, const std::string& codecType, const std::string& member,
                          std::string& text) {
  const Value* streams = streamsOf(doc);
  if (streams == nullptr) return false;
  for (const Value& stream : streams->GetArray()) {
    if (!isCodecType(stream, codecType)) continue;
    if (const char* value = stringMember(stream, member.c_str())) {
      text = value;
      return true;
    }
  }
  return false;
}

bool getStreamIntField(const ProbeDocument& doc, const std::string& codecType, const std::string& member,
                       int32_t& value) {
  const Value* streams = streamsOf(doc);
  if (streams == nullptr) return false;
  for (const Value& stream : streams->GetArray()) {
    if (isCodecType(stream, codecType) && intMember(stream, member.c_str(), value)) return true;
  }
  return false;
}

bool getFormatDuration(const ProbeDocument& doc, const std::string& codecType, double& seconds) {
  const Value* streams = streamsOf(doc);
  if (streams == nullptr) return false;
  bool found = false;
  for (const Value& stream : streams->GetArray()) {
    if (isCodecType(stream, codecType)) {
      found = true;
      break;
    }
  }
  if (!found) return false;
  const Value* format = member(doc.document, "format");
  if (format == nullptr || !format->IsObject()) return false;
  const char* duration = stringMember(*format, "duration");
  if (duration == nullptr) return false;
  seconds = textToDouble(duration);
  return true;
}

bool getVideoDuration(const ProbeDocument& doc, double& seconds) { return streamDuration(doc, "video", seconds); }

bool getAudioDuration(const ProbeDocument& doc, double& seconds) { return streamDuration(doc, "audio", seconds); }

bool findStreamIndex(const ProbeDocument& doc, const std::string& codecType, int32_t n, int32_t& index) {
  const Value* streams = streamsOf(doc);
  if (streams == nullptr || n < 0) return false;
  int32_t position = 0;
  int32_t count = 0;
  for (const Value& stream : streams->GetArray()) {
    if (isCodecType(stream, codecType)) {
      if (count == n) {
        index = position;
        return true;
      }
      ++count;
    }
    ++position;
  }
  return false;
}

bool scanSubtitleStreams(const ProbeDocument& doc, int32_t& index, double& seconds) {
  if (!doc.ok) return false;
  const Value* streams = member(doc.document, "streams");
  if (streams == nullptr) return false;
  index = -1;
  if (!streams->IsArray()) return false;
  for (const Value& stream : streams->GetArray()) {
    const char* type = stringMember(stream, "codec_type");
    const char* name = stringMember(stream, "codec_name");
    if (type == nullptr || name == nullptr) continue;
    if (std::strcmp(type, "subtitle") != 0) continue;
    // Counted among the subtitle streams that carry a codec name: the number
    // ffmpeg's ":si=" option expects.
    ++index;
    if (std::strcmp(name, "mov_text") != 0) continue;
    if (const char* duration = stringMember(stream, "duration")) {
      seconds = textToDouble(duration);
      if (seconds > 0) return true;
    }
  }
  return false;
}

bool getSubtitleInfo(const ProbeDocument& doc, int32_t& index, double& seconds) {
  index = 0;
  seconds = 0;
  return scanSubtitleStreams(doc, index, seconds);
}

bool getAudioStreamInfo(const ProbeDocument& doc, int32_t& bitRate, int32_t& channels, std::string& codecName) {
  bitRate = 0;
  channels = 0;
  codecName.clear();
  const Value* streams = streamsOf(doc);
  if (streams == nullptr) return false;
  for (const Value& stream : streams->GetArray()) {
    if (!isCodecType(stream, "audio")) continue;
    const char* rate = stringMember(stream, "bit_rate");
    if (rate == nullptr) continue;
    int32_t count = 0;
    intMember(stream, "channels", count);
    if (count <= channels) continue;
    bitRate = textToInt(rate);
    channels = count;
    if (const char* name = stringMember(stream, "codec_name")) codecName = name;
  }
  return true;
}

int32_t clockTextToSeconds(const std::string& text) {
  if (text.empty()) return 0;
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  const char* rest = text.c_str() + start;
  if (std::strchr(rest, ':') == nullptr) return truncateToInt(textToDouble(rest));

  // "%d:%d:%f" read by hand: scanf's %d has undefined behaviour on overflow.
  char* end = nullptr;
  errno = 0;
  const long hours = std::strtol(rest, &end, 10);
  if (end == rest || *end != ':') return 0;
  const char* minutesText = end + 1;
  const long minutes = std::strtol(minutesText, &end, 10);
  if (end == minutesText || *end != ':') return 0;
  const char* secondsText = end + 1;
  const float seconds = std::strtof(secondsText, &end);
  if (end == secondsText) return 0;
  const double wholeMinutes = static_cast<double>(hours) * 60 + static_cast<double>(minutes);
  const float sum = static_cast<float>(wholeMinutes * 60) + seconds;
  return truncateToInt(static_cast<double>(sum));
}

std::string secondsToClockText(int32_t seconds) {
  const int32_t minutes = seconds / 60;
  const int32_t hours = minutes / 60;
  return fmt::format("{:02}:{:02}:{:02}", hours, minutes - hours * 60, seconds - minutes * 60);
}

bool hasAudioExtension(const std::string& path) { return hasExtensionIn(path, AudioExtensions); }

bool hasImageExtension(const std::string& path) { return hasExtensionIn(path, ImageExtensions); }

}  // namespace qel
