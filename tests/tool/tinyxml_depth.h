// Test helper shared by the XML guard's tests and its fuzz target: the
// reference the guard's nesting count is compared with.
#ifndef QEL_TESTS_TOOL_TINYXML_DEPTH_H
#define QEL_TESTS_TOOL_TINYXML_DEPTH_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

namespace tool_test {

// The deepest element of the tree TinyXML builds from `text`, errors or not
// (TinyXML links what it has parsed before it stops). Walked without recursion.
inline std::size_t TinyXmlDepth(const std::string& text) {
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  std::size_t deepest = 0;
  std::vector<std::pair<const TiXmlNode*, std::size_t>> pending = {{&document, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (node->ToElement()) deepest = std::max(deepest, ++depth);
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      pending.emplace_back(child, depth);
    }
  }
  return deepest;
}

}  // namespace tool_test

#endif  // QEL_TESTS_TOOL_TINYXML_DEPTH_H
