// The media file extension lists shared by the media-task library and the
// daemon: lower-case extensions with their leading dot, in a fixed order that
// readers may depend on (they are scanned from the first row). How a path is
// compared against them (case, where the extension starts) is the reader's
// business.
//
// Thread safety: compile-time constants; any thread may read them.
#pragma once

#include <array>
#include <string_view>

namespace qel {

inline constexpr std::array<std::string_view, 15> AudioExtensions{".mp2", ".mp3", ".ogg",  ".aac", ".ac3",
                                                                  ".m4a", ".dts", ".flac", ".wav", ".wma",
                                                                  ".mid", ".ape", ".wv",   ".mpc", ".opus"};

inline constexpr std::array<std::string_view, 28> VideoExtensions{
    ".3g2", ".3gp",  ".avi", ".divx", ".flv", ".f4v", ".m2ts", ".mts", ".mov", ".mp4",
    ".m4v", ".mpeg", ".mpg", ".dat",  ".mkv", ".ogm", ".rmvb", ".rm",  ".ts",  ".tp",
    ".vob", ".wmv",  ".wtv", ".m2v",  ".ogv", ".asf", ".dv",   ".webm"};

inline constexpr std::array<std::string_view, 9> ImageExtensions{".bmp", ".jpg",  ".jpeg", ".jfif", ".png",
                                                                 ".ico", ".webp", ".gif",  ".svg"};

inline constexpr std::array<std::string_view, 2> SubtitleExtensions{".ass", ".srt"};

}  // namespace qel
