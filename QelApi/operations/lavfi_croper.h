// The "crop" operation: adds the client's crop filter (optionally followed by a
// rotation, as in crop=640:360:10:20,rotate=0.5*PI) to the video of its first
// input. A media file gets its source graph with the crop at the end of the
// video chain; an earlier step's graph gets the crop at the end of the chain
// that ends in "[out0]", and when that chain already crops, the two crops (and
// rotations) become one: the later crop's size at the sum of both offsets, the
// rotations added modulo a full turn.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiCroper : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The filter text of a transform: the first "-vf " removed, then blanks and
  // double quotes trimmed from both ends.
  static std::string cropText(const std::string& transform);

  // Combines `transform` into the crop of the chain that ends at the graph's
  // first "[out0]". True when the graph changed; false (graph unchanged) when
  // there is no "[out0]", the chain holds no crop with four plain numbers, or a
  // number does not fit an int.
  static bool mergeCrop(std::string& graph, const std::string& transform);
};

}  // namespace qel
