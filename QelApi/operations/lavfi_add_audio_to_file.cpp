#include "operations/lavfi_add_audio_to_file.h"

#include <algorithm>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/text_helpers.h"
#include "operations/added_input_base.h"
#include "operations/added_input_fragment.h"

namespace qel {

namespace {

constexpr std::string_view kSilentTrack = "anullsrc=cl=stereo:r=44100:duration=";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";
// Stands in for an empty chain: "[1][a1]" with nothing between is no filter.
constexpr std::string_view kPassThrough = "anull";

std::string audioLabel(std::uint32_t n) { return fmt::format("[a{}]", n); }

std::string orPassThrough(const std::string& chain) { return chain.empty() ? std::string(kPassThrough) : chain; }

// Every stream a mix reads starts at 0. AAC audio in MP4 (any file ffmpeg or a
// phone makes) starts a little before 0, an MP3 a little after it, and amix
// with duration=first ends the mix early when its inputs do not start
// together: a 3 s clip came out with 0.7 s of sound.
constexpr std::string_view kResetTimestamps = "asetpts=PTS-STARTPTS";

// An added stream's chain with the reset in front of it.
std::string resetThen(const std::string& chain) {
  return chain.empty() ? std::string(kResetTimestamps) : std::string(kResetTimestamps) + "," + chain;
}

void refuse(const std::string& message) { logOperationError("process", 0, "addAudioToFile: " + message); }

// The texts one process call works on.
struct Work {
  std::string graph;
  std::string cmd;
  std::string mixGraph;
  std::string mapText;              // the transform's map segment, "" without one
  std::vector<std::string> chains;  // the chain segments; the last one is the mixing filter
  std::string mixFilter;            // the last chain segment, or "" without any
  double duration = 0.0;            // the base's request duration
};

// Whether the added input at this position is an added audio file.
bool isAddedAudio(const LavfiInputItem& item) { return isAudioFile(item.value); }
bool isAddedSubtitle(const LavfiInputItem& item) { return !isAudioFile(item.value) && isSubtitleFile(item.value); }

// The source texts of a file base with its probed streams. False only when
// the path cannot be written.
bool processLocalFile(const LavfiInputItem& base, const SourceProbe& probe, Work& work) {
  if (probe.video < kUsableStreamSeconds) {
    logOperationError("processLocalFile", 68, "no video stream: " + base.value);
    return true;
  }
  const std::string silentTrack = std::string(kSilentTrack) + doubleToString(probe.video);
  std::optional<AddedInputBase> baseTexts = openAddedInputBase(base, probe, silentTrack);
  if (!baseTexts) {
    logOperationError("processLocalFile", 68, kUnwritablePathMessage + base.value);
    return false;
  }
  work.graph = std::move(baseTexts->graph);
  if (probe.audio <= 0.0) work.mixGraph = silentTrack + std::string(kAudioLabel);
  work.cmd = base.prevOp + baseTexts->input;
  return true;
}

// The -an that switches the base's audio off is an input option of input 0,
// so it stands before the first "-i"; a later one belongs to another input.
bool baseAudioSwitchedOff(const std::vector<std::string>& tokens) {
  for (const std::string& token : tokens) {
    if (token == "-i") return false;
    if (token == "-an") return true;
  }
  return false;
}

bool hasMapOption(std::string_view text) { return hasToken(splitWhitespace(text), "-map"); }

// Whether the fragment maps the base whole ("-map 0"), its audio included.
bool mapsWholeBase(const std::vector<std::string>& tokens) {
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i] == "-map" && tokens[i + 1] == "0") return true;
  }
  return false;
}

