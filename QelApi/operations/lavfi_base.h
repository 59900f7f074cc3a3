// The base of every editing operation (the interface, LavfiOperation, is
// declared in commands/lavfi_operation.h), and the steps they share.
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

#include "commands/lavfi_operation.h"
#include "commands/lavfi_parser.h"
#include "commands/probe_document.h"
#include "base/log.h"  // every operation logs its failures
#include "operations/source_graph.h"

namespace qel {

// How an operation opens its first input (see LavfiBase::openFirstInput).
// The texts and line numbers are the operation's own.
struct OpeningRules {
  // Method name used in the "[function,line]:" prefix of the messages.
  std::string function = "process";

  // No inputs: emptyMessage, alone when emptyLine is 0, else with the prefix.
  int emptyLine = 0;
  std::string emptyMessage = "inputs is empety";

  // The operation's checks of its own parameters, made before any input file is
  // gathered. False ends the operation; the check has logged why.
  std::function<bool()> checkRequest;
  // Checks made once the first input's files are gathered into result and
  // before that input is opened (no probe has run yet). False ends the
  // operation with `result` as it is left.
  std::function<bool(LavfiResult& result)> checkGathered;

  // An earlier graph without output labels: "no audio, no video stream: " +
  // graph. Operations that read such a graph in their own way skip the check.
  bool requireOutputs = true;
  int noOutputsLine = 0;

  // A file is probed; adjustProbe then drops the streams the operation will
  // not use, and `needs` says which must be left. Video: "no video stream: " +
  // path when the video is below kUsableStreamSeconds. AnyStream: "no audio, no
  // video stream: " + path when both are. Nothing: the operation decides.
  // probeFile false leaves a file unprobed, for an operation that checks more
  // of the request before it probes.
  bool probeFile = true;
  std::function<void(SourceProbe& probe)> adjustProbe;
  enum class Needs { Nothing, AnyStream, Video } needs = Needs::AnyStream;
  int noStreamLine = 0;
};

// The first input as the opening found it.
struct OpenedInput {
  const LavfiInputItem* item = nullptr;  // desc.inputs.front(); desc.inputs must not change
  // An earlier graph: its outputs as hasOutLabels reported them. A file:
  // whether the probe (after adjustProbe) found the stream at all.
  bool hasVideo = false;
  bool hasAudio = false;
  SourceProbe probe;       // a file's streams; all zero for an earlier graph
  ProbeDocument document;  // a file's whole probe, for what else an operation reads

  bool isGraph() const { return item->type == 2; }
};

// The per-operation choices of the common steps (see LavfiBase::processCommon).
struct CommonPattern {
  OpeningRules opening;
  // Edits the earlier graph G in place (its outputs as hasOutLabels reported).
  // Null: G passes unchanged. The operation logs its own merge failures.
  std::function<void(std::string& graph, bool hasVideo, bool hasAudio)> chainOnto;
  // The source graph of a file input; recipe.duration is filled from the first
  // item by processCommon. Its refusals use opening.noStreamLine.
  SourceGraphSpec source;
};

class LavfiBase : public LavfiOperation {
 public:
  LavfiBase() = default;
  ~LavfiBase() override;

  // The name the request's "description" is matched against; "" here.
  const char* name() const override;
  // Called by qelapi_clean_lavfi_cache; operations keep nothing, so it does nothing.
  void cleanCache() override;
  // Whether a path may join an input-file list; true in every operation.
  virtual bool acceptInput(const std::string& path) const;

  // Adds the media files behind `item` to `files`: the path of a file item; for
  // an earlier graph, the files the parser remembers for it, else the paths
  // extractInputPaths finds in its text.
  void collectInputFiles(LavfiParser& parser, const LavfiInputItem& item, std::vector<std::string>& files) const;
  // Appends `path` unless it is empty, refused by acceptInput, or already present.
  void addUniquePath(std::vector<std::string>& files, const std::string& path) const;

 protected:
  // The opening every operation that starts from its first input shares:
  // refuses empty inputs; runs rules.checkRequest; gathers the first input's
  // files into result.inputFiles; runs rules.checkGathered; then an earlier
  // graph is checked for output labels, and a file is probed, adjusted and
  // checked for the streams it needs. Nullopt when the operation must end
  // (logged); `result` then holds what the operation returns.
  std::optional<OpenedInput> openFirstInput(LavfiParser& parser, const LavfiOperationDesc& desc,
                                            const OpeningRules& rules, LavfiResult& result) const;

  // The steps of a one-input operation that only adds filters: the opening;
  // an earlier graph is handed to pattern.chainOnto; a file's source graph is
  // written by buildSourceGraph; the finished graph's duration (the first
  // item's request duration) is stored and the graph returned. cmd stays empty.
  LavfiResult processCommon(LavfiParser& parser, const LavfiOperationDesc& desc, const CommonPattern& pattern) const;
};

// Logs a message of an operation at error priority: with `line` > 0 as
// "[function,line]:" + message, else the message alone.
void logOperationError(const std::string& function, int line, const std::string& message);

// The refusals every operation makes in the same words, logged as
// logOperationError does. Each returns false (or nullopt) after logging.
//
// An earlier graph must end in output labels: hasOutLabels, logging
// "no audio, no video stream: " + graph when it reports none.
bool checkOutLabels(const std::string& function, int line, const std::string& graph, bool& hasVideo, bool& hasAudio);
// A probed file needs a usable stream: "no audio, no video stream: " + path
// when both its video and its audio are below kUsableStreamSeconds.
bool checkUsableStreams(const std::string& function, int line, const std::string& path, const SourceProbe& probe);
// buildSourceGraph, logging kUnwritablePathMessage + path when the path has no
// escaped form.
std::optional<std::string> writeSourceGraph(const std::string& function, int line, const std::string& path,
                                            const SourceProbe& probe, const SourceGraphSpec& recipe);

// Ends a successful operation: the parser files `graph` with its length in
// seconds (planning reads it back), and the graph becomes the result's.
void completeResult(LavfiParser& parser, LavfiResult& result, std::string graph, double seconds);

// The command fragment the parser stored with an earlier step's graph, which
// an operation extends alongside the graph; "" when the step left none.
std::string earlierFragment(const LavfiParser& parser, const std::string& graph);

}  // namespace qel
