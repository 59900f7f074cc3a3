#include "operations/lavfi_convert.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "common/command_quote.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";
constexpr std::string_view kVideoLabel = "[out0]";
constexpr std::string_view kCoverArtOptions = "-c:v:1 png -disposition:v:1 attached_pic";

bool outputHasNoVideo(const std::string& outputConfig) { return contains(outputConfig, "-vn"); }
bool outputHasNoAudio(const std::string& outputConfig) { return contains(outputConfig, "-map_channel -1"); }

// Finds the last ",scale=W:H" of a chain with two plain numbers (W and H are
// whole digit runs). Returns the position of "scale=" and its length through
// `length`; npos when there is none.
std::size_t findLastNumericScale(std::string_view chain, std::size_t& length) {
  constexpr std::string_view kScale = ",scale=";
  std::size_t from = chain.size();
  while (from > 0) {
    const std::size_t at = chain.rfind(kScale, from - 1);
    if (at == std::string_view::npos) return std::string_view::npos;
    std::size_t i = at + kScale.size();
    const std::size_t widthStart = i;
    while (i < chain.size() && std::isdigit(static_cast<unsigned char>(chain[i]))) ++i;
    if (i > widthStart && i < chain.size() && chain[i] == ':') {
      const std::size_t heightStart = ++i;
      while (i < chain.size() && std::isdigit(static_cast<unsigned char>(chain[i]))) ++i;
      if (i > heightStart) {
        length = i - (at + 1);
        return at + 1;
      }
    }
    if (at == 0) break;
    from = at;
  }
  return std::string_view::npos;
}

// The audio-only rebuild of an earlier graph: keeps the chains that make or
// carry audio and makes their output the only one.
std::string keepAudioChains(const std::string& graph) {
  std::string kept;
  for (const std::string& piece : splitAt(graph, ';')) {
    if (piece.starts_with("amovie=") || piece.starts_with("anullsrc=") || piece.starts_with("[a")) {
      if (!kept.empty()) kept += ';';
      kept += piece;
    }
  }
  const std::size_t audio = findUnquoted(kept, "[out1]");
  if (audio != std::string::npos) kept.replace(audio, 6, kVideoLabel);
  return kept;
}

// The command form of a convert of a local file: the file as the only input,
// the video filter on its video, and the same choice of streams as the graph
// made with it. ffmpeg adds the output of an unlabelled -filter_complex to the
// output whatever "-vn" says, and "-map_channel -1" removes no audio stream, so
// the stream choice is written out as "-vn" (the filter then has nothing to
// act on and is left out) or "-an".
struct FileFragment {
  std::string path;
  std::string filter;
  bool noVideo = false;
  bool noAudio = false;
};

// nullopt when the path cannot be written into a command text.
std::optional<std::string> renderFileFragment(const FileFragment& form) {
  const std::optional<std::string> quoted = quoteForCommand(form.path);
  if (!quoted) return std::nullopt;
  std::string cmd = "-i " + *quoted;
  if (form.noVideo) return cmd + " -vn";
  // An empty -filter_complex "" would make ffmpeg refuse the whole command.
  if (!form.filter.empty()) cmd += " -filter_complex \"" + form.filter + "\"";
  if (form.noAudio) cmd += " -an";
  return cmd;
}

// Reads back a fragment that renderFileFragment wrote; nullopt for any other
// fragment (maps, further inputs, a filter holding a double quote, ...).
std::optional<FileFragment> parseFileFragment(std::string_view cmd) {
  constexpr std::string_view kInput = "-i \"";
  constexpr std::string_view kGraph = " -filter_complex \"";
  if (!cmd.starts_with(kInput)) return std::nullopt;
  FileFragment form;
  const std::size_t pathEnd = cmd.find('"', kInput.size());
  if (pathEnd == std::string_view::npos) return std::nullopt;
  form.path = std::string(cmd.substr(kInput.size(), pathEnd - kInput.size()));
  std::string_view rest = cmd.substr(pathEnd + 1);
  if (rest.starts_with(kGraph)) {
    const std::size_t filterEnd = rest.find('"', kGraph.size());
    if (filterEnd == std::string_view::npos) return std::nullopt;
    form.filter = std::string(rest.substr(kGraph.size(), filterEnd - kGraph.size()));
    rest.remove_prefix(filterEnd + 1);
  }
  if (rest == " -vn") form.noVideo = true;
  if (rest == " -an") form.noAudio = true;
  if (renderFileFragment(form) != std::optional<std::string>(cmd)) return std::nullopt;
  return form;
}

