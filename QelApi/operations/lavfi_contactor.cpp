#include "operations/lavfi_contactor.h"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kAudioLabel = "[out1]";
constexpr std::string_view kFirstTransition = "[v0][v1]xfade=";

bool replaceFirst(std::string& text, std::string_view from, std::string_view to) {
  return replaceFirstUnquoted(text, from, to);
}

bool insertBefore(std::string& text, std::string_view label, std::string_view insertion) {
  return insertBeforeUnquoted(text, label, insertion);
}

std::string videoLabel(long long n) { return fmt::format("[v{}]", n); }
std::string audioLabel(long long n) { return fmt::format("[a{}]", n); }

// The shortest text that reads back as the same double (10, 12.5, 0.1).
std::string shortest(double value) { return fmt::format("{}", value); }

// What one process call carries from input to input.
struct Concatenation {
  LavfiParser& parser;
  std::string common;  // "," + the common video filter, or "" when the client gave none
  std::string graph;
  double total = 0.0;
  bool seenVideo = false;
  bool seenAudio = false;
};

// Appends a media file's chains. False (logged) when the operation must end.
bool appendFile(Concatenation& c, const LavfiInputItem& input, std::size_t i, long long n, long long prev,
                double span) {
  const std::string& path = input.value;
  SourceProbe probe;
  probeSource(c.parser, path, probe);
  if (!checkUsableStreams(kFunction, 167, path, probe)) return false;
  double video = probe.video;
  double audio = probe.audio;
  const std::optional<std::string> escapedPath = escapeFilterPath(path);
  if (!escapedPath) {
    logAt(kLogError, kFunction, 167, kUnwritablePathMessage + path);
    return false;
  }
  const std::string& e = *escapedPath;
  const std::string d = shortest(input.duration);
  // A request duration that reads as 0 (absent or unreadable), or one that is
  // negative or no number, would make trim=0:0 (an empty output ffmpeg reports
  // as a success) or a trim ffmpeg refuses: the file is then taken whole, as
  // the source-graph builder does.
  const bool knownDuration = input.duration > 0.0 && std::isfinite(input.duration);

  std::string text;
  if (i > 0) {
    // The earlier side of this junction gets the stream the earlier inputs lacked.
    if (video > 0 && !c.seenVideo) {
      text += ";color=black:duration=" + doubleToString(span) + c.common + videoLabel(prev);
    }
    if (audio > 0 && !c.seenAudio) {
      text += ";anullsrc=cl=stereo:r=44100:duration=" + doubleToString(span) + ",asettb=AVTB" + audioLabel(prev);
    }
  }
  if (video > 0) {
    if (i > 0) text += ";";
    text += "movie='" + e + "'";
    if (probe.hasSubtitle) {
      text += ",subtitles='" + e + "'";
      if (probe.subtitleIndex > 0) text += fmt::format(":si={}", probe.subtitleIndex);
    }
    if (knownDuration && video > kUsableStreamSeconds && audio > kUsableStreamSeconds) {
      text += ",trim=0:" + d + ",setpts=PTS-STARTPTS";
    }
    text += c.common + videoLabel(n);
  } else if (i > 0 && c.seenVideo) {
    video = audio;
    text += ";color=black:duration=" + shortest(audio) + c.common + videoLabel(n);
  }
  if (audio > 0) {
    if (i > 0 || video > 0) text += ";";
    text += "amovie='" + e + "'";
    if (knownDuration && video > kUsableStreamSeconds && audio > kUsableStreamSeconds) {
      text += ",atrim=0:" + d + ",asetpts=PTS-STARTPTS";
    }
    text += ",asettb=AVTB" + audioLabel(n);
  } else if (i > 0 && c.seenAudio) {
    audio = video;
    text += ";anullsrc=cl=stereo:r=44100:duration=" + shortest(video) + ",asettb=AVTB" + audioLabel(n);
  }
  c.graph += text;
  c.total += input.duration;
  if (video > 0) c.seenVideo = true;
  if (audio > 0) c.seenAudio = true;
  return true;
}

