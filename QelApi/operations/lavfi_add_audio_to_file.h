// The "addAudioToFile" operation: mixes audio files into the audio of a video.
// The first input is the base (a media file or an earlier step's graph); every
// added audio file passes through a filter chain of its own (one ";"-separated
// segment of the transform per added input, by position) and the results are
// mixed with the base's audio by the transform's last segment. When the base's
// audio is switched off ("-an" in its input options) a silent stereo track of
// the base's length stands in for it, so the added audio replaces the base's
// audio. Added subtitle files become further inputs with maps of their own. A
// last segment beginning with "-map" is the map text of the output.
//
// Two forms of the same edit come back: a lavfi graph (amovie sources) and a
// command fragment (-i inputs and a -filter_complex mix).
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>
#include <vector>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiAddAudioToFile : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The label of the base's audio in a tokenised fragment: the value of the
  // last "-map" whose value begins with "0:a" or "[a" (in brackets), else
  // "[0:a]". Removes every such "-map" pair from the tokens.
  static std::string extractAudioMapLabel(std::vector<std::string>& tokens);
};

}  // namespace qel
