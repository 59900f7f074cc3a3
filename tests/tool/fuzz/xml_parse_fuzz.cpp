// libFuzzer target for XmlDocument::Parse. Besides what AddressSanitizer sees,
// it checks that the nesting walk never counts less deep than TinyXML goes:
// where the bytes are admissible, TinyXML parses the text directly and the
// depth of the tree it builds must not exceed the walk's count.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "tool/logger.h"
#include "tool/xml_guard.h"
#include "tool/xml_node.h"
#include "tests/tool/tinyxml_depth.h"

using tool_test::TinyXmlDepth;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetLogSeverity(0);  // refusals would flood the output
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tool::XmlDocument document;
  document.Parse(text);

  namespace guard = tool::xml_internal;
  // Inputs are a few KiB at most, so TinyXML's own depth stays far from the
  // end of the stack here even if the walk were wrong.
  if (size <= 65536 && guard::FirstMisreadableByte(text) == std::string::npos) {
    const std::size_t walked = guard::XmlNestingDepth(text);
    const std::size_t parsed = TinyXmlDepth(text);
    if (parsed > walked) {
      std::fprintf(stderr, "nesting walk counted %zu, TinyXML went %zu deep\n", walked, parsed);
      std::abort();
    }
  }
  return 0;
}