// Appends an earlier step's graph, normalised and relabelled. False (logged)
// when the operation must end.
bool appendGraph(Concatenation& c, const LavfiInputItem& input, std::size_t i, long long n, long long prev,
                 double span) {
  std::string x = input.value;
  bool hasVideo = false;
  bool hasAudio = false;
  if (!checkOutLabels(kFunction, 69, x, hasVideo, hasAudio)) return false;
  LavfiContactor::dropOutputScale(x, hasVideo);
  if (!c.graph.empty()) x.insert(0, ";");
  const std::size_t out0 = findUnquoted(x, kVideoLabel);
  if (out0 == std::string::npos) {
    logAt(kLogError, kFunction, 81, "donot find [out0]," + input.value);
    return false;
  }
  const std::string d = shortest(input.duration);
  if (i == 0) {
    if (hasVideo) {
      x.insert(out0, c.common);
      insertBefore(x, kAudioLabel, ",asettb=AVTB");
    } else {
      x.insert(out0, ",asettb=AVTB");
    }
  } else {
    if (hasVideo && !c.seenVideo) {
      c.graph += ";color=black:duration=" + doubleToString(span) + c.common + videoLabel(prev);
    }
    if (hasAudio && !c.seenAudio) {
      c.graph += ";anullsrc=cl=stereo:r=44100:duration=" + doubleToString(span) + ",asettb=AVTB" + audioLabel(prev);
    }
    if (hasVideo) {
      x.insert(out0, c.common);
    } else if (c.seenVideo) {
      // The audio moves to the audio label and black video takes "[out0]".
      replaceFirst(x, kVideoLabel, kAudioLabel);
      x.insert(0, ";color=black:duration=" + d + c.common + std::string(kVideoLabel));
    }
    if (hasAudio) {
      if (!insertBefore(x, kAudioLabel, ",asettb=AVTB")) insertBefore(x, kVideoLabel, ",asettb=AVTB");
    } else if (c.seenAudio) {
      x += ";anullsrc=cl=stereo:r=44100:duration=" + d + ",asettb=AVTB" + std::string(kAudioLabel);
    }
  }
  LavfiContactor::relabelOutputs(x, n, c.seenVideo || hasVideo, c.seenAudio || hasAudio);
  c.graph += x;
  // An earlier graph counts with the length remembered for it, not the request's.
  c.total += c.parser.durationOf(input.value);
  if (hasVideo) c.seenVideo = true;
  if (hasAudio) c.seenAudio = true;
  return true;
}

// Gives the finished graph the output labels every graph carries: a single
// input (no junction) keeps its own chains, relabelled; an audio-only chain of
// junctions carries its audio at "[out0]".
void labelOutputs(Concatenation& c, std::size_t inputs, long long firstLabel) {
  if (inputs == 1) {
    if (c.seenVideo) replaceFirst(c.graph, videoLabel(firstLabel), kVideoLabel);
    if (c.seenAudio) replaceFirst(c.graph, audioLabel(firstLabel), c.seenVideo ? kAudioLabel : kVideoLabel);
    return;
  }
  if (!c.seenVideo && c.seenAudio && findUnquoted(c.graph, kVideoLabel) == std::string::npos)
    replaceFirst(c.graph, kAudioLabel, kVideoLabel);
}

}  // namespace

const char* LavfiContactor::name() const { return "contact"; }

LavfiResult LavfiContactor::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  LavfiResult result;
  if (desc.inputs.empty()) {
    logAt(kLogError, kFunction, 22, "inputs is empety");
    return result;
  }
  std::vector<std::string> videoParams;
  std::vector<std::string> audioParams;
  const std::string common = parseTransitions(desc.transform, videoParams, audioParams);
  if (videoParams.empty()) {
    logAt(kLogError, kFunction, 34, "videoParams is empety," + desc.transform);
    return result;
  }
  if (videoParams.size() != audioParams.size()) {
    logAt(kLogError, kFunction, 39, "videoParams,audioParams have different size," + desc.transform);
    return result;
  }
  if (desc.inputs.size() > videoParams.size() + 1) {
    logAt(kLogError, kFunction, 44, "videoParams's size donot match inputs's size," + desc.transform);
    return result;
  }

  // Without a common filter nothing may stand between a chain and its label:
  // a lone "," there is a filter without a name, which ffmpeg refuses.
  Concatenation c{parser, common.empty() ? std::string() : "," + common, {}, 0.0, false, false};
  long long firstLabel = 0;
  for (std::size_t i = 0; i < desc.inputs.size(); ++i) {
    const LavfiInputItem& input = desc.inputs[i];
    const long long n = parser.takeLabel();
    if (i == 0) firstLabel = n;
    const long long prev = n > 0 ? n - 1 : 0;
    // The junction that brings in input i uses the template pair i - 1.
    const std::size_t junction = i == 0 ? 0 : i - 1;
    std::string video = videoParams[junction];
    std::string audio = audioParams[junction];
    collectInputFiles(parser, input, result.inputFiles);
    const double span = transitionSpan(video);
    const bool appended =
        input.type == 2 ? appendGraph(c, input, i, n, prev, span) : appendFile(c, input, i, n, prev, span);
    if (!appended) return result;

    if (i > 0) {
      relabelTransition(video, 1, n);
      relabelTransition(video, 0, n - 1);
      if (c.seenVideo) c.graph += ";" + video;
      relabelTransition(audio, 1, n);
      relabelTransition(audio, 0, n - 1);
      if (c.seenAudio) c.graph += ";" + audio;
      if (i + 1 < desc.inputs.size()) relabelOutputs(c.graph, parser.takeLabel(), c.seenVideo, c.seenAudio);
    }
  }
  labelOutputs(c, desc.inputs.size(), firstLabel);
  completeResult(parser, result, std::move(c.graph), c.total);
  return result;
}