// The merge rules of a chain that already holds a scale, pad or crop, shared by
// the graph and the command form. `stageBreak` is what separates F when it has
// to run after a pad or crop as a stage of its own.
bool mergeIntoChain(std::string& chain, const std::string& filter, const std::function<std::string()>& stageBreak) {
  if (contains(chain, filter)) return true;
  if (contains(chain, ",pad=") || contains(chain, ",crop=")) {
    chain += stageBreak();
    chain += filter;
    return true;
  }
  std::size_t length = 0;
  const std::size_t at = findLastNumericScale(chain, length);
  if (at == std::string::npos) return false;  // such as scale=-2:720 or iw/2:ih/2
  // The filter replaces that very scale (not an earlier text that merely
  // starts the same way, as scale=1280:720 inside scale=1280:7200).
  chain.replace(at, length, filter);
  return true;
}

// Applies F to the filter of a file fragment exactly as the graph's video chain
// gets it: the source and trim in front of that chain hold no scale, pad or
// crop, so the chain and the fragment's filter meet the same rule.
void placeFilterInFragment(std::string& fragmentFilter, const std::string& filter) {
  std::string chain = "," + fragmentFilter;
  if (!contains(chain, ",scale=") && !contains(chain, ",pad=")) {
    if (!fragmentFilter.empty()) chain += ",";
    chain += filter;
  } else if (!mergeIntoChain(chain, filter, [] { return std::string(","); })) {
    return;  // the graph keeps its chain too (and logs the failed merge)
  }
  fragmentFilter = chain.substr(1);
}

}  // namespace

const char* LavfiConvert::name() const { return "convert"; }

std::string LavfiConvert::filterText(const std::string& transform) {
  const std::size_t at = transform.find("-vf ");
  if (at == std::string::npos) return {};
  std::string filter = transform.substr(at + 4);
  trimChars(filter, " \"");
  return filter;
}

LavfiResult LavfiConvert::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  const std::string filter = filterText(desc.transform);
  OpeningRules rules;
  rules.emptyLine = 20;
  rules.noOutputsLine = 42;
  rules.noStreamLine = 106;
  rules.adjustProbe = [&desc](SourceProbe& probe) {
    if (outputHasNoVideo(desc.outputConfig)) probe.video = 0.0;
    if (outputHasNoAudio(desc.outputConfig)) probe.audio = 0.0;
  };
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;

  std::string graph;
  if (!opened->isGraph()) {
    const std::string& path = item.value;
    const SourceProbe& probe = opened->probe;
    SourceGraphSpec recipe;
    recipe.subtitleClause = false;
    recipe.trim = TrimForm::WholeInput;
    recipe.duration = item.duration;
    recipe.videoFilter = filter;
    // The builder's single "has video" test places the audio chain: a video
    // chain, when written, is always followed by ";" and "[out1]".
    std::optional<std::string> built = writeSourceGraph(kFunction, 106, path, probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
    // The graph writes a chain for each stream whose probed length is above 0;
    // the fragment keeps the same streams.
    std::optional<std::string> fragment =
        renderFileFragment({path, filter, !(probe.video > 0.0), !(probe.audio > 0.0)});
    if (!fragment) {
      logOperationError(kFunction, 106, kUnwritablePathMessage + path);
      return result;
    }
    result.cmd = std::move(*fragment);
  } else {
    graph = item.value;
    const bool hasVideo = opened->hasVideo;
    if (outputHasNoVideo(desc.outputConfig)) {
      graph = keepAudioChains(item.value);
    } else if (hasVideo && !filter.empty() && graph.size() >= 6) {
      const Placement placed = placeFilter(graph, kVideoLabel, filter, {",scale=", ",pad="},
                                           [&](std::string& g) { return mergeVideoFilter(parser, g, filter); });
      if (placed == Placement::MergeFailed) {
        logAt(kLogError, kFunction, 69, "Failed to merge: " + item.value + " and " + filter);
      }
    }
    result.cmd = earlierFragment(parser, item.value);
    if (!result.cmd.empty()) {
      // The fragment a convert of a file wrote has no video map to route the
      // filter through: it gets the same edit as the graph above, so that the
      // command, which runs the fragment in place of the graph, keeps the
      // later size and stream choice.
      if (std::optional<FileFragment> form = parseFileFragment(result.cmd)) {
        form->noVideo = form->noVideo || outputHasNoVideo(desc.outputConfig);
        form->noAudio = form->noAudio || outputHasNoAudio(desc.outputConfig);
        if (!form->noVideo && hasVideo && !filter.empty()) placeFilterInFragment(form->filter, filter);
        result.cmd = renderFileFragment(*form).value_or(result.cmd);
      }
      adjustCoverArtAndAudio(parser, desc, result.cmd);
      mapVideoThroughFilter(parser, result.cmd, filter, desc.outputConfig);
      addAssInputs(desc, result.cmd);
    }
  }
  completeResult(parser, result, std::move(graph), item.duration);
  return result;
}

