// The "addSubtitleToFile" operation: adds the subtitle file given as second
// input to the video given as first input (a media file or an earlier step's
// graph). By default the subtitle file becomes a further input of the command
// and is mapped into the output as a subtitle stream; when the transform holds
// the word "subtitles" the subtitles are burnt into the picture with ffmpeg's
// subtitles filter instead. The transform may also carry the output's "-map"
// options.
//
// The command fragment carries the edit; the lavfi graph is the base's graph
// and, for burnt-in subtitles, holds the same subtitles filter on its video.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiAddSubtitleToFile : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Adds the subtitle file (desc's second input) to an earlier step's command
  // fragment `cmd`: as an input with its own map, or burnt in through the
  // subtitles filter on the fragment's video. A fragment with "-vn" stays as
  // it is. False (logged) when the fragment cannot take the subtitles.
  static bool addSubtitleToCommand(const LavfiOperationDesc& desc, std::string& cmd);
};

}  // namespace qel
