// The task status report: turns a ProgressInfo into the compact TaskStateJson
// text the progress callback carries (overall percentage, error code, ids,
// phase detail, outputs).
//
// Thread safety: a pure function of its argument; call from any thread.
#pragma once

#include <string>

#include "engine/progress_info.h"

namespace qel {

// Returns the TaskStateJson text of `record`, keys in the fixed order "error",
// "errorCode", "ids", "totalPhase", "currentPhase", "errorDetail",
// "phaseDetail", "outputs". Does not change the record.
std::string writeTaskState(const ProgressInfo& record);

}  // namespace qel
