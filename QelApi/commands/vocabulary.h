// The command builder's fixed vocabulary: ffmpeg filter names (which list a
// name is in decides whether a filter works on audio or video), the merge kinds
// of the filters whose order matters when two chains are joined, the merge
// matrices, the ffmpeg option table, the error texts that mark a failed ffmpeg
// run, the compression resolution rows and the hardware encoders per vendor.
// The media extension lists live in common/media_extensions.h (re-exported here).
//
// Every table is a constant initialised at compile time, never changed, so any
// thread may read it at any time without a lock. Name comparisons are exact and
// case-sensitive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/media_extensions.h"

namespace qel {

// ---- Filter merge kinds -------------------------------------------------------

struct FilterKindEntry {
  std::string_view name;
  int kind;  // row and column index into the matching merge matrix
};

inline constexpr std::array<FilterKindEntry, 7> VideoFilterKinds{{
    {"scale", 0},
    {"overlay", 1},
    {"crop", 2},
    {"rotate", 3},
    {"pad", 4},
    {"fade", 5},
    {"split", 6},
}};

inline constexpr std::array<FilterKindEntry, 5> AudioFilterKinds{{
    {"volume", 0},
    {"chorus", 1},
    {"loudnorm", 2},
    {"atempo", 3},
    {"aecho", 4},
}};

// [kind of the earlier chain's last filter][kind of the later chain's first
// filter]; non-zero means the two chains may be merged. A later chain that
// starts with split never merges; fade after fade or split does not.
inline constexpr std::array<std::array<std::int32_t, 7>, 7> VideoMergeMatrix{{
    {1, 1, 1, 1, 1, 1, 0},  // scale
    {1, 1, 1, 1, 1, 1, 0},  // overlay
    {1, 1, 1, 1, 1, 1, 0},  // crop
    {1, 1, 1, 1, 1, 1, 0},  // rotate
    {1, 1, 1, 1, 1, 1, 0},  // pad
    {1, 1, 1, 1, 1, 0, 0},  // fade
    {1, 1, 1, 1, 1, 0, 0},  // split
}};

inline constexpr std::array<std::array<std::int32_t, 5>, 5> AudioMergeMatrix{{
    {1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1},
}};

// The kind of a filter name, or nullopt when the name has no merge kind.
std::optional<int> videoFilterKind(std::string_view name);
std::optional<int> audioFilterKind(std::string_view name);

// ---- Filter names -------------------------------------------------------------

// The ffmpeg audio filters (118) and video filters (246), in table order. No
// name is in both lists and no list holds a name twice.
extern const std::array<std::string_view, 118> AudioFilterNames;
extern const std::array<std::string_view, 246> VideoFilterNames;

bool isAudioFilterName(std::string_view name);
bool isVideoFilterName(std::string_view name);

// ---- ffmpeg options -----------------------------------------------------------

// Flag bits of an option row that the option parser reads.
inline constexpr std::uint32_t kOptTakesArgument = 0x1;     // next token is the value
inline constexpr std::uint32_t kOptTakesNextToken = 0x800;  // next token is the value, whatever it is

struct FfmpegOption {
  std::string_view name;  // without the leading '-'
  std::uint32_t flags;

  // True when the next token on the command line is this option's value.
  constexpr bool takesArgument() const { return (flags & (kOptTakesArgument | kOptTakesNextToken)) != 0; }
};

// The options the option parser recognises, 147 rows (116 with
// kOptTakesArgument, 1 with kOptTakesNextToken, 30 without an argument). The
// size of the array marks the end; there is no sentinel row.
extern const std::array<FfmpegOption, 147> FfmpegOptionTable;

// The row whose name equals `optionText` or is followed in it by ':' (a stream
// specifier, as in "c:v" or "filter:a"); nullptr when there is none.
const FfmpegOption* findFfmpegOption(std::string_view optionText);

// ---- ffmpeg error texts -------------------------------------------------------

// An ffmpeg output line containing one of these marks the run as failed.
inline constexpr std::array<std::string_view, 4> FFmpegErrorTexts{
    "Not yet implemented in FFmpeg", "Format change is not supported", "No space left on device", "Permission denied"};

// True when `line` contains one of FFmpegErrorTexts.
bool containsFFmpegErrorText(std::string_view line);

// ---- Compression rows ---------------------------------------------------------

struct CompressionResolution {
  std::int32_t width;
  std::int32_t height;
  std::int32_t bitRate;    // kbit/s
  std::int32_t tolerance;  // kbit/s a bit rate may lie from bitRate
};

// From the largest picture to the smallest.
inline constexpr std::array<CompressionResolution, 10> CompressionResolutions{{
    {4096, 2160, 4000, 100},
    {3840, 2160, 3800, 100},
    {2704, 1520, 2200, 100},
    {1920, 1080, 1200, 100},
    {1280, 720, 500, 50},
    {960, 540, 250, 50},
    {854, 480, 250, 50},
    {720, 480, 180, 30},
    {480, 320, 110, 10},
    {320, 240, 55, 10},
}};

// ---- Hardware encoders --------------------------------------------------------

// Vendor name to the encoder text that replaces the software encoder; each text
// has one blank before and after the encoder name.
struct VendorEncoder {
  std::string_view vendor;
  std::string_view encoder;
};

inline constexpr std::array<VendorEncoder, 4> H264EncoderByVendor{{
    {"nvidia", " h264_nvenc "},
    {"amd", " h264_amf "},
    {"intel", " h264_qsv "},
    {"apple", " h264_videotoolbox "},
}};

inline constexpr std::array<VendorEncoder, 3> HevcEncoderByVendor{{
    {"nvidia", " hevc_nvenc "},
    {"amd", " hevc_amf "},
    {"intel", " hevc_qsv "},
}};

// The encoder text for `vendor` (exact key), or nullopt when the map has none.
std::optional<std::string_view> h264EncoderForVendor(std::string_view vendor);
std::optional<std::string_view> hevcEncoderForVendor(std::string_view vendor);

}  // namespace qel
