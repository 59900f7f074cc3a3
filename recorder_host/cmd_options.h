// QelRecorder's command line: options written as "-name" or "--name", each
// followed by its value in the next arguments, and what the host makes of them
// (numbers read the way the recorder's front end writes them, the extra ffmpeg
// arguments, the region the recording starts with).
//
// Thread safety: pure functions, except ReadHostOptions, which prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/window.h"

namespace qelhost {

struct CmdOption {
  bool found = false;
  std::wstring value;
};

// Looks for "-" + name or "--" + name (case-sensitive, whole argument; the first
// match counts, the program path included in the walk). The value joins the
// arguments after the match with single blanks, up to the first argument that
// starts with '-'. Absent: not found, empty value.
CmdOption GetCmdOption(const std::vector<std::wstring>& args, const std::wstring& name);

// "name:" + the value in UTF-8, as one line.
void PrintOption(const std::wstring& name, const std::wstring& value);

// An optional sign and leading decimal digits, after leading blanks; 0 without
// digits. Values past the type's range give its limit.
int ReadInt(const std::wstring& text);
int64_t ReadInt64(const std::wstring& text);

// The options the host passes on, looked up (and echoed when given) in this order.
struct HostOptions {
  std::wstring vcodec;
  std::wstring r;
  std::wstring bitrate;  // "b:v"
  std::wstring outputpath;
  std::wstring starthotkey;
  std::wstring hidehotkey;
  std::wstring recordaudio;
  std::wstring delaytime;
  std::wstring ffmpegpath;
  std::wstring preset;
  std::wstring tune;
  std::wstring quality;
};
HostOptions ReadHostOptions(const std::vector<std::wstring>& args);

// " -preset <preset>" when given, then " -tune <tune>" when given.
std::wstring ExtraArguments(const HostOptions& options);

// The options whose values end up in the encoder's command line (the codec
// name, the numbers, the extra arguments) must each stay one argument of
// ffmpeg there: a value holding a blank (several arguments joined, or one
// argument with blanks) would add ffmpeg options or outputs, and a double
// quote would regroup the arguments around it. Returns the line that refuses
// the first such value, in the table's order; empty when every value is one
// word. Paths are not among them: they are quoted where they are used.
std::string RefusedValueLine(const HostOptions& options);

// Audio is recorded exactly when the value is "1".
bool RecordAudio(const HostOptions& options);

// The middle half of the work area in each direction, measured from its size
// alone (its own left and top are not added): for 1920 x 1040 the region is
// (480, 260, 1440, 780).
platform::ui::Rect RecordingRegion(const platform::ui::Rect& workArea);

}  // namespace qelhost
