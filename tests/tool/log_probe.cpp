// A program that writes one narrow and one wide line of the library's logger to
// standard error; the logger tests run copies of it under other names.
#include "tool/logger.h"

int main() {
  DebugLog(4, "narrow line");
  DebugLogW(4, L"wide line");
  return 0;
}
