// The interface of every editing operation, and the steps they share.
//
// An operation turns its inputs and transform into a LavfiResult: a lavfi
// filter graph ending in "[out0]" (video, or the only stream) and "[out1]"
// (audio), an optional command fragment, and the media files involved. A later
// operation may take that graph as its input (type 2) and extend or merge it.
//
// The one process signature, for all seventeen operations:
//
//   LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const;
//
// - The result is returned by value, so no operation can see a stale result
//   of an earlier request.
// - desc is mutable: convert and compression rewrite desc.outputConfig, and
//   the parser records the output configuration from desc after process has
//   returned. Every other operation leaves desc unchanged.
// - parser is mutable: operations take label numbers (takeLabel), store their
//   graph's duration (setDuration), probe files (probeFile) and read the maps.
// - const: operations hold no state; one shared instance serves every request.
// Failures are reported only through the log and an empty graph.
//
// Thread safety: instances are stateless and shared; process runs on the
// caller's thread with the engine mutex held (the parser is not locked itself).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands/lavfi_parser.h"
#include "engine/log.h"  // every operation logs its failures
#include "operations/source_graph.h"

namespace qel {

struct LavfiResult {
  std::string cmd;    // command fragment; empty when the work lies wholly in the graph
  std::string graph;  // the filter graph; empty when the operation failed
  std::vector<std::string> inputFiles;  // media files read, each once, in the order first met
};

// The per-operation choices of the common steps (see LavfiBase::processCommon).
struct CommonPattern {
  // Method name used in the "[function,line]:" prefix of the messages.
  std::string function = "process";

  // No inputs: "inputs is empety", alone (no prefix) or with the prefix and line.
  bool emptyInputsAlone = true;
  int emptyInputsLine = 0;

  // Earlier graph without output labels: "no audio, no video stream: " + value.
  int noOutputsLine = 0;
  // Edits the earlier graph G in place (its outputs as hasOutLabels reported).
  // Null: G passes unchanged. The operation logs its own merge failures.
  std::function<void(std::string& graph, bool hasVideo, bool hasAudio)> chainOnto;

  // Which streams a file must have. Video: "no video stream: " + path when the
  // video is below 0.001 s. AnyStream: "no audio, no video stream: " + path when
  // both are.
  enum class Needs { AnyStream, Video } needs = Needs::AnyStream;
  int noStreamLine = 0;

  // The source graph of a file input; recipe.duration is filled from the first
  // item by processCommon.
  SourceGraphSpec source;
};

class LavfiBase {
 public:
  LavfiBase() = default;
  virtual ~LavfiBase();
  LavfiBase(const LavfiBase&) = delete;
  LavfiBase& operator=(const LavfiBase&) = delete;

  // The name the request's "description" is matched against; "" here.
  virtual const char* name() const;
  virtual LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const = 0;
  // Called by qelapi_clean_lavfi_cache; operations keep nothing, so it does nothing.
  virtual void cleanCache();
  // Whether a path may join an input-file list; true in every operation.
  virtual bool acceptInput(const std::string& path) const;

  // Adds the media files behind `item` to `files`: the path of a file item; for
  // an earlier graph, the files the parser remembers for it, else the paths
  // extractInputPaths finds in its text.
  void collectInputFiles(LavfiParser& parser, const LavfiInputItem& item,
                         std::vector<std::string>& files) const;
  // Appends `path` unless it is empty, refused by acceptInput, or already present.
  void addUniquePath(std::vector<std::string>& files, const std::string& path) const;

 protected:
  // The common steps of a one-input operation: empty-inputs check; files of the
  // first item; an earlier graph is checked for outputs and handed to
  // pattern.chainOnto; a file is probed, checked for the needed streams and
  // written by buildSourceGraph; the finished graph's duration (the first
  // item's request duration) is stored and the graph returned. cmd stays empty.
  LavfiResult processCommon(LavfiParser& parser, const LavfiOperationDesc& desc,
                            const CommonPattern& pattern) const;
};

// Logs a message of an operation at error priority: with `line` > 0 as
// "[function,line]:" + message, else the message alone.
void logOperationError(const std::string& function, int line, const std::string& message);

// The refusals every operation makes in the same words, logged as
// logOperationError does. Each returns false (or nullopt) after logging.
//
// An earlier graph must end in output labels: hasOutLabels, logging
// "no audio, no video stream: " + graph when it reports none.
bool checkOutLabels(const std::string& function, int line, const std::string& graph, bool& hasVideo,
                    bool& hasAudio);
// A probed file needs a usable stream: "no audio, no video stream: " + path
// when both its video and its audio are below kUsableStreamSeconds.
bool checkUsableStreams(const std::string& function, int line, const std::string& path, const SourceProbe& probe);
// buildSourceGraph, logging kUnwritablePathMessage + path when the path has no
// escaped form.
std::optional<std::string> writeSourceGraph(const std::string& function, int line, const std::string& path,
                                            const SourceProbe& probe, const SourceGraphSpec& recipe);

}  // namespace qel
