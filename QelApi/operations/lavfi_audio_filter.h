// The "audioFilter" operation: applies an ffmpeg audio filter text (volume,
// loudnorm, aecho, chorus, afftdn, ...) to the audio of its first input. A
// media file gets its source graph with the filter at the end of the audio
// chain; an earlier step's graph gets it at the end of its audio chain, and
// when that chain already holds a volume or loudness filter the two merge:
// a later loudness target replaces the earlier one, dB gains add up.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiAudioFilter : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The filter text t of a transform: with "-af ", that first occurrence
  // removed and blanks and double quotes trimmed from both ends; otherwise the
  // transform unchanged.
  static std::string filterText(const std::string& transform);

  // Merges `filter` into the audio chain of `graph` (the chain ending at
  // "[out1]" when the graph has video, else at "[out0]"); `filter` loses the
  // parts that merged. Takes a label from the parser when the rest must follow
  // an echo-like filter in a chain of its own. False (graph unchanged) when
  // the graph has no audio output, or a number does not fit 64 bits.
  static bool mergeAudioFilter(LavfiParser& parser, std::string& graph, std::string& filter, bool hasVideo,
                               bool hasAudio);
};

}  // namespace qel
