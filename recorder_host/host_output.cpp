#include "recorder_host/host_output.h"

#include <cstdio>
#include <string>

namespace qelhost {

void WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace qelhost
