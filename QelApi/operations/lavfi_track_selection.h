// The "trackSelection" operation: chooses which tracks of a local file reach
// the output and adds further audio and subtitle files to it. The transform
// holds ordinary "-map" options; those that pick the first file's video
// ("0:v...") and audio ("0:a...") become movie/amovie sources in the graph. A
// further audio file stands in for the audio when no audio track was picked
// (padded with silence and cross-faded when it is shorter than the first file);
// a further subtitle file is burnt into the video. The command fragment names
// the first file and the further files as inputs, the transform and one "-map"
// per further file. An earlier step's graph passes through unchanged.
//
// Thread safety: stateless; runs under the engine mutex like every operation
// (which also serialises its use of the parser's labelCounter).
#pragma once

#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiTrackSelection : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Builds the graph and the command fragment for a first input that is a
  // local file. Given an earlier graph it logs that, sets `graph` to it and
  // leaves `cmd` alone. A path that cannot be written into the command (it
  // holds a double quote) leaves both empty after a log line.
  // REQUIRES: desc.inputs is not empty.
  void processLocalFile(LavfiParser& parser, const LavfiOperationDesc& desc, std::string& graph,
                        std::string& cmd) const;
};

}  // namespace qel