std::string LavfiContactor::parseTransitions(std::string transform, std::vector<std::string>& videoParams,
                                             std::vector<std::string>& audioParams) {
  const std::size_t q = transform.find(kFirstTransition);
  if (q == std::string::npos) return {};
  std::string common = transform.substr(0, q);
  if (!common.empty() && common.back() == ';') common.pop_back();
  std::string rest = transform.substr(q);
  while (!rest.empty()) {
    trimChars(rest, " ;");
    const std::size_t videoEnd = findUnquoted(rest, kVideoLabel);
    if (videoEnd == std::string::npos) break;
    std::string video = rest.substr(0, videoEnd + kVideoLabel.size());
    rest.erase(0, videoEnd + kVideoLabel.size());
    trimChars(rest, " ;");
    const std::size_t audioEnd = findUnquoted(rest, kAudioLabel);
    if (audioEnd == std::string::npos) break;
    std::string audio = rest.substr(0, audioEnd + kAudioLabel.size());
    rest.erase(0, audioEnd + kAudioLabel.size());
    trimChars(video, " ");
    trimChars(audio, " ");
    if (!video.empty() && !audio.empty()) {
      videoParams.push_back(std::move(video));
      audioParams.push_back(std::move(audio));
    }
  }
  return videoParams.size() == audioParams.size() ? common : std::string();
}

double LavfiContactor::transitionSpan(const std::string& tmpl) {
  double duration = 0.0;
  double offset = 0.0;
  const std::size_t d = tmpl.find("duration=");
  if (d != std::string::npos && tmpl.find(':', d) != std::string::npos) {
    duration = std::strtod(tmpl.c_str() + d + 9, nullptr);
  }
  const std::size_t o = tmpl.find("offset=");
  if (o != std::string::npos && tmpl.find(',', o) != std::string::npos) {
    offset = std::strtod(tmpl.c_str() + o + 7, nullptr);
  }
  return duration + offset;
}

void LavfiContactor::relabelOutputs(std::string& graph, long long n, bool video, bool audio) {
  if (video && audio) {
    replaceFirst(graph, kVideoLabel, videoLabel(n));
    replaceFirst(graph, kAudioLabel, audioLabel(n));
  } else if (video) {
    replaceFirst(graph, kVideoLabel, videoLabel(n));
  } else if (audio) {
    // A junction of audio alone leaves its result at "[out1]"; an audio-only
    // graph carries its stream at "[out0]".
    if (!replaceFirst(graph, kAudioLabel, audioLabel(n))) replaceFirst(graph, kVideoLabel, audioLabel(n));
  }
}

void LavfiContactor::relabelTransition(std::string& tmpl, long long from, long long to) {
  if (from == to) return;
  replaceFirst(tmpl, videoLabel(from), videoLabel(to));
  replaceFirst(tmpl, audioLabel(from), audioLabel(to));
}

void LavfiContactor::dropOutputScale(std::string& graph, bool hasVideo) {
  if (!hasVideo) return;
  const std::size_t p = findUnquoted(graph, kVideoLabel);
  if (p == std::string::npos) return;
  const std::size_t separator = graph.rfind(';', p);
  const std::size_t s = separator == std::string::npos ? 0 : separator;
  std::string chain = graph.substr(s, p - s);
  if (contains(chain, ",pad=") || contains(chain, ",crop=") || !contains(chain, ",scale=")) return;
  // ".*,scale=([0-9]{1,}):([0-9]{1,}).*" over the whole chain: the last
  // ",scale=" followed by two digit runs. Scanned by hand (std::regex recurses
  // per character); '.' stops at line breaks, so such a chain never matches.
  if (chain.find_first_of("\n\r") != std::string::npos) return;
  constexpr std::string_view kScale = ",scale=";
  auto digits = [&](std::size_t at) {
    std::size_t end = at;
    while (end < chain.size() && chain[end] >= '0' && chain[end] <= '9') ++end;
    return end - at;
  };
  std::size_t from = chain.size();
  while (true) {
    const std::size_t at = chain.rfind(kScale, from);
    if (at == std::string::npos) return;
    std::size_t i = at + kScale.size();
    const std::size_t width = digits(i);
    if (width > 0 && i + width < chain.size() && chain[i + width] == ':') {
      i += width + 1;
      const std::size_t height = digits(i);
      if (height > 0) {
        // The scale that was read is the one removed, never an earlier text
        // that merely starts alike (,scale=640:3600).
        chain.erase(at, i + height - at);
        graph.replace(s, p - s, chain);
        return;
      }
    }
    if (at == 0) return;
    from = at - 1;
  }
}

}  // namespace qel
