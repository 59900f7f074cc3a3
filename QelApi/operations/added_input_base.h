// The opening texts of a file base that the add operations (add-audio,
// add-video, add-subtitle) add inputs to: the whole file as a lavfi source
// graph, and the same file as a command input.
//
// Thread safety: a pure function over its arguments.
#pragma once

#include <optional>
#include <string>

#include "commands/lavfi_parser.h"
#include "operations/source_graph.h"

namespace qel {

struct AddedInputBase {
  std::string graph;  // the source graph, trimmed to the request's duration
  std::string input;  // " -i \"path\"", with its leading blank
};

// The base's texts. The graph has no subtitles clause: the subtitles an
// operation adds come as inputs of their own. `silentAudio` is the chain
// written for a base without audio (SourceGraphSpec::silentAudio). Nullopt
// when the path cannot stand in the graph or in the command; the caller logs
// the refusal in its own words.
std::optional<AddedInputBase> openAddedInputBase(const LavfiInputItem& base, const SourceProbe& probe,
                                                 const std::string& silentAudio = {});

}  // namespace qel
