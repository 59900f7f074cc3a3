#include "operations/lavfi_base.h"

#include <algorithm>

#include "commands/filter_text.h"
#include "engine/log.h"

namespace qel {

void logOperationError(const std::string& function, int line, const std::string& message) {
  if (line > 0) {
    logAt(kLogError, function, line, message);
  } else {
    logText(kLogError, message);
  }
}

bool checkOutLabels(const std::string& function, int line, const std::string& graph, bool& hasVideo,
                    bool& hasAudio) {
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
  if (std::find(files.begin(), files.end(), path) != files.end()) return;
  files.push_back(path);
}

LavfiResult LavfiBase::processCommon(LavfiParser& parser, const LavfiOperationDesc& desc,
                                     const CommonPattern& pattern) const {
  LavfiResult result;
  if (desc.inputs.empty()) {
    logOperationError(pattern.function, pattern.emptyInputsAlone ? 0 : pattern.emptyInputsLine,
                      "inputs is empety");
    return result;
  }
  const LavfiInputItem& item = desc.inputs.front();
  collectInputFiles(parser, item, result.inputFiles);

  std::string graph;
  if (item.type == 2) {
    graph = item.value;
    bool hasVideo = false;
    bool hasAudio = false;
    if (!checkOutLabels(pattern.function, pattern.noOutputsLine, graph, hasVideo, hasAudio)) return result;
    if (pattern.chainOnto) pattern.chainOnto(graph, hasVideo, hasAudio);
  } else {
    SourceProbe probe;
    probeSource(parser, item.value, probe);
    if (pattern.needs == CommonPattern::Needs::Video) {
      if (probe.video < kUsableStreamSeconds) {
        logOperationError(pattern.function, pattern.noStreamLine, "no video stream: " + item.value);
        return result;
      }
    } else if (!checkUsableStreams(pattern.function, pattern.noStreamLine, item.value, probe)) {
      return result;
    }
    SourceGraphSpec recipe = pattern.source;
    recipe.duration = item.duration;
    std::optional<std::string> built = writeSourceGraph(pattern.function, pattern.noStreamLine, item.value, probe, recipe);
    if (!built) return result;
    graph = std::move(*built);
  }
  parser.setDuration(graph, item.duration);
  result.graph = std::move(graph);
  return result;
}

}  // namespace qel
