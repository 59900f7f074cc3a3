// The "videoFilling" operation: applies its transform, a lavfi filter chain
// for the picture (a border, a background, padding), to the video of its first
// input. A local file becomes a source graph with the chain after its trim; a
// file without video gets a black picture of the input's length instead; an
// earlier graph gets the chain right before its first "[out0]".
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include "operations/lavfi_base.h"

namespace qel {

class LavfiVideoFilling : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;
};

}  // namespace qel
