// Merge rules: decide whether two consecutive operations may run as one ffmpeg
// command, judged only from their parsed option texts (stream copy against
// filtering, seeking, conflicting codec or size options, repeated fades,
// concatenation, and filter pairs whose order matters).
//
// Thread safety: both functions read only their arguments and the immutable
// vocabulary tables; any thread may call them.
#pragma once

#include "commands/filter_options.h"

namespace qel {

// True when `earlier` (the operation, or run of joined operations, so far) and
// `later` may be joined as far as their options and filters are concerned:
// canMergeOptions must agree; then, when both have audio filters, the audio
// merge matrix decides; otherwise the video merge matrix decides for the last
// video filter of `earlier` and the first of `later` (true when either has
// none; false when either has no merge kind).
bool canMergeFilters(const FilterOptions& earlier, const FilterOptions& later);

// The option stage of canMergeFilters: false when any refusing rule holds
// (copy against filtering, a seek in `later`, -s, two codec options, two fades
// or xfades, concat in `earlier`, map_channel against audio filters, volume
// before drawtext), true otherwise.
bool canMergeOptions(const FilterOptions& earlier, const FilterOptions& later);

}  // namespace qel
