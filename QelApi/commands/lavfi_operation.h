// The interface of an editing operation, as the operation parser sees it. The
// seventeen operations themselves, and the registry that lists them in their
// fixed order, live in the layer above (operations/); the engine builds that
// registry and hands it to the parser.
//
// An operation turns its inputs and transform into a LavfiResult: a lavfi
// filter graph ending in "[out0]" (video, or the only stream) and "[out1]"
// (audio), an optional command fragment, and the media files involved.
// Operations hold no state; one shared instance serves every request, on the
// caller's thread with the engine mutex held.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qel {

class LavfiParser;
struct LavfiOperationDesc;

struct LavfiResult {
  std::string cmd;                      // command fragment; empty when the work lies wholly in the graph
  std::string graph;                    // the filter graph; empty when the operation failed
  std::vector<std::string> inputFiles;  // media files read, each once, in the order first met
};

class LavfiOperation {
 public:
  LavfiOperation() = default;
  virtual ~LavfiOperation();
  LavfiOperation(const LavfiOperation&) = delete;
  LavfiOperation& operator=(const LavfiOperation&) = delete;

  // The name the request's "description" is matched against.
  virtual const char* name() const = 0;
  // See operations/lavfi_base.h for what process may change in parser and desc.
  virtual LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const = 0;
  // Called by qelapi_clean_lavfi_cache.
  virtual void cleanCache() = 0;
};

// The operations a parser dispatches to, in dispatch order: the first whose
// name matches a request's "description" wins.
using OperationRegistry = std::vector<std::shared_ptr<LavfiOperation>>;

}  // namespace qel
