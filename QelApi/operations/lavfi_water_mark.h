// The "waterMark" operation: puts picture and text watermarks on the picture of
// its first input (a local file or an earlier step's graph). Every further
// input of type 2 carries one watermark: a picture watermark is a small graph
// that starts with a "movie=" source and overlays it, where "[v0]" stands for
// the picture so far and "[v1]" for a label of its own; a text watermark is a
// "drawtext=" filter. Picture watermarks are chained behind the main video
// through fresh "[v<n>]" labels from the parser's labelCounter, text filters go
// at the end of the video chain, and "[out0]" stays the final video label.
//
// Thread safety: stateless; runs under the engine mutex like every operation
// (which also serialises its use of the parser's labelCounter).
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiWaterMark : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;
};

}  // namespace qel
