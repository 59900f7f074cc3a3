#include "operations/lavfi_base.h"

#include <algorithm>

#include "commands/filter_text.h"
#include "commands/probe_document.h"
#include "common/text_edit.h"
#include "base/log.h"

namespace qel {

void logOperationError(const std::string& function, int line, const std::string& message) {
  if (line > 0) {
    logAt(kLogError, function, line, message);
  } else {
    logText(kLogError, message);
  }
}

bool checkOutLabels(const std::string& function, int line, const std::string& graph, bool& hasVideo, bool& hasAudio) {
  if (hasOutLabels(graph, hasVideo, hasAudio)) return true;
  logOperationError(function, line, "no audio, no video stream: " + graph);
  return false;
}

bool checkUsableStreams(const std::string& function, int line, const std::string& path, const SourceProbe& probe) {
  if (!(probe.video < kUsableStreamSeconds && probe.audio < kUsableStreamSeconds)) return true;
  logOperationError(function, line, "no audio, no video stream: " + path);
  return false;
}

std::optional<std::string> writeSourceGraph(const std::string& function, int line, const std::string& path,
                                            const SourceProbe& probe, const SourceGraphSpec& recipe) {
  std::optional<std::string> built = buildSourceGraph(path, probe, recipe);
  if (!built) logOperationError(function, line, kUnwritablePathMessage + path);
  return built;
}

void completeResult(LavfiParser& parser, LavfiResult& result, std::string graph, double seconds) {
  parser.setDuration(graph, seconds);
  result.graph = std::move(graph);
}

std::string earlierFragment(const LavfiParser& parser, const std::string& graph) {
  const LavfiOutputRecord* earlier = parser.findOutput(graph);
  return earlier != nullptr ? earlier->cmd : std::string();
}

LavfiBase::~LavfiBase() = default;

const char* LavfiBase::name() const { return ""; }

void LavfiBase::cleanCache() {}

bool LavfiBase::acceptInput(const std::string& /*path*/) const { return true; }

void LavfiBase::collectInputFiles(LavfiParser& parser, const LavfiInputItem& item,
                                  std::vector<std::string>& files) const {
  if (item.type == 1) {
    addUniquePath(files, item.value);
    return;
  }
  std::vector<std::string> paths;
  if (const std::vector<std::string>* remembered = parser.findInputFiles(item.value)) paths = *remembered;
  if (paths.empty()) paths = extractInputPaths(item.value);
  for (const std::string& path : paths) addUniquePath(files, path);
}

void LavfiBase::addUniquePath(std::vector<std::string>& files, const std::string& path) const {
  if (path.empty() || !acceptInput(path)) return;
  appendIfAbsent(files, path);
}

std::optional<OpenedInput> LavfiBase::openFirstInput(LavfiParser& parser, const LavfiOperationDesc& desc,
                                                     const OpeningRules& rules, LavfiResult& result) const {
  if (desc.inputs.empty()) {
    logOperationError(rules.function, rules.emptyLine, rules.emptyMessage);
    return std::nullopt;
  }
  if (rules.checkRequest && !rules.checkRequest()) return std::nullopt;
  OpenedInput opened;
  opened.item = &desc.inputs.front();
  const LavfiInputItem& item = *opened.item;
  collectInputFiles(parser, item, result.inputFiles);
  if (rules.checkGathered && !rules.checkGathered(result)) return std::nullopt;

  if (item.type == 2) {
    const bool labelled = hasOutLabels(item.value, opened.hasVideo, opened.hasAudio);
    if (rules.requireOutputs && !labelled) {
      logOperationError(rules.function, rules.noOutputsLine, "no audio, no video stream: " + item.value);
      return std::nullopt;
    }
    return opened;
  }
  if (!rules.probeFile) return opened;

  parser.probeFile(item.value, opened.document);
  opened.probe = readSourceProbe(opened.document);
  if (rules.adjustProbe) rules.adjustProbe(opened.probe);
  switch (rules.needs) {
    case OpeningRules::Needs::Video:
      if (opened.probe.video < kUsableStreamSeconds) {
        logOperationError(rules.function, rules.noStreamLine, "no video stream: " + item.value);
        return std::nullopt;
      }
      break;
    case OpeningRules::Needs::AnyStream:
      if (!checkUsableStreams(rules.function, rules.noStreamLine, item.value, opened.probe)) return std::nullopt;
      break;
    case OpeningRules::Needs::Nothing: break;
  }
  opened.hasVideo = opened.probe.video > 0.0;
  opened.hasAudio = opened.probe.audio > 0.0;
  return opened;
}

LavfiResult LavfiBase::processCommon(LavfiParser& parser, const LavfiOperationDesc& desc,
                                     const CommonPattern& pattern) const {
  LavfiResult result;
  const std::optional<OpenedInput> opened = openFirstInput(parser, desc, pattern.opening, result);
  if (!opened) return result;
  const LavfiInputItem& item = *opened->item;

  std::string graph;
  if (opened->isGraph()) {
    graph = item.value;
    if (pattern.chainOnto) pattern.chainOnto(graph, opened->hasVideo, opened->hasAudio);
  } else {
    SourceGraphSpec recipe = pattern.source;
    recipe.duration = item.duration;
    std::optional<std::string> built =
        writeSourceGraph(pattern.opening.function, pattern.opening.noStreamLine, item.value, opened->probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
  }
  completeResult(parser, result, std::move(graph), item.duration);
  return result;
}

}  // namespace qel
