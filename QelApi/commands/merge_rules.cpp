// Merge rules for joining two operations into one ffmpeg command.
#include "commands/merge_rules.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "commands/vocabulary.h"

namespace qel {

namespace {

bool hasAnyName(const FilterOptions& options, std::initializer_list<std::string_view> names) {
  return std::any_of(names.begin(), names.end(),
                     [&options](std::string_view name) { return hasSegmentNamed(options, name); });
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
  if (hasSegmentNamed(l, "ss")) return false;
  if (hasSegmentNamed(e, "s")) return false;
  if (e.hasOtherOptions && hasSegmentNamed(l, "s")) return false;
  const auto codecNames = {std::string_view("codec"), std::string_view("acodec"), std::string_view("vcodec")};
  if (hasAnyName(e, codecNames) && hasAnyName(l, codecNames)) return false;
  if (hasSegmentNamed(e, "fade") && hasSegmentNamed(l, "fade")) return false;
  if (hasSegmentNamed(e, "xfade") && hasSegmentNamed(l, "xfade")) return false;
  if (hasSegmentNamed(e, "concat")) return false;
  if (hasSegmentNamed(e, "map_channel") && l.hasAudioFilter) return false;
  if (hasSegmentNamed(l, "map_channel") && e.hasAudioFilter) return false;
  if (hasSegmentNamed(e, "volume") && hasSegmentNamed(l, "drawtext")) return false;
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
