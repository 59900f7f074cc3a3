#include "commands/allowed_outputs.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "commands/ffmpeg_args.h"
#include "commands/spelled_files.h"
#include "commands/staged_name.h"
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

// The longest file name ffmpeg's picture writer holds: its buffer has 1024
// bytes with the terminating zero.
constexpr std::size_t kPictureNameBytes = 1023;

// The most characters a frame number takes in a field ("-2147483648").
constexpr std::size_t kWidestFrameNumber = 11;

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool isOneFileExtension(std::string_view extension) {
  return listed(VideoExtensions, extension) || listed(AudioExtensions, extension) ||
         listed(ImageExtensions, extension) || listed(SubtitleExtensions, extension) ||
         listed(kMoreOneFileExtensions, extension);
}

// Why the picture writer would write other files than the guard reads from
// `name` (a "file:" prefix allowed; `file` the path behind it), or nullopt.
std::optional<std::string> pictureNameRefusal(std::string_view name, std::string_view file) {
  // The writer reads the fields of the whole path. When it gives up (no
  // field, a '%' it cannot read) it takes the name as it is, as the guard does.
  const FrameFields fields = frameFields(file);
  const bool sequence = fields.count > 0 && !fields.stopped;
  if (sequence && fields.count > 1) {
    return "picture name with more than one frame-number field, which ffmpeg fills each";
  }
  if (sequence && fields.widest > kFFmpegFieldWidthLimit) {
    return fmt::format("frame-number field wider than the {} characters ffmpeg fills", kFFmpegFieldWidthLimit);
  }
  const std::size_t slash = file.rfind('/');
  if (sequence && slash != std::string_view::npos && file.substr(0, slash).find('%') != std::string_view::npos) {
    return "'%' in a folder of a picture sequence's name, which ffmpeg reads as part of the pattern";
  }
  const std::string staged = stagedOutputName(stagingFolderTemplate(name), name);
  std::size_t longest = staged.size();
  if (sequence) {
    const std::optional<FramePattern> pattern = framePattern(staged);
    if (pattern) {
      longest = pattern->prefix.size() + pattern->suffix.size() +
                std::max(static_cast<std::size_t>(pattern->width), kWidestFrameNumber);
    }
  }
  if (longest > kPictureNameBytes) {
    return fmt::format("picture name longer than the {} bytes ffmpeg holds once its frame number is filled in",
                       kPictureNameBytes);
  }
  return std::nullopt;
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
  const std::string_view fileName = file.substr(file.rfind('/') + 1);
  const std::size_t dot = fileName.rfind('.');
  const std::string extension = dot == std::string_view::npos ? std::string() : asciiLowerCopy(fileName.substr(dot));
  const std::optional<std::string> format = forcedOutputFormat(options);
  if (format && !listed(kOneFileFormats, *format)) {
    return GuardRefusal{spelled, fmt::format("output format \"{}\" is not known to write only its output", *format)};
  }
  if (!format && !isOneFileExtension(extension)) {
    return GuardRefusal{spelled,
                        fmt::format("output extension \"{}\" names no format that writes only its output", extension)};
  }
  // ffmpeg hands most picture extensions to its picture writer; the others
  // (".gif", ".ico" ...) lose nothing by its limits.
  const bool picture = format ? *format == "image2" : listed(ImageExtensions, extension);
  if (const std::optional<std::string> framePts = lastOptionValue(options, "-frame_pts");
      picture && framePts && *framePts != "0") {
    // The frames' timestamps fill the field, negative ones too ("p-250.png").
    return GuardRefusal{spelled, "picture names numbered by -frame_pts, which may be negative"};
  }
  if (picture) {
    if (std::optional<std::string> reason = pictureNameRefusal(name, file)) return GuardRefusal{spelled, *reason};
  }
  return std::nullopt;
}

}  // namespace qel
