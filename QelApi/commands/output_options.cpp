#include "commands/output_options.h"
#include "commands/filter_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/graph_scan.h"
#include "commands/vocabulary.h"
#include "common/ascii_case.h"
#include "common/text_edit.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

std::string lowerExtension(const std::string& path) {
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return {};
  return asciiLowerCopy(std::string_view(path).substr(dot));
}

// A bit-rate value as ffmpeg reads it, in kbit/s: the leading number and its
// unit (none: bit/s; k or K: 1000; M: 10^6; G: 10^9; an "i" after the prefix
// makes it binary). The old reading took the number alone as kbit/s, so "2M"
// became 2 kbit/s and was raised to the floor instead of meaning 2000k.
double bitRateInKbit(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  double value = std::strtod(begin, &end);  // the "C" locale: nothing calls setlocale
  if (end == begin || !std::isfinite(value)) return 0.0;
  std::string_view unit(end);
  double scale = 0.001;  // bit/s
  if (!unit.empty()) {
    bool binary = unit.size() > 1 && unit[1] == 'i';
    switch (unit[0]) {
      case 'k':
      case 'K': scale = binary ? 1.024 : 1.0; break;
      case 'M': scale = binary ? 1048.576 : 1000.0; break;
      case 'G': scale = binary ? 1073741.824 : 1000000.0; break;
      default: break;
    }
  }
  return value * scale;
}

double qualityScaleFactor(int q) {
  // Rebuilt on every call, as small as it is.
  const std::map<int, double> QualityScaleFactors{{0, 1.0}, {18, 0.9}, {23, 0.8}, {29, 0.7}, {51, 0.6}};
  auto it = QualityScaleFactors.find(q);
  return it == QualityScaleFactors.end() ? 0.85 : it->second;
}

struct ContainerCodecs {
  std::string_view audio;
  std::string_view video;
};

const std::map<std::string, ContainerCodecs, std::less<>>& containerDefaultCodecs() {
  // Built on first use (thread-safe static initialisation), kept until unload.
  static const std::map<std::string, ContainerCodecs, std::less<>> ContainerDefaultCodecs{
      {".3gp", {" -c:a aac", " -c:v libx264"}}, {".3g2", {" -c:a aac", " -c:v libx264"}},
      {".mp4", {"", " -c:v libx264"}},          {".mkv", {"", " -c:v libx264"}},
      {".ts", {"", " -c:v libx264"}},
  };
  return ContainerDefaultCodecs;
}

struct CopyRequest {
  bool video = false;
  bool audio = false;
};

// Which streams a text asks to copy. "-c copy" and "-codec copy" copy every
// stream just as "-c:v copy" copies the video.
void findStreamCopy(std::string_view text, CopyRequest& copy) {
  std::vector<std::string> tokens = splitWhitespace(text);
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i + 1] != "copy") continue;
    const std::string& option = tokens[i];
    if (option == "-c" || option == "-codec") {
      copy.video = copy.audio = true;
    } else if (option == "-c:v" || option == "-vcodec" || option == "-codec:v") {
      copy.video = true;
    } else if (option == "-c:a" || option == "-acodec" || option == "-codec:a") {
      copy.audio = true;
    }
  }
}

}  // namespace

void chooseVideoEncoder(std::string vendor, std::string& command) {
  if (auto h264 = h264EncoderForVendor(vendor)) {
    // Only an occurrence with a blank on both sides is an encoder name; the
    // vendor's text brings its own blanks.
    replaceFirstOptionText(command, " libx264 ", *h264);
    if (contains(*h264, "h264_videotoolbox")) {
      std::string head = command.substr(0, 30);
      trimChars(head, " ");
      if (asciiIStartsWith(head, "-i ")) command.insert(0, " -hwaccel videotoolbox ");
    }
  }
  if (auto hevc = hevcEncoderForVendor(vendor)) replaceFirstOptionText(command, " libx265 ", *hevc);
}

void applyQualityOptions(std::string& command) {
  std::vector<std::string> tokens = splitWhitespace(command);
  int q = 0;
  std::string bitRateText;
  double baseRate = 5000.0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    bool hasNext = i + 1 < tokens.size();
    if (token == "-c:v" || token == "-vcodec") {
      ++i;  // the codec name is no option
    } else if (token == "-qscale:v" && hasNext) {
      q = std::atoi(tokens[i + 1].c_str());
    } else if (token == "-b:v" && hasNext) {
      bitRateText = tokens[i + 1];
      baseRate = bitRateInKbit(bitRateText);
    }
  }
  double scaled = std::max(100.0, qualityScaleFactor(q) * baseRate);
  // The factors are decimal fractions: 0.7 x 2000 must give 1400, not 1401
  // through a last-bit error.
  double rounded = std::ceil(scaled - 1e-7);
  // Beyond any real bit rate; keeps the conversion defined.
  if (rounded > 1e15) rounded = 1e15;
  auto rate = static_cast<std::int64_t>(rounded);
  if (bitRateText.empty()) {
    replaceFirstOptionText(command, fmt::format("-qscale:v {}", q), fmt::format("-b:v {}k", rate));
  } else {
    eraseFirstOptionText(command, fmt::format("-qscale:v {}", q));
    replaceFirstOptionText(command, fmt::format("-b:v {}", bitRateText), fmt::format("-b:v {}k", rate));
  }
}

