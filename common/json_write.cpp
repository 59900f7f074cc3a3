#include "common/json_write.h"

namespace qel {

std::string jsonText(const rapidjson::StringBuffer& buffer) {
  return std::string(buffer.GetString(), buffer.GetSize());
}

void writeJsonString(JsonWriter& writer, std::string_view text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void writeErrorMembers(JsonWriter& writer, bool error, std::int64_t code, std::string_view detail) {
  writer.Key("error");
  writer.Bool(error);
  writer.Key("errorCode");
  writer.Int64(code);
  writer.Key("errorDetail");
  writeJsonString(writer, detail);
}

}  // namespace qel
