// ProgressInfo: the state record of one running task command. The FFmpeg
// runner fills the encoding fields from ffmpeg's -stats output; the task worker
// completes it with the phase, input files, outputs and errors; writeTaskState
// turns it into the JSON text handed to the caller.
//
// Thread safety: plain value type; each copy belongs to one thread. The runner
// hands the worker a copy on every poll.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct ProgressInfo {
  bool error = false;                // the current command failed
  bool aborted = false;              // the caller aborted the task
  bool finished = false;             // the current command has ended
  int32_t fileNums = 0;              // distinct input files of the current command
  int32_t currentPhase = 0;          // 1-based number of the running command
  int32_t totalPhase = 0;            // number of commands of the task
  std::string size;                  // output size as ffmpeg prints it, "0kB"
  std::string speed;                 // encoding speed as ffmpeg prints it, "1x"
  std::string usedTime;              // media time processed so far, "hh:mm:ss"
  std::string estimateTime;          // media time still to process, "hh:mm:ss"
  std::string duration;              // expected duration of the command, "hh:mm:ss"
  std::string errorDetail;           // the failure text
  std::string description;           // never filled; always written as ""
  std::vector<std::string> ids;      // input files concerned by the report
  std::vector<std::string> outputs;  // outputs of the task's commands that succeeded so far

  // Back to the state of a new record: flags and numbers 0, texts and lists empty.
  void clear() { *this = ProgressInfo{}; }
};

}  // namespace qel