bool LavfiConvert::mergeVideoFilter(LavfiParser& parser, std::string& graph, const std::string& filter) {
  const std::optional<ChainSpan> span = findChainEndingAt(graph, kVideoLabel);
  if (!span) return false;
  std::string chain(span->withSeparator(graph));
  // After a pad or crop the chain ends in a fresh label and a chain of its own
  // applies the filter.
  const bool merged = mergeIntoChain(chain, filter, [&] { return fmt::format("[v{0}];[v{0}]", parser.takeLabel()); });
  if (!merged) return false;
  graph.replace(span->begin, span->label - span->begin, chain);
  return true;
}

void LavfiConvert::mapVideoThroughFilter(LavfiParser& parser, std::string& cmd, const std::string& filter,
                                         const std::string& outputConfig) {
  std::string tail;
  const std::size_t at = cmd.find(" -map ");
  if (at != std::string::npos) {
    tail = cmd.substr(at);
    cmd.resize(at);
  }
  const bool noVideo = outputHasNoVideo(outputConfig);
  // Without a filter the video map stays as it is: routing it through an empty
  // filter would give ffmpeg a graph it refuses.
  const bool routeVideo = !filter.empty() || noVideo;
  const std::vector<std::string> tokens = splitAt(tail, ' ');
  std::string newTail;
  std::string label;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (label.empty() && tokens[i] == "-map" && i + 1 < tokens.size() && tokens[i + 1].starts_with("0:v")) {
      label = tokens[i + 1];
      if (routeVideo) {
        ++i;
        continue;
      }
    }
    newTail += ' ';
    newTail += tokens[i];
  }
  if (noVideo || filter.empty()) label.clear();
  if (!label.empty()) {
    cmd += fmt::format(" -filter_complex \"[{0}]{1}[v{2}]\" -map [v{2}]", label, filter, parser.takeLabel());
  }
  trimChars(newTail, " ");
  cmd += ' ';
  cmd += newTail;
}

void LavfiConvert::adjustCoverArtAndAudio(LavfiParser& /*parser*/, LavfiOperationDesc& desc, std::string& cmd) {
  if (!cmd.starts_with("-i")) return;
  std::string& outputConfig = desc.outputConfig;
  if (!contains(cmd, "-map 0:v:1")) {
    const std::size_t at = outputConfig.find(kCoverArtOptions);
    if (at != std::string::npos) outputConfig.erase(at, kCoverArtOptions.size());
  } else if (!contains(outputConfig, kCoverArtOptions)) {
    outputConfig += ' ';
    outputConfig += kCoverArtOptions;
  }

  if (outputHasNoAudio(outputConfig)) {
    const std::vector<std::string> tokens = splitOptionTokens(cmd);
    std::string rebuilt;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      const std::string& token = tokens[i];
      const bool hasNext = i + 1 < tokens.size();
      if (token == "-map") {
        if (hasNext && !tokens[i + 1].starts_with("0:a")) rebuilt += " -map " + tokens[i + 1];
        ++i;
      } else if (token == "-i") {
        // The tokens came out of double quotes, so they hold no quote; a
        // path that still cannot be quoted leaves the fragment as it was.
        if (hasNext) {
          const std::optional<std::string> input = quotedInputArgument(tokens[i + 1]);
          if (!input) return;
          rebuilt += *input;
        }
        ++i;
      } else if (token.find_first_of(" \t") != std::string::npos) {
        // The tokeniser dropped the double quotes that held this token
        // together; without them the command would split it.
        rebuilt += " \"" + token + "\"";
      } else {
        rebuilt += ' ';
        rebuilt += token;
      }
    }
    cmd = std::move(rebuilt);
  }
  trimSpaces(cmd);
}

void LavfiConvert::addAssInputs(const LavfiOperationDesc& desc, std::string& cmd) {
  for (std::size_t i = 1; i < desc.inputs.size(); ++i) {
    const std::string& value = desc.inputs[i].value;
    if (!cmd.starts_with("-i") || !value.ends_with(".ass")) continue;
    const std::optional<std::string> quoted = quotedInputArgument(value);
    if (!quoted) {
      logOperationError("addAssInputs", 0, kUnwritablePathMessage + value);
      continue;
    }
    const std::size_t map = cmd.find(" -map ");
    const std::size_t graph = cmd.find(" -filter_complex ");
    const std::size_t at = std::min(map, graph);
    const std::string& input = *quoted;
    if (at != std::string::npos) {
      cmd.insert(at, input);
    } else {
      cmd += input;
    }
    cmd += fmt::format(" -map {}", i);
  }
}

}  // namespace qel
