// The "pictureToGif" operation: strings pictures together into one animated
// sequence for GIF output. Every picture arrives as an earlier graph whose text
// starts with "movie=", every text overlay as one starting with "drawtext=".
// The pictures are joined with concat, the transform's filters and the text
// overlays are applied to the joined stream, an optional rate setting
// ("setpts=<n>*PTS" at the head of the transform) follows, and the graph ends in
// the two-pass palette chain a GIF needs, with its one output "[out0]". The
// stored duration is the sum of the pictures' durations.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiPicToGif : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The transform split into its filter text and its rate text. A transform
  // that is wholly "setpts=<digits, '.' or '|'>*PTS," followed by any text on
  // one line gives that setpts as the rate and the rest, as written, as the
  // filter text; any other transform is all filter text, with blanks and
  // commas trimmed from both ends, and no rate.
  struct TransformParts {
    std::string filter;
    std::string rate;
  };
  static TransformParts splitTransform(const std::string& transform);
};

}  // namespace qel
