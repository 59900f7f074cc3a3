// The "contact" operation: concatenates its inputs, in request order, into one
// graph with a transition between every two neighbours. Each input becomes a
// video chain "[vN]" and an audio chain "[aN]" (N from the parser's label
// counter), normalised by the common video filter and the audio time base
// AVTB; the client's transition templates are wired between them. The last
// junction writes "[out0]" (video) and "[out1]" (audio). An input lacking video
// or audio is padded with black video or silence once the other inputs have
// that stream.
//
// Transform: the common video filter, then per junction a video template
// ending in "[out0]" and an audio template ending in "[out1]", written with the
// generic labels [v0]/[v1] and [a0]/[a1] for the earlier and later side:
//
//   scale=1280:720,setsar=1,fps=25,format=yuv420p,settb=AVTB;
//   [v0][v1]xfade=transition=fade:duration=1:offset=9[out0];
//   [a0][a1]acrossfade=d=1[out1];...
//
// What the client must send. xfade refuses two sides that differ in frame
// size, pixel format, frame rate or time base, and the black filler (lavfi
// color, 25 fps, 320x240) differs from any real clip in most of them. So the
// common video filter must bring every chain to one size, one sample aspect
// ratio, one constant frame rate, one pixel format and one time base (scale,
// setsar, fps, format and settb as above). The audio side is handled here:
// every audio chain gets asettb=AVTB; inputs whose sample rates or layouts
// differ need an aformat in the audio templates. The offsets inside the
// templates are the client's to compute; the graph's recorded duration is the
// plain sum of the inputs' durations.
//
// Outputs. A single input yields its own chains relabelled "[out0]"/"[out1]"
// (no junction is needed), and an audio-only result carries its audio at
// "[out0]", so every graph keeps the output-label convention.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <string>
#include <vector>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiContactor : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Splits the transform into the common video filter (returned) and the
  // transition templates in junction order. Without "[v0][v1]xfade=" returns ""
  // and leaves both lists empty.
  static std::string parseTransitions(std::string transform, std::vector<std::string>& videoParams,
                                      std::vector<std::string>& audioParams);
  // Seconds a black or silent filler for `tmpl` lasts: its "duration=" (when a
  // ':' follows somewhere) plus its "offset=" (when a ',' follows somewhere).
  static double transitionSpan(const std::string& tmpl);
  // Renames the output labels to "[vN]"/"[aN]". Video and audio: first "[out0]"
  // and first "[out1]". Video only: first "[out0]". Audio only: the first
  // "[out1]" when the graph has one (a junction's audio result), else the first
  // "[out0]" (an audio-only graph).
  static void relabelOutputs(std::string& graph, long long n, bool video, bool audio);
  // Renumbers "[v<from>]" and then "[a<from>]" (first occurrences) to `to`.
  static void relabelTransition(std::string& tmpl, long long from, long long to);
  // Removes the last plain numeric ",scale=W:H" from the chain that ends at the
  // first "[out0]", unless that chain pads or crops (the common video filter
  // decides the size instead).
  static void dropOutputScale(std::string& graph, bool hasVideo);
};

}  // namespace qel
