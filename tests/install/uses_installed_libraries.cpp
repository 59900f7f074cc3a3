// Built by the install test against the installed headers and libraries
// alone: a user's program of libtool.so (and of libQelApi.so).
#include <cstdio>
#include <cstring>
#include <string>

#include "qelapi.h"
#include "tool/encoding.h"
#include "tool/path_util.h"

int main() {
  const std::string encoded = tool::Base64Encode("Qel");
  const std::string joined = tool::AppendingPathComponent("/opt/qel", "bin", "/");
  const char* text = qelapi_get_error_string(QEL_ERR_REPEATED_TASK_ID);
  std::printf("%s %s %s\n", encoded.c_str(), joined.c_str(), text);
  const bool right = encoded == "UWVs" && joined == "/opt/qel/bin" && std::strcmp(text, "repeated task id") == 0;
  return right ? 0 : 1;
}
