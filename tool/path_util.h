// Path text functions: joining and splitting on a caller-given separator, the
// "\"/"/" conversions and the long-path prefix work on text alone and keep the
// library's Windows-shaped texts ("\" and "\\?\"). GetFullPath alone asks the
// system: it gives the absolute, lexically normalised native path.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <string>

#include "tool/export.h"

namespace tool {

// base + separator + component, without doubling a one-character separator.
TOOL_API std::string AppendingPathComponent(const std::string& base, const std::string& component,
                                            const std::string& separator);
// The text after the last separator; empty when there is none.
TOOL_API std::string GetPathBaseName(const std::string& path, const std::string& separator);
// The text before the last separator; empty when there is none or it is first.
TOOL_API std::string GetPathDirName(const std::string& path, const std::string& separator);
// ".ext" of the base name, or empty.
TOOL_API std::string GetPathExtension(const std::string& path, const std::string& separator);
// The base name without its extension.
TOOL_API std::string GetPathTitle(const std::string& path, const std::string& separator);
// Every "/" replaced by "\".
TOOL_API std::string ToLocalPath(const std::string& path);
// Every "\" replaced by "/" (the native form here).
TOOL_API std::string ToDevicePath(const std::string& path);
// "\\?\" + path unless the path begins with two backslashes.
TOOL_API std::string ToFileSystemUniquePath(const std::string& path);
// The absolute path ("\" read as "/", relative paths taken from the current
// folder, "." and ".." resolved as text); empty when it cannot be formed.
TOOL_API std::string GetFullPath(const std::string& path);

}  // namespace tool
