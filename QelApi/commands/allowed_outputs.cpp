#include "commands/allowed_outputs.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "commands/spelled_files.h"
#include "common/ascii_case.h"
#include "common/media_extensions.h"

namespace qel {

namespace {

// Formats ("-f") that write the one file they are given, or nothing.
constexpr std::array<std::string_view, 62> kOneFileFormats{
    "mp4",          "mov",        "ipod",  "ismv",   "3gp",  "3g2",        "psp",        "matroska", "webm",
    "avi",          "flv",        "f4v",   "mpegts", "mpeg", "vob",        "dvd",        "svcd",     "vcd",
    "mpeg1video",   "mpeg2video", "mp3",   "mp2",    "wav",  "w64",        "flac",       "ogg",      "oga",
    "ogv",          "opus",       "spx",   "adts",   "ac3",  "eac3",       "dts",        "truehd",   "aiff",
    "au",           "caf",        "gif",   "apng",   "webp", "image2",     "image2pipe", "rawvideo", "h264",
    "hevc",         "m4v",        "mjpeg", "s16le",  "asf",  "asf_stream", "wtv",        "rm",       "nut",
    "yuv4mpegpipe", "dv",         "mxf",   "null",   "srt",  "ass",        "webvtt"};

// Extensions besides the media lists whose format writes only its file.
constexpr std::array<std::string_view, 15> kMoreOneFileExtensions{".mka",  ".h264", ".264",  ".h265", ".265",
                                                                  ".hevc", ".nut",  ".y4m",  ".mxf",  ".oga",
                                                                  ".aiff", ".amr",  ".eac3", ".yuv",  ".apng"};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool isOneFileExtension(std::string_view extension) {
  return listed(VideoExtensions, extension) || listed(AudioExtensions, extension) ||
         listed(ImageExtensions, extension) || listed(SubtitleExtensions, extension) ||
         listed(kMoreOneFileExtensions, extension);
}

}  // namespace

std::optional<GuardRefusal> outputRefusal(std::string_view name, const std::vector<std::string>& options) {
  const std::string spelled(name);
  const std::string_view protocol = ffmpegProtocol(name);
  if (protocol != "file") {
    return GuardRefusal{spelled,
                        fmt::format("output opened through the protocol \"{}\", not as a plain file", protocol)};
  }
  std::string_view file = name;
  if (file.starts_with("file:")) file.remove_prefix(5);
  if (file.empty()) return GuardRefusal{spelled, "output names no file"};

  if (const std::optional<std::string> strftime = lastOptionValue(options, "-strftime"); strftime && *strftime != "0") {
    return GuardRefusal{spelled, "output name made a pattern of other files by -strftime"};
  }
  if (const std::optional<std::string> format = lastOptionValue(options, "-f")) {
    if (listed(kOneFileFormats, *format)) return std::nullopt;
    return GuardRefusal{spelled, fmt::format("output format \"{}\" is not known to write only its output", *format)};
  }
  const std::string_view fileName = file.substr(file.rfind('/') + 1);
  const std::size_t dot = fileName.rfind('.');
  const std::string extension = dot == std::string_view::npos ? std::string() : asciiLowerCopy(fileName.substr(dot));
  if (isOneFileExtension(extension)) return std::nullopt;
  return GuardRefusal{spelled,
                      fmt::format("output extension \"{}\" names no format that writes only its output", extension)};
}

}  // namespace qel
