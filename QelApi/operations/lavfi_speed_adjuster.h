// The "speedAdjuster" operation: changes the playback speed of its first input
// with a video speed filter (setpts=...) and an audio tempo filter (atempo=...)
// taken from the "-filter_complex" text of its transform. The tempo factor
// decides the stored duration (input duration / factor); a factor outside the
// range one atempo stage accepts is written as a chain of stages, and a factor
// that is not a positive finite number refuses the request.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <optional>
#include <string>

#include "operations/lavfi_base.h"

namespace qel {

class LavfiSpeedAdjuster : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // The two filters of a transform: each "-filter_complex" word's next word,
  // stripped of double quotes and cut at ';'; a piece beginning with "setpts="
  // (ASCII case ignored) is the video filter, one beginning with "atempo=" the
  // audio filter; later pieces win.
  static void readFilters(const std::string& transform, std::string& videoFilter, std::string& audioFilter);

  // The tempo factor of an audio filter: the number after its first "atempo="
  // (case-sensitive), 0 when none stands there; 1 without "atempo=".
  static double tempoFactor(const std::string& audioFilter);

  // A chain of atempo stages, each inside ffmpeg's accepted range [0.5, 100],
  // whose product is `factor`: 0.3 gives "atempo=0.5,atempo=0.6", 0.2 gives
  // "atempo=0.5,atempo=0.5,atempo=0.8", 250 gives "atempo=100,atempo=2.5".
  // nullopt for a factor that is not finite and positive, or that would need
  // more stages than any sensible speed change.
  static std::optional<std::string> tempoChain(double factor);
};

}  // namespace qel
