// RecordResultData: the record a stopped recording sends to the host's window
// by value in one WM_COPYDATA message (dwData 1 when the video file exists and
// is not empty, else 0 with an all-zero record; cbData 1056).
//
// Thread safety: NotifyRecordResult runs on the dialog's thread; the record
// buffer is process-wide and reused by every stop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelrec {

struct RecordResultData {
  char16_t szVideoPath[260];
  char16_t szAudioPath[260];
  int64_t llAudioOffsetMs;
  int64_t llVideoDurationMs;
};
static_assert(sizeof(RecordResultData) == 1056);
static_assert(offsetof(RecordResultData, szAudioPath) == 520);
static_assert(offsetof(RecordResultData, llAudioOffsetMs) == 1040);
static_assert(offsetof(RecordResultData, llVideoDurationMs) == 1048);

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
