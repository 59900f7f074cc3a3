// The "addVideoToFile" operation: lays video files over a video. The first
// input is the base (a media file or an earlier step's graph); each added file
// is cut and prepared by a "trim=" segment of the transform and laid over the
// picture by an "overlay=" segment, the first overlay on the base's video and
// every further one on the result of the one before. The added files bring no
// audio; the base's audio passes unchanged. Subtitle files placed after the
// positions the trim segments cover become further inputs with maps of their
// own; a "-map" segment is the map text of the output.
//
// Two forms of the same edit come back: a lavfi graph (movie sources) and a
// command fragment (-i inputs and a -filter_complex overlay chain).
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>
#include <vector>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiAddVideoToFile : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Removes every "-map" token, with the token after it, whose value begins
  // with "0:v" or "[v".
  static void dropVideoMaps(std::vector<std::string>& tokens);
};

}  // namespace qel
