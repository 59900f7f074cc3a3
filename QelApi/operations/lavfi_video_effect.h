// The "videoEffect" operation: applies the video filter text given after "-vf "
// in its transform (colour and picture effects: eq, colorbalance, hue,
// unsharp, noise) to the video of its first input. A local file gets it after
// the trim of its source graph; on an earlier graph it goes at the end of the
// chain that ends at "[out0]", merged into the effects already there, or as a
// new stage when it would set an option or filter a second time. Audio and
// duration are left as they are.
//
// Thread safety: stateless; runs under the engine mutex like every operation
// (mergeEffectChain takes label numbers from the parser).
#pragma once

#include <string>
#include <string_view>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiVideoEffect : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The filter text of a transform: everything after the first "-vf ", with
  // blanks and double quotes trimmed from both ends; "" without "-vf ".
  static std::string filterText(const std::string& transform);

  // Whether the last chain of `beforeOut0` (the graph's text before its first
  // "[out0]") already holds one of ",eq=", ",colorbalance=", ",hue=",
  // ",unsharp=", ",noise=".
  static bool hasEffectFilter(std::string_view beforeOut0);

  // Merges `filter` into the chain that ends at the graph's first "[out0]":
  // a new stage "[vN];[vN]" + filter when the chain and the filter share an
  // effect key (N from parser.takeLabel()), else each part of the filter is
  // merged into the chain's eq or appended. False only without "[out0]".
  static bool mergeEffectChain(LavfiParser& parser, std::string& graph, const std::string& filter);
};

}  // namespace qel
