#include "operations/lavfi_croper.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "common/text_edit.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kCropMarker = ",crop=";
constexpr std::string_view kRotateMarker = ",rotate=";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t digitRun(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && isDigit(text[end])) ++end;
  return end - at;
}

// The patterns below are matched against whole texts, where '.' stops at line
// breaks: a text holding one never matches.
bool hasLineBreak(std::string_view text) { return text.find_first_of("\n\r") != std::string_view::npos; }

// What ".*crop=([0-9]{1,}):([0-9]{1,}):([0-9]{1,}):([0-9]{1,}).*" finds: the
// greedy lead makes it the last "crop=" followed by four digit runs. Scanned
// by hand because std::regex recurses per character and a long graph would
// exhaust the stack.
struct CropMatch {
  std::size_t begin = 0;  // of "crop="
  std::size_t end = 0;    // just past the fourth number
  std::string_view numbers[4];
};

std::optional<CropMatch> findCrop(std::string_view text) {
  constexpr std::string_view kCrop = "crop=";
  if (hasLineBreak(text)) return std::nullopt;
  std::size_t from = text.size();
  while (true) {
    const std::size_t at = text.rfind(kCrop, from);
    if (at == std::string_view::npos) return std::nullopt;
    CropMatch match;
    match.begin = at;
    std::size_t i = at + kCrop.size();
    bool ok = true;
    for (int n = 0; n < 4 && ok; ++n) {
      if (n > 0) {
        if (i >= text.size() || text[i] != ':') {
          ok = false;
          break;
        }
        ++i;
      }
      const std::size_t run = digitRun(text, i);
      if (run == 0) {
        ok = false;
        break;
      }
      match.numbers[n] = text.substr(i, run);
      i += run;
    }
    if (ok) {
      match.end = i;
      return match;
    }
    if (at == 0) return std::nullopt;
    from = at - 1;
  }
}

// What ".*,rotate=(-?[0-9|.]{1,})\*PI.*" finds: the last ",rotate=" followed by
// an optional minus, a run of digits, '|' and '.', and "*PI".
struct RotateMatch {
  std::size_t begin = 0;  // of ",rotate="
  std::size_t end = 0;    // just past "*PI"
  std::string_view amount;
};

bool isRotateChar(char c) { return isDigit(c) || c == '|' || c == '.'; }

std::optional<RotateMatch> findRotate(std::string_view text) {
  if (hasLineBreak(text)) return std::nullopt;
  std::size_t from = text.size();
  while (true) {
    const std::size_t at = text.rfind(kRotateMarker, from);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + kRotateMarker.size();
    std::size_t i = start;
    if (i < text.size() && text[i] == '-') ++i;
    const std::size_t runStart = i;
    while (i < text.size() && isRotateChar(text[i])) ++i;
    if (i > runStart && text.substr(i, 3) == "*PI") {
      return RotateMatch{at, i + 3, text.substr(start, i - start)};
    }
    if (at == 0) return std::nullopt;
    from = at - 1;
  }
}

// A digit run as an int; nullopt when it does not fit (atoi would be undefined).
std::optional<long long> toInt(std::string_view digits) {
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// The rotation amount the way atof reads it (its leading numeric part).
double toAmount(std::string_view text) { return std::strtod(std::string(text).c_str(), nullptr); }

struct CropNumbers {
  long long w = 0, h = 0, x = 0, y = 0;
};

// Reads the four numbers of a match; false when one does not fit an int.
bool readCrop(const CropMatch& match, CropNumbers& out) {
  std::optional<long long> values[4];
  for (int n = 0; n < 4; ++n) {
    values[n] = toInt(match.numbers[n]);
    if (!values[n]) return false;
  }
  out = {*values[0], *values[1], *values[2], *values[3]};
  return true;
}

}  // namespace

const char* LavfiCroper::name() const { return "crop"; }

std::string LavfiCroper::cropText(const std::string& transform) {
  std::string text = transform;
  const std::size_t at = text.find("-vf ");
  if (at != std::string::npos) text.erase(at, 4);
  trimChars(text, " \"");
  return text;
}

LavfiResult LavfiCroper::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  const std::string filter = cropText(desc.transform);

  CommonPattern pattern;
  pattern.opening.checkGathered = [&](LavfiResult& result) {
    if (!filter.empty()) return true;
    // Nothing to crop: the input is handed back as a fragment and no graph is
    // made, so the request ends as a failure in the parser.
    result.cmd = desc.inputs.front().value;
    return false;
  };
  pattern.opening.noOutputsLine = 46;
  pattern.opening.needs = OpeningRules::Needs::Video;
  pattern.opening.noStreamLine = 74;
  pattern.source.subtitleClause = true;
  pattern.source.trim = TrimForm::WholeInput;
  pattern.source.videoFilter = filter;
  pattern.chainOnto = [&](std::string& graph, bool hasVideo, bool /*hasAudio*/) {
    if (!hasVideo) return;
    const Placement placed =
        placeFilter(graph, kVideoLabel, filter, {kCropMarker}, [&](std::string& g) { return mergeCrop(g, filter); });
    if (placed == Placement::MergeFailed) {
      logOperationError(kFunction, 55, "Failed to merge: " + desc.inputs.front().value + " and " + filter);
    }
  };
  return processCommon(parser, desc, pattern);
}

bool LavfiCroper::mergeCrop(std::string& graph, const std::string& transform) {
  const std::optional<ChainSpan> span = findChainEndingAt(graph, kVideoLabel);
  if (!span) return false;
  std::string chain(span->withSeparator(graph));

  CropNumbers first;
  const std::optional<CropMatch> firstCrop = findCrop(chain);
  if (firstCrop && !readCrop(*firstCrop, first)) return false;

  double firstTurns = 0.0;
  const bool chainRotates = chain.find(kRotateMarker) != std::string::npos;
  if (const std::optional<RotateMatch> rotate = findRotate(chain)) {
    firstTurns = toAmount(rotate->amount);
    chain.erase(rotate->begin, rotate->end - rotate->begin);
  }
  if (first.w < 1 || first.h < 1) return false;

  CropNumbers second;
  const std::optional<CropMatch> secondCrop = findCrop(transform);
  if (secondCrop && !readCrop(*secondCrop, second)) return false;
  // Without a size of its own the later crop would become crop=0:0, which
  // ffmpeg refuses: the merge is declined instead.
  if (second.w < 1 || second.h < 1) return false;
  double secondTurns = 0.0;
  if (const std::optional<RotateMatch> rotate = findRotate(transform)) secondTurns = toAmount(rotate->amount);

  std::string merged = fmt::format("crop={}:{}:{}:{}", second.w, second.h, first.x + second.x, first.y + second.y);
  if (chainRotates || transform.find(kRotateMarker) != std::string::npos) {
    const double turns = std::fmod(firstTurns + secondTurns, 2.0);
    // A whole number of full turns is no rotation at all.
    if (std::fabs(turns) > 0.001) merged += ",rotate=" + doubleToString(turns) + "*PI";
  }
  // The crop that was read is the one replaced (found again: the rotation's
  // removal may have moved it), never an earlier text that merely starts alike.
  if (const std::optional<CropMatch> crop = findCrop(chain)) {
    chain.replace(crop->begin, crop->end - crop->begin, merged);
  }
  graph.replace(span->begin, span->label - span->begin, chain);
  return true;
}

}  // namespace qel
