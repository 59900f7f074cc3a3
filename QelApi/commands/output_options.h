// Output options: the small rewriting steps that settle the output side of one
// ffmpeg command text (the argument text without the program path): the video
// encoder of the selected hardware vendor, a quality scale turned into a bit
// rate, stream-copy options that must go because filters touch that stream,
// cover-picture options a container cannot hold, a container's default codecs
// and the subtitle codec. Each step searches its texts for fixed option
// spellings (exact, case-sensitive, leftmost first unless it says otherwise)
// and adds, removes or replaces option texts; a removed option leaves the
// blanks round it behind. Option texts are looked for only outside quoted
// paths, graphs and filter arguments (findOptionText, graph_scan.h): a file
// named "a -c:a copy.mkv" is a name, never an option to remove. A step that
// finds nothing to do changes nothing, and no step reports an error.
//
// Also here: extractGraphText (the graph inside a transform, the key of its
// output record) and findIoItemByValue (used by the graph join).
//
// Thread safety: free functions that touch only the texts they are given and
// constant tables; any thread may call them.
#pragma once

#include <string>
#include <vector>

#include "commands/task_operation.h"

namespace qel {

// Replaces the first " libx264 " (both blanks) by the vendor's H.264 encoder
// text and the first " libx265 " by its HEVC encoder text. For "apple" it also
// puts " -hwaccel videotoolbox " in front of a command whose first input has no
// options of its own (its first 30 characters, trimmed of blanks, begin with
// "-i ", ASCII case ignored). An empty or unknown vendor changes nothing.
void chooseVideoEncoder(std::string vendor, std::string& command);

// Turns "-qscale:v q" into a video bit rate: factor(q) (0:1.0 18:0.9 23:0.8
// 29:0.7 51:0.6, other 0.85) times the "-b:v" rate (5000 kbit/s without one),
// rounded up and never below 100, written "-b:v Nk". The "-b:v" value is read
// with its unit: none is bit/s, k kbit/s, M Mbit/s, G Gbit/s (so "2M" is 2000
// kbit/s and "3000000" is 3000 kbit/s). Without either option nothing changes.
void applyQualityOptions(std::string& command);

// Removes "-acodec copy" and "-c:a copy" (first occurrence of each) when the
// command filters audio (-af, or an audio filter in a -filter_complex graph),
// and "-vcodec copy" and "-c:v copy" when it filters video.
void applyStreamCopy(std::string& command);

// When the operation's first output ends with ".m2ts", ".webm" or ".mkv"
// (ASCII case ignored), removes "-map 0:v:1" and then
// "-c:v:1 png -disposition:v:1 attached_pic" from the command.
void applyAttachedPicture(const TaskOperation& operation, std::string& command);

// Appends the default codec options of the output container (".3gp", ".3g2":
// " -c:a aac" and " -c:v libx264"; ".mp4", ".mkv", ".ts": " -c:v libx264") to
// `outputOptions`, each unless `other` or `outputOptions` already names a codec
// for that stream. A job that asked for stream copy keeps it: nothing is added
// when `outputOptions` holds "-c:v copy", and no codec is added for a stream
// that `other` or `outputOptions` copies ("-c copy", "-codec copy",
// "-c:v copy", "-vcodec copy", "-c:a copy", "-acodec copy" ...).
void applyContainerDefaults(const std::string& outputPath, const std::string& other, std::string& outputOptions);

// Appends " -c:s srt" (output ending ".mkv") or " -c:s mov_text" to
// `outputOptions` when the command carries subtitle streams ("-map 0:s:" in
// either text, or an input ending in ".ass"/".srt", quoted or bare) and
// `outputOptions` holds no "-c:s ".
void applySubtitleOptions(const std::string& commandSoFar, const std::string& outputPath, std::string& outputOptions);

// The filter graph held in a transform: the text after "-filter_complex " (or
// the whole transform), cut after its "[out0]" (or a later "[out1]"), with
// blanks and double quotes trimmed. Empty when it holds no "movie=" or is
// shorter than 6 characters.
std::string extractGraphText(const std::string& transform);

// Position of the first item whose value equals `value` exactly, or -1.
int findIoItemByValue(const std::vector<TaskIoItem>& items, const std::string& value);

}  // namespace qel
