// Small text services shared by every layer of the library: number formatting in the "C" locale, media-type tests by
// extension and the count of input files named in an ffmpeg command line.
//
// All functions are reentrant and keep no state.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// The default ostream text of a double: %g with six significant digits
// (0.5 -> "0.5", 100 -> "100", 1234567 -> "1.23457e+06").
std::string doubleToString(double value);

// True when the path ends with one of the audio (subtitle) extensions, compared
// ASCII case-insensitively.
bool isAudioFile(std::string_view path);
bool isSubtitleFile(std::string_view path);

// Counts the distinct input files a command line names: the sources after
// "movie='" (which also covers "amovie='") and the double-quoted paths after
// " -i " (those ending in ".ass" excluded), and returns that count.
int extractInputFiles(const std::wstring& commandLine);
int extractInputFiles(const std::string& commandLine);

}  // namespace qel
