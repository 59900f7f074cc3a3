// The "convert" operation: prepares one source (a media file or an earlier
// step's graph) for re-encoding into another format. It applies the video
// filter given after "-vf " in the transform, and honours "-vn" (no video) and
// "-map_channel -1" (no audio) in the output configuration. On an earlier graph
// it inserts the filter at the video output or merges it into a scale, pad or
// crop already there; when the earlier step left a command fragment it
// rewrites that fragment (video through the filter, audio maps and cover-art
// options in line with the output configuration, ".ass" inputs added).
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiConvert : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The filter text F of a transform: what follows the first "-vf ", with
  // blanks and double quotes trimmed from both ends; "" without "-vf ".
  static std::string filterText(const std::string& transform);

  // Merges F into the chain that ends at the graph's first "[out0]". False
  // (graph unchanged) when no rule applies.
  static bool mergeVideoFilter(LavfiParser& parser, std::string& graph, const std::string& filter);
  // Routes the first "-map 0:v..." stream of a fragment through F.
  static void mapVideoThroughFilter(LavfiParser& parser, std::string& cmd, const std::string& filter,
                                    const std::string& outputConfig);
  // Aligns the cover-art options of desc.outputConfig with the fragment's maps
  // and drops audio maps when the output has no audio.
  static void adjustCoverArtAndAudio(LavfiParser& parser, LavfiOperationDesc& desc, std::string& cmd);
  // Adds every ".ass" file among the further inputs to the fragment.
  static void addAssInputs(const LavfiOperationDesc& desc, std::string& cmd);
};

}  // namespace qel