// Rewrites work.cmd into a fragment that adds and mixes the audio. False
// (logged) when the fragment cannot be extended.
bool buildAudioMixCommand(LavfiParser& parser, const LavfiOperationDesc& desc, Work& work) {
  std::vector<std::string> tokens = splitWhitespace(work.cmd);
  if (tokens.empty()) return true;
  if (const std::string fault = fragmentFault(tokens); !fault.empty()) {
    refuse("command fragment with " + fault + ": " + work.cmd);
    return false;
  }
  // Whether the fragment's own graph already sends video to the file.
  bool graphMakesVideo = false;
  if (const std::optional<std::size_t> f = findLastToken(tokens, "-filter_complex")) {
    FilterOptions options;
    parseFilterOptions(options, "-filter_complex " + tokens[*f + 1]);
    graphMakesVideo = options.hasVideoFilter;
  }
  if (baseAudioSwitchedOff(tokens)) {
    work.mixGraph = std::string(kSilentTrack) + doubleToString(work.duration) + std::string(kAudioLabel);
  }
  std::string mixInputs = LavfiAddAudioToFile::extractAudioMapLabel(tokens);
  const bool silentBase = work.mixGraph.starts_with("anullsrc=");
  // The silent track is the base's audio in the mix; with a single input it
  // is relabelled too, or the mix would read an input without audio.
  if (desc.inputs.size() >= 2 || silentBase) {
    const std::string label = audioLabel(parser.takeLabel());
    if (silentBase) {
      mixInputs = label;
      replaceFirst(work.mixGraph, kAudioLabel, label);
    }
  }

  const bool mixes = std::any_of(desc.inputs.begin() + 1, desc.inputs.end(), isAddedAudio);
  if (mixes && !silentBase) {
    const std::string reset = audioLabel(parser.takeLabel());
    if (!work.mixGraph.empty()) work.mixGraph += ';';
    work.mixGraph += bracketed(mixInputs) + std::string(kResetTimestamps) + reset;
    mixInputs = reset;
  }

  std::size_t k = countTokens(tokens, "-i");
  std::string addedInputs;
  std::string subtitleMaps;
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    if (isAddedAudio(item)) {
      const std::string label = audioLabel(parser.takeLabel());
      mixInputs += label;
      addedInputs += *quotedInput(item.value);
      if (!work.mixGraph.empty()) work.mixGraph += ';';
      work.mixGraph += fmt::format("[{}]{}{}", k, resetThen(work.chains[i - 1]), label);
      ++k;
    } else if (isAddedSubtitle(item)) {
      addedInputs += *quotedInput(item.value);
      subtitleMaps += fmt::format(" -map {}", k);
      ++k;
    }
  }
  const std::string outputLabel = audioLabel(parser.takeLabel());
  const std::string mixChain = mixInputs + orPassThrough(work.mixFilter) + outputLabel;
  work.mixGraph = work.mixGraph.empty() ? mixChain : work.mixGraph + ";" + mixChain;

  const std::size_t p = *findLastToken(tokens, "-i");
  const std::optional<std::size_t> f = findLastToken(tokens, "-filter_complex");
  if (!f) {
    tokens[p + 1] += addedInputs + " -filter_complex \"" + work.mixGraph + "\"";
  } else {
    joinFilterGraph(parser, tokens[*f + 1], work.mixGraph, 'a');
    tokens[p + 1] += addedInputs;
  }

  const bool fileBase = desc.inputs.front().type == 1;
  // Any -map switches ffmpeg's own stream choice off, so the audio map alone
  // would drop the picture: the base's video is mapped unless the fragment or
  // the map segment already chooses the streams, or the fragment's graph makes
  // the video itself. The subtitle maps choose only the subtitles.
  const bool streamsChosen = hasToken(tokens, "-map") || (fileBase && hasMapOption(work.mapText));
  work.cmd = joinTokens(tokens);
  if (!streamsChosen && !graphMakesVideo) work.cmd += fileBase ? " -map 0:v" : " -map 0:v?";
  // An earlier step's fragment chooses its own streams, so the map segment
  // stays off it; the added subtitles are mapped whatever the base.
  work.cmd += fileBase ? " " + work.mapText + subtitleMaps : subtitleMaps;
  // The mix takes the place of the base's audio, which a whole-input map
  // would carry into the file beside it.
  if (mapsWholeBase(tokens)) work.cmd += " -map -0:a";
  work.cmd += " -map " + outputLabel;
  return true;
}

