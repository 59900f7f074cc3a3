// Media properties and thumbnails: "getmediaprops" has the engine run ffprobe
// on a file, checks the streams against the kind its extension promises, makes
// a PNG thumbnail with ffmpeg in the thumbnail folder and answers with the
// engine's JSON plus "sid" and "thumbnail". "cleanthumbnail" removes the
// thumbnails of runs that have ended, as their records name them
// (thumbnail_ledger.h).
//
// ffmpeg and ffprobe run through the process layer with argv (never a shell)
// and stdin on /dev/null. A thumbnail's target file is removed before ffmpeg
// runs, so a file left there by an earlier run is never reported as this
// request's thumbnail.
//
// Thread safety: handlers may run on any thread; the thumbnail counter
// (DaemonState) is atomic, so concurrent thumbnails get different names.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

namespace qel {

class ChildGroup;
struct DaemonSettings;
struct DaemonState;
struct InputParam;
class ThumbnailLedger;

enum class MediaKind : int { Unknown = 0, Movie = 1, Music = 2, Picture = 3, Subtitle = 4 };

// "unknown", "movie", "music", "picture", "" (subtitle).
const char* MediaKindName(MediaKind kind);

// Kind by the text from the path's last '.' to its end, lower-cased (ASCII).
MediaKind GetMediaKind(std::string_view path);

struct StreamFlags {
  bool hasVideo = false;
  bool hasAudio = false;
};
StreamFlags GetStreamFlags(const rapidjson::Value& document);

// Whole seconds: the first video stream with a "duration", else the format's;
// the leading integer of the text (12.48 gives 12); 0 when none.
int GetMediaDuration(const rapidjson::Value& document);

// The ffmpeg arguments (after the program) that make the thumbnail.
std::vector<std::string> ThumbnailArguments(MediaKind kind, const std::string& mediaPath, const std::string& pngPath,
                                            int seconds);

// Makes the next thumbnail "<instance id>_<n>.png" in the thumbnail folder of
// `settings`, n taken from `counter` (subtitles take none; a name some file
// already holds is passed over), and adds its name to `ledger` first. Returns
// its path, or "" when no PNG was made (subtitles, ffmpeg failure, folder
// unavailable, no record to add it to). ffmpeg runs through `children` when
// given (a shutdown cancels it).
std::string MakeThumbnail(const DaemonSettings& settings, ThumbnailLedger& ledger, std::atomic<unsigned>& counter,
                          const std::string& path, MediaKind kind, const rapidjson::Value& document,
                          ChildGroup* children = nullptr);

// Width and height of the PNG by the ffprobe of `settings`; (0, 0) when unknown.
std::pair<int, int> GetImageSize(const DaemonSettings& settings, const std::string& pngPath,
                                 ChildGroup* children = nullptr);

// True for a file name of the daemon's own thumbnail form: six characters of
// [0-9A-Za-z], "_", decimal digits, ".png".
bool IsThumbnailFileName(std::string_view name);

void HandleGetMediaProps(DaemonState& state, const InputParam& param);
void HandleCleanThumbnail(DaemonState& state, const InputParam& param);

}  // namespace qel
