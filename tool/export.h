// Marks what libtool.so exports. The project builds with hidden visibility, so
// only declarations carrying TOOL_API leave the library: the functions and
// classes of namespace tool and the four C-linkage logger functions.
#pragma once

#define TOOL_API __attribute__((visibility("default")))
