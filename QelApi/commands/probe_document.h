// ProbeDocument: the parsed JSON that ffprobe prints for
// "-show_format -show_streams", with the small readers the editing operations
// ask of it (stream durations, subtitle and audio stream facts), plus the two
// conversions between clock text and whole seconds and the extension tests.
//
// Every reader answers false and leaves its outputs at their starting values
// when the document did not parse; a member of an unexpected JSON type counts
// as absent. No reader logs.
//
// Thread safety: a ProbeDocument is owned by one thread; the readers only read
// it. The free text functions are reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

namespace qel {

struct ProbeDocument {
  bool ok = false;  // the ffprobe output parsed as a JSON object
  rapidjson::Document document;

  // Parses ffprobe's JSON output; returns `ok`. An empty text (as after a failed
  // probe) and a root that is not an object do not parse.
  bool parse(std::string_view json);
};

// Seconds of the first video (audio) stream's "duration"; without one, the
// container's duration, but only when such a stream exists. `seconds` starts at 0.
bool getVideoDuration(const ProbeDocument& doc, double& seconds);
bool getAudioDuration(const ProbeDocument& doc, double& seconds);

// The text (integer) `member` of the first stream whose "codec_type" is
// `codecType` and that has that member; streams without it are passed over.
bool getStreamStringField(const ProbeDocument& doc, const std::string& codecType, const std::string& member,
                          std::string& text);
bool getStreamIntField(const ProbeDocument& doc, const std::string& codecType, const std::string& member,
                       int32_t& value);

// The "format" duration, when some stream of `codecType` exists.
bool getFormatDuration(const ProbeDocument& doc, const std::string& codecType, double& seconds);

// Position in "streams" of the n-th (from 0) stream of `codecType`.
bool findStreamIndex(const ProbeDocument& doc, const std::string& codecType, int32_t n, int32_t& index);

// Finds the first mov_text subtitle stream with a positive duration: `index` is
// its position among the subtitle streams (the number ":si=" expects), `seconds`
// its duration. `index` is -1 when "streams" exists but holds no subtitle.
bool scanSubtitleStreams(const ProbeDocument& doc, int32_t& index, double& seconds);
// As scanSubtitleStreams, after setting both outputs to 0.
bool getSubtitleInfo(const ProbeDocument& doc, int32_t& index, double& seconds);

// The audio stream with the most channels (first on a tie; a stream without
// "bit_rate" or without channels never wins). True also when none qualified.
bool getAudioStreamInfo(const ProbeDocument& doc, int32_t& bitRate, int32_t& channels, std::string& codecName);

// "hh:mm:ss[.fff]" (or plain seconds) to whole seconds, truncated; 0 for an
// empty or unreadable text. "00:01:02.75" -> 62, "5.9" -> 5, "1:30" -> 0.
int32_t clockTextToSeconds(const std::string& text);
// Whole seconds to "hh:mm:ss"; hours may take more than two digits.
std::string secondsToClockText(int32_t seconds);

// Extension tests, case-insensitive (ASCII), on the text from the last '.'.
bool hasAudioExtension(const std::string& path);
bool hasImageExtension(const std::string& path);

}  // namespace qel
