// The "seekPosition" operation: its output starts at a position S of its first
// input and runs from there to the input's end. A local file is opened at S
// (movie/amovie seek_point) and trimmed there, with the timestamps reset so
// the output starts at 0; an earlier graph gets a trim stage behind each
// output label. The stored duration is the input's duration less S. S must
// be a plain number of seconds (a clock text is written as its seconds).
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiSeek : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The seek text S of a transform: what follows the first " trim=" (blank
  // included) up to the next blank, double quote or the end; "" without one.
  static std::string seekText(const std::string& transform);
};

}  // namespace qel