void applyStreamCopy(std::string& command) {
  std::vector<std::string> tokens = splitWhitespace(command);
  bool audioFiltered = false;
  bool videoFiltered = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (token == "-af") audioFiltered = true;
    if (token == "-vf") videoFiltered = true;
    if (token == "-filter_complex" && i + 1 < tokens.size()) {
      FilterOptions options;
      parseFilterOptions(options, fmt::format("-filter_complex {}", tokens[i + 1]));
      for (const FilterSegment& segment : options.segments) {
        if (segment.kind != 'f') continue;
        if (segment.media == 'a') audioFiltered = true;
        if (segment.media == 'v') videoFiltered = true;
      }
    }
  }
  if (audioFiltered) {
    eraseFirstOptionText(command, "-acodec copy");
    eraseFirstOptionText(command, "-c:a copy");
  }
  if (videoFiltered) {
    eraseFirstOptionText(command, "-vcodec copy");
    eraseFirstOptionText(command, "-c:v copy");
  }
}

void applyAttachedPicture(const TaskOperation& operation, std::string& command) {
  if (operation.m_outputs.empty() || operation.m_outputs.front().value.empty()) return;
  const std::string& out = operation.m_outputs.front().value;
  if (asciiIEndsWith(out, ".m2ts") || asciiIEndsWith(out, ".webm") || asciiIEndsWith(out, ".mkv")) {
    eraseFirstOptionText(command, "-map 0:v:1");
    eraseFirstOptionText(command, "-c:v:1 png -disposition:v:1 attached_pic");
  }
}

void applyContainerDefaults(const std::string& outputPath, const std::string& other, std::string& outputOptions) {
  if (contains(outputOptions, "-c:v copy")) return;
  auto& table = containerDefaultCodecs();
  auto entry = table.find(lowerExtension(outputPath));
  if (entry == table.end()) return;

  CopyRequest copy;
  findStreamCopy(other, copy);
  findStreamCopy(outputOptions, copy);

  const ContainerCodecs& codecs = entry->second;
  bool audioNamed = containsOptionText(other, " -acodec ") || containsOptionText(other, " -c:a ") ||
                    contains(outputOptions, " -acodec ") || contains(outputOptions, " -c:a ");
  if (!audioNamed && !copy.audio) outputOptions += codecs.audio;
  bool videoNamed = containsOptionText(other, " -vcodec ") || containsOptionText(other, " -c:v ") ||
                    contains(outputOptions, " -vcodec ") || contains(outputOptions, " -c:v ");
  if (!videoNamed && !copy.video) outputOptions += codecs.video;
}

void applySubtitleOptions(const std::string& commandSoFar, const std::string& outputPath, std::string& outputOptions) {
  bool subtitles = contains(outputOptions, "-map 0:s:") || containsOptionText(commandSoFar, "-map 0:s:");
  if (!subtitles) {
    std::vector<std::string> tokens = splitWhitespace(commandSoFar);
    for (std::size_t i = 0; i + 1 < tokens.size() && !subtitles; ++i) {
      if (tokens[i] != "-i") continue;
      const std::string& path = tokens[i + 1];
      subtitles = asciiIEndsWith(path, ".ass\"") || asciiIEndsWith(path, ".srt\"") || asciiIEndsWith(path, ".ass") ||
                  asciiIEndsWith(path, ".srt");
    }
  }
  if (!subtitles || contains(outputOptions, "-c:s ")) return;
  outputOptions += fmt::format(" -c:s {}", asciiIEndsWith(outputPath, ".mkv") ? "srt" : "mov_text");
}

std::string extractGraphText(const std::string& transform) {
  static constexpr std::string_view kOption = "-filter_complex ";
  std::size_t option = transform.find(kOption);
  std::string text = option == std::string::npos ? transform : transform.substr(option + kOption.size());
  if (text.size() < 6 || !contains(text, "movie=")) return {};
  std::size_t p = findUnquoted(text, "[out0]");
  if (p != std::string::npos) {
    std::size_t audio = findUnquoted(text, "[out1]");
    if (audio != std::string::npos && audio > p) p = audio;
    text.erase(p + 6);
  }
  trimChars(text, " \"");
  return text;
}

int findIoItemByValue(const std::vector<TaskIoItem>& items, const std::string& value) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].value == value) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace qel
