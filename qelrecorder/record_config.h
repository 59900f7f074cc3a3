// RecordConfig: what one recording is made with, taken from the settings once,
// by the dialog, when the recording starts. The recording's components read
// only this copy, so a setter called while a recording runs changes the next
// recording, never the running one.
//
// Thread safety: a plain value; each component keeps its own copy or reads the
// recorder's, which does not change while the recording runs.
#pragma once

#include <string>

namespace qelrec {

struct RecordConfig {
  float targetFps = 30.0f;
  std::string codec = "libx264";  // the ffmpeg -c:v argument
  std::wstring extraArgs;         // placed before ffmpeg's -y
  int quality = 2;                // row of the bit-rate table
  std::wstring ffmpegDir;         // empty: the program's own folder
  // Parts of the output file names.
  std::wstring outputFolder;
  std::wstring processName;
  std::wstring fileSuffix;
};

}  // namespace qelrec
