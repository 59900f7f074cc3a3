// Folders and output file names of the recorder.
//
// Thread safety: the functions read only their arguments and the file system.
#pragma once

#include <string>

#include "qelrecorder/record_config.h"

namespace qelrec {

// Longest output path, in UTF-16 units, that the result record and the path
// settings can hold with their terminator.
inline constexpr size_t kMaxOutputPathUnits = 258;

// Folder of the running program with a trailing separator; empty when it cannot
// be read or would exceed 260 characters.
std::wstring GetModuleDirectory();

// The output file for the recording made with `config`:
// <output folder>/<program name>-<yyyymmdd>-<hhmmss><tenth><suffix>.<extension>
// at the local time now. The program name is another program's display name:
// characters a file name may not hold (< > : " / \ | ? * and control
// characters) become '_'. Returns false, with an error log line, when the path
// would exceed kMaxOutputPathUnits; nothing is ever cut.
bool MakeOutputFileName(const RecordConfig& config, std::wstring& path, const std::wstring& extension);

// Replaces the characters a file name may not hold with '_'.
std::wstring SanitizeFileNamePart(const std::wstring& name);

// Creates the folder and any missing parents; failures are ignored.
void CreateDirectoryRecursive(std::wstring folder);

// Root of the file system that holds `folder` (or its nearest existing parent).
std::wstring VolumeRootOf(const std::wstring& folder);

}  // namespace qelrec
