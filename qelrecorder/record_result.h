// Sending the result record (RecordResultData, qelrecorder.h) to the host's
// window at every stop.
//
// Thread safety: NotifyRecordResult runs on the dialog's thread; the record
// buffer is process-wide and reused by every stop.
#pragma once

#include <cstdint>

#include "qelrecorder/qelrecorder.h"

namespace qelrec {

// Fills the record from the settings and sends it to the settings' host window
// (synchronously: the host's window procedure has run when this returns).
// Returns the dwData sent.
uintptr_t NotifyRecordResult(const char* tag);

// What the last record sent since ForgetRecordResults said. It is known before
// the host's window procedure runs, so a host that closes the dialog from
// there (StopVideoRecorder) ends it with the right code.
enum class SentRecord { kNone, kVideo, kNoVideo };
SentRecord LastSentRecord();
void ForgetRecordResults();

}  // namespace qelrec
