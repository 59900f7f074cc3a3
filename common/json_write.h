// Small pieces of the JSON replies that the media-task library and the daemon
// write with RapidJSON's compact writer.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace qel {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The text a writer has put into `buffer`.
std::string jsonText(const rapidjson::StringBuffer& buffer);

// A string value of any length, embedded zero bytes included.
void writeJsonString(JsonWriter& writer, std::string_view text);

// The members "error", "errorCode" and "errorDetail" that open the status of
// every reply, in that order.
void writeErrorMembers(JsonWriter& writer, bool error, std::int64_t code, std::string_view detail);

}  // namespace qel
