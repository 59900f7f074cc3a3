// Merge rules for joining two operations into one ffmpeg command.
#include "commands/merge_rules.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "commands/vocabulary.h"

namespace qel {

namespace {

// A segment of any kind (filter or option) with exactly this name.
bool hasName(const FilterOptions& options, std::string_view name) {
  return std::any_of(options.segments.begin(), options.segments.end(),
                     [name](const FilterSegment& s) { return s.name == name; });
}

bool hasAnyName(const FilterOptions& options, std::initializer_list<std::string_view> names) {
  return std::any_of(names.begin(), names.end(),
                     [&options](std::string_view name) { return hasName(options, name); });
}

// "-c copy" or "-c:<stream> copy". Only the exact names count: "c:a:0" does
// not, because it copies just one of the streams.
bool copiesStream(const FilterOptions& options, std::string_view streamOption) {
  return std::any_of(options.segments.begin(), options.segments.end(), [streamOption](const FilterSegment& s) {
    return (s.name == "c" || s.name == streamOption) && s.args == "copy";
  });
}

bool copiesAudio(const FilterOptions& options) { return copiesStream(options, "c:a"); }
bool copiesVideo(const FilterOptions& options) { return copiesStream(options, "c:v"); }

}  // namespace

bool canMergeOptions(const FilterOptions& earlier, const FilterOptions& later) {
  const FilterOptions& e = earlier;
  const FilterOptions& l = later;
  if (e.hasAudioFilter && copiesAudio(l)) return false;
  if (e.hasVideoFilter && copiesVideo(l)) return false;
  if (copiesAudio(e) && l.hasAudioFilter) return false;
  if (copiesVideo(e) && l.hasVideoFilter) return false;
  if (hasName(l, "ss")) return false;
  if (hasName(e, "s")) return false;
  if (e.hasOtherOptions && hasName(l, "s")) return false;
  const auto codecNames = {std::string_view("codec"), std::string_view("acodec"), std::string_view("vcodec")};
  if (hasAnyName(e, codecNames) && hasAnyName(l, codecNames)) return false;
  if (hasName(e, "fade") && hasName(l, "fade")) return false;
  if (hasName(e, "xfade") && hasName(l, "xfade")) return false;
  if (hasName(e, "concat")) return false;
  if (hasName(e, "map_channel") && l.hasAudioFilter) return false;
  if (hasName(l, "map_channel") && e.hasAudioFilter) return false;
  if (hasName(e, "volume") && hasName(l, "drawtext")) return false;
  return true;
}

bool canMergeFilters(const FilterOptions& earlier, const FilterOptions& later) {
  if (!canMergeOptions(earlier, later)) return false;

  const FilterSegment earlierAudio = lastFilterOfMedia(earlier, 'a');
  const FilterSegment laterAudio = firstFilterOfMedia(later, 'a');
  if (earlierAudio.isFilter() && laterAudio.isFilter()) {
    // Both sides filter audio: the audio pair alone decides.
    const auto earlierKind = audioFilterKind(earlierAudio.name);
    const auto laterKind = audioFilterKind(laterAudio.name);
    if (!earlierKind || !laterKind) return false;
    return AudioMergeMatrix[*earlierKind][*laterKind] != 0;
  }

  const FilterSegment earlierVideo = lastFilterOfMedia(earlier, 'v');
  const FilterSegment laterVideo = firstFilterOfMedia(later, 'v');
  if (!earlierVideo.isFilter() || !laterVideo.isFilter()) return true;
  const auto earlierKind = videoFilterKind(earlierVideo.name);
  const auto laterKind = videoFilterKind(laterVideo.name);
  if (!earlierKind || !laterKind) return false;
  return VideoMergeMatrix[*earlierKind][*laterKind] != 0;
}

}  // namespace qel
