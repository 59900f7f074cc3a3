// Lines on standard output: everything QelRecorder reports, its own lines and
// the recorder's log messages alike, goes out as UTF-8 text ended by a line end
// and flushed at once, because the front end reads the lines as they come.
//
// Thread safety: may be called from any thread; the text and its line end go
// out in one write, so lines of two threads never mix inside a line.
#pragma once

#include <string_view>

namespace qelhost {

void WriteLine(std::string_view text);

}  // namespace qelhost
