// The "videoToGif" operation: runs the caller's transform (a video filter
// chain for an animated picture, normally holding a trim filter) on the
// picture of its first input, as a video-only graph ending in "[out0]". A local
// file becomes a bare movie source followed by the transform; an earlier graph
// loses its audio chains and has the transform chained behind its video output
// through a fresh "[outv<n>]" label. The stored duration is the length of the
// transform's trim range, or the input's duration when it has none.
//
// Thread safety: stateless; runs under the engine mutex like every operation
// (which also serialises its use of the parser's labelCounter).
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiVideoToGif : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The length of the trim range of a transform: the last "trim=<a>:<b>" whose
  // a and b are runs of digits, '.' and '|' (an "atrim=" counts too), read as
  // b - a (each its leading decimal number). 0 when the transform has none or
  // spans more than one line.
  static double trimLength(const std::string& transform);

  // Removes the audio chains of an earlier graph: each "amovie=", "anullsrc="
  // and "[a" with the text up to and including the next ";" (or to the end),
  // rule by rule, then every trailing ";".
  static void removeAudioChains(std::string& graph);
};

}  // namespace qel
