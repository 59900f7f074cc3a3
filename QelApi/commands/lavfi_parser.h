// The operation parser: turns one "process" request (an operation with its
// inputs, transform and output configuration, as JSON) into a lavfi filter
// graph by dispatching it to the registered editing operation whose name equals
// the request's "description" (ASCII case ignored). It remembers three facts
// about every graph it hands out, keyed by the graph text itself: its duration,
// the media files it reads and the output record that later tells the command
// builder how to encode it.
//
// Thread safety: none of its own. One parser lives in each engine context and
// every use (parse, the maps, takeLabel, cleanCache) happens under the engine
// mutex, held by the caller. The operations it owns are stateless. The parser
// knows nothing of the engine: ffprobe reaches it through the ProbeRunner the
// engine installs.
//
// The empty key. A request whose operation fails still files its (empty) input
// list, its output record and, for some operations, a duration under the empty
// graph text, as every dispatch does. An empty text is never a graph, so no
// lookup may treat those entries as the record of some other command: use the
// find* members and outputsForTask, which never answer for the empty key,
// instead of indexing the maps directly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/lavfi_operation.h"
#include "commands/parser_records.h"

namespace qel {

struct ProbeDocument;

// One input of an operation.
struct LavfiInputItem {
  std::int32_t type = 0;  // 1: a media file path; 2: the graph (or fragment) of an earlier step
  std::string value;      // the path or the earlier graph text
  std::string prevOp;     // input options written before this input's -i; empty when absent
  double duration = 0.0;  // seconds the client states; 0 when it gave no usable number
};

// What an operation's process receives.
struct LavfiOperationDesc {
  std::string transform;               // the operation's parameters as the client wrote them
  std::string outputConfig;            // output options for the final command; empty when absent
  std::string description;             // the operation name, matched against name()
  std::vector<LavfiInputItem> inputs;  // in request order
};

// What parse returns to the "process" request. Failure: both texts empty, fileNums 0.
struct LavfiParseResult {
  std::string cmd;
  std::string graph;
  std::int32_t fileNums = 0;
};

// LavfiOutputRecord (transcode, outputConfig, cmd), LavfiOutputRecords and the
// three maps live in parser_records.h, so the engine context can name them.

// Looks `graph` up in a map of output records (the parser's, or a task's copy).
// Null for the empty key (the record of a failed request belongs to no
// command) and when there is no entry.
const LavfiOutputRecord* findOutputRecord(const LavfiOutputRecords& records, const std::string& graph);

class LavfiParser : public ParserRecords {
 public:
  // The probe seam: what ffprobe prints for "-show_format -show_streams" on
  // `path`, empty text when the probe could not run. The engine installs one
  // that runs its configured ffprobe and remembers the answers; tests install
  // one that serves canned JSON.
  using ProbeRunner = std::function<std::string(const std::string& path)>;

  // Takes the operations it dispatches to (operations/operation_registry.h
  // makes the seventeen, in their fixed order) and owns them from then on.
  // Without a ProbeRunner every file reads as one without streams.
  explicit LavfiParser(OperationRegistry operations, ProbeRunner probe = {});
  ~LavfiParser();
  LavfiParser(const LavfiParser&) = delete;
  LavfiParser& operator=(const LavfiParser&) = delete;

  // Reads a ProcessRequest and runs doParse. Any malformed request (not JSON, a
  // root that is no object, a missing or wrong-typed member, a bad "type")
  // gives the empty result, a log line, and changes no map.
  // REQUIRES: engine mutex held.
  LavfiParseResult parse(std::string_view request);

  // Dispatches desc to its operation, fills `result` (cleared first), files the
  // input list and the output record under the graph text, and logs the
  // empty-output line when no graph came back. desc may be changed by the
  // operation (convert and compression rewrite outputConfig); the record is
  // taken from it afterwards.
  void doParse(LavfiParseResult& result, LavfiOperationDesc& desc);

  // Stores the output record of result's graph (the inheritance rules of the
  // "contact"/"convert" flag). Never inherits through the empty key.
  void recordOutput(const LavfiParseResult& result, const LavfiOperationDesc& desc);

  // Returns the current labelCounter and then adds one.
  std::uint32_t takeLabel() { return labelCounter++; }

  // Stores `seconds` under `graph`, inserting or overwriting (any text is a key).
  void setDuration(const std::string& graph, double seconds);

  // Takes the prefetched answer for `path`, else asks the ProbeRunner, and
  // parses the JSON into `doc`; returns doc.ok. A failed run reads as a file
  // without streams.
  bool probeFile(const std::string& path, ProbeDocument& doc);

  // Lookups that never answer for the empty key.
  const LavfiOutputRecord* findOutput(const std::string& graph) const;
  const std::vector<std::string>* findInputFiles(const std::string& graph) const;
  // The stored duration, or 0 when there is none (or for the empty key).
  double durationOf(const std::string& graph) const;

  // What startTask copies into a task: `outputs` without the empty key.
  LavfiOutputRecords outputsForTask() const;

  // qelapi_clean_lavfi_cache: cleanCache on every registered operation in
  // registry order, then empties durations and outputs. inputFiles and
  // labelCounter stay. REQUIRES: engine mutex held.
  void cleanCache();

  // Installs (or, with an empty function, removes) the probe seam.
  void setProbeRunner(ProbeRunner runner) { probeRunner_ = std::move(runner); }

  // What ffprobe printed for files probed before the engine mutex was taken,
  // by path: probeFile answers from here before it asks the ProbeRunner, so a
  // "process" request does not hold the engine (and a running task's
  // progress) while ffprobe reads slow files. Replaced by every call; an empty
  // map clears it. REQUIRES: engine mutex held.
  void setPrefetchedProbes(std::map<std::string, std::string> probes) { prefetched_ = std::move(probes); }

  // Read directly by their users (see the empty-key note at the top before
  // indexing the maps durations, outputs and inputFiles inherited from
  // ParserRecords).
  std::uint32_t labelCounter = 0;  // never reset while the engine lives
  OperationRegistry registry;

 private:
  ProbeRunner probeRunner_;
  std::map<std::string, std::string> prefetched_;
};

}  // namespace qel
