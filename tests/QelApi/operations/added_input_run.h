// Real ffmpeg runs of the two forms an add operation returns (its lavfi graph
// and its command fragment), a read-back of an input file to show it was left
// alone, and small media probes (peak level, brightest pixel of a frame).
//
// Not thread-safe: used from one test at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel::test {

// Runs ffmpeg with `arguments` between "-y" and the output path; the run's
// output goes into the failure message.
inline CapturedRun runFfmpeg(const std::vector<std::string>& arguments, const std::string& out) {
  std::vector<std::string> argv{ffmpegPath(), "-hide_banner", "-nostdin", "-y"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.push_back(out);
  return runAndCapture(argv, true);
}

// The graph form: the graph as -filter_complex with its outputs mapped.
inline CapturedRun runGraph(const std::string& graph, const std::string& out,
                            const std::vector<std::string>& outputOptions = {}) {
  std::vector<std::string> arguments{"-filter_complex", graph, "-map", "[out0]"};
  if (graph.find("[out1]") != std::string::npos) {
    arguments.push_back("-map");
    arguments.push_back("[out1]");
  }
  arguments.insert(arguments.end(), outputOptions.begin(), outputOptions.end());
  return runFfmpeg(arguments, out);
}

// The fragment form: the fragment's own arguments (split as the engine splits
// command texts) followed by the output options and path.
inline CapturedRun runFragment(const std::string& cmd, const std::string& out,
                               const std::vector<std::string>& outputOptions = {}) {
  std::vector<std::string> arguments = splitCommandLine(cmd);
  arguments.insert(arguments.end(), outputOptions.begin(), outputOptions.end());
  return runFfmpeg(arguments, out);
}

// The peak level of a file's audio in dB (volumedetect), or +1000 when unread.
inline double maxVolume(const std::string& path) {
  const CapturedRun run = runAndCapture(
      {ffmpegPath(), "-hide_banner", "-nostdin", "-i", path, "-af", "volumedetect", "-vn", "-f", "null", "-"}, true);
  const std::string key = "max_volume: ";
  const std::size_t at = run.output.find(key);
  if (at == std::string::npos) return 1000;
  if (run.output.compare(at + key.size(), 4, "-inf") == 0) return -1000;
  return std::strtod(run.output.c_str() + at + key.size(), nullptr);
}

// The brightest luma value of the frame at `seconds` (0..255), -1 when unread.
inline int brightestPixel(const std::string& path, double seconds, const std::string& scratch) {
  const CapturedRun run = runAndCapture({ffmpegPath(), "-hide_banner", "-nostdin", "-y", "-ss", std::to_string(seconds),
                                         "-i", path, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", scratch},
                                        true);
  if (run.exitCode != 0) return -1;
  const std::string pixels = readFile(scratch);
  int brightest = -1;
  for (char c : pixels) brightest = std::max(brightest, static_cast<int>(static_cast<unsigned char>(c)));
  return brightest;
}

}  // namespace qel::test
