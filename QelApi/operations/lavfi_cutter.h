// The "cut" operation: keeps the span of its first input between a start time
// ("-ss") and an end time ("-to"). A local file gets a source graph trimmed to
// the span; an earlier graph gets the trims at its output labels, or, when it
// already holds a trim, has that trim shifted so the new span counts on the
// earlier result's own time line. Behind a speed change the span is trimmed on
// the changed time line and the timestamps are reset, as for a plain cut.
//
// Thread safety: stateless; runs under the engine mutex like every operation.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "commands/filter_text.h"
#include "operations/lavfi_base.h"

namespace qel {

// Whether a time text can stand in a trim or a seek point as written: a plain
// decimal number of seconds ("5", "12.5", ".5"), at most this long. Signs,
// units, clock texts and anything else are refused, so no client text can
// break or extend the graph it is written into.
inline constexpr std::size_t kMaxSecondsTextLength = 32;
bool isSecondsText(std::string_view text);

class LavfiCutter : public LavfiBase {
 public:
  const char* name() const override;
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override;

  // Reads the span from a transform such as "-ss 00:01:05 -to 80.5": the first
  // "ss" and "to" options, each through parseTimeValue. A missing start is 0
  // (text "0"); a missing end stays 0 with an empty text.
  static void readRange(const std::string& transform, TimeValue& start, TimeValue& end);

  // Makes the earlier graph carry the cut when its last chain holds a trim:
  // behind a speed change the trims (with timestamp resets) go before the
  // labels; otherwise the last trim of the chain ending at "[out0]" (and the
  // same text in the "[out1]" chain) is shifted by its own start, and start
  // and end are shifted with it. False (graph unchanged) when neither applies.
  static bool mergeTrim(std::string& graph, TimeValue& start, TimeValue& end, bool hasVideo, bool hasAudio);
};

}  // namespace qel