// Rewrites work.graph: the added audio through amovie sources and the mix.
void mergeLavfi(LavfiParser& parser, const LavfiOperationDesc& desc, Work& work) {
  bool hasVideo = false;
  bool hasAudio = false;
  if (!checkOutLabels("mergeLavfi", 237, work.graph, hasVideo, hasAudio)) return;
  if (!hasAudio) {
    work.graph += ";" + std::string(kSilentTrack) + doubleToString(work.duration) + std::string(kAudioLabel);
  }
  const std::string_view output = hasVideo ? kAudioLabel : kVideoLabel;
  if (desc.inputs.size() < 2) {
    // The graph already ends its audio in the output label: a chain appended
    // under the same label would give ffmpeg two outputs of one name, so the
    // filter goes into the audio chain itself.
    if (!work.mixFilter.empty()) {
      const std::size_t at = work.graph.find(output);
      if (at != std::string::npos) work.graph.insert(at, "," + work.mixFilter);
    }
    return;
  }
  const std::string base = audioLabel(parser.takeLabel());
  const bool mixes = std::any_of(desc.inputs.begin() + 1, desc.inputs.end(), isAddedAudio);
  // A silent track starts at 0, and a chain that already ends in the reset
  // needs no second one.
  bool startsAtZero = true;
  if (const std::optional<ChainSpan> span = findChainEndingAt(work.graph, output)) {
    const std::string_view chain = span->body(work.graph);
    startsAtZero = chain.starts_with("anullsrc=") || chain.ends_with(kResetTimestamps);
  }
  replaceFirst(work.graph, output, mixes && !startsAtZero ? "," + std::string(kResetTimestamps) + base : base);
  std::string mixLabels = base;
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& item = desc.inputs[i];
    if (!isAddedAudio(item)) continue;
    const std::string label = audioLabel(parser.takeLabel());
    mixLabels += label;
    work.graph += ";amovie='" + *escapeFilterPath(item.value) + "'," + resetThen(work.chains[i - 1]) + label;
  }
  work.graph += ";" + mixLabels + orPassThrough(work.mixFilter) + std::string(output);
}

}  // namespace

const char* LavfiAddAudioToFile::name() const { return "addAudioToFile"; }

std::string LavfiAddAudioToFile::extractAudioMapLabel(std::vector<std::string>& tokens) {
  std::string label = "[0:a]";
  for (std::size_t i = 0; i + 1 < tokens.size();) {
    const std::string& value = tokens[i + 1];
    if (tokens[i] == "-map" && (value.starts_with("0:a") || value.starts_with("[a"))) {
      // "0:a?" maps the audio only where there is some; a filter reads it as "[0:a]".
      label = value.ends_with('?') ? value.substr(0, value.size() - 1) : value;
      tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i),
                   tokens.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      continue;
    }
    ++i;
  }
  return bracketed(label);
}

LavfiResult LavfiAddAudioToFile::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  Work work;
  OpeningRules rules;
  rules.checkGathered = [&](LavfiResult& /*result*/) {
    work.duration = desc.inputs.front().duration;
    std::vector<std::string> segments = splitSegments(desc.transform);
    if (!segments.empty() && segments.back().starts_with("-map")) {
      work.mapText = segments.back();
      segments.pop_back();
    }
    work.chains = std::move(segments);
    if (!work.chains.empty()) work.mixFilter = work.chains.back();

    // Every added file must have its chain and a path that can be written,
    // and a mix of several streams needs a mixing filter; otherwise nothing
    // is built.
    std::size_t mixed = 1;
    for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
      const LavfiInputItem& item = desc.inputs[i];
      if (!isAddedAudio(item) && !isAddedSubtitle(item)) continue;
      if (!quotedInput(item.value) || (isAddedAudio(item) && !escapeFilterPath(item.value))) {
        refuse(kUnwritablePathMessage + item.value);
        return false;
      }
      if (isAddedAudio(item)) {
        ++mixed;
        if (i > work.chains.size()) {
          refuse(fmt::format("no filter chain for added input {}: {}", i, desc.transform));
          return false;
        }
      }
    }
    if (mixed > 1 && work.mixFilter.empty()) {
      refuse("no mixing filter: " + desc.transform);
      return false;
    }
    return true;
  };
  // The graph's outputs are checked where the mix is written; a file's
  // missing video is refused by processLocalFile.
  rules.requireOutputs = false;
  rules.needs = OpeningRules::Needs::Nothing;
  rules.adjustProbe = [&desc](SourceProbe& probe) {
    // The base's audio switched off counts as no audio: the silent track takes its place.
    if (desc.inputs.front().prevOp.find("-an") != std::string::npos) probe.audio = 0.0;
  };
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& base = *opened->item;

  if (opened->isGraph()) {
    work.graph = base.value;
    work.cmd = earlierFragment(parser, base.value);
  } else if (!processLocalFile(base, opened->probe, work)) {
    return result;
  }

  if (!buildAudioMixCommand(parser, desc, work)) return result;
  mergeLavfi(parser, desc, work);
  result.cmd = std::move(work.cmd);
  completeResult(parser, result, std::move(work.graph), base.duration);
  return result;
}

}  // namespace qel
