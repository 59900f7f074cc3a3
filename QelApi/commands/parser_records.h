// What the operation parser remembers about the graphs it has built, keyed by
// the graph text itself (exact byte comparison): the graph's duration, its
// output record and the media files it reads.
//
// The operation parser (LavfiParser) derives from ParserRecords; the maps are
// kept apart so code that only reads them (the engine, when it takes what a
// task's plan needs) need not see the parser. Not thread-safe: the owner of
// the parser serialises every access.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qel {

// How a graph's final command is to be encoded.
struct LavfiOutputRecord {
  uint8_t transcode = 0;     // 1: produced by "contact"/"convert" or inherited
  std::string outputConfig;  // output options of the graph's final command
  std::string cmd;           // command fragment of the producing operation
};

using LavfiOutputRecords = std::map<std::string, LavfiOutputRecord>;

// The entry of `graph` in one of the maps (or a copy of one), null when there
// is none. Never answers for the empty key: a failed request files its entries
// there, and they belong to no graph.
template <class Value>
const Value* findGraphEntry(const std::map<std::string, Value>& map, const std::string& graph) {
  if (graph.empty()) return nullptr;
  auto it = map.find(graph);
  return it == map.end() ? nullptr : &it->second;
}

struct ParserRecords {
  std::map<std::string, double> durations;
  LavfiOutputRecords outputs;
  // Never emptied while the engine lives.
  std::map<std::string, std::vector<std::string>> inputFiles;

  // Empties `durations` and `outputs`; `inputFiles` stays. The parser's own
  // cleanCache first calls each registered operation's cleanCache, then this.
  void cleanCache() {
    durations.clear();
    outputs.clear();
  }
};

}  // namespace qel
